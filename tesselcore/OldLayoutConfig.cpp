// Customer configuration of old-layout images: the old script, field values
// and "Generate".
#include "OldLayoutConfig.h"

#include "KvBasicCfgIni.h"

#include "KvBasicLog.h"
#include "Text.h"
#include "Workbook.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

using namespace tessel;

namespace {

constexpr size_t kMaxBlockFile = 2u << 20;
constexpr size_t kMaxChoices = 4096;
constexpr uint32_t kAbsKeyAt = 628;
constexpr size_t kAbsKeyMaxFile = 198;
constexpr size_t kAbsKeyFrom = 5;
constexpr size_t kAbsKeyLen = 128;

// The offset and size fields of a 48-byte entry of the block header.
uint32_t old_entry_offset(const uint8_t* e) { return kv::ByteReader(e, kEntrySize).view(4, 4).le32(); }
uint32_t old_entry_size(const uint8_t* e) { return kv::ByteReader(e, kEntrySize).view(8, 4).le32(); }

bool starts(const std::string& s, const char* p) { return s.compare(0, std::strlen(p), p) == 0; }

std::string trim(const std::string& s) { return kv::trimmed(s); }

// The trimmed text after the '=' of a script line.
bool value_of(const std::string& line, std::string* out)
{
    size_t eq = line.find('=');
    if (eq == std::string::npos)
        return false;
    *out = trim(line.substr(eq + 1));
    return true;
}

// Whole text as a number in `base` (0: decimal, 0x hexadecimal, 0 octal).
bool parse_num(const std::string& text, int base, long long lo, long long hi, long long* out)
{
    std::string t = trim(text);
    if (t.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(t.c_str(), &end, base);
    if (errno != 0 || !end || *end != '\0' || v < lo || v > hi)
        return false;
    *out = v;
    return true;
}

bool parse_hex(const std::string& text, uint64_t* out)
{
    std::string t = trim(text);
    if (starts(t, "0x") || starts(t, "0X"))
        t = t.substr(2);
    if (t.empty() || t.size() > 16 || t.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    *out = std::strtoull(t.c_str(), nullptr, 16);
    return true;
}

void copy_text(char* dst, size_t room, const std::string& src)
{
    size_t n = std::min(src.size(), room - 1);
    std::memcpy(dst, src.data(), n);
    dst[n] = '\0';
}

// Reads a whole regular file of at most `max` bytes: 1, 0 cannot open (or
// not a regular file), -1 too big.
int read_file(const std::string& path, size_t max, std::vector<uint8_t>* out)
{
    std::string why;
    if (wb::read_regular_file(path, max, out, &why))
        return 1;
    return why.find("too large") != std::string::npos ? -1 : 0;
}

const uint8_t* entry_at(const tessel_old_image_t& old, size_t k) { return old.entries[k].data(); }

// Index of the first entry with block id `id`, or -1.
int find_entry(const tessel_old_image_t& old, uint8_t id)
{
    for (size_t k = 0; k < old.entries.size(); ++k)
        if (old.entries[k][0] == id)
            return (int)k;
    return -1;
}

}  // namespace

// ---------------------------------------------------------------------------

KV_DYNAMIC_ITEM* GetDynamicItemHeader(KV_DYNAMIC_ITEM* any)
{
    while (any && any->prev)
        any = any->prev;
    return any;
}

KV_DYNAMIC_FIELD* GetDynamicFieldHeader(KV_DYNAMIC_FIELD* any)
{
    while (any && any->prev)
        any = any->prev;
    return any;
}

void FreeDynamicField(KV_DYNAMIC_ITEM* item)
{
    if (!item)
        return;
    for (KV_DYNAMIC_FIELD* f = GetDynamicFieldHeader(item->fields); f;) {
        KV_DYNAMIC_FIELD* next = f->next;
        std::free(f);
        f = next;
    }
    item->fields = nullptr;
    item->field_count = 0;
}

namespace tessel {

std::vector<int32_t> dynamic_field_choices(const KV_DYNAMIC_FIELD& f)
{
    std::vector<int32_t> out;
    if (f.step == 0 || (f.step > 0 && f.first > f.last) || (f.step < 0 && f.first < f.last))
        return out;
    int64_t count = ((int64_t)f.last - f.first) / f.step + 1;
    if (count <= 0 || (size_t)count > kMaxChoices)
        return out;
    for (int64_t i = 0; i < count; ++i)
        out.push_back((int32_t)(f.first + i * (int64_t)f.step));
    return out;
}

bool parse_flash_size(const std::string& text, uint64_t* out)
{
    std::string t = trim(text);
    if (t == "2M")
        *out = 2097152;
    else if (t == "1M")
        *out = 1048576;
    else if (t == "512K")
        *out = 524288;
    else {
        long long v = 0;
        if (!parse_num(t, 10, 0, INT64_MAX, &v))
            return false;
        *out = (uint64_t)v;
    }
    return true;
}

}  // namespace tessel

// ---------------------------------------------------------------------------

CTesselOldConfig::CTesselOldConfig(CTesselcore* core) : m_core(core)
{
    CKvBasicCfgIni::crc_setup_fast_lut(m_crc_table);
}

CTesselOldConfig::~CTesselOldConfig() { FreeDynamicItem(); }

int CTesselOldConfig::fail(const char* format, ...)
{
    char buf[1024];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    m_message = buf;
    kv_console_printf("%s\n", buf);
    return -1;
}

uint32_t CTesselOldConfig::crc(const uint8_t* data, size_t len) const
{
    return CKvBasicCfgIni::crc_fast_calculate(m_crc_table, 0xFFFFFFFFu, data, len);
}

void CTesselOldConfig::FreeDynamicItem()
{
    for (KV_DYNAMIC_ITEM* it = GetDynamicItemHeader(m_items); it;) {
        KV_DYNAMIC_ITEM* next = it->next;
        FreeDynamicField(it);
        std::free(it);
        it = next;
    }
    m_items = nullptr;
    m_current = nullptr;
    m_item_count = 0;
}

KV_DYNAMIC_ITEM* CTesselOldConfig::find_item(const std::string& name) const
{
    for (KV_DYNAMIC_ITEM* it = m_items; it; it = it->next)
        if (name == it->name)
            return it;
    return nullptr;
}

KV_DYNAMIC_FIELD* CTesselOldConfig::find_field(const KV_DYNAMIC_ITEM* item, const std::string& name)
{
    for (KV_DYNAMIC_FIELD* f = item ? item->fields : nullptr; f; f = f->next)
        if (name == f->name)
            return f;
    return nullptr;
}

// ---------------------------------------------------------------------------
// The old script

int CTesselOldConfig::read_script(const std::string& path, uint64_t image_len)
{
    if (path.empty())
        return fail("Please select script file!");
    std::vector<uint8_t> bytes;
    if (read_file(path, kMaxScriptSize, &bytes) != 1)
        return fail("Please put the correct script file in the same directory as the flash binary!");
    return read_script_text(std::string(bytes.begin(), bytes.end()), image_len);
}

// A new item with block id `id` at the end of the list: 0, or -1.
int CTesselOldConfig::add_item(uint8_t id)
{
    auto* it = static_cast<KV_DYNAMIC_ITEM*>(std::calloc(1, sizeof(KV_DYNAMIC_ITEM)));
    if (!it)
        return fail("no memery!");
    it->control_id = 0xFFFF;
    it->id = id;
    it->prev = m_current;
    if (m_current)
        m_current->next = it;
    else
        m_items = it;
    m_current = it;
    ++m_item_count;
    return 0;
}

// One line that starts with a keyword, or "##" opening an item's fields.
int CTesselOldConfig::read_script_keyword(const std::string& t, uint64_t image_len, bool* open)
{
    std::string v;
    if (starts(t, "FLASH")) {
        uint64_t size = 0;
        if (!value_of(t, &v))
            return fail("Error line!");
        if (!parse_flash_size(v, &size) || size != image_len)
            return fail("Flash size mismatch!");
    } else if (starts(t, "ID")) {
        long long id = 0;
        return value_of(t, &v) && parse_num(v, 0, 0, 0xFF, &id) ? add_item((uint8_t)id) : fail("Error line!");
    } else if (starts(t, "EM") || starts(t, "name") || starts(t, "OFFSET")) {
        long long n = 0;
        if (!value_of(t, &v) || !m_current)
            return fail("Error line!");
        if (starts(t, "name"))
            copy_text(m_current->name, sizeof m_current->name, v);
        else if (starts(t, "EM") && parse_num(v, 10, 0, 0xFF, &n))
            m_current->em = (uint8_t)n;
        else if (starts(t, "OFFSET") && parse_num(v, 10, 0, 0xFFFFFFFFll, &n))
            m_current->offset = (uint32_t)n;
        else
            return fail("Error line!");
    } else if (starts(t, "##")) {
        if (!m_current)
            return fail("Error line!");
        *open = true;
        return parse_field_line(t, t.find('[', 2), open);
    }
    // Any other line says nothing to this tool.
    return 0;
}

int CTesselOldConfig::read_script_text(const std::string& text, uint64_t image_len)
{
    FreeDynamicItem();
    m_message.clear();
    bool open = false;  // field definitions of the current item go on
    std::istringstream in(text);
    std::string raw;
    int rc = 0;
    while (rc == 0 && std::getline(in, raw)) {
        std::string line = raw;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::string t = trim(line);
        if (starts(t, "//"))
            continue;
        const bool keyword =
            starts(t, "FLASH") || starts(t, "ID") || starts(t, "EM") || starts(t, "name") || starts(t, "OFFSET");
        if (open && !keyword) {
            if (starts(t, "##") && t.find('[') == std::string::npos) {
                open = false;  // a closing "##"
                continue;
            }
            size_t b = t.find('[');
            if (b == std::string::npos) {
                if (t.find("##") != std::string::npos)
                    open = false;
                continue;
            }
            rc = parse_field_line(t, b, &open);
            continue;
        }
        open = false;
        rc = read_script_keyword(t, image_len, &open);
    }
    if (rc == 0 && !m_items)
        rc = fail("Script file has no valid block information!");
    if (rc == 0 && m_items->field_count == 0)
        rc = fail("Select the wrong config file,try again pls.!");
    if (rc != 0) {
        std::string keep = m_message;
        FreeDynamicItem();
        m_message = keep;
        return -1;
    }
    return 0;
}

int CTesselOldConfig::parse_field_line(const std::string& line, size_t pos, bool* open)
{
    auto piece = [&](std::string* out) { return tessel::next_bracket(line, &pos, out); };
    while (pos != std::string::npos && pos < line.size()) {
        if (line[pos] != '[') {
            std::string rest = trim(line.substr(pos));
            if (rest.find("##") != std::string::npos)
                *open = false;
            return 0;  // ";" or nothing more on this line
        }
        std::string name, type, off, len, first, last, step, desc;
        if (!piece(&name))
            return fail("Field type data error!");
        if (trim(name) == ";")
            return 0;
        if (name.find("##") != std::string::npos) {
            *open = false;
            return 0;
        }
        long long t = 0, o = 0, l = 0, a = 0, b = 0, s = 0;
        if (!piece(&type) || !parse_num(type, 10, 0, 0xFF, &t))
            return fail("Field type data error!");
        if (!piece(&off) || !parse_num(off, 10, 0, 0x7FFFFFFF, &o))
            return fail("Field offset data error!");
        if (!piece(&len) || !parse_num(len, 10, 1, 0x7FFFFFFF, &l))
            return fail("Field length data error!");
        // A number lives in 32 bits; a text shows at most 40 bytes.
        if ((t == 0 || t == 2) && l > 32)
            return fail("Field length data error!");
        if (t == 2 &&
            (!piece(&first) || !piece(&last) || !piece(&step) || !parse_num(first, 10, INT32_MIN, INT32_MAX, &a) ||
             !parse_num(last, 10, INT32_MIN, INT32_MAX, &b) || !parse_num(step, 10, INT32_MIN, INT32_MAX, &s)))
            return fail("Field type data error!");
        if (m_current->em == 3 && !piece(&desc))
            return fail("Field desc data error!");
        if (m_current->field_count >= KV_MAX_DYNAMIC_FIELDS)
            return fail("Too many dynamic fields!");
        auto* f = static_cast<KV_DYNAMIC_FIELD*>(std::calloc(1, sizeof(KV_DYNAMIC_FIELD)));
        if (!f)
            return fail("no memery!");
        copy_text(f->name, sizeof f->name, trim(name));
        f->type = (uint8_t)t;
        f->bit_off = (uint32_t)o;
        f->bit_len = (uint32_t)l;
        f->first = (int32_t)a;
        f->last = (int32_t)b;
        f->step = (int32_t)s;
        copy_text(f->desc, sizeof f->desc, desc);
        if (t == 2 && dynamic_field_choices(*f).empty()) {
            std::free(f);
            return fail("Field type data error!");
        }
        KV_DYNAMIC_FIELD* tail = m_current->fields;
        while (tail && tail->next)
            tail = tail->next;
        f->prev = tail;
        if (tail)
            tail->next = f;
        else
            m_current->fields = f;
        ++m_current->field_count;
        // One separator character between fields.
        if (pos + 1 < line.size() && line[pos] != '[' && line[pos + 1] == '[')
            ++pos;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Fields in the image

int CTesselOldConfig::item_region(const KV_DYNAMIC_ITEM* item, const uint8_t* image, size_t len, uint64_t* base,
                                  uint64_t* end)
{
    tessel_old_image_t old;
    if (!item || !m_core || m_core->read_old_layout(image, len, &old) != 0)
        return fail("%s", m_core ? m_core->last_message().c_str() : "Wrong bin file!");
    if (item->id == 0) {
        *base = (uint64_t)old.cfg_offset + item->offset;
        *end = len;
    } else {
        int k = find_entry(old, item->id);
        if (k < 0)
            return fail("Error block_id! No match block found!");
        const uint8_t* e = entry_at(old, (size_t)k);
        uint64_t off = old_entry_offset(e), size = old_entry_size(e);
        if (off + size > len)
            return fail("Wrong bin file!");
        *base = off + item->offset;
        *end = off + size;
    }
    if (*base > *end)
        return fail("ERROR!! item [%s] lies outside its block!", item->name);
    return 0;
}

int CTesselOldConfig::read_field(const KV_DYNAMIC_ITEM* item, const KV_DYNAMIC_FIELD* field, const uint8_t* image,
                                 size_t len, old_field_value_t* out)
{
    uint64_t base = 0, end = 0;
    if (!field || item_region(item, image, len, &base, &end) != 0)
        return -1;
    const uint64_t bit = base * 8 + field->bit_off;
    *out = old_field_value_t{};
    if (tessel::holds_number(field->type)) {
        uint64_t v = 0;
        if (field->bit_len > 32 || !read_bits(image, (size_t)end, bit, field->bit_len, &v))
            return fail("ERROR!! field [%s] lies outside its block!", field->name);
        out->value = (uint32_t)v;
        if (tessel::field_kind(field->type) == tessel::FieldKind::choice) {
            auto choices = dynamic_field_choices(*field);
            auto at = std::find(choices.begin(), choices.end(), (int32_t)out->value);
            out->choice = at == choices.end() ? -1 : (int)(at - choices.begin());
        }
        return 0;
    }
    uint64_t from = bit / 8, to = (bit + field->bit_len + 7) / 8;
    if (to - from > KV_FIELD_TEXT_MAX)
        return fail("String too long!");
    if (to > end)
        return fail("ERROR!! field [%s] lies outside its block!", field->name);
    const kv::ByteReader text = kv::ByteReader(image, len).view(size_t(from), size_t(to - from));
    out->bytes.assign(reinterpret_cast<const char*>(text.peek()), text.size());
    out->text = out->bytes.substr(0, out->bytes.find('\0'));
    return 0;
}

int CTesselOldConfig::write_number(const KV_DYNAMIC_ITEM* item, const KV_DYNAMIC_FIELD* field, uint32_t value,
                                   uint8_t* image, size_t len)
{
    uint64_t base = 0, end = 0;
    if (!field || item_region(item, image, len, &base, &end) != 0)
        return -1;
    if (field->bit_len < 32 && (value >> field->bit_len) != 0)
        return fail("ERROR!! [%s]'s value is out of range,please check it!", field->name);
    if (!write_bits(image, (size_t)end, base * 8 + field->bit_off, field->bit_len, value))
        return fail("ERROR!! field [%s] lies outside its block!", field->name);
    return 0;
}

int CTesselOldConfig::write_text(const KV_DYNAMIC_ITEM* item, const KV_DYNAMIC_FIELD* field, const std::string& text,
                                 uint8_t* image, size_t len)
{
    uint64_t base = 0, end = 0;
    if (!field || item_region(item, image, len, &base, &end) != 0)
        return -1;
    const uint64_t bit = base * 8 + field->bit_off;
    uint64_t from = bit / 8, to = (bit + field->bit_len + 7) / 8;
    if (to - from > KV_FIELD_TEXT_MAX || text.size() > to - from)
        return fail("String too long!");
    if (to > end)
        return fail("ERROR!! field [%s] lies outside its block!", field->name);
    for (uint64_t i = from; i < to; ++i)
        image[i] = i - from < text.size() ? (uint8_t)text[i - from] : 0;
    return 0;
}

int CTesselOldConfig::set_field_from_text(const KV_DYNAMIC_ITEM* item, KV_DYNAMIC_FIELD* field, const std::string& text,
                                          uint8_t* image, size_t len)
{
    if (!field)
        return -1;
    if (tessel::holds_number(field->type)) {
        // Decimal, or hexadecimal with 0x; a leading 0 is no octal here.
        long long v = 0;
        const std::string t = trim(text);
        const bool hex = starts(t, "0x") || starts(t, "0X");
        if (!parse_num(hex ? t.substr(2) : t, hex ? 16 : 10,
                       tessel::field_kind(field->type) == tessel::FieldKind::choice ? INT32_MIN : 0, 0xFFFFFFFFll,
                       &v) ||
            (hex && (t.size() < 3 || !std::isxdigit((unsigned char)t[2]))))
            return fail("ERROR!! [%s]'s value is out of range,please check it!", field->name);
        if (tessel::field_kind(field->type) == tessel::FieldKind::choice) {
            auto choices = dynamic_field_choices(*field);
            if (std::find(choices.begin(), choices.end(), (int32_t)v) == choices.end())
                return fail("ERROR!! [%s]'s value is out of range,please check it!", field->name);
        }
        if (write_number(item, field, (uint32_t)v, image, len) != 0)
            return -1;
        field->value = (uint32_t)v;
        return 0;
    }
    // The text as the box holds it: single bytes of its code page.
    const kv::CodePage& cp = m_core->code_page();
    std::string bytes, bad;
    if (!cp.to_box(text, bytes, &bad))
        return fail("ERROR!! [%s] holds \"%s\", which the box's code page %s cannot hold!", field->name, bad.c_str(),
                    cp.name().c_str());
    if (write_text(item, field, bytes, image, len) != 0)
        return -1;
    copy_text(field->text, sizeof field->text, bytes);
    return 0;
}

std::string CTesselOldConfig::screen_text(const old_field_value_t& v) const
{
    return m_core ? m_core->code_page().to_screen(v.text) : v.text;
}

int CTesselOldConfig::update_crc(const KV_DYNAMIC_ITEM* item, uint8_t* image, size_t len)
{
    if (!item || item->id == 0)
        return 0;
    tessel_old_image_t old;
    if (!m_core || m_core->read_old_layout(image, len, &old) != 0)
        return fail("Wrong bin file!");
    int k = find_entry(old, item->id);
    if (k < 0)
        return fail("Error block_id! No match block found!");
    uint8_t* e = image + old.header_pos + 12 + kEntrySize * (size_t)k;
    if (std::memcmp(e + 12, "NCRC", 4) == 0)
        return 0;
    uint64_t off = old_entry_offset(e), size = old_entry_size(e);
    if (off + size > len)
        return fail("Wrong bin file!");
    wr32(e + 12, crc(image + off, (size_t)size));
    return 0;
}

// ---------------------------------------------------------------------------
// Generate

int CTesselOldConfig::replace_block(const KV_DYNAMIC_ITEM* item, const std::vector<uint8_t>& bytes,
                                    std::vector<uint8_t>* img, tessel_old_image_t& old, uint64_t tail_start)
{
    std::vector<uint8_t>& w = *img;
    const uint64_t len = w.size();
    int k = find_entry(old, item->id);
    if (k < 0)
        return fail("Error block_id! No match block found!");
    uint8_t* e = old.entries[(size_t)k].data();
    const uint64_t off = old_entry_offset(e), old_size = old_entry_size(e), new_size = bytes.size();
    if (off + old_size > len)
        return fail("Wrong bin file!");
    const bool before_tail = off < tail_start;
    const uint64_t limit = before_tail ? tail_start : len;
    const std::vector<uint8_t> snap = w;

    // The bytes behind the old block, up to the reserved tail, follow the new
    // data; what a larger block pushes past the tail is free space (a block
    // pushed there is refused below).
    if (off + new_size > limit)
        return fail("Error: input file size is too big!");
    const uint64_t moved_from = off + old_size;
    const uint64_t moved_to = off + new_size;
    uint64_t moved = moved_from < limit ? limit - moved_from : 0;
    if (moved_to + moved > limit)
        moved = limit - moved_to;
    if (new_size)
        std::memcpy(w.data() + off, bytes.data(), (size_t)new_size);
    if (moved)
        std::memmove(w.data() + moved_to, snap.data() + moved_from, (size_t)moved);
    const uint64_t new_end = moved_to + moved;
    if (new_end < limit)
        std::fill(w.begin() + (std::ptrdiff_t)new_end, w.begin() + (std::ptrdiff_t)limit, 0xFF);  // erased flash
    wr32(e + 8, (uint32_t)new_size);
    if (std::memcmp(e + 12, "NCRC", 4) != 0)
        wr32(e + 12, crc(bytes.data(), bytes.size()));
    if (!before_tail)
        return 0;

    // Later blocks follow one another; those marked in byte 1 start on 64 KiB.
    for (size_t j = (size_t)k + 1; j < old.entries.size(); ++j) {
        uint8_t* ej = old.entries[j].data();
        const uint64_t oj = old_entry_offset(ej), sj = old_entry_size(ej);
        if (oj >= tail_start)
            continue;
        const uint8_t* ep = old.entries[j - 1].data();
        uint64_t at = (uint64_t)old_entry_offset(ep) + old_entry_size(ep);
        if (ej[1] == 1)
            at = (at + 0xFFFFu) & ~(uint64_t)0xFFFFu;
        if (at + sj > tail_start || oj + sj > len)
            return fail("Error: input file size is too big!");
        // The block's own bytes go where its entry says, also when the
        // alignment placed it elsewhere than the bulk move did.
        if (sj)
            std::memmove(w.data() + at, snap.data() + oj, (size_t)sj);
        wr32(ej + 4, (uint32_t)at);
    }
    return 0;
}

int CTesselOldConfig::write_cfg_data(const KV_DYNAMIC_ITEM* item, const std::vector<uint8_t>& bytes,
                                     std::vector<uint8_t>* img, const tessel_old_image_t& old)
{
    const uint64_t start = (uint64_t)old.cfg_offset + item->offset;
    const uint64_t end = start + bytes.size();
    if (end > img->size())
        return fail("Error: input file size is too big!");
    const KV_DYNAMIC_ITEM* next = item->next;
    if (!next) {
        uint64_t first = old.entries.empty() ? img->size() : old_entry_offset(old.entries[0].data());
        if (end > first)
            return fail("Overflow Error 2!\nCurrent block_id = 0, file data overflow next block_id > 0!");
    } else if (next->id != 0) {
        if (end > old.header_pos) {
            m_warnings.push_back(
                "Overflow Error 1!\n Current block_id = 0, overwrite the next bank-flash_header_info.");
            kv_console_printf("%s\n", m_warnings.back().c_str());
        }
    } else if (end > (uint64_t)old.cfg_offset + next->offset) {
        return fail("Overflow Error 0!\nCurrent block_id = 0, file data overflow next block_id = 0!");
    }
    if (!bytes.empty())
        std::memcpy(img->data() + start, bytes.data(), bytes.size());
    return 0;
}

// The file chosen for each block (em 1) or hardware description (em 2),
// written into the image.
int CTesselOldConfig::load_block_files(const old_generate_t& req, std::vector<uint8_t>* w, tessel_old_image_t& old,
                                       uint64_t tail_start)
{
    for (const auto& [item, path] : req.files) {
        if (!item || path.empty() || (item->em != 1 && item->em != 2))
            continue;
        std::vector<uint8_t> bytes;
        if (item->em == 1) {
            int r = read_file(path, kMaxBlockFile, &bytes);
            if (r == 0)
                return fail("Failed to open selected file!");
            if (r < 0)
                return fail("Error: input file size is too big!");
            if (bytes.empty())
                return fail("The load file is 0 bytes!");
        } else {
            uint8_t panel[kPanelRecordSize] = {}, led[kLedMapSize] = {};
            if (m_core->hw_info_parser(panel, led, path) != 0)
                return fail("Parse hw info file failed");
            bytes.assign(panel, panel + sizeof panel);
            bytes.insert(bytes.end(), led, led + sizeof led);
        }
        int rc = item->id ? replace_block(item, bytes, w, old, tail_start) : write_cfg_data(item, bytes, w, old);
        if (rc != 0)
            return -1;
    }
    return 0;
}

// The customer config area, the private key and the expert's single byte.
int CTesselOldConfig::apply_patches(const old_generate_t& req, std::vector<uint8_t>* img, const tessel_old_image_t& old)
{
    std::vector<uint8_t>& w = *img;
    const uint64_t len = w.size();
    if (!req.configs.empty()) {
        std::vector<uint8_t> cfg;
        if (read_file(req.configs, old.cfg_size, &cfg) != 1 || cfg.size() != old.cfg_size ||
            (uint64_t)old.cfg_offset + old.cfg_size > len)
            return fail("Wrong customer config file!");
        std::copy(cfg.begin(), cfg.end(), w.begin() + old.cfg_offset);
    }
    if (!req.abs_key.empty()) {
        std::vector<uint8_t> key;
        const uint64_t at = (uint64_t)old.cfg_offset + kAbsKeyAt;
        if (read_file(req.abs_key, kAbsKeyMaxFile, &key) != 1 || key.size() < kAbsKeyFrom + kAbsKeyLen ||
            at + 2 + kAbsKeyLen > len)
            return fail("Wrong abs private key file!");
        w[at] = 0x80;
        w[at + 1] = 0x00;
        std::copy_n(key.begin() + kAbsKeyFrom, kAbsKeyLen, w.begin() + at + 2);
    }
    if (req.expert && !trim(req.flash_address).empty()) {
        uint64_t addr = 0, byte = 0;
        if (!parse_hex(req.flash_address, &addr) || addr >= len)
            return fail("Please set a valid flash address!");
        if (!parse_hex(req.byte_value, &byte) || byte > 0xFF)
            return fail("Please set a valid byte value!");
        w[addr] = (uint8_t)byte;
    }
    return 0;
}

int CTesselOldConfig::generate(const old_generate_t& req, std::vector<uint8_t>* image)
{
    m_warnings.clear();
    if (req.output.empty())
        return fail("Please select output file!");
    if (!image || !m_core)
        return fail("Wrong bin file!");
    tessel_old_image_t old;
    if (m_core->read_old_layout(image->data(), image->size(), &old) != 0)
        return fail("%s", m_core->last_message().c_str());
    std::vector<uint8_t> w = *image;
    const uint64_t len = w.size();

    // The reserved tail starts at the first block marked in byte 1.
    uint64_t tail_start = len;
    for (const auto& e : old.entries)
        if (e[1] == 1) {
            tail_start = std::min<uint64_t>(old_entry_offset(e.data()), len);
            break;
        }
    if (load_block_files(req, &w, old, tail_start) != 0)
        return -1;

    // The entry list goes back into the block header.
    for (size_t k = 0; k < old.entries.size(); ++k)
        std::copy_n(old.entries[k].begin(), kEntrySize, w.begin() + old.header_pos + 12 + kEntrySize * k);
    if (apply_patches(req, &w, old) != 0)
        return -1;
    image->swap(w);

    // Never half a file: a temporary beside the output, renamed when whole.
    bool opened = false;
    if (!write_file_atomic(req.output, image->data(), image->size(), &opened))
        return fail(opened ? "Create new bin failed!" : "Can't open output file!");
    m_message = "Create new bin successfully!";
    kv_console_printf("%s\n", m_message.c_str());
    return 0;
}
