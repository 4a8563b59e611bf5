// Workbook import: the edited workbook back into the block data.
#include "WorkbookImport.h"

#include "TesselCompress.h"

#include "Workbook.h"
#include "XlsxWriter.h"
#include "ByteOrder.h"
#include "Text.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <tuple>

using namespace tessel;

namespace tessel {

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
    case wb::CellKind::Error: return std::string(c.text().substr(0, 255));
    default: return col == 0 ? "NULL" : "";
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

std::string trimmed(std::string_view s) { return kv::trimmed(s, kv::kWhiteSpace); }

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

// The text as UTF-16LE with a terminating zero; a malformed UTF-8 sequence
// becomes U+FFFD.
void put_utf16(std::vector<uint8_t>* out, const std::string& s)
{
    for (char16_t u : kv::utf8_to_utf16(s))
        kv::append_le16(*out, u);
    kv::append_le16(*out, 0);
}

}  // namespace

// The sheets of the workbook into the block data, in the order the import
// reads them; stops at the first failure.
bool WorkbookImport::import_sheets(const wb::Workbook& book, bool new_ucakey, int biss_max)
{
    bool rc = true;
    auto usable = [](const wb::Sheet* s) { return s && s->row_count() * s->col_count() > 1; };
    if (m_set.ucaskey_sheet) {
        const wb::Sheet* u = book.find("ucaskey");
        if (!u) {
            m_report.show("ERROR!! the workbook has no sheet [ucaskey]!");
            rc = false;
        } else if (new_ucakey) {
            const wb::Sheet* cr = book.find("crypto");
            if (!biss_max_ok(m_report, biss_max)) {
                rc = false;
            } else if (usable(u) || usable(cr)) {
                std::vector<uint8_t> buf;
                rc = read_new_ucaskey_head(usable(u) ? u : nullptr, usable(cr) ? cr : nullptr, biss_max, &buf);
                if (rc && usable(u))
                    rc = read_new_ucaskey_sheet(*u, &buf);
                if (rc && usable(cr))
                    rc = read_new_crypto_sheet(*cr, biss_max, &buf);
                if (rc)
                    rc = write_key_bytes("ucaskey", buf);
            }
        } else if (usable(u)) {
            rc = read_ucaskey_sheet(*u);
        }
    }
    if (rc && m_set.crypto_sheet && !new_ucakey) {
        const wb::Sheet* c = book.find("crypto");
        if (!c) {
            m_report.show("ERROR!! the workbook has no sheet [crypto]!");
            rc = false;
        } else if (usable(c)) {
            rc = read_crypto_sheet(*c);
        }
    }
    if (rc)
        if (const wb::Sheet* p = book.find("Program"))
            rc = read_program_sheet(*p);
    if (rc)
        if (const wb::Sheet* s = book.find("IR_FP_Key"))
            rc = read_config_sheet(*s, 0);
    if (rc)
        if (const wb::Sheet* s = book.find("Sys_Config"))
            rc = read_sys_sheet(*s);
    if (rc)
        if (const wb::Sheet* s = book.find("File_Path"))
            rc = read_path_sheet(*s);

    return rc;
}

bool WorkbookImport::read()
{
    wb::Workbook book;
    std::string err;
    if (!wb::read_workbook(m_set.xls_path, &book, &err)) {
        m_report.show("error open excel  file %s (%s)", m_set.xls_path.c_str(), err.c_str());
        return false;
    }
    bool new_ucakey = false;
    int biss_max = 0;
    if (!load_settings(m_set, m_report, &new_ucakey, &biss_max))
        return false;

    // The working table as it was, so that a failed import changes nothing.
    struct Saved {
        tag_dmh_block_info_local rec;
        std::vector<uint8_t> bytes;
    };
    std::vector<Saved> saved(m_dmh.node()->count);
    for (uint32_t i = 0; i < m_dmh.node()->count; ++i) {
        saved[i].rec = m_dmh.node()->working[i];
        const uint8_t* d = m_dmh.node()->working[i].data;
        if (d)
            saved[i].bytes.assign(d, d + entry_size(m_dmh.node()->working[i]));
    }

    bool rc;
    try {
        rc = import_sheets(book, new_ucakey, biss_max);
    } catch (const std::bad_alloc&) {
        m_report.show("no memery!");
        rc = false;
    }
    if (!rc) {
        for (uint32_t i = 0; i < m_dmh.node()->count; ++i) {
            tag_dmh_block_info_local& w = m_dmh.node()->working[i];
            block_free(w.data);
            w = saved[i].rec;
            w.data = static_cast<uint8_t*>(block_alloc(saved[i].bytes.size()));
            if (w.data && !saved[i].bytes.empty())
                std::memcpy(w.data, saved[i].bytes.data(), saved[i].bytes.size());
        }
        return false;
    }
    return true;
}

