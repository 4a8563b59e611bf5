// Transport-stream packets and MPEG-2 sections: the long section form with
// its CRC, sections cut into packets, PAT and PMT, continuity counters, and a
// reader that puts sections back together from packets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

namespace ota {

inline constexpr size_t kTsPacketSize = 188;
inline constexpr size_t kTsParitySize = 16;  // a 204-byte packet: 188 bytes and 16 bytes of parity space
inline constexpr uint8_t kTsSync = 0x47;
inline constexpr uint16_t kPatPid = 0x0000;
inline constexpr uint16_t kNullPid = 0x1FFF;
inline constexpr uint16_t kMaxPid = 0x1FFF;
inline constexpr size_t kMaxSectionSize = 4096;  // 3-byte header and at most 4093 bytes

// The fields of a packet header.
inline uint16_t ts_pid(const uint8_t* pkt) { return static_cast<uint16_t>((pkt[1] & 0x1F) << 8 | pkt[2]); }
inline bool ts_unit_start(const uint8_t* pkt) { return (pkt[1] & 0x40) != 0; }
inline bool ts_has_payload(const uint8_t* pkt) { return (pkt[3] & 0x10) != 0; }
inline uint8_t ts_cc(const uint8_t* pkt) { return pkt[3] & 0x0F; }
// Offset of the payload in a 188-byte packet; 0 when it has none or the
// adaptation field is malformed.
size_t ts_payload_offset(const uint8_t* pkt);
// Writes a 4-byte header with payload only and continuity counter 0.
void ts_put_header(uint8_t* pkt, uint16_t pid, bool unit_start);

// Appends one long-form section (syntax indicator 1): header, body and the
// MPEG-2 CRC-32. The body must leave the section within kMaxSectionSize.
struct SectionHeader {
    uint8_t table_id = 0;
    bool private_indicator = false;
    uint16_t extension = 0;
    uint8_t version = 0;  // 5 bits
    uint8_t section_number = 0;
    uint8_t last_section_number = 0;
};
void append_section(std::vector<uint8_t>& out, const SectionHeader& h, const uint8_t* body, size_t len);
// The same with a body in two pieces (a message header and its data).
void append_section(std::vector<uint8_t>& out, const SectionHeader& h, const uint8_t* head, size_t head_len,
                    const uint8_t* body, size_t len);
inline std::vector<uint8_t> make_section(const SectionHeader& h, const std::vector<uint8_t>& body)
{
    std::vector<uint8_t> s;
    append_section(s, h, body.data(), body.size());
    return s;
}
// Recomputes the CRC of a complete section in place.
void reseal_section(uint8_t* sec, size_t len);
// The length a section announces (3 + section_length), 0 when too short.
size_t section_total_length(const uint8_t* sec, size_t avail);
// True when the section has the long form and its CRC checks.
bool section_crc_ok(const uint8_t* sec, size_t len);

// Cuts sections into 188-byte packets appended to a buffer: each section
// starts a packet (pointer field 0), the rest of its last packet is stuffed
// with 0xFF. Continuity counters are left 0 (see CcStamper).
class TsPacketizer {
public:
    explicit TsPacketizer(std::vector<uint8_t>& out) : m_out(out) {}
    void put_section(uint16_t pid, const uint8_t* sec, size_t len);
    void put_section(uint16_t pid, const std::vector<uint8_t>& sec) { put_section(pid, sec.data(), sec.size()); }
    // Packets the given section length takes.
    static size_t packets_for(size_t section_len);

private:
    std::vector<uint8_t>& m_out;
};

// Program association and program map sections.
struct PatEntry {
    uint16_t program_number = 0;
    uint16_t pmt_pid = 0;
};
std::vector<uint8_t> make_pat(uint16_t transport_stream_id, uint8_t version, const std::vector<PatEntry>& programs);

struct PmtStream {
    uint8_t stream_type = 0;
    uint16_t pid = 0;
    std::vector<uint8_t> es_info;  // descriptors
};
std::vector<uint8_t> make_pmt(uint16_t program_number, uint8_t version, uint16_t pcr_pid,
                              const std::vector<PmtStream>& streams);

// Parsed PAT and PMT (from a section whose CRC was checked).
bool parse_pat(const uint8_t* sec, size_t len, uint16_t* tsid, std::vector<PatEntry>* programs);
bool parse_pmt(const uint8_t* sec, size_t len, uint16_t* program_number, std::vector<PmtStream>* streams);

// Gives every packet with payload the next continuity counter of its PID.
class CcStamper {
public:
    void stamp(uint8_t* pkt)
    {
        if (!ts_has_payload(pkt))
            return;
        const uint16_t pid = ts_pid(pkt);
        if (pid == kNullPid)
            return;
        pkt[3] = static_cast<uint8_t>((pkt[3] & 0xF0) | m_next[pid]);
        m_next[pid] = (m_next[pid] + 1) & 0x0F;
    }

private:
    uint8_t m_next[kMaxPid + 1] = {};
};

// Puts the sections of one PID back together. A continuity error, a section
// longer than kMaxSectionSize or a packet that cannot be read drops the
// section being collected (counted in errors()).
class SectionAssembler {
public:
    using Sink = std::function<void(const uint8_t* sec, size_t len)>;
    void feed(const uint8_t* pkt, const Sink& sink);
    uint64_t continuity_errors() const { return m_ccErrors; }
    uint64_t dropped() const { return m_dropped; }

private:
    void take(const uint8_t* p, size_t n, const Sink& sink);
    void drain(const Sink& sink);

    std::vector<uint8_t> m_buf;
    bool m_collecting = false;
    int m_lastCc = -1;
    uint64_t m_ccErrors = 0;
    uint64_t m_dropped = 0;
};

}  // namespace ota
