// Workbook import: the edited workbook back into the block data.
#include "Tesselcore.h"

#include "Workbook.h"
#include "XlsxWriter.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>

using namespace tessel;

namespace {

// The cell as text: a number is its integer part in decimal; an empty cell
// reads "NULL" in column 1 and "" elsewhere; texts are cut at 255 bytes.
std::string cell_text(const wb::Cell& c, size_t col)
{
    switch (c.kind) {
    case wb::CellKind::Number:
    case wb::CellKind::Bool: {
        char buf[32];
        double d = std::trunc(c.number);
        if (d >= 9.2e18 || d <= -9.2e18)
            return "NaN";
        std::snprintf(buf, sizeof buf, "%lld", (long long)d);
        return buf;
    }
    case wb::CellKind::Text:
    case wb::CellKind::Error:
        return std::string(c.text().substr(0, 255));
    default:
        return col == 0 ? "NULL" : "";
    }
}

bool row_empty(const wb::Sheet& s, size_t r)
{
    if (r >= s.rows.size())
        return true;
    for (const auto& c : s.rows[r])
        if (c.kind != wb::CellKind::Empty && !(c.kind == wb::CellKind::Text && c.text().empty()))
            return false;
    return true;
}

std::string trimmed(std::string_view s)
{
    size_t a = 0, b = s.size();
    while (a < b && std::isspace(static_cast<unsigned char>(s[a])))
        ++a;
    while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1])))
        --b;
    return std::string(s.substr(a, b - a));
}

// A whole integer from a cell: numbers without a fraction, texts in decimal
// or with 0x in hexadecimal.
bool cell_integer(const wb::Cell& c, long long* out)
{
    if (c.kind == wb::CellKind::Number || c.kind == wb::CellKind::Bool) {
        if (!std::isfinite(c.number) || std::fabs(c.number) > 9.0e18)
            return false;
        *out = (long long)std::trunc(c.number);
        return true;
    }
    if (c.kind != wb::CellKind::Text)
        return false;
    std::string t = trimmed(c.text());
    const bool hex = t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X');
    return tessel::parse_long(t, hex ? 16 : 10, out);
}

// Unsigned 64-bit value of a cell (a text may exceed what a number cell holds).
bool cell_u64(const wb::Cell& c, uint64_t* out)
{
    if (c.kind == wb::CellKind::Text) {
        std::string t = trimmed(c.text());
        int base = 10;
        if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
            base = 16;
            t = t.substr(2);
        }
        if (t.empty() || t[0] == '-')
            return false;
        errno = 0;
        char* end = nullptr;
        unsigned long long v = std::strtoull(t.c_str(), &end, base);
        if (errno || *end != '\0')
            return false;
        *out = v;
        return true;
    }
    long long v = 0;
    if (!cell_integer(c, &v) || v < 0)
        return false;
    *out = (uint64_t)v;
    return true;
}

void put16(std::vector<uint8_t>& b, size_t at, uint32_t v)
{
    b[at] = (uint8_t)v;
    b[at + 1] = (uint8_t)(v >> 8);
}

void put_utf16(std::vector<uint8_t>* out, const std::string& s)
{
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = (unsigned char)s[i];
        uint32_t cp = 0xFFFD;
        size_t len = 1;
        if (c < 0x80) {
            cp = c;
        } else if ((c & 0xE0) == 0xC0 && i + 1 < s.size()) {
            cp = ((c & 0x1F) << 6) | (s[i + 1] & 0x3F);
            len = 2;
        } else if ((c & 0xF0) == 0xE0 && i + 2 < s.size()) {
            cp = ((c & 0x0F) << 12) | ((s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F);
            len = 3;
        } else if ((c & 0xF8) == 0xF0 && i + 3 < s.size()) {
            cp = ((c & 0x07) << 18) | ((s[i + 1] & 0x3F) << 12) | ((s[i + 2] & 0x3F) << 6) | (s[i + 3] & 0x3F);
            len = 4;
        }
        i += len;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            uint16_t hi = (uint16_t)(0xD800 + (cp >> 10)), lo = (uint16_t)(0xDC00 + (cp & 0x3FF));
            out->push_back((uint8_t)hi);
            out->push_back((uint8_t)(hi >> 8));
            out->push_back((uint8_t)lo);
            out->push_back((uint8_t)(lo >> 8));
        } else {
            out->push_back((uint8_t)cp);
            out->push_back((uint8_t)(cp >> 8));
        }
    }
    out->push_back(0);
    out->push_back(0);
}

}  // namespace

