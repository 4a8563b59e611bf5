// The configuration script of an image, as far as the front-panel tool needs
// it: the "CFGHEADER=toolcfg" check and the key names of the IR1, IR2 and
// front-panel key tables.
//
// Key names stand on item lines of the script ("[name][type][bit offset][bit
// length]", items separated by one character); a line that begins with "[1_"
// or "##[1_" names IR1 keys, "[2_" / "##[2_" IR2 keys and "[KEY" / "##[KEY"
// front-panel keys. A name is the text inside its first bracket, prefix
// included, at most 19 bytes (the box's code page, as in the script).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace fir {

constexpr size_t kKeyNameMax = 19;
// The largest script text unpacked from an image.
constexpr size_t kMaxScriptSize = 16u << 20;

struct KeyNames {
    std::vector<std::string> ir1, ir2, fp;  // in script order; at most 128, 128, 16
};

// Key codes a key block holds when its count comes from the script: the IR
// names found minus 2 (never below 0), and the front-panel names found.
struct KeyCounts {
    int ir1 = 0, ir2 = 0, fp = 0;
};
KeyCounts counts_from_names(const KeyNames& names);

enum ScriptStatus { kScriptOk = 0, kScriptMissing = -6, kScriptInvalid = -7, kScriptUnpack = -8 };

// Unpacks the gzip-compressed script block in memory.
ScriptStatus unpack_script(const uint8_t* data, size_t len, std::string* text);

// True when some line begins with "CFGHEADER" and the text after its "=" is
// exactly "toolcfg". A "CFGHEADER" line without "=" adds "Error line!" to
// `notes`.
bool script_header_ok(std::string_view text, std::vector<std::string>* notes = nullptr);

// The script step: the header check, then the key names. Names beyond the
// tables' room are left out with a note.
ScriptStatus read_key_names(std::string_view text, KeyNames* out, std::vector<std::string>* notes = nullptr);

}  // namespace fir
