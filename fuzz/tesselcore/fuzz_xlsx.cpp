// The .xlsx reader on arbitrary bytes.
#include "Workbook.h"
#include "XlsxWriter.h"
#include "smoke.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    wb::Workbook book;
    std::string err;
    wb::read_xlsx_memory(data, size, &book, &err);
    return 0;
}

std::vector<std::vector<uint8_t>> fuzz_seeds()
{
    wb::XlsxBook book;
    wb::XlsxSheet* s = book.add_sheet("Sys_Config");
    s->set_text(0, 0, "*blk");
    s->fill_range(0, 0, 2, 6);
    s->set_number(1, 1, 42);
    s->set_text(2, 27, "far");
    book.add_sheet("Program")->set_text(0, 0, "x");
    char tmpl[] = "/tmp/fuzz-xlsx-XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd >= 0)
        close(fd);
    std::string err;
    std::vector<uint8_t> bytes;
    if (fd >= 0 && wb::write_xlsx_file(tmpl, book, &err)) {
        std::ifstream f(tmpl, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }
    std::remove(tmpl);
    if (bytes.empty())
        bytes = {'P', 'K', 3, 4};
    return {bytes};
}
