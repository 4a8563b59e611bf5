// SHA-256 of a file with OpenSSL.
#include "JobRecords.h"
#include "FileOps.h"

#include <openssl/evp.h>

#include <fstream>

namespace line {

bool file_digest(const std::string& path, std::string* sha256, long long* size)
{
    std::ifstream in(kv::file_path(path), std::ios::binary);
    if (!in)
        return false;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    bool ok = ctx && EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) == 1;
    long long total = 0;
    char buf[1 << 16];
    while (ok && in) {
        in.read(buf, sizeof buf);
        const std::streamsize got = in.gcount();
        total += got;
        ok = got == 0 || EVP_DigestUpdate(ctx, buf, static_cast<size_t>(got)) == 1;
    }
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    ok = ok && !in.bad() && EVP_DigestFinal_ex(ctx, md, &len) == 1;
    EVP_MD_CTX_free(ctx);
    if (!ok)
        return false;
    if (sha256)
        *sha256 = digest_hex(md, len);
    if (size)
        *size = total;
    return true;
}

}  // namespace line
