#include "RemoteRecordTable.h"

#include <YExcel.h>

namespace clicker {

namespace {

// UTF-8 to UTF-16; a malformed sequence becomes U+FFFD.
std::u16string utf8_to_utf16(const std::string& s)
{
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
        uint32_t cp = extra == 0 ? c : extra == 1 ? (c & 0x1F) : extra == 2 ? (c & 0x0F) : (c & 0x07);
        bool ok = extra >= 0 && i + static_cast<size_t>(extra) < s.size();
        for (int k = 1; ok && k <= extra; ++k) {
            unsigned char d = static_cast<unsigned char>(s[i + static_cast<size_t>(k)]);
            ok = (d & 0xC0) == 0x80;
            cp = (cp << 6) | (d & 0x3F);
        }
        if (!ok || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out.push_back(u'\uFFFD');
            ++i;
            continue;
        }
        i += static_cast<size_t>(extra) + 1;
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

}  // namespace

std::string record_name(const tag_record_table& t, int i)
{
    if (i < 0 || i >= kMaxRecords)
        return {};
    std::u16string s;
    for (int k = 0; k < kRecordNameChars && t.name[i][k]; ++k)
        s.push_back(t.name[i][k]);
    return YExcel::Utf16ToUtf8(s);
}

void set_record_name(tag_record_table& t, int i, const std::string& utf8)
{
    if (i < 0 || i >= kMaxRecords)
        return;
    std::u16string s = utf8_to_utf16(utf8);
    size_t n = std::min<size_t>(s.size(), kRecordNameChars - 1);
    if (n > 0 && n < s.size() && s[n - 1] >= 0xD800 && s[n - 1] <= 0xDBFF)
        --n;  // never half a surrogate pair
    for (size_t k = 0; k < static_cast<size_t>(kRecordNameChars); ++k)
        t.name[i][k] = k < n ? s[k] : u'\0';
}

}  // namespace clicker
