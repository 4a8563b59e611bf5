// corvane-cli block / slave-info: the "UPGBLOCK" tool's job without a window.
#include "CliCommand.h"
#include "ExitStatus.h"
#include "JobConsole.h"
#include "JsonText.h"
#include "MultiPort.h"

#include "BlockKinds.h"
#include "BlockUpgJob.h"
#include "BootLink.h"
#include "KvWorkThread.h"
#include "SerialMonitorService.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <unistd.h>

namespace {

struct BlockCliOptions {
    multiport::PortOptions ports;
    std::vector<int> project_types;
    std::string port;      // the one port of a single-box run
    int project_type = 0;  // ... and its project type
    int baud = 115200;
    std::string report;
    int64_t reset_timeout_s = 300;
    double pause_scale = 1.0;
    // block
    std::string block;
    std::string file;
    std::string flash;
    bool no_size_check = false;
    // slave-info
    bool json = false;
};

std::string project_type_help()
{
    std::string h = "Project type:";
    for (int type : sectorsmith::project_types())
        h += std::string(h.size() > 13 ? ", " : " ") + bootlink::list_text(bootlink::platform(type));
    return h;
}

void add_common(CLI::App* sub, BlockCliOptions& o)
{
    multiport::add_port_options(sub, o.ports);
    sub->add_option("--project-type", o.project_types,
                    project_type_help() + ". Once for every port, or once per port in the order of the ports")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->check(CLI::IsMember(sectorsmith::project_types()));
    sub->add_option("--baud", o.baud, "Line rate outside boot-ROM work")->capture_default_str()->check(
        CLI::IsMember(kv::supported_baud_rates()));
    sub->add_option("--report", o.report,
                    "Write a JSON report: ok, error, failed_step, phases {name: seconds}, transfer {payload_bytes, "
                    "wire_bytes, seconds}, blocks (what the box listed)");
    sub->add_option("--reset-timeout", o.reset_timeout_s,
                    "Seconds to wait for the STB's reset (its sync byte); 0 waits for ever")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    sub->add_option("--pause-scale", o.pause_scale,
                    "Scale of the fixed pauses of the exchanges: 1 on real hardware; lower only on the port of a "
                    "running virtual STB (stbsim), refused on any other")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 1.0));
}

std::string hex_id(unsigned id)
{
    char b[8];
    std::snprintf(b, sizeof b, "0x%02X", id);
    return b;
}

std::string blocks_json(const sectorsmith::SlaveInfo& s, const char* indent)
{
    std::string o = "[";
    for (size_t i = 0; i < s.entries.size(); ++i) {
        const sectorsmith::SlaveEntry& e = s.entries[i];
        const sectorsmith::BlockKind* k = sectorsmith::find_kind(e.id);
        o += std::string(i ? "," : "") + "\n" + indent + "  {\"id\": " + cli_json::quoted(hex_id(e.id)) +
             ", \"kind\": " + cli_json::quoted(k ? k->cli_name : "") + ", \"name\": " + cli_json::quoted(e.name) +
             ", \"offset\": " + std::to_string(e.offset) + ", \"size\": " + std::to_string(e.size) + "}";
    }
    return o + (s.entries.empty() ? "]" : "\n" + std::string(indent) + "]");
}

// One box's report members, each line beginning with `indent`.
std::string result_members(const sectorsmith::BlockJobResult& r, const std::string& indent)
{
    std::ostringstream f;
    f << indent << "\"ok\": " << (r.ok ? "true" : "false") << ",\n";
    f << indent << "\"error\": " << cli_json::quoted(r.ok ? "" : r.error) << ",\n";
    f << indent << "\"failed_step\": " << cli_json::quoted(r.failed_step()) << ",\n";
    f << indent << "\"cancelled\": " << (r.cancelled ? "true" : "false") << ",\n";
    f << indent << "\"warnings\": [";
    for (size_t i = 0; i < r.warnings.size(); ++i)
        f << (i ? ", " : "") << cli_json::quoted(r.warnings[i]);
    f << "],\n" << indent << "\"phases\": {";
    for (size_t i = 0; i < r.phases.size(); ++i)
        f << (i ? ", " : "") << cli_json::quoted(r.phases[i].first) << ": " << r.phases[i].second;
    const bootlink::WireStats& w = r.transfer;
    f << "},\n" << indent << "\"transfer\": {\"payload_bytes\": " << w.payload_bytes << ", \"wire_bytes\": "
      << w.wire_bytes() << ", \"seconds\": " << w.seconds << ", \"retries\": " << w.retries << "},\n";
    f << indent << "\"announced_size\": " << r.announced_size << ",\n" << indent << "\"sent_size\": " << r.sent_size;
    if (r.have_slave)
        f << ",\n" << indent << "\"blocks\": " << blocks_json(r.slave, indent.c_str());
    return f.str();
}

