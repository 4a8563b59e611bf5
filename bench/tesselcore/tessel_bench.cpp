// Figures of the configuration core: the DMH scan of a 64 MiB image, and the
// workbook round trip (write, import, rebuild) of an image with 64 blocks and
// 2,000 items. Prints the figures; asserts nothing.
#include "KvBasicLog.h"
#include "Tesselcore.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

using Clock = std::chrono::steady_clock;

static double secs(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

static void put_entry(uint8_t* e, uint8_t id, const char* name, uint32_t off, uint32_t size)
{
    std::memset(e, 0, 48);
    e[0] = id;
    tessel::wr32(e + 4, off);
    tessel::wr32(e + 8, size);
    std::memcpy(e + 12, "NCRC", 4);
    std::strncpy(reinterpret_cast<char*>(e + 24), name, 8);
}

static void put_dmh(uint8_t* h, int n)
{
    std::memset(h, 0, 28);
    std::memcpy(h, tessel::kDmhMarker, 12);
    h[24] = (uint8_t)n;
    h[26] = 48;
}

static void bench_scan()
{
    const uint32_t len = 64u << 20;
    std::vector<uint8_t> img(len);
    uint32_t x = 1;
    for (auto& b : img) {
        x = x * 1664525u + 1013904223u;
        b = (uint8_t)(x >> 24);
        if (b == '*')
            b = '+';  // keep the random part free of false starts... and then add some:
    }
    for (uint32_t i = 0; i < len; i += 4096)
        img[i] = '*';  // partial markers every page
    const uint32_t dmhs[4] = {0x10000, 0x800000, 0x2000000, 0x3F00000};
    for (uint32_t a : dmhs) {
        put_dmh(img.data() + a, 16);
        for (int k = 0; k < 16; ++k)
            put_entry(img.data() + a + 28 + 48 * k, (uint8_t)k, "blk", 0x1000 + 0x1000 * k, 0x800);
    }
    CTesselcore core;
    double best = 1e9;
    for (int round = 0; round < 5; ++round) {
        tag_dmh_block_node node{};
        auto t0 = Clock::now();
        int rc = core.scan_flash(img.data(), len, &node);
        auto t1 = Clock::now();
        if (rc != 1 || node.count != 64)
            std::printf("scan failed: %d\n", rc);
        core.free_block_node(&node);
        best = std::min(best, secs(t0, t1));
    }
    // Byte by byte with 12-byte compares, for comparison.
    auto t0 = Clock::now();
    size_t hits = 0;
    for (uint32_t p = 0; p + 12 <= len; ++p)
        if (std::memcmp(img.data() + p, tessel::kDmhMarker, 12) == 0)
            ++hits;
    auto t1 = Clock::now();
    std::printf(
        "scan of a 64 MiB image, 4 DMHs, 64 blocks: %.1f ms, %.0f MB/s (byte-by-byte compare: %.0f MB/s, %zu hits)\n",
        best * 1e3, len / best / 1e6, len / secs(t0, t1) / 1e6, hits);
}

static void bench_roundtrip()
{
    const int blocks = 63, per_block = 32;  // 63 item blocks + toolcfg = 64 blocks, 2,016 items
    std::string script = "CFGHEADER=toolcfg\nSHEETID=3\nSHEETINFO=Name][Value][Min][Max]\n";
    for (int b = 0; b < blocks; ++b) {
        char id[8];
        std::snprintf(id, sizeof id, "%x", 0x10 + b);
        script += "BLOCKINFO=b" + std::to_string(b) + "]\nOFFSET=0\nINDEX=" + id + "\n";
        for (int i = 0; i < per_block; ++i)
            script += "[it" + std::to_string(i) + "][2][" + std::to_string(8 * i) + "][8][0][255]" +
                      (i + 1 < per_block ? "," : "\n");
    }
    std::vector<uint8_t> gz;
    tessel::gzip_compress(reinterpret_cast<const uint8_t*>(script.data()), script.size(), &gz);
    const uint32_t len = 8u << 20;
    std::vector<uint8_t> img(len, 0xFF);
    put_dmh(img.data(), blocks + 1);
    put_entry(img.data() + 28, 1, "toolcfg", 0x10000, (uint32_t)gz.size());
    std::memcpy(img.data() + 0x10000, gz.data(), gz.size());
    for (int b = 0; b < blocks; ++b) {
        uint32_t off = 0x40000 + 0x1000 * b;
        std::string name = "b" + std::to_string(b);
        put_entry(img.data() + 28 + 48 * (b + 1), (uint8_t)(0x10 + b), name.c_str(), off, 64);
        for (int i = 0; i < 64; ++i)
            img[off + i] = (uint8_t)(b + i);
    }
    char tmpl[] = "/tmp/tessel-bench-XXXXXX";
    std::string dir = mkdtemp(tmpl);
    std::string ini = dir + "/corvane.ini";
    FILE* f = std::fopen(ini.c_str(), "w");
    std::fputs("[Tessel]\nNew_ucakey=false\n", f);
    std::fclose(f);

    CTesselcore core;
    core.set_ini_path(ini);
    core.set_workbook_path(dir + "/preset.xlsx");
    tag_dmh_block_node node{};
    auto t0 = Clock::now();
    core.scan_flash(img.data(), len, &node);
    core.parse_flash(img.data(), len);
    int s = core.read_config_script("");
    auto t1 = Clock::now();
    int g = core.generate_xls_fie(&node);
    auto t2 = Clock::now();
    int r = core.read_xls_file(&node);
    auto t3 = Clock::now();
    std::vector<uint8_t> out;
    int b = core.rebuild_flash(img.data(), len, &out);
    auto t4 = Clock::now();
    if (s || g != 1 || r || b)
        std::printf("round trip failed: %s\n", core.last_message().c_str());
    std::printf(
        "round trip, 64 blocks, %d items: scan+script %.1f ms, workbook %.1f ms, import %.1f ms, rebuild %.1f ms, "
        "total %.1f ms; identical image: %s\n",
        blocks * per_block, secs(t0, t1) * 1e3, secs(t1, t2) * 1e3, secs(t2, t3) * 1e3, secs(t3, t4) * 1e3,
        secs(t0, t4) * 1e3, out == img ? "yes" : "no");
    core.free_block_node(&node);
    std::system(("rm -rf '" + dir + "'").c_str());
}

int main()
{
    kv::log_set_fallback(kv::LogFallback::None);
    bench_scan();
    bench_roundtrip();
    return 0;
}