// The block a "*name" row selects: the n-th row naming a block selects the
// n-th block of that name, so that blocks sharing a name keep their own rows.
cus_config_block* WorkbookImport::select_block(int slot, const std::string& name, std::map<std::string, int>* seen)
{
    int want = (*seen)[name]++;
    for (auto* b = m_script.sheet(slot)->blocks; b; b = b->next)
        if (name == screen_text(m_set.code_page, b->name) && want-- == 0)
            return b;
    return nullptr;
}

bool WorkbookImport::read_config_sheet(const wb::Sheet& sheet, int slot)
{
    cus_config_block* block = nullptr;
    std::map<std::string, int> seen;
    const size_t rows = sheet.row_count();
    for (size_t row = 0; row < rows; ++row) {
        std::string c1 = cell_text(sheet.at(row, 0), 0);
        if (!c1.empty() && c1[0] == '*') {
            block = select_block(slot, c1.substr(1), &seen);
            // The IR block is written as "*ir" whatever the script calls it.
            for (auto* b = m_script.sheet(slot)->blocks; !block && b && c1 == "*ir"; b = b->next)
                if (b->id == 0xE0)
                    block = b;
            continue;
        }
        if (!block)
            continue;
        tag_dmh_block_info_local* r = m_dmh.by_name_id(block->name, 8, block->id);
        if (!r)
            return false;
        if (slot == 0 && block->id == 0xE0) {
            bool rc = read_new_IR_sheet(sheet, &row, block, r);
            if (!rc)
                return rc;
            block = nullptr;  // the IR rows end where the next "*" row begins
            continue;
        }
        cus_config_item* it = block->items;
        while (it && c1 != screen_text(m_set.code_page, it->name))
            it = it->next;
        if (!it)
            continue;
        const wb::Cell& cell = sheet.at(row, 1);
        const std::string where = "cell " + wb::cell_name(row, 1) + " of sheet [" + sheet.name + "]";
        const bool rc =
            holds_number(it->type) ? write_number_item(cell, block, it, r) : write_text_item(cell, where, block, it, r);
        if (!rc)
            return rc;
    }
    return true;
}

bool WorkbookImport::write_number_item(const wb::Cell& cell, const cus_config_block* block, cus_config_item* it,
                                       tag_dmh_block_info_local* r)
{
    uint64_t v = it->value;
    const bool empty =
        cell.kind == wb::CellKind::Empty || (cell.kind == wb::CellKind::Text && trimmed(cell.text()).empty());
    if (!empty) {
        long long sv = 0;
        const bool negative = cell_integer(cell, &sv) && sv < 0;
        if (negative) {
            v = (uint64_t)sv;
        } else if (!cell_u64(cell, &v)) {
            m_report.show("ERROR!! [%s]'s value is not a number,please check it!", it->name);
            return false;
        }
        bool fits;
        if (field_kind(it->type) == FieldKind::choice) {
            long long s = negative ? sv : (v > (uint64_t)INT64_MAX ? INT64_MAX : (long long)v);
            fits = s >= it->min && s <= it->max && s >= INT32_MIN && s <= (long long)UINT32_MAX;
        } else {
            fits = !negative;
        }
        if (fits && it->bit_len < 64)
            fits = negative ? sv >= -(1LL << (it->bit_len - 1)) : v < ((uint64_t)1 << it->bit_len);
        if (!fits) {
            m_report.show("ERROR!! [%s]'s value is out of range,please check it!", it->name);
            return false;
        }
        if (negative && it->bit_len < 64)
            v &= ((uint64_t)1 << it->bit_len) - 1;
    }
    it->value = v;
    if (!write_bits(r->data, entry_size(*r), (uint64_t)block->offset * 8 + it->bit_off, it->bit_len, v)) {
        m_report.show("ERROR!! [%s] lies outside block [%s]!", it->name, block->name);
        return false;
    }
    return true;
}

