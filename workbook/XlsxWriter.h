// Writing `.xlsx` workbooks.
//
// A workbook is assembled in memory (sheets can be added, renamed and removed
// in any order, cells set and ranges coloured) and written in one go with
// libxlsxwriter. Rows and columns are counted from 0 here, as in `Sheet`.
#pragma once

#include "Workbook.h"

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace wb {

// The 56 entries of the default spreadsheet palette, index 1 to 56, as
// 0xRRGGBB; 0 for an index outside the palette. Index 6 is yellow 0xFFFF00.
uint32_t palette_rgb(int index);

struct CellStyle {
    int fill_index = 0;  // palette index of the interior colour, 0 = none
    std::string num_format;  // number format code, empty = General
};

struct XlsxSheet {
    std::string name;
    Sheet cells;
    std::map<std::pair<size_t, size_t>, CellStyle> styles;  // (row, col)

    void set_number(size_t row, size_t col, double value, const std::string& num_format = {});
    void set_text(size_t row, size_t col, const std::string& text);
    // Gives cells first_col..last_col of `row` the interior colour `palette_index`.
    void fill_range(size_t row, size_t first_col, size_t last_col, int palette_index);
    const CellStyle* style(size_t row, size_t col) const;
};

struct XlsxBook {
    std::vector<XlsxSheet> sheets;

    // Appends a sheet; nullptr when the name is empty, too long (31), holds one
    // of []:*?/\ or is already taken (without regard to case).
    XlsxSheet* add_sheet(const std::string& name);
    XlsxSheet* find(const std::string& name);
    bool rename_sheet(const std::string& from, const std::string& to);
    bool remove_sheet(const std::string& name);
};

bool valid_sheet_name(const std::string& name);

// A text as the writer stores it: valid UTF-8 without the control characters a
// workbook cannot hold (others become U+FFFD), at most 32767 characters.
std::string xlsx_clean_text(const std::string& text);

// Writes the workbook; the file is first written beside `path` under a
// temporary name and then renamed, so a failed write never leaves half a file.
// False with a message in *error on failure.
bool write_xlsx_file(const std::string& path, const XlsxBook& book, std::string* error);

}  // namespace wb
