// The .xlsx reader past the container: the fuzz input is the workbook's XML
// parts (see ZipParts.h), put into a valid ZIP with their CRCs computed, so
// mutations reach the workbook, relationships, shared texts and sheets.
#include "Workbook.h"
#include "ZipParts.h"
#include "smoke.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::vector<uint8_t> zip = fuzzzip::build_zip(fuzzzip::split_parts(data, size));
    wb::Workbook book;
    std::string err;
    if (!wb::read_xlsx_memory(zip.data(), zip.size(), &book, &err)) {
        if (err.empty())
            std::abort();  // a failure says why
        return 0;
    }
    // Every cell's text is there to read for as long as the workbook lives.
    size_t sum = 0;
    for (const wb::Sheet& s : book.sheets)
        for (const auto& row : s.rows)
            for (const wb::Cell& c : row) {
                if (c.col >= wb::Limits::kMaxCols)
                    std::abort();
                for (char ch : c.text())
                    sum += uint8_t(ch);
            }
    return sum == size_t(-1);
}

std::vector<std::vector<uint8_t>> fuzz_seeds()
{
    const std::string sheet = "<worksheet><sheetData><row r=\"1\"><c r=\"A1\" t=\"s\"><v>0</v></c>"
                              "<c r=\"B1\"><v>1.5e3</v></c><c r=\"C1\" t=\"inlineStr\"><is><t>x&amp;y</t></is></c></row>"
                              "<row r=\"2\"><c r=\"A2\" t=\"s\"><v>2</v></c><c t=\"str\"><f>A1</f><v>Name</v></c>"
                              "<c r=\"XFD2\" t=\"b\"><v>0</v></c></row></sheetData></worksheet>";
    const std::string s = fuzzzip::join_parts(fuzzzip::sample_workbook(sheet));
    return {std::vector<uint8_t>(s.begin(), s.end())};
}