int CTesselcore::read_xls_file(tag_dmh_block_node* node)
{
    if (node)
        m_node = node;
    if (!m_node || !m_node->working) {
        show("ERROR!! no flash loaded!");
        return -1;
    }
    wb::Workbook book;
    std::string err;
    if (!wb::read_workbook(m_xls_path, &book, &err)) {
        show("error open excel  file %s (%s)", m_xls_path.c_str(), err.c_str());
        return -1;
    }
    bool new_ucakey = false;
    int biss_max = 0;
    if (!load_settings(&new_ucakey, &biss_max))
        return -1;

    // The working table as it was, so that a failed import changes nothing.
    struct Saved {
        tag_dmh_block_info_local rec;
        std::vector<uint8_t> bytes;
    };
    std::vector<Saved> saved(m_node->count);
    for (uint32_t i = 0; i < m_node->count; ++i) {
        saved[i].rec = m_node->working[i];
        const uint8_t* d = m_node->working[i].data;
        if (d)
            saved[i].bytes.assign(d, d + entry_size(m_node->working[i]));
    }

    int rc = 0;
    auto usable = [](const wb::Sheet* s) { return s && s->row_count() * s->col_count() > 1; };
    if (m_ucaskey_sheet) {
        const wb::Sheet* u = book.find("ucaskey");
        if (!u) {
            show("ERROR!! the workbook has no sheet [ucaskey]!");
            rc = -1;
        } else if (new_ucakey) {
            const wb::Sheet* cr = book.find("crypto");
            if (biss_max <= 0) {
                show("ERROR!! BISS_MAX_KEYINFOS is not set in corvane.ini!");
                rc = -1;
            } else if (usable(u) || usable(cr)) {
                std::vector<uint8_t> buf;
                rc = read_new_ucaskey_head(usable(u) ? u : nullptr, usable(cr) ? cr : nullptr, biss_max, &buf);
                if (rc == 0 && usable(u))
                    rc = read_new_ucaskey_sheet(*u, &buf);
                if (rc == 0 && usable(cr))
                    rc = read_new_crypto_sheet(*cr, biss_max, &buf);
                if (rc == 0)
                    rc = write_key_bytes("ucaskey", buf);
            }
        } else if (usable(u)) {
            rc = read_ucaskey_sheet(*u);
        }
    }
    if (rc == 0 && m_crypto_sheet && !new_ucakey) {
        const wb::Sheet* c = book.find("crypto");
        if (!c) {
            show("ERROR!! the workbook has no sheet [crypto]!");
            rc = -1;
        } else if (usable(c)) {
            rc = read_crypto_sheet(*c);
        }
    }
    if (rc == 0)
        if (const wb::Sheet* p = book.find("Program"))
            rc = read_program_sheet(*p);
    if (rc == 0)
        if (const wb::Sheet* s = book.find("IR_FP_Key"))
            rc = read_config_sheet(*s, 0);
    if (rc == 0)
        if (const wb::Sheet* s = book.find("Sys_Config"))
            rc = read_sys_sheet(*s);
    if (rc == 0)
        if (const wb::Sheet* s = book.find("File_Path"))
            rc = read_path_sheet(*s);

    if (rc < 0) {
        for (uint32_t i = 0; i < m_node->count; ++i) {
            tag_dmh_block_info_local& w = m_node->working[i];
            Debug_free(w.data);
            w = saved[i].rec;
            w.data = static_cast<uint8_t*>(Debug_malloc("read_xls_file", saved[i].bytes.size()));
            if (w.data && !saved[i].bytes.empty())
                std::memcpy(w.data, saved[i].bytes.data(), saved[i].bytes.size());
        }
        return -1;
    }
    return 0;
}

