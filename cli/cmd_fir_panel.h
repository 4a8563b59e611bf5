// corvane-cli fir send / learn-keys / learn-led: the front-panel tool's
// exchanges with the panel program on a live box (cmd_fir_panel.cpp).
#pragma once

#include <CLI/CLI.hpp>

// Adds the sub-commands to the "fir" command.
void add_fir_panel_commands(CLI::App* fir);
