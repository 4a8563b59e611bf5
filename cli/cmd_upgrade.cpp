// corvane-cli upgrade / dump: the "UPG" tool's jobs without a window.
#include "CliCommand.h"
#include "ExitStatus.h"
#include "JobConsole.h"
#include "JsonText.h"
#include "MultiPort.h"
#include "UpgradeRun.h"

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

using upgrade_cli::CommonOptions;

void write_report(const std::string& path, const reflasher::UpgJobResult& r, bool is_dump)
{
    if (path.empty())
        return;
    std::ofstream f(path);
    f << "{\n" << upgrade_cli::result_members(r, is_dump, "  ") << "\n}\n";
    if (!f)
        std::fprintf(stderr, "cannot write the report %s\n", path.c_str());
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
    int port_index = -1;
    if (int rc = open_job_port(svc, o.port, o.baud, &port_index))
        return rc;

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
    params.reset_wait_ms = upgrade_cli::reset_wait_ms(o);

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
    svc->SMS_ClosePort(port_index);

    // "transfer" covers the data frames of an upgrade or the chunks of a dump.
    write_report(o.report, result, is_dump);
    for (const std::string& w : result.warnings)
        std::printf("warning: %s\n", w.c_str());
    std::printf("%s\n", upgrade_cli::outcome_line(result).c_str());
    return upgrade_cli::exit_status(result);
}

void write_multi_report(const std::string& path, const std::vector<std::unique_ptr<multiport::Box>>& boxes,
                        const std::vector<reflasher::UpgJobResult>& results, const std::vector<std::string>& outputs,
                        bool is_dump)
{
    if (path.empty())
        return;
    bool all = true;
    for (const auto& b : boxes)
        all = all && b->status == cli_exit::kOk;
    std::ofstream f(path);
    f << "{\n  \"ok\": " << (all ? "true" : "false") << ",\n  \"boxes\": [";
    for (size_t i = 0; i < boxes.size(); ++i) {
        f << (i ? "," : "") << "\n    {\n      \"port\": " << cli_json::quoted(boxes[i]->port) << ",\n";
        if (is_dump)
            f << "      \"output\": " << cli_json::quoted(outputs[i]) << ",\n";
        f << upgrade_cli::result_members(results[i], is_dump, "      ") << "\n    }";
    }
    f << "\n  ]\n}\n";
    if (!f)
        std::fprintf(stderr, "cannot write the report %s\n", path.c_str());
}

// Every port at once, each box on its own service and thread.
int run_many(const CommonOptions& o, const std::vector<std::string>& ports, const std::vector<int>& types,
             reflasher::UpgJobParams params)
{
    for (const std::string& p : ports)
        if (!pause_scale_allowed(o.pause_scale, p))
            return cli_exit::kUsage;
    const bool is_dump = params.kind == reflasher::JobKind::Dump;
    if (!upgrade_cli::compress_once(params))
        return cli_exit::kInput;
    std::vector<std::string> outputs;
    for (const std::string& p : ports)
        outputs.push_back(is_dump ? multiport::path_for_port(params.dump_path, p) : std::string());
    multiport::MultiConsole console(ports, ::isatty(STDOUT_FILENO) != 0);
    auto boxes = multiport::make_boxes(ports, console);
    std::vector<reflasher::UpgJobResult> results(ports.size());
    console.note("Waiting for the STBs on " + std::to_string(ports.size()) +
                 " ports: please reset each STB (power it off and on).");
    bool interrupted = multiport::run_boxes(boxes, o.baud, [&](multiport::Box& box) {
        reflasher::UpgJobParams p = params;
        p.dump_path = outputs[box.index];
        p.project_type = types[box.index];
        p.reset_wait_ms = upgrade_cli::reset_wait_ms(o);
        reflasher::UpgJobResult& r = results[box.index];
        r = upgrade_cli::run_on_box(box, std::move(p), o);
        for (const std::string& w : r.warnings)
            console.event(box.index, "warning: " + w);
        console.event(box.index, upgrade_cli::outcome_line(r));
        box.view.show_result(upgrade_cli::outcome_line(r));
        return upgrade_cli::exit_status(r);
    }, console);
    int good = 0;
    for (size_t i = 0; i < boxes.size(); ++i) {
        if (!boxes[i]->open_error.empty()) {
            results[i].failed = reflasher::Step::Check;
            results[i].outcome = bootlink::Outcome::PortLost;
            results[i].error = boxes[i]->open_error;
        }
        good += boxes[i]->status == cli_exit::kOk;
    }
    write_multi_report(o.report, boxes, results, outputs, is_dump);
    std::printf("%zu boxes: %d OK, %zu failed\n", boxes.size(), good, boxes.size() - size_t(good));
    return multiport::combined_status(boxes, interrupted);
}

