// Text helpers of the tree: blanks around a text, and UTF-8 / UTF-16.
// (Text in the box's code page goes through CodePage.h.)
//
// UTF-8 is read strictly: overlong forms, surrogates and values beyond
// U+10FFFF are malformed. Where a converter meets a malformed sequence it puts
// U+FFFD in its place.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kv {

// Spaces, tabs and line ends.
inline constexpr std::string_view kBlanks = " \t\r\n";
// Everything std::isspace counts as white space in the C locale.
inline constexpr std::string_view kWhiteSpace = " \t\n\v\f\r";

// `s` without the characters of `blanks` at either end.
inline std::string trimmed(std::string_view s, std::string_view blanks = kBlanks)
{
    size_t b = s.find_first_not_of(blanks);
    if (b == std::string_view::npos)
        return "";
    size_t e = s.find_last_not_of(blanks);
    return std::string(s.substr(b, e - b + 1));
}

// One character read at s[i] (i < s.size()). `len` is how many bytes it
// takes; for a malformed sequence `ok` is false, `cp` is U+FFFD and `len` the
// length its first byte announces, clipped to the end of the text (at least 1).
struct Utf8Char {
    char32_t cp;
    size_t len;
    bool ok;
};
Utf8Char utf8_at(std::string_view s, size_t i);

bool valid_utf8(std::string_view s);
// Appends one code point as UTF-8 (no checks: a surrogate is written as is).
void append_utf8(std::string& out, char32_t cp);

// A malformed byte becomes U+FFFD and reading goes on at the next byte.
std::u16string utf8_to_utf16(std::string_view s);
// A surrogate without its partner becomes U+FFFD.
std::string utf16_to_utf8(std::u16string_view s);
// Each byte is the code point of the same value (ISO 8859-1).
std::string latin1_to_utf8(std::string_view s);

}  // namespace kv
