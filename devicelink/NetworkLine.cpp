#include "NetworkLine.h"

#include "Rfc2217.h"
#include "SerialLine.h"
#include "SerialMonitorService.h"
#include "LineDeadline.h"

#include <cctype>
#include <cerrno>
#include <chrono>
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

bool starts_with_nocase(const std::string& s, const char* prefix)
{
    size_t n = std::strlen(prefix);
    if (s.size() < n)
        return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(s[i])) != prefix[i])
            return false;
    return true;
}

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

// A raw TCP port: the bytes of the line, nothing else. The serial server
// holds the line's settings; they cannot be changed from here.
class SocketLine : public SerialLine {
public:
    bool open(const PortUrl& url, const std::string& name, std::string* error)
    {
        m_name = name;
        return m_tcp.connect(url, name, kConnectTimeoutMs, error);
    }

    bool configure(const serialport_config_tag& cfg, std::string* error) override
    {
        if (!m_tcp.error().empty()) {
            if (error)
                *error = m_tcp.error();
            return false;
        }
        // The first settings describe the server's line; a later change
        // would not reach it, and bytes at the wrong rate are lost.
        if (m_configured && !same_settings(cfg, m_cfg)) {
            if (error)
                *error = m_name +
                         " is a raw TCP port: its line settings are the serial server's and cannot be "
                         "changed from here (" +
                         std::to_string(m_cfg.baud_rate) + " baud asked for " + std::to_string(cfg.baud_rate) +
                         "); use rfc2217:// for a box that changes its rate";
            return false;
        }
        m_cfg = cfg;
        m_configured = true;
        return true;
    }

    bool read(uint8_t* buf, size_t cap, size_t* got, int timeout_ms, const std::atomic<bool>* abort) override
    {
        *got = 0;
        const auto deadline = deadline_in(timeout_ms);
        while (*got < cap) {
            if (abort && abort->load())
                return false;
            const int left = ms_left(deadline);
            long n = m_tcp.receive(buf + *got, cap - *got, wait_slice(left, 50));
            if (n < 0)
                return false;
            *got += static_cast<size_t>(n);
            if (n == 0 && left <= 0)
                break;
        }
        return true;
    }

    bool read_some(uint8_t* buf, size_t cap, size_t* got, int timeout_ms) override
    {
        *got = 0;
        if (cap == 0)
            return m_tcp.error().empty();
        long n = m_tcp.receive(buf, cap, timeout_ms);
        if (n < 0)
            return false;
        *got = static_cast<size_t>(n);
        return true;
    }

    bool write(const uint8_t* buf, size_t len, size_t* sent, int timeout_ms) override
    {
        return m_tcp.send_all(buf, len, timeout_ms, sent);
    }

    bool flush_input() override
    {
        uint8_t scratch[512];
        long n;
        while ((n = m_tcp.receive(scratch, sizeof scratch, 0)) > 0) {}
        return n == 0;
    }

    std::string error() const override { return m_tcp.error(); }

private:
    static bool same_settings(const serialport_config_tag& a, const serialport_config_tag& b)
    {
        return a.baud_rate == b.baud_rate && a.data_bits == b.data_bits && a.parity == b.parity &&
               a.stop_bits == b.stop_bits;
    }

    TcpStream m_tcp;
    std::string m_name;
    serialport_config_tag m_cfg;
    bool m_configured = false;
};

}  // namespace

PortUrlScheme port_url_scheme(const std::string& name)
{
    if (starts_with_nocase(name, "rfc2217://"))
        return PortUrlScheme::Rfc2217;
    if (starts_with_nocase(name, "socket://"))
        return PortUrlScheme::Socket;
    return PortUrlScheme::None;
}

bool parse_port_url(const std::string& name, PortUrl* out, std::string* error)
{
    auto fail = [&](const std::string& why) {
        if (error)
            *error = name + ": " + why + " (write rfc2217://HOST:PORT or socket://HOST:PORT)";
        return false;
    };
    PortUrl u;
    u.scheme = port_url_scheme(name);
    if (u.scheme == PortUrlScheme::None)
        return fail("not a serial-server port");
    std::string rest = name.substr(name.find("://") + 3);
    std::string port;
    if (!rest.empty() && rest[0] == '[') {
        size_t close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':')
            return fail("malformed IPv6 address");
        u.host = rest.substr(1, close - 1);
        port = rest.substr(close + 2);
    } else {
        size_t colon = rest.rfind(':');
        if (colon == std::string::npos)
            return fail("the TCP port number is missing");
        u.host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
    }
    if (u.host.empty() || u.host.find_first_of("/?#@ ") != std::string::npos)
        return fail("the host is missing or malformed");
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
        return fail("the TCP port must be a number from 1 to 65535");
    unsigned long n = std::stoul(port);
    if (n < 1 || n > 65535)
        return fail("the TCP port must be a number from 1 to 65535");
    u.port = static_cast<uint16_t>(n);
    *out = u;
    return true;
}

TcpStream::~TcpStream()
{
    if (m_fd >= 0)
        ::close(m_fd);
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

bool TcpStream::fail(const std::string& why)
{
    std::lock_guard<std::mutex> l(m_errorMutex);
    if (m_error.empty())
        m_error = m_name + ": " + why;
    return false;
}

std::string TcpStream::error() const
{
    std::lock_guard<std::mutex> l(m_errorMutex);
    return m_error;
}

bool TcpStream::lost() const { return !error().empty(); }

long TcpStream::receive(uint8_t* buf, size_t cap, int timeout_ms)
{
    if (m_fd < 0 || lost())
        return -1;
    pollfd p{m_fd, POLLIN, 0};
    int r = ::poll(&p, 1, timeout_ms < 0 ? 0 : timeout_ms);
    if (r < 0)
        return errno == EINTR ? 0 : (fail(std::string("the connection failed: ") + std::strerror(errno)), -1);
    if (r == 0)
        return 0;
    ssize_t n = ::recv(m_fd, buf, cap, MSG_DONTWAIT);
    if (n > 0) {
        // Acknowledge at once: a server that holds back its next bytes until
        // the last ones are acknowledged (Nagle) would otherwise wait for our
        // delayed acknowledgement on every exchange of a lock-step protocol.
        int one = 1;
        (void)::setsockopt(m_fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
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
        ssize_t n = ::send(m_fd, buf + done, len - done, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return fail(std::string("the connection to the serial server was lost: ") + std::strerror(errno));
        const int left = ms_left(deadline);
        if (left <= 0)
            return false;  // the server does not take more in time; the line itself is not lost
        pollfd p{m_fd, POLLOUT, 0};
        (void)::poll(&p, 1, wait_slice(left, 50));
    }
    return true;
}

std::unique_ptr<SerialLine> open_network_line(const std::string& name, std::string* error)
{
    PortUrl url;
    if (!parse_port_url(name, &url, error))
        return nullptr;
    if (url.scheme == PortUrlScheme::Rfc2217)
        return open_rfc2217_line(url, name, error);
    auto line = std::make_unique<SocketLine>();
    if (!line->open(url, name, error))
        return nullptr;
    return line;
}

}  // namespace kv
