#include "AtomicFile.h"

#include "FileOps.h"

#include <atomic>
#include <cerrno>
#include <cstring>

namespace kv {

AtomicFile::~AtomicFile() { discard(); }

bool AtomicFile::open(const std::string& path, std::string& error)
{
    discard();
    m_path = path;
    // A fresh name beside the target, created with the usual permissions.
    static std::atomic<unsigned> serial{0};
    m_file = nullptr;
    for (int attempt = 0; !m_file && attempt < 100; ++attempt) {
        m_tmp = path + ".part-" + std::to_string(process_id()) + "-" + std::to_string(serial++);
        errno = 0;
        m_file = create_new_file(m_tmp, path);
        if (!m_file && errno != EEXIST)
            break;
    }
    if (!m_file) {
        error = "Can't create " + path + ": " + std::strerror(errno);
        m_tmp.clear();
        return false;
    }
    m_writeError = false;
    m_writeErrno = 0;
    return true;
}

bool AtomicFile::write(const void* data, size_t len)
{
    if (!m_file || m_writeError)
        return false;
    if (len && std::fwrite(data, 1, len, m_file) != len) {
        m_writeError = true;
        m_writeErrno = errno ? errno : EIO;
    }
    return !m_writeError;
}

bool AtomicFile::commit(std::string& error)
{
    if (!m_file) {
        error = "Nothing to write";
        return false;
    }
    // What the user had is replaced only once the new file is safely on disk.
    const bool flushed = !m_writeError && sync_file(m_file);
    const int saved = m_writeError ? m_writeErrno : errno;
    const bool closed = std::fclose(m_file) == 0;
    m_file = nullptr;
    if (!flushed || !closed) {
        error = "Can't write " + m_path + ": " + std::strerror(flushed ? errno : saved);
        discard();
        return false;
    }
    if (!replace_file(m_tmp, m_path)) {
        error = "Can't write " + m_path + ": " + std::strerror(errno);
        discard();
        return false;
    }
    m_tmp.clear();
    return true;
}

void AtomicFile::discard()
{
    if (m_file) {
        std::fclose(m_file);
        m_file = nullptr;
    }
    if (!m_tmp.empty()) {
        remove_file(m_tmp);
        m_tmp.clear();
    }
}

bool write_file_atomic(const std::string& path, const void* data, size_t len, std::string* error)
{
    AtomicFile f;
    std::string err;
    bool ok = f.open(path, err);
    if (ok) {
        f.write(data, len);
        ok = f.commit(err);
    }
    if (!ok && error)
        *error = err;
    return ok;
}

}  // namespace kv
