// What the Tessel tab does that needs no window: the settings it reads, the
// block list as text and the step from a new-type image to its workbook.
#pragma once

#include "Tesselcore.h"

#include <string>
#include <vector>

namespace tessel {

// [Tessel] Internal_tool_control = 1 in corvane.ini (blanks ignored): the
// tab lets experts name their own script.
bool internal_mode_from_settings();

// The cells of a block-list row: ID, size, CRC, name, version, time.
std::vector<std::string> block_row_cells(const tessel_block_row_t& row);

// Unpacks the image's script (or reads the one at `script` when not empty)
// and writes the workbook. Empty on success, else what the user is told; the
// core's own message stays in last_message().
std::string write_new_workbook(CTesselcore& core, tag_dmh_block_node* node, const uint8_t* image, uint32_t len,
                               const std::string& script);

}  // namespace tessel
