// The serial ports the operating system knows of, with their friendly names:
// libserialport on Linux, the registry's SERIALCOMM map on Windows.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace kv {

// (name, description) of each port; the description is the name when the
// system gives none.
std::vector<std::pair<std::string, std::string>> system_serial_ports();

}  // namespace kv
