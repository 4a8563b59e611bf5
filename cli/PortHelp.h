// The help text of every command's --port: which names a port may have.
#pragma once

#include <string>

// `of_what`: "the STB", "the boxes", ...
inline std::string port_option_help(const std::string& of_what)
{
    return "Port of " + of_what +
           ": a serial device or pseudo-terminal (e.g. /dev/ttyUSB0), or a port behind a serial server: "
           "rfc2217://HOST:PORT (Telnet COM port control, RFC 2217: the line settings and rate switches reach the "
           "box) or socket://HOST:PORT (raw TCP: the line runs as the server has it set up)";
}
