// Workbook generation: the script tree, the program list and the key blocks
// as sheets of "preset.xlsx".
#include "Tesselcore.h"

#include "ByteOrder.h"

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
    size_t n = size / rec;
    while (n > 0 && (all_bytes(data + (n - 1) * rec, rec, 0xFF) || all_bytes(data + (n - 1) * rec, rec, 0x00)))
        --n;
    return n;
}


}  // namespace

bool CTesselcore::get_cellpos_by_index(int column, int row, std::string* out)
{
    if (column <= 0 || row <= 0 || column > 16384 || !out)
        return false;
    std::string letters;
    for (int c = column; c > 0; c = (c - 1) / 26)
        letters.insert(letters.begin(), (char)('A' + (c - 1) % 26));
    *out = letters + std::to_string(row);
    return true;
}

void CTesselcore::get_max_rows_cols(int* rows, int* cols, const wb::Sheet& sheet)
{
    if (rows)
        *rows = (int)sheet.row_count();
    if (cols)
        *cols = (int)sheet.col_count();
}

void CTesselcore::fill_row_color(size_t row, size_t last_col, int color_index, wb::XlsxSheet* sheet)
{
    if (last_col >= 1)
        sheet->fill_range(row - 1, 0, last_col - 1, color_index);
}

int CTesselcore::generate_xls_fie(tag_dmh_block_node* node)
{
    if (node)
        m_node = node;
    if (!m_node || !m_node->working) {
        show("ERROR!! no flash loaded!");
        return 0;
    }
    bool new_ucakey = false;
    int biss_max = 0;
    if (!load_settings(&new_ucakey, &biss_max))
        return 0;
    ResetSheetCount();
    wb::XlsxBook book;
    m_ucaskey_sheet = m_crypto_sheet = false;

    wb::XlsxSheet* program = book.add_sheet("Program");
    SheetCountIncrease();
    if (get_block_info_by_name("preset", 6) && showPresetSheet(program) != 1)
        return 0;
    static const char* const kNames[3] = {"IR_FP_Key", "Sys_Config", "File_Path"};
    for (int slot = 0; slot < 3; ++slot) {
        if (slot == 2 && !(m_sheets[2].blocks && std::strcmp(m_sheets[2].blocks->name, "radio") == 0))
            continue;
        wb::XlsxSheet* s = book.add_sheet(kNames[slot]);
        SheetCountIncrease();
        if (ParseBlockData(s, slot) != 1)
            return 0;
    }
    if (tag_dmh_block_info_local* u = get_block_info_by_name("ucaskey", 7)) {
        m_ucaskey_sheet = true;
        wb::XlsxSheet* s = book.add_sheet("ucaskey");
        SheetCountIncrease();
        if (new_ucakey) {
            if (!biss_max_ok(biss_max)) {
                return 0;
            }
            showNewUcaskeySheet(s, u->data, entry_size(*u), biss_max);
            wb::XlsxSheet* c = book.add_sheet("crypto");
            SheetCountIncrease();
            showNewCryptoSheet(c, u->data, entry_size(*u), biss_max);
        } else {
            showUcaskeySheet(s, u->data, entry_size(*u));
        }
    }
    if (tag_dmh_block_info_local* c = get_block_info_by_name("crypto", 6)) {
        // In the new layout the "crypto" sheet comes from the "ucaskey" block.
        if (!new_ucakey) {
            m_crypto_sheet = true;
            wb::XlsxSheet* s = book.add_sheet("crypto");
            SheetCountIncrease();
            showCryptoSheet(s, c->data, entry_size(*c));
        }
    }
    // The file is replaced in one step once the new one is whole; a failed
    // write leaves the previous workbook as it was.
    std::string err;
    if (!wb::write_xlsx_file(m_xls_path, book, &err)) {
        show("ERROR!! can not save the workbook %s: %s", m_xls_path.c_str(), err.c_str());
        return 0;
    }
    return 1;
}

