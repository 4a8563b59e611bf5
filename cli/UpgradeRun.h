// What corvane-cli upgrade, dump and station share: their options, the JSON
// of one box's result, its exit status, and one job run on a box of a
// multi-port run.
#pragma once

#include "MultiPort.h"

#include "UpgJob.h"

#include <CLI/CLI.hpp>

#include <string>

namespace upgrade_cli {

struct CommonOptions {
    multiport::PortOptions ports;
    std::vector<int> project_types;  // every --project-type, in order
    std::string port;                // the one port of a single-box run
    int project_type = 0;            // ... and its project type
    int baud = 115200;
    std::string report;
    int64_t reset_timeout_s = 300;
    double pause_scale = 1.0;
};

// --port/--ports-from, --project-type, --baud, --pause-scale and, for a
// run that ends (not a station), --report and --reset-timeout.
void add_common(CLI::App* sub, CommonOptions& o, bool one_run = true);

// The ports of the run and the project type of each: a port list's own
// word, else the one --project-type, else the --project-type of the same
// place in the order of the ports. On a usage error: the message printed,
// false.
bool ports_of(const CommonOptions& o, std::vector<std::string>* ports, std::vector<int>* types);

// --reset-timeout in milliseconds (beyond a few years: for ever).
int64_t reset_wait_ms(const CommonOptions& o);

// What the job put on the line: the dump's chunks or the upgrade's frames.
const bootlink::WireStats& wire_of(const reflasher::UpgJobResult& r, bool is_dump);

// The members of one box's JSON report, each on a line of its own that
// begins with `indent`: ok, error, failed_step, cancelled, warnings,
// phases, transfer, and the sizes of an upgrade.
std::string result_members(const reflasher::UpgJobResult& r, bool is_dump, const std::string& indent);

// The exit status of a finished job.
int exit_status(const reflasher::UpgJobResult& r);

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

}  // namespace upgrade_cli
