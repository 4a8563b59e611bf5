// The slave info: the list of blocks the box's upgrade client reports.
//
// Record (little-endian):
//   0   16  header, not interpreted
//   16   2  number of entries N
//   18   2  not interpreted
//   20  48 x N entries: byte 0 the block ID; as our clients fill them in,
//          bytes 4-7 the block's offset in the flash, bytes 8-11 its size,
//          bytes 12-47 its name (zero-ended). Only the ID is the protocol's:
//          another client may hold something else in bytes 1-47.
// The record holds at most 3092 bytes, so at most 64 entries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sectorsmith {

constexpr size_t kSlaveInfoMax = 3092;
constexpr size_t kSlaveInfoHeader = 20;
constexpr size_t kSlaveEntrySize = 48;
constexpr size_t kMaxSlaveEntries = 64;

struct SlaveEntry {
    uint8_t id = 0;
    uint32_t offset = 0;
    uint32_t size = 0;  // 0: the box did not say
    std::string name;
};

struct SlaveInfo {
    std::vector<SlaveEntry> entries;

    // The first entry with this ID; nullptr when the box does not list it.
    const SlaveEntry* find(uint8_t id) const;
    // "0x80 bootloader, 0x88 application, ..." for messages.
    std::string list_text() const;
};

// Reads a record of `len` bytes. False with a message when it is longer than
// the record holds, lists more than 64 entries, or lists more entries than it
// carries bytes for; nothing is read past `len` or past the record.
bool parse_slave_info(const uint8_t* data, size_t len, SlaveInfo* out, std::string* error);

}  // namespace sectorsmith
