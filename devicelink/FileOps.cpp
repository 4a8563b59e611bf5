#include "FileOps.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kv {

FILE* open_file(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }

std::filesystem::path file_path(const std::string& path) { return std::filesystem::path(path); }

std::string path_text(const std::filesystem::path& path) { return path.string(); }

FILE* create_new_file(const std::string& path, const std::string& like)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return nullptr;
    struct stat old {};
    if (::stat(like.c_str(), &old) == 0)
        (void)::fchmod(fd, old.st_mode & 07777);
    FILE* f = ::fdopen(fd, "wb");
    if (!f) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
    }
    return f;
}

bool remove_file(const std::string& path) { return std::remove(path.c_str()) == 0; }

std::string make_temp_file(const std::string& base)
{
    std::string tmp = base + ".XXXXXX";
    const int fd = ::mkstemp(tmp.data());
    if (fd < 0)
        return std::string();
    const mode_t mask = ::umask(0);
    ::umask(mask);
    (void)::fchmod(fd, 0666 & ~mask);
    ::close(fd);
    return tmp;
}

int open_for_reading(const std::string& path) { return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC); }

void* alloc_pages(size_t len)
{
    void* p = ::mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return nullptr;
#ifdef MADV_HUGEPAGE
    ::madvise(p, len, MADV_HUGEPAGE);
#endif
    return p;
}

void free_pages(void* p, size_t len) { ::munmap(p, len); }

bool make_directory(const std::string& path) { return ::mkdir(path.c_str(), 0755) == 0; }

bool sync_file(FILE* f) { return std::fflush(f) == 0 && ::fsync(::fileno(f)) == 0; }

bool replace_file(const std::string& from, const std::string& to) { return std::rename(from.c_str(), to.c_str()) == 0; }

bool append_to_file(const std::string& path, std::string_view data, bool sync)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const bool ok = fd >= 0 && ::write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size()) &&
                    (!sync || ::fsync(fd) == 0);
    if (fd >= 0)
        ::close(fd);
    return ok;
}

intptr_t open_append(const std::string& path)
{
    return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}

bool append_data_synced(intptr_t handle, std::string_view data)
{
    const int fd = static_cast<int>(handle);
    const ssize_t n = ::write(fd, data.data(), data.size());
    ::fdatasync(fd);
    return n == static_cast<ssize_t>(data.size());
}

void close_file(intptr_t handle)
{
    if (handle >= 0)
        ::close(static_cast<int>(handle));
}

intptr_t try_lock_file(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    if (::lockf(fd, F_TLOCK, 0) == 0)
        return fd;
    ::close(fd);
    return -1;
}

void unlock_file(intptr_t handle)
{
    if (handle >= 0)
        ::close(static_cast<int>(handle));
}

long process_id() { return static_cast<long>(::getpid()); }

}  // namespace kv
