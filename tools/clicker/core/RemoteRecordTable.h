// The record table shared by the remote-control view and its key component,
// and the key map record.
//
// The table is one block of 416 004 bytes, allocated zero-filled by the view:
//
//   offset  size          content
//   0       2000 x 4      key value of record i (signed; -1 start marker, -2 a
//                         key the key map does not know)
//   8000    2000 x 4      pause after record i, ms (signed)
//   16000   2000 x 200    name of record i: 100 UTF-16 units, zero-terminated
//   416000  4             number of records
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace clicker {

inline constexpr int kMaxRecords = 2000;
inline constexpr int kRecordNameChars = 100;  // terminator included
inline constexpr int kMaxKeys = 100;
inline constexpr int32_t kStartMarker = -1;
inline constexpr int32_t kUnknownKey = -2;
inline constexpr const char* kStartRecordName = "first key";

}  // namespace clicker

struct tag_record_table {
    int32_t key_value[clicker::kMaxRecords];
    int32_t sleep_ms[clicker::kMaxRecords];
    char16_t name[clicker::kMaxRecords][clicker::kRecordNameChars];
    int32_t count;
};
static_assert(sizeof(tag_record_table) == 416004, "the record table is 416 004 bytes");
static_assert(offsetof(tag_record_table, sleep_ms) == 8000);
static_assert(offsetof(tag_record_table, name) == 16000);
static_assert(offsetof(tag_record_table, count) == 416000);

// The key map: up to 100 keys, each a name, a value (decimal digits) and a
// shortcut letter (may be empty). Texts are UTF-8.
struct tag_remote {
    int key_num = 0;
    std::vector<std::string> name;
    std::vector<std::string> value;
    std::vector<std::string> shortcut;
};

namespace clicker {

// Record i's name as UTF-8, and storing a UTF-8 name (cut to 99 units, never
// in the middle of a character).
std::string record_name(const tag_record_table& t, int i);
void set_record_name(tag_record_table& t, int i, const std::string& utf8);

}  // namespace clicker
