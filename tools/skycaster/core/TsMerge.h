// Merging an upgrade into an existing transport stream: every packet of the
// stream keeps its place; the upgrade's packets and the PMT of its program
// take the places of null packets; the PAT gains the upgrade's program.
#pragma once

#include "OtaStream.h"

#include <cstdint>
#include <string>

namespace ota {

struct MergeReport {
    int packet_size = 0;
    uint64_t packets = 0;  // of the stream merged into
    uint64_t null_packets = 0;  // of which null
    uint64_t upgrade_packets = 0;  // placed: data and PMT
    uint16_t pmt_pid = 0;
    uint16_t program_number = 0;
};

// Writes `out_path` from the stream at `into_path` and the cycle's data
// carried `repeat` times. 1 on success, 0 with a message (nothing written).
int merge_cycle_into(const OtaCycle& cycle, uint32_t repeat, const std::string& into_path, const std::string& out_path,
                     const OtaProgress& progress, std::string& error, MergeReport* report = nullptr);

}  // namespace ota
