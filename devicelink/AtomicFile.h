// Files written in one piece: the bytes go to a fresh temporary beside the
// target (same folder, so the rename cannot cross file systems), are flushed
// to disk, and only then renamed over the target. A failure at any point
// removes the temporary and leaves what was there before untouched. A file
// that replaces another keeps that file's permissions.
//
//   kv::AtomicFile f;
//   if (!f.open(path, err)) ...          // err: "Can't create PATH: reason"
//   f.write(p, n); ...
//   if (!f.commit(err)) ...              // err: "Can't write PATH: reason"
//
// Dropped without commit(), the temporary is removed.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace kv {

class AtomicFile {
public:
    AtomicFile() = default;
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    bool open(const std::string& path, std::string& error);
    // False once any write failed; commit() then fails too.
    bool write(const void* data, size_t len);
    bool commit(std::string& error);
    // Removes the temporary without touching the target.
    void discard();

private:
    std::string m_path, m_tmp;
    FILE* m_file = nullptr;
    bool m_writeError = false;
    int m_writeErrno = 0;
};

// The whole of `data` as `path`, in one piece. On failure `error` (when given)
// holds "Can't create PATH: reason" or "Can't write PATH: reason".
bool write_file_atomic(const std::string& path, const void* data, size_t len, std::string* error = nullptr);

}  // namespace kv
