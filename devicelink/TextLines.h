// Splitting a text into lines: a line ends at CR, LF or the end of the text,
// and CR LF counts as one end. The views point into the text.
#pragma once

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

}  // namespace kv
