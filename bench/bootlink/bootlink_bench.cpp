// bootlink_bench: what the upgrade transfer and the dump make of the line, and
// how small our gzip is.
//
//   bootlink_bench [--transfer-kib N] [--dump-kib N] [--speed S] [--no-line] [--no-gzip]
//
// The virtual STB paces the line at the baud rate the host set (115200), at
// real time unless --speed says otherwise (the figure is then reported with
// it). The share is the payload rate over the line's limit, baud / 10 bytes
// a second. CPU is the job thread's own time, and the whole process's (which
// includes the simulated STB running beside it).
#include "BootInit.h"
#include "Gzip.h"
#include "KvBasicLog.h"
#include "SerialMonitorService.h"
#include "StbSim.h"
#include "UpgClient.h"

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <time.h>

using namespace bootlink;

namespace {

double thread_cpu()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}
double process_cpu()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}
double wall()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::vector<uint8_t> random_bytes(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v)
        b = uint8_t(rng());
    return v;
}

// A flash-like image: code, string tables, pointer tables, erased space.
std::vector<uint8_t> realistic(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> v;
    v.reserve(n);
    const char* words[] = {"channel ", "satellite ", "transponder ", "LNB ", "polarity ", "symbol rate ", "%s: %d\n",
                           "upgrade ", "error ",     "menu_",        "EPG ", "audio ",    "video ",       "PID "};
    uint32_t pc = 0x80100000;
    while (v.size() < n) {
        unsigned kind = rng() % 10;
        if (kind < 5) {  // instructions: a few opcodes, registers, short immediates
            for (int i = 0; i < 256; ++i) {
                uint32_t op = (uint32_t(rng() % 12) << 26) | (uint32_t(rng() % 32) << 21) |
                              (uint32_t(rng() % 32) << 16) |
                              (rng() % 4 ? uint32_t(rng() % 256) : uint32_t(rng() & 0xFFFF));
                v.insert(v.end(), reinterpret_cast<uint8_t*>(&op), reinterpret_cast<uint8_t*>(&op) + 4);
            }
        } else if (kind < 7) {
            for (int i = 0; i < 60; ++i) {
                const char* w = words[rng() % 14];
                v.insert(v.end(), w, w + std::strlen(w));
            }
        } else if (kind < 9) {
            for (int i = 0; i < 64; ++i) {
                pc += 4 * (rng() % 64);
                v.insert(v.end(), reinterpret_cast<uint8_t*>(&pc), reinterpret_cast<uint8_t*>(&pc) + 4);
            }
        } else {
            v.insert(v.end(), 4096 + rng() % 16384, 0xFF);
        }
    }
    v.resize(n);
    return v;
}

