// The chip platforms the bar-code tool burns, and the page settings they
// share.
//
// Each platform's box announces itself differently and takes the code in its
// own frames; the table below is the one place that tells them apart.
#pragma once

#include <string>
#include <vector>

namespace stampa {

enum class Platform { Alder = 0, Birch = 1, Dogwood = 2, Cedar = 3 };

// How the page learns that a box was reset.
enum class SyncKind {
    AnyRotation,  // a 4-byte read holding "QTSN" in any rotation
    Within8,  // "QTSN" starting at one of the first five bytes of an 8-byte read
    Exact,  // a 4-byte read that is exactly "QTSN"
    BootRom,  // the serial service sees the boot ROM and resumes the pass
};

struct PlatformInfo {
    Platform id;
    const char* key;  // in [Stampa] Project_Type, and the tab caption
    const char* page_class;  // the page's class name
    const char* source;  // the page's name in the log's source records
    SyncKind sync;
    int first_offset;  // offset of the first 'p' chunk; -1: one 'X' frame
    bool already_burnt_query;  // asks the box before burning
    bool quoted_log_line;  // ="code",Status instead of code,Status
    const char* log_file;  // the log at start (program folder); "" none
    const char* browse_name;  // default name in the "Browse" dialog
    int max_width;  // widths above are refused at "OK"; 0 none
    int fixed_width;  // the width a page starts with
};

const PlatformInfo& platform_info(Platform p);
// By key, case-blind; false when the key is not in the table.
bool platform_from_key(const std::string& key, Platform* out);
// "alder", "birch", ... for command lines.
std::string platform_name(Platform p);

// The platform list of [Stampa] Project_Type: a comma-separated list of keys,
// blanks removed, case-blind; unknown keys skipped. Empty (or nothing known)
// gives Alder, Birch.
std::vector<Platform> parse_project_types(const std::string& value);

// Input types, in the order of the "Input Type:" list.
enum class InputType { Manual = 0, Scan = 1, Auto = 2, File = 3 };
const std::vector<std::string>& input_type_names();

enum class Base { Decimal, Hex };

inline constexpr const char* kSyncWord = "QTSN";
inline constexpr unsigned char kSyncFeedback = 0xA5;
inline constexpr const char* kCodeFileName = "example_pk.txt";
inline constexpr const char* kBirchClientFile = "SerialN_client_birch_common.bin";
inline constexpr int kDefaultWidth = 6;
inline constexpr int kChunkChars = 32;

}  // namespace stampa
