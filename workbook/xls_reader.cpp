// `.xls` into the shared grid: YExcel reads the file and hands every cell
// straight to the grid (its own grids stay empty), so the workbook is held
// once.
#include "Workbook.h"
#include "YExcel.h"

namespace wb {

namespace {

const char* error_text(uint8_t code)
{
    switch (code) {
    case 0x00: return "#NULL!";
    case 0x07: return "#DIV/0!";
    case 0x0F: return "#VALUE!";
    case 0x17: return "#REF!";
    case 0x1D: return "#NAME?";
    case 0x24: return "#NUM!";
    case 0x2A: return "#N/A";
    default: return "#ERROR!";
    }
}

// One grid sheet per sheet of the workbook, named as it is.
void name_sheets(const YExcel::Workbook& book, Workbook& out)
{
    if (out.sheets.size() == book.sheets.size())
        return;
    out.sheets.resize(book.sheets.size());
    for (size_t i = 0; i < book.sheets.size(); ++i)
        out.sheets[i].name = YExcel::Utf16ToUtf8(book.sheets[i].name);
}

class GridSink : public YExcel::CellSink {
public:
    GridSink(YExcel::Workbook& book, Workbook& out, Budget& budget, std::string& error)
        : book_(book), out_(out), budget_(budget), error_(error)
    {}

    bool BeginSheet(size_t index) override
    {
        // The sheet list is complete before the first sheet begins.
        name_sheets(book_, out_);
        sheet_ = &out_.sheets[index];
        sheet_->texts = store_;
        return true;
    }

    bool PutCell(uint32_t row, uint32_t col, const YExcel::Cell& y) override
    {
        Cell cell;
        switch (y.kind) {
        case YExcel::CELL_INTEGER:
            cell.kind = y.boolean ? CellKind::Bool : CellKind::Number;
            cell.number = y.v.integer;
            break;
        case YExcel::CELL_DOUBLE:
            cell.kind = CellKind::Number;
            cell.number = y.v.number;
            break;
        case YExcel::CELL_TEXT8:
        case YExcel::CELL_TEXT16: {
            cell.kind = CellKind::Text;
            std::string_view t;
            if (!text(y.v.string, &t))
                return false;
            cell.set_text_view(t);
            break;
        }
        default:
            if (!y.error)
                return true;
            cell.kind = CellKind::Error;
            cell.set_text_view(error_text(uint8_t(y.error - 1)));
            break;
        }
        if (!budget_.add_cell())
            return false;
        cell.col = uint16_t(col);
        sheet_->set(row, col) = cell;
        return true;
    }

    std::string Error() const override { return error_; }

private:
    // Each string is converted to UTF-8 once, however many cells show it,
    // and kept in the store all sheets share.
    bool text(uint32_t i, std::string_view* out)
    {
        if (i >= views_.size()) {
            views_.resize(book_.sst.strings.size());
            converted_.resize(book_.sst.strings.size());
        }
        if (!converted_[i]) {
            const auto& s = book_.sst.strings[i];
            std::string t = s.wide ? YExcel::Utf16ToUtf8(s.wide16) : YExcel::Latin1ToUtf8(s.narrow);
            if (!budget_.add_text(t.size()))
                return false;
            views_[i] = store_->emplace_back(std::move(t));
            converted_[i] = true;
        }
        *out = views_[i];
        return true;
    }

    YExcel::Workbook& book_;
    Workbook& out_;
    Budget& budget_;
    std::string& error_;
    Sheet* sheet_ = nullptr;
    std::shared_ptr<TextStore> store_ = std::make_shared<TextStore>();
    std::vector<std::string_view> views_;
    std::vector<bool> converted_;
};

}  // namespace

bool read_xls_memory(const void* data, size_t len, Workbook* out, std::string* error)
{
    std::string why;
    Budget budget(&why);
    Workbook result;
    YExcel::Workbook book;
    GridSink sink(book, result, budget, why);
    if (!book.Load(data, len, &sink)) {
        if (error)
            *error = book.error();
        return false;
    }
    name_sheets(book, result);
    *out = std::move(result);
    return true;
}

}  // namespace wb