// Size of what an external gzip writer makes of `data`, or 0 when it is not there.
size_t external_size(const std::string& cmd_fmt, const std::vector<uint8_t>& data)
{
    auto dir = std::filesystem::temp_directory_path() / ("blbench_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::string in = (dir / "flashtmp").string(), out = in + ".gz";
    {
        std::ofstream f(in, std::ios::binary);
        f.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    }
    char cmd[1024];
    std::snprintf(cmd, sizeof cmd, cmd_fmt.c_str(), out.c_str(), in.c_str());
    int rc = std::system(cmd);
    size_t size = 0;
    std::error_code ec;
    if (rc == 0)
        size = size_t(std::filesystem::file_size(out, ec));
    std::filesystem::remove_all(dir, ec);
    return ec ? 0 : size;
}

void gzip_figures()
{
    struct Kind {
        const char* name;
        std::vector<uint8_t> data;
    } kinds[] = {{"random 1 MiB", random_bytes(1 << 20, 1)},
                 {"zeros 4 MiB", std::vector<uint8_t>(4 << 20, 0)},
                 {"realistic 2 MiB", realistic(2 << 20, 2)}};
    bool have7z = std::system("command -v 7za >/dev/null 2>&1") == 0;
    std::printf("\ngzip sizes (bytes)\n%-18s %12s %12s %8s %12s %8s %12s %12s\n", "image", "input", "fast", "s", "max",
                "s", "7za -tgzip", "gzip -9");
    for (auto& k : kinds) {
        std::vector<uint8_t> fast, max;
        double t0 = wall();
        gzip_compress(k.data.data(), k.data.size(), &fast, GzipEffort::Fast);
        double t1 = wall();
        gzip_compress(k.data.data(), k.data.size(), &max, GzipEffort::Max);
        double t2 = wall();
        size_t z7 = have7z ? external_size("7za a -tgzip \"%s\" \"%s\" >/dev/null 2>&1", k.data) : 0;
        size_t gz9 = external_size("gzip -9 -c \"%2$s\" > \"%1$s\"", k.data);
        std::printf("%-18s %12zu %12zu %8.2f %12zu %8.2f %12s %12zu\n", k.name, k.data.size(), fast.size(), t1 - t0,
                    max.size(), t2 - t1, have7z ? std::to_string(z7).c_str() : "n/a", gz9);
    }
}

struct Line {
    std::unique_ptr<stbsim::Simulator> box;
    CSerialMonitorSerivce svc;
    JobContext ctx;
    std::string dir;
};

bool bring_up(Line& l)
{
    l.box->reset();
    return wait_for_boot_rom(l.ctx, 5000) == Outcome::Ok && DownloadUpgClientImage(0, l.ctx) &&
           (l.ctx.pause(5000), UpgClientTest(l.ctx));
}

int line_figures(size_t transfer_kib, size_t dump_kib, double speed)
{
    Line l;
    l.dir = (std::filesystem::temp_directory_path() / ("blbench_stb_" + std::to_string(getpid()))).string();
    std::filesystem::create_directories(l.dir);
    std::string err;
    if (!stbsim::write_stb_files(l.dir, nullptr, &err)) {
        std::fprintf(stderr, "%s\n", err.c_str());
        return 1;
    }
    stbsim::Options o;
    o.platform = 0;
    o.flash_size = uint32_t(std::max<size_t>(dump_kib, transfer_kib) * 1024 + (1 << 20));
    o.speed = speed;
    o.burn_ms = 10;
    l.box = std::make_unique<stbsim::Simulator>(o);
    if (!l.box->start(&err)) {
        std::fprintf(stderr, "%s\n", err.c_str());
        return 1;
    }
    l.svc.SMS_Init();
    serialport_config_tag cfg;
    cfg.port_index = l.svc.SMS_AddPort(l.box->port_path());
    cfg.baud_rate = 115200;
    if (!l.svc.SMS_OpenPort(cfg)) {
        std::fprintf(stderr, "%s\n", l.svc.last_error().c_str());
        return 1;
    }
    l.svc.SMS_StopSvc();
    kv::set_current_serial_service(&l.svc);
    l.ctx.svc = &l.svc;
    l.ctx.root_dir = l.dir;
    const double limit = 115200.0 / 10.0;

    std::printf("\nline: 115200 baud, limit %.0f B/s, virtual STB speed %s\n", limit,
                speed == 1 ? "1 (real time)" : std::to_string(speed).c_str());
    std::printf("%-10s %10s %9s %10s %8s %10s %12s %12s\n", "phase", "payload", "seconds", "B/s", "share", "wire B",
                "thread CPU", "process CPU");
    auto report = [&](const char* name, const WireStats& st, double tcpu, double pcpu) {
        double rate = st.payload_rate();
        double scaled = rate / (speed > 0 ? speed : 1);
        std::printf("%-10s %10llu %9.2f %10.0f %7.1f%% %10llu %8.3f s %3.1f%% %8.3f s %3.1f%%\n", name,
                    (unsigned long long)st.payload_bytes, st.seconds, rate, 100.0 * scaled / limit,
                    (unsigned long long)st.wire_bytes(), tcpu, 100 * tcpu / st.seconds, pcpu, 100 * pcpu / st.seconds);
    };

    if (!bring_up(l)) {
        std::fprintf(stderr, "the upgrade client did not come up\n");
        return 1;
    }
    if (transfer_kib) {
        // Random bytes do not compress: the gzip stream is as long as the
        // image, and the client can still check and burn it.
        auto image = random_bytes(size_t(padded_image_size(transfer_kib * 1024)), 3);
        std::vector<uint8_t> data;
        gzip_compress(image.data(), image.size(), &data, GzipEffort::Fast);
        UpgSlaveReport(uint32_t(image.size()), l.ctx);
        double t0 = thread_cpu(), p0 = process_cpu();
        int ok = UpgTransfer(data.data(), data.size(), l.ctx);
        double tc = thread_cpu() - t0, pc = process_cpu() - p0;
        if (!ok) {
            std::fprintf(stderr, "transfer failed\n");
            return 1;
        }
        report("transfer", l.ctx.transfer, tc, pc);
        if (!UpgBurn(l.ctx) || !UpgFinish(l.ctx, false) || !bring_up(l)) {
            std::fprintf(stderr, "burn or restart failed: %s\n", l.ctx.last_error.c_str());
            return 1;
        }
    }
    if (dump_kib) {
        std::vector<uint8_t> dump;
        double t0 = thread_cpu(), p0 = process_cpu();
        int ok = UpgDump(uint32_t(dump_kib * 1024), &dump, "", l.ctx);
        double tc = thread_cpu() - t0, pc = process_cpu() - p0;
        if (!ok) {
            std::fprintf(stderr, "dump failed\n");
            return 1;
        }
        report("dump", l.ctx.dump, tc, pc);
    }
    kv::set_current_serial_service(nullptr);
    l.box->stop();
    l.svc.SMS_Deinit();
    std::filesystem::remove_all(l.dir);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    size_t transfer_kib = 128, dump_kib = 512;
    double speed = 1;
    bool line = true, gz = true;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() { return i + 1 < argc ? std::string(argv[++i]) : std::string("0"); };
        if (a == "--transfer-kib")
            transfer_kib = std::stoul(next());
        else if (a == "--dump-kib")
            dump_kib = std::stoul(next());
        else if (a == "--speed")
            speed = std::stod(next());
        else if (a == "--no-line")
            line = false;
        else if (a == "--no-gzip")
            gz = false;
        else {
            std::printf("usage: %s [--transfer-kib N] [--dump-kib N] [--speed S] [--no-line] [--no-gzip]\n", argv[0]);
            return a == "--help" || a == "-h" ? 0 : 2;
        }
    }
    kv::log_set_fallback(kv::LogFallback::None);
    if (gz)
        gzip_figures();
    return line ? line_figures(transfer_kib, dump_kib, speed) : 0;
}