// A text item: the cell's text in the box's code page, with its NUL, within
// the item's own field. A text left as the workbook showed it keeps its
// bytes, whatever they are (erased 0xFF, bytes the code page does not define).
bool WorkbookImport::write_text_item(const wb::Cell& cell, const std::string& where, const cus_config_block* block,
                                     cus_config_item* it, tag_dmh_block_info_local* r)
{
    const std::string text = cell_text(cell, 1);
    if (text == screen_text(m_set.code_page, it->text_value))
        return true;
    std::string bytes, bad;
    if (!m_set.code_page.to_box(text, bytes, &bad)) {
        m_report.show("ERROR!! [%s]'s text in %s holds \"%s\", which the box's code page %s cannot hold!", it->name,
                      where.c_str(), bad.c_str(), m_set.code_page.name().c_str());
        return false;
    }
    const uint32_t size = entry_size(*r);
    const uint64_t at = (uint64_t)block->offset + it->bit_off / 8;
    uint64_t field = it->bit_len / 8 ? it->bit_len / 8 : sizeof it->text_value;
    if (at >= size) {
        m_report.show("ERROR!! [%s] lies outside block [%s]!", it->name, block->name);
        return false;
    }
    if (at + field > size)
        field = size - at;
    if (bytes.size() > field) {
        m_report.show("ERROR!! [%s]'s text in %s is longer than its field of %u bytes,please check it!", it->name,
                      where.c_str(), (unsigned)field);
        return false;
    }
    std::memcpy(r->data + at, bytes.data(), bytes.size());
    if (bytes.size() < field)
        r->data[at + bytes.size()] = 0;
    const std::string kept = bytes.substr(0, m_set.code_page.fit(bytes, sizeof it->text_value - 1));
    std::memcpy(it->text_value, kept.data(), kept.size());
    it->text_value[kept.size()] = 0;
    return true;
}

// The IR rows of the "IR_FP_Key" sheet, from *row up to the next "*" row: a
// "#irK" row opens group K of the IR key table (entry K-1, whose key number
// says how many keys it has); each further row names a key of that group in
// column 1 and gives its value byte in column 2. Keys are matched by name,
// so a missing or extra row never moves the bytes of the others.
bool WorkbookImport::read_new_IR_sheet(const wb::Sheet& sheet, size_t* row, cus_config_block* block,
                                       tag_dmh_block_info_local* r)
{
    const uint32_t size = entry_size(*r);
    if (size < 4 || !r->data) {
        m_report.show("ERROR!! the IR block is damaged!");
        return false;
    }
    const uint64_t base = 4 + 4 * (uint64_t)kv::ByteReader(r->data, size).le32();
    std::vector<cus_config_item*> items;
    for (auto* it = block->items; it; it = it->next)
        items.push_back(it);
    // Group k covers the items from first[k] on, m_script.ir_numbers()[k] of them.
    std::vector<size_t> first(m_script.ir_numbers().size() + 1, 0);
    for (size_t k = 0; k < m_script.ir_numbers().size(); ++k)
        first[k + 1] = first[k] + m_script.ir_numbers()[k];
    std::vector<bool> done(items.size());
    long group = -1;  // before the first "#ir" row every key of the block may be named
    size_t rw = *row;
    for (; rw < sheet.row_count(); ++rw) {
        const std::string c1 = cell_text(sheet.at(rw, 0), 0);
        if (!c1.empty() && c1[0] == '*')
            break;
        if (c1.compare(0, 3, "#ir") == 0) {
            long long k = 0;
            if (!parse_long(c1.substr(3), 10, &k) || k < 1 || (size_t)k > m_script.ir_numbers().size()) {
                m_report.show(
                    "ERROR!! row %zu of sheet [%s] opens IR group %s, but the key table of block [%s] has %zu "
                    "groups!",
                    rw + 1, sheet.name.c_str(), c1.c_str(), block->name, m_script.ir_numbers().size());
                return false;
            }
            group = (long)k - 1;
            continue;
        }
        const wb::Cell& value = sheet.at(rw, 1);
        if (c1 == "NULL" && value.kind == wb::CellKind::Empty)
            continue;  // a blank row
        const size_t from = group < 0 ? 0 : std::min(first[(size_t)group], items.size());
        const size_t to = group < 0 ? items.size() : std::min(first[(size_t)group + 1], items.size());
        size_t i = from;
        while (i < to && (done[i] || screen_text(m_set.code_page, items[i]->name) != c1))
            ++i;
        if (i == to) {
            if (group < 0)
                m_report.show("ERROR!! row %zu of sheet [%s] names the IR key [%s], which block [%s] does not have!",
                              rw + 1, sheet.name.c_str(), c1.c_str(), block->name);
            else
                m_report.show(
                    "ERROR!! row %zu of sheet [%s] names the IR key [%s], which is not among the %u keys of group "
                    "#ir%ld in the key table of block [%s]!",
                    rw + 1, sheet.name.c_str(), c1.c_str(), (unsigned)m_script.ir_numbers()[(size_t)group], group + 1,
                    block->name);
            return false;
        }
        done[i] = true;
        if (value.kind != wb::CellKind::Number)
            continue;  // not a number: the key keeps its byte
        long long v = 0;
        if (!cell_integer(value, &v) || v < 0 || v > 0xFF) {
            m_report.show("ERROR!! [%s]'s value is out of range,please check it!", items[i]->name);
            return false;
        }
        if (base + i >= size) {
            m_report.show("ERROR!! [%s] lies outside block [%s]!", items[i]->name, block->name);
            return false;
        }
        items[i]->value = (uint64_t)v;
        r->data[base + i] = (uint8_t)v;
    }
    *row = rw - 1;  // the caller goes on with the "*" row
    return true;
}

