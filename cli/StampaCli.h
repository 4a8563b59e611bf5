// What corvane-cli stampa and station stampa share: the options, the setup
// of a run (platform, burn log, codes), its report and exit status, and the
// production lines of several ports that draw their codes from one list.
#pragma once

#include "MultiPort.h"
#include "StationJournal.h"

#include "BurnLog.h"
#include "StampaPage.h"
#include "StampaPass.h"

#include <CLI/CLI.hpp>

#include <memory>
#include <string>
#include <vector>

namespace stampa_cli {

struct StampaOptions {
    multiport::PortOptions ports;
    std::string port;  // the one port of a single-line run
    std::string platform;
    std::string log;
    std::string code;
    std::string start;
    int count = 1;
    int step = 1;
    std::string base = "dec";
    std::string code_file;
    int width = -1;
    bool overwrite = false;
    std::string reuse;  // a code logged "Failed" that the operator burns again
    std::string report;
    int reset_timeout_s = 0;
    double pause_scale = 1.0;
    int baud = 115200;
    std::string journal;  // station: one JSON line per box
    std::string series;  // codes from this series of the line database
    multiport::LineFlags line;
};

// The options of `stampa`; a station takes --journal instead of --report,
// --count and --reset-timeout, and no single --code.
void add_options(CLI::App* sub, StampaOptions& o, bool station);

// The ports of the run (on a usage error: the message printed, false).
bool ports_of(const StampaOptions& o, std::vector<std::string>* ports);

// The platform, burn log, codes and pass settings of a run.
struct Setup {
    const stampa::PlatformInfo* info = nullptr;
    std::unique_ptr<stampa::BurnLog> log;
    stampa::CodeCursor codes;
    stampa::PassConfig cfg;
};
// Fills `s` from the options; on a usage or input error the message is
// printed and the exit status returned (0 when all is well).
int prepare(const StampaOptions& o, Setup& s);

const char* outcome_name(const stampa::PassResult& r);
// The JSON report; `ports` (may be null) names each result's port.
void write_report(const std::string& path, const StampaOptions& o, const std::vector<stampa::PassResult>& results,
                  const std::vector<std::string>* ports = nullptr);

// The check of "Start" on the command line: false, with the message printed,
// when the run may not begin.
bool start_allowed(const StampaOptions& o, const Setup& s);
// The operator's answer to burning a code again that a failed burn sent to a
// box: yes only for the code named with --reuse-failed.
bool reuse_allowed(const StampaOptions& o, const std::string& code);

// Several production lines at once, one per port, drawing their codes from
// one list so that no code goes to two boxes; a pass that failed before its
// code went to the box keeps the code for the line's next box. With `journal` it is a station: it runs until
// Ctrl+C (the first lets passes that reached a box finish, a second cancels
// them), writes a journal line per box and keeps a running count per port.
int run_lines(const StampaOptions& o, const std::vector<std::string>& ports, station::Journal* journal);

}  // namespace stampa_cli
