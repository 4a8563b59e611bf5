// Spreadsheet files as a grid of cells, whatever wrote them.
//
// `.xls` (BIFF8 in a compound document) is read by our own reader (YExcel),
// `.xlsx` by the Office Open XML reader; both fill the same grid, so a tool
// sees the same cells from either file.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace wb {

enum class CellKind { Empty, Number, Text, Bool, Error };

struct Cell {
    CellKind kind = CellKind::Empty;
    double number = 0.0;   // Number; Bool as 0/1
    std::string text;      // Text (UTF-8)
};

struct Sheet {
    std::string name;
    std::vector<std::vector<Cell>> rows;  // rows[r][c]; rows may be ragged

    size_t row_count() const { return rows.size(); }
    size_t col_count() const;
    // The cell at (row, col), or an empty cell outside the grid.
    const Cell& at(size_t row, size_t col) const;
    // Creates the cell when missing.
    Cell& set(size_t row, size_t col);
};

struct Workbook {
    std::vector<Sheet> sheets;
    // The sheet of that name (compared without regard to case), or nullptr.
    const Sheet* find(const std::string& name) const;
};

// Reads `.xls` or `.xlsx`, chosen by the file's first bytes (not its name).
// False with a message in *error when the file cannot be read or is damaged.
bool read_workbook(const std::string& path, Workbook* out, std::string* error);
bool read_workbook_memory(const void* data, size_t len, Workbook* out, std::string* error);

// The readers behind read_workbook.
bool read_xls_memory(const void* data, size_t len, Workbook* out, std::string* error);
bool read_xlsx_memory(const void* data, size_t len, Workbook* out, std::string* error);

}  // namespace wb
