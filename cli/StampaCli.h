// The options corvane-cli stampa and station stampa share; their run is
// StampaLines.h.
#pragma once

#include "StampaLines.h"

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

namespace stampa_cli {

// The options of `stampa`; a station takes --journal instead of --report,
// --count and --reset-timeout, and no single --code.
void add_options(CLI::App* sub, StampaOptions& o, bool station);

// The ports of the run (on a usage error: the message printed, false).
bool ports_of(const StampaOptions& o, std::vector<std::string>* ports);

}  // namespace stampa_cli
