// The configuration script: sheets, blocks and items, their values from the
// block bytes; bit fields.
#include "ConfigScript.h"

#include "TesselCompress.h"
#include "Text.h"
#include "Workbook.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

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

}  // namespace tessel

using namespace tessel;

namespace {

bool starts(const std::string& s, const char* prefix) { return s.compare(0, std::strlen(prefix), prefix) == 0; }

std::string trim(const std::string& s) { return kv::trimmed(s, kv::kWhiteSpace); }

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

std::vector<std::string> tessel::split_lines(const std::string& text)
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

ConfigScript::ConfigScript(Report& report, DmhTable& dmh, const kv::CodePage& code_page)
    : m_report(report), m_dmh(dmh), m_code_page(code_page)
{
    std::memset(m_sheets, 0, sizeof m_sheets);
}

bool ConfigScript::fail(const std::string& why)
{
    m_report.set(why);
    return false;
}

void ConfigScript::clear()
{
    for (auto& s : m_sheets)
        free_sheet(&s);
    m_ir_nums.clear();
    m_ir_values.clear();
}

template <typename T>
T* ConfigScript::record_new()
{
    auto* r = static_cast<T*>(std::calloc(1, sizeof(T)));
    if (!r)
        m_report.show("MALLOC FAILED!!!");
    return r;
}

void ConfigScript::free_sheet(cus_config_sheet_t* sheet)
{
    for (auto* info = sheet->infos; info;) {
        auto* next = info->next;
        std::free(info);
        info = next;
    }
    for (auto* b = sheet->blocks; b;) {
        for (auto* it = b->items; it;) {
            auto* next = it->next;
            std::free(it);
            it = next;
        }
        auto* next = b->next;
        std::free(b);
        b = next;
    }
    std::memset(sheet, 0, sizeof *sheet);
}

bool ConfigScript::unpack(const uint8_t* image, uint32_t len, const tag_dmh_block_info_local& r)
{
    m_script.clear();
    uint64_t start = (uint64_t)r.dmh_addr + entry_offset(r);
    uint32_t size = entry_size(r);
    std::vector<uint8_t> text;
    const kv::ByteReader packed = kv::ByteReader(image, image ? len : 0).view(size_t(start), size);
    const unpack_t u =
        image && packed.ok() ? gzip_unpack(packed.peek(), size, &text, kMaxScriptSize) : unpack_t::damaged;
    if (u == unpack_t::too_large) {
        m_report.show("ERROR!! the script of block [toolcfg] is too large (more than %zu bytes unpacked)!",
                      kMaxScriptSize);
        return false;
    }
    if (u != unpack_t::ok) {
        m_report.show("ERROR!! can not unpack the script of block [toolcfg]!");
        return false;
    }
    m_script.assign(text.begin(), text.end());
    return true;
}

bool ConfigScript::read_ir_numbers(const tag_dmh_block_info_local* r)
{
    m_ir_nums.clear();
    uint32_t size = entry_size(*r);
    if (size < 4 || !r->data)
        return false;
    kv::ByteReader in(r->data, size);
    uint32_t n = in.le32();
    if (n > (size - 4) / 4)
        return false;
    for (uint32_t k = 0; k < n; ++k)  // the top byte of each 32-bit count
        m_ir_nums.push_back(uint8_t(in.le32() >> 24));
    return true;
}

bool ConfigScript::source_text(const std::string& path, std::string* text)
{
    if (path.empty()) {
        if (m_script.empty()) {
            m_report.show("ERROR!! no configuration script has been read from the flash!");
            return false;
        }
        *text = m_script;
        return true;
    }
    std::vector<uint8_t> bytes;
    std::string why;
    if (!wb::read_regular_file(path, kMaxScriptSize, &bytes, &why)) {
        m_report.show("ERROR!! can not open script file %s!", path.c_str());
        m_report.detail(why);
        return false;
    }
    text->assign(bytes.begin(), bytes.end());
    return true;
}

bool ConfigScript::read_text(const std::string& text)
{
    clear();
    std::vector<std::string> lines = split_lines(text);
    bool header = false;
    for (const auto& raw : lines) {
        const std::string l = unindented(raw);
        if (first_word(l) != "CFGHEADER")
            continue;
        std::string v;
        if (!value_of(l, &v)) {
            m_report.show("ERROR!! script header line has no '='!");
            return false;
        }
        header = v == "toolcfg";
        break;
    }
    if (!header) {
        m_report.show("ERROR!! the script has no header \"toolcfg\"!");
        return false;
    }
    int slot = -1;
    cus_config_block* block = nullptr;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (!parse_line(lines[i], &slot, &block)) {
            std::string msg = m_report.message();
            m_report.show("ERROR!! script line %zu: %s", i + 1, msg.c_str());
            clear();
            return false;
        }
    }
    return true;
}

