// YExcel: reader of Excel 97-2003 workbooks (BIFF8 records inside an OLE2
// compound document, ".xls").
//
// Reading only. Every length, index and sector chain taken from the file is
// checked before it is used: a damaged or hostile file is refused with a
// message (Workbook::error()), never read out of bounds and never followed in
// circles.
//
// The cell grid of a worksheet has up to 65536 rows (0..0xFFFF) and 256
// columns (0..255); each cell has one of the kinds below.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kv {
class ByteReader;
}

namespace YExcel {

// ---------------------------------------------------------------- compound document

struct DirectoryEntry {
    std::u16string name;
    uint8_t type = 0;  // 0 unused, 1 storage, 2 stream, 5 root
    uint32_t left = 0xFFFFFFFFu, right = 0xFFFFFFFFu, child = 0xFFFFFFFFu;
    uint32_t start = 0;
    uint64_t size = 0;
};

class CompoundDocument {
public:
    // Reads the header, the allocation tables and the directory of the
    // document held in data (which must outlive this object).
    bool Open(const uint8_t* data, size_t len, std::string* error);

    // The directory entry at path: names separated by '\', "." the current
    // storage, ".." its parent; names compare without regard to ASCII case.
    // -1 when absent.
    int FindEntry(const std::u16string& path) const;

    // Copies the whole stream of directory entry `index` into *out.
    bool ReadStream(int index, std::vector<uint8_t>* out, std::string* error) const;
    // The stream's bytes: straight from the document when its sectors follow
    // each other in the file, else copied into *storage.
    bool StreamBytes(int index, std::vector<uint8_t>* storage, const uint8_t** bytes, size_t* len,
                     std::string* error) const;

    const std::vector<DirectoryEntry>& entries() const { return entries_; }

private:
    struct Header;
    bool ReadHeader(Header* h, std::string* error);
    bool FatSectorList(const Header& h, std::vector<uint32_t>* out, std::string* error) const;
    bool ReadFat(const Header& h, const std::vector<uint32_t>& fat_sectors, std::string* error);
    bool ReadDirectory(const Header& h, std::string* error);
    bool ReadMiniTables(const Header& h, std::string* error);
    // The n bytes at offset of the document; a failed reader when they lie outside.
    kv::ByteReader Bytes(size_t offset, size_t n) const;
    bool ReadChain(uint32_t start, uint64_t size, bool small, std::vector<uint8_t>* out, std::string* error) const;
    bool ContiguousChain(uint32_t start, uint64_t size, size_t* offset) const;
    int FindChild(uint32_t storage, const std::u16string& name) const;
    bool SectorPtr(uint32_t sector, size_t* offset, size_t* avail) const;

    const uint8_t* data_ = nullptr;
    size_t len_ = 0;
    unsigned sector_shift_ = 9;
    unsigned mini_shift_ = 6;
    std::vector<uint32_t> fat_;
    std::vector<uint32_t> minifat_;
    std::vector<uint8_t> ministream_;
    std::vector<DirectoryEntry> entries_;
};

// ---------------------------------------------------------------- records

enum RecordCode : uint16_t {
    CODE_FORMULA = 0x0006,
    CODE_STRING = 0x0207,
    CODE_ARRAY = 0x0221,
    CODE_TABLE = 0x0236,
    CODE_SHRFMLA = 0x04BC,
    CODE_EOF = 0x000A,
    CODE_FILEPASS = 0x002F,
    CODE_FONT = 0x0031,
    CODE_CONTINUE = 0x003C,
    CODE_WINDOW1 = 0x003D,
    CODE_BOUNDSHEET = 0x0085,
    CODE_MULRK = 0x00BD,
    CODE_MULBLANK = 0x00BE,
    CODE_RSTRING = 0x00D6,
    CODE_XF = 0x00E0,
    CODE_SST = 0x00FC,
    CODE_LABELSST = 0x00FD,
    CODE_EXTSST = 0x00FF,
    CODE_DIMENSIONS = 0x0200,
    CODE_BLANK = 0x0201,
    CODE_NUMBER = 0x0203,
    CODE_LABEL = 0x0204,
    CODE_BOOLERR = 0x0205,
    CODE_ROW = 0x0208,
    CODE_INDEX = 0x020B,
    CODE_WINDOW2 = 0x023E,
    CODE_RK = 0x027E,
    CODE_STYLE = 0x0293,
    CODE_BOF = 0x0809,
};

// One record: its code and data, with the data of every CONTINUE record that
// follows appended. `continues` holds where each appended part begins, which
// the shared string table needs.
struct Record {
    uint16_t code = 0;
    std::vector<uint8_t> data;
    std::vector<size_t> continues;

