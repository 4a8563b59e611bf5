// corvane-cli download / calibrate: the "Download" tool's jobs without a
// window. `download` streams an image into the STB's memory while its boot
// ROM listens; `calibrate` calibrates the SDRAM of a new board on the chip or
// on an FPGA prototype board.
#include "CliCommand.h"
#include "ExitStatus.h"
#include "JobConsole.h"
#include "JsonText.h"

#include "CalibrationJob.h"
#include "DownloadJob.h"
#include "KvBasicLog.h"
#include "KvWorkThread.h"
#include "SerialMonitorService.h"
#include "PortHelp.h"

#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

struct LinkOptions {
    std::string port;
    int baud = 115200;
    std::string report;
    int reset_timeout_s = 300;
    bool no_wait = false;
};

void add_link_options(CLI::App* sub, LinkOptions& o, const char* what)
{
    sub->add_option("--port", o.port, port_option_help("the STB"))->required();
    sub->add_option("--baud", o.baud, "Line rate of the boot ROM")->capture_default_str()->check(
        CLI::IsMember(kv::supported_baud_rates()));
    sub->add_option("--report", o.report, std::string("Write a JSON report: ") + what);
    sub->add_option("--reset-timeout", o.reset_timeout_s,
                    "Seconds to wait for the STB's reset (its boot ROM's sync byte); 0 waits for ever")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    sub->add_flag("--no-wait", o.no_wait, "The boot ROM listens already: do not wait for a reset");
}

// The serial service with the port open, or the exit status why not.
int open_port(const LinkOptions& o, CSerialMonitorSerivce* svc)
{
    return open_job_port(svc, o.port, o.baud);
}

enum class Wait { Ready, NoBox, Cancelled };

// On the job thread: the job's flag is set and its thread recorded; the
// serial service resumes the thread when the boot ROM announces itself.
Wait wait_for_boot_rom(const LinkOptions& o, CSerialMonitorSerivce* svc, CKvWorkThread* self,
                       const std::atomic<bool>& cancel)
{
    if (o.no_wait)
        return Wait::Ready;
    svc->m_pUpgThread = self;
    kv_console_printf("Please reset the STB!\n");
    const bool resumed = o.reset_timeout_s > 0 ? self->SuspendFor(o.reset_timeout_s * 1000) : (self->Suspend(), true);
    svc->m_pUpgThread = nullptr;
    if (cancel)
        return Wait::Cancelled;
    return resumed ? Wait::Ready : Wait::NoBox;
}

// One job on the line: the console, the open port, the job's context and
// its worker thread.
struct Session {
    ConsoleObserver console;
    ConsoleLog log{console};
    CSerialMonitorSerivce* svc = kv::current_serial_service();
    std::atomic<bool> cancel{false};
    std::atomic<bool> running{true};  // the calibration's running flag
    bootlink::JobContext ctx;
    CKvWorkThread thread;
    Wait wait = Wait::Ready;
    bool interrupted = false;

    Session()
    {
        ctx.observer = &console;
        ctx.cancel = &cancel;
        ctx.keep_going = &running;
        ctx.svc = svc;
    }

    // Opens the port and runs `job` on the thread once the boot ROM has
    // announced itself, with the job's flag (`set_flag`) set throughout;
    // Ctrl+C cancels and stops it. The exit status of what went wrong around
    // the job, or kOk.
    int run(const LinkOptions& o, void (CSerialMonitorSerivce::*set_flag)(int), const std::function<void()>& job)
    {
        if (int rc = open_port(o, svc))
            return rc;
        thread.Attach([&]() -> uint32_t {
            (svc->*set_flag)(1);
            wait = wait_for_boot_rom(o, svc, &thread, cancel);
            if (wait == Wait::Ready)
                job();
            (svc->*set_flag)(0);
            return 0;
        });
        auto stop = [this] {
            cancel = true;
            running = false;
            thread.Resume();
        };
        const bool started = run_until_done(thread, stop, &interrupted);
        console.done();
        return started ? cli_exit::kOk : cli_exit::kFailed;
    }
    bool cancelled() const { return interrupted || wait == Wait::Cancelled; }
    // Why the job did not run, when the wait ended it.
    std::string wait_error(const LinkOptions& o) const
    {
        if (wait == Wait::Cancelled)
            return "cancelled by the user while waiting for the STB";
        return "no boot ROM announced itself within " + std::to_string(o.reset_timeout_s) + " s";
    }
};

