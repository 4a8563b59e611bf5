#include "SimInternal.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace stbsim {

namespace {
constexpr uint32_t kDefaultFlash = 8u << 20;
constexpr uint64_t kMaxFlash = 256u << 20;

bool pwrite_all(int fd, const uint8_t* p, size_t n, off_t off)
{
    while (n > 0) {
        ssize_t w = ::pwrite(fd, p, n, off);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
        off += w;
    }
    return true;
}
}  // namespace

Flash::~Flash()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool Flash::open(const std::string& path, uint32_t size, std::string* error)
{
    std::lock_guard<std::mutex> l(m_);
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (path.empty()) {
        bytes_.assign(size ? size : kDefaultFlash, 0xFF);
        return true;
    }
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = "cannot open flash file " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        *error = "cannot read flash file " + path + ": " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    uint64_t have = static_cast<uint64_t>(st.st_size);
    if (have > kMaxFlash) {
        *error = "flash file " + path + " is larger than 256 MiB";
        ::close(fd);
        return false;
    }
    if (have != 0 && size != 0 && have != size) {
        *error = "flash file " + path + " holds " + std::to_string(have) + " bytes, not the " + std::to_string(size) +
                 " asked for";
        ::close(fd);
        return false;
    }
    if (have == 0) {
        bytes_.assign(size ? size : kDefaultFlash, 0xFF);
        if (!pwrite_all(fd, bytes_.data(), bytes_.size(), 0) || ::fsync(fd) != 0) {
            *error = "cannot create flash file " + path + ": " + std::strerror(errno);
            ::close(fd);
            return false;
        }
    } else {
        bytes_.resize(have);
        size_t got = 0;
        while (got < have) {
            ssize_t r = ::pread(fd, bytes_.data() + got, have - got, static_cast<off_t>(got));
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0) {
                *error = "cannot read flash file " + path;
                ::close(fd);
                return false;
            }
            got += static_cast<size_t>(r);
        }
    }
    fd_ = fd;
    return true;
}

uint32_t Flash::size() const
{
    std::lock_guard<std::mutex> l(m_);
    return static_cast<uint32_t>(bytes_.size());
}

std::vector<uint8_t> Flash::contents() const
{
    std::lock_guard<std::mutex> l(m_);
    return bytes_;
}

void Flash::read(uint64_t offset, uint8_t* out, size_t len) const
{
    std::lock_guard<std::mutex> l(m_);
    for (size_t i = 0; i < len; ++i) {
        uint64_t o = offset + i;
        out[i] = o < bytes_.size() ? bytes_[o] : 0xFF;
    }
}

bool Flash::write(uint32_t offset, const uint8_t* data, size_t len, std::string* error)
{
    std::lock_guard<std::mutex> l(m_);
    if (static_cast<uint64_t>(offset) + len > bytes_.size()) {
        *error = "write beyond the end of the flash";
        return false;
    }
    if (len == 0)
        return true;
    std::memcpy(bytes_.data() + offset, data, len);
    if (fd_ >= 0 && !pwrite_all(fd_, data, len, offset)) {
        *error = std::string("flash file write failed: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool Flash::erase(uint32_t offset, size_t len, std::string* error)
{
    std::vector<uint8_t> ff(len, 0xFF);
    return write(offset, ff.data(), len, error);
}

bool Flash::sync()
{
    std::lock_guard<std::mutex> l(m_);
    return fd_ < 0 || ::fsync(fd_) == 0;
}

}  // namespace stbsim
