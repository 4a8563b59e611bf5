// A production run's settings and what comes before and after its lines: the
// platform, burn log and codes of the run, the check of "Start", the
// operator's answers and the JSON report.
#pragma once

#include "BurnLog.h"
#include "StampaPage.h"
#include "StampaPass.h"

#include "JobObserver.h"

#include <memory>
#include <string>
#include <vector>

namespace stampa {

struct RunSettings {
    std::string platform;
    std::string log;
    std::string code;
    std::string start;
    int count = 1;
    int step = 1;
    std::string base = "dec";
    std::string code_file;
    int width = -1;
    bool overwrite = false;
    std::string reuse;  // a code logged "Failed" that the operator burns again
    std::string report;
    int reset_timeout_s = 0;
    double pause_scale = 1.0;
    int baud = 115200;
    std::string journal;  // station: one JSON line per box
    std::string series;  // codes from this series of the line database
};

// The platform, burn log, codes and pass settings of a run.
struct Setup {
    const PlatformInfo* info = nullptr;
    std::unique_ptr<BurnLog> log;
    CodeCursor codes;
    PassConfig cfg;
};
// Fills `s` from the settings; on a usage or input error the message is
// printed and its kind returned (None when all is well).
JobErrorKind prepare(const RunSettings& o, Setup& s);

const char* outcome_name(const PassResult& r);
// The JSON report; `ports` (may be null) names each result's port.
void write_report(const std::string& path, const RunSettings& o, const std::vector<PassResult>& results,
                  const std::vector<std::string>* ports = nullptr);

// The check of "Start" on the command line: false, with the message printed,
// when the run may not begin.
bool start_allowed(const RunSettings& o, const Setup& s);
// The operator's answer to burning a code again that a failed burn sent to a
// box: yes only for the code named with --reuse-failed.
bool reuse_allowed(const RunSettings& o, const std::string& code);

}  // namespace stampa