int CTesselcore::showPresetSheet(wb::XlsxSheet* sheet)
{
    tag_dmh_block_info_local* r = get_block_info_by_name("preset", 6);
    std::vector<uint8_t> d;
    if (!r || !uncompress_data(&d, r->data, entry_size(*r), kPresetBufferSize))
        return 0;
    if (d.size() < 14 || std::memcmp(d.data(), "presetdata", 10) != 0) {
        show("ERROR!! the preset block holds no program list!");
        return 0;
    }
    size_t cols = (size_t)(d[12] << 8 | d[13]);
    size_t pos = 14;
    size_t row = 0, col = 0;
    bool row_first = false;
    while (pos < d.size()) {
        uint8_t marker = d[pos++];
        std::string text;
        for (;;) {
            if (pos + 2 > d.size()) {
                show("ERROR!! the program list is damaged!");
                return 0;
            }
            uint32_t u = (uint32_t)(d[pos] | (d[pos + 1] << 8));
            pos += 2;
            if (u == 0)
                break;
            if (u >= 0xD800 && u < 0xDC00 && pos + 2 <= d.size()) {
                uint32_t lo = (uint32_t)(d[pos] | (d[pos + 1] << 8));
                if (lo >= 0xDC00 && lo < 0xE000) {
                    pos += 2;
                    u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
                }
            }
            if (u < 0x80) {
                text += (char)u;
            } else if (u < 0x800) {
                text += (char)(0xC0 | (u >> 6));
                text += (char)(0x80 | (u & 0x3F));
            } else if (u < 0x10000) {
                text += (char)(0xE0 | (u >> 12));
                text += (char)(0x80 | ((u >> 6) & 0x3F));
                text += (char)(0x80 | (u & 0x3F));
            } else {
                text += (char)(0xF0 | (u >> 18));
                text += (char)(0x80 | ((u >> 12) & 0x3F));
                text += (char)(0x80 | ((u >> 6) & 0x3F));
                text += (char)(0x80 | (u & 0x3F));
            }
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
    return 1;
}

int CTesselcore::ParseBlockData(wb::XlsxSheet* sheet, int slot)
{
    size_t headings = 0;
    for (auto* info = m_sheets[slot].infos; info; info = info->next)
        sheet->set_text(0, headings++, screen_text(info->text));
    size_t row = 1;  // rows written so far
    for (auto* b = m_sheets[slot].blocks; b; b = b->next) {
        if (b->id == 0xE0) {
            showNewIRSheet(sheet, &row, b);
            continue;
        }
        ++row;
        sheet->set_text(row - 1, 0, "*" + screen_text(b->name));
        if (slot != 2 && headings >= 1 && headings <= 254)
            fill_row_color(row, headings, kHighlight, sheet);
        for (auto* it = b->items; it; it = it->next) {
            ++row;
            sheet->set_text(row - 1, 0, screen_text(it->name));
            if (it->type == 0 || it->type == 2) {
                // Beyond 2^53 a number cell would lose bits: such values go in as text.
                if (it->value > (1ull << 53))
                    sheet->set_text(row - 1, 1, std::to_string(it->value));
                else
                    sheet->set_number(row - 1, 1, (double)it->value);
                if (it->type == 2) {
                    sheet->set_number(row - 1, 2, it->min);
                    sheet->set_number(row - 1, 3, it->max);
                }
            } else {
                sheet->set_text(row - 1, 1, screen_text(it->text_value));
            }
            if (b->em == 1)
                sheet->set_text(row - 1, 4, screen_text(it->text));
        }
    }
    return 1;
}

int CTesselcore::showNewIRSheet(wb::XlsxSheet* sheet, size_t* row, cus_config_block* block)
{
    size_t headings = 0;
    for (auto* info = m_sheets[0].infos; info; info = info->next)
        ++headings;
    size_t width = headings >= 1 && headings <= 254 ? headings : 2;
    ++*row;
    sheet->set_text(*row - 1, 0, "*ir");
    fill_row_color(*row, width, kHighlight, sheet);
    cus_config_item* it = block->items;
    for (size_t k = 0; k < m_ir_nums.size(); ++k) {
        ++*row;
        sheet->set_text(*row - 1, 0, "#ir" + std::to_string(k + 1));
        fill_row_color(*row, width, kHighlight, sheet);
        for (int i = 0; i < m_ir_nums[k] && it; ++i, it = it->next) {
            ++*row;
            sheet->set_text(*row - 1, 0, screen_text(it->name));
            sheet->set_number(*row - 1, 1, (double)(it->value & 0xFF));
        }
    }
    return 1;
}

// A key sheet: TP_Freq and S_ID from the 16-bit values at `id_at` of each
// `rec_len`-byte record, then `keys` key bytes from `key_at`.
int CTesselcore::showKeySheet(wb::XlsxSheet* sheet, const uint8_t* data, uint32_t size, size_t rec_len, size_t id_at,
                              int keys, size_t key_at)
{
    sheet->set_text(0, 0, "TP_Freq");
    sheet->set_text(0, 1, "S_ID");
    for (int k = 0; k < keys; ++k)
        sheet->set_text(0, 2 + k, "Key[" + std::to_string(k) + "]");
    fill_row_color(1, 2 + keys, kHighlight, sheet);
    size_t n = used_records(data, size, rec_len);
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* rec = data + rec_len * i;
        sheet->set_number(1 + i, 0, kv::get_le16(rec + id_at));
        sheet->set_number(1 + i, 1, kv::get_le16(rec + id_at + 2));
        for (int k = 0; k < keys; ++k)
            put_key_byte(sheet, 1 + i, 2 + k, rec[key_at + k]);
    }
    return 1;
}

int CTesselcore::showUcaskeySheet(wb::XlsxSheet* sheet, const uint8_t* data, uint32_t size)
{
    return showKeySheet(sheet, data, size, 16, 4, 8, 8);
}

int CTesselcore::showCryptoSheet(wb::XlsxSheet* sheet, const uint8_t* data, uint32_t size)
{
    return showKeySheet(sheet, data, size, 32, 12, 16, 16);
}

int CTesselcore::showNewUcaskeySheet(wb::XlsxSheet* sheet, const uint8_t* data, uint32_t size, int biss_max)
{
    static const char* const head[4] = {"TP_Freq", "S_ID", "POLARITY", "SAT_ANGLE"};
    for (int k = 0; k < 4; ++k)
        sheet->set_text(0, k, head[k]);
    for (int k = 0; k < 8; ++k)
        sheet->set_text(0, 4 + k, "Key[" + std::to_string(k) + "]");
    fill_row_color(1, 12, kHighlight, sheet);
    if (size < 12)
        return 1;
    size_t u = kv::get_le16(data + 6);
    if (u > (size_t)biss_max || 12 + 28 * u > size) {
        show("WARNING: the key header of block [ucaskey] lists %zu keys that do not fit; none shown", u);
        return 1;
    }
    for (size_t i = 0; i < u; ++i) {
        const uint8_t* rec = data + 12 + 28 * i;
        sheet->set_number(1 + i, 0, rd32(rec + 4) & 0xFFFF);
        sheet->set_number(1 + i, 1, rd32(rec + 8) & 0xFFFF);
        uint32_t pol = rd32(rec + 12);
        if (pol == 0 || pol == 1)
            sheet->set_text(1 + i, 2, pol ? "V" : "H");
        else
            sheet->set_number(1 + i, 2, pol);
        sheet->set_number(1 + i, 3, (rd32(rec + 16) & 0xFFFF) / 100.0);
        for (int k = 0; k < 8; ++k)
            put_key_byte(sheet, 1 + i, 4 + k, rec[20 + k]);
    }
    return 1;
}

int CTesselcore::showNewCryptoSheet(wb::XlsxSheet* sheet, const uint8_t* data, uint32_t size, int biss_max)
{
    sheet->set_text(0, 0, "PROVIDER_ID");
    sheet->set_text(0, 1, "KEY_SELECT");
    for (int k = 0; k < 16; ++k)
        sheet->set_text(0, 2 + k, "Key[" + std::to_string(k) + "]");
    fill_row_color(1, 18, kHighlight, sheet);
    if (size < 12)
        return 1;
    size_t c = kv::get_le16(data + 8);
    size_t base = 12 + 28 * (size_t)biss_max;
    if (base + 24 * c > size) {
        show("WARNING: the key header of block [ucaskey] lists %zu crypto keys that do not fit; none shown", c);
        return 1;
    }
    for (size_t i = 0; i < c; ++i) {
        const uint8_t* rec = data + base + 24 * i;
        put_hex_text(sheet, 1 + i, 0, rd32(rec));
        sheet->set_number(1 + i, 1, rec[5]);
        for (int k = 0; k < 16; ++k)
            put_key_byte(sheet, 1 + i, 2 + k, rec[6 + k]);
    }
    return 1;
}
