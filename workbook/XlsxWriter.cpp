#include "XlsxWriter.h"

#include "FileOps.h"
#include "Text.h"

#include <xlsxwriter.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace wb {

namespace {

const uint32_t kPalette[56] = {
    0x000000, 0xFFFFFF, 0xFF0000, 0x00FF00, 0x0000FF, 0xFFFF00, 0xFF00FF, 0x00FFFF,  // 1-8
    0x800000, 0x008000, 0x000080, 0x808000, 0x800080, 0x008080, 0xC0C0C0, 0x808080,  // 9-16
    0x9999FF, 0x993366, 0xFFFFCC, 0xCCFFFF, 0x660066, 0xFF8080, 0x0066CC, 0xCCCCFF,  // 17-24
    0x000080, 0xFF00FF, 0xFFFF00, 0x00FFFF, 0x800080, 0x800000, 0x008080, 0x0000FF,  // 25-32
    0x00CCFF, 0xCCFFFF, 0xCCFFCC, 0xFFFF99, 0x99CCFF, 0xFF99CC, 0xCC99FF, 0xFFCC99,  // 33-40
    0x3366FF, 0x33CCCC, 0x99CC00, 0xFFCC00, 0xFF9900, 0xFF6600, 0x666699, 0x969696,  // 41-48
    0x003366, 0x339966, 0x003300, 0x333300, 0x993300, 0x993366, 0x333399, 0x333333,  // 49-56
};

const size_t kMaxRows = 1048576;
const size_t kMaxCols = 16384;
const size_t kMaxText = 32767;

bool same_name(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// Valid UTF-8 without the control characters XML cannot carry; anything else
// becomes U+FFFD. Cut at the cell limit of 32767 characters.
std::string clean_text(const std::string& in)
{
    std::string out;
    out.reserve(in.size());
    for (size_t i = 0, chars = 0; i < in.size() && chars < kMaxText; ++chars) {
        const kv::Utf8Char c = kv::utf8_at(in, i);
        const bool control = c.cp < 0x20 && c.cp != '\t' && c.cp != '\n' && c.cp != '\r';
        if (c.ok && !control)
            out.append(in, i, c.len);
        else
            out += "\xEF\xBF\xBD";
        i += c.len;
    }
    return out;
}

}  // namespace

std::string xlsx_clean_text(const std::string& text) { return clean_text(text); }

uint32_t palette_rgb(int index)
{
    if (index < 1 || index > 56)
        return 0;
    return kPalette[index - 1];
}

void XlsxSheet::set_number(size_t row, size_t col, double value, const std::string& num_format)
{
    Cell& c = cells.set(row, col);
    c.kind = CellKind::Number;
    c.number = value;
    if (!num_format.empty())
        styles[{row, col}].num_format = num_format;
}

void XlsxSheet::set_text(size_t row, size_t col, const std::string& text) { cells.set_text(row, col, text); }

void XlsxSheet::fill_range(size_t row, size_t first_col, size_t last_col, int palette_index)
{
    for (size_t c = first_col; c <= last_col; ++c)
        styles[{row, c}].fill_index = palette_index;
}

const CellStyle* XlsxSheet::style(size_t row, size_t col) const
{
    auto it = styles.find({row, col});
    return it == styles.end() ? nullptr : &it->second;
}

bool valid_sheet_name(const std::string& name)
{
    if (name.empty() || name.size() > 31)
        return false;
    if (name.front() == '\'' || name.back() == '\'')
        return false;
    return name.find_first_of("[]:*?/\\") == std::string::npos;
}

XlsxSheet* XlsxBook::add_sheet(const std::string& name)
{
    if (!valid_sheet_name(name) || find(name))
        return nullptr;
    sheets.emplace_back();
    sheets.back().name = name;
    sheets.back().cells.name = name;
    return &sheets.back();
}

XlsxSheet* XlsxBook::find(const std::string& name)
{
    for (auto& s : sheets)
        if (same_name(s.name, name))
            return &s;
    return nullptr;
}

bool XlsxBook::rename_sheet(const std::string& from, const std::string& to)
{
    XlsxSheet* s = find(from);
    if (!s || !valid_sheet_name(to))
        return false;
    XlsxSheet* other = find(to);
    if (other && other != s)
        return false;
    s->name = to;
    s->cells.name = to;
    return true;
}

bool XlsxBook::remove_sheet(const std::string& name)
{
    for (auto it = sheets.begin(); it != sheets.end(); ++it)
        if (same_name(it->name, name)) {
            sheets.erase(it);
            return true;
        }
    return false;
}

namespace {

struct FormatCache {
    lxw_workbook* book;
    std::map<std::pair<int, std::string>, lxw_format*> formats;

