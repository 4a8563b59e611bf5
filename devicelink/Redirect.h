// Runs an outside program and tells whether it still runs.
//
// The command line is split into words the way a Windows command line is
// (blanks separate words, double quotes group them, \" is a quote) and the
// program is started directly: no shell ever sees the line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CRedirect {
public:
    explicit CRedirect(void* owner = nullptr);
    ~CRedirect();
    CRedirect(const CRedirect&) = delete;
    CRedirect& operator=(const CRedirect&) = delete;

    // Starts the program; nonzero on success. `hidden` is kept for callers.
    int StartChildProcess(const std::string& command_line, int hidden = 0);
    // Nonzero while the program runs.
    int IsChildRunning();
    // Exit code once it ended (-1 while running or when killed by a signal).
    int ExitCode() const { return m_exitCode; }
    // Ends the program if it still runs.
    void Terminate();

    static std::vector<std::string> SplitCommandLine(const std::string& line);

private:
    intptr_t m_pid = -1;  // the process id (POSIX) or the process handle (Windows)
    int m_exitCode = -1;
};