// One line of the script. Lines are classified by their first word after
// any indentation; a value may be followed by a "//" comment. Lines this tool
// does not act on (comments, "FLASH", anything it does not know) are skipped.
bool ConfigScript::parse_line(const std::string& raw, int* slot, cus_config_block** block)
{
    const std::string line = unindented(raw);
    if (line.empty() || starts(line, "//"))
        return true;
    if (starts(line, "##") || starts(line, "[")) {
        if (!*block)
            return fail("items outside a block");
        return parse_item_line(line, *block);
    }
    const std::string word = first_word(line);
    if (word == "SHEETID") {
        std::string v;
        if (!value_of(line, &v))
            return fail("SHEETID without '='");
        *slot = v == "2" ? 0 : v == "3" ? 1 : 2;
        std::strcpy(m_sheets[*slot].name, *slot == 0 ? "sheet2" : *slot == 1 ? "sheet3" : "sheet4");
        *block = nullptr;
        return true;
    }
    if (word == "SHEETINFO") {
        if (*slot < 0)
            return fail("SHEETINFO before SHEETID");
        return read_sheet_info(line, *slot) || fail("out of memory");
    }
    if (word == "BLOCKINFO") {
        if (*slot < 0)
            return fail("BLOCKINFO before SHEETID");
        return parse_block_info(line, *slot, block);
    }
    if (word == "OFFSET" || word == "EM" || word == "INDEX") {
        if (!*block)
            return fail(word + " outside a block");
        return parse_block_field(word, line, *block);
    }
    return true;  // CFGHEADER (read before), FLASH and every line this tool does not act on
}

bool ConfigScript::parse_block_info(const std::string& line, int slot, cus_config_block** block)
{
    std::string rest = line.size() > 10 ? line.substr(10) : std::string();
    size_t br = rest.find(']');
    if (br == std::string::npos)
        return fail("BLOCKINFO without ']'");
    cus_config_block* b = record_new<cus_config_block>();
    if (!b)
        return fail("out of memory");
    copy_text(b->name, sizeof b->name, rest.substr(0, br));
    cus_config_block** tail = &m_sheets[slot].blocks;
    while (*tail)
        tail = &(*tail)->next;
    *tail = b;
    *block = b;
    m_ir_values.clear();
    return true;
}

// OFFSET (decimal), EM (decimal) and INDEX (hexadecimal, naming a block of
// the image) of the block being read.
bool ConfigScript::parse_block_field(const std::string& word, const std::string& line, cus_config_block* block)
{
    std::string v;
    long long n = 0;
    if (word == "OFFSET") {
        if (!value_of(line, &v) || !parse_long(v, 10, &n) || n < 0 || n > 0x7FFFFFFF)
            return fail("bad OFFSET");
        block->offset = (int32_t)n;
        return true;
    }
    if (word == "EM") {
        if (!value_of(line, &v) || !parse_long(v, 10, &n) || n < 0 || n > 255)
            return fail("bad EM");
        block->em = (uint8_t)n;
        return true;
    }
    if (!value_of(line, &v) || !parse_long(v, 16, &n) || n < 0 || n > 255)
        return fail("bad INDEX");
    block->id = (uint8_t)n;
    tag_dmh_block_info_local* r = m_dmh.by_id((uint8_t)n);
    if (!r) {
        std::string msg = m_report.message();
        return fail(msg);
    }
    if (n == 0xE0 && !read_ir_numbers(r))
        return fail("the IR block's key table does not fit in the block");
    return true;
}

bool ConfigScript::read_sheet_info(const std::string& line, int slot)
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
        cus_config_sheet_info* info = record_new<cus_config_sheet_info>();
        if (!info)
            return false;
        copy_text(info->text, sizeof info->text, p);
        *tail = info;
        tail = &info->next;
    }
    return true;
}

