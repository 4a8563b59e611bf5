// What the serial service needs of one open line, whatever carries it: a
// local tty (termios), a raw TCP connection to a serial server
// (socket://HOST:PORT) or a Telnet connection with the COM port control
// option (rfc2217://HOST:PORT). kv::SerialPort picks one by the port's name;
// nothing above it knows which.
//
// Every call is bounded by its time-out. A line that went away (the device
// unplugged, the server closed the connection) fails every call from then on
// with the reason in error().
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

struct serialport_config_tag;

namespace kv {

class SerialLine {
public:
    virtual ~SerialLine() = default;

    virtual bool configure(const serialport_config_tag& cfg, std::string* error) = 0;
    // Reads until `cap` bytes came or `timeout_ms` passed (see SerialPort).
    virtual bool read(uint8_t* buf, size_t cap, size_t* got, int timeout_ms, const std::atomic<bool>* abort) = 0;
    // Waits up to `timeout_ms` for input, then takes what is there.
    virtual bool read_some(uint8_t* buf, size_t cap, size_t* got, int timeout_ms) = 0;
    virtual bool write(const uint8_t* buf, size_t len, size_t* sent, int timeout_ms) = 0;
    virtual bool flush_input() = 0;
    // Why the line failed; empty while it works.
    virtual std::string error() const = 0;
};

std::unique_ptr<SerialLine> open_tty_line(const std::string& path, std::string* error);
// `name` is "socket://HOST:PORT" or "rfc2217://HOST:PORT".
std::unique_ptr<SerialLine> open_network_line(const std::string& name, std::string* error);

// Lines the process makes itself (an in-memory line of a fuzz target): when
// set, every open asks it first, and a null result leaves the name to the
// kinds above.
using LineOpener = std::unique_ptr<SerialLine> (*)(const std::string& name, std::string* error);
void set_line_opener(LineOpener opener);

}  // namespace kv
