// Fuzz input as a file a reader opens by name: an anonymous in-memory file,
// reached through /proc/self/fd.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

class MemoryFile {
public:
    MemoryFile(const void* data, size_t size)
    {
        m_fd = ::memfd_create("fuzz-input", MFD_CLOEXEC);
        if (m_fd < 0)
            return;
        const auto* p = static_cast<const uint8_t*>(data);
        size_t done = 0;
        while (done < size) {
            const ssize_t n = ::write(m_fd, p + done, size - done);
            if (n <= 0)
                return;
            done += size_t(n);
        }
        m_path = "/proc/self/fd/" + std::to_string(m_fd);
    }
    ~MemoryFile()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    // Empty when the file could not be made.
    const std::string& path() const { return m_path; }

private:
    int m_fd = -1;
    std::string m_path;
};
