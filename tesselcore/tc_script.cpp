// The configuration script: sheets, blocks and items, their values from the
// block bytes; bit fields; the hardware-info files.
#include "Tesselcore.h"

#include "Workbook.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

using namespace tessel;


namespace tessel {

bool read_bits(const uint8_t* data, size_t size, uint64_t bit_pos, uint32_t bit_len, uint64_t* value)
{
    if (bit_len > 64 || !data || bit_pos + bit_len > (uint64_t)size * 8)
        return false;
    uint64_t v = 0;
    for (uint32_t i = 0; i < bit_len; ++i) {
        uint64_t b = bit_pos + i;
        if ((data[b / 8] >> (b % 8)) & 1u)
            v |= (uint64_t)1 << i;
    }
    *value = v;
    return true;
}

bool write_bits(uint8_t* data, size_t size, uint64_t bit_pos, uint32_t bit_len, uint64_t value)
{
    if (bit_len > 64 || !data || bit_pos + bit_len > (uint64_t)size * 8)
        return false;
    for (uint32_t i = 0; i < bit_len; ++i) {
        uint64_t b = bit_pos + i;
        uint8_t mask = (uint8_t)(1u << (b % 8));
        if ((value >> i) & 1u)
            data[b / 8] |= mask;
        else
            data[b / 8] &= (uint8_t)~mask;
    }
    return true;
}

bool key_byte_from_cell(const wb::Cell& cell, uint8_t* out)
{
    if (cell.kind == wb::CellKind::Number) {
        double d = cell.number;
        if (!(d >= 0 && d <= 99) || d != std::floor(d))
            return false;
        int v = (int)d;
        *out = (uint8_t)(((v / 10) << 4) | (v % 10));
        return true;
    }
    if (cell.kind != wb::CellKind::Text)
        return false;
    std::string t(cell.text());
    while (!t.empty() && std::isspace(static_cast<unsigned char>(t.back())))
        t.pop_back();
    size_t s = 0;
    while (s < t.size() && std::isspace(static_cast<unsigned char>(t[s])))
        ++s;
    t = t.substr(s);
    if (t.empty())
        return false;
    bool hex = false;
    for (size_t i = 0; i < 2 && i < t.size(); ++i)
        if (std::strchr("abcdefABCDEF", t[i]))
            hex = true;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        hex = true;
        t = t.substr(2);
    }
    for (char c : t)
        if (!(hex ? std::isxdigit(static_cast<unsigned char>(c)) : std::isdigit(static_cast<unsigned char>(c))))
            return false;
    if (t.size() > 8)
        return false;
    unsigned long v = std::strtoul(t.c_str(), nullptr, hex ? 16 : 10);
    if (v > 0xFF)
        return false;
    *out = (uint8_t)v;
    return true;
}

}  // namespace tessel

namespace {

std::vector<std::string> split_lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos)
            nl = text.size();
        std::string line = text.substr(start, nl - start);
        while (!line.empty() && (line.back() == '\r' || line.back() == '\0'))
            line.pop_back();
        lines.push_back(std::move(line));
        start = nl + 1;
    }
    return lines;
}

bool starts(const std::string& s, const char* prefix) { return s.compare(0, std::strlen(prefix), prefix) == 0; }

std::string trim(const std::string& s)
{
    size_t a = 0, b = s.size();
    while (a < b && std::isspace(static_cast<unsigned char>(s[a])))
        ++a;
    while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1])))
        --b;
    return s.substr(a, b - a);
}

// The value after "KEY" and "=", without a trailing "//" comment, trimmed;
// false without "=".
bool value_of(const std::string& line, std::string* value)
{
    size_t eq = line.find('=');
    if (eq == std::string::npos)
        return false;
    std::string v = line.substr(eq + 1);
    size_t comment = v.find("//");
    if (comment != std::string::npos)
        v.erase(comment);
    *value = trim(v);
    return true;
}

// The line without its indentation.
std::string unindented(const std::string& line)
{
    size_t a = line.find_first_not_of(" \t");
    return a == std::string::npos ? std::string() : line.substr(a);
}

// The keyword a line begins with: its leading letters, digits and
// underscores ("OFFSET" of "OFFSET = 4", "EMAIL" of "EMAIL=x").
std::string first_word(const std::string& line)
{
    size_t n = 0;
    while (n < line.size() && (std::isalnum(static_cast<unsigned char>(line[n])) || line[n] == '_'))
        ++n;
    return line.substr(0, n);
}


