// The three chip platforms of the front-panel tool and what differs between
// them in the flash image and in the panel record.
//
// Position 0 of the "Project Type:" list is the base platform, 1 Alder,
// 2 Dogwood. The base platform and Alder keep a 464-byte configuration block
// and the 1564-byte panel record; Dogwood a 480-byte block and the 1580-byte
// record. Key tables hold their user code big-endian after the key codes,
// except on Alder, where it comes first and little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace fir {

enum class Platform { Base = 0, Alder = 1, Dogwood = 2 };
constexpr int kPlatformCount = 3;

struct PlatformTraits {
    const char* id;  // command-line name: "base", "alder", "dogwood"
    const char* display;  // entry of the "Project Type:" list
    size_t config_size;  // block 0xBC and the configuration of the record
    size_t record_size;  // the panel record
    bool user_code_first;  // key tables: little-endian user code before the codes
    bool fixed_key_counts;  // 60 / 60 / 9 key codes instead of counts from the script
    bool panel_extras;  // display kind at byte 6 and the digit positions
    const char* panel_program;  // the panel program in the program folder
    int program_send_ms;  // time-out of the panel program's one send
    int boot_project_type;  // the boot ROM's project type: load header, bring-up
};

const PlatformTraits& traits(Platform p);
// A platform by list position (0..2); false outside.
bool platform_from_index(int index, Platform* out);
// A platform by its command-line name (case does not matter).
bool platform_from_name(std::string_view name, Platform* out);

// What an operation reports: ok, or the text shown to the user (the message
// box text) and, where it helps, a detail for the log and the command line.
struct FirResult {
    bool ok = true;
    std::string message;
    std::string detail;

    static FirResult Ok(std::string msg = {}) { return {true, std::move(msg), {}}; }
    static FirResult Fail(std::string msg, std::string why = {}) { return {false, std::move(msg), std::move(why)}; }
};

}  // namespace fir
