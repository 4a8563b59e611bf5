// The TCP connection to a serial server, with Winsock.
#include "NetworkLine.h"

#include "LineDeadline.h"
#include "WinText.h"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace kv {

namespace {

// Winsock is started once for the process and left running.
bool winsock_ready()
{
    static const bool ready = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ready;
}

std::string socket_error(const char* what, int code) { return std::string(what) + win32_error_text(static_cast<unsigned long>(code)); }

// Tries one address of the server within the time left.
SOCKET connect_one(const addrinfo* ai, LineClock::time_point deadline, int* err)
{
    SOCKET s = ::socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
    if (s == INVALID_SOCKET) {
        *err = WSAGetLastError();
        return INVALID_SOCKET;
    }
    u_long nonblocking = 1;
    ioctlsocket(s, FIONBIO, &nonblocking);
    if (::connect(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) != 0 && WSAGetLastError() != WSAEWOULDBLOCK) {
        *err = WSAGetLastError();
        closesocket(s);
        return INVALID_SOCKET;
    }
    WSAPOLLFD p{s, POLLOUT, 0};
    const int r = WSAPoll(&p, 1, ms_left(deadline));
    int so = 0;
    int len = sizeof so;
    if (r <= 0 || getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so), &len) != 0 || so != 0) {
        *err = r == 0 ? WSAETIMEDOUT : (so ? so : WSAGetLastError());
        closesocket(s);
        return INVALID_SOCKET;
    }
    // Frames are small and answered at once: send each as it comes.
    BOOL one = TRUE;
    (void)setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    (void)setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&one), sizeof one);
    return s;
}

}  // namespace

TcpStream::~TcpStream()
{
    if (m_fd >= 0)
        closesocket(static_cast<SOCKET>(m_fd));
}

bool TcpStream::connect(const PortUrl& url, const std::string& name, int timeout_ms, std::string* error)
{
    m_name = name;
    if (!winsock_ready()) {
        if (error)
            *error = name + ": the network is not available (Winsock did not start)";
        return false;
    }
    const auto deadline = deadline_in(timeout_ms);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const int rc = getaddrinfo(url.host.c_str(), std::to_string(url.port).c_str(), &hints, &list);
    if (rc != 0 || !list) {
        if (error)
            *error = socket_error((name + ": unknown host " + url.host + ": ").c_str(), rc);
        return false;
    }
    int err = 0;
    for (const addrinfo* ai = list; ai && m_fd < 0 && ms_left(deadline) > 0; ai = ai->ai_next) {
        const SOCKET s = connect_one(ai, deadline, &err);
        if (s != INVALID_SOCKET)
            m_fd = static_cast<intptr_t>(s);
    }
    freeaddrinfo(list);
    if (m_fd >= 0)
        return true;
    if (error) {
        if (err == WSAETIMEDOUT || err == 0)
            *error = name + ": the serial server did not accept the connection within " +
                     std::to_string(timeout_ms / 1000) + " s";
        else
            *error = socket_error((name + ": cannot connect to the serial server: ").c_str(), err);
    }
    return false;
}

long TcpStream::receive(uint8_t* buf, size_t cap, int timeout_ms)
{
    if (m_fd < 0 || lost())
        return -1;
    const SOCKET s = static_cast<SOCKET>(m_fd);
    WSAPOLLFD p{s, POLLRDNORM, 0};
    const int r = WSAPoll(&p, 1, timeout_ms < 0 ? 0 : timeout_ms);
    if (r < 0)
        return fail(socket_error("the connection failed: ", WSAGetLastError())), -1;
    if (r == 0)
        return 0;
    const int n = recv(s, reinterpret_cast<char*>(buf), static_cast<int>(cap > 0x10000 ? 0x10000 : cap), 0);
    if (n > 0)
        return n;
    if (n == 0) {
        fail("the serial server closed the connection");
        return -1;
    }
    const int e = WSAGetLastError();
    if (e == WSAEWOULDBLOCK || e == WSAEINTR)
        return 0;
    fail(socket_error("the connection to the serial server was lost: ", e));
    return -1;
}

bool TcpStream::send_all(const uint8_t* buf, size_t len, int timeout_ms, size_t* done_out)
{
    size_t scratch = 0;
    size_t& done = done_out ? *done_out : scratch;
    done = 0;
    if (m_fd < 0 || lost())
        return false;
    const SOCKET s = static_cast<SOCKET>(m_fd);
    const auto deadline = deadline_in(timeout_ms);
    while (done < len) {
        const size_t chunk = len - done > 0x10000 ? 0x10000 : len - done;
        const int n = send(s, reinterpret_cast<const char*>(buf + done), static_cast<int>(chunk), 0);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        const int e = WSAGetLastError();
        if (n < 0 && e != WSAEWOULDBLOCK && e != WSAEINTR)
            return fail(socket_error("the connection to the serial server was lost: ", e));
        const int left = ms_left(deadline);
        if (left <= 0)
            return false;  // the server does not take more in time; the line itself is not lost
        WSAPOLLFD p{s, POLLWRNORM, 0};
        (void)WSAPoll(&p, 1, wait_slice(left, 50));
    }
    return true;
}

}  // namespace kv
