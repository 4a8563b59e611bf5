// The customer configuration of an old-layout image: its script's items,
// fields and values listed, or the edits applied and the new image written.
#pragma once

#include "ImageSteps.h"

#include <string>
#include <vector>

namespace tessel {

struct OldEdit {
    std::string image, script, output, configs, abs_key, address, byte, code_page;
    std::vector<std::string> sets, files;  // ITEM.FIELD=VALUE, ITEM=PATH
};

// What an edit tells: the listing or the core's last message (for standard
// output) and the warnings of the generation.
struct OldEditText {
    std::string out;
    std::vector<std::string> warnings;
};

// Without an output the fields are listed (and no edit may be given); else
// the edits are applied and the image written.
StepResult run_old_edit(const OldEdit& a, OldEditText* text);

}  // namespace tessel
