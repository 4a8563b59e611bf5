// The record file: a recorded key sequence with its timing, as text a person
// can read and edit.
//
// One line per record, in the box's code page:
//
//   Key:     POWER, Sleep:      1530, Comments:POWER.
//
// "Key:" the record's name up to its first blank, right-aligned in ten
// places; "Sleep:" the pause after the record in ms; "Comments:" the full name
// and a full stop. The first record is the start marker "first key" (no key is
// sent; its pause is the time from the start of the recording to the first
// key). The file ends with the closing line, the last record with " last key"
// added to its name and a pause of 10000 ms before the next round:
//
//   Key:      MENU, Sleep:     10000, Comments:MENU last key. Wait next round:10000ms
//
// Loading finds each record's key by its full name (without " last key"),
// else by the "Key:" word; a name the key map does not know plays as -2.
// Blank lines are ignored. A line that is not a record, a record without a
// pause, a record after the closing line or more than 2000 records make the
// file unreadable, with a message naming the line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace clicker {

inline constexpr const char* kLastKeySuffix = " last key";
inline constexpr int kLastKeyPauseMs = 10000;

// printf into a std::string of any length.
std::string sformat(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// The name up to its first blank.
std::string name_token(const std::string& name);
// "Key:%10s, Sleep:%10d, Comments:%s.\n"
std::string record_line(const std::string& name, int sleep_ms);
// "Key:%10s, Sleep:%10d, Comments:%s. Wait next round:%dms\n"
std::string closing_line(const std::string& name, int sleep_ms);

struct RecordLine {
    std::string key;  // the "Key:" word
    int32_t sleep_ms = 0;
    std::string comment;  // the full name
    bool closing = false;
};

// Parses the text of a record file (UTF-8). False with a message naming the
// line when the text is not a record file.
bool parse_record_text(const std::string& text, std::vector<RecordLine>* out, std::string* error);

}  // namespace clicker