// The block a "*name" row selects: the n-th row naming a block selects the
// n-th block of that name, so that blocks sharing a name keep their own rows.
cus_config_block* CTesselcore::select_block(int slot, const std::string& name, std::map<std::string, int>* seen)
{
    int want = (*seen)[name]++;
    for (auto* b = m_sheets[slot].blocks; b; b = b->next)
        if (name == b->name && want-- == 0)
            return b;
    return nullptr;
}

int CTesselcore::read_config_sheet(const wb::Sheet& sheet, int slot)
{
    cus_config_block* block = nullptr;
    std::map<std::string, int> seen;
    const size_t rows = sheet.row_count();
    for (size_t row = 0; row < rows; ++row) {
        std::string c1 = cell_text(sheet.at(row, 0), 0);
        if (!c1.empty() && c1[0] == '*') {
            block = select_block(slot, c1.substr(1), &seen);
            // The IR block is written as "*ir" whatever the script calls it.
            for (auto* b = m_sheets[slot].blocks; !block && b && c1 == "*ir"; b = b->next)
                if (b->id == 0xE0)
                    block = b;
            continue;
        }
        if (!block)
            continue;
        tag_dmh_block_info_local* r = get_block_info_by_name_id(block->name, 8, block->id);
        if (!r)
            return -4;
        if (slot == 0 && block->id == 0xE0) {
            int rc = read_new_IR_sheet(sheet, &row, block, r);
            if (rc != 0)
                return rc;
            block = nullptr;  // the rows after the IR values belong to no block until the next "*" row
            continue;
        }
        cus_config_item* it = block->items;
        while (it && c1 != it->name)
            it = it->next;
        if (!it)
            continue;
        const wb::Cell& cell = sheet.at(row, 1);
        const uint32_t size = entry_size(*r);
        if (it->type == 0 || it->type == 2) {
            uint64_t v = it->value;
            bool empty = cell.kind == wb::CellKind::Empty || (cell.kind == wb::CellKind::Text && trimmed(cell.text()).empty());
            if (!empty) {
                long long sv = 0;
                bool negative = cell_integer(cell, &sv) && sv < 0;
                if (negative) {
                    v = (uint64_t)sv;
                } else if (!cell_u64(cell, &v)) {
                    show("ERROR!! [%s]'s value is not a number,please check it!", it->name);
                    return -10;
                }
                bool fits;
                if (it->type == 2) {
                    long long s = negative ? sv : (v > (uint64_t)INT64_MAX ? INT64_MAX : (long long)v);
                    fits = s >= it->min && s <= it->max && s >= INT32_MIN && s <= (long long)UINT32_MAX;
                } else {
                    fits = !negative;
                }
                if (fits && it->bit_len < 64) {
                    if (negative)
                        fits = sv >= -(1LL << (it->bit_len - 1));
                    else
                        fits = v < ((uint64_t)1 << it->bit_len);
                }
                if (!fits) {
                    show("ERROR!! [%s]'s value is out of range,please check it!", it->name);
                    return -10;
                }
                if (negative && it->bit_len < 64)
                    v &= ((uint64_t)1 << it->bit_len) - 1;
            }
            it->value = v;
            if (!write_bits(r->data, size, (uint64_t)block->offset * 8 + it->bit_off, it->bit_len, v)) {
                show("ERROR!! [%s] lies outside block [%s]!", it->name, block->name);
                return -4;
            }
        } else {
            std::string text = cell_text(cell, 1);
            // A text left as the workbook showed it keeps its bytes: the cell
            // holds at most 19 characters, made printable.
            if (text == wb::xlsx_clean_text(it->text_value))
                continue;
            uint64_t at = (uint64_t)block->offset + it->bit_off / 8;
            // The text and its NUL, within the item's own field.
            uint64_t field = it->bit_len / 8 ? it->bit_len / 8 : sizeof it->text_value;
            if (at >= size) {
                show("ERROR!! [%s] lies outside block [%s]!", it->name, block->name);
                return -4;
            }
            if (at + field > size)
                field = size - at;
            if (text.size() > field) {
                show("ERROR!! [%s]'s text is longer than its field of %u bytes,please check it!", it->name,
                     (unsigned)field);
                return -10;
            }
            std::memcpy(r->data + at, text.data(), text.size());
            if (text.size() < field)
                r->data[at + text.size()] = 0;
            size_t keep = text.size() < sizeof it->text_value - 1 ? text.size() : sizeof it->text_value - 1;
            std::memcpy(it->text_value, text.data(), keep);
            it->text_value[keep] = 0;
        }
    }
    return 0;
}

