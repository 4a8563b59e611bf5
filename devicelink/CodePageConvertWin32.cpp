// Text conversion between code pages with the Win32 functions
// (MultiByteToWideChar / WideCharToMultiByte), through UTF-16.
#include "CodePageConvert.h"

#include <cstring>

#include <windows.h>

namespace kv {

namespace {

// The Windows code page of an iconv name (0: unknown).
UINT code_page_of(const char* name)
{
    static const struct {
        const char* name;
        UINT cp;
    } kPages[] = {{"UTF-8", CP_UTF8},         {"WINDOWS-1252", 1252},  {"WINDOWS-1250", 1250},
                  {"WINDOWS-1251", 1251},     {"ISO-8859-1", 28591},   {"ISO-8859-15", 28605},
                  {"GBK", 936}};
    for (const auto& p : kPages)
        if (std::strcmp(p.name, name) == 0)
            return p.cp;
    return 0;
}

bool to_wide(UINT cp, std::string_view in, std::wstring& out)
{
    out.clear();
    if (in.empty())
        return true;
    const int n = MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, in.data(), static_cast<int>(in.size()), nullptr, 0);
    if (n <= 0)
        return false;
    out.resize(static_cast<size_t>(n));
    return MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, in.data(), static_cast<int>(in.size()), out.data(), n) == n;
}

bool from_wide(UINT cp, std::wstring_view in, std::string& out)
{
    out.clear();
    if (in.empty())
        return true;
    // Never a best-fit stand-in: a character the code page lacks fails.
    const DWORD flags = cp == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL defaulted = FALSE;
    BOOL* used = cp == CP_UTF8 ? nullptr : &defaulted;
    const int len = static_cast<int>(in.size());
    const int n = WideCharToMultiByte(cp, flags, in.data(), len, nullptr, 0, nullptr, used);
    if (n <= 0 || defaulted)
        return false;
    out.resize(static_cast<size_t>(n));
    return WideCharToMultiByte(cp, flags, in.data(), len, out.data(), n, nullptr, used) == n && !defaulted;
}

bool convert_all(UINT from, UINT to, std::string_view in, std::string& out)
{
    std::wstring wide;
    return to_wide(from, in, wide) && from_wide(to, wide, out);
}

// The length of the character at `i`: UTF-8 by its lead byte, a double-byte
// code page by IsDBCSLeadByteEx, else one byte.
size_t char_length(UINT cp, std::string_view s, size_t i)
{
    const unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = 1;
    if (cp == CP_UTF8)
        n = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    else if (IsDBCSLeadByteEx(cp, c))
        n = 2;
    return n < s.size() - i ? n : s.size() - i;
}

}  // namespace

bool convert_text(const char* from, const char* to, std::string_view in, std::string& out, size_t* bad_at)
{
    const UINT src = code_page_of(from), dst = code_page_of(to);
    out.clear();
    if (!src || !dst) {
        if (bad_at)
            *bad_at = 0;
        return false;
    }
    if (convert_all(src, dst, in, out))
        return true;
    // Find the first character that does not convert; keep what did.
    out.clear();
    size_t i = 0;
    while (i < in.size()) {
        const size_t n = char_length(src, in, i);
        std::string part;
        if (!convert_all(src, dst, in.substr(i, n), part))
            break;
        out += part;
        i += n;
    }
    if (bad_at)
        *bad_at = i;
    return false;
}

}  // namespace kv
