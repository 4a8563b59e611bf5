// The ports of the virtual STBs running on this machine.
//
// A virtual STB (stbsim) names its pseudo-terminal in "stbsim-<pid>.port" in
// the per-user runtime folder (the log socket's folder). Settings meant only
// for a virtual STB (shortened pauses) are refused on any other port.
#pragma once

#include <string>
#include <vector>

namespace kv {

// The name of the file a virtual STB with process id `pid` writes.
std::string virtual_stb_port_file(long pid);
// The pseudo-terminals named by virtual STBs whose process still runs, in
// name order: the one list the connection tab and `corvane-cli ports` offer.
std::vector<std::string> virtual_stb_ports();
// True when `path` (or what it links to) is one of them.
bool is_virtual_stb_port(const std::string& path);

}  // namespace kv
