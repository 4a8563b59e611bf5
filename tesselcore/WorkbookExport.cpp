// Workbook generation: the script tree, the program list and the key blocks
// as sheets of "preset.xlsx".
#include "WorkbookExport.h"

#include "TesselCompress.h"

#include "ByteOrder.h"
#include "Text.h"

#include "Workbook.h"
#include "XlsxWriter.h"

#include <cstdio>
#include <cstring>

using namespace tessel;

namespace {

const int kHighlight = 6;  // palette index 6: yellow

std::string hex_byte(uint8_t b)
{
    char buf[4];
    std::snprintf(buf, sizeof buf, "%x", b);
    return buf;
}

// A key byte as "%x". Digits alone go in as a number, as the spreadsheet
// itself turns such a text into a number; the import reads a number cell's
// decimal digits back as the two nibbles (12 -> 0x12).
void put_key_byte(wb::XlsxSheet* s, size_t row, size_t col, uint8_t b)
{
    std::string t = hex_byte(b);
    if (t.find_first_of("abcdef") == std::string::npos)
        s->set_number(row, col, (double)std::atoi(t.c_str()));
    else
        s->set_text(row, col, t);
}

void put_hex_text(wb::XlsxSheet* s, size_t row, size_t col, uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%x", v);
    std::string t = buf;
    if (t.find_first_of("abcdef") == std::string::npos)
        s->set_number(row, col, (double)std::strtoull(t.c_str(), nullptr, 10));
    else
        s->set_text(row, col, t);
}

bool all_bytes(const uint8_t* p, size_t n, uint8_t v)
{
    for (size_t i = 0; i < n; ++i)
        if (p[i] != v)
            return false;
    return true;
}

// Records that hold data: trailing erased (0xFF) or empty (0x00) records of
// the block are left out.
size_t used_records(const uint8_t* data, uint32_t size, size_t rec)
{
    const kv::ByteReader all(data, size);
    size_t n = size / rec;
    for (; n > 0; --n) {
        const uint8_t* last = all.view((n - 1) * rec, rec).peek();
        if (!all_bytes(last, rec, 0xFF) && !all_bytes(last, rec, 0x00))
            break;
    }
    return n;
}

// One text of the program list: UTF-16LE up to a zero, as UTF-8. False when
// the zero is missing.
bool read_program_text(kv::ByteReader& in, std::string* text)
{
    std::u16string u;
    for (uint16_t c = in.le16(); c != 0 && in.ok(); c = in.le16())
        u.push_back(char16_t(c));
    if (!in.ok())
        return false;
    *text = kv::utf16_to_utf8(u);
    return true;
}

}  // namespace

bool tessel::cell_position(int column, int row, std::string* out)
{
    if (column <= 0 || row <= 0 || column > 16384 || !out)
        return false;
    std::string letters;
    for (int c = column; c > 0; c = (c - 1) / 26)
        letters.insert(letters.begin(), (char)('A' + (c - 1) % 26));
    *out = letters + std::to_string(row);
    return true;
}

void WorkbookExport::fill_row_color(size_t row, size_t last_col, int color_index, wb::XlsxSheet* sheet)
{
    if (last_col >= 1)
        sheet->fill_range(row - 1, 0, last_col - 1, color_index);
}

bool WorkbookExport::write()
{
    bool new_ucakey = false;
    int biss_max = 0;
    if (!load_settings(m_set, m_report, &new_ucakey, &biss_max))
        return false;
    m_sheet_count = 0;
    wb::XlsxBook book;
    m_set.ucaskey_sheet = m_set.crypto_sheet = false;

    wb::XlsxSheet* program = book.add_sheet("Program");
    ++m_sheet_count;
    if (m_dmh.by_name("preset", 6) && !showPresetSheet(program))
        return false;
    static const char* const kNames[3] = {"IR_FP_Key", "Sys_Config", "File_Path"};
    for (int slot = 0; slot < 3; ++slot) {
        if (slot == 2 && !(m_script.sheet(2)->blocks && std::strcmp(m_script.sheet(2)->blocks->name, "radio") == 0))
            continue;
        wb::XlsxSheet* s = book.add_sheet(kNames[slot]);
        ++m_sheet_count;
        if (!ParseBlockData(s, slot))
            return false;
    }
    if (tag_dmh_block_info_local* u = m_dmh.by_name("ucaskey", 7)) {
        m_set.ucaskey_sheet = true;
        wb::XlsxSheet* s = book.add_sheet("ucaskey");
        ++m_sheet_count;
        if (new_ucakey) {
            if (!biss_max_ok(m_report, biss_max)) {
                return false;
            }
            showNewUcaskeySheet(s, u->data, entry_size(*u), biss_max);
            wb::XlsxSheet* c = book.add_sheet("crypto");
            ++m_sheet_count;
            showNewCryptoSheet(c, u->data, entry_size(*u), biss_max);
        } else {
            showUcaskeySheet(s, u->data, entry_size(*u));
        }
    }
    if (tag_dmh_block_info_local* c = m_dmh.by_name("crypto", 6)) {
        // In the new layout the "crypto" sheet comes from the "ucaskey" block.
        if (!new_ucakey) {
            m_set.crypto_sheet = true;
            wb::XlsxSheet* s = book.add_sheet("crypto");
            ++m_sheet_count;
            showCryptoSheet(s, c->data, entry_size(*c));
        }
    }
    // The file is replaced in one step once the new one is whole; a failed
    // write leaves the previous workbook as it was.
    std::string err;
    if (!wb::write_xlsx_file(m_set.xls_path, book, &err)) {
        m_report.show("ERROR!! can not save the workbook %s: %s", m_set.xls_path.c_str(), err.c_str());
        return false;
    }
    return true;
}