int CTesselcore::read_new_IR_sheet(const wb::Sheet& sheet, size_t* row, cus_config_block* block,
                                   tag_dmh_block_info_local* r)
{
    uint32_t size = entry_size(*r);
    if (size < 4 || !r->data) {
        show("ERROR!! the IR block is damaged!");
        return -4;
    }
    uint64_t n = rd32(r->data);
    cus_config_item* it = block->items;
    int i = 0;
    size_t last = *row;
    for (size_t rw = *row; it && rw < sheet.row_count(); ++rw) {
        last = rw;
        const wb::Cell& c = sheet.at(rw, 1);
        if (c.kind != wb::CellKind::Number)
            continue;
        long long v = 0;
        if (!cell_integer(c, &v) || v < 0 || v > 0xFF) {
            show("ERROR!! [%s]'s value is out of range,please check it!", it->name);
            return -10;
        }
        uint64_t at = 4 + 4 * n + (uint64_t)i;
        if (at >= size) {
            show("ERROR!! [%s] lies outside block [%s]!", it->name, block->name);
            return -4;
        }
        it->value = (uint64_t)v;
        r->data[at] = (uint8_t)v;
        it = it->next;
        ++i;
    }
    *row = last;
    return 0;
}

int CTesselcore::read_path_sheet(const wb::Sheet& sheet)
{
    cus_config_block* block = nullptr;
    std::map<std::string, int> seen;
    for (size_t row = 0; row < sheet.row_count(); ++row) {
        std::string c1 = cell_text(sheet.at(row, 0), 0);
        if (!c1.empty() && c1[0] == '*')
            block = select_block(2, c1.substr(1), &seen);
        if (!block || (block->em != 2 && block->em != 3))
            continue;
        const wb::Cell& c2 = sheet.at(row, 1);
        if (c2.kind != wb::CellKind::Text || trimmed(c2.text()).empty())
            continue;
        tag_dmh_block_info_local* r = get_block_info_by_name_id(block->name, 8, block->id);
        if (!r)
            return -4;
        std::string item = cell_text(sheet.at(row, 0), 0);
        bool unchanged = false;
        for (auto* it = block->items; it; it = it->next)
            if (item == it->name && c2.text() == wb::xlsx_clean_text(it->text_value))
                unchanged = true;
        if (unchanged)
            continue;  // the text the workbook was written with, not a path
        std::string path = trimmed(c2.text());
        if (block->em == 3) {
            std::ifstream f(path, std::ios::binary);
            if (!f) {
                show("WARNING: can not open [%s], block [%s] is kept as it was", path.c_str(), block->name);
                continue;
            }
            std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
            if (bytes.empty() || bytes.size() > m_node->image_len) {
                show("ERROR!! [%s] is empty or larger than the flash!", path.c_str());
                return -4;
            }
            if (!replace_data(r, std::move(bytes), false))
                return -4;
        } else {
            uint8_t panel[kPanelRecordSize], led[kLedMapSize];
            if (hw_info_parser(panel, led, path) != 0) {
                show("Parse hw info file failed");
                return -4;
            }
            uint32_t size = entry_size(*r);
            if (size < kPanelRecordSize + kLedMapSize) {
                show("ERROR!! block [%s] is too small for the hw info!", block->name);
                return -4;
            }
            // The panel record and the LED map replace the first 240 bytes;
            // the rest of the block keeps its bytes and its size.
            std::memcpy(r->data, panel, kPanelRecordSize);
            std::memcpy(r->data + kPanelRecordSize, led, kLedMapSize);
        }
    }
    return 0;
}

