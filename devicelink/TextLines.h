// Splitting a text into lines: a line ends at CR, LF or the end of the text,
// and CR LF counts as one end. The views point into the text. And a text
// without the blanks (spaces, tabs, line ends) around it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kv {

inline std::vector<std::string_view> split_lines(std::string_view text)
{
    std::vector<std::string_view> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find_first_of("\r\n", pos);
        if (eol == std::string_view::npos) {
            lines.push_back(text.substr(pos));
            break;
        }
        lines.push_back(text.substr(pos, eol - pos));
        pos = eol + 1;
        if (text[eol] == '\r' && pos < text.size() && text[pos] == '\n')
            ++pos;
    }
    return lines;
}

inline std::string trimmed(std::string_view s)
{
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string_view::npos)
        return "";
    size_t e = s.find_last_not_of(" \t\r\n");
    return std::string(s.substr(b, e - b + 1));
}

}  // namespace kv
