// The log server's listening end on POSIX: a Unix-domain SOCK_SEQPACKET
// socket, one record per connection.
#include "LogListener.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace corvane::platform {

namespace {

bool make_address(const std::string& path, sockaddr_un* addr)
{
    std::memset(addr, 0, sizeof(*addr));
    addr->sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(addr->sun_path))
        return false;
    std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
    return true;
}

// True when some server answers on `path` right now.
bool someone_listens(const sockaddr_un& addr)
{
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
    bool live = rc == 0 || errno == EAGAIN || errno == EINPROGRESS;
    ::close(fd);
    return live;
}

}  // namespace

struct LogListener::State {
    std::string path;
    int listenFd = -1;
    int wakeFd = -1;  // eventfd: Wake() makes it readable for good
    unsigned long inode = 0;
};

LogListener::LogListener() : m(std::make_unique<State>()) {}
LogListener::~LogListener() { Close(); }

bool LogListener::IsOpen() const { return m->listenFd >= 0; }

bool LogListener::Open(const std::string& path, std::string* error)
{
    bool bound = false;
    auto fail = [&](const std::string& why) {
        if (error)
            *error = why;
        if (m->listenFd >= 0)
            ::close(m->listenFd);
        if (m->wakeFd >= 0)
            ::close(m->wakeFd);
        if (bound)
            ::unlink(path.c_str());
        m->listenFd = m->wakeFd = -1;
        return false;
    };
    sockaddr_un addr;
    if (!make_address(path, &addr))
        return fail("log socket path too long: " + path);

    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode))
            return fail(path + " exists and is not a socket");
        if (someone_listens(addr))
            return fail("another program already serves " + path);
        ::unlink(path.c_str());  // left behind by a host that crashed
    }

    m->listenFd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m->listenFd < 0)
        return fail(std::string("socket: ") + std::strerror(errno));
    if (::bind(m->listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
        return fail("bind " + path + ": " + std::strerror(errno));
    bound = true;
    ::chmod(path.c_str(), 0600);
    struct stat boundStat {};
    m->inode = ::lstat(path.c_str(), &boundStat) == 0 ? boundStat.st_ino : 0;
    if (::listen(m->listenFd, 128) != 0)
        return fail(std::string("listen: ") + std::strerror(errno));
    m->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m->wakeFd < 0)
        return fail(std::string("eventfd: ") + std::strerror(errno));
    m->path = path;
    return true;
}

void LogListener::Wake()
{
    uint64_t one = 1;
    if (m->wakeFd >= 0)
        (void)!::write(m->wakeFd, &one, sizeof(one));
}

void LogListener::Close()
{
    if (m->listenFd < 0)
        return;
    ::close(m->listenFd);
    ::close(m->wakeFd);
    m->listenFd = m->wakeFd = -1;
    // Remove the socket only if it is still ours (same inode as we bound).
    struct stat st {};
    if (::lstat(m->path.c_str(), &st) == 0 && st.st_ino == m->inode)
        ::unlink(m->path.c_str());
}

namespace {

// Reads the one record of connection `fd`, answers and closes it.
LogListener::Take serve_one(int fd, int wake_fd, uint8_t* buf, size_t cap, size_t* len, int read_timeout_ms)
{
    ssize_t n;
    // MSG_TRUNC: the real length of the record, even when it is longer than
    // the buffer, so an oversized record is recognised and dropped.
    do {
        n = ::recv(fd, buf, cap, MSG_TRUNC | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        // Not there yet. One record per connection, and a client that
        // connects and sends nothing must not hold up every other tool's
        // logging: wait a bounded time.
        pollfd p[2] = {{fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
        int rc;
        do {
            rc = ::poll(p, 2, read_timeout_ms);
        } while (rc < 0 && errno == EINTR);
        if (rc <= 0 || p[1].revents || !(p[0].revents & (POLLIN | POLLHUP))) {
            ::close(fd);
            return rc == 0 ? LogListener::Take::Silent : LogListener::Take::Gone;
        }
        do {
            n = ::recv(fd, buf, cap, MSG_TRUNC | MSG_DONTWAIT);
        } while (n < 0 && errno == EINTR);
    }
    // The empty reply tells the client its record was taken.
    (void)::send(fd, buf, 0, MSG_NOSIGNAL | MSG_DONTWAIT);
    ::close(fd);
    if (n <= 0)
        return LogListener::Take::Gone;
    *len = static_cast<size_t>(n);
    return LogListener::Take::Message;
}

}  // namespace

LogListener::Take LogListener::Next(uint8_t* buf, size_t cap, size_t* len, int read_timeout_ms)
{
    // The listening socket does not block: when clients queue up, the next
    // one is taken at once; the loop only sleeps in poll() when none waits.
    for (;;) {
        int fd = ::accept4(m->listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0)
            return serve_one(fd, m->wakeFd, buf, cap, len, read_timeout_ms);
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            // Out of descriptors: let the system breathe, but hear a Wake().
            pollfd w{m->wakeFd, POLLIN, 0};
            if (::poll(&w, 1, 10) > 0)
                return Take::Stopped;
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED)
            return Take::Stopped;
        pollfd p[2] = {{m->listenFd, POLLIN, 0}, {m->wakeFd, POLLIN, 0}};
        int rc = ::poll(p, 2, -1);
        if (rc < 0 && errno != EINTR)
            return Take::Stopped;
        if (rc > 0 && p[1].revents)
            return Take::Stopped;
    }
}

}  // namespace corvane::platform
