// Without libFuzzer: runs the target over its seeds and a fixed number of
// deterministic mutations of them, so that `ctest` exercises every target.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "KvBasicLog.h"

// The targets' failure lines would fill the day's log file.
static const bool kQuietLog = [] {
    kv::log_set_fallback(kv::LogFallback::None);
    return true;
}();

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
std::vector<std::vector<uint8_t>> fuzz_seeds();

#ifdef TESSEL_FUZZ_SMOKE
// Every file of a corpus folder, in name order.
static std::vector<std::vector<uint8_t>> corpus_files(const std::string& dir)
{
    std::vector<std::filesystem::path> paths;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec))
        if (e.is_regular_file())
            paths.push_back(e.path());
    std::sort(paths.begin(), paths.end());
    std::vector<std::vector<uint8_t>> files;
    for (const auto& p : paths) {
        std::ifstream f(p, std::ios::binary);
        files.emplace_back(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }
    return files;
}

// fuzz_<name>_smoke [ROUNDS [CORPUS...]]   runs the target over its seeds,
//                                          the corpus folders' files and
//                                          ROUNDS mutations of the seeds
// fuzz_<name>_smoke --seeds DIR            writes the seeds as a starting corpus
int main(int argc, char** argv)
{
    auto seeds = fuzz_seeds();
    if (argc > 2 && std::string(argv[1]) == "--seeds") {
        for (size_t i = 0; i < seeds.size(); ++i) {
            std::string path = std::string(argv[2]) + "/seed" + std::to_string(i);
            if (FILE* f = std::fopen(path.c_str(), "wb")) {
                std::fwrite(seeds[i].data(), 1, seeds[i].size(), f);
                std::fclose(f);
            }
        }
        return 0;
    }
    long rounds = argc > 1 ? std::atol(argv[1]) : 2000;
    uint64_t x = 0x9E3779B97F4A7C15ull;
    auto next = [&] {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        return x;
    };
    for (auto& s : seeds)
        LLVMFuzzerTestOneInput(s.data(), s.size());
    size_t replayed = 0;
    for (int a = 2; a < argc; ++a)
        for (auto& c : corpus_files(argv[a])) {
            LLVMFuzzerTestOneInput(c.data(), c.size());
            ++replayed;
        }
    for (long r = 0; r < rounds; ++r) {
        std::vector<uint8_t> v = seeds[next() % seeds.size()];
        int edits = 1 + (int)(next() % 8);
        for (int e = 0; e < edits && !v.empty(); ++e) {
            switch (next() % 4) {
            case 0: v[next() % v.size()] = (uint8_t)next(); break;
            case 1: v.resize(next() % (v.size() + 1)); break;
            case 2: v[next() % v.size()] ^= (uint8_t)(1u << (next() % 8)); break;
            default: v.insert(v.begin() + (long)(next() % v.size()), (uint8_t)next()); break;
            }
        }
        LLVMFuzzerTestOneInput(v.data(), v.size());
    }
    std::printf("%zu seeds, %zu corpus files, %ld mutations: no fault\n", seeds.size(), replayed, rounds);
    return 0;
}
#endif
