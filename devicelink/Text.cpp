#include "Text.h"

namespace kv {

Utf8Char utf8_at(std::string_view s, size_t i)
{
    const auto c = static_cast<unsigned char>(s[i]);
    size_t len = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    char32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
    bool ok = len > 0 && len <= s.size() - i;
    for (size_t k = 1; ok && k < len; ++k) {
        const auto d = static_cast<unsigned char>(s[i + k]);
        ok = (d & 0xC0) == 0x80;
        cp = (cp << 6) | (d & 0x3F);
    }
    static const char32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (ok && (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)))
        ok = false;
    if (ok)
        return {cp, len, true};
    if (len == 0)
        len = 1;
    return {U'\uFFFD', len < s.size() - i ? len : s.size() - i, false};
}

bool valid_utf8(std::string_view s)
{
    for (size_t i = 0; i < s.size();) {
        Utf8Char c = utf8_at(s, i);
        if (!c.ok)
            return false;
        i += c.len;
    }
    return true;
}

void append_utf8(std::string& o, char32_t cp)
{
    if (cp < 0x80) {
        o.push_back(char(cp));
    } else if (cp < 0x800) {
        o.push_back(char(0xC0 | (cp >> 6)));
        o.push_back(char(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        o.push_back(char(0xE0 | (cp >> 12)));
        o.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        o.push_back(char(0x80 | (cp & 0x3F)));
    } else {
        o.push_back(char(0xF0 | (cp >> 18)));
        o.push_back(char(0x80 | ((cp >> 12) & 0x3F)));
        o.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        o.push_back(char(0x80 | (cp & 0x3F)));
    }
}

std::u16string utf8_to_utf16(std::string_view s)
{
    std::u16string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        Utf8Char c = utf8_at(s, i);
        i += c.ok ? c.len : 1;
        char32_t cp = c.cp;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::string utf16_to_utf8(std::u16string_view s)
{
    std::string o;
    o.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        char32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        append_utf8(o, c);
    }
    return o;
}

std::string latin1_to_utf8(std::string_view s)
{
    std::string o;
    o.reserve(s.size());
    for (char ch : s)
        append_utf8(o, static_cast<unsigned char>(ch));
    return o;
}

}  // namespace kv