void write_report(const std::string& path, const sectorsmith::BlockJobResult& r)
{
    if (path.empty())
        return;
    std::ofstream f(path);
    if (!f) {
        std::fprintf(stderr, "cannot write the report %s\n", path.c_str());
        return;
    }
    f << "{\n" << result_members(r, "  ") << "\n}\n";
}

int exit_status(const sectorsmith::BlockJobResult& r)
{
    if (r.ok)
        return cli_exit::kOk;
    switch (r.outcome) {
    case bootlink::Outcome::Cancelled: return cli_exit::kInterrupted;
    case bootlink::Outcome::NoBox: return cli_exit::kNoBox;
    case bootlink::Outcome::PortLost: return cli_exit::kPort;
    default: return r.failed == sectorsmith::Step::Check ? cli_exit::kInput : cli_exit::kFailed;
    }
}

int64_t reset_wait_ms(const BlockCliOptions& o)
{
    constexpr int64_t kForever = int64_t(100) * 365 * 24 * 3600;  // "for ever", in seconds
    return std::min(o.reset_timeout_s, kForever) * 1000;
}

// Opens the port, runs the job on a worker thread, prints, reports.
int run_block_job(const BlockCliOptions& o, sectorsmith::BlockJobParams params, sectorsmith::BlockJobResult* out)
{
    if (!pause_scale_allowed(o.pause_scale, o.port))
        return cli_exit::kUsage;
    CSerialMonitorSerivce* svc = kv::current_serial_service();
    ConsoleObserver console;
    ConsoleLog log(console);
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
    params.project_type = o.project_type;
    params.reset_wait_ms = reset_wait_ms(o);

    CKvWorkThread thread;
    sectorsmith::BlockUpgJob job(std::move(params), ctx, &thread);
    sectorsmith::BlockJobResult& result = *out;
    thread.Attach([&]() -> uint32_t {
        result = job.Run();
        return result.ok ? 0 : 1;
    });
    std::printf("Waiting for the STB on %s: please reset the STB (power it off and on).\n", o.port.c_str());
    std::fflush(stdout);
    bool started = run_until_done(thread, [&] {
        cancel = true;
        keep_going = false;
        thread.Resume();
    });
    console.done();
    svc->SMS_ClosePort(port_index);
    if (!started) {
        std::fprintf(stderr, "error: cannot start the job thread\n");
        return cli_exit::kFailed;
    }
    write_report(o.report, result);
    for (const std::string& w : result.warnings)
        std::printf("warning: %s\n", w.c_str());
    if (!result.ok)
        std::printf("FAILED at %s: %s\n", result.failed_step(), result.error.c_str());
    return exit_status(result);
}

void write_multi_report(const std::string& path, const std::vector<std::unique_ptr<multiport::Box>>& boxes,
                        const std::vector<sectorsmith::BlockJobResult>& results)
{
    if (path.empty())
        return;
    bool all = true;
    for (const auto& b : boxes)
        all = all && b->status == cli_exit::kOk;
    std::ofstream f(path);
    f << "{\n  \"ok\": " << (all ? "true" : "false") << ",\n  \"boxes\": [";
    for (size_t i = 0; i < boxes.size(); ++i)
        f << (i ? "," : "") << "\n    {\n      \"port\": " << cli_json::quoted(boxes[i]->port) << ",\n"
          << result_members(results[i], "      ") << "\n    }";
    f << "\n  ]\n}\n";
    if (!f)
        std::fprintf(stderr, "cannot write the report %s\n", path.c_str());
}

