#include "OtaInspect.h"

#include "AbsStream.h"
#include "ByteOrder.h"
#include "DsmccCarousel.h"
#include "ModulePayload.h"
#include "Mpeg2Crc.h"
#include "TsFileReader.h"
#include "TsPackets.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <memory>

namespace ota {
namespace {

// A module may be a little larger than the image it carries (zlib's worst case).
constexpr size_t kMaxModuleSize = kMaxImageSize + kMaxImageSize / 512 + 4096;

std::string fmt(const char* f, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char* f, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, f);
    std::vsnprintf(buf, sizeof buf, f, ap);
    va_end(ap);
    return buf;
}

// Descriptors (tag, length, bytes) of a loop; calls fn(tag, reader over the body).
template <class Fn>
bool for_each_descriptor(const uint8_t* p, size_t len, Fn fn)
{
    kv::ByteReader r(p, len);
    while (r.ok() && r.remaining() >= 2) {
        const uint8_t tag = r.u8();
        const uint8_t n = r.u8();
        const uint8_t* body = r.take(n);
        if (!body)
            return false;
        kv::ByteReader d(body, n);
        fn(tag, d);
    }
    return r.ok() && r.remaining() == 0;
}

struct Block {
    std::vector<uint8_t> bytes;
    std::vector<bool> have;
    size_t received = 0;
    bool store(size_t index, size_t block_size, const uint8_t* p, size_t n)
    {
        const size_t off = index * block_size;
        if (index >= have.size() || off + n > bytes.size() || n != std::min(block_size, bytes.size() - off))
            return false;
        if (!have[index]) {
            std::copy(p, p + n, bytes.begin() + static_cast<std::ptrdiff_t>(off));
            have[index] = true;
            ++received;
        }
        return true;
    }
    void allocate(size_t size, size_t block_size)
    {
        bytes.assign(size, 0);
        have.assign((size + block_size - 1) / block_size, false);
        received = 0;
    }
    bool complete() const { return !have.empty() && received == have.size(); }
};

// ---- the DSM-CC carousel --------------------------------------------------

struct Compat {
    uint32_t oui = 0;
    uint16_t hw_model = 0, hw_version = 0, sw_model = 0, sw_version = 0;
};

struct UpgradeInfo {
    bool present = false;
    uint8_t mode = 0, flags = 0, flag = 0;
    uint32_t mfr = 0, sw_version = 0, hw_version = 0, sn_start = 0, sn_end = 0, image_size = 0, image_crc = 0,
             original_size = 0, update_size = 0;
};

struct DsiGroup {
    uint32_t id = 0, size = 0;
    Compat compat;
    UpgradeInfo info;
};

struct ModuleInfo {
    uint16_t id = 0;
    uint32_t size = 0;
    uint8_t version = 0;
    bool compressed = false;
    uint32_t original_size = 0;
    bool has_crc = false;
    uint32_t crc = 0;
    uint32_t offset = 0;
};

struct DiiInfo {
    uint32_t download_id = 0;
    uint16_t block_size = 0;
    std::vector<ModuleInfo> modules;
};

bool read_compat(kv::ByteReader& r, Compat& c)
{
    const uint16_t len = r.be16();
    const uint8_t* p = r.take(len);
    if (!p)
        return false;
    kv::ByteReader d(p, len);
    const uint16_t count = d.be16();
    for (uint16_t i = 0; i < count && d.ok(); ++i) {
        const uint8_t type = d.u8();
        const uint8_t dlen = d.u8();
        kv::ByteReader x(d.take(dlen), d.ok() ? dlen : 0);
        x.u8();  // specifierType
        const uint32_t oui = uint32_t(x.u8()) << 16 | x.be16();
        const uint16_t model = x.be16(), version = x.be16();
        if (!x.ok())
            return false;
        c.oui = oui;
        if (type == 0x01) {
            c.hw_model = model;
            c.hw_version = version;
        } else if (type == 0x02) {
            c.sw_model = model;
            c.sw_version = version;
        }
    }
    return d.ok();
}

void read_upgrade_info(kv::ByteReader& d, UpgradeInfo& u)
{
    u.mode = d.u8();
    u.flags = d.u8();
    u.flag = d.u8();
    d.u8();
    for (uint32_t* v : {&u.mfr, &u.sw_version, &u.hw_version, &u.sn_start, &u.sn_end, &u.image_size, &u.image_crc,
                        &u.original_size, &u.update_size})
        *v = d.be32();
    u.present = d.ok();
}

// The body of a DSM-CC message after its 12-byte header, or an error.
bool open_message(const uint8_t* sec, size_t len, uint16_t& message_id, uint32_t& id, kv::ByteReader& body)
{
    kv::ByteReader r = kv::ByteReader(sec, len).view(8, len - 12);
    const uint8_t disc = r.u8(), type = r.u8();
    message_id = r.be16();
    id = r.be32();
    r.u8();
    const uint8_t adaptation = r.u8();
    const uint16_t msg_len = r.be16();
    r.skip(adaptation);
    if (!r.ok() || disc != 0x11 || type != 0x03 || msg_len < adaptation || r.remaining() + adaptation < msg_len)
        return false;
    body = kv::ByteReader(r.take(msg_len - adaptation), msg_len - adaptation);
    return true;
}

// Counts the sections of a stream and those whose CRC fails.
struct SectionTally {
    uint64_t m_sections = 0, m_crcErrors = 0;
    bool accept(const uint8_t* sec, size_t len)
    {
        ++m_sections;
        if (section_crc_ok(sec, len))
            return true;
        ++m_crcErrors;
        return false;
    }
};

class CarouselReader : SectionTally {
public:
    void on_section(const uint8_t* sec, size_t len)
    {
        if (!accept(sec, len))
            return;
        uint16_t msg = 0;
        uint32_t id = 0;
        kv::ByteReader body(nullptr, 0);
        if (!open_message(sec, len, msg, id, body)) {
            ++m_malformed;
            return;
        }
        bool ok = true;
        if (sec[0] == kTableDsiDii && msg == kMsgDsi)
            ok = m_haveDsi || read_dsi(body);
        else if (sec[0] == kTableDsiDii && msg == kMsgDii)
            ok = m_dii.count(id) || read_dii(id, body);
        else if (sec[0] == kTableDdb && msg == kMsgDdb)
            ok = read_ddb(id, body);
        if (!ok)
            ++m_malformed;
    }

