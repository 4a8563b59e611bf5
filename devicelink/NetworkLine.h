// Ports behind serial servers: the port names "socket://HOST:PORT" (raw TCP)
// and "rfc2217://HOST:PORT" (Telnet with the COM port control option), and
// the bounded TCP connection both run on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

namespace kv {

enum class PortUrlScheme { None, Socket, Rfc2217 };

struct PortUrl {
    PortUrlScheme scheme = PortUrlScheme::None;
    std::string host;  // a name, an IPv4 address, or an IPv6 address without brackets
    uint16_t port = 0;
};

// Which kind of port a name is, by its scheme alone (case-insensitive).
PortUrlScheme port_url_scheme(const std::string& name);
// Splits "SCHEME://HOST:PORT" ("[v6]:PORT" for IPv6). False with a message
// when the host or the port number is missing or malformed.
bool parse_port_url(const std::string& name, PortUrl* out, std::string* error);

// How long a serial server may take to accept the connection.
constexpr int kConnectTimeoutMs = 5000;

// A TCP connection whose every call is bounded. One thread may receive while
// another sends. Once the connection is gone every call fails at once and
// error() says why.
class TcpStream {
public:
    TcpStream() = default;
    ~TcpStream();
    TcpStream(const TcpStream&) = delete;
    TcpStream& operator=(const TcpStream&) = delete;

    // `name` is what messages call the connection (the port's name).
    bool connect(const PortUrl& url, const std::string& name, int timeout_ms, std::string* error);
    // Waits up to `timeout_ms` for input and takes what is there: the byte
    // count, 0 when nothing came in time, -1 when the connection is gone.
    long receive(uint8_t* buf, size_t cap, int timeout_ms);
    // True when every byte went to the network within `timeout_ms`;
    // `done` (may be null) receives how many did.
    bool send_all(const uint8_t* buf, size_t len, int timeout_ms, size_t* done = nullptr);
    std::string error() const;
    bool lost() const;
    // Gives the connection up for `why` (kept as the error); returns false.
    bool fail(const std::string& why);

private:
    intptr_t m_fd = -1;  // the socket
    std::string m_name;
    mutable std::mutex m_errorMutex;
    std::string m_error;
};

}  // namespace kv
