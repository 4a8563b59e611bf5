// What the configuration tool's commands do to a loaded image: its workbook
// written, a new image built from an edited workbook, one block saved or
// replaced, the configuration area of an old-layout image exported. Each
// ends as a step: None (the core's last message tells what was written), or
// its kind and what the user is told.
#pragma once

#include "ImageSteps.h"

#include <string>

namespace tessel {

// `ini` names the settings file the workbook steps read (empty: corvane.ini
// in the program folder); a failure names it when it is missing.
StepResult write_image_workbook(LoadedImage& l, const std::string& out, const std::string& ini);
StepResult build_from_workbook(LoadedImage& l, const std::string& workbook, const std::string& out,
                               const std::string& ini);

StepResult save_image_block(LoadedImage& l, const std::string& name, uint8_t id, const std::string& out);
// Replaces the block by `file` and writes the new image to `out`.
StepResult load_image_block(LoadedImage& l, const std::string& name, uint8_t id, const std::string& file,
                            const std::string& out);
StepResult export_config_area(LoadedImage& l, const std::string& out);

}  // namespace tessel
