// The ports of a run: the ports the options name (a port list file among
// them), a port as a piece of a file name, and opening a job's port.
#pragma once

#include "SerialMonitorService.h"

#include <string>
#include <vector>

namespace multiport {

struct PortOptions {
    std::vector<std::string> ports;  // every --port, in order
    std::string ports_from;  // --ports-from FILE
};

// The ports named by the options, in order: the --port values, then the
// file's lines (blanks and lines starting with '#' skipped, blanks around a
// name dropped). A file line may carry a second word after the port (the
// port's own setting, such as its project type): it goes to `extras` (one
// entry per port, empty where none), and is refused when `extras` is null.
// False with a message for an unreadable file, no port at all, or a port
// named twice (two jobs on one line would garble each other).
bool collect_ports(const PortOptions& o, std::vector<std::string>* out, std::string* error,
                   std::vector<std::string>* extras = nullptr);

// The ports and the project type of each: a port list's own word, else the
// one value of `given`, else the value at the port's place in `given` (one
// per port). Every type must be one of `allowed`. False with a message.
bool ports_with_types(const PortOptions& o, const std::vector<int>& given, const std::vector<int>& allowed,
                      std::vector<std::string>* ports, std::vector<int>* types, std::string* error);

// A port as a piece of a file name: "/dev/ttyUSB0" -> "ttyUSB0",
// "rfc2217://10.0.0.5:4001" -> "10.0.0.5_4001".
std::string port_label(const std::string& port);

// `pattern` made one box's file: "{port}" is replaced by the port's label,
// or, without it, "-LABEL" goes before the extension ("dump.bin" ->
// "dump-ttyUSB0.bin").
std::string path_for_port(const std::string& pattern, const std::string& port);

// --pause-scale below 1 is for a virtual STB only: a real box needs its
// pauses. False, with the message printed, when `scale` is not 1 and `port` is
// not the port of a running stbsim.
bool pause_scale_allowed(double scale, const std::string& port);

// Starts `svc` and opens `port` on it at `baud`. cli_exit::kOk, or kPort with
// the reason printed (and in *why, when given). *index (may be null)
// receives the port's index.
int open_job_port(CSerialMonitorSerivce* svc, const std::string& port, int baud, int* index = nullptr,
                  std::string* why = nullptr);

}  // namespace multiport
