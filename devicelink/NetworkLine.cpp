#include "NetworkLine.h"

#include "Rfc2217.h"
#include "SerialLine.h"
#include "SerialMonitorService.h"
#include "LineDeadline.h"

#include <cctype>
#include <chrono>
#include <cstring>

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
