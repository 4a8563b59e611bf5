// Spreadsheet files as a grid of cells, whatever wrote them.
//
// `.xls` (BIFF8 in a compound document) is read by our own reader (YExcel),
// `.xlsx` by the Office Open XML reader; both fill the same grid, so a tool
// sees the same cells from either file. A formula cell reads as the result
// the spreadsheet program stored with it, as the program shows it.
//
// The grid keeps only the cells that hold something, so its memory follows
// what the file really holds, not the extent it claims.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <memory_resource>
#include <string>
#include <string_view>
#include <vector>

namespace wb {

enum class CellKind : uint8_t { Empty, Number, Text, Bool, Error };

// Texts of cells, kept once however many cells show them (a shared string of
// a workbook is one entry). Entries never move once added.
using TextStore = std::deque<std::string>;

// 16 bytes a cell: a number or where its text lies, its column and its kind.
struct Cell {
    union {
        double number = 0.0;  // Number; Bool as 0/1 (other kinds: not a number)
        const char* text_;  // Text, Error: the text in its sheet's TextStore
    };
    uint32_t text_len_ = 0;
    uint16_t col = 0;  // the cell's column (kept by Sheet)
    CellKind kind = CellKind::Empty;

    // Text (UTF-8), or an error as "#DIV/0!" and the like; empty for other kinds.
    std::string_view text() const
    {
        return kind == CellKind::Text || kind == CellKind::Error ? std::string_view(text_, text_len_)
                                                                 : std::string_view();
    }
    // Points the cell at a text that outlives it (a sheet's store, a literal).
    void set_text_view(std::string_view t)
    {
        text_ = t.data();
        text_len_ = static_cast<uint32_t>(t.size());
    }
};

struct Sheet {
    Sheet();
    Sheet(const Sheet& other);
    Sheet(Sheet&&) = default;
    Sheet& operator=(const Sheet& other);
    Sheet& operator=(Sheet&& other);

    std::string name;
    // Where the texts of the cells live; copies of the sheet share it.
    std::shared_ptr<TextStore> texts = std::make_shared<TextStore>();

private:
    // The rows' memory: taken in large pieces, given back with the sheet.
    std::shared_ptr<std::pmr::monotonic_buffer_resource> arena_;

public:
    // rows[r]: the cells of row r that hold something, in column order
    // (Cell::col). Write through set() and set_text(); read through at() or
    // by walking a row.
    std::pmr::vector<std::pmr::vector<Cell>> rows;

    size_t row_count() const { return rows.size(); }
    // One past the highest column that holds a cell (walks every row).
    size_t col_count() const;
    // The cell at (row, col), or an empty cell.
    const Cell& at(size_t row, size_t col) const;
    // The cell at (row, col), created empty when missing. Columns above
    // 65535 are not kept (the readers refuse them before).
    Cell& set(size_t row, size_t col);
    // A text cell; the text is kept in the sheet's store.
    Cell& set_text(size_t row, size_t col, std::string text);
    // Keeps a text in the sheet's store for as long as the sheet (or a copy) lives.
    std::string_view keep(std::string text);
};

struct Workbook {
    std::vector<Sheet> sheets;
    // The sheet of that name (compared without regard to case), or nullptr.
    const Sheet* find(const std::string& name) const;
};

// Caps of one workbook against hostile files. A file beyond them is refused
// as "too large", never half read.
struct Limits {
    static constexpr size_t kMaxFileBytes = size_t(256) << 20;
    static constexpr size_t kMaxCells = size_t(4) << 20;  // cells holding something, all sheets
    static constexpr size_t kMaxTextBytes = size_t(64) << 20;  // texts kept, all sheets
    static constexpr size_t kMaxSharedStrings = size_t(1) << 20;  // entries of the shared string table
    static constexpr size_t kMaxSheets = 256;
    static constexpr size_t kMaxRows = 1048576;
    static constexpr size_t kMaxCols = 16384;
};

// Counts what a reader puts into a workbook against Limits; the first cap
// passed leaves its message in *error and every later add fails too.
class Budget {
public:
    explicit Budget(std::string* error) : error_(error) {}
    bool add_cell();
    bool add_text(size_t bytes);  // a text kept in a store
    bool add_sheet();
    bool ok() const { return ok_; }

private:
    bool fail(const char* what, size_t cap);
    std::string* error_;
    size_t cells_ = 0, text_ = 0, sheets_ = 0;
    bool ok_ = true;
};

// "C7" for row 6, column 2 (both from 0).
std::string cell_name(size_t row, size_t col);

// Reads `.xls` or `.xlsx`, chosen by the file's first bytes (not its name).
// False with a message in *error when the file cannot be read, is damaged
// ("damaged ...") or passes a cap ("... too large ...").
bool read_workbook(const std::string& path, Workbook* out, std::string* error);
bool read_workbook_memory(const void* data, size_t len, Workbook* out, std::string* error);

// The readers behind read_workbook.
bool read_xls_memory(const void* data, size_t len, Workbook* out, std::string* error);
bool read_xlsx_memory(const void* data, size_t len, Workbook* out, std::string* error);

// A regular file of at most max_bytes, read whole. False with a message
// ("not a regular file", "too large", "cannot read") otherwise: a path to a
// device or a FIFO is never opened for reading.
bool read_regular_file(const std::string& path, size_t max_bytes, std::vector<uint8_t>* out, std::string* error);

}  // namespace wb
