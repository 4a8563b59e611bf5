// gzip_bench: our strongest gzip on an STB-like flash image, beside 7-Zip's.
//
//   gzip_bench [--mib N] [--seed S]
//
// The image (N MiB, default 8) is made from a fixed seed: stretches of code
// (a small set of instruction shapes, prologues and epilogues), message
// texts, erased space (0xFF runs, some up to the next 64 KiB boundary) and
// random tables. When 7z is on PATH it compresses the same image with
// "-tgzip -mx=9"; the ratio is ours over 7-Zip's, and the goal is 0.96 or less.
#include "Gzip.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

using namespace bootlink;

namespace {

constexpr double kGoal = 0.96;

double seconds_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void put_word(std::vector<uint8_t>& v, uint32_t w)
{
    for (int i = 0; i < 4; ++i)
        v.push_back(uint8_t(w >> (8 * i)));
}

// One function: save registers, a body of register and immediate
// instructions with calls and branches, restore, return.
void code(std::vector<uint8_t>& v, std::mt19937& rng)
{
    static const uint32_t kOps[] = {0x00000021u, 0x24000000u, 0x8C000000u, 0xAC000000u,
                                    0x10000000u, 0x0C000000u, 0x3C000000u, 0x34000000u};
    put_word(v, 0x27BDFFE0u);  // make room on the stack
    put_word(v, 0xAFBF001Cu);  // keep the return address
    const int body = 8 + int(rng() % 120);
    for (int i = 0; i < body; ++i) {
        const uint32_t op = kOps[rng() % 8];
        const uint32_t rs = rng() % 8 + 16, rt = rng() % 8 + 2;
        uint32_t imm = rng() % 4 ? (rng() % 64) * 4 : rng() & 0xFFFF;
        if (op == 0x0C000000u)  // a call: one of a few hundred functions
            imm = 0x00100000u + (rng() % 300) * 0x40;
        put_word(v, op | (rs << 21) | (rt << 16) | imm);
    }
    put_word(v, 0x8FBF001Cu);
    put_word(v, 0x03E00008u);  // return
    put_word(v, 0x27BD0020u);
}

// Erased space: a short run, or up to the next 64 KiB boundary.
void erased(std::vector<uint8_t>& v, std::mt19937& rng)
{
    size_t n = 256 + rng() % 4096;
    if (rng() % 3 == 0)
        n = 0x10000 - v.size() % 0x10000;
    v.insert(v.end(), n, 0xFF);
}

// Messages and menu texts, zero-terminated.
void strings(std::vector<uint8_t>& v, std::mt19937& rng)
{
    static const char* const kWords[] = {"channel", "satellite", "transponder", "LNB", "symbol rate", "signal",
                                         "upgrade", "error",     "menu",        "EPG", "audio",       "video",
                                         "PID",     "%s: %d",    "please wait", "no",  "service",     "scan"};
    const int n = 4 + int(rng() % 40);
    for (int i = 0; i < n; ++i) {
        for (int w = 1 + int(rng() % 4); w > 0; --w) {
            const char* word = kWords[rng() % 18];
            v.insert(v.end(), word, word + std::char_traits<char>::length(word));
            v.push_back(w > 1 ? ' ' : 0);
        }
    }
}

// A table that does not compress: keys, tuning data, a font's bitmaps.
void table(std::vector<uint8_t>& v, std::mt19937& rng)
{
    const size_t n = 256 + rng() % 4096;
    for (size_t i = 0; i < n; ++i)
        v.push_back(uint8_t(rng()));
}

std::vector<uint8_t> stb_image(size_t size, unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> v;
    v.reserve(size + 0x10000);
    while (v.size() < size) {
        const unsigned pick = rng() % 40;
        if (pick < 30)
            code(v, rng);
        else if (pick < 35)
            strings(v, rng);
        else if (pick < 38)
            erased(v, rng);
        else
            table(v, rng);
    }
    v.resize(size);
    return v;
}

bool on_path(const char* program)
{
    return std::system(("command -v " + std::string(program) + " >/dev/null 2>&1").c_str()) == 0;
}

// The size of 7-Zip's gzip of `data`; 0 when it failed.
size_t seven_zip_size(const std::vector<uint8_t>& data)
{
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("gzip_bench_" + std::to_string(::getpid()));
    std::error_code ec;
    fs::create_directories(dir, ec);
    const std::string in = (dir / "image.bin").string(), out = (dir / "image.bin.gz").string();
    {
        std::ofstream f(in, std::ios::binary);
        f.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    }
    const std::string cmd = "7z a -tgzip -mx=9 '" + out + "' '" + in + "' >/dev/null 2>&1";
    size_t size = 0;
    if (std::system(cmd.c_str()) == 0)
        size = size_t(fs::file_size(out, ec));
    fs::remove_all(dir, ec);
    return ec ? 0 : size;
}

}  // namespace

int main(int argc, char** argv)
{
    size_t mib = 8;
    unsigned seed = 20261209;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--mib" && i + 1 < argc)
            mib = std::strtoul(argv[++i], nullptr, 10);
        else if (a == "--seed" && i + 1 < argc)
            seed = unsigned(std::strtoul(argv[++i], nullptr, 10));
        else {
            std::printf("usage: %s [--mib N] [--seed S]\n", argv[0]);
            return 2;
        }
    }
    const std::vector<uint8_t> image = stb_image(mib << 20, seed);
    std::vector<uint8_t> ours, back;
    auto t0 = std::chrono::steady_clock::now();
    if (!gzip_compress(image.data(), image.size(), &ours, GzipEffort::Max)) {
        std::fprintf(stderr, "gzip_bench: our gzip failed\n");
        return 1;
    }
    const double ours_s = seconds_since(t0);
    std::string error;
    if (!gzip_decompress(ours.data(), ours.size(), &back, image.size(), &error) || back != image) {
        std::fprintf(stderr, "gzip_bench: our gzip does not give the image back %s\n", error.c_str());
        return 1;
    }
    std::printf("image      %10zu bytes (seed %u)\n", image.size(), seed);
    std::printf("ours best  %10zu bytes  %6.1f s\n", ours.size(), ours_s);
    if (!on_path("7z")) {
        std::printf("7z         not on PATH: no ratio\n");
        return 0;
    }
    t0 = std::chrono::steady_clock::now();
    const size_t z7 = seven_zip_size(image);
    if (z7 == 0) {
        std::fprintf(stderr, "gzip_bench: 7z failed\n");
        return 1;
    }
    const double ratio = double(ours.size()) / double(z7);
    std::printf("7z -mx=9   %10zu bytes  %6.1f s\n", z7, seconds_since(t0));
    std::printf("ratio      %10.4f (goal <= %.2f: %s)\n", ratio, kGoal, ratio <= kGoal ? "met" : "missed");
    return 0;
}
