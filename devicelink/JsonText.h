// Text for JSON reports: corvane-cli's and the line database's.
#pragma once

#include <cstdio>
#include <string>

namespace kv_json {

// `s` as the inside of a JSON string.
inline std::string escape(const std::string& s)
{
    std::string o;
    for (unsigned char c : s) {
        switch (c) {
        case '"': o += "\\\""; break;
        case '\\': o += "\\\\"; break;
        case '\n': o += "\\n"; break;
        case '\r': o += "\\r"; break;
        case '\t': o += "\\t"; break;
        default:
            if (c < 0x20) {
                char b[8];
                std::snprintf(b, sizeof(b), "\\u%04x", c);
                o += b;
            } else {
                o += static_cast<char>(c);
            }
        }
    }
    return o;
}

// `s` as a JSON string, quotes included.
inline std::string quoted(const std::string& s) { return "\"" + escape(s) + "\""; }

}  // namespace kv_json