void copy_text(char* dst, size_t room, const std::string& src)
{
    size_t n = src.size() < room - 1 ? src.size() : room - 1;
    std::memcpy(dst, src.data(), n);
    dst[n] = '\0';
}

}  // namespace

bool tessel::parse_long(const std::string& text, int base, long long* out)
{
    std::string t = trim(text);
    if (t.empty())
        return false;
    if (base == 16 && t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X'))
        t = t.substr(2);
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(t.c_str(), &end, base);
    if (errno || *end != '\0' || end == t.c_str())
        return false;
    *out = v;
    return true;
}

bool tessel::next_bracket(const std::string& line, size_t* pos, std::string* out)
{
    if (*pos >= line.size() || line[*pos] != '[')
        return false;
    size_t br = line.find(']', *pos + 1);
    if (br == std::string::npos)
        return false;
    *out = line.substr(*pos + 1, br - *pos - 1);
    *pos = br + 1;
    return true;
}

int CTesselcore::getIRNum(const tag_dmh_block_info_local* r)
{
    m_ir_nums.clear();
    uint32_t size = entry_size(*r);
    if (size < 4 || !r->data)
        return -1;
    uint32_t n = rd32(r->data);
    if (n > (size - 4) / 4)
        return -1;
    for (uint32_t k = 0; k < n; ++k)
        m_ir_nums.push_back(r->data[7 + 4 * k]);
    return 0;
}

int CTesselcore::getItemValue(int i) const
{
    return i >= 0 && (size_t)i < m_ir_values.size() ? m_ir_values[i] : -1;
}

int CTesselcore::read_config_script(const std::string& path)
{
    if (path.empty()) {
        if (m_script.empty()) {
            show("ERROR!! no configuration script has been read from the flash!");
            return -6;
        }
        return read_config_script_text(m_script);
    }
    std::vector<uint8_t> bytes;
    std::string why;
    if (!wb::read_regular_file(path, kMaxScriptSize, &bytes, &why)) {
        show("ERROR!! can not open script file %s!", path.c_str());
        detail(why);
        return -6;
    }
    return read_config_script_text(std::string(bytes.begin(), bytes.end()));
}

int CTesselcore::read_config_script_text(const std::string& text)
{
    generator_init();
    std::vector<std::string> lines = split_lines(text);
    bool header = false;
    for (const auto& raw : lines) {
        const std::string l = unindented(raw);
        if (first_word(l) != "CFGHEADER")
            continue;
        std::string v;
        if (!value_of(l, &v)) {
            show("ERROR!! script header line has no '='!");
            return -7;
        }
        header = v == "toolcfg";
        break;
    }
    if (!header) {
        show("ERROR!! the script has no header \"toolcfg\"!");
        return -7;
    }
    int slot = -1;
    cus_config_block* block = nullptr;
    for (size_t i = 0; i < lines.size(); ++i) {
        int rc = parse_script_line(lines[i], &slot, &block);
        if (rc != 0) {
            std::string msg = m_message;
            show("ERROR!! script line %zu: %s", i + 1, msg.c_str());
            generator_init();
            return -7;
        }
    }
    return 0;
}

// One line of the script. Lines are classified by their first word after
// any indentation; a value may be followed by a "//" comment. Lines this tool
// does not act on (comments, "FLASH", anything it does not know) are skipped.
int CTesselcore::parse_script_line(const std::string& raw, int* slot, cus_config_block** block)
{
    auto fail = [&](const char* why) {
        m_message = why;
        return -7;
    };
    const std::string line = unindented(raw);
    if (line.empty() || starts(line, "//"))
        return 0;
    if (starts(line, "##") || starts(line, "[")) {
        if (!*block)
            return fail("items outside a block");
        return parse_item_line(line, *block);
    }
    const std::string word = first_word(line);
    std::string v;
    long long n = 0;
    if (word == "SHEETID") {
        if (!value_of(line, &v))
            return fail("SHEETID without '='");
        *slot = v == "2" ? 0 : v == "3" ? 1 : 2;
        std::strcpy(m_sheets[*slot].name, *slot == 0 ? "sheet2" : *slot == 1 ? "sheet3" : "sheet4");
        *block = nullptr;
        return 0;
    }
    if (word == "SHEETINFO") {
        if (*slot < 0)
            return fail("SHEETINFO before SHEETID");
        return read_sheet_info(line, *slot) ? 0 : fail("out of memory");
    }
    if (word == "BLOCKINFO") {
        if (*slot < 0)
            return fail("BLOCKINFO before SHEETID");
        std::string rest = line.size() > 10 ? line.substr(10) : std::string();
        size_t br = rest.find(']');
        if (br == std::string::npos)
            return fail("BLOCKINFO without ']'");
        cus_config_block* b = block_new();
        if (!b)
            return fail("out of memory");
        copy_text(b->name, sizeof b->name, rest.substr(0, br));
        cus_config_block** tail = &m_sheets[*slot].blocks;
        while (*tail)
            tail = &(*tail)->next;
        *tail = b;
        *block = b;
        m_ir_values.clear();
        return 0;
    }
    if (word == "OFFSET") {
        if (!*block)
            return fail("OFFSET outside a block");
        if (!value_of(line, &v) || !parse_long(v, 10, &n) || n < 0 || n > 0x7FFFFFFF)
            return fail("bad OFFSET");
        (*block)->offset = (int32_t)n;
        return 0;
    }
    if (word == "EM") {
        if (!*block)
            return fail("EM outside a block");
        if (!value_of(line, &v) || !parse_long(v, 10, &n) || n < 0 || n > 255)
            return fail("bad EM");
        (*block)->em = (uint8_t)n;
        return 0;
    }
    if (word == "INDEX") {
        if (!*block)
            return fail("INDEX outside a block");
        if (!value_of(line, &v) || !parse_long(v, 16, &n) || n < 0 || n > 255)
            return fail("bad INDEX");
        (*block)->id = (uint8_t)n;
        tag_dmh_block_info_local* r = get_block_info_by_id((uint8_t)n);
        if (!r) {
            std::string msg = m_message;
            return fail(msg.c_str());
        }
        if (n == 0xE0 && getIRNum(r) != 0)
            return fail("the IR block's key table does not fit in the block");
        return 0;
    }
    return 0;  // CFGHEADER (read before), FLASH and every line this tool does not act on
}

bool CTesselcore::read_sheet_info(const std::string& line, int slot)
{
    std::string rest = line.size() > 10 ? line.substr(10) : std::string();
    std::vector<std::string> pieces;
    size_t start = 0;
    while (start <= rest.size()) {
        size_t br = rest.find(']', start);
        if (br == std::string::npos) {
            std::string tail = rest.substr(start);
            if (!trim(tail).empty() && !starts(trim(tail), "//"))
                pieces.push_back(tail);
            break;
        }
        pieces.push_back(rest.substr(start, br - start));
        start = br + 1;
    }
    cus_config_sheet_info** tail = &m_sheets[slot].infos;
    while (*tail)
        tail = &(*tail)->next;
    for (size_t k = 0; k < pieces.size(); ++k) {
        std::string p = k == 0 ? pieces[k] : pieces[k].substr(pieces[k].empty() ? 0 : 1);
        cus_config_sheet_info* info = info_new();
        if (!info)
            return false;
        copy_text(info->text, sizeof info->text, p);
        *tail = info;
        tail = &info->next;
    }
    return true;
}

int CTesselcore::parse_item_line(const std::string& line, cus_config_block* block)
{
    auto fail = [&](const std::string& why) {
        m_message = why;
        return -7;
    };
    tag_dmh_block_info_local* r = nullptr;
    if (m_node && m_node->working)
        for (uint32_t i = 0; i < m_node->count && !r; ++i)
            if (entry_id(m_node->working[i]) == block->id)
                r = &m_node->working[i];
    if (!r)
        return fail("items before the block's INDEX");
    const uint32_t size = entry_size(*r);
    const bool ir = block->id == 0xE0;
    if (ir && m_ir_values.empty()) {
        size_t base = 4 + 4 * m_ir_nums.size();
        for (size_t i = base; i < size; ++i)
            m_ir_values.push_back(r->data[i]);
    }

    size_t pos = line.find('[', starts(line, "##") ? 2 : 0);
    auto piece = [&](std::string* out) { return tessel::next_bracket(line, &pos, out); };
    cus_config_item** tail = &block->items;
    int count = 0;
    while (*tail) {
        tail = &(*tail)->next;
        ++count;
    }
    while (pos < line.size()) {
        std::string name, type, off, len, mn, mx, note;
        if (!piece(&name))
            return fail("bad item");
        if (trim(name) == ";" || name.find("##") != std::string::npos)
            break;
        long long t = 0, o = 0, l = 0, lo = 0, hi = 0;
        if (!piece(&type) || !piece(&off) || !piece(&len) || !parse_long(type, 10, &t) ||
            !parse_long(off, 10, &o) || !parse_long(len, 10, &l) || o < 0 || o > 0x7FFFFFFF || l < 0 ||
            l > 0x7FFFFFFF || t < INT32_MIN || t > INT32_MAX)
            return fail("bad item [" + name + "]");
        if (t == 2 && (!piece(&mn) || !piece(&mx) || !parse_long(mn, 10, &lo) || !parse_long(mx, 10, &hi) ||
                       lo < INT32_MIN || hi > INT32_MAX || lo > hi))
            return fail("bad range of item [" + name + "]");
        if (block->em == 1 && !piece(&note))
            return fail("item [" + name + "] lacks its text");
        cus_config_item* it = item_new();
        if (!it)
            return fail("out of memory");
        copy_text(it->name, sizeof it->name, name);
        it->type = (int32_t)t;
        it->bit_off = (uint32_t)o;
        it->bit_len = (uint32_t)l;
        it->min = (int32_t)lo;
        it->max = (int32_t)hi;
        copy_text(it->text, sizeof it->text, note);
        *tail = it;
        tail = &it->next;

        if (it->type == 0 || it->type == 2) {
            if (ir) {
                if ((size_t)count >= m_ir_values.size())
                    return fail("IR item [" + name + "] lies outside its block");
                it->value = m_ir_values[count];
            } else {
                uint64_t bit = (uint64_t)block->offset * 8 + it->bit_off;
                if (it->bit_len == 0 || it->bit_len > 64 || !read_bits(r->data, size, bit, it->bit_len, &it->value))
                    return fail("item [" + name + "] lies outside its block");
            }
        } else {
            uint64_t at = (uint64_t)block->offset + it->bit_off / 8;
            uint64_t field = it->bit_len / 8;
            if (at >= size || at + field > size)
                return fail("item [" + name + "] lies outside its block");
            // Up to 19 bytes of the field, never half a character of the box's code page.
            std::string raw;
            for (size_t k = 0; k < sizeof it->text_value && at + k < size && (field == 0 || k < field) && r->data[at + k]; ++k)
                raw += (char)r->data[at + k];
            copy_text(it->text_value, sizeof it->text_value,
                      raw.substr(0, m_code_page.fit(raw, sizeof it->text_value - 1)));
        }
        ++count;

        // One separator character between items; ";" or "##" ends the line.
        if (pos >= line.size())
            break;
        if (line[pos] == '[')
            continue;
        if (pos + 1 < line.size() && line[pos + 1] == '[') {
            ++pos;
            continue;
        }
        break;  // what follows the items (";", "##", a comment) says nothing more
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Hardware-info files

int CTesselcore::get_line_type(const char* text)
{
    if (!text)
        return LINE_OTHER;
    while (*text == ' ' || *text == '\t')
        ++text;
    auto prefix = [&](const char* p) { return strncasecmp(text, p, std::strlen(p)) == 0; };
    if (prefix("//"))
        return LINE_COMMENT;
    if (prefix("----"))
        return LINE_SEPARATOR;
    if (prefix("panel starts"))
        return LINE_PANEL_START;
    if (prefix("led starts"))
        return LINE_LED_START;
    return LINE_OTHER;
}

int CTesselcore::hw_info_parser(uint8_t* panel, uint8_t* led, const std::string& path)
{
    if (!path.empty()) {
        // A regular file of bounded size: a device or a FIFO is never read.
        std::vector<uint8_t> bytes;
        std::string why;
        if (!wb::read_regular_file(path, kMaxHwInfoFile, &bytes, &why)) {
            show("error while parsing panel hw info");
            detail(why);
            return -1;
        }
        m_hw_lines = split_lines(std::string(bytes.begin(), bytes.end()));
        m_hw_pos = 0;
    }
    bool panel_done = false, led_done = false;
    while (m_hw_pos < m_hw_lines.size()) {
        int type = get_line_type(m_hw_lines[m_hw_pos++].c_str());
        if (type == LINE_PANEL_START) {
            if (fill_panel_info(panel) != 0) {
                show("error while parsing panel hw info");
                return -1;
            }
            panel_done = true;
        } else if (type == LINE_LED_START) {
            if (fill_led_bitmap(led) != 0) {
                show("error while parsing led bitmap");
                return -1;
            }
            led_done = true;
        }
    }
    // A file without both sections is not a hardware-info file.
    if (!panel_done) {
        show("error while parsing panel hw info");
        return -1;
    }
    if (!led_done) {
        show("error while parsing led bitmap");
        return -1;
    }
    return 0;
}

int CTesselcore::hw_info_parser_text(uint8_t* panel, uint8_t* led, const std::string& text)
{
    m_hw_lines = split_lines(text);
    m_hw_pos = 0;
    return hw_info_parser(panel, led, std::string());
}

int CTesselcore::fill_panel_info(uint8_t* panel)
{
    std::memset(panel, 0, kPanelRecordSize);
    const size_t max_values = kPanelRecordSize - 2;
    size_t count = 0;
    while (m_hw_pos < m_hw_lines.size()) {
        std::string line = m_hw_lines[m_hw_pos++];
        int type = get_line_type(line.c_str());
        if (type == LINE_COMMENT || type == LINE_SEPARATOR)
            continue;
        size_t cut = line.find("//");
        if (cut != std::string::npos && line.find("##") > cut)
            line = line.substr(0, cut);
        size_t end = line.find("##");
        bool last = end != std::string::npos;
        std::string body = last ? line.substr(0, end) : line;
        std::string token;
        for (char c : body) {
            if (c == ' ' || c == '\t' || c == '{' || c == '}' || c == '\r')
                continue;
            if (c != ',') {
                token += c;
                continue;
            }
            if (token.empty())
                continue;
            long long v = 0;
            if (!parse_long(token, 16, &v) || v < 0 || v > 0xFF || count >= max_values)
                return -1;
            panel[2 + count++] = (uint8_t)v;
            token.clear();
        }
        if (!token.empty())
            return -1;  // a value without its ","
        if (last) {
            panel[0] = (uint8_t)count;
            panel[1] = (uint8_t)(count >> 8);
            return 0;
        }
    }
    return -1;  // no "##"
}

int CTesselcore::fill_led_bitmap(uint8_t* led)
{
    std::memset(led, 0, kLedMapSize);
    const size_t room = kLedMapSize - 2;
    size_t used = 0, pairs = 0;
    while (m_hw_pos < m_hw_lines.size()) {
        const std::string line = m_hw_lines[m_hw_pos++];
        int type = get_line_type(line.c_str());
        if (type == LINE_COMMENT || type == LINE_SEPARATOR)
            continue;
        size_t end = line.find("##");
        std::string body = end == std::string::npos ? line : line.substr(0, end);
        size_t i = 0;
        while (i < body.size()) {
            size_t q = body.find('\'', i);
            if (q == std::string::npos)
                break;
            // 'c', followed by the number and "},"
            if (q + 2 >= body.size() || body[q + 2] != '\'')
                return -1;
            char ch = body[q + 1];
            size_t comma = body.find(',', q + 3);
            size_t close = body.find('}', q + 3);
            if (comma == std::string::npos || close == std::string::npos || close < comma)
                return -1;
            std::string num;
            for (size_t k = comma + 1; k < close; ++k)
                if (body[k] != ' ' && body[k] != '\t')
                    num += body[k];
            long long v = 0;
            if (!parse_long(num, 16, &v) || v < 0 || v > 0xFF)
                return -1;
            if (used + 2 > room)
                return -1;
            led[2 + used++] = (uint8_t)ch;
            led[2 + used++] = (uint8_t)v;
            ++pairs;
            i = close + 1;
        }
        if (end != std::string::npos) {
            led[0] = (uint8_t)pairs;
            led[1] = (uint8_t)(pairs >> 8);
            return 0;
        }
    }
    return -1;
}