    bool report(std::vector<std::string>& out) const;

private:
    bool read_dsi(kv::ByteReader& r);
    bool read_dii(uint32_t id, kv::ByteReader& r);
    bool read_ddb(uint32_t download_id, kv::ByteReader& r);
    bool report_group(const DsiGroup& g, size_t n, std::vector<std::string>& out) const;

    bool m_haveDsi = false;
    std::vector<DsiGroup> m_groups;
    std::map<uint32_t, DiiInfo> m_dii;
    std::map<uint16_t, std::pair<uint16_t, Block>> m_modules;  // id -> block size, data
    uint64_t m_malformed = 0, m_early = 0;
};

bool CarouselReader::read_dsi(kv::ByteReader& r)
{
    r.skip(20);  // serverId
    r.skip(r.be16());  // compatibilityDescriptor
    r.be16();  // privateDataLength
    const uint16_t n = r.be16();
    if (!r.ok() || n == 0 || n > kMaxGroups)
        return false;
    std::vector<DsiGroup> groups(n);
    for (auto& g : groups) {
        g.id = r.be32();
        g.size = r.be32();
        if (!read_compat(r, g.compat))
            return false;
        const uint16_t info_len = r.be16();
        const uint8_t* info = r.take(info_len);
        if (!info || !for_each_descriptor(info, info_len, [&](uint8_t tag, kv::ByteReader& d) {
                if (tag == kTagUpgradeInfo)
                    read_upgrade_info(d, g.info);
            }))
            return false;
    }
    m_groups = std::move(groups);
    m_haveDsi = true;
    return true;
}

bool CarouselReader::read_dii(uint32_t id, kv::ByteReader& r)
{
    const auto g = std::find_if(m_groups.begin(), m_groups.end(), [&](const DsiGroup& x) { return x.id == id; });
    if (g == m_groups.end())
        return true;  // not (yet) a group of the DSI: read it again when it repeats
    DiiInfo dii;
    dii.download_id = r.be32();
    dii.block_size = r.be16();
    r.skip(10);
    r.skip(r.be16());
    const uint16_t n = r.be16();
    if (!r.ok() || n == 0 || n > kSplitParts || dii.block_size == 0)
        return false;
    size_t total = 0;
    for (uint16_t i = 0; i < n; ++i) {
        ModuleInfo m;
        m.id = r.be16();
        m.size = r.be32();
        m.version = r.u8();
        const uint8_t info_len = r.u8();
        const uint8_t* info = r.take(info_len);
        if (!info || !for_each_descriptor(info, info_len, [&](uint8_t tag, kv::ByteReader& d) {
                if (tag == kTagCompressedModule) {
                    m.compressed = d.u8() == 0x08;
                    m.original_size = d.be32();
                } else if (tag == kTagCrc32) {
                    m.crc = d.be32();
                    m.has_crc = d.ok();
                } else if (tag == kTagModuleOffset) {
                    m.offset = d.be32();
                }
            }))
            return false;
        total += m.size;
        if (m.size == 0 || total > kMaxModuleSize || m.original_size > kMaxImageSize || m_modules.count(m.id))
            return false;
        dii.modules.push_back(m);
    }
    for (const auto& m : dii.modules) {
        auto& slot = m_modules[m.id];
        slot.first = dii.block_size;
        slot.second.allocate(m.size, dii.block_size);
    }
    m_dii[id] = std::move(dii);
    return true;
}

bool CarouselReader::read_ddb(uint32_t, kv::ByteReader& r)
{
    const uint16_t module = r.be16();
    r.u8();
    r.u8();
    const uint16_t block = r.be16();
    if (!r.ok())
        return false;
    auto it = m_modules.find(module);
    if (it == m_modules.end()) {
        ++m_early;  // its DII has not been seen yet
        return true;
    }
    const size_t n = r.remaining();
    return it->second.second.store(block, it->second.first, r.take(n), n);
}

bool CarouselReader::report_group(const DsiGroup& g, size_t n, std::vector<std::string>& out) const
{
    const Compat& c = g.compat;
    out.push_back(fmt("group %zu (id 0x%08X, %u bytes): OUI 0x%06X, hardware model 0x%04X version 0x%04X, "
                      "software model 0x%04X version 0x%04X",
                      n, g.id, g.size, c.oui, c.hw_model, c.hw_version, c.sw_model, c.sw_version));
    const UpgradeInfo& u = g.info;
    if (!u.present) {
        out.push_back("  no upgrade-info descriptor");
        return false;
    }
    out.push_back(fmt("  upgrade mode 0x%02X, force %d, split %d, compressed %d, flag %u, MFR code 0x%08X, "
                      "SW version 0x%08X, HW version 0x%08X, SN 0x%08X - 0x%08X",
                      u.mode, !!(u.flags & kFlagForce), !!(u.flags & kFlagSplit), !!(u.flags & kFlagCompressed), u.flag,
                      u.mfr, u.sw_version, u.hw_version, u.sn_start, u.sn_end));
    if (u.flags & kFlagSizeChange)
        out.push_back(fmt("  flash size 0x%08X becomes 0x%08X", u.original_size, u.update_size));
    const auto dii = m_dii.find(g.id);
    if (dii == m_dii.end()) {
        out.push_back("  no DII for this group");
        return false;
    }
    bool ok = true;
    std::vector<uint8_t> image(std::min<size_t>(u.image_size, kMaxImageSize), 0);
    for (const auto& m : dii->second.modules) {
        const Block& b = m_modules.at(m.id).second;
        std::string state = fmt("  module 0x%04X: %u bytes%s, offset 0x%08X, %zu of %zu blocks", m.id, m.size,
                                m.compressed ? fmt(" (zlib, %u bytes)", m.original_size).c_str() : "", m.offset,
                                b.received, b.have.size());
        std::vector<uint8_t> plain;
        bool good = b.complete();
        if (good && m.compressed)
            good = zlib_unpack(b.bytes.data(), b.bytes.size(), m.original_size, plain);
        else if (good)
            plain = b.bytes;
        good = good && m.has_crc && mpeg2_crc32(plain.data(), plain.size()) == m.crc;
        good = good && size_t(m.offset) + plain.size() <= image.size();
        if (good)
            std::copy(plain.begin(), plain.end(), image.begin() + m.offset);
        out.push_back(state + (good ? ", CRC ok" : b.complete() ? ", CRC or size WRONG" : ", INCOMPLETE"));
        ok = ok && good;
    }
    const bool image_ok = ok && image.size() == u.image_size && mpeg2_crc32(image.data(), image.size()) == u.image_crc;
    out.push_back(fmt("  image: %u bytes, CRC 0x%08X %s", u.image_size, u.image_crc, image_ok ? "ok" : "WRONG"));
    return image_ok;
}

bool CarouselReader::report(std::vector<std::string>& out) const
{
    out.push_back(fmt("DSM-CC: %llu sections, %llu CRC errors, %llu malformed, %llu blocks before their DII",
                      (unsigned long long)m_sections, (unsigned long long)m_crcErrors, (unsigned long long)m_malformed,
                      (unsigned long long)m_early));
    if (!m_haveDsi) {
        out.push_back("no DSI: a receiver finds no upgrade");
        return false;
    }
    out.push_back(fmt("DSI: %zu group%s", m_groups.size(), m_groups.size() == 1 ? "" : "s"));
    bool ok = m_crcErrors == 0 && m_malformed == 0;
    for (size_t i = 0; i < m_groups.size(); ++i)
        ok = report_group(m_groups[i], i + 1, out) && ok;
    return ok;
}

// ---- the ABS stream -------------------------------------------------------

class AbsReader : SectionTally {
public:
    void on_section(const uint8_t* sec, size_t len)
    {
        if (!accept(sec, len))
            return;
        if (sec[0] == kTableAbsControl && !m_haveControl)
            read_control(sec, len);
        else if (sec[0] == kTableAbsData)
            read_data(sec, len);
    }
    bool report(std::vector<std::string>& out) const;

private:
    void read_control(const uint8_t* sec, size_t len)
    {
        kv::ByteReader r = kv::ByteReader(sec, len).view(8, len - 12);
        m_manufacturer = r.u8();
        m_hardware = r.u8();
        m_model = r.u8();
        m_version = r.be16();
        m_flags = r.u8();
        m_size = r.be32();
        m_crc = r.be32();
        m_blockSize = r.be16();
        m_blocks = r.be16();
        m_sectionVersion = (sec[5] >> 1) & 0x1F;
        m_haveControl = r.ok();
        if (m_haveControl && m_size > 0 && m_size <= kMaxImageSize && m_blockSize > 0 &&
            (m_size + m_blockSize - 1) / m_blockSize == m_blocks)
            m_data.allocate(m_size, m_blockSize);
    }
    void read_data(const uint8_t* sec, size_t len)
    {
        if (m_data.have.empty()) {
            ++m_early;
            return;
        }
        if (((sec[5] >> 1) & 0x1F) != m_sectionVersion) {
            ++m_versionErrors;
            return;
        }
        const kv::ByteReader in(sec, len);
        const kv::ByteReader block = in.view(8, len - 12);
        if (!m_data.store(in.view(3, 2).be16(), m_blockSize, block.peek(), block.size()))
            ++m_malformed;
    }