std::string outcome_line(const sectorsmith::BlockJobResult& r)
{
    return r.ok ? std::string("OK") : std::string("FAILED at ") + r.failed_step() + ": " + r.error;
}

// Every port at once, each box on its own service and thread.
int run_block_many(const BlockCliOptions& o, const std::vector<std::string>& ports, const std::vector<int>& types,
                   const sectorsmith::BlockJobParams& params)
{
    for (const std::string& p : ports)
        if (!pause_scale_allowed(o.pause_scale, p))
            return cli_exit::kUsage;
    multiport::MultiConsole console(ports, ::isatty(STDOUT_FILENO) != 0);
    auto boxes = multiport::make_boxes(ports, console);
    std::vector<sectorsmith::BlockJobResult> results(ports.size());
    console.note("Waiting for the STBs on " + std::to_string(ports.size()) +
                 " ports: please reset each STB (power it off and on).");
    bool interrupted = multiport::run_boxes(boxes, o.baud, [&](multiport::Box& box) {
        bootlink::JobContext ctx;
        ctx.observer = &box.view;
        ctx.cancel = &box.cancel;
        ctx.keep_going = &box.keep_going;
        ctx.svc = &box.svc;
        ctx.pause_scale = o.pause_scale;
        sectorsmith::BlockJobParams p = params;
        p.project_type = types[box.index];
        p.reset_wait_ms = reset_wait_ms(o);
        sectorsmith::BlockUpgJob job(std::move(p), ctx, &box.thread);
        sectorsmith::BlockJobResult& r = results[box.index];
        r = job.Run();
        for (const std::string& w : r.warnings)
            console.event(box.index, "warning: " + w);
        console.event(box.index, outcome_line(r));
        box.view.show_result(outcome_line(r));
        return exit_status(r);
    }, console);
    int good = 0;
    for (size_t i = 0; i < boxes.size(); ++i) {
        if (!boxes[i]->open_error.empty()) {
            results[i].failed = sectorsmith::Step::Check;
            results[i].outcome = bootlink::Outcome::PortLost;
            results[i].error = boxes[i]->open_error;
        }
        good += boxes[i]->status == cli_exit::kOk;
    }
    write_multi_report(o.report, boxes, results);
    std::printf("%zu boxes: %d OK, %zu failed\n", boxes.size(), good, boxes.size() - size_t(good));
    return multiport::combined_status(boxes, interrupted);
}

// The ports of the run; false (message printed) on a usage error.
bool ports_of(const BlockCliOptions& o, std::vector<std::string>* ports, std::vector<int>* types)
{
    std::string err;
    if (multiport::ports_with_types(o.ports, o.project_types, sectorsmith::project_types(), ports, types, &err))
        return true;
    std::fprintf(stderr, "error: %s\n", err.c_str());
    return false;
}

bool read_input(const std::string& path, std::vector<uint8_t>* out)
{
    if (!bootlink::read_file(path, out)) {
        std::fprintf(stderr, "error: cannot read %s\n", path.c_str());
        return false;
    }
    if (out->empty()) {
        std::fprintf(stderr, "error: %s is empty\n", path.c_str());
        return false;
    }
    return true;
}

void print_blocks(const sectorsmith::SlaveInfo& s)
{
    std::printf("%-6s %-12s %-10s %-10s %s\n", "ID", "KIND", "OFFSET", "SIZE", "NAME");
    for (const sectorsmith::SlaveEntry& e : s.entries) {
        const sectorsmith::BlockKind* k = sectorsmith::find_kind(e.id);
        std::printf("%-6s %-12s 0x%08X 0x%08X %s\n", hex_id(e.id).c_str(), k ? k->cli_name : "-", e.offset, e.size,
                    e.name.c_str());
    }
}

}  // namespace

