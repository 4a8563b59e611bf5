// SHA-256 of a file with Windows' own CNG (BCrypt), the path as UTF-16.
#include "JobRecords.h"

#include "WinText.h"

#include <filesystem>
#include <fstream>

#include <windows.h>
#include <bcrypt.h>

namespace line {

bool file_digest(const std::string& path, std::string* sha256, long long* size)
{
    std::ifstream in(std::filesystem::path(kv::utf8_to_wide(path)), std::ios::binary);
    if (!in)
        return false;
    BCRYPT_ALG_HANDLE alg = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0) == 0 &&
              BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0) == 0;
    long long total = 0;
    static thread_local char buf[1 << 16];
    while (ok && in) {
        in.read(buf, sizeof buf);
        const std::streamsize got = in.gcount();
        total += got;
        ok = got == 0 || BCryptHashData(hash, reinterpret_cast<PUCHAR>(buf), static_cast<ULONG>(got), 0) == 0;
    }
    unsigned char md[32];
    ok = ok && !in.bad() && BCryptFinishHash(hash, md, sizeof md, 0) == 0;
    if (hash)
        BCryptDestroyHash(hash);
    if (alg)
        BCryptCloseAlgorithmProvider(alg, 0);
    if (!ok)
        return false;
    if (sha256)
        *sha256 = digest_hex(md, sizeof md);
    if (size)
        *size = total;
    return true;
}

}  // namespace line
