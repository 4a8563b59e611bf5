// One generation of a preset-data image as a command runs it: the code page
// chosen, the workbook checked, the rows settled (all of them unless given)
// and the image written; how it ended and the lines to show.
#pragma once

#include "JobObserver.h"

#include <string>
#include <vector>

namespace presetta {

struct PresetRunRequest {
    std::string input, output;
    bool all_rows = true;  // without a row count, every row of the list
    int rows = 0;
    std::string code_page;  // empty: the settings' code page
};

struct PresetRunOutcome {
    JobErrorKind kind = JobErrorKind::None;
    std::string report;  // the report line, on success
    std::vector<std::string> errors;  // what went wrong, line by line
    std::vector<std::string> notes;  // warnings of a generation that succeeded
};

PresetRunOutcome RunPresetGeneration(const PresetRunRequest& r);

}  // namespace presetta
