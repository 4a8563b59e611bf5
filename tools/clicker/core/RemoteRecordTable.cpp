#include "RemoteRecordTable.h"

#include <Text.h>
#include <YExcel.h>

namespace clicker {

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
    std::u16string s = kv::utf8_to_utf16(utf8);
    size_t n = std::min<size_t>(s.size(), kRecordNameChars - 1);
    if (n > 0 && n < s.size() && s[n - 1] >= 0xD800 && s[n - 1] <= 0xDBFF)
        --n;  // never half a surrogate pair
    for (size_t k = 0; k < static_cast<size_t>(kRecordNameChars); ++k)
        t.name[i][k] = k < n ? s[k] : u'\0';
}

}  // namespace clicker
