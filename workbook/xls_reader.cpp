// `.xls` into the shared grid: YExcel reads the file, then each worksheet's
// cells are handed over and the YExcel grid is let go sheet by sheet.
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

}  // namespace

bool read_xls_memory(const void* data, size_t len, Workbook* out, std::string* error)
{
    YExcel::Workbook book;
    if (!book.Load(data, len)) {
        if (error)
            *error = book.error();
        return false;
    }
    // Each shared string is converted to UTF-8 once, however many cells use it.
    std::vector<std::string> texts(book.sst.strings.size());
    std::vector<bool> converted(texts.size());
    auto text = [&](uint32_t i) -> const std::string& {
        if (!converted[i]) {
            const auto& s = book.sst.strings[i];
            texts[i] = s.wide ? YExcel::Utf16ToUtf8(s.wide16) : YExcel::Latin1ToUtf8(s.narrow);
            converted[i] = true;
        }
        return texts[i];
    };

    Workbook result;
    result.sheets.resize(book.GetTotalWorksheets());
    for (size_t si = 0; si < book.GetTotalWorksheets(); ++si) {
        YExcel::Worksheet* ws = book.GetWorksheet(si);
        Sheet& sheet = result.sheets[si];
        sheet.name = YExcel::Utf16ToUtf8(book.sheets[si].name);
        sheet.rows.resize(ws->GetTotalRows());
        for (size_t r = 0; r < ws->GetTotalRows(); ++r) {
            const size_t n = ws->RowSize(r);
            auto& row = sheet.rows[r];
            row.resize(n);
            for (size_t c = 0; c < n; ++c) {
                const YExcel::Cell& y = *ws->cell(r, c);
                Cell& cell = row[c];
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
                case YExcel::CELL_TEXT16:
                    cell.kind = CellKind::Text;
                    cell.text = text(y.v.string);
                    break;
                default:
                    if (y.error) {
                        cell.kind = CellKind::Error;
                        cell.text = error_text(uint8_t(y.error - 1));
                    }
                    break;
                }
            }
        }
        ws->Release();
    }
    *out = std::move(result);
    return true;
}

}  // namespace wb