bool WorkbookImport::read_path_sheet(const wb::Sheet& sheet)
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
        tag_dmh_block_info_local* r = m_dmh.by_name_id(block->name, 8, block->id);
        if (!r)
            return false;
        bool unchanged = false;
        for (auto* it = block->items; it; it = it->next)
            if (c1 == screen_text(m_set.code_page, it->name) &&
                c2.text() == screen_text(m_set.code_page, it->text_value))
                unchanged = true;
        if (unchanged)
            continue;  // the text the workbook was written with, not a path
        const bool rc = block->em == 3 ? load_block_file(trimmed(c2.text()), block, r)
                                       : load_hw_info_file(trimmed(c2.text()), block, r);
        if (!rc)
            return rc;
    }
    return true;
}

// EM 3: the file's bytes become the block. A file that cannot be opened
// leaves the block as it was; one that is not a regular file of at most the
// image's length is refused.
bool WorkbookImport::load_block_file(const std::string& path, const cus_config_block* block,
                                     tag_dmh_block_info_local* r)
{
    std::vector<uint8_t> bytes;
    std::string why;
    if (!wb::read_regular_file(path, m_dmh.node()->image_len, &bytes, &why)) {
        if (why.compare(0, 12, "cannot open ") == 0) {
            m_report.show("WARNING: can not open [%s], block [%s] is kept as it was", path.c_str(), block->name);
            return true;
        }
        m_report.show("ERROR!! [%s] can not fill block [%s]: %s!", path.c_str(), block->name, why.c_str());
        return false;
    }
    if (bytes.empty()) {
        m_report.show("ERROR!! [%s] is empty!", path.c_str());
        return false;
    }
    return m_dmh.replace_data(r, std::move(bytes), false);
}

// EM 2: the panel record and the LED map of a hardware-info file replace the
// first 240 bytes of the block; the block keeps its size (a smaller block
// gets what fits, as its size allows).
bool WorkbookImport::load_hw_info_file(const std::string& path, const cus_config_block* block,
                                       tag_dmh_block_info_local* r)
{
    uint8_t panel[kPanelRecordSize], led[kLedMapSize];
    if (!m_hw.parse_file(panel, led, path)) {
        const std::string why = m_report.message();
        m_report.show("Parse hw info file failed");
        m_report.detail(why);
        return false;
    }
    uint8_t both[kPanelRecordSize + kLedMapSize];
    std::memcpy(both, panel, kPanelRecordSize);
    std::memcpy(both + kPanelRecordSize, led, kLedMapSize);
    const uint32_t size = entry_size(*r);
    if (size < sizeof both)
        m_report.show("WARNING: block [%s] holds %u bytes; only that much of the %zu bytes of hw info reach the image",
                      block->name, size, sizeof both);
    std::memcpy(r->data, both, std::min<size_t>(size, sizeof both));
    return true;
}

namespace {

// The cells of a serialised program list: (row, column, UTF-16LE text)
// in order; false when the bytes are not such a list.
using PresetCells = std::vector<std::tuple<size_t, uint8_t, std::string>>;
bool decode_preset_cells(const std::vector<uint8_t>& d, PresetCells* out)
{
    if (d.size() < 14 || std::memcmp(d.data(), "presetdata", 10) != 0)
        return false;
    kv::ByteReader in(d);
    in.seek(14);
    size_t row = 0;
    while (in.remaining() > 0) {
        const uint8_t marker = in.u8();
        if (marker & 0x80 || row == 0)
            ++row;
        std::string text;
        for (const uint8_t* c = in.take(2); c && (c[0] || c[1]); c = in.take(2))
            text.append(reinterpret_cast<const char*>(c), 2);
        if (!in.ok())
            return false;
        out->emplace_back(row, uint8_t(marker & 0x7F), std::move(text));
    }
    return true;
}

}  // namespace

