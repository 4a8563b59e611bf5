#include "TsMerge.h"

#include "ByteOrder.h"
#include "TsFileReader.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <set>

namespace ota {
namespace {

// Where the PAT section of a packet lies: it must start and end in that
// packet, with only stuffing after it.
struct PatSlot {
    size_t offset = 0;
    size_t length = 0;
};

bool locate_pat(const uint8_t* pkt, PatSlot& slot)
{
    const size_t off = ts_payload_offset(pkt);
    if (!off || !ts_unit_start(pkt))
        return false;
    kv::ByteReader in(pkt, kTsPacketSize);
    in.seek(off);
    const size_t start = off + 1 + in.u8();
    if (start + 3 > kTsPacketSize)
        return false;
    const kv::ByteReader rest = in.view(start, kTsPacketSize - start);
    const size_t len = section_total_length(rest.peek(), rest.size());
    if (start + len > kTsPacketSize || rest.view(0, 1).u8() != 0x00 || !section_crc_ok(rest.peek(), len))
        return false;
    for (kv::ByteReader after = rest.view(len, rest.size() - len); after.remaining() > 0;)
        if (after.u8() != 0xFF)
            return false;
    slot = {start, len};
    return true;
}

bool last_pat_section(const uint8_t* sec) { return sec[6] == sec[7]; }

// Decides what each null packet becomes: the PMT (after every PAT), else the
// next upgrade packet once the PMT has gone out whole, else it stays a null
// packet.
class NullScheduler {
public:
    enum Fill { Keep, Pmt, Data };
    NullScheduler(uint64_t data_packets, size_t pmt_packets) : m_dataLeft(data_packets), m_pmtPackets(pmt_packets) {}
    void on_pat()
    {
        if (m_pmtLeft == 0)
            m_pmtLeft = m_pmtPackets;
    }
    Fill on_null()
    {
        if (m_pmtLeft) {
            m_pmtIndex = m_pmtPackets - m_pmtLeft--;
            m_announced = m_announced || m_pmtLeft == 0;
            ++m_placed;
            return Pmt;
        }
        if (m_dataLeft && m_announced) {
            --m_dataLeft;
            ++m_placed;
            return Data;
        }
        return Keep;
    }
    size_t pmt_index() const { return m_pmtIndex; }
    uint64_t data_left() const { return m_dataLeft; }
    uint64_t placed() const { return m_placed; }

private:
    uint64_t m_dataLeft;
    size_t m_pmtPackets;
    size_t m_pmtLeft = 0;
    size_t m_pmtIndex = 0;
    uint64_t m_placed = 0;
    bool m_announced = false;
};

// What the first pass learns about the stream merged into.
struct StreamScan {
    std::vector<bool> used = std::vector<bool>(kMaxPid + 1, false);
    std::set<uint16_t> programs;
    std::set<uint16_t> pmt_pids;
    std::set<uint16_t> es_pids;
    uint64_t packets = 0, nulls = 0, pats = 0;
    std::string pat_problem;