void write_json(const std::string& path, const std::string& body)
{
    if (path.empty())
        return;
    std::ofstream f(path);
    f << body;
    if (!f)
        std::fprintf(stderr, "cannot write the report %s\n", path.c_str());
}

std::string json_head(bool ok, const std::string& error, bool cancelled)
{
    return std::string("{\n  \"ok\": ") + (ok ? "true" : "false") + ",\n  \"error\": \"" +
           cli_json::escape(ok ? "" : error) + "\",\n  \"cancelled\": " + (cancelled ? "true" : "false");
}

// ---- download --------------------------------------------------------------

struct DownloadOptions {
    LinkOptions link;
    std::string cache;
    std::string image;
};

int run_download_command(const DownloadOptions& o)
{
    download::DownloadParams p;
    if (!bootlink::read_file(o.image, &p.image) || p.image.empty()) {
        std::fprintf(stderr, "error: %s is missing, unreadable or empty\n", o.image.c_str());
        return cli_exit::kInput;
    }
    p.cache = o.cache == "ddr2"   ? download::CacheCalibration::ElmDdr2
              : o.cache == "ddr3" ? download::CacheCalibration::ElmDdr3
                                  : download::CacheCalibration::None;
    std::printf("Image %s: %zu bytes\n", o.image.c_str(), p.image.size());
    Session s;
    download::DownloadResult r;
    if (int rc = s.run(o.link, &CSerialMonitorSerivce::set_bootroom, [&] { r = download::run_download(p, s.ctx); }))
        return rc;
    if (s.wait != Wait::Ready)
        r.error = s.wait_error(o.link);
    r.cancelled = r.cancelled || s.cancelled();
    const double rate = r.seconds > 0 ? double(r.sent) / r.seconds : 0;
    write_json(o.link.report, json_head(r.ok, r.error, r.cancelled) +
                                  ",\n  \"image_bytes\": " + std::to_string(p.image.size()) +
                                  ",\n  \"sent_bytes\": " + std::to_string(r.sent) +
                                  ",\n  \"seconds\": " + std::to_string(r.seconds) +
                                  ",\n  \"bytes_per_second\": " + std::to_string(rate) + "\n}\n");
    if (r.ok) {
        std::printf("OK: %llu bytes sent in %.1f s\n", (unsigned long long)r.sent, r.seconds);
        return cli_exit::kOk;
    }
    std::printf("FAILED: %s\n", r.error.c_str());
    if (r.cancelled)
        return cli_exit::kInterrupted;
    if (s.wait == Wait::NoBox)
        return cli_exit::kNoBox;
    return r.user_error == "Please open the com first." ? cli_exit::kPort : cli_exit::kFailed;
}

// ---- calibrate -------------------------------------------------------------

struct CalibrateOptions {
    LinkOptions link;
    std::string chip;
    bool fpga = false;
    std::string config;
};

std::string lanes_json(const download::CalibrationResult& r)
{
    std::ostringstream j;
    j << ",\n  \"lanes\": [";
    for (int i = 0; i < r.lanes_done; ++i) {
        const download::LaneResult& l = r.lanes[i];
        j << (i ? ", " : "") << "{\"clock_start\": " << l.clock_start << ", \"clock_end\": " << l.clock_end
          << ", \"dqs_start\": " << l.dqs_start << ", \"dqs_end\": " << l.dqs_end << ", \"clock\": " << l.clock
          << ", \"dqs\": " << l.dqs << ", \"ok\": " << (l.ok() ? "true" : "false") << "}";
    }
    j << "]";
    return j.str();
}

