// corvane-cli upgrade / dump: the "UPG" tool's jobs without a window.
#include "CliCommand.h"
#include "ExitStatus.h"
#include "JobConsole.h"
#include "JsonText.h"

#include "KvBasicLog.h"
#include "KvWorkThread.h"
#include "SerialMonitorService.h"
#include "UpgJob.h"
#include "VirtualPorts.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace {

std::atomic<bool> g_interrupted{false};

extern "C" void on_sigint(int)
{
    g_interrupted = true;
}

struct CommonOptions {
    std::string port;
    int project_type = 0;
    int baud = 115200;
    std::string report;
    int64_t reset_timeout_s = 300;
    double pause_scale = 1.0;
};

// "0 and 1 ..., 2 Dogwood-400, ...": the project types of the platform table.
std::string project_type_help()
{
    std::string h = "Project type:";
    for (int type : bootlink::all_project_types())
        h += std::string(type ? ", " : " ") + bootlink::list_text(bootlink::platform(type));
    return h;
}

void add_common(CLI::App* sub, CommonOptions& o)
{
    sub->add_option("--port", o.port, "Serial device or pseudo-terminal of the STB (e.g. /dev/ttyUSB0)")->required();
    sub->add_option("--project-type", o.project_type, project_type_help())
        ->required()
        ->check(CLI::Range(0, bootlink::kProjectTypes - 1));
    sub->add_option("--baud", o.baud, "Line rate outside boot-ROM work")->capture_default_str()->check(
        CLI::IsMember(kv::supported_baud_rates()));
    sub->add_option("--report", o.report,
                    "Write a JSON report: ok, error, failed_step, phases {name: seconds}, transfer {payload_bytes, "
                    "wire_bytes, seconds}");
    sub->add_option("--reset-timeout", o.reset_timeout_s,
                    "Seconds to wait for the STB's reset (its boot ROM's sync byte); 0 waits for ever")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    sub->add_option("--pause-scale", o.pause_scale,
                    "Scale of the fixed pauses of the exchanges: 1 on real hardware; lower only on the port of a "
                    "running virtual STB (stbsim), refused on any other")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 1.0));
}

void write_report(const std::string& path, const reflasher::UpgJobResult& r, const bootlink::WireStats& w,
                  const std::string& extra)
{
    if (path.empty())
        return;
    std::ofstream f(path);
    if (!f) {
        std::fprintf(stderr, "cannot write the report %s\n", path.c_str());
        return;
    }
    f << "{\n  \"ok\": " << (r.ok ? "true" : "false") << ",\n";
    f << "  \"error\": \"" << cli_json::escape(r.ok ? "" : r.error) << "\",\n";
    f << "  \"failed_step\": \"" << cli_json::escape(r.failed_step()) << "\",\n";
    f << "  \"cancelled\": " << (r.cancelled ? "true" : "false") << ",\n";
    f << "  \"warnings\": [";
    for (size_t i = 0; i < r.warnings.size(); ++i)
        f << (i ? ", " : "") << "\"" << cli_json::escape(r.warnings[i]) << "\"";
    f << "],\n";
    f << "  \"phases\": {";
    for (size_t i = 0; i < r.phases.size(); ++i)
        f << (i ? ", " : "") << "\"" << cli_json::escape(r.phases[i].first) << "\": " << r.phases[i].second;
    f << "},\n";
    f << "  \"transfer\": {\"payload_bytes\": " << w.payload_bytes << ", \"wire_bytes\": " << w.wire_bytes()
      << ", \"seconds\": " << w.seconds << ", \"retries\": " << w.retries << "}" << extra << "\n}\n";
}

