// One cycle of an upgrade stream (PAT, PMT and the upgrade's sections, cut
// into packets) and how it is written out: repeated, with continuity counters
// that run on across the repetitions, as 188- or 204-byte packets, through a
// temporary file that is renamed when complete.
#pragma once

#include "TsPackets.h"
#include "AtomicFile.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace ota {

// Position and total of a long step.
using OtaProgress = std::function<void(uint64_t pos, uint64_t total)>;

struct OtaCycle {
    std::vector<uint8_t> packets;  // 188-byte packets, continuity counters 0
    uint16_t data_pid = 0;
    uint16_t pmt_pid = 0;
    uint16_t program_number = 1;
    bool pmt_pid_fixed = false;  // chosen by the user: a merge must not move it
    std::vector<PmtStream> streams;  // what the PMT announces
    size_t packet_count() const { return packets.size() / kTsPacketSize; }
    // Empty again, keeping the packet buffer's memory for the next stream.
    void reset()
    {
        packets.clear();
        streams.clear();
        data_pid = pmt_pid = 0;
        program_number = 1;
        pmt_pid_fixed = false;
    }
};

// PAT and PMT come first and again after every kPsiInterval packets.
inline constexpr size_t kPsiInterval = 64;
inline constexpr uint16_t kDefaultProgramNumber = 1;
inline constexpr uint16_t kDefaultTransportStreamId = 1;

// Fills a cycle: the PAT and PMT of its program, interleaved with the
// sections put on the data PID.
class CycleBuilder {
public:
    explicit CycleBuilder(OtaCycle& cycle);
    void put_section(const uint8_t* sec, size_t len);
    void put_section(const std::vector<uint8_t>& sec) { put_section(sec.data(), sec.size()); }

private:
    void put_psi();

    OtaCycle& m_cycle;
    TsPacketizer m_packets;
    std::vector<uint8_t> m_pat, m_pmt;
    size_t m_sincePsi = 0;
};

// The PMT section of a cycle's program with the given PMT PID and number.
std::vector<uint8_t> cycle_pmt(const OtaCycle& cycle, uint16_t program_number);

struct StreamLayout {
    int packet_size = 188;  // 188 or 204
    uint32_t repeat = 1;  // the carousel within the stream
    uint32_t loops = 1;  // the whole stream
};
inline constexpr uint32_t kMaxRepeat = 255;
inline constexpr uint32_t kMaxLoops = 255;
// Empty when the layout can be written, else why not.
std::string check_layout(const StreamLayout& layout);

// A file written under a temporary name beside its final name and renamed
// into place by commit(); dropped unless committed.
using StagedFile = kv::AtomicFile;

// Writes the cycle repeat × loops times. 1 on success, 0 with a message.
// The cycle's continuity counters are stamped in place.
int write_cycle(OtaCycle& cycle, const StreamLayout& layout, const std::string& path, const OtaProgress& progress,
                std::string& error);

}  // namespace ota
