// The boot ROM's instruction layer: single-word reads and writes of the STB's
// address space, DMA copies, and register scripts read from "chip_ddrconf"
// texts.
//
// Wire format (host to STB, little-endian words):
//   read  : '#', 0x04, address            -> the STB answers 4 bytes, the value
//   write : '#', 0x01, address, value     -> no answer
#pragma once

#include "BootLink.h"

#include <cstdint>
#include <string>
#include <vector>

namespace bootlink {

// One entry of a register list: a name (a hexadecimal address or a keyword
// such as "sleep"; at most 63 characters) and a 32-bit value.
struct RegisterEntry {
    std::string name;
    uint32_t value = 0;
};

// A list holds at most this many entries (its count is a signed byte).
constexpr int kMaxRegisterEntries = 127;
constexpr size_t kMaxRegisterName = 63;
// A "sleep" entry pauses at most this long (a corrupt value must not hang a job).
constexpr uint32_t kMaxScriptSleepMs = 60000;

struct RegisterList {
    std::vector<RegisterEntry> entries;
    int count() const { return int(entries.size()); }
};

// The instruction frames, for tests and tools that log them.
std::vector<uint8_t> build_read_instruction(uint32_t address);
std::vector<uint8_t> build_write_instruction(uint32_t address, uint32_t value);

// Reads one word. 1 with *value stored when all four reply bytes came; 0
// otherwise (closed port, failed send, failed read, fifth empty read).
int addr_read(uint32_t address, uint32_t* value, JobContext& ctx = default_context());
// Writes one word. Nothing is read back; a failed send is only logged. The
// result (1/0) is there for callers that want it.
int write(uint32_t address, uint32_t value, JobContext& ctx = default_context());
// Has the STB's DMA engine copy from `source` to `destination` and polls it
// for at most about one second.
void dma_transfer(uint32_t source, uint32_t destination, JobContext& ctx = default_context());
// The same, telling how it ended: 1 the engine went idle, 0 still busy after
// about a second, -1 no poll was answered.
int dma_transfer_status(uint32_t source, uint32_t destination, JobContext& ctx = default_context());

// Writes and pauses in list order: "sleep" pauses for the value in ms, any
// other name is a hexadecimal address that gets the value. An entry whose
// name is no address is skipped with a log line. Returns 1 when every write
// went out.
int run_register_script(const RegisterList& list, JobContext& ctx = default_context());

// Collects the entries of `section` (e.g. "#INIT_REGS#") from a register text.
// 1 on success (an absent section gives an empty list); 0 when the section
// holds more than 127 entries (the list is then cleared and a line logged).
int parse_register_list(const std::string& text, const std::string& section, RegisterList* out);

// 0 and the value for the first entry named exactly `name`, -1 when absent.
int find_register(const RegisterList& list, const std::string& name, uint32_t* value);

// Reads a register and replaces bits [lo, lo+width) with `field`. 1 on success.
int set_bits(uint32_t address, int lo, int width, uint32_t field, JobContext& ctx = default_context());

}  // namespace bootlink