    bool taken(uint16_t pid) const { return used[pid] || pmt_pids.count(pid) || es_pids.count(pid); }
};

void scan_pat_packet(const uint8_t* pkt, StreamScan& scan, std::map<uint16_t, SectionAssembler>& pmts)
{
    PatSlot slot;
    if (!locate_pat(pkt, slot)) {
        scan.pat_problem = "its PAT does not lie whole in single packets";
        return;
    }
    ++scan.pats;
    const kv::ByteReader pat = kv::ByteReader(pkt, kTsPacketSize).view(slot.offset, slot.length);
    if (last_pat_section(pat.peek()) && slot.offset + slot.length + 4 > kTsPacketSize)
        scan.pat_problem = "its PAT leaves no room for one more program";
    std::vector<PatEntry> programs;
    parse_pat(pat.peek(), pat.size(), nullptr, &programs);
    for (const auto& p : programs) {
        scan.programs.insert(p.program_number);
        scan.pmt_pids.insert(p.pmt_pid);
        if (p.program_number != 0)  // program 0 names the NIT's PID
            pmts.try_emplace(p.pmt_pid);
    }
}

bool scan_stream(TsFileReader& in, NullScheduler& sched, StreamScan& scan, const OtaProgress& progress, uint64_t total,
                 std::string& error)
{
    std::map<uint16_t, SectionAssembler> pmts;
    while (const uint8_t* pkt = in.next()) {
        const uint16_t pid = ts_pid(pkt);
        scan.used[pid] = true;
        ++scan.packets;
        if (pid == kPatPid) {
            if (ts_unit_start(pkt))
                scan_pat_packet(pkt, scan, pmts);
            sched.on_pat();
        } else if (pid == kNullPid) {
            ++scan.nulls;
            sched.on_null();
        } else if (auto it = pmts.find(pid); it != pmts.end()) {
            it->second.feed(pkt, [&](const uint8_t* sec, size_t len) {
                std::vector<PmtStream> streams;
                if (parse_pmt(sec, len, nullptr, &streams))
                    for (const auto& s : streams)
                        scan.es_pids.insert(s.pid);
            });
        }
        if (progress && (scan.packets & 0x3FFF) == 0)
            progress(in.position(), total);
    }
    error = in.error();
    return error.empty();
}

uint16_t free_program_number(const StreamScan& scan, uint16_t wanted)
{
    for (uint32_t n = wanted; n <= 0xFFFF; ++n)
        if (!scan.programs.count(static_cast<uint16_t>(n)))
            return static_cast<uint16_t>(n);
    for (uint16_t n = 1; n < wanted; ++n)
        if (!scan.programs.count(n))
            return n;
    return 0;
}

uint16_t free_pmt_pid(const StreamScan& scan, uint16_t wanted, uint16_t data_pid)
{
    for (uint32_t i = 0; i < 0x1FEF; ++i) {
        const auto pid = static_cast<uint16_t>(0x0010 + (wanted - 0x0010 + i) % 0x1FEF);
        if (pid != data_pid && !scan.taken(pid))
            return pid;
    }
    return 0;
}

std::string hex_pid(uint16_t pid)
{
    char b[8];
    std::snprintf(b, sizeof b, "0x%04X", pid);
    return b;
}

// The PAT section with the upgrade's program added (to the last section of
// the table), and the next version number.
std::vector<uint8_t> extend_pat(const uint8_t* sec, size_t len, uint16_t program_number, uint16_t pmt_pid)
{
    kv::ByteReader in(sec, len);
    in.seek(3);
    const uint16_t tsid = in.be16();
    in.skip(1);
    const uint8_t section_number = in.u8(), last_section_number = in.u8();
    std::vector<uint8_t> body = in.bytes(len - 12);  // the programs, up to the CRC
    if (last_pat_section(sec)) {
        kv::append_be16(body, program_number);
        kv::append_be16(body, static_cast<uint16_t>(0xE000 | pmt_pid));
    }
    const uint8_t version = static_cast<uint8_t>(((sec[5] >> 1) + 1) & 0x1F);
    return make_section({0x00, false, tsid, version, section_number, last_section_number}, body);
}

class PatRewriter {
    static constexpr size_t kMaxCachedPats = 64;

public:
    PatRewriter(uint16_t program_number, uint16_t pmt_pid) : m_program(program_number), m_pmtPid(pmt_pid) {}
    void rewrite(uint8_t* pkt)
    {
        PatSlot slot;
        if (!locate_pat(pkt, slot))
            return;
        const std::vector<uint8_t> orig =
            kv::ByteReader(pkt, kTsPacketSize).view(slot.offset, slot.length).bytes(slot.length);
        auto it = m_cache.find(orig);
        if (it == m_cache.end() && m_cache.size() >= kMaxCachedPats)
            m_cache.clear();  // a stream whose PAT keeps changing: no unbounded memory
        if (it == m_cache.end())
            it = m_cache.emplace(orig, extend_pat(orig.data(), orig.size(), m_program, m_pmtPid)).first;
        std::memcpy(pkt + slot.offset, it->second.data(), it->second.size());
        std::memset(pkt + slot.offset + it->second.size(), 0xFF, kTsPacketSize - slot.offset - it->second.size());
    }

private:
    uint16_t m_program, m_pmtPid;
    std::map<std::vector<uint8_t>, std::vector<uint8_t>> m_cache;
};

struct UpgradeSource {
    const OtaCycle& cycle;
    std::vector<size_t> data_offsets;  // of the data PID's packets in the cycle
    std::vector<uint8_t> pmt_packets;
    uint64_t next = 0;
    const uint8_t* next_data() { return cycle.packets.data() + data_offsets[next++ % data_offsets.size()]; }
};

bool write_merged(TsFileReader& in, UpgradeSource& src, NullScheduler& sched, PatRewriter& pat,
                  const std::string& out_path, const OtaProgress& progress, uint64_t total, std::string& error)
{
    StagedFile out;
    if (!out.open(out_path, error) || !in.rewind())
        return false;
    const size_t psize = size_t(in.packet_size());
    std::vector<uint8_t> buf;
    buf.reserve(4096 * psize);
    CcStamper cc;
    bool ok = true;
    while (const uint8_t* pkt = in.next()) {
        const size_t at = buf.size();
        buf.insert(buf.end(), pkt, pkt + psize);
        uint8_t* p = buf.data() + at;
        const uint16_t pid = ts_pid(p);
        const uint8_t* put = nullptr;
        if (pid == kPatPid) {
            if (ts_unit_start(p))
                pat.rewrite(p);
            sched.on_pat();
        } else if (pid == kNullPid) {
            const auto fill = sched.on_null();
            if (fill == NullScheduler::Pmt)
                put = src.pmt_packets.data() + sched.pmt_index() * kTsPacketSize;
            else if (fill == NullScheduler::Data)
                put = src.next_data();
        }
        if (put) {
            std::memcpy(p, put, kTsPacketSize);
            cc.stamp(p);
        }
        if ((put || (pid == kPatPid && ts_unit_start(p))) && psize > kTsPacketSize)
            std::memset(p + kTsPacketSize, 0, psize - kTsPacketSize);  // parity of a changed packet is void
        if (buf.size() >= 4096 * psize) {
            ok = out.write(buf.data(), buf.size());
            buf.clear();
            if (!ok)
                break;
            if (progress)
                progress(total / 2 + in.position() / 2, total);
        }
    }
    if (!in.error().empty()) {
        error = in.error();
        return false;
    }
    const auto& tail = in.trailing();
    if (!ok || !out.write(buf.data(), buf.size()) || !out.write(tail.data(), tail.size()) || !out.commit(error)) {
        if (error.empty())
            error = "Can't write " + out_path;
        return false;
    }
    return true;
}

}  // namespace

int merge_cycle_into(const OtaCycle& cycle, uint32_t repeat, const std::string& into_path, const std::string& out_path,
                     const OtaProgress& progress, std::string& error, MergeReport* report)
{
    if (repeat < 1 || repeat > kMaxRepeat) {
        error = "Upg_File Repeat NO. beyond 1 - " + std::to_string(kMaxRepeat);
        return 0;
    }
    UpgradeSource src{cycle, {}, {}};
    for (size_t i = 0; i < cycle.packets.size(); i += kTsPacketSize)
        if (ts_pid(cycle.packets.data() + i) == cycle.data_pid)
            src.data_offsets.push_back(i);
    if (src.data_offsets.empty()) {
        error = "There is no upgrade stream to merge; generate one first";
        return 0;
    }
    TsFileReader in;
    if (!in.open(into_path, error))
        return 0;
    const uint64_t total = in.file_size() * 2;
    const uint64_t data_packets = uint64_t(src.data_offsets.size()) * repeat;
    const size_t pmt_packets = TsPacketizer::packets_for(cycle_pmt(cycle, cycle.program_number).size());

    StreamScan scan;
    NullScheduler dry(data_packets, pmt_packets);
    if (!scan_stream(in, dry, scan, progress, total, error))
        return 0;
    if (scan.pats == 0) {
        error = into_path + " has no PAT: the upgrade could not be announced";
        return 0;
    }
    if (!scan.pat_problem.empty()) {
        error = "Can't merge into " + into_path + ": " + scan.pat_problem;
        return 0;
    }
    if (scan.taken(cycle.data_pid)) {
        error = "PID " + hex_pid(cycle.data_pid) + " of the upgrade is already used in " + into_path;
        return 0;
    }
    const uint16_t pmt_pid = cycle.pmt_pid_fixed ? cycle.pmt_pid : free_pmt_pid(scan, cycle.pmt_pid, cycle.data_pid);
    if (cycle.pmt_pid_fixed && scan.taken(pmt_pid)) {
        error = "PMT PID " + hex_pid(pmt_pid) + " of the upgrade is already used in " + into_path;
        return 0;
    }
    const uint16_t program = free_program_number(scan, cycle.program_number);
    if (!pmt_pid || !program) {
        error = into_path + " leaves no free PID or program number for the upgrade";
        return 0;
    }
    if (dry.data_left()) {
        error = into_path + " has " + std::to_string(scan.nulls) + " null packets, too few for the upgrade repeated " +
                std::to_string(repeat) + " times (" + std::to_string(data_packets) + " packets and its PMT)";
        return 0;
    }

    TsPacketizer(src.pmt_packets).put_section(pmt_pid, cycle_pmt(cycle, program));
    NullScheduler sched(data_packets, pmt_packets);
    PatRewriter pat(program, pmt_pid);
    if (!write_merged(in, src, sched, pat, out_path, progress, total, error))
        return 0;
    if (progress)
        progress(total, total);
    if (report)
        *report = {in.packet_size(), scan.packets, scan.nulls, sched.placed(), pmt_pid, program};
    return 1;
}

}  // namespace ota