int CTesselcore::read_program_sheet(const wb::Sheet& sheet)
{
    const size_t rows = sheet.row_count(), cols = sheet.col_count();
    tag_dmh_block_info_local* r = get_block_info_by_name("preset", 6);
    if (!r) {
        if (rows * cols == 0)
            return 0;
        show("ERROR!! can not find block [preset] for sheet [Program]!");
        return -1;
    }
    if (rows > 0xFFFF || cols > 128) {
        show("ERROR!! sheet [Program] is too large (%zu rows, %zu columns)!", rows, cols);
        return -1;
    }
    std::vector<uint8_t> ser = {'p', 'r', 'e', 's', 'e', 't', 'd', 'a', 't', 'a', 0, 0, 0, 0};
    ser[10] = (uint8_t)(rows >> 8);
    ser[11] = (uint8_t)rows;
    ser[12] = (uint8_t)(cols >> 8);
    ser[13] = (uint8_t)cols;
    for (size_t rw = 0; rw < rows; ++rw) {
        bool first = true;
        for (size_t c = 0; c < cols; ++c) {
            const wb::Cell& cell = sheet.at(rw, c);
            if (cell.kind == wb::CellKind::Empty || (cell.kind == wb::CellKind::Text && cell.text().empty()))
                continue;
            ser.push_back((uint8_t)(c | (first ? 0x80 : 0)));
            first = false;
            std::string text = cell_text(cell, c);
            if (cell.kind == wb::CellKind::Number && std::isfinite(cell.number) && cell.number != std::trunc(cell.number)) {
                // A fraction such as an orbital position 19.2 keeps its digits.
                char buf[40];
                std::snprintf(buf, sizeof buf, "%.15g", cell.number);
                text = buf;
            }
            put_utf16(&ser, text);
        }
    }
    std::vector<uint8_t> packed;
    if (!compress_data(&packed, ser.data(), ser.size()))
        return -1;
    return replace_data(r, std::move(packed), false) ? 0 : -1;
}

int CTesselcore::write_key_bytes(const char* block_name, const std::vector<uint8_t>& built)
{
    tag_dmh_block_info_local* r = get_block_info_by_name(block_name, std::strlen(block_name));
    if (!r) {
        show("ERROR!! can not find block [%s]!", block_name);
        return -1;
    }
    if (built.size() > entry_size(*r))
        show("WARNING: the keys of sheet [%s] need %zu bytes, block [%s] holds %u; the rest is cut", block_name,
             built.size(), block_name, entry_size(*r));
    replace_data(r, built, true);
    return 0;
}

namespace {

// A u16 number from column `col` of a key sheet row; false with the message
// prepared in *why.
bool key_u16(const wb::Cell& c, bool ignore_text, uint32_t* out)
{
    if (c.kind == wb::CellKind::Empty || (ignore_text && c.kind == wb::CellKind::Text)) {
        *out = 0;
        return true;
    }
    long long v = 0;
    if (!cell_integer(c, &v) || v < 0 || v > 0xFFFF)
        return false;
    *out = (uint32_t)v;
    return true;
}

}  // namespace

