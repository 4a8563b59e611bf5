#include "OtaStream.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace ota {

namespace {
constexpr uint64_t kMaxStreamBytes = 16ull << 30;  // refuse to fill a disk by a typing slip
constexpr size_t kWriteChunk = 1 << 20;
}  // namespace

CycleBuilder::CycleBuilder(OtaCycle& cycle) : m_cycle(cycle), m_packets(cycle.packets)
{
    m_pat = make_pat(kDefaultTransportStreamId, 0, {{cycle.program_number, cycle.pmt_pid}});
    m_pmt = cycle_pmt(cycle, cycle.program_number);
    put_psi();
}

void CycleBuilder::put_psi()
{
    m_packets.put_section(kPatPid, m_pat);
    m_packets.put_section(m_cycle.pmt_pid, m_pmt);
    m_sincePsi = 0;
}

void CycleBuilder::put_section(const uint8_t* sec, size_t len)
{
    if (m_sincePsi >= kPsiInterval)
        put_psi();
    m_packets.put_section(m_cycle.data_pid, sec, len);
    m_sincePsi += TsPacketizer::packets_for(len);
}

std::vector<uint8_t> cycle_pmt(const OtaCycle& cycle, uint16_t program_number)
{
    return make_pmt(program_number, 0, kNullPid, cycle.streams);
}

std::string check_layout(const StreamLayout& layout)
{
    if (layout.packet_size != 188 && layout.packet_size != 204)
        return "TS packet size must be 188 or 204";
    if (layout.repeat < 1 || layout.repeat > kMaxRepeat)
        return "Upg_File Repeat NO. beyond 1 - " + std::to_string(kMaxRepeat);
    if (layout.loops < 1 || layout.loops > kMaxLoops)
        return "TS Loop Times beyond 1 - " + std::to_string(kMaxLoops);
    return {};
}

int write_cycle(OtaCycle& cycle, const StreamLayout& layout, const std::string& path, const OtaProgress& progress,
                std::string& error)
{
    error = check_layout(layout);
    if (!error.empty())
        return 0;
    const size_t psize = static_cast<size_t>(layout.packet_size);
    const uint64_t copies = uint64_t(layout.repeat) * layout.loops;
    const uint64_t total = copies * cycle.packet_count() * psize;
    if (total > kMaxStreamBytes) {
        error = "The stream would be " + std::to_string(total) + " bytes; lower the repeat or loop count";
        return 0;
    }
    StagedFile out;
    if (!out.open(path, error))
        return 0;
    CcStamper cc;
    std::vector<uint8_t> buf;
    buf.reserve(kWriteChunk + psize);
    uint64_t written = 0;
    size_t chunk_start = 0;
    bool ok = true;
    for (uint64_t c = 0; c < copies && ok; ++c) {
        for (size_t i = 0; i < cycle.packets.size() && ok; i += kTsPacketSize) {
            uint8_t* pkt = cycle.packets.data() + i;
            cc.stamp(pkt);
            if (psize == kTsPacketSize) {
                // Whole chunks go out straight from the cycle.
                const size_t end = i + kTsPacketSize;
                const bool last = end == cycle.packets.size();
                if (end - chunk_start >= kWriteChunk || last) {
                    ok = out.write(cycle.packets.data() + chunk_start, end - chunk_start);
                    written += end - chunk_start;
                    chunk_start = last ? 0 : end;
                    if (ok && progress)
                        progress(written, total);
                }
                continue;
            }
            const size_t at = buf.size();
            buf.resize(at + psize);
            std::memcpy(buf.data() + at, pkt, kTsPacketSize);
            std::memset(buf.data() + at + kTsPacketSize, 0, psize - kTsPacketSize);  // parity space
            if (buf.size() >= kWriteChunk) {
                ok = out.write(buf.data(), buf.size());
                written += buf.size();
                buf.clear();
                if (ok && progress)
                    progress(written, total);
            }
        }
    }
    if (!ok || !out.write(buf.data(), buf.size()) || !out.commit(error)) {
        if (error.empty())
            error = "Can't write " + path + ": " + std::strerror(errno);
        return 0;
    }
    if (progress)
        progress(total, total);
    return 1;
}

}  // namespace ota