// One port as ever, or several at once.
int run_ports(CommonOptions o, reflasher::UpgJobParams params)
{
    std::vector<std::string> ports;
    std::vector<int> types;
    if (!upgrade_cli::ports_of(o, &ports, &types))
        return cli_exit::kUsage;
    if (ports.size() > 1)
        return run_many(o, ports, types, std::move(params));
    o.port = ports[0];
    o.project_type = types[0];
    return run_job(o, std::move(params));
}

constexpr const char* kSeveralPorts =
    "Several ports: the boxes run at once, each on its own thread; a terminal shows a progress line per box, "
    "other output is one line per event beginning with [PORT]. Ports may be serial devices or "
    "rfc2217://HOST:PORT and socket://HOST:PORT.";

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
    upgrade_cli::add_common(sub, opts->common);
    sub->add_option("--user-limit", opts->user_limit, "User-limit mode sent to the upgrade client (1 or 2)")
        ->capture_default_str()
        ->check(CLI::IsMember({1, 2}));
    sub->add_option("IMAGE", opts->image, "Flash image (padded with zeros to a multiple of 64 KiB)")
        ->required()
        ->check(CLI::ExistingFile);
    sub->footer("Exit status 0 only when the STB confirmed the burn; with several ports, only when every box did.\n" +
                std::string(kSeveralPorts));
    sub->callback([opts] {
        reflasher::UpgJobParams p;
        int rc = upgrade_cli::upgrade_params(opts->image, opts->user_limit, &p);
        if (rc == cli_exit::kOk)
            rc = run_ports(opts->common, std::move(p));
        if (rc)
            throw CLI::RuntimeError(rc);
    });
});

static CliCommandRegistrar reg_dump([](CLI::App& app) {
    auto opts = std::make_shared<DumpOptions>();
    auto* sub = app.add_subcommand("dump", "Dump the flash of an STB into a file");
    upgrade_cli::add_common(sub, opts->common);
    sub->add_option("--size", opts->size, "Dump size: 512K, 1M, 2M, 4M or 8M")
        ->capture_default_str()
        ->check(CLI::IsMember({"512K", "1M", "2M", "4M", "8M"}));
    sub->add_option("OUTPUT", opts->output,
                    "The dump file (written only when the dump is complete). With several ports each box has its "
                    "own: {port} in the name is replaced by the port's name, or -PORT goes before the extension")
        ->required();
    sub->footer("Project type 0 dumps through \"shell.img\"; the others through the upgrade client. The output file\n"
                "is replaced only by a complete dump whose every chunk passed its CRC.\n" +
                std::string(kSeveralPorts));
    sub->callback([opts] {
        reflasher::UpgJobParams p;
        p.kind = reflasher::JobKind::Dump;
        p.dump_size = reflasher::kDumpSizes[reflasher::dump_size_index(opts->size)];
        p.dump_path = opts->output;
        int rc = run_ports(opts->common, std::move(p));
        if (rc)
            throw CLI::RuntimeError(rc);
    });
});
