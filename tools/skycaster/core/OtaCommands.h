// The three stream pages as commands: their values as typed on the page
// (hexadecimal), the image, and the run that writes the stream. The caller
// prints the outcome and exits with its kind.
#pragma once

#include "OtaStreamSteps.h"

#include <string>
#include <vector>

namespace ota {

// What every stream command takes: the image, the output and compression.
struct StreamJob {
    std::string image;
    StreamOutput out;
    bool compress = false;
};

// The DVBS page.
struct DvbsValues {
    std::string pid = "160", oui = "1000", sw_version = "2000", hw_version = "AAAA", sw_model = "20", hw_model = "A0",
                mode = "FF";
};

// The ABS page; `error_case` names one of abs_error_case_names() (empty: a
// good stream).
struct AbsValues {
    std::string pid = "0160", manufacturer = "22", hardware = "02", model = "02", sw_version = "0001", pmt_pid = "0333",
                error_case;
    bool force = false;
};

// The DSM-CC page: its PID and up to 32 groups in their key=value form
// (none: one group from the defaults and the job's image).
struct DsmccValues {
    std::string pid;
    std::vector<std::string> groups;
    bool force = false, split = false, size_change = false;
    std::string original_size = "4M", update_size = "4M";
};

StepOutcome write_dvbs_stream(const StreamJob& j, const DvbsValues& d);
StepOutcome write_abs_stream(const StreamJob& j, const AbsValues& a);
StepOutcome write_dsmcc_stream(const StreamJob& j, const DsmccValues& d);

}  // namespace ota