bool ConfigScript::parse_item_line(const std::string& line, cus_config_block* block)
{
    tag_dmh_block_info_local* r = nullptr;
    const tag_dmh_block_node* node = m_dmh.node();
    if (node && node->working)
        for (uint32_t i = 0; i < node->count && !r; ++i)
            if (entry_id(node->working[i]) == block->id)
                r = &node->working[i];
    if (!r)
        return fail("items before the block's INDEX");
    const uint32_t size = entry_size(*r);
    if (block->id == 0xE0 && m_ir_values.empty()) {
        size_t base = 4 + 4 * m_ir_nums.size();
        for (size_t i = base; i < size; ++i)
            m_ir_values.push_back(r->data[i]);
    }

    size_t pos = line.find('[', starts(line, "##") ? 2 : 0);
    cus_config_item** tail = &block->items;
    int count = 0;
    while (*tail) {
        tail = &(*tail)->next;
        ++count;
    }
    while (pos < line.size()) {
        cus_config_item* it = nullptr;
        std::string name;
        if (!parse_item(line, &pos, block, &it, &name))
            return false;
        if (!it)
            break;
        *tail = it;
        tail = &it->next;
        if (!read_item_value(it, name, block, *r, count))
            return false;
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
    return true;
}

// One item "[name][type][offset][length]" (a choice adds "[min][max]", an
// EM 1 block its text) at *pos; *made stays null at the line's end (";", "##").
bool ConfigScript::parse_item(const std::string& line, size_t* pos, cus_config_block* block, cus_config_item** made,
                              std::string* item_name)
{
    auto piece = [&](std::string* out) { return tessel::next_bracket(line, pos, out); };
    std::string& name = *item_name;
    std::string type, off, len, mn, mx, note;
    if (!piece(&name))
        return fail("bad item");
    if (trim(name) == ";" || name.find("##") != std::string::npos)
        return true;
    long long t = 0, o = 0, l = 0, lo = 0, hi = 0;
    if (!piece(&type) || !piece(&off) || !piece(&len) || !parse_long(type, 10, &t) || !parse_long(off, 10, &o) ||
        !parse_long(len, 10, &l) || o < 0 || o > 0x7FFFFFFF || l < 0 || l > 0x7FFFFFFF || t < INT32_MIN ||
        t > INT32_MAX)
        return fail("bad item [" + name + "]");
    if (field_kind((int32_t)t) == FieldKind::choice &&
        (!piece(&mn) || !piece(&mx) || !parse_long(mn, 10, &lo) || !parse_long(mx, 10, &hi) || lo < INT32_MIN ||
         hi > INT32_MAX || lo > hi))
        return fail("bad range of item [" + name + "]");
    if (block->em == 1 && !piece(&note))
        return fail("item [" + name + "] lacks its text");
    cus_config_item* it = record_new<cus_config_item>();
    if (!it)
        return fail("out of memory");
    copy_text(it->name, sizeof it->name, name);
    it->type = (int32_t)t;
    it->bit_off = (uint32_t)o;
    it->bit_len = (uint32_t)l;
    it->min = (int32_t)lo;
    it->max = (int32_t)hi;
    copy_text(it->text, sizeof it->text, note);
    *made = it;
    return true;
}

// The item's current value: a number from its bits (an IR key from the IR
// value bytes, by position), a text from its bytes.
bool ConfigScript::read_item_value(cus_config_item* it, const std::string& name, const cus_config_block* block,
                                   const tag_dmh_block_info_local& r, int count)
{
    const uint32_t size = entry_size(r);
    if (holds_number(it->type)) {
        if (block->id == 0xE0) {
            if ((size_t)count >= m_ir_values.size())
                return fail("IR item [" + name + "] lies outside its block");
            it->value = m_ir_values[count];
            return true;
        }
        uint64_t bit = (uint64_t)block->offset * 8 + it->bit_off;
        if (it->bit_len == 0 || it->bit_len > 64 || !read_bits(r.data, size, bit, it->bit_len, &it->value))
            return fail("item [" + name + "] lies outside its block");
        return true;
    }
    uint64_t at = (uint64_t)block->offset + it->bit_off / 8;
    uint64_t field = it->bit_len / 8;
    if (at >= size || at + field > size)
        return fail("item [" + name + "] lies outside its block");
    // Up to 19 bytes of the field, never half a character of the box's code page.
    std::string raw;
    kv::ByteReader text = kv::ByteReader(r.data, size).view(size_t(at), size_t(size - at));
    const size_t most = field == 0 ? sizeof it->text_value : std::min<size_t>(sizeof it->text_value, field);
    for (char c = 0; raw.size() < most && text.remaining() > 0 && (c = char(text.u8())) != 0;)
        raw += c;
    copy_text(it->text_value, sizeof it->text_value, raw.substr(0, m_code_page.fit(raw, sizeof it->text_value - 1)));
    return true;
}
