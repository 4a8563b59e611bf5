#include "SerialPort.h"

#include "NetworkLine.h"
#include "SerialLine.h"
#include "SerialMonitorService.h"

namespace kv {

SerialPort::SerialPort() = default;

SerialPort::~SerialPort() = default;

bool is_network_port(const std::string& name) { return port_url_scheme(name) != PortUrlScheme::None; }

namespace {
std::atomic<LineOpener> g_line_opener{nullptr};
}

void set_line_opener(LineOpener opener) { g_line_opener = opener; }

bool SerialPort::open(const std::string& path, std::string* error)
{
    close();
    if (LineOpener opener = g_line_opener.load())
        m_line = opener(path, error);
    if (!m_line)
        m_line = is_network_port(path) ? open_network_line(path, error) : open_tty_line(path, error);
    if (m_line)
        m_path = path;
    return m_line != nullptr;
}

void SerialPort::close() { m_line.reset(); }

bool SerialPort::validate(const serialport_config_tag& cfg, std::string* error)
{
    const auto& rates = supported_baud_rates();
    bool rate_ok = false;
    for (int r : rates)
        rate_ok = rate_ok || r == cfg.baud_rate;
    if (!rate_ok) {
        if (error)
            *error = "baud rate " + std::to_string(cfg.baud_rate) + " is not one of the supported rates";
        return false;
    }
    if (cfg.data_bits < 5 || cfg.data_bits > 8) {
        if (error)
            *error = std::to_string(cfg.data_bits) + " data bits cannot be set on this line (5 to 8 can)";
        return false;
    }
    if (cfg.parity < 0 || cfg.parity > 4) {
        if (error)
            *error = "unknown parity " + std::to_string(cfg.parity);
        return false;
    }
    if (cfg.stop_bits == 1) {
        if (error)
            *error = "one and a half stop bits cannot be set on this line";
        return false;
    }
    if (cfg.stop_bits != 0 && cfg.stop_bits != 2) {
        if (error)
            *error = "unknown stop bits " + std::to_string(cfg.stop_bits);
        return false;
    }
    return true;
}

bool SerialPort::configure(const serialport_config_tag& cfg, std::string* error)
{
    if (!m_line) {
        if (error)
            *error = "the port is not open";
        return false;
    }
    return validate(cfg, error) && m_line->configure(cfg, error);
}

bool SerialPort::read(uint8_t* buf, size_t cap, size_t* got, int timeout_ms, const std::atomic<bool>* abort)
{
    *got = 0;
    return m_line && m_line->read(buf, cap, got, timeout_ms, abort);
}

bool SerialPort::read_some(uint8_t* buf, size_t cap, size_t* got, int timeout_ms)
{
    *got = 0;
    return m_line && m_line->read_some(buf, cap, got, timeout_ms);
}

bool SerialPort::write(const uint8_t* buf, size_t len, size_t* sent, int timeout_ms)
{
    *sent = 0;
    return m_line && m_line->write(buf, len, sent, timeout_ms);
}

bool SerialPort::flush_input() { return m_line && m_line->flush_input(); }

std::string SerialPort::error() const { return m_line ? m_line->error() : std::string("the port is not open"); }

}  // namespace kv
