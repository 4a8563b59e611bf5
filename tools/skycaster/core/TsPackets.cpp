#include "TsPackets.h"

#include "ByteOrder.h"
#include "Mpeg2Crc.h"

#include <algorithm>
#include <cstring>

namespace ota {

size_t ts_payload_offset(const uint8_t* pkt)
{
    const int afc = (pkt[3] >> 4) & 0x03;
    if (!(afc & 0x01))
        return 0;
    if (afc == 0x01)
        return 4;
    const size_t off = 5 + size_t(pkt[4]);
    return off < kTsPacketSize ? off : 0;
}

void ts_put_header(uint8_t* pkt, uint16_t pid, bool unit_start)
{
    pkt[0] = kTsSync;
    pkt[1] = static_cast<uint8_t>((unit_start ? 0x40 : 0x00) | ((pid >> 8) & 0x1F));
    pkt[2] = static_cast<uint8_t>(pid);
    pkt[3] = 0x10;
}

void append_section(std::vector<uint8_t>& out, const SectionHeader& h, const uint8_t* body, size_t len)
{
    append_section(out, h, nullptr, 0, body, len);
}

void append_section(std::vector<uint8_t>& out, const SectionHeader& h, const uint8_t* head, size_t head_len,
                    const uint8_t* body, size_t len)
{
    const size_t start = out.size();
    const size_t section_length = 5 + head_len + len + 4;
    out.resize(start + 3 + section_length);
    uint8_t* s = out.data() + start;
    s[0] = h.table_id;
    s[1] = static_cast<uint8_t>(0x80 | (h.private_indicator ? 0x40 : 0x00) | 0x30 | ((section_length >> 8) & 0x0F));
    s[2] = static_cast<uint8_t>(section_length);
    kv::put_be16(s + 3, h.extension);
    s[5] = static_cast<uint8_t>(0xC0 | (h.version & 0x1F) << 1 | 0x01);
    s[6] = h.section_number;
    s[7] = h.last_section_number;
    if (head_len)
        std::memcpy(s + 8, head, head_len);
    if (len)
        std::memcpy(s + 8 + head_len, body, len);
    reseal_section(s, 3 + section_length);
}

void reseal_section(uint8_t* sec, size_t len) { kv::put_be32(sec + len - 4, mpeg2_crc32(sec, len - 4)); }

size_t section_total_length(const uint8_t* sec, size_t avail)
{
    if (avail < 3)
        return 0;
    return 3 + (size_t(sec[1] & 0x0F) << 8 | sec[2]);
}

bool section_crc_ok(const uint8_t* sec, size_t len)
{
    return len >= 12 && (sec[1] & 0x80) && section_total_length(sec, len) == len && mpeg2_crc32(sec, len) == 0;
}

size_t TsPacketizer::packets_for(size_t section_len)
{
    constexpr size_t first = kTsPacketSize - 5, next = kTsPacketSize - 4;
    return section_len <= first ? 1 : 1 + (section_len - first + next - 1) / next;
}

void TsPacketizer::put_section(uint16_t pid, const uint8_t* sec, size_t len)
{
    size_t off = 0;
    bool first = true;
    while (first || off < len) {
        const size_t base = m_out.size();
        m_out.resize(base + kTsPacketSize);
        uint8_t* p = m_out.data() + base;
        ts_put_header(p, pid, first);
        size_t pos = 4;
        if (first)
            p[pos++] = 0;  // pointer field: the section starts right after it
        const size_t n = std::min(kTsPacketSize - pos, len - off);
        std::memcpy(p + pos, sec + off, n);
        pos += n;
        off += n;
        std::memset(p + pos, 0xFF, kTsPacketSize - pos);
        first = false;
    }
}

std::vector<uint8_t> make_pat(uint16_t transport_stream_id, uint8_t version, const std::vector<PatEntry>& programs)
{
    std::vector<uint8_t> body;
    for (const auto& p : programs) {
        kv::append_be16(body, p.program_number);
        kv::append_be16(body, static_cast<uint16_t>(0xE000 | p.pmt_pid));
    }
    return make_section({0x00, false, transport_stream_id, version, 0, 0}, body);
}

std::vector<uint8_t> make_pmt(uint16_t program_number, uint8_t version, uint16_t pcr_pid,
                              const std::vector<PmtStream>& streams)
{
    std::vector<uint8_t> body;
    kv::append_be16(body, static_cast<uint16_t>(0xE000 | pcr_pid));
    kv::append_be16(body, 0xF000);  // no program descriptors
    for (const auto& s : streams) {
        body.push_back(s.stream_type);
        kv::append_be16(body, static_cast<uint16_t>(0xE000 | s.pid));
        kv::append_be16(body, static_cast<uint16_t>(0xF000 | s.es_info.size()));
        body.insert(body.end(), s.es_info.begin(), s.es_info.end());
    }
    return make_section({0x02, false, program_number, version, 0, 0}, body);
}

bool parse_pat(const uint8_t* sec, size_t len, uint16_t* tsid, std::vector<PatEntry>* programs)
{
    if (!section_crc_ok(sec, len) || sec[0] != 0x00 || (len - 12) % 4)
        return false;
    const kv::ByteReader in(sec, len);
    if (tsid)
        *tsid = in.view(3, 2).be16();
    if (programs) {
        programs->clear();
        for (kv::ByteReader list = in.view(8, len - 12); list.remaining() >= 4;) {
            const uint16_t program = list.be16();
            programs->push_back({program, static_cast<uint16_t>(list.be16() & 0x1FFF)});
        }
    }
    return true;
}

bool parse_pmt(const uint8_t* sec, size_t len, uint16_t* program_number, std::vector<PmtStream>* streams)
{
    if (!section_crc_ok(sec, len) || sec[0] != 0x02)
        return false;
    const kv::ByteReader whole(sec, len);
    kv::ByteReader r = whole.view(8, len - 12);
    r.skip(2);  // PCR PID
    r.skip(r.be16() & 0x0FFF);
    std::vector<PmtStream> out;
    while (r.ok() && r.remaining() >= 5) {
        PmtStream s;
        s.stream_type = r.u8();
        s.pid = r.be16() & 0x1FFF;
        s.es_info = r.bytes(r.be16() & 0x0FFF);
        out.push_back(std::move(s));
    }
    if (!r.ok() || r.remaining() != 0)
        return false;
    if (program_number)
        *program_number = whole.view(3, 2).be16();
    if (streams)
        *streams = std::move(out);
    return true;
}

void SectionAssembler::feed(const uint8_t* pkt, const Sink& sink)
{
    if (!ts_has_payload(pkt))
        return;
    const int cc = ts_cc(pkt);
    if (m_lastCc >= 0 && cc == m_lastCc)
        return;  // a duplicate packet
    if (m_lastCc >= 0 && cc != ((m_lastCc + 1) & 0x0F)) {
        ++m_ccErrors;
        if (m_collecting && !m_buf.empty())
            ++m_dropped;
        m_buf.clear();
        m_collecting = false;
    }
    m_lastCc = cc;
    const size_t off = ts_payload_offset(pkt);
    if (off == 0) {
        m_buf.clear();
        m_collecting = false;
        return;
    }
    kv::ByteReader payload = kv::ByteReader(pkt, kTsPacketSize).view(off, kTsPacketSize - std::min(off, kTsPacketSize));
    const size_t n = payload.size();
    if (!ts_unit_start(pkt)) {
        if (m_collecting)
            take(payload.peek(), n, sink);
        return;
    }
    const size_t pointer = payload.u8();
    if (!payload.ok() || 1 + pointer > n) {
        ++m_dropped;
        m_buf.clear();
        m_collecting = false;
        return;
    }
    const uint8_t* before = payload.take(pointer);  // the end of the section before
    if (m_collecting)
        take(before, pointer, sink);
    if (!m_buf.empty())
        ++m_dropped;  // the section before never ended
    m_buf.clear();
    m_collecting = true;
    take(payload.peek(), payload.remaining(), sink);
}

void SectionAssembler::take(const uint8_t* p, size_t n, const Sink& sink)
{
    if (!m_collecting)
        return;
    m_buf.insert(m_buf.end(), p, p + n);
    drain(sink);
}

void SectionAssembler::drain(const Sink& sink)
{
    kv::ByteReader in(m_buf);
    while (in.remaining() > 0) {
        const uint8_t* at = in.peek();
        if (at[0] == 0xFF) {  // stuffing: nothing more until the next unit start
            m_collecting = false;
            in.skip(in.remaining());
            break;
        }
        const size_t total = section_total_length(at, in.remaining());
        if (total == 0)
            break;
        if (total > kMaxSectionSize) {
            ++m_dropped;
            m_collecting = false;
            in.skip(in.remaining());
            break;
        }
        if (in.remaining() < total)
            break;
        sink(in.take(total), total);
    }
    m_buf.erase(m_buf.begin(), m_buf.begin() + static_cast<std::ptrdiff_t>(in.pos()));
}

}  // namespace ota
