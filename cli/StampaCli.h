// What corvane-cli stampa and station stampa share: the options and the
// production lines of several ports that draw their codes from one list.
#pragma once

#include "MultiPort.h"
#include "StationJournal.h"

#include "ProductionRun.h"

#include <CLI/CLI.hpp>

#include <memory>
#include <string>
#include <vector>

namespace stampa_cli {

struct StampaOptions : stampa::RunSettings {
    multiport::PortOptions ports;
    std::string port;  // the one port of a single-line run
    multiport::LineFlags line;
};

// The options of `stampa`; a station takes --journal instead of --report,
// --count and --reset-timeout, and no single --code.
void add_options(CLI::App* sub, StampaOptions& o, bool station);

// The ports of the run (on a usage error: the message printed, false).
bool ports_of(const StampaOptions& o, std::vector<std::string>* ports);

// Several production lines at once, one per port, drawing their codes from
// one list so that no code goes to two boxes; a pass that failed before its
// code went to the box keeps the code for the line's next box. With `journal` it is a station: it runs until
// Ctrl+C (the first lets passes that reached a box finish, a second cancels
// them), writes a journal line per box and keeps a running count per port.
int run_lines(const StampaOptions& o, const std::vector<std::string>& ports, station::Journal* journal);

}  // namespace stampa_cli
