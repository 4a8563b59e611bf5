// One open line of the serial service.
//
// The port's name chooses what carries it: "rfc2217://HOST:PORT" a serial
// server speaking Telnet with the COM port control option (the line settings
// travel to the server), "socket://HOST:PORT" a raw TCP connection to a
// serial server whose line is set up there, anything else a local device
// (POSIX termios: USB adapters, on-board UARTs, pseudo-terminals). Every
// setting is checked: a setting the line cannot take is refused with a clear
// message, never silently replaced by another.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

struct serialport_config_tag;

namespace kv {

class SerialLine;

class SerialPort {
public:
    SerialPort();
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    bool open(const std::string& path, std::string* error);
    void close();
    bool is_open() const { return m_line != nullptr; }
    const std::string& path() const { return m_path; }

    // Applies baud, data bits, parity and stop bits (raw mode always).
    bool configure(const serialport_config_tag& cfg, std::string* error);
    // Checks a configuration without a line (for callers and tests).
    static bool validate(const serialport_config_tag& cfg, std::string* error);

    // Reads until `cap` bytes came or `timeout_ms` passed. Returns false on a
    // line error (the line went away); *got holds what came either way.
    bool read(uint8_t* buf, size_t cap, size_t* got, int timeout_ms, const std::atomic<bool>* abort = nullptr);
    // Waits up to `timeout_ms` for input, then takes what is there (at most
    // `cap` bytes) without waiting for more: the bytes of one call arrived
    // together. False on a line error.
    bool read_some(uint8_t* buf, size_t cap, size_t* got, int timeout_ms);
    // Writes all bytes and waits for them to leave, within `timeout_ms`.
    bool write(const uint8_t* buf, size_t len, size_t* sent, int timeout_ms);
    // Discards pending input (and the kernel's output not yet sent, if asked).
    bool flush_input();
    // Why the line failed (it went away, the connection was lost); empty
    // while it works.
    std::string error() const;

private:
    std::unique_ptr<SerialLine> m_line;
    std::string m_path;
};

// True for a port behind a serial server ("rfc2217://..." or "socket://...").
bool is_network_port(const std::string& name);

// Sets a baud rate that has no Bxxx constant (e.g. 14400, 56000); in its own
// file because the kernel's termios2 header clashes with <termios.h>.
bool set_custom_baud(int fd, int baud);
// The line's input and output rate as the kernel holds it (0 when unknown).
int get_line_baud(int fd);

}  // namespace kv
