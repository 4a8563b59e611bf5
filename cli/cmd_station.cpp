// corvane-cli station upgrade / station stampa: a production station. On every port it waits
// for a box's reset, upgrades it, records the result and waits for the next
// box on that port, until Ctrl+C; the first Ctrl+C lets running jobs finish,
// a second one cancels them. Every result is one JSON line of the journal,
// written and synced before the next box is taken.
#include "CliCommand.h"
#include "ExitStatus.h"
#include "JsonText.h"
#include "MultiPort.h"
#include "StampaCli.h"
#include "StationJournal.h"
#include "UpgradeOptions.h"

#include <cstdio>
#include <unistd.h>

namespace {

// How long a job waits for the box whose announcement the station saw: the
// boot ROM repeats it until the host talks.
constexpr int64_t kAnnouncedBoxWaitMs = 30000;

struct StationOptions {
    upgrade_cli::CommonOptions common;
    int user_limit = 1;
    std::string image;
    std::string journal;
};

const char* result_word(const reflasher::UpgJobResult& r) { return r.ok ? "ok" : r.cancelled ? "cancelled" : "failed"; }

std::string journal_line(const std::string& port, int box, const std::string& start, const std::string& end,
                         const reflasher::UpgJobResult& r)
{
    using kv_json::quoted;
    return "{\"port\": " + quoted(port) + ", \"box\": " + std::to_string(box) + ", \"start\": " + quoted(start) +
           ", \"end\": " + quoted(end) + ", \"result\": " + quoted(result_word(r)) +
           ", \"error\": " + quoted(r.ok ? "" : r.error) + ", \"failed_step\": " + quoted(r.failed_step()) + "}";
}

// Sets the line's rate (the boot ROM of some platforms talks at its own).
void set_rate(multiport::Box& box, int baud)
{
    serialport_config_tag cfg;
    cfg.baud_rate = baud;
    box.svc.SMS_ChangeBaudrate(cfg);
}

// One port of the station: box after box until told to stop.
JobErrorKind station_line(multiport::Box& box, const reflasher::UpgJobParams& params,
                          const upgrade_cli::CommonOptions& o, station::Journal& journal,
                          multiport::MultiConsole& console)
{
    station::LineCount count;
    bool cancelled = false;
    const int rom_baud = bootlink::platform(params.project_type).boot_rom_baud;
    for (int n = 1; !box.stop.load() && !cancelled; ++n) {
        box.view.OnPhase("waiting");
        box.view.OnStatus("reset the next box");
        // The announcement comes at the boot ROM's rate; the job starts from
        // the usual one, as it does for a single box.
        set_rate(box, rom_baud);
        int seen = box.svc.SMS_WaitAnnouncement(-1, &box.stop);
        set_rate(box, o.baud);
        if (seen == -1)
            break;
        if (seen != 1) {
            console.event(box.index, "error: the port is gone: " + box.svc.last_error());
            return JobErrorKind::Port;
        }
        reflasher::UpgJobParams p = params;
        p.reset_wait_ms = kAnnouncedBoxWaitMs;
        const std::string start = station::utc_now();
        if (box.recorder)
            box.trace.begin(box.recorder, box.label);
        reflasher::UpgJobResult r = upgrade_cli::run_on_box(box, std::move(p), o);
        const std::string end = station::utc_now();
        const JobErrorKind kind = r.ok                     ? JobErrorKind::None
                                  : r.cancelled            ? JobErrorKind::Cancelled
                                  : box.view.result().ok() ? JobErrorKind::Failed
                                                           : box.view.result().kind;
        box.trace.end(kind, "{\n" + upgrade_cli::result_members(r, false, "  ") + "\n}");
        if (!journal.append(journal_line(box.port, n, start, end, r)))
            console.event(box.index, "error: the journal line of box " + std::to_string(n) + " was not written");
        cancelled = r.cancelled;
        (r.ok ? count.done : count.failed) += cancelled ? 0 : 1;
        box.view.set_counts(count.done, count.failed, count.per_hour());
        console.event(box.index,
                      "box " + std::to_string(n) + ": " + upgrade_cli::outcome_line(r) + " (" + count.text() + ")");
    }
    if (cancelled)
        return JobErrorKind::Cancelled;
    return count.failed ? JobErrorKind::Failed : JobErrorKind::None;
}

int run_station(const StationOptions& so, reflasher::UpgJobParams params)
{
    const upgrade_cli::CommonOptions& o = so.common;
    std::vector<std::string> ports;
    std::vector<int> types;
    if (!upgrade_cli::ports_of(o, &ports, &types))
        return cli_exit::kUsage;
    for (const std::string& p : ports)
        if (!multiport::pause_scale_allowed(o.pause_scale, p))
            return cli_exit::kUsage;
    if (!upgrade_cli::compress_once(params))
        return cli_exit::kInput;
    station::Journal journal;
    std::string err;
    if (!so.journal.empty() && !journal.open(so.journal, &err)) {
        std::fprintf(stderr, "error: %s\n", err.c_str());
        return cli_exit::kInput;
    }
    multiport::LineLink link;
    if (int rc = link.open(o.line, so.journal))
        return rc;
    multiport::MultiConsole console(ports, ::isatty(STDOUT_FILENO) != 0);
    auto boxes = multiport::make_boxes(ports, console);
    for (auto& b : boxes) {
        link.attach(*b, multiport::job_label("upg", "upgrade", so.image), false);
        b->label.project_type = types[b->index];
    }
    console.note("Station on " + std::to_string(ports.size()) +
                 " ports: reset a box on any port to upgrade it. Ctrl+C stops taking boxes and lets running jobs "
                 "finish; a second Ctrl+C cancels them.");
    multiport::InterruptPlan plan;
    plan.first = [&console](multiport::Box& b) {
        if (!b.stop.exchange(true) && b.index == 0)
            console.note("Stopping: running jobs finish (Ctrl+C again cancels them).");
    };
    bool interrupted = multiport::run_boxes(
        boxes, o.baud,
        [&](multiport::Box& box) {
            reflasher::UpgJobParams p = params;
            p.project_type = types[box.index];
            return station_line(box, p, o, journal, console);
        },
        console, plan);
    (void)interrupted;  // the first Ctrl+C is how a station ends
    return multiport::combined_status(boxes, false);
}

}  // namespace