bool WorkbookImport::read_program_sheet(const wb::Sheet& sheet)
{
    const size_t rows = sheet.row_count(), cols = sheet.col_count();
    tag_dmh_block_info_local* r = m_dmh.by_name("preset", 6);
    if (!r) {
        if (rows * cols == 0)
            return true;
        m_report.show("ERROR!! can not find block [preset] for sheet [Program]!");
        return false;
    }
    if (rows > 0xFFFF || cols > 128) {
        m_report.show("ERROR!! sheet [Program] is too large (%zu rows, %zu columns)!", rows, cols);
        return false;
    }
    std::vector<uint8_t> ser = {'p', 'r', 'e', 's', 'e', 't', 'd', 'a', 't', 'a', 0, 0, 0, 0};
    kv::put_be16(&ser[10], (uint16_t)rows);
    kv::put_be16(&ser[12], (uint16_t)cols);
    for (size_t rw = 0; rw < rows; ++rw) {
        bool first = true;
        for (const wb::Cell& cell : sheet.rows[rw]) {
            if (cell.kind == wb::CellKind::Empty || (cell.kind == wb::CellKind::Text && cell.text().empty()))
                continue;
            ser.push_back((uint8_t)(cell.col | (first ? 0x80 : 0)));
            first = false;
            put_utf16(&ser, cell_text(cell, cell.col));  // a number as the text of its integer part
        }
    }
    // Cells as they were: the block keeps its bytes (however it was packed).
    std::vector<uint8_t> old;
    PresetCells before, after;
    if (tessel::lzma_alone_unpack(r->data, entry_size(*r), &old, kPresetBufferSize) == tessel::unpack_t::ok &&
        decode_preset_cells(old, &before) && decode_preset_cells(ser, &after) && before == after)
        return true;
    std::vector<uint8_t> packed;
    if (!pack_preset(&packed, ser.data(), ser.size(), m_report))
        return false;
    return m_dmh.replace_data(r, std::move(packed), false);
}

