#include "DsmccCarousel.h"

#include "ByteOrder.h"
#include "ModulePayload.h"

#include <algorithm>

namespace ota {
namespace {

constexpr uint32_t kDsiTransactionId = 0x80000000u;  // network-originated, identification 0
constexpr uint32_t kDownloadId = 0x00000001u;
constexpr uint8_t kModuleVersion = 1;
constexpr size_t kMessageHeaderSize = 12;

uint32_t group_id(size_t g) { return kDsiTransactionId | uint32_t(g + 1) << 1; }

uint16_t module_id(size_t g, size_t part) { return static_cast<uint16_t>((g + 1) << 8 | part); }

void append_be24(std::vector<uint8_t>& b, uint32_t v)
{
    b.push_back(static_cast<uint8_t>(v >> 16));
    kv::append_be16(b, static_cast<uint16_t>(v));
}

// dsmccMessageHeader / dsmccDownloadDataHeader; messageLength is set by end_message.
void begin_message(std::vector<uint8_t>& b, uint16_t message_id, uint32_t transaction_or_download_id)
{
    b.push_back(0x11);  // protocolDiscriminator
    b.push_back(0x03);  // dsmccType: download
    kv::append_be16(b, message_id);
    kv::append_be32(b, transaction_or_download_id);
    b.push_back(0xFF);  // reserved
    b.push_back(0x00);  // adaptationLength
    kv::append_be16(b, 0);
}

void end_message(std::vector<uint8_t>& b)
{
    kv::put_be16(b.data() + 10, static_cast<uint16_t>(b.size() - kMessageHeaderSize));
}

// compatibilityDescriptor(): a hardware and a software descriptor, both
// specified by the IEEE OUI.
void append_compatibility(std::vector<uint8_t>& b, const dsmcc_upg_info_t& i)
{
    kv::append_be16(b, 2 + 2 * 11);  // compatibilityDescriptorLength
    kv::append_be16(b, 2);  // descriptorCount
    const struct {
        uint8_t type;
        uint16_t model, version;
    } d[] = {{0x01, i.hw_model_id, static_cast<uint16_t>(i.hw_version)},
             {0x02, i.sw_model_id, static_cast<uint16_t>(i.sw_version)}};
    for (const auto& x : d) {
        b.push_back(x.type);
        b.push_back(9);  // descriptorLength
        b.push_back(0x01);  // specifierType: IEEE OUI
        append_be24(b, i.oui);
        kv::append_be16(b, x.model);
        kv::append_be16(b, x.version);
        b.push_back(0);  // subDescriptorCount
    }
}

void append_upgrade_info(std::vector<uint8_t>& b, const dsmcc_group_t& g, const CarouselSettings& s)
{
    uint8_t flags = 0;
    if (s.force)
        flags |= kFlagForce;
    if (g.split)
        flags |= kFlagSplit;
    if (g.compress)
        flags |= kFlagCompressed;
    if (s.size_change)
        flags |= kFlagSizeChange;
    b.push_back(kTagUpgradeInfo);
    b.push_back(static_cast<uint8_t>(kUpgradeInfoLength));
    b.push_back(g.info.upg_mode_id);
    b.push_back(flags);
    b.push_back(g.info.flag);
    b.push_back(0xFF);
    for (uint32_t v :
         {g.info.mfr_code, g.info.sw_version, g.info.hw_version, g.info.sn_start, g.info.sn_end, g.image_size,
          g.image_crc, s.size_change ? s.original_flash_size : 0u, s.size_change ? s.update_flash_size : 0u})
        kv::append_be32(b, v);
}

uint32_t group_size(const dsmcc_group_t& g)
{
    uint32_t n = 0;
    for (const auto& p : g.parts)
        n += static_cast<uint32_t>(p.size());
    return n;
}

std::vector<uint8_t> dsi_section(const std::vector<dsmcc_group_t>& groups, const CarouselSettings& s)
{
    std::vector<uint8_t> info;  // GroupInfoIndication
    kv::append_be16(info, static_cast<uint16_t>(groups.size()));
    for (size_t g = 0; g < groups.size(); ++g) {
        kv::append_be32(info, group_id(g));
        kv::append_be32(info, group_size(groups[g]));
        append_compatibility(info, groups[g].info);
        kv::append_be16(info, static_cast<uint16_t>(2 + kUpgradeInfoLength));
        append_upgrade_info(info, groups[g], s);
    }
    kv::append_be16(info, 0);  // PrivateDataLength

    std::vector<uint8_t> b;
    begin_message(b, kMsgDsi, kDsiTransactionId);
    b.insert(b.end(), 20, 0xFF);  // serverId
    kv::append_be16(b, 0);  // compatibilityDescriptor: none
    kv::append_be16(b, static_cast<uint16_t>(info.size()));
    b.insert(b.end(), info.begin(), info.end());
    end_message(b);
    return make_section({kTableDsiDii, false, static_cast<uint16_t>(kDsiTransactionId), 0, 0, 0}, b);
}

void append_module_info(std::vector<uint8_t>& b, const OtaPayload& p)
{
    std::vector<uint8_t> d;
    if (p.compressed) {
        d.push_back(kTagCompressedModule);
        d.push_back(5);
        d.push_back(0x08);  // zlib
        kv::append_be32(d, p.original_size);
    }
    d.push_back(kTagCrc32);
    d.push_back(4);
    kv::append_be32(d, p.original_crc);
    d.push_back(kTagModuleOffset);
    d.push_back(4);
    kv::append_be32(d, p.flash_offset);
    b.push_back(static_cast<uint8_t>(d.size()));
    b.insert(b.end(), d.begin(), d.end());
}

std::vector<uint8_t> dii_section(size_t g, const dsmcc_group_t& group)
{
    std::vector<uint8_t> b;
    begin_message(b, kMsgDii, group_id(g));
    kv::append_be32(b, kDownloadId);
    kv::append_be16(b, kDdbBlockSize);
    b.push_back(0);  // windowSize
    b.push_back(0);  // ackPeriod
    kv::append_be32(b, 0);  // tCDownloadWindow
    kv::append_be32(b, 0);  // tCDownloadScenario
    kv::append_be16(b, 0);  // compatibilityDescriptor: none
    kv::append_be16(b, static_cast<uint16_t>(group.parts.size()));
    for (size_t p = 0; p < group.parts.size(); ++p) {
        kv::append_be16(b, module_id(g, p));
        kv::append_be32(b, static_cast<uint32_t>(group.parts[p].size()));
        b.push_back(kModuleVersion);
        append_module_info(b, group.parts[p]);
    }
    kv::append_be16(b, 0);  // privateDataLength
    end_message(b);
    return make_section({kTableDsiDii, false, static_cast<uint16_t>(group_id(g)), 0, 0, 0}, b);
}

std::vector<uint8_t> ssu_descriptor(const std::vector<dsmcc_group_t>& groups)
{
    std::vector<uint32_t> ouis;
    for (const auto& g : groups)
        if (std::find(ouis.begin(), ouis.end(), g.info.oui) == ouis.end())
            ouis.push_back(g.info.oui);
    std::vector<uint8_t> d{kTagDataBroadcastId, 0};
    kv::append_be16(d, kDataBroadcastIdSsu);
    d.push_back(static_cast<uint8_t>(ouis.size() * 6));  // OUI_data_length
    for (uint32_t oui : ouis) {
        append_be24(d, oui);
        d.push_back(0xF1);  // update_type 1: standard update carousel
        d.push_back(0xC0);  // no update versioning
        d.push_back(0);  // selector_length
    }
    d[1] = static_cast<uint8_t>(d.size() - 2);
    return d;
}

std::string check_group(size_t g, const dsmcc_group_t& group, const CarouselSettings& s)
{
    const std::string name = "group " + std::to_string(g + 1) + ": ";
    if (group.parts.size() != 1 && group.parts.size() != kSplitParts)
        return name + "no image data";
    for (const auto& p : group.parts)
        if (p.size() == 0 || p.size() > 0xFFFFu * size_t(kDdbBlockSize))
            return name + "a module is empty or too large";
    if (group.info.oui > 0xFFFFFF)
        return name + "OUI beyond 24 bits";
    if (group.info.sn_start > group.info.sn_end)
        return name + "SN Start is above SN End";
    if (s.size_change && group.image_size > s.update_flash_size)
        return name + "the image (" + std::to_string(group.image_size) + " bytes) is larger than the update size";
    return {};
}

}  // namespace

std::string check_data_pid(uint32_t pid)
{
    if (pid > kMaxPid)
        return "PID beyond 0 - 8191,input again!";
    if (pid == kNullPid)
        return "PID 0x1FFF is the null packet PID: receivers discard it. Choose 0x0010 - 0x1FFE.";
    if (pid < 0x0010)
        return "PIDs 0x0000 - 0x000F are reserved for tables. Choose 0x0010 - 0x1FFE.";
    return {};
}

uint16_t default_pmt_pid(uint16_t data_pid) { return data_pid == 0x0100 ? 0x0101 : 0x0100; }

bool build_carousel(const std::vector<dsmcc_group_t>& groups, const CarouselSettings& s, OtaCycle& cycle,
                    std::string& error)
{
    error = check_data_pid(s.data_pid);
    if (error.empty() && s.pmt_pid == s.data_pid)
        error = "The PMT PID and the data PID must differ";
    if (error.empty() && (groups.empty() || groups.size() > size_t(kMaxGroups)))
        error = "A carousel holds 1 to " + std::to_string(kMaxGroups) + " groups";
    for (size_t g = 0; error.empty() && g < groups.size(); ++g)
        error = check_group(g, groups[g], s);
    if (!error.empty())
        return false;

    cycle.reset();
    cycle.data_pid = s.data_pid;
    cycle.pmt_pid = s.pmt_pid ? s.pmt_pid : default_pmt_pid(s.data_pid);
    cycle.streams = {{kStreamTypeDsmccUn, s.data_pid, ssu_descriptor(groups)}};
    size_t bytes = 0;
    for (const auto& g : groups)
        bytes += group_size(g);
    cycle.packets.reserve(bytes + bytes / 8 + (256 << 10));  // sections, packet headers, tables

    std::vector<std::vector<uint8_t>> control{dsi_section(groups, s)};
    for (size_t g = 0; g < groups.size(); ++g)
        control.push_back(dii_section(g, groups[g]));
    CycleBuilder out(cycle);
    std::vector<uint8_t> ddb, sec;
    size_t blocks_sent = 0;
    for (size_t g = 0; g < groups.size(); ++g) {
        for (size_t p = 0; p < groups[g].parts.size(); ++p) {
            const OtaPayload& data = groups[g].parts[p];
            const size_t nblocks = (data.size() + kDdbBlockSize - 1) / kDdbBlockSize;
            for (size_t blk = 0; blk < nblocks; ++blk, ++blocks_sent) {
                if (blocks_sent % kControlEvery == 0)
                    for (const auto& c : control)
                        out.put_section(c);
                const size_t off = blk * kDdbBlockSize;
                const size_t n = std::min<size_t>(kDdbBlockSize, data.size() - off);
                ddb.clear();
                begin_message(ddb, kMsgDdb, kDownloadId);
                kv::append_be16(ddb, module_id(g, p));
                ddb.push_back(kModuleVersion);
                ddb.push_back(0xFF);
                kv::append_be16(ddb, static_cast<uint16_t>(blk));
                kv::put_be16(ddb.data() + 10, static_cast<uint16_t>(ddb.size() - kMessageHeaderSize + n));
                sec.clear();
                append_section(sec,
                               {kTableDdb, false, module_id(g, p), kModuleVersion, static_cast<uint8_t>(blk),
                                static_cast<uint8_t>(nblocks - 1)},
                               ddb.data(), ddb.size(), data.bytes() + off, n);
                out.put_section(sec);
            }
        }
    }
    return true;
}

}  // namespace ota