static CliCommandRegistrar reg_station([](CLI::App& app) {
    auto* station = app.add_subcommand("station", "A production station: flash box after box on every port");
    station->require_subcommand(1);
    auto so = std::make_shared<StationOptions>();
    auto* sub = station->add_subcommand("upgrade", "Upgrade every box that is reset on any of the ports");
    upgrade_cli::add_common(sub, so->common, false);
    sub->add_option("--user-limit", so->user_limit, "User-limit mode sent to the upgrade client (1 or 2)")
        ->capture_default_str()
        ->check(CLI::IsMember({1, 2}));
    sub->add_option("--journal", so->journal,
                    "Append every box's result to this file as one JSON line: port, box (its number on the port), "
                    "start, end (UTC), result (ok, failed or cancelled), error, failed_step");
    sub->add_option("IMAGE", so->image, "Flash image (padded with zeros to a multiple of 64 KiB)")
        ->required()
        ->check(CLI::ExistingFile);
    sub->footer("Runs until Ctrl+C. Exit status 0 when no box failed.");
    sub->callback([so] {
        reflasher::UpgJobParams p;
        int rc = upgrade_cli::upgrade_params(so->image, so->user_limit, &p);
        if (rc == cli_exit::kOk)
            rc = run_station(*so, std::move(p));
        if (rc)
            throw CLI::RuntimeError(rc);
    });

    auto st = std::make_shared<stampa_cli::StampaOptions>();
    auto* burn = station->add_subcommand("stampa", "Burn bar codes into every box that is reset on any of the ports");
    stampa_cli::add_options(burn, *st, true);
    burn->footer("Runs until Ctrl+C or until the codes run out; no code goes to two boxes, and a box that fails "
                 "leaves its code to the next box on its port. Exit status 0 when no box failed.");
    burn->callback([st] {
        if (st->start.empty() && st->code_file.empty() && st->series.empty()) {
            std::fprintf(stderr, "error: give --start, --code-file or --series\n");
            throw CLI::RuntimeError(cli_exit::kUsage);
        }
        std::vector<std::string> ports;
        if (!stampa_cli::ports_of(*st, &ports))
            throw CLI::RuntimeError(cli_exit::kUsage);
        station::Journal journal;
        std::string err;
        if (!st->journal.empty() && !journal.open(st->journal, &err)) {
            std::fprintf(stderr, "error: %s\n", err.c_str());
            throw CLI::RuntimeError(cli_exit::kInput);
        }
        int rc = stampa_cli::run_lines(*st, ports, &journal);
        if (rc)
            throw CLI::RuntimeError(rc);
    });
});
