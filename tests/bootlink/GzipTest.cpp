// The in-process gzip must write streams the gzip program reads back exactly.
#include "Gzip.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <unistd.h>

using namespace bootlink;

namespace {

std::vector<uint8_t> gunzip_with_program(const std::vector<uint8_t>& gz)
{
    auto dir = std::filesystem::temp_directory_path();
    std::string in = (dir / ("bl_gz_" + std::to_string(::getpid()) + ".gz")).string();
    {
        std::ofstream f(in, std::ios::binary);
        f.write(reinterpret_cast<const char*>(gz.data()), std::streamsize(gz.size()));
    }
    std::vector<uint8_t> out;
    std::string cmd = "gzip -dc '" + in + "'";
    FILE* p = ::popen(cmd.c_str(), "r");
    if (p) {
        uint8_t buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
            out.insert(out.end(), buf, buf + n);
        int rc = ::pclose(p);
        if (rc != 0)
            out.assign({'E', 'R', 'R'});
    }
    std::filesystem::remove(in);
    return out;
}

// A flash-like image: code-like bytes, text, tables and erased (0xFF) and
// zero padding.
std::vector<uint8_t> mixed_image(size_t len, unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> v;
    v.reserve(len);
    const std::string words[] = {"channel", "satellite",          "transponder", "KESTREL",
                                 "upgrade", std::string(4, '\0'), "0123"};
    while (v.size() < len) {
        switch (rng() % 4) {
        case 0:
            for (int i = 0; i < 200; ++i)
                v.push_back(uint8_t(rng() & (rng() & 1 ? 0x3F : 0xFF)));
            break;
        case 1:
            for (int i = 0; i < 40; ++i) {
                const std::string& w = words[rng() % 7];
                v.insert(v.end(), w.begin(), w.end());
            }
            break;
        case 2: v.insert(v.end(), 300 + rng() % 2000, 0xFF); break;
        default:
            for (uint32_t i = 0; i < 64; ++i) {
                uint32_t x = 0x80000000u + i * 16;
                v.insert(v.end(), reinterpret_cast<uint8_t*>(&x), reinterpret_cast<uint8_t*>(&x) + 4);
            }
        }
    }
    v.resize(len);
    return v;
}

}  // namespace

TEST(Gzip, StreamsAreReadBackByTheGzipProgram)
{
    std::mt19937 rng(7);
    std::vector<uint8_t> random(100000);
    for (auto& b : random)
        b = uint8_t(rng());
    std::vector<std::vector<uint8_t>> inputs = {{}, std::vector<uint8_t>(131072, 0), random, mixed_image(200000, 3)};
    for (size_t i = 0; i < inputs.size(); ++i) {
        for (GzipEffort e : {GzipEffort::Fast, GzipEffort::Max}) {
            std::vector<uint8_t> gz;
            ASSERT_EQ(1, gzip_compress(inputs[i].data(), inputs[i].size(), &gz, e)) << i;
            ASSERT_GE(gz.size(), 18u);
            EXPECT_EQ(0x1f, gz[0]);
            EXPECT_EQ(0x8b, gz[1]);
            EXPECT_EQ(inputs[i], gunzip_with_program(gz)) << "input " << i;
            std::vector<uint8_t> back;
            ASSERT_EQ(1, gzip_decompress(gz.data(), gz.size(), &back)) << i;
            EXPECT_EQ(inputs[i], back);
        }
    }
}

TEST(Gzip, MaxIsNeverLargerThanFast)
{
    auto img = mixed_image(300000, 11);
    std::vector<uint8_t> fast, max;
    ASSERT_EQ(1, gzip_compress(img.data(), img.size(), &fast, GzipEffort::Fast));
    ASSERT_EQ(1, gzip_compress(img.data(), img.size(), &max, GzipEffort::Max));
    EXPECT_LE(max.size(), fast.size());
}

TEST(Gzip, DamagedTruncatedAndBombStreamsAreRefused)
{
    auto img = mixed_image(50000, 5);
    std::vector<uint8_t> gz, out;
    ASSERT_EQ(1, gzip_compress(img.data(), img.size(), &gz, GzipEffort::Fast));
    std::string err;
    auto cut = gz;
    cut.resize(gz.size() / 2);
    EXPECT_EQ(0, gzip_decompress(cut.data(), cut.size(), &out, 1 << 20, &err));
    EXPECT_FALSE(err.empty());
    EXPECT_TRUE(out.empty());

    auto bad = gz;
    bad[bad.size() - 6] ^= 0x55;  // the CRC of the trailer
    EXPECT_EQ(0, gzip_decompress(bad.data(), bad.size(), &out, 1 << 20, &err));

    uint8_t junk[40] = {0x1f, 0x8b, 8};
    EXPECT_EQ(0, gzip_decompress(junk, sizeof junk, &out, 1 << 20, &err));
    EXPECT_EQ(0, gzip_decompress(junk, 5, &out, 1 << 20, &err));

    std::vector<uint8_t> zeros(4 << 20, 0), z;
    ASSERT_EQ(1, gzip_compress(zeros.data(), zeros.size(), &z, GzipEffort::Fast));
    EXPECT_EQ(0, gzip_decompress(z.data(), z.size(), &out, 1 << 20, &err));
    EXPECT_EQ(1, gzip_decompress(z.data(), z.size(), &out, 4 << 20, &err));
    EXPECT_EQ(zeros.size(), out.size());
}

TEST(Gzip, NoLargerThanWhat7ZipWrites)
{
    if (std::system("command -v 7za >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "7za is not installed";
    std::mt19937 rng(3);
    std::vector<uint8_t> random(200000);
    for (auto& b : random)
        b = uint8_t(rng());
    auto dir = std::filesystem::temp_directory_path() / ("bl_7z_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    for (const auto& img : {random, std::vector<uint8_t>(1 << 20, 0), mixed_image(400000, 21)}) {
        std::string in = (dir / "flashtmp").string();
        {
            std::ofstream f(in, std::ios::binary | std::ios::trunc);
            f.write(reinterpret_cast<const char*>(img.data()), std::streamsize(img.size()));
        }
        std::filesystem::remove(in + ".gz");
        ASSERT_EQ(0, std::system(("7za a -tgzip '" + in + ".gz' '" + in + "' >/dev/null 2>&1").c_str()));
        auto theirs = std::filesystem::file_size(in + ".gz");
        std::vector<uint8_t> ours;
        ASSERT_EQ(1, gzip_compress(img.data(), img.size(), &ours));
        EXPECT_LE(ours.size(), theirs) << img.size();
    }
    std::filesystem::remove_all(dir);
}