// Opens the port, runs the job on a worker thread, prints, reports.
int run_job(const CommonOptions& o, reflasher::UpgJobParams params)
{
    CSerialMonitorSerivce* svc = kv::current_serial_service();
    ConsoleObserver console;
    kv::log_set_fallback(kv::LogFallback::FileOnly);
    int listener = kv::log_add_listener([&](int kind, const std::string& text) {
        if (kind != 4)
            console.log(text);
    });
    struct Cleanup {
        int id;
        ~Cleanup()
        {
            kv::log_remove_listener(id);
            kv::log_set_fallback(kv::LogFallback::StdoutAndFile);
        }
    } cleanup{listener};

    if (!pause_scale_allowed(o.pause_scale, o.port))
        return cli_exit::kUsage;
    if (!svc->SMS_Init()) {
        std::fprintf(stderr, "error: the serial service did not start\n");
        return cli_exit::kPort;
    }
    serialport_config_tag cfg;
    cfg.port_index = svc->SMS_AddPort(o.port);
    cfg.baud_rate = o.baud;
    if (cfg.port_index < 0 || !svc->SMS_OpenPort(cfg)) {
        std::fprintf(stderr, "error: cannot open %s: %s\n", o.port.c_str(), svc->last_error().c_str());
        return cli_exit::kPort;
    }

    std::atomic<bool> cancel{false};
    std::atomic<bool> keep_going{false};
    bootlink::JobContext ctx;
    ctx.observer = &console;
    ctx.cancel = &cancel;
    ctx.keep_going = &keep_going;
    ctx.svc = svc;
    ctx.pause_scale = o.pause_scale;
    const bool is_dump = params.kind == reflasher::JobKind::Dump;
    params.project_type = o.project_type;
    // Any number of seconds is taken; beyond a few years it means "for ever".
    constexpr int64_t kForever = int64_t(100) * 365 * 24 * 3600;
    params.reset_wait_ms = std::min(o.reset_timeout_s, kForever) * 1000;

    CKvWorkThread thread;
    reflasher::UpgJob job(std::move(params), ctx, &thread);
    reflasher::UpgJobResult result;
    thread.Attach([&]() -> uint32_t {
        result = job.Run();
        return result.ok ? 0 : 1;
    });
    std::printf("Waiting for the STB on %s: please reset the STB (power it off and on).\n", o.port.c_str());
    std::fflush(stdout);
    auto old = std::signal(SIGINT, on_sigint);
    if (!thread.Start(1)) {
        std::fprintf(stderr, "error: cannot start the job thread\n");
        return cli_exit::kFailed;
    }
    while (thread.IsRunning()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (g_interrupted.exchange(false)) {
            cancel = true;
            keep_going = false;
            thread.Resume();
        }
    }
    thread.Detach();
    std::signal(SIGINT, old);
    console.done();
    svc->SMS_ClosePort(cfg.port_index);

    // "transfer" covers the data frames of an upgrade or the chunks of a dump.
    const bootlink::WireStats& w = is_dump ? result.dump : result.transfer;
    std::string extra;
    if (result.compressed_size)
        extra += ",\n  \"compressed_bytes\": " + std::to_string(result.compressed_size) +
                 ",\n  \"announced_size\": " + std::to_string(result.announced_size);
    write_report(o.report, result, w, extra);
    for (const std::string& w : result.warnings)
        std::printf("warning: %s\n", w.c_str());
    if (result.ok) {
        std::printf("OK\n");
        return cli_exit::kOk;
    }
    std::printf("FAILED at %s: %s\n", result.failed_step(), result.error.c_str());
    switch (result.outcome) {
    case bootlink::Outcome::Cancelled: return cli_exit::kInterrupted;
    case bootlink::Outcome::NoBox: return cli_exit::kNoBox;
    case bootlink::Outcome::PortLost: return cli_exit::kPort;
    default: return cli_exit::kFailed;
    }
}

struct UpgradeOptions {
    CommonOptions common;
    int user_limit = 1;
    std::string image;
};

struct DumpOptions {
    CommonOptions common;
    std::string size = "512K";
    std::string output;
};

}  // namespace

static CliCommandRegistrar reg_upgrade([](CLI::App& app) {
    auto opts = std::make_shared<UpgradeOptions>();
    auto* sub = app.add_subcommand("upgrade", "Upgrade the whole flash of an STB from an image file");
    add_common(sub, opts->common);
    sub->add_option("--user-limit", opts->user_limit, "User-limit mode sent to the upgrade client (1 or 2)")
        ->capture_default_str()
        ->check(CLI::IsMember({1, 2}));
    sub->add_option("IMAGE", opts->image, "Flash image (padded with zeros to a multiple of 64 KiB)")
        ->required()
        ->check(CLI::ExistingFile);
    sub->footer("Exit status 0 only when the STB confirmed the burn.");
    sub->callback([opts] {
        reflasher::UpgJobParams p;
        p.kind = reflasher::JobKind::Upgrade;
        p.user_limit_mode = opts->user_limit;
        std::string err;
        if (!reflasher::load_padded_image(opts->image, &p.image, &err)) {
            std::fprintf(stderr, "error: %s\n", err.c_str());
            throw CLI::RuntimeError(cli_exit::kInput);
        }
        std::printf("Image %s: %zu bytes after padding to 64 KiB\n", opts->image.c_str(), p.image.size());
        int rc = run_job(opts->common, std::move(p));
        if (rc)
            throw CLI::RuntimeError(rc);
    });
});

static CliCommandRegistrar reg_dump([](CLI::App& app) {
    auto opts = std::make_shared<DumpOptions>();
    auto* sub = app.add_subcommand("dump", "Dump the flash of an STB into a file");
    add_common(sub, opts->common);
    sub->add_option("--size", opts->size, "Dump size: 512K, 1M, 2M, 4M or 8M")
        ->capture_default_str()
        ->check(CLI::IsMember({"512K", "1M", "2M", "4M", "8M"}));
    sub->add_option("OUTPUT", opts->output, "The dump file (written only when the dump is complete)")->required();
    sub->footer("Project type 0 dumps through \"shell.img\"; the others through the upgrade client. The output file\n"
                "is replaced only by a complete dump whose every chunk passed its CRC.");
    sub->callback([opts] {
        reflasher::UpgJobParams p;
        p.kind = reflasher::JobKind::Dump;
        p.dump_size = reflasher::kDumpSizes[reflasher::dump_size_index(opts->size)];
        p.dump_path = opts->output;
        int rc = run_job(opts->common, std::move(p));
        if (rc)
            throw CLI::RuntimeError(rc);
    });
});
