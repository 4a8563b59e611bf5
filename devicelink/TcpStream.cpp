// The TCP connection to a serial server, with POSIX sockets.
#include "NetworkLine.h"

#include "LineDeadline.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kv {

namespace {

// Tries one address of the server within the time left.
int connect_one(const addrinfo* ai, LineClock::time_point deadline, int* err)
{
    int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) {
        *err = errno;
        return -1;
    }
    if (::connect(fd, ai->ai_addr, ai->ai_addrlen) != 0 && errno != EINPROGRESS) {
        *err = errno;
        ::close(fd);
        return -1;
    }
    pollfd p{fd, POLLOUT, 0};
    int r;
    do
        r = ::poll(&p, 1, ms_left(deadline));
    while (r < 0 && errno == EINTR);
    int so = 0;
    socklen_t len = sizeof so;
    if (r <= 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &so, &len) != 0 || so != 0) {
        *err = r == 0 ? ETIMEDOUT : (so ? so : errno);
        ::close(fd);
        return -1;
    }
    // Frames are small and answered at once: send each as it comes.
    int one = 1;
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    (void)::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    return fd;
}

}  // namespace

TcpStream::~TcpStream()
{
    if (m_fd >= 0)
        ::close(static_cast<int>(m_fd));
}

bool TcpStream::connect(const PortUrl& url, const std::string& name, int timeout_ms, std::string* error)
{
    m_name = name;
    const auto deadline = deadline_in(timeout_ms);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    int rc = ::getaddrinfo(url.host.c_str(), std::to_string(url.port).c_str(), &hints, &list);
    if (rc != 0 || !list) {
        if (error)
            *error = name + ": unknown host " + url.host + ": " + ::gai_strerror(rc);
        return false;
    }
    int err = 0;
    for (const addrinfo* ai = list; ai && m_fd < 0 && ms_left(deadline) > 0; ai = ai->ai_next)
        m_fd = connect_one(ai, deadline, &err);
    ::freeaddrinfo(list);
    if (m_fd >= 0)
        return true;
    if (error) {
        if (err == ETIMEDOUT || err == 0)
            *error = name + ": the serial server did not accept the connection within " +
                     std::to_string(timeout_ms / 1000) + " s";
        else
            *error = name + ": cannot connect to the serial server: " + std::strerror(err);
    }
    return false;
}

long TcpStream::receive(uint8_t* buf, size_t cap, int timeout_ms)
{
    if (m_fd < 0 || lost())
        return -1;
    pollfd p{static_cast<int>(m_fd), POLLIN, 0};
    int r = ::poll(&p, 1, timeout_ms < 0 ? 0 : timeout_ms);
    if (r < 0)
        return errno == EINTR ? 0 : (fail(std::string("the connection failed: ") + std::strerror(errno)), -1);
    if (r == 0)
        return 0;
    ssize_t n = ::recv(static_cast<int>(m_fd), buf, cap, MSG_DONTWAIT);
    if (n > 0) {
        // Acknowledge at once: a server that holds back its next bytes until
        // the last ones are acknowledged (Nagle) would otherwise wait for our
        // delayed acknowledgement on every exchange of a lock-step protocol.
        int one = 1;
        (void)::setsockopt(static_cast<int>(m_fd), IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
        return static_cast<long>(n);
    }
    if (n == 0) {
        fail("the serial server closed the connection");
        return -1;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        return 0;
    fail(std::string("the connection to the serial server was lost: ") + std::strerror(errno));
    return -1;
}

bool TcpStream::send_all(const uint8_t* buf, size_t len, int timeout_ms, size_t* done_out)
{
    size_t scratch = 0;
    size_t& done = done_out ? *done_out : scratch;
    done = 0;
    if (m_fd < 0 || lost())
        return false;
    const auto deadline = deadline_in(timeout_ms);
    while (done < len) {
        ssize_t n = ::send(static_cast<int>(m_fd), buf + done, len - done, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return fail(std::string("the connection to the serial server was lost: ") + std::strerror(errno));
        const int left = ms_left(deadline);
        if (left <= 0)
            return false;  // the server does not take more in time; the line itself is not lost
        pollfd p{static_cast<int>(m_fd), POLLOUT, 0};
        (void)::poll(&p, 1, wait_slice(left, 50));
    }
    return true;
}

}  // namespace kv