// A key sheet: one record of `rec_len` bytes per row, TP_Freq and S_ID as
// 16-bit values at `id_at`, the key bytes of columns 2 to `last_col` - 1 from
// `key_at` on.
int CTesselcore::read_key_sheet(const wb::Sheet& sheet, const char* name, size_t rec_len, size_t id_at,
                                bool hex_ids, size_t last_col, size_t key_at)
{
    std::vector<uint8_t> built;
    for (size_t rw = 1; rw < sheet.row_count(); ++rw) {
        if (row_empty(sheet, rw))
            continue;
        std::vector<uint8_t> rec(rec_len, 0);
        uint32_t tp = 0, sid = 0;
        if (!key_u16(sheet.at(rw, 0), hex_ids, &tp) || !key_u16(sheet.at(rw, 1), hex_ids, &sid)) {
            show("ERROR!! TP_Freq or S_ID in row %zu of sheet [%s] is out of range,please check it!", rw + 1, name);
            return -1;
        }
        put16(rec, id_at, tp);
        put16(rec, id_at + 2, sid);
        for (size_t c = 2; c < last_col; ++c) {
            uint8_t b = 0;
            const wb::Cell& cell = sheet.at(rw, c);
            if (cell.kind != wb::CellKind::Empty && !key_byte_from_cell(cell, &b)) {
                show("ERROR!! key byte in row %zu column %zu of sheet [%s] is wrong,please check it!", rw + 1, c + 1,
                     name);
                return -1;
            }
            rec[key_at + c - 2] = b;
        }
        built.insert(built.end(), rec.begin(), rec.end());
    }
    return write_key_bytes(name, built);
}

int CTesselcore::read_ucaskey_sheet(const wb::Sheet& sheet)
{
    return read_key_sheet(sheet, "ucaskey", 16, 4, false, 10, 8);
}

int CTesselcore::read_crypto_sheet(const wb::Sheet& sheet)
{
    return read_key_sheet(sheet, "crypto", 32, 12, true, 18, 16);
}

static size_t data_rows(const wb::Sheet* s)
{
    size_t n = 0;
    if (s)
        for (size_t rw = 1; rw < s->row_count(); ++rw)
            if (!row_empty(*s, rw))
                ++n;
    return n;
}

int CTesselcore::read_new_ucaskey_head(const wb::Sheet* ucaskey, const wb::Sheet* crypto, int biss_max,
                                       std::vector<uint8_t>* buf)
{
    tag_dmh_block_info_local* r = get_block_info_by_name("ucaskey", 7);
    if (!r) {
        show("ERROR!! can not find block [ucaskey]!");
        return -1;
    }
    size_t u = data_rows(ucaskey), c = data_rows(crypto);
    if (u > (size_t)biss_max) {
        show("ERROR!! sheet [ucaskey] has %zu keys, room is for %d (BISS_MAX_KEYINFOS)!", u, biss_max);
        return -1;
    }
    size_t total = 12 + 28 * u + 24 * c;
    if (c > 0xFFFF || total > 0xFFFF) {
        show("ERROR!! too many keys in sheet [crypto]!");
        return -1;
    }
    buf->assign(12 + 28 * (size_t)biss_max + 24 * c, 0);
    uint32_t size = entry_size(*r);
    std::memcpy(buf->data(), r->data, size < 6 ? size : 6);
    put16(*buf, 6, (uint32_t)u);
    put16(*buf, 8, (uint32_t)c);
    put16(*buf, 10, (uint32_t)total);
    return 0;
}