bool WorkbookExport::showPresetSheet(wb::XlsxSheet* sheet)
{
    tag_dmh_block_info_local* r = m_dmh.by_name("preset", 6);
    std::vector<uint8_t> d;
    if (!r || !unpack_preset(&d, r->data, entry_size(*r), kPresetBufferSize, m_report))
        return false;
    if (d.size() < 14 || std::memcmp(d.data(), "presetdata", 10) != 0) {
        m_report.show("ERROR!! the preset block holds no program list!");
        return false;
    }
    kv::ByteReader in(d);
    in.seek(12);
    const size_t cols = in.be16();
    size_t row = 0, col = 0;
    bool row_first = false;
    while (in.remaining() > 0) {
        const uint8_t marker = in.u8();
        std::string text;
        if (!read_program_text(in, &text)) {
            m_report.show("ERROR!! the program list is damaged!");
            return false;
        }
        // Every cell goes back to the column its marker names, so that cells
        // of a row keep their columns across a round trip.
        if (marker & 0x80) {
            ++row;
            row_first = true;
        } else if (row == 0) {
            row = 1;
            row_first = true;
        }
        col = (size_t)(marker & 0x7F) + 1;
        sheet->set_text(row - 1, col - 1, text);
        if (row_first && !text.empty() && text[0] == '*' && cols >= 1 && cols <= 254)
            fill_row_color(row, cols, kHighlight, sheet);
        row_first = false;
    }
    return true;
}

bool WorkbookExport::ParseBlockData(wb::XlsxSheet* sheet, int slot)
{
    size_t headings = 0;
    for (auto* info = m_script.sheet(slot)->infos; info; info = info->next)
        sheet->set_text(0, headings++, screen_text(m_set.code_page, info->text));
    size_t row = 1;  // rows written so far
    for (auto* b = m_script.sheet(slot)->blocks; b; b = b->next) {
        if (b->id == 0xE0) {
            showNewIRSheet(sheet, &row, b);
            continue;
        }
        ++row;
        sheet->set_text(row - 1, 0, "*" + screen_text(m_set.code_page, b->name));
        if (slot != 2 && headings >= 1 && headings <= 254)
            fill_row_color(row, headings, kHighlight, sheet);
        for (auto* it = b->items; it; it = it->next) {
            ++row;
            sheet->set_text(row - 1, 0, screen_text(m_set.code_page, it->name));
            if (holds_number(it->type)) {
                // Beyond 2^53 a number cell would lose bits: such values go in as text.
                if (it->value > (1ull << 53))
                    sheet->set_text(row - 1, 1, std::to_string(it->value));
                else
                    sheet->set_number(row - 1, 1, (double)it->value);
                if (field_kind(it->type) == FieldKind::choice) {
                    sheet->set_number(row - 1, 2, it->min);
                    sheet->set_number(row - 1, 3, it->max);
                }
            } else {
                sheet->set_text(row - 1, 1, screen_text(m_set.code_page, it->text_value));
            }
            if (b->em == 1)
                sheet->set_text(row - 1, 4, screen_text(m_set.code_page, it->text));
        }
    }
    return true;
}

bool WorkbookExport::showNewIRSheet(wb::XlsxSheet* sheet, size_t* row, cus_config_block* block)
{
    size_t headings = 0;
    for (auto* info = m_script.sheet(0)->infos; info; info = info->next)
        ++headings;
    size_t width = headings >= 1 && headings <= 254 ? headings : 2;
    ++*row;
    sheet->set_text(*row - 1, 0, "*ir");
    fill_row_color(*row, width, kHighlight, sheet);
    cus_config_item* it = block->items;
    for (size_t k = 0; k < m_script.ir_numbers().size(); ++k) {
        ++*row;
        sheet->set_text(*row - 1, 0, "#ir" + std::to_string(k + 1));
        fill_row_color(*row, width, kHighlight, sheet);
        for (int i = 0; i < m_script.ir_numbers()[k] && it; ++i, it = it->next) {
            ++*row;
            sheet->set_text(*row - 1, 0, screen_text(m_set.code_page, it->name));
            sheet->set_number(*row - 1, 1, (double)(it->value & 0xFF));
        }
    }
    return true;
}