    bool m_haveControl = false;
    uint8_t m_manufacturer = 0, m_hardware = 0, m_model = 0, m_flags = 0, m_sectionVersion = 0;
    uint16_t m_version = 0, m_blockSize = 0, m_blocks = 0;
    uint32_t m_size = 0, m_crc = 0;
    Block m_data;
    uint64_t m_malformed = 0, m_early = 0, m_versionErrors = 0;
};

bool AbsReader::report(std::vector<std::string>& out) const
{
    out.push_back(fmt("ABS: %llu sections, %llu CRC errors, %llu malformed, %llu version mismatches, "
                      "%llu data sections before the control section",
                      (unsigned long long)m_sections, (unsigned long long)m_crcErrors, (unsigned long long)m_malformed,
                      (unsigned long long)m_versionErrors, (unsigned long long)m_early));
    if (!m_haveControl) {
        out.push_back("no control section: a receiver finds no upgrade");
        return false;
    }
    out.push_back(fmt("control: manufacturer 0x%02X, hardware 0x%02X, model 0x%02X, SW version 0x%04X, force %d, "
                      "image %u bytes CRC 0x%08X, %u blocks of %u bytes",
                      m_manufacturer, m_hardware, m_model, m_version, m_flags & kAbsFlagForce, m_size, m_crc, m_blocks,
                      m_blockSize));
    if (m_data.have.empty()) {
        out.push_back("  the announced image size is not plausible");
        return false;
    }
    const bool complete = m_data.complete();
    const bool crc_ok = complete && mpeg2_crc32(m_data.bytes.data(), m_data.bytes.size()) == m_crc;
    out.push_back(fmt("  %zu of %zu blocks, image CRC %s", m_data.received, m_data.have.size(),
                      crc_ok     ? "ok"
                      : complete ? "WRONG"
                                 : "not checked (incomplete)"));
    return crc_ok && m_crcErrors == 0 && m_malformed == 0 && m_versionErrors == 0;
}

// ---- the transport stream -------------------------------------------------

enum class Kind { None, Dsmcc, Abs };

Kind upgrade_kind(const PmtStream& s)
{
    Kind kind = Kind::None;
    for_each_descriptor(s.es_info.data(), s.es_info.size(), [&](uint8_t tag, kv::ByteReader& d) {
        if (s.stream_type == kStreamTypeDsmccUn && tag == kTagDataBroadcastId && d.be16() == kDataBroadcastIdSsu)
            kind = Kind::Dsmcc;
        else if (s.stream_type == kStreamTypePrivateSections && tag == kTagAbsDownload)
            kind = Kind::Abs;
    });
    return kind;
}

struct StreamState {
    explicit StreamState(std::vector<std::string>& out) : lines(out) {}
    std::vector<std::string>& lines;
    SectionAssembler pat;
    std::map<uint16_t, SectionAssembler> pmts;
    std::map<uint16_t, std::pair<Kind, SectionAssembler>> upgrades;
    std::map<uint16_t, std::string> seen_pmt;
    CarouselReader carousel;
    AbsReader abs;
    std::vector<int> last_cc = std::vector<int>(kMaxPid + 1, -1);
    uint64_t cc_errors = 0;
    bool pat_seen = false;

