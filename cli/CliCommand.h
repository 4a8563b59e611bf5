// Sub-commands of corvane-cli register themselves: each cmd_*.cpp holds one
//
//   static CliCommandRegistrar reg([](CLI::App& app) {
//       auto* sub = app.add_subcommand("name", "what it does");
//       ...
//       sub->callback([...] { int rc = run(...); if (rc) throw CLI::RuntimeError(rc); });
//   });
//
// and the main program sets them all up in file-name order.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <vector>

using CliSetup = std::function<void(CLI::App&)>;

std::vector<CliSetup>& cli_registry();

struct CliCommandRegistrar {
    explicit CliCommandRegistrar(CliSetup setup) { cli_registry().push_back(std::move(setup)); }
};
