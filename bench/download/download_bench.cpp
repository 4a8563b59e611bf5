// download_bench: how much of the line the download thread uses.
//
//   download_bench [--kib N] [--baud B] [--speed S]
//
// The virtual STB, in boot-ROM download mode, paces the line at the rate the
// host set, in real time unless --speed says otherwise. The time runs from
// the start of the download job until the box has kept the last byte; the
// share is the bytes over that time against the line's limit, baud / 10
// bytes a second (8 data bits, a start and a stop bit).
#include "DownloadJob.h"

#include "KvBasicLog.h"
#include "SerialMonitorService.h"
#include "StbSim.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>

namespace {

double now_s()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

int arg_int(int argc, char** argv, const char* name, int def)
{
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0)
            return std::atoi(argv[i + 1]);
    return def;
}

double arg_double(int argc, char** argv, const char* name, double def)
{
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0)
            return std::atof(argv[i + 1]);
    return def;
}

}  // namespace

int main(int argc, char** argv)
{
    const int kib = arg_int(argc, argv, "--kib", 128);
    const int baud = arg_int(argc, argv, "--baud", 115200);
    const double speed = arg_double(argc, argv, "--speed", 1.0);
    kv::log_set_fallback(kv::LogFallback::None);

    stbsim::Options o;
    o.flash_size = 1 << 20;
    o.speed = speed;
    o.download_mode = true;
    o.announce_ms = 60000;
    stbsim::Simulator box(o);
    std::string err;
    if (!box.start(&err)) {
        std::fprintf(stderr, "download_bench: %s\n", err.c_str());
        return 1;
    }
    CSerialMonitorSerivce svc;
    svc.SMS_Init();
    serialport_config_tag cfg;
    cfg.port_index = svc.SMS_AddPort(box.port_path());
    cfg.baud_rate = baud;
    if (!svc.SMS_OpenPort(cfg)) {
        std::fprintf(stderr, "download_bench: cannot open the port: %s\n", svc.last_error().c_str());
        return 1;
    }
    box.reset();
    box.wait_for_program("boot-rom", 10000);
    // The boot ROM talks at 115200 Bd; at another rate the box hears noise.
    if (baud != box.baud())
        std::fprintf(stderr, "download_bench: note: the box talks at %d Bd\n", box.baud());

    download::DownloadParams p;
    p.image.resize(size_t(kib) * 1024);
    std::mt19937 rng(15);
    for (auto& b : p.image)
        b = uint8_t(rng());
    p.image[0] = 0x5A;  // no program file, no instruction
    std::atomic<bool> cancel{false};
    bootlink::JobContext ctx;
    ctx.cancel = &cancel;
    ctx.svc = &svc;

    download::DownloadResult r;
    const double t0 = now_s();
    std::thread job([&] { r = download::run_download(p, ctx); });
    const double limit = t0 + 10.0 + double(p.image.size()) * 10.0 / baud / (speed > 0 ? speed : 1) * 3;
    while (box.downloaded().size() < p.image.size() && now_s() < limit)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    const double t1 = now_s();
    job.join();
    const bool same = box.downloaded() == p.image;
    const double seconds = t1 - t0;
    const double line = double(baud) / 10.0 * (speed > 0 ? speed : 1);
    const double rate = double(p.image.size()) / seconds;
    std::printf("download %d KiB at %d Bd, speed %g: %.2f s, %.0f B/s of %.0f B/s = %.1f%% of the line%s%s\n", kib,
                baud, speed, seconds, rate, line, 100.0 * rate / line, r.ok ? "" : " (job failed)",
                same ? "" : " (the box kept other bytes)");
    std::printf("host: the job returned after %.2f s of sending (%llu bytes)\n", r.seconds, (unsigned long long)r.sent);
    box.stop();
    svc.SMS_Deinit();
    return r.ok && same ? 0 : 1;
}