// A key sheet: TP_Freq and S_ID from the 16-bit values at `id_at` of each
// `rec_len`-byte record, then `keys` key bytes from `key_at`.
bool WorkbookExport::showKeySheet(wb::XlsxSheet* sheet, const uint8_t* data, uint32_t size, size_t rec_len,
                                  size_t id_at, int keys, size_t key_at)
{
    sheet->set_text(0, 0, "TP_Freq");
    sheet->set_text(0, 1, "S_ID");
    for (int k = 0; k < keys; ++k)
        sheet->set_text(0, 2 + k, "Key[" + std::to_string(k) + "]");
    fill_row_color(1, 2 + keys, kHighlight, sheet);
    const kv::ByteReader all(data, size);
    size_t n = used_records(data, size, rec_len);
    for (size_t i = 0; i < n; ++i) {
        const kv::ByteReader rec = all.view(rec_len * i, rec_len);
        kv::ByteReader id = rec.view(id_at, 4), key = rec.view(key_at, size_t(keys));
        sheet->set_number(1 + i, 0, id.le16());
        sheet->set_number(1 + i, 1, id.le16());
        for (int k = 0; k < keys; ++k)
            put_key_byte(sheet, 1 + i, 2 + k, key.u8());
    }
    return true;
}

bool WorkbookExport::showUcaskeySheet(wb::XlsxSheet* sheet, const uint8_t* data, uint32_t size)
{
    return showKeySheet(sheet, data, size, 16, 4, 8, 8);
}

bool WorkbookExport::showCryptoSheet(wb::XlsxSheet* sheet, const uint8_t* data, uint32_t size)
{
    return showKeySheet(sheet, data, size, 32, 12, 16, 16);
}

bool WorkbookExport::showNewUcaskeySheet(wb::XlsxSheet* sheet, const uint8_t* data, uint32_t size, int biss_max)
{
    static const char* const head[4] = {"TP_Freq", "S_ID", "POLARITY", "SAT_ANGLE"};
    for (int k = 0; k < 4; ++k)
        sheet->set_text(0, k, head[k]);
    for (int k = 0; k < 8; ++k)
        sheet->set_text(0, 4 + k, "Key[" + std::to_string(k) + "]");
    fill_row_color(1, 12, kHighlight, sheet);
    if (size < 12)
        return true;
    const kv::ByteReader all(data, size);
    size_t u = all.view(6, 2).le16();
    if (u > (size_t)biss_max || 12 + 28 * u > size) {
        m_report.show("WARNING: the key header of block [ucaskey] lists %zu keys that do not fit; none shown", u);
        return true;
    }
    for (size_t i = 0; i < u; ++i) {
        kv::ByteReader rec = all.view(12 + 28 * i, 28);
        rec.skip(4);
        sheet->set_number(1 + i, 0, rec.le32() & 0xFFFF);
        sheet->set_number(1 + i, 1, rec.le32() & 0xFFFF);
        uint32_t pol = rec.le32();
        if (pol == 0 || pol == 1)
            sheet->set_text(1 + i, 2, pol ? "V" : "H");
        else
            sheet->set_number(1 + i, 2, pol);
        sheet->set_number(1 + i, 3, (rec.le32() & 0xFFFF) / 100.0);
        for (int k = 0; k < 8; ++k)
            put_key_byte(sheet, 1 + i, 4 + k, rec.u8());
    }
    return true;
}

bool WorkbookExport::showNewCryptoSheet(wb::XlsxSheet* sheet, const uint8_t* data, uint32_t size, int biss_max)
{
    sheet->set_text(0, 0, "PROVIDER_ID");
    sheet->set_text(0, 1, "KEY_SELECT");
    for (int k = 0; k < 16; ++k)
        sheet->set_text(0, 2 + k, "Key[" + std::to_string(k) + "]");
    fill_row_color(1, 18, kHighlight, sheet);
    if (size < 12)
        return true;
    const kv::ByteReader all(data, size);
    size_t c = all.view(8, 2).le16();
    size_t base = 12 + 28 * (size_t)biss_max;
    if (base + 24 * c > size) {
        m_report.show("WARNING: the key header of block [ucaskey] lists %zu crypto keys that do not fit; none shown",
                      c);
        return true;
    }
    for (size_t i = 0; i < c; ++i) {
        kv::ByteReader rec = all.view(base + 24 * i, 24);
        put_hex_text(sheet, 1 + i, 0, rec.le32());
        rec.skip(1);
        sheet->set_number(1 + i, 1, rec.u8());
        for (int k = 0; k < 16; ++k)
            put_key_byte(sheet, 1 + i, 2 + k, rec.u8());
    }
    return true;
}
