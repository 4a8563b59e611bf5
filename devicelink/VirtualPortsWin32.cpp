// Windows: virtual STBs run on Linux pseudo-terminals and publish no port
// here; a COM port is always treated as a real line.
#include "VirtualPorts.h"

namespace kv {

std::string virtual_stb_port_file(long pid) { return "stbsim-" + std::to_string(pid) + ".port"; }

std::vector<std::string> virtual_stb_ports() { return {}; }

bool is_virtual_stb_port(const std::string&) { return false; }

}  // namespace kv
