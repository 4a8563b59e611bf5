// libFuzzer target: the compound-document and BIFF8 reader, through the same
// entry the tools use, and the preset-data generator on whatever grid comes
// out. Any input must end in a result or a message.
#include "PresetData.h"
#include "Workbook.h"
#include "YExcel.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    wb::Workbook book;
    std::string err;
    if (!wb::read_xls_memory(data, size, &book, &err)) {
        if (err.empty())
            std::abort();  // a failure must say why
    } else {
        presetta::PD_B_Generator gen;
        if (gen.Load(std::move(book))) {
            std::vector<uint8_t> image;
            const size_t n = gen.generate(&image, gen.MaxRows());
            if (n > image.size() || (n == 0 && gen.error().empty()))
                std::abort();
        }
    }
    YExcel::Workbook y;
    if (y.Load(data, size)) {
        if (YExcel::Worksheet* ws = y.GetWorksheet("Sheet1"))
            for (size_t r = 0; r < ws->GetTotalRows(); ++r)
                for (size_t c = 0; c < ws->RowSize(r); ++c) {
                    const YExcel::Cell* cell = ws->cell(r, c);
                    if (cell->kind == YExcel::CELL_TEXT8 && !ws->Text8(*cell))
                        std::abort();
                    if (cell->kind == YExcel::CELL_TEXT16 && !ws->Text16(*cell))
                        std::abort();
                }
    }
    return 0;
}
