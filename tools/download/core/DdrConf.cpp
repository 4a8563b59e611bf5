#include "DdrConf.h"

#include "TextLines.h"

#include <cctype>
#include <charconv>
#include <string_view>

namespace download {

namespace {

void skip_blanks(std::string_view& s)
{
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
}

// A hexadecimal number as "%x" reads it: optional blanks, an optional "0x".
bool take_hex(std::string_view& s, uint32_t* out)
{
    skip_blanks(s);
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X') && std::isxdigit(static_cast<unsigned char>(s[2])))
        s.remove_prefix(2);
    auto r = std::from_chars(s.data(), s.data() + s.size(), *out, 16);
    if (r.ec != std::errc())
        return false;
    s.remove_prefix(size_t(r.ptr - s.data()));
    return true;
}

bool take_dec(std::string_view& s, int* out)
{
    skip_blanks(s);
    if (!s.empty() && s[0] == '+')
        s.remove_prefix(1);
    auto r = std::from_chars(s.data(), s.data() + s.size(), *out, 10);
    if (r.ec != std::errc())
        return false;
    s.remove_prefix(size_t(r.ptr - s.data()));
    return true;
}

uint32_t* option_slot(FpgaOptions& o, std::string_view name)
{
    struct Entry {
        const char* name;
        uint32_t FpgaOptions::*slot;
    };
    static const Entry kOptions[] = {
        {"address", &FpgaOptions::address},
        {"clear0", &FpgaOptions::clear0},
        {"clear1", &FpgaOptions::clear1},
        {"clock_delay0", &FpgaOptions::clock_delay0},
        {"clock_delay1", &FpgaOptions::clock_delay1},
        {"dqs_delay0", &FpgaOptions::dqs_delay0},
        {"dqs_delay1", &FpgaOptions::dqs_delay1},
    };
    for (const Entry& e : kOptions)
        if (name.substr(0, std::string_view(e.name).size()) == e.name)
            return &(o.*e.slot);
    return nullptr;
}

bool blank(std::string_view s)
{
    skip_blanks(s);
    return s.empty();
}

std::string at_line(int n, const std::string& what) { return "line " + std::to_string(n) + ": " + what; }

}  // namespace

int parse_fpga_config(const std::string& text, FpgaConfig* out, std::string* error)
{
    FpgaConfig cfg;
    std::string err;
    int n = 0;
    for (std::string_view line : kv::split_lines(text)) {
        ++n;
        if (blank(line) || line[0] == '#')
            continue;
        if (line[0] == '$') {
            uint32_t* slot = option_slot(cfg.options, line.substr(1));
            if (!slot)
                continue;
            size_t eq = line.find('=');
            std::string_view rest = eq == std::string_view::npos ? std::string_view() : line.substr(eq + 1);
            if (eq == std::string_view::npos || !take_hex(rest, slot)) {
                err = at_line(n, "the option \"" + std::string(line) + "\" has no hexadecimal value after '='");
                break;
            }
            continue;
        }
        ConfigWrite w;
        w.line = n;
        std::string_view rest = line;
        if (!take_dec(rest, &w.index) || !take_hex(rest, &w.address) || !take_hex(rest, &w.value)) {
            err = at_line(n, "\"" + std::string(line) + "\" is not an index, an address and a value");
            break;
        }
        cfg.writes.push_back(w);
    }
    if (!err.empty()) {
        if (error)
            *error = err;
        return 0;
    }
    *out = std::move(cfg);
    return 1;
}

}  // namespace download
