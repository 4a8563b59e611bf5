// Reads an upgrade stream back as a receiver would: finds the upgrade through
// PAT and PMT, puts the sections together, checks every CRC and continuity
// counter, rebuilds each group's image from its modules and checks it.
#pragma once

#include <string>
#include <vector>

namespace ota {

struct InspectResult {
    bool ok = false;  // an upgrade was found and every check passed
    std::vector<std::string> lines;  // what was found, one line each
    std::string error;  // the file could not be read at all
};

InspectResult inspect_ota_stream(const std::string& path);

}  // namespace ota