    void on_pat(const uint8_t* sec, size_t len);
    void on_pmt(uint16_t pid, const uint8_t* sec, size_t len);
    void on_packet(const uint8_t* pkt);
};

void StreamState::on_pat(const uint8_t* sec, size_t len)
{
    uint16_t tsid = 0;
    std::vector<PatEntry> programs;
    if (!parse_pat(sec, len, &tsid, &programs))
        return;
    for (const auto& p : programs) {
        if (p.program_number && !pmts.count(p.pmt_pid)) {
            pmts.try_emplace(p.pmt_pid);
            lines.push_back(
                fmt("PAT: transport stream %u, program %u -> PMT PID 0x%04X", tsid, p.program_number, p.pmt_pid));
        }
    }
    pat_seen = true;
}

void StreamState::on_pmt(uint16_t pid, const uint8_t* sec, size_t len)
{
    uint16_t program = 0;
    std::vector<PmtStream> streams;
    if (seen_pmt.count(pid) || !parse_pmt(sec, len, &program, &streams))
        return;
    seen_pmt[pid] = "";
    for (const auto& s : streams) {
        const Kind k = upgrade_kind(s);
        lines.push_back(fmt("PMT 0x%04X, program %u: stream type 0x%02X on PID 0x%04X%s", pid, program, s.stream_type,
                            s.pid,
                            k == Kind::Dsmcc ? ", system software update carousel"
                            : k == Kind::Abs ? ", ABS download stream"
                                             : ""));
        if (k != Kind::None && !upgrades.count(s.pid))
            upgrades.emplace(s.pid, std::make_pair(k, SectionAssembler{}));
    }
}

void StreamState::on_packet(const uint8_t* pkt)
{
    const uint16_t pid = ts_pid(pkt);
    if (pid != kNullPid && ts_has_payload(pkt)) {
        const int cc = ts_cc(pkt);
        if (last_cc[pid] >= 0 && cc != ((last_cc[pid] + 1) & 0x0F) && cc != last_cc[pid])
            ++cc_errors;
        last_cc[pid] = cc;
    }
    if (pid == kPatPid) {
        pat.feed(pkt, [&](const uint8_t* s, size_t n) { on_pat(s, n); });
    } else if (auto u = upgrades.find(pid); u != upgrades.end()) {
        u->second.second.feed(pkt, [&](const uint8_t* s, size_t n) {
            if (u->second.first == Kind::Dsmcc)
                carousel.on_section(s, n);
            else
                abs.on_section(s, n);
        });
    } else if (auto m = pmts.find(pid); m != pmts.end()) {
        m->second.feed(pkt, [&](const uint8_t* s, size_t n) { on_pmt(pid, s, n); });
    }
}

}  // namespace

