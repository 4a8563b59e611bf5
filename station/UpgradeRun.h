// What corvane-cli upgrade, dump and station share: their settings, the JSON
// of one box's result, its exit status, and one job run on a box of a
// multi-port run.
#pragma once

#include "JsonText.h"
#include "MultiPort.h"

#include "UpgJob.h"

#include <cstdio>
#include <fstream>
#include <functional>
#include <string>

namespace upgrade_cli {

struct CommonOptions {
    multiport::PortOptions ports;
    std::vector<int> project_types;  // every --project-type, in order
    std::string port;  // the one port of a single-box run
    int project_type = 0;  // ... and its project type
    int baud = 115200;
    std::string report;
    int64_t reset_timeout_s = 300;
    double pause_scale = 1.0;
    multiport::LineFlags line;
};

// The ports of the run and the project type of each: a port list's own
// word, else the one --project-type, else the --project-type of the same
// place in the order of the ports. On a usage error: the message printed,
// false.
bool ports_of(const CommonOptions& o, std::vector<std::string>* ports, std::vector<int>* types,
              const std::vector<int>& allowed = bootlink::all_project_types());

// --reset-timeout in milliseconds (beyond a few years: for ever).
int64_t reset_wait_ms(const CommonOptions& o);

// What the job put on the line: the dump's chunks or the upgrade's frames.
const bootlink::WireStats& wire_of(const reflasher::UpgJobResult& r, bool is_dump);

// The members of one box's JSON report, each on a line of its own that
// begins with `indent`: ok, error, failed_step, cancelled, warnings,
// phases, transfer, and the sizes of an upgrade.
std::string result_members(const reflasher::UpgJobResult& r, bool is_dump, const std::string& indent);

// The job of an upgrade from IMAGE: the padded image loaded (its size told).
// cli_exit::kOk, or kInput with the message printed.
int upgrade_params(const std::string& image, int user_limit, reflasher::UpgJobParams* params);

// Compresses the image of an upgrade once for every box of a run (each job
// would otherwise do it again). False, with the message printed, when it
// cannot be compressed.
bool compress_once(reflasher::UpgJobParams& params);

// Runs the job of `params` on `box` (called on the box's own thread, with its
// port open).
reflasher::UpgJobResult run_on_box(multiport::Box& box, reflasher::UpgJobParams params, const CommonOptions& o);

// "OK" or "FAILED at STEP: why".
std::string outcome_line(const reflasher::UpgJobResult& r);

// The job context of a box: its observer, cancel events, service, pauses.
bootlink::JobContext box_context(multiport::Box& box, double pause_scale);

// Writes `body` as the report `path` (nothing when `path` is empty).
void write_report(const std::string& path, const std::string& body);

// What a boot-ROM command gives the runner: its job on one box and the JSON
// members of one box's result. How a box's job ended is what the job told
// by its result.
template <class Result>
struct BootJob {
    std::function<Result(multiport::Box&)> run;
    std::function<std::string(const Result&, size_t box, const std::string& indent)> members;
    std::function<void(Result&, const std::string& why)> port_failed;  // a port that did not open
    bool say_ok = true;  // the one box's "OK" is printed too
    line::JobStart label;  // the job's row in the line database
    std::vector<int> types;  // each box's project type, for its row
};

// Runs `job` on every port: the intro, every box's warnings and outcome, the
// report (one box: its members; several: {ok, boxes}) and, for several, the
// count. The exit status of the run; the results in `*results`.
template <class Result>
int run_boot_job(const CommonOptions& o, const std::vector<std::string>& ports, const BootJob<Result>& job,
                 std::vector<Result>* results)
{
    multiport::BoxRun run(ports);
    results->assign(ports.size(), Result{});
    if (int rc = run.record(o.line, job.label, [&](const multiport::Box& b, line::JobStart& j) {
            if (b.index < job.types.size())
                j.project_type = job.types[b.index];
        }))
        return rc;
    const int rc = run.run(
        o.baud,
        [&](multiport::Box& box) {
            Result& r = (*results)[box.index] = job.run(box);
            box.report = "{\n" + job.members(r, box.index, "  ") + "\n}";
            for (const std::string& w : r.warnings)
                run.console.event(box.index, "warning: " + w);
            const std::string line = r.ok ? "OK" : std::string("FAILED at ") + r.failed_step() + ": " + r.error;
            if (!r.ok || job.say_ok || !run.one())
                run.console.event(box.index, line);
            box.view.show_result(line);
            return box.view.result().kind;
        },
        "Waiting for the STB on " + ports[0] + ": please reset the STB (power it off and on).",
        "Waiting for the STBs on " + std::to_string(ports.size()) +
            " ports: please reset each STB (power it off and "
            "on).");
    int good = 0;
    std::string body = run.one() ? "{\n" + job.members((*results)[0], 0, "  ") + "\n}\n" : std::string();
    for (size_t i = 0; i < ports.size(); ++i) {
        if (!run.boxes[i]->open_error.empty())
            job.port_failed((*results)[i], run.boxes[i]->open_error);
        good += run.boxes[i]->status == 0;
        if (!run.one())
            body += std::string(i ? "," : "") + "\n    {\n      \"port\": " + kv_json::quoted(ports[i]) + ",\n" +
                    job.members((*results)[i], i, "      ") + "\n    }";
    }
    if (!run.one()) {
        body = std::string("{\n  \"ok\": ") + (rc == 0 ? "true" : "false") + ",\n  \"boxes\": [" + body + "\n  ]\n}\n";
        std::printf("%zu boxes: %d OK, %zu failed\n", ports.size(), good, ports.size() - size_t(good));
    }
    if (!run.one() || run.boxes[0]->open_error.empty())
        write_report(o.report, body);
    return rc;
}

}  // namespace upgrade_cli
