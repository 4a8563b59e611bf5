// The system software update carousel: a DSM-CC data carousel whose
// DownloadServerInitiate lists the upgrade groups, each with the compatibility
// descriptor receivers match on (OUI, hardware and software model and
// version), a DownloadInfoIndication per group naming its modules, and the
// modules' DownloadDataBlocks. README.md beside this file gives the layout.
#pragma once

#include "OtaRecords.h"
#include "OtaStream.h"

#include <string>
#include <vector>

namespace ota {

inline constexpr uint8_t kStreamTypeDsmccUn = 0x0B;  // ISO/IEC 13818-6 type B
inline constexpr uint16_t kDataBroadcastIdSsu = 0x000A;  // system software update
inline constexpr uint8_t kTagDataBroadcastId = 0x66;
inline constexpr uint8_t kTableDsiDii = 0x3B;
inline constexpr uint8_t kTableDdb = 0x3C;
inline constexpr uint16_t kMsgDii = 0x1002;
inline constexpr uint16_t kMsgDdb = 0x1003;
inline constexpr uint16_t kMsgDsi = 0x1006;
inline constexpr uint16_t kDdbBlockSize = 4066;  // fills a 4096-byte section
inline constexpr uint8_t kTagCrc32 = 0x05;  // module CRC-32 (of the original bytes)
inline constexpr uint8_t kTagCompressedModule = 0x09;  // method 0x08 (zlib), original size
inline constexpr uint8_t kTagUpgradeInfo = 0x80;  // group: mode, flags, full versions, SN range
inline constexpr uint8_t kTagModuleOffset = 0x81;  // module: offset of its bytes in the image
inline constexpr size_t kUpgradeInfoLength = 40;
inline constexpr size_t kControlEvery = 64;  // DDB sections between DSI/DII repeats

// Bits of the flags byte of the upgrade-info descriptor.
inline constexpr uint8_t kFlagForce = 0x01;
inline constexpr uint8_t kFlagSplit = 0x02;
inline constexpr uint8_t kFlagCompressed = 0x04;
inline constexpr uint8_t kFlagSizeChange = 0x08;

struct CarouselSettings {
    uint16_t data_pid = 0;
    uint16_t pmt_pid = 0;
    bool force = false;
    bool size_change = false;  // the "2M/4M" flash sizes below apply
    uint32_t original_flash_size = 0;
    uint32_t update_flash_size = 0;
};

// Empty when `pid` may carry upgrade data; else why not.
std::string check_data_pid(uint32_t pid);
// The PMT PID of a stream whose upgrade data lies on `data_pid`.
uint16_t default_pmt_pid(uint16_t data_pid);

// One cycle of the carousel: DSI and DIIs, then every group's modules block
// by block, DSI and DIIs again after every kControlEvery blocks.
bool build_carousel(const std::vector<dsmcc_group_t>& groups, const CarouselSettings& settings, OtaCycle& cycle,
                    std::string& error);

}  // namespace ota