InspectResult inspect_ota_stream(const std::string& path)
{
    InspectResult res;
    TsFileReader in;
    if (!in.open(path, res.error))
        return res;
    StreamState st(res.lines);
    uint64_t packets = 0;
    while (const uint8_t* pkt = in.next()) {
        st.on_packet(pkt);
        ++packets;
    }
    if (!in.error().empty()) {
        res.error = in.error();
        return res;
    }
    res.lines.insert(res.lines.begin(),
                     fmt("%s: %d-byte packets, %llu packets%s", path.c_str(), in.packet_size(),
                         (unsigned long long)packets, in.trailing().empty() ? "" : ", a cut-off packet at the end"));
    res.lines.push_back(fmt("continuity errors: %llu", (unsigned long long)st.cc_errors));
    bool ok = st.cc_errors == 0;
    bool found = false;
    bool dsmcc = false, abs = false;
    for (const auto& u : st.upgrades)
        (u.second.first == Kind::Dsmcc ? dsmcc : abs) = true;
    if (dsmcc) {
        found = true;
        ok = st.carousel.report(res.lines) && ok;
    }
    if (abs) {
        found = true;
        ok = st.abs.report(res.lines) && ok;
    }
    if (!found)
        res.lines.push_back(st.pat_seen ? "no upgrade stream announced in any PMT" : "no PAT");
    res.ok = ok && found;
    return res;
}

}  // namespace ota