static CliCommandRegistrar reg_block([](CLI::App& app) {
    auto o = std::make_shared<BlockCliOptions>();
    auto* sub = app.add_subcommand("block", "Replace one block of an STB's flash, or the whole flash (UPGBLOCK)");
    add_common(sub, *o);
    auto* block = sub->add_option("--block", o->block,
                                  "The block: application, back-logo, dbase, key, radio-logo, ssdata, ir, start-logo, "
                                  "or an ID such as 0x88");
    auto* file = sub->add_option("FILE", o->file, "The block's new contents")->check(CLI::ExistingFile);
    auto* flash = sub->add_option("--flash", o->flash, "Rewrite the whole flash from this image (sent compressed)")
                      ->check(CLI::ExistingFile);
    sub->add_flag("--no-size-check", o->no_size_check,
                  "Do not refuse a file larger than the block's size in the box's slave info (for a client that "
                  "fills entry bytes 8-11 with something else)");
    flash->excludes(block)->excludes(file);
    block->needs(file);
    file->needs(block);
    sub->footer("The box's upgrade client lists the blocks its flash holds; a block it does not list is refused\n"
                "before anything is written. Exit status 0 only when the box confirmed the burn; with several\n"
                "ports (each box on its own thread, its lines beginning with [PORT]), only when every box did.");
    sub->callback([o] {
        if (o->flash.empty() && o->block.empty())
            throw CLI::ValidationError("block", "give --block NAME FILE or --flash IMAGE");
        sectorsmith::BlockJobParams p;
        p.check_block_size = !o->no_size_check;
        std::string err;
        if (!o->flash.empty()) {
            p.block_id = sectorsmith::kWholeFlashId;
        } else if (!sectorsmith::parse_block(o->block, &p.block_id, &err)) {
            std::fprintf(stderr, "error: %s\n", err.c_str());
            throw CLI::RuntimeError(cli_exit::kUsage);
        }
        const std::string& path = o->flash.empty() ? o->file : o->flash;
        if (!read_input(path, &p.image))
            throw CLI::RuntimeError(cli_exit::kInput);
        std::printf("%s: %zu bytes for %s\n", path.c_str(), p.image.size(),
                    o->flash.empty() ? ("block " + hex_id(p.block_id)).c_str() : "the whole flash");
        std::vector<std::string> ports;
        std::vector<int> types;
        if (!ports_of(*o, &ports, &types))
            throw CLI::RuntimeError(cli_exit::kUsage);
        int rc;
        if (ports.size() > 1) {
            rc = run_block_many(*o, ports, types, p);
        } else {
            o->port = ports[0];
            o->project_type = types[0];
            sectorsmith::BlockJobResult r;
            rc = run_block_job(*o, std::move(p), &r);
            if (rc == cli_exit::kOk)
                std::printf("OK\n");
        }
        if (rc)
            throw CLI::RuntimeError(rc);
    });
});

static CliCommandRegistrar reg_slave_info([](CLI::App& app) {
    auto o = std::make_shared<BlockCliOptions>();
    auto* sub = app.add_subcommand("slave-info", "List the blocks an STB's flash holds (its upgrade client's slave info)");
    add_common(sub, *o);
    sub->add_flag("--json", o->json, "Print the list as JSON");
    sub->callback([o] {
        std::vector<std::string> ports;
        std::vector<int> types;
        if (!ports_of(*o, &ports, &types))
            throw CLI::RuntimeError(cli_exit::kUsage);
        if (ports.size() > 1) {
            std::fprintf(stderr, "error: slave-info lists the blocks of one box: give one port\n");
            throw CLI::RuntimeError(cli_exit::kUsage);
        }
        o->port = ports[0];
        o->project_type = types[0];
        sectorsmith::BlockJobParams p;
        p.slave_info_only = true;
        sectorsmith::BlockJobResult r;
        // With --json the list alone goes to standard output, the log to standard error.
        std::fflush(stdout);
        const int saved = o->json ? ::dup(STDOUT_FILENO) : -1;
        if (saved >= 0)
            ::dup2(STDERR_FILENO, STDOUT_FILENO);
        int rc = run_block_job(*o, std::move(p), &r);
        std::fflush(stdout);
        if (saved >= 0) {
            // Standard output stays on standard error: console text the
            // box sends late must not land in the list.
            if (r.have_slave) {
                const std::string list = blocks_json(r.slave, "") + "\n";
                for (size_t done = 0; done < list.size();) {
                    const ssize_t n = ::write(saved, list.data() + done, list.size() - done);
                    if (n <= 0)
                        break;
                    done += size_t(n);
                }
            }
            ::close(saved);
        } else if (r.have_slave) {
            print_blocks(r.slave);
        }
        if (rc)
            throw CLI::RuntimeError(rc);
    });
});
