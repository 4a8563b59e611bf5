#include "CodePage.h"

#include "CodePageConvert.h"
#include "KvBasicCfgIni.h"

#include <algorithm>
#include <cctype>

namespace kv {
namespace {

struct CodePageInfo {
    const char* name;  // canonical, as shown and stored in the settings
    const char* iconv;  // the name iconv knows it by
    int max_char_bytes;
};

const CodePageInfo kCodePages[] = {
    {"WINDOWS-1252", "WINDOWS-1252", 1}, {"WINDOWS-1250", "WINDOWS-1250", 1}, {"WINDOWS-1251", "WINDOWS-1251", 1},
    {"ISO-8859-1", "ISO-8859-1", 1},     {"ISO-8859-15", "ISO-8859-15", 1},   {"GBK", "GBK", 2},
};

std::string canonical(std::string_view name)
{
    std::string s;
    for (char c : name)
        if (!std::isspace(static_cast<unsigned char>(c)))
            s += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (s == "CP1252")
        return "WINDOWS-1252";
    if (s == "CP936")
        return "GBK";
    return s;
}

size_t utf8_length_at(std::string_view s, size_t i)
{
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    return std::min(n, s.size() - i);
}

}  // namespace

CodePage::CodePage() : m_index(0) {}

CodePage::CodePage(std::string_view name)
{
    std::string want = canonical(name);
    for (size_t i = 0; i < std::size(kCodePages); ++i)
        if (want == kCodePages[i].name)
            m_index = static_cast<int>(i);
}

CodePage CodePage::from_settings(std::string* note)
{
    CKvBasicCfgIni ini;
    ini.SetFileName(CKvBasicCfgIni::path_in_root("corvane.ini"));
    std::string value = ini.GetValue("STB", "CodePage");
    if (value.empty())
        return CodePage();
    CodePage cp(value);
    if (cp.valid())
        return cp;
    if (note)
        *note = "unknown code page \"" + value + "\" in corvane.ini [STB] CodePage, using WINDOWS-1252";
    return CodePage();
}

const std::vector<std::string>& CodePage::known()
{
    static const std::vector<std::string> names = [] {
        std::vector<std::string> v;
        for (const auto& cp : kCodePages)
            v.emplace_back(cp.name);
        return v;
    }();
    return names;
}

const std::string& CodePage::name() const
{
    static const std::string none;
    static const std::vector<std::string>& names = known();
    return valid() ? names[static_cast<size_t>(m_index)] : none;
}

int CodePage::max_char_bytes() const { return valid() ? kCodePages[m_index].max_char_bytes : 1; }

bool CodePage::to_box(std::string_view utf8, std::string& out, std::string* bad) const
{
    out.clear();
    if (!valid())
        return false;
    size_t bad_at = 0;
    if (convert_text("UTF-8", kCodePages[m_index].iconv, utf8, out, &bad_at))
        return true;
    if (bad)
        *bad = bad_at < utf8.size() ? std::string(utf8.substr(bad_at, utf8_length_at(utf8, bad_at))) : std::string();
    out.clear();
    return false;
}

std::string CodePage::to_screen(std::string_view bytes) const
{
    std::string out;
    if (!valid())
        return out;
    // Convert run by run so that one undefined byte becomes one U+FFFD and the
    // rest of the text still shows.
    size_t pos = 0;
    while (pos < bytes.size()) {
        std::string part;
        size_t bad_at = 0;
        if (convert_text(kCodePages[m_index].iconv, "UTF-8", bytes.substr(pos), part, &bad_at)) {
            out += part;
            break;
        }
        std::string good;
        convert_text(kCodePages[m_index].iconv, "UTF-8", bytes.substr(pos, bad_at), good, nullptr);
        out += good;
        out += "\xEF\xBF\xBD";
        pos += bad_at + 1;
    }
    return out;
}

bool CodePage::round_trips(std::string_view bytes) const
{
    std::string back;
    return to_box(to_screen(bytes), back) && back == bytes;
}

size_t CodePage::fit(std::string_view bytes, size_t max) const
{
    if (bytes.size() <= max)
        return bytes.size();
    if (max_char_bytes() == 1)
        return max;
    // Double-byte code pages: a lead byte of 0x81 to 0xFE starts a pair.
    size_t i = 0;
    while (i < max) {
        size_t n = static_cast<unsigned char>(bytes[i]) >= 0x81 && static_cast<unsigned char>(bytes[i]) <= 0xFE ? 2 : 1;
        if (i + n > max)
            break;
        i += n;
    }
    return i;
}

}  // namespace kv
