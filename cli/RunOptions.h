// The options every device command shares: --port/--ports-from and the
// line database's --db, --no-db and --station.
#pragma once

#include "MultiPort.h"

#include <CLI/CLI.hpp>

namespace multiport {

// Adds --port (repeatable) and --ports-from to `sub`; one of them is needed.
void add_port_options(CLI::App* sub, PortOptions& o);

// --db, --no-db and --station.
void add_line_options(CLI::App* sub, LineFlags& o);

}  // namespace multiport
