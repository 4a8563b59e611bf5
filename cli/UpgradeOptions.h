// The options of upgrade, dump, the boot-ROM commands and station.
#pragma once

#include "UpgradeRun.h"

#include <CLI/CLI.hpp>

namespace upgrade_cli {

// --port/--ports-from, --project-type, --baud, --pause-scale and, for a
// run that ends (not a station), --report and --reset-timeout.
void add_common(CLI::App* sub, CommonOptions& o, bool one_run = true);
// The same for a command of its own project types; `report` tells what its
// report holds.
void add_common(CLI::App* sub, CommonOptions& o, const std::vector<int>& types, const std::string& report,
                const CLI::Validator& type_check);

}  // namespace upgrade_cli
