#include "FirScript.h"

#include "Tesselcore.h"

#include <algorithm>

namespace fir {

namespace {

std::vector<std::string_view> split_lines(std::string_view text)
{
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

bool starts(std::string_view line, std::string_view prefix) { return line.substr(0, prefix.size()) == prefix; }

// The names of one item line, in order: the first bracket of every item.
// Items are bracket runs separated by one character; ";" or "##" after an
// item, or the end of the line, ends the list.
void item_names(std::string_view view, std::vector<std::string>* out)
{
    const std::string line(view);
    size_t pos = line.find('[');
    std::string name;
    while (pos != std::string::npos && tessel::next_bracket(line, &pos, &name)) {
        out->push_back(name.substr(0, kKeyNameMax));
        std::string field;
        while (tessel::next_bracket(line, &pos, &field)) {}
        if (pos >= line.size() || line[pos] == ';' || line.compare(pos, 2, "##") == 0)
            return;
        ++pos;  // the separator
    }
}

}  // namespace

KeyCounts counts_from_names(const KeyNames& names)
{
    KeyCounts c;
    c.ir1 = std::max<int>(0, static_cast<int>(names.ir1.size()) - 2);
    c.ir2 = std::max<int>(0, static_cast<int>(names.ir2.size()) - 2);
    c.fp = static_cast<int>(names.fp.size());
    return c;
}

ScriptStatus unpack_script(const uint8_t* data, size_t len, std::string* text)
{
    std::vector<uint8_t> out;
    if (!data || !tessel::gzip_decompress(data, len, &out, kMaxScriptSize))
        return kScriptUnpack;
    text->assign(out.begin(), out.end());
    return kScriptOk;
}

bool script_header_ok(std::string_view text, std::vector<std::string>* notes)
{
    bool ok = false;
    for (std::string_view line : split_lines(text)) {
        if (!starts(line, "CFGHEADER"))
            continue;
        size_t eq = line.find('=');
        if (eq == std::string_view::npos) {
            if (notes)
                notes->push_back("Error line!");
            continue;
        }
        if (line.substr(eq + 1) == "toolcfg")
            ok = true;
    }
    return ok;
}

ScriptStatus read_key_names(std::string_view text, KeyNames* out, std::vector<std::string>* notes)
{
    *out = KeyNames{};
    if (!script_header_ok(text, notes))
        return kScriptInvalid;
    for (std::string_view line : split_lines(text)) {
        std::string_view body = starts(line, "##") ? line.substr(2) : line;
        if (starts(body, "[1_"))
            item_names(body, &out->ir1);
        else if (starts(body, "[2_"))
            item_names(body, &out->ir2);
        else if (starts(body, "[KEY"))
            item_names(body, &out->fp);
    }
    auto cap = [&](std::vector<std::string>& names, size_t room, const char* what) {
        if (names.size() <= room)
            return;
        if (notes)
            notes->push_back("The script names " + std::to_string(names.size()) + " " + what + " keys; the first " +
                             std::to_string(room) + " are used.");
        names.resize(room);
    };
    cap(out->ir1, 128, "IR1");
    cap(out->ir2, 128, "IR2");
    cap(out->fp, 16, "front-panel");
    return kScriptOk;
}

}  // namespace fir
