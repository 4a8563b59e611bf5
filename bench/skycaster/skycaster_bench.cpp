// Figures of the OTA stream generator for a 16 MiB image: generation of the
// DVBS, DSMCC and ABS streams (raw and compressed) and the merge into a larger
// stream, as megabytes of output per second, files written to DIR (default
// /tmp). Prints the figures; asserts nothing.
#include "ModulePayload.h"
#include "OtaGenerators.h"
#include "TsPackets.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

using Clock = std::chrono::steady_clock;
using namespace ota;

namespace {

// The first of five runs (cold: fresh memory) and the shortest (the machine
// is shared; the best run is the one least disturbed).
struct Times {
    double first = 0, best = 1e9;
};
template <class F>
Times best_of_five(F run)
{
    Times t;
    for (int i = 0; i < 5; ++i) {
        const auto t0 = Clock::now();
        run();
        const double s = std::chrono::duration<double>(Clock::now() - t0).count();
        t.first = i ? t.first : s;
        t.best = std::min(t.best, s);
    }
    return t;
}

void report(const char* what, const std::string& file, Times t)
{
    const double mb = double(std::filesystem::file_size(file)) / 1e6;
    std::printf("%-44s %6.1f MB  best %6.3f s %7.1f MB/s   first %6.3f s %7.1f MB/s\n", what, mb, t.best, mb / t.best,
                t.first, mb / t.first);
}

// A flash image: code-like random bytes, with the empty (0xFF) half a real
// flash has, so compression has something to find.
std::vector<uint8_t> flash_image()
{
    std::vector<uint8_t> v(kMaxImageSize, 0xFF);
    std::mt19937 rng(1);
    for (size_t i = 0; i < v.size() / 2; ++i)
        v[i] = static_cast<uint8_t>(rng() % 64);
    return v;
}

// A stream to merge into: one PID of payload, three null packets of four.
std::string make_base(const std::string& dir, size_t packets)
{
    std::vector<uint8_t> ts;
    TsPacketizer(ts).put_section(0, make_pat(1, 0, {{1, 0x1000}}));
    ts.resize(packets * kTsPacketSize, 0xFF);
    CcStamper cc;
    for (size_t i = 1; i < packets; ++i) {
        uint8_t* p = &ts[i * kTsPacketSize];
        ts_put_header(p, i % 4 == 0 ? 0x0100 : kNullPid, false);
        cc.stamp(p);
    }
    const std::string path = dir + "/bench-base.ts";
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(ts.data(), 1, ts.size(), f);
    std::fclose(f);
    return path;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string dir = argc > 1 ? argv[1] : "/tmp";
    const std::string out = dir + "/bench-ota.m2t";
    const std::vector<uint8_t> image = flash_image();
    const auto len = static_cast<uint32_t>(image.size());
    OTA_M2T_Generator m2t;
    m2t.set_output_path(out);

    for (int compress : {0, 1}) {
        OTA_DVBS_Stream_Generator dvbs;
        const Times t = best_of_five([&] {
            if (!generate_dvbs_stream(m2t, dvbs, {}, "160", image.data(), len, compress))
                std::printf("DVBS failed: %s\n", m2t.last_error().c_str());
        });
        report(compress ? "DVBS, zlib-compressed (output)" : "DVBS, raw", out, t);
    }
    {
        OTA_DVBS1_Stream_Generator dvbs1;
        const Times t = best_of_five([&] {
            std::string message;
            dvbs1.set_upg_pid(0x160, false);
            dvbs1.next_group(dsmcc_upg_info_t{}, false, true, image.data(), len, m2t, message);
            dvbs1.creat_dvbs1_upg_stream(m2t);
            dvbs1.free_dsmcc_info_data();
        });
        report("DSMCC, one group split in three, raw", out, t);
    }
    {
        abs_upg_info_t info;
        info.elementary_pid = 0x160;
        info.pmt_pid = 0x333;
        const Times t = best_of_five([&] { m2t.creat_ota_abs_upg_stream("", info, image.data(), len); });
        report("ABS, raw", out, t);
    }
    {
        m2t.set_layout({188, 1, 4});
        OTA_DVBS_Stream_Generator dvbs;
        const Times t = best_of_five([&] { generate_dvbs_stream(m2t, dvbs, {}, "160", image.data(), len, 0); });
        report("DVBS, raw, TS Loop Times 4", out, t);
        m2t.set_layout({204, 1, 1});
        const Times t204 = best_of_five([&] { generate_dvbs_stream(m2t, dvbs, {}, "160", image.data(), len, 0); });
        report("DVBS, raw, 204-byte packets", out, t204);
        m2t.set_layout({});
        generate_dvbs_stream(m2t, dvbs, {}, "160", image.data(), len, 0);
    }
    {
        const std::string base = make_base(dir, 4 * std::filesystem::file_size(out) / kTsPacketSize);
        const std::string merged = dir + "/bench-upgrade.ts";
        const Times t = best_of_five([&] {
            if (!m2t.merge_last(OtaKind::Dvbs, base, 2, merged))
                std::printf("merge failed: %s\n", m2t.last_error().c_str());
        });
        report("merge of DVBS (repeat 2) into a 4x stream", merged, t);
        std::filesystem::remove(base);
        std::filesystem::remove(merged);
    }
    std::filesystem::remove(out);
    return 0;
}