    lxw_format* get(const CellStyle* st)
    {
        if (!st || (st->fill_index == 0 && st->num_format.empty()))
            return nullptr;
        auto key = std::make_pair(st->fill_index, st->num_format);
        auto it = formats.find(key);
        if (it != formats.end())
            return it->second;
        lxw_format* f = workbook_add_format(book);
        if (f && st->fill_index > 0) {
            format_set_pattern(f, LXW_PATTERN_SOLID);
            format_set_bg_color(f, palette_rgb(st->fill_index));
        }
        if (f && !st->num_format.empty())
            format_set_num_format(f, st->num_format.c_str());
        formats[key] = f;
        return f;
    }
};

bool set_error(std::string* error, const std::string& text)
{
    if (error)
        *error = text;
    return false;
}

}  // namespace

namespace {

bool check_book(const XlsxBook& book, std::string* error)
{
    if (book.sheets.empty())
        return set_error(error, "a workbook needs at least one sheet");
    for (const auto& s : book.sheets) {
        if (!valid_sheet_name(s.name))
            return set_error(error, "invalid sheet name \"" + s.name + "\"");
        if (s.cells.row_count() > kMaxRows || s.cells.col_count() > kMaxCols)
            return set_error(error, "sheet \"" + s.name + "\" is larger than a workbook allows");
        for (const auto& [pos, st] : s.styles)
            if (pos.first >= kMaxRows || pos.second >= kMaxCols)
                return set_error(error, "sheet \"" + s.name + "\" is larger than a workbook allows");
    }
    return true;
}

lxw_error write_cell(lxw_worksheet* ws, size_t r, const Cell& cell, lxw_format* f)
{
    const auto row = (lxw_row_t)r;
    const auto col = (lxw_col_t)cell.col;
    switch (cell.kind) {
    case CellKind::Number: return worksheet_write_number(ws, row, col, cell.number, f);
    case CellKind::Bool: return worksheet_write_boolean(ws, row, col, cell.number != 0, f);
    case CellKind::Text:
        if (cell.text().empty())
            return f ? worksheet_write_blank(ws, row, col, f) : LXW_NO_ERROR;
        return worksheet_write_string(ws, row, col, clean_text(std::string(cell.text())).c_str(), f);
    default: return f ? worksheet_write_blank(ws, row, col, f) : LXW_NO_ERROR;
    }
}

// False when a cell could not be written.
bool write_sheet(lxw_workbook* wbk, FormatCache& cache, const XlsxSheet& s)
{
    lxw_worksheet* ws = workbook_add_worksheet(wbk, s.name.c_str());
    if (!ws)
        return false;
    bool ok = true;
    for (size_t r = 0; r < s.cells.rows.size(); ++r)
        for (const Cell& cell : s.cells.rows[r])
            if (write_cell(ws, r, cell, cache.get(s.style(r, cell.col))) != LXW_NO_ERROR)
                ok = false;
    // Styled cells beyond the values (a highlight over empty columns).
    for (const auto& [pos, st] : s.styles) {
        const Cell& cell = s.cells.at(pos.first, pos.second);
        if (cell.kind != CellKind::Empty && !(cell.kind == CellKind::Text && cell.text().empty()))
            continue;
        lxw_format* f = cache.get(&st);
        if (f && worksheet_write_blank(ws, (lxw_row_t)pos.first, (lxw_col_t)pos.second, f) != LXW_NO_ERROR)
            ok = false;
    }
    return ok;
}

}  // namespace

bool write_xlsx_file(const std::string& path, const XlsxBook& book, std::string* error)
{
    if (!check_book(book, error))
        return false;

    const std::string tmp = kv::make_temp_file(path);
    if (tmp.empty())
        return set_error(error, "cannot create " + path);

    lxw_workbook* wbk = workbook_new(tmp.c_str());
    if (!wbk) {
        kv::remove_file(tmp);
        return set_error(error, "cannot create " + path);
    }
    FormatCache cache{wbk, {}};
    bool ok = true;
    for (const auto& s : book.sheets)
        if (!(ok = write_sheet(wbk, cache, s)))
            break;
    lxw_error closed = workbook_close(wbk);
    if (!ok || closed != LXW_NO_ERROR) {
        kv::remove_file(tmp);
        return set_error(error,
                         "cannot write " + path +
                             (closed != LXW_NO_ERROR ? std::string(": ") + lxw_strerror(closed) : std::string()));
    }
    if (!kv::replace_file(tmp, path)) {
        kv::remove_file(tmp);
        return set_error(error, "cannot write " + path);
    }
    return true;
}

}  // namespace wb
