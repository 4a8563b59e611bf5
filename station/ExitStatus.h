// One meaning for each exit status of corvane-cli, in every sub-command.
#pragma once

#include "JobObserver.h"

namespace cli_exit {

constexpr int kOk = 0;  // the job succeeded (the box confirmed, the file is complete)
constexpr int kFailed = 1;  // the job ran and failed: the box refused, a check failed, a step timed out
constexpr int kUsage = 2;  // bad options or arguments; nothing was done
constexpr int kInterrupted = 3;  // stopped by Ctrl+C or cancelled; nothing is reported as done
constexpr int kInput = 4;  // an input file is missing, unreadable or not valid; nothing was sent
constexpr int kPort = 5;  // the port could not be opened, or the connection to it was lost
constexpr int kNoBox = 6;  // no box announced itself within the reset time-out
constexpr int kDatabase = 7;  // the line database is unavailable; no box was touched

// The exit status of a job that ended with `kind`: the one table every
// device command goes by.
constexpr int of(JobErrorKind kind)
{
    switch (kind) {
    case JobErrorKind::None: return kOk;
    case JobErrorKind::Usage: return kUsage;
    case JobErrorKind::Cancelled: return kInterrupted;
    case JobErrorKind::Input: return kInput;
    case JobErrorKind::Port: return kPort;
    case JobErrorKind::NoBox: return kNoBox;
    case JobErrorKind::Database: return kDatabase;
    case JobErrorKind::Failed: break;
    }
    return kFailed;
}

// The text every --help ends with.
inline constexpr const char* kHelpFooter =
    "Exit status: 0 success, 1 failed, 2 usage error, 3 interrupted, 4 bad input file, "
    "5 port error, 6 no box within the reset time-out, 7 line database unavailable.";

}  // namespace cli_exit
