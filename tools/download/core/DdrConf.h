// "ddrconf.txt": the configuration of an FPGA prototype board's SDRAM
// calibration, read line by line (lines end at CR, LF or CR LF; empty lines
// are skipped):
//
//   $clear0=3            an option: name, '=', hexadecimal value. The name is
//                        matched by prefix against the options below; other
//                        names are ignored. Nothing is sent.
//   # text               a comment
//   1 bfd70014 1         a write: decimal index, hexadecimal address and
//                        value. It becomes a boot-ROM write instruction.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace download {

// The options a configuration sets; each is used as a byte by the sweep
// ("address" is read and kept, but the calibration does not use it).
struct FpgaOptions {
    uint32_t address = 0;
    uint32_t clear0 = 0;
    uint32_t clear1 = 0;
    uint32_t clock_delay0 = 0;
    uint32_t clock_delay1 = 0;
    uint32_t dqs_delay0 = 0;
    uint32_t dqs_delay1 = 0;
};

struct ConfigWrite {
    int line = 0;  // 1-based line of the file
    int index = 0;  // the decimal first number (not used on the wire)
    uint32_t address = 0;
    uint32_t value = 0;
};

struct FpgaConfig {
    FpgaOptions options;
    std::vector<ConfigWrite> writes;  // in file order
};

// Reads a whole configuration before anything is sent. 1 on success; 0 with
// `error` naming the first line that does not parse ("line 7: ...").
int parse_fpga_config(const std::string& text, FpgaConfig* out, std::string* error);

}  // namespace download
