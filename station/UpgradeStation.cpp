#include "UpgradeStation.h"

#include "BringUp.h"
#include "ExitStatus.h"
#include "JsonText.h"
#include "StationJournal.h"

#include <cstdio>
#include <unistd.h>

namespace upgrade_cli {

namespace {

// How long a job waits for the box whose announcement the station saw: the
// boot ROM repeats it until the host talks.
constexpr int64_t kAnnouncedBoxWaitMs = 30000;

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
                          const CommonOptions& o, station::Journal& journal,
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
        reflasher::UpgJobResult r = run_on_box(box, std::move(p), o);
        const std::string end = station::utc_now();
        const JobErrorKind kind = r.ok                     ? JobErrorKind::None
                                  : r.cancelled            ? JobErrorKind::Cancelled
                                  : box.view.result().ok() ? JobErrorKind::Failed
                                                           : box.view.result().kind;
        box.trace.end(kind, "{\n" + result_members(r, false, "  ") + "\n}");
        if (!journal.append(journal_line(box.port, n, start, end, r)))
            console.event(box.index, "error: the journal line of box " + std::to_string(n) + " was not written");
        cancelled = r.cancelled;
        (r.ok ? count.done : count.failed) += cancelled ? 0 : 1;
        box.view.set_counts(count.done, count.failed, count.per_hour());
        console.event(box.index,
                      "box " + std::to_string(n) + ": " + outcome_line(r) + " (" + count.text() + ")");
    }
    if (cancelled)
        return JobErrorKind::Cancelled;
    return count.failed ? JobErrorKind::Failed : JobErrorKind::None;
}

// Every box of a port needs the same STB-side files: one that is missing
// would fail each box reset on that port, box after box, so the station does
// not start without them.
bool stb_files_present(const std::vector<int>& types)
{
    const bootlink::JobContext ctx;
    for (int type : types) {
        const bootlink::Platform& p = bootlink::platform(type);
        const std::string missing = bootlink::missing_bring_up_file(ctx, p);
        if (!missing.empty()) {
            std::fprintf(stderr, "error: cannot read %s, which every %s box needs: no box was started\n",
                         missing.c_str(), p.name);
            return false;
        }
    }
    return true;
}

}  // namespace

int run_station(const StationSettings& so, reflasher::UpgJobParams params)
{
    const CommonOptions& o = so.common;
    std::vector<std::string> ports;
    std::vector<int> types;
    if (!ports_of(o, &ports, &types))
        return cli_exit::kUsage;
    for (const std::string& p : ports)
        if (!multiport::pause_scale_allowed(o.pause_scale, p))
            return cli_exit::kUsage;
    if (!stb_files_present(types) || !compress_once(params))
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


}  // namespace upgrade_cli
