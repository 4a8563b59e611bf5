// The terminal and the machine a program runs on, where POSIX and Windows
// differ (Console.cpp, ConsoleWin32.cpp).
#pragma once

#include <string>
#include <vector>

namespace kv {

// The width of the terminal standard output goes to; 0 when it is no terminal.
int console_columns();
// Waits up to `timeout_ms` for standard input: 1 when a read would not block,
// 0 when nothing came in time, -1 when the input failed.
int stdin_ready(int timeout_ms);
// The machine's name; empty when it has none.
std::string machine_name();
// The program's arguments as UTF-8 (on Windows from the wide command line,
// since argv holds them in the ANSI code page, which loses most names), and
// a console set to show UTF-8 text.
std::vector<std::string> utf8_command_line(int argc, char** argv);

}  // namespace kv
