// Where the programs, the plug-ins and the data live.
//
// In a build tree everything sits in one folder: programs, plug-ins,
// corvane.ini, the STB-side files and the daily logs. An installed program
// (bin/corvane with lib/corvane/plugins beside it) cannot write its own
// folder, so its data live in $CORVANE_HOME, by default
// $XDG_DATA_HOME/corvane (~/.local/share/corvane). Plug-ins always load from
// the program's own folders, never from the data folder.
#pragma once

#include <string>
#include <vector>

namespace kv {

// The folder of the running executable, without a trailing slash.
std::string program_directory();
// <prefix>/lib/corvane/plugins when the program runs from <prefix>/bin and
// that folder exists; empty otherwise.
std::string installed_plugin_directory();
// The folders searched for plug-ins, in order: the program's own folder, then
// the installed plug-in folder (when there is one).
std::vector<std::string> plugin_directories();
// The data folder: $CORVANE_HOME when set, else the installed layout's
// per-user folder, else the program's folder.
std::string data_directory();
// Creates the data folder of an installed program on first start and fills it
// with the stand-in STB-side files installed in <prefix>/share/corvane/stb when
// it has none. Returns false with a reason when the folder cannot be made.
bool prepare_data_directory(std::string* error = nullptr);

}  // namespace kv
