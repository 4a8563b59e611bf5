// Hostile files against the workbook reader, presetta and the configuration
// core: each is read or refused in a process of its own, whose time and peak
// memory are printed.
//
//   bench_hostile DIR            writes the files into DIR (once), runs every case
//   bench_hostile --case N DIR   one case
//
// 1  hostile.xlsx: 0.9 MB, its sheet inflates to 250 MB of rows (refused: too many rows)
// 2  hostile.xls: 2 MB describing the full 65,536 x 256 grid (presetta reads it)
// 3  hostile.bin: 64 MiB image whose 64 block entries each span the whole
//    image (refused: the blocks together are too large)
#include "KvBasicLog.h"
#include "PresetData.h"
#include "Tesselcore.h"
#include "Workbook.h"

#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

bool exists(const std::string& p)
{
    struct stat st {};
    return stat(p.c_str(), &st) == 0;
}

void make_image(const std::string& path)
{
    const uint32_t len = 64u << 20;
    std::vector<uint8_t> img(len, 0xFF);
    uint8_t* h = img.data();
    std::memset(h, 0, 28);
    std::memcpy(h, tessel::kDmhMarker, 12);
    h[24] = 64;
    h[26] = 48;
    for (int k = 0; k < 64; ++k) {
        uint8_t* e = h + 28 + 48 * k;
        std::memset(e, 0, 48);
        e[0] = (uint8_t)k;
        tessel::wr32(e + 4, 0);  // from the DMH, which is at 0
        tessel::wr32(e + 8, len);  // the whole image
        std::memcpy(e + 12, "NCRC", 4);
    }
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(img.data()), len);
}

// One case in this process; prints its line.
int run_case(int n, const std::string& dir)
{
    kv::log_set_fallback(kv::LogFallback::None);
    const auto t0 = std::chrono::steady_clock::now();
    std::string what, result;
    if (n == 1) {
        what = "hostile.xlsx (sheet of 250 MB)";
        wb::Workbook book;
        std::string err;
        result = wb::read_workbook(dir + "/hostile.xlsx", &book, &err) ? "read" : "refused: " + err;
    } else if (n == 2) {
        what = "hostile.xls (65,536 x 256 grid) in presetta";
        presetta::InputCheck c = presetta::CheckInput(dir + "/hostile.xls");
        result = c.ok ? "read, " + std::to_string(c.max_rows) + " rows" : "refused: " + c.message + " " + c.detail;
    } else {
        what = "hostile.bin (64 blocks over 64 MiB)";
        CTesselcore core;
        tessel_image_t img;
        tag_dmh_block_node node{};
        result = core.load_image(dir + "/hostile.bin", &img, &node) == 0 ? "read" : "refused: " + core.last_message();
        core.free_block_node(&node);
    }
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    std::printf("%-46s %7.2f s  peak %6ld MiB  %s\n", what.c_str(), s, ru.ru_maxrss / 1024, result.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::strcmp(argv[1], "--case") == 0)
        return run_case(std::atoi(argv[2]), argv[3]);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR | --case N DIR\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    if (!exists(dir + "/hostile.xlsx") || !exists(dir + "/hostile.xls")) {
        std::printf("writing the hostile workbooks with python3 ...\n");
        const std::string script = std::string(BENCH_SOURCE_DIR) + "/make_hostile.py";
        if (std::system(("/usr/bin/python3 '" + script + "' '" + dir + "'").c_str()) != 0)
            return 1;
    }
    if (!exists(dir + "/hostile.bin"))
        make_image(dir + "/hostile.bin");
    for (int n = 1; n <= 3; ++n) {
        std::fflush(stdout);
        const std::string cmd = std::string("'") + argv[0] + "' --case " + std::to_string(n) + " '" + dir + "'";
        if (std::system(cmd.c_str()) != 0)
            std::printf("case %d: the process failed\n", n);
    }
    return 0;
}