    // Reads the record at *pos of the stream and advances *pos past it and
    // its continuations. False when the record runs past the end.
    bool Read(const uint8_t* stream, size_t len, size_t* pos);
};

struct BOF {
    uint16_t version = 0;  // 0x0600 for BIFF8
    uint16_t type = 0;  // 0x0005 globals, 0x0010 worksheet, 0x0020 chart
    uint16_t build = 0, year = 0;
    bool Parse(const uint8_t* d, size_t n);
};

struct YEOF {};

struct Font {
    uint16_t height = 0;  // twips
    uint16_t options = 0, colour = 0, weight = 0;
    std::u16string name;
    bool Parse(const Record& r);
};

struct Window1 {
    uint16_t x = 0, y = 0, width = 0, height = 0, options = 0;
    uint16_t active_sheet = 0, first_tab = 0, selected_tabs = 0, tab_ratio = 0;
    bool Parse(const Record& r);
};

struct XF {
    uint16_t font = 0, format = 0, type = 0;
    bool Parse(const Record& r);
};

struct Style {
    uint16_t xf = 0;
    uint8_t builtin = 0, level = 0;
    bool Parse(const Record& r);
};

struct BoundSheet {
    uint32_t position = 0;  // stream position of the sheet's BOF
    uint8_t visibility = 0;
    uint8_t kind = 0;  // 0 worksheet, 2 chart, 6 VB module
    bool wide = false;  // name stored as 16-bit text
    std::u16string name;
    bool Parse(const Record& r);
};

// Shared string table. A string is stored as 8-bit text when every part of
// it was stored compressed, else as 16-bit text.
struct SST {
    struct String {
        bool wide = false;
        std::string narrow;  // 8-bit text (Latin-1 code points)
        std::u16string wide16;  // 16-bit text
    };
    uint32_t total = 0, unique = 0;
    std::vector<String> strings;
    bool Parse(const Record& r, std::string* error);
};

struct Dimensions {
    uint32_t first_row = 0, last_row = 0;  // last is one past
    uint16_t first_col = 0, last_col = 0;
    bool Parse(const uint8_t* d, size_t n);
};

struct Window2 {
    uint16_t options = 0, top_row = 0, left_col = 0;
    bool Parse(const uint8_t* d, size_t n);
};

// ---------------------------------------------------------------- cells

enum CellKind : uint8_t {
    CELL_EMPTY = 0,
    CELL_INTEGER = 1,  // 32-bit signed
    CELL_DOUBLE = 2,  // 64-bit floating
    CELL_TEXT8 = 3,  // 8-bit text
    CELL_TEXT16 = 4,  // 16-bit text
};

struct Cell {
    uint8_t kind = CELL_EMPTY;
    uint8_t boolean = 0;  // an INTEGER that came from a boolean
    uint8_t error = 0;  // EMPTY cell that holds an error value: 1 + error code
    uint16_t xf = 0;
    union {
        int32_t integer;
        double number;
        uint32_t string;  // index into the workbook's string list
    } v{};
};

// Decodes an RK value. Integers divided by 100 stay integers only when the
// division is exact; otherwise the cell becomes floating with the exact value.
Cell DecodeRK(uint32_t rk);

class Workbook;

// Receives the cells of each worksheet while the workbook is read, instead of
// the worksheets' own grids (Workbook::Load with a sink). Text cells refer to
// Workbook::sst.strings, which is complete when the first cell arrives.
class CellSink {
public:
    virtual ~CellSink() = default;
    // Worksheet `index` (into Workbook::sheets) begins. False stops the load.
    virtual bool BeginSheet(size_t index) = 0;
    // A cell with content (or an error value). False stops the load; the
    // sink's message then becomes the workbook's error.
    virtual bool PutCell(uint32_t row, uint32_t col, const Cell& cell) = 0;
    virtual std::string Error() const = 0;
};

class Worksheet {
public:
    uint16_t index = 0;
    Dimensions dimensions;
    Window2 window2;
    size_t row_records = 0;  // ROW records seen