bool WorkbookImport::write_key_bytes(const char* block_name, const std::vector<uint8_t>& built)
{
    tag_dmh_block_info_local* r = m_dmh.by_name(block_name, std::strlen(block_name));
    if (!r) {
        m_report.show("ERROR!! can not find block [%s]!", block_name);
        return false;
    }
    if (built.size() > entry_size(*r))
        m_report.show("WARNING: the keys of sheet [%s] need %zu bytes, block [%s] holds %u; the rest is cut",
                      block_name, built.size(), block_name, entry_size(*r));
    m_dmh.replace_data(r, built, true);
    return true;
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
bool WorkbookImport::read_key_sheet(const wb::Sheet& sheet, const char* name, size_t rec_len, size_t id_at,
                                    bool hex_ids, size_t last_col, size_t key_at)
{
    std::vector<uint8_t> built;
    for (size_t rw = 1; rw < sheet.row_count(); ++rw) {
        if (row_empty(sheet, rw))
            continue;
        std::vector<uint8_t> rec(rec_len, 0);
        uint32_t tp = 0, sid = 0;
        if (!key_u16(sheet.at(rw, 0), hex_ids, &tp) || !key_u16(sheet.at(rw, 1), hex_ids, &sid)) {
            m_report.show("ERROR!! TP_Freq or S_ID in row %zu of sheet [%s] is out of range,please check it!", rw + 1,
                          name);
            return false;
        }
        kv::put_le16(&rec[id_at], (uint16_t)tp);
        kv::put_le16(&rec[id_at + 2], (uint16_t)sid);
        for (size_t c = 2; c < last_col; ++c) {
            uint8_t b = 0;
            const wb::Cell& cell = sheet.at(rw, c);
            if (cell.kind != wb::CellKind::Empty && !key_byte_from_cell(cell, &b)) {
                m_report.show("ERROR!! key byte in row %zu column %zu of sheet [%s] is wrong,please check it!", rw + 1,
                              c + 1, name);
                return false;
            }
            rec[key_at + c - 2] = b;
        }
        built.insert(built.end(), rec.begin(), rec.end());
    }
    return write_key_bytes(name, built);
}

bool WorkbookImport::read_ucaskey_sheet(const wb::Sheet& sheet)
{
    return read_key_sheet(sheet, "ucaskey", 16, 4, false, 10, 8);
}

bool WorkbookImport::read_crypto_sheet(const wb::Sheet& sheet)
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

bool WorkbookImport::read_new_ucaskey_head(const wb::Sheet* ucaskey, const wb::Sheet* crypto, int biss_max,
                                           std::vector<uint8_t>* buf)
{
    tag_dmh_block_info_local* r = m_dmh.by_name("ucaskey", 7);
    if (!r) {
        m_report.show("ERROR!! can not find block [ucaskey]!");
        return false;
    }
    size_t u = data_rows(ucaskey), c = data_rows(crypto);
    if (u > (size_t)biss_max) {
        m_report.show("ERROR!! sheet [ucaskey] has %zu keys, room is for %d (BISS_MAX_KEYINFOS)!", u, biss_max);
        return false;
    }
    size_t total = 12 + 28 * u + 24 * c;
    if (c > 0xFFFF || total > 0xFFFF) {
        m_report.show("ERROR!! too many keys in sheet [crypto]!");
        return false;
    }
    buf->assign(12 + 28 * (size_t)biss_max + 24 * c, 0);
    uint32_t size = entry_size(*r);
    std::memcpy(buf->data(), r->data, size < 6 ? size : 6);
    kv::put_le16(buf->data() + 6, (uint16_t)u);
    kv::put_le16(buf->data() + 8, (uint16_t)c);
    kv::put_le16(buf->data() + 10, (uint16_t)total);
    return true;
}

bool WorkbookImport::read_new_ucaskey_sheet(const wb::Sheet& sheet, std::vector<uint8_t>* buf)
{
    size_t k = 0;
    for (size_t rw = 1; rw < sheet.row_count(); ++rw) {
        if (row_empty(sheet, rw))
            continue;
        uint8_t* rec = buf->data() + 12 + 28 * k++;
        uint32_t tp = 0, sid = 0;
        if (!key_u16(sheet.at(rw, 0), false, &tp) || !key_u16(sheet.at(rw, 1), false, &sid)) {
            m_report.show("ERROR!! TP_Freq or S_ID in row %zu of sheet [ucaskey] is out of range,please check it!",
                          rw + 1);
            return false;
        }
        std::string pol = trimmed(cell_text(sheet.at(rw, 2), 2));
        uint32_t p;
        if (pol == "V" || pol == "v")
            p = 1;
        else if (pol == "H" || pol == "h")
            p = 0;
        else {
            m_report.show("ERROR!! POLARITY in row %zu of sheet [ucaskey] must be V or H!", rw + 1);
            return false;
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
            m_report.show("ERROR!! SAT_ANGLE in row %zu of sheet [ucaskey] is out of range,please check it!", rw + 1);
            return false;
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
                m_report.show("ERROR!! key byte in row %zu column %zu of sheet [ucaskey] is wrong,please check it!",
                              rw + 1, c + 1);
                return false;
            }
            rec[20 + c - 4] = b;
        }
    }
    return true;
}

bool WorkbookImport::read_new_crypto_sheet(const wb::Sheet& sheet, int biss_max, std::vector<uint8_t>* buf)
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
            m_report.show("ERROR!! PROVIDER_ID in row %zu of sheet [crypto] is wrong,please check it!", rw + 1);
            return false;
        }
        wr32(rec, (uint32_t)pid);
        rec[4] = 0x0D;
        long long sel = 0;
        const wb::Cell& sc = sheet.at(rw, 1);
        if (sc.kind != wb::CellKind::Empty && (!cell_integer(sc, &sel) || sel < 0 || sel > 0xFF)) {
            m_report.show("ERROR!! KEY_SELECT in row %zu of sheet [crypto] is out of range,please check it!", rw + 1);
            return false;
        }
        rec[5] = (uint8_t)sel;
        for (size_t c = 2; c < 18; ++c) {
            uint8_t b = 0;
            const wb::Cell& cell = sheet.at(rw, c);
            if (cell.kind != wb::CellKind::Empty && !key_byte_from_cell(cell, &b)) {
                m_report.show("ERROR!! key byte in row %zu column %zu of sheet [crypto] is wrong,please check it!",
                              rw + 1, c + 1);
                return false;
            }
            rec[6 + c - 2] = b;
        }
    }
    return true;
}
