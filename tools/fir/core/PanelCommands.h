// The commands of the panel program on the box: letters, payloads and how
// long the second reply may take. Every command goes out as a command frame
// ('#', letter, payload length, payload, CRC-32 of letter, length and payload,
// little-endian); the record and the configuration follow as a data frame:
// '#', '*', the bytes, their CRC-32.
#pragma once

#include "PanelRecord.h"

#include <cstdint>
#include <vector>

namespace fir {

enum class PanelCommand : uint8_t {
    LinkTest = 'P',  // payload: the banner; the panel answers with it
    AnnounceRecord = 'Q',  // 0xFF 0x4E, then 1 (u32)
    AnnounceConfig = 'S',  // 0xFF 0x4E, then the configuration size (u32)
    StartLedMap = 'T',  // no payload
    LedMapStep = 'U',  // the step 0 to 9
    LampTest = 'X',  // '1'
    GetKeys = 'Y',  // '1'
    LampPrevious = '\\',  // '1'
    LampNext = ']',  // '1'
    LampConfirm = '^',  // '1'
    LightOrDim = '_',  // 0x00 light all, 0x01 dim all
};

constexpr char kPanelBanner[] = "KESTREL P2P UPG";  // 15 bytes
constexpr int kFirstReplyMs = 1000;

// The time-out of the command's second reply.
int second_reply_ms(PanelCommand c);
// The payload of an announcement: 0xFF, 0x4E, then `value` (u32, little-endian).
std::vector<uint8_t> announce_payload(uint32_t value);
// The whole command frame.
std::vector<uint8_t> panel_command_frame(PanelCommand c, const std::vector<uint8_t>& payload);
// The data frame of `n` bytes: '#', '*', the bytes, their CRC-32.
std::vector<uint8_t> panel_data_frame(const uint8_t* data, size_t n);

}  // namespace fir
