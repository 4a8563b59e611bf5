// The blocks a box listed, as text: a table for people and JSON for scripts.
#pragma once

#include "SlaveInfo.h"

#include <string>

namespace sectorsmith {

// "0x88".
std::string hex_id(unsigned id);

// The list as a JSON array, one entry a line, each line after the first
// beginning with `indent`: id, kind, name, offset, size.
std::string blocks_json(const SlaveInfo& s, const std::string& indent);

// The list as a table: ID, KIND, OFFSET, SIZE, NAME, a heading line first.
std::string blocks_table(const SlaveInfo& s);

}  // namespace sectorsmith
