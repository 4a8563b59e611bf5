// Read time and peak memory of the .xls reader on one file.
//
//   bench_xls_read FILE [yexcel|grid] [runs]
//
// yexcel: YExcel::Workbook::Load (the reader's own grid);
// grid:   wb::read_workbook (file into the grid every tool sees);
// memory: wb::read_xls_memory on a file already in memory.
// Prints the best time of the runs and the process's peak resident memory;
// run_bench.sh puts the figures beside python3-xlrd's on the same file.
#include "Workbook.h"
#include "YExcel.h"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE [yexcel|grid] [runs]\n", argv[0]);
        return 2;
    }
    const std::string mode = argc > 2 ? argv[2] : "grid";
    const int runs = argc > 3 ? std::atoi(argv[3]) : 5;
    double best = 1e30;
    size_t cells = 0;
    std::vector<char> file;
    if (mode == "memory") {
        std::ifstream f(argv[1], std::ios::binary);
        file.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }
    for (int i = 0; i < runs; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        if (mode == "yexcel") {
            YExcel::Workbook book;
            if (!book.Load(argv[1])) {
                std::fprintf(stderr, "%s\n", book.error().c_str());
                return 1;
            }
            YExcel::Worksheet* ws = book.GetWorksheet(size_t(0));
            cells = ws ? ws->GetTotalRows() * ws->GetTotalCols() : 0;
        } else {
            wb::Workbook book;
            std::string err;
            const bool ok = mode == "memory" ? wb::read_xls_memory(file.data(), file.size(), &book, &err)
                                             : wb::read_workbook(argv[1], &book, &err);
            if (!ok) {
                std::fprintf(stderr, "%s\n", err.c_str());
                return 1;
            }
            cells = book.sheets.empty() ? 0 : book.sheets[0].row_count() * book.sheets[0].col_count();
        }
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
        best = ms < best ? ms : best;
    }
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    std::printf("corvane-%s best_ms=%.1f peak_kib=%ld cells=%zu\n", mode.c_str(), best, ru.ru_maxrss, cells);
    return 0;
}
