// The steps of the old-layout configuration command: the image loaded and
// checked to be of the old layout, the script's items and fields told as
// text with their values, ITEM.FIELD=VALUE settings applied, and
// ITEM=PATH block files turned into the generation's file list.
#pragma once

#include "ImageSteps.h"
#include "OldLayoutConfig.h"

#include <string>
#include <vector>

namespace tessel {

// Reads the image through `core` (its code page set first when
// `code_page` is not empty); refuses a new-layout image.
StepResult load_old_image(CTesselcore& core, const std::string& path, const std::string& code_page,
                          tessel_image_t* img);

// Every item of the script with its fields and their values in `image`.
std::string old_config_listing(CTesselOldConfig& cfg, const std::vector<uint8_t>& image);

// Each "ITEM.FIELD=VALUE" set into the image, the item's CRC renewed.
StepResult apply_field_settings(CTesselOldConfig& cfg, const std::vector<std::string>& sets,
                                std::vector<uint8_t>& image);

// Each "ITEM=PATH" for an item filled from a file, into req->files.
StepResult add_block_files(CTesselOldConfig& cfg, const std::vector<std::string>& files, old_generate_t* req);

}  // namespace tessel