int CTesselcore::read_new_ucaskey_sheet(const wb::Sheet& sheet, std::vector<uint8_t>* buf)
{
    size_t k = 0;
    for (size_t rw = 1; rw < sheet.row_count(); ++rw) {
        if (row_empty(sheet, rw))
            continue;
        uint8_t* rec = buf->data() + 12 + 28 * k++;
        uint32_t tp = 0, sid = 0;
        if (!key_u16(sheet.at(rw, 0), false, &tp) || !key_u16(sheet.at(rw, 1), false, &sid)) {
            show("ERROR!! TP_Freq or S_ID in row %zu of sheet [ucaskey] is out of range,please check it!", rw + 1);
            return -1;
        }
        std::string pol = trimmed(cell_text(sheet.at(rw, 2), 2));
        uint32_t p;
        if (pol == "V" || pol == "v")
            p = 1;
        else if (pol == "H" || pol == "h")
            p = 0;
        else {
            show("ERROR!! POLARITY in row %zu of sheet [ucaskey] must be V or H!", rw + 1);
            return -1;
        }
        const wb::Cell& ang = sheet.at(rw, 3);
        double a = 0;
        if (ang.kind == wb::CellKind::Number)
            a = ang.number;
        else if (ang.kind == wb::CellKind::Text) {
            char* end = nullptr;
            std::string t = trimmed(ang.text());
            a = std::strtod(t.c_str(), &end);
            if (t.empty() || *end != '\0')
                a = -1;
        }
        long long hund = std::llround(a * 100);
        if (!(a >= 0) || hund > 0xFFFF) {
            show("ERROR!! SAT_ANGLE in row %zu of sheet [ucaskey] is out of range,please check it!", rw + 1);
            return -1;
        }
        wr32(rec, 38);
        wr32(rec + 4, tp);
        wr32(rec + 8, sid);
        wr32(rec + 12, p);
        wr32(rec + 16, (uint32_t)hund);
        for (size_t c = 4; c < 12; ++c) {
            uint8_t b = 0;
            const wb::Cell& cell = sheet.at(rw, c);
            if (cell.kind != wb::CellKind::Empty && !key_byte_from_cell(cell, &b)) {
                show("ERROR!! key byte in row %zu column %zu of sheet [ucaskey] is wrong,please check it!", rw + 1, c + 1);
                return -1;
            }
            rec[20 + c - 4] = b;
        }
    }
    return 0;
}

int CTesselcore::read_new_crypto_sheet(const wb::Sheet& sheet, int biss_max, std::vector<uint8_t>* buf)
{
    size_t k = 0;
    for (size_t rw = 1; rw < sheet.row_count(); ++rw) {
        if (row_empty(sheet, rw))
            continue;
        uint8_t* rec = buf->data() + 12 + 28 * (size_t)biss_max + 24 * k++;
        std::string id = trimmed(cell_text(sheet.at(rw, 0), 1));
        if (id.size() > 2 && id[0] == '0' && (id[1] == 'x' || id[1] == 'X'))
            id = id.substr(2);
        char* end = nullptr;
        errno = 0;
        unsigned long long pid = std::strtoull(id.c_str(), &end, 16);
        if (id.empty() || *end != '\0' || errno || pid > 0xFFFFFFFFull) {
            show("ERROR!! PROVIDER_ID in row %zu of sheet [crypto] is wrong,please check it!", rw + 1);
            return -1;
        }
        wr32(rec, (uint32_t)pid);
        rec[4] = 0x0D;
        long long sel = 0;
        const wb::Cell& sc = sheet.at(rw, 1);
        if (sc.kind != wb::CellKind::Empty && (!cell_integer(sc, &sel) || sel < 0 || sel > 0xFF)) {
            show("ERROR!! KEY_SELECT in row %zu of sheet [crypto] is out of range,please check it!", rw + 1);
            return -1;
        }
        rec[5] = (uint8_t)sel;
        for (size_t c = 2; c < 18; ++c) {
            uint8_t b = 0;
            const wb::Cell& cell = sheet.at(rw, c);
            if (cell.kind != wb::CellKind::Empty && !key_byte_from_cell(cell, &b)) {
                show("ERROR!! key byte in row %zu column %zu of sheet [crypto] is wrong,please check it!", rw + 1, c + 1);
                return -1;
            }
            rec[6 + c - 2] = b;
        }
    }
    return 0;
}