// The configuration text, checked before anything is sent; or the exit status.
int load_config(const CalibrateOptions& o, download::CalibrationParams* p)
{
    std::string path = o.chip;
    if (o.fpga)
        path = o.config.empty() ? bootlink::JobContext{}.file_path(download::kFpgaConfigFile) : o.config;
    std::vector<uint8_t> text;
    if (!bootlink::read_file(path, &text) || text.empty()) {
        std::fprintf(stderr, "error: %s is missing, unreadable or empty\n", path.c_str());
        return cli_exit::kInput;
    }
    p->config_text.assign(text.begin(), text.end());
    p->platform = o.fpga ? download::CalibrationPlatform::Fpga : download::CalibrationPlatform::Chip;
    download::FpgaConfig cfg;
    std::string err;
    if (o.fpga && !download::parse_fpga_config(p->config_text, &cfg, &err)) {
        std::fprintf(stderr, "error: %s %s\n", path.c_str(), err.c_str());
        return cli_exit::kInput;
    }
    return cli_exit::kOk;
}

int run_calibrate_command(const CalibrateOptions& o)
{
    download::CalibrationParams p;
    if (int rc = load_config(o, &p))
        return rc;
    Session s;
    download::CalibrationResult r;
    auto job = [&] {
        s.svc->SMS_StopSvc();
        r = download::run_calibration(p, s.ctx);
    };
    if (int rc = s.run(o.link, &CSerialMonitorSerivce::set_calibrate, job))
        return rc;
    if (s.wait != Wait::Ready)
        r.error = s.wait_error(o.link);
    const bool cancelled = s.cancelled() || r.stopped;
    write_json(o.link.report, json_head(r.ok, r.error, cancelled) + ",\n  \"platform\": \"" +
                                  (o.fpga ? "fpga" : "chip") + "\",\n  \"seconds\": " + std::to_string(r.seconds) +
                                  (o.fpga ? lanes_json(r) : std::string()) + "\n}\n");
    if (r.ok) {
        std::printf("OK\n");
        return cli_exit::kOk;
    }
    std::printf("FAILED: %s\n", r.error.c_str());
    if (cancelled)
        return cli_exit::kInterrupted;
    return s.wait == Wait::NoBox ? cli_exit::kNoBox : cli_exit::kFailed;
}

}  // namespace

static CliCommandRegistrar reg_download([](CLI::App& app) {
    auto o = std::make_shared<DownloadOptions>();
    auto* sub = app.add_subcommand("download", "Stream an image into the STB's memory while its boot ROM listens");
    add_link_options(sub, o->link, "ok, error, cancelled, image_bytes, sent_bytes, seconds, bytes_per_second");
    sub->add_option("--cache-calibration", o->cache,
                    "Run the Elm cache calibration first (ddr2_cache_cal.img or ddr3_cache_cal.img)")
        ->check(CLI::IsMember({"ddr2", "ddr3"}));
    sub->add_option("IMAGE", o->image, "The image (.img or .bin), sent in blocks of 5120 bytes")->required();
    sub->footer("Waits for the STB's reset first (unless --no-wait); no reply of the STB is read.");
    sub->callback([o] {
        if (int rc = run_download_command(*o))
            throw CLI::RuntimeError(rc);
    });
});

static CliCommandRegistrar reg_calibrate([](CLI::App& app) {
    auto o = std::make_shared<CalibrateOptions>();
    auto* sub = app.add_subcommand("calibrate", "Calibrate the SDRAM of a board on the chip or on an FPGA board");
    add_link_options(sub, o->link,
                     "ok, error, cancelled, platform, seconds and, for --fpga, lanes [{clock_start, clock_end, "
                     "dqs_start, dqs_end, clock, dqs, ok}]");
    auto* chip = sub->add_option("--chip", o->chip, "Calibrate on the chip, steered by this chip_ddrconf file");
    auto* fpga = sub->add_flag("--fpga", o->fpga, "Calibrate an FPGA prototype board: clock and DQS sweep per lane");
    sub->add_option("--config", o->config, "With --fpga: the board's configuration (default: ddrconf.txt in the "
                                           "program's data folder)")
        ->needs(fpga);
    chip->excludes(fpga);
    sub->callback([o] {
        if (o->chip.empty() && !o->fpga)
            throw CLI::ValidationError("calibrate", "one of --chip FILE or --fpga is needed");
        if (int rc = run_calibrate_command(*o))
            throw CLI::RuntimeError(rc);
    });
});