    size_t GetTotalRows() const { return rows_.size(); }
    size_t GetTotalCols() const { return cols_; }
    // The cell at (row, col); asking beyond the current size grows the grid.
    // nullptr for rows above 0xFFFF or columns above 255.
    Cell* GetCell(size_t row, size_t col);
    // The cell at (row, col) without growing; nullptr outside the grid.
    const Cell* cell(size_t row, size_t col) const;
    size_t RowSize(size_t row) const { return row < rows_.size() ? rows_[row].size() : 0; }

    // Text of a text cell: 8-bit text (cell kind 3) or 16-bit (kind 4).
    const std::string* Text8(const Cell& c) const;
    const std::u16string* Text16(const Cell& c) const;

    void Release()
    {
        rows_.clear();
        rows_.shrink_to_fit();
        cols_ = 0;
    }

private:
    friend class Workbook;
    const Workbook* book_ = nullptr;
    std::vector<std::vector<Cell>> rows_;
    size_t cols_ = 0;
};

class Workbook {
public:
    Workbook() = default;
    Workbook(const Workbook&) = delete;  // worksheets point back at their workbook
    Workbook& operator=(const Workbook&) = delete;

    // Reset, read the file, its compound document and its "Workbook" stream.
    // With a sink, cells go to the sink and the worksheets' grids stay empty.
    bool Load(const char* path);
    bool Load(const void* data, size_t len, CellSink* sink = nullptr);
    void Reset();
    const std::string& error() const { return error_; }

    // The worksheet whose name is stored as 8-bit text and equals name exactly.
    Worksheet* GetWorksheet(const char* name);
    Worksheet* GetWorksheet(size_t index) { return index < worksheets_.size() ? &worksheets_[index] : nullptr; }
    size_t GetTotalWorksheets() const { return worksheets_.size(); }

    // Globals.
    BOF bof;
    Window1 window1;
    std::vector<Font> fonts;
    std::vector<XF> xfs;
    std::vector<Style> styles;
    std::vector<BoundSheet> sheets;
    SST sst;  // also holds the texts of inline LABEL cells, after the table's own

    // Limits against hostile files: the grids of one workbook hold at most
    // this many cell slots (cells and the gaps before them in their rows),
    // or four slots per cell that holds something when that is more; and at
    // most kMaxRowSlots rows in all.
    static constexpr size_t kMaxCellSlots = size_t(1) << 22;
    static constexpr size_t kMaxRowSlots = size_t(1) << 22;
    static constexpr size_t kMaxSharedStrings = size_t(1) << 20;
    static constexpr size_t kMaxSheets = 256;

private:
    struct PendingText;
    bool ParseGlobals(const uint8_t* s, size_t len, size_t* end);
    bool ParseSheet(const uint8_t* s, size_t len, size_t sheet, size_t* end);
    bool ParseCellRecord(uint16_t code, kv::ByteReader rec, const uint8_t* s, size_t len, size_t* pos,
                         PendingText* pending);
    bool ParseTextCell(kv::ByteReader rec, Cell* c);
    bool ParseMulRk(kv::ByteReader rec);
    bool ParseFormulaCell(kv::ByteReader rec, PendingText* pending);
    bool ParseFormulaText(const uint8_t* s, size_t len, size_t* pos, PendingText* pending);
    bool Emit(uint32_t row, uint32_t col, const Cell& c);
    std::string SheetName() const { return "sheet " + std::to_string(sheet_ + 1); }
    bool Fail(std::string msg);

    std::vector<Worksheet> worksheets_;
    std::string error_;
    CellSink* sink_ = nullptr;
    size_t sheet_ = 0;  // sheet being parsed
    size_t sheet_cols_ = 0;  // its column count so far
    size_t cell_slots_ = 0, row_slots_ = 0, cells_ = 0;
};

// Text conversions for callers that want UTF-8.
std::string Latin1ToUtf8(const std::string& s);
std::string Utf16ToUtf8(const std::u16string& s);

}  // namespace YExcel
