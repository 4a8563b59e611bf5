// The block kinds of the block upgrade tool: one per burn button, each with
// its file dialog and the block ID announced to the box, and which platforms
// offer it.
#pragma once

#include "Platform.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sectorsmith {

// The ID announced for the whole flash.
constexpr uint8_t kWholeFlashId = 0xFF;

struct FileDialogKind {
    const char* extension;  // default extension, "bin"
    const char* filter;  // "BIN files(*.bin)|*.bin|All   files   (*.*)|*.*||"
};

struct BlockKind {
    const char* caption;  // the button, "Application"
    const char* tip;  // its tool tip
    const char* cli_name;  // corvane-cli block --block NAME ("" for the whole flash)
    const FileDialogKind* dialog;
    uint8_t id;  // 0xFF: the whole flash, sent compressed
};

// The burn buttons in table order ("Application", "Flash", "Back Logo",
// "Dbase", "Key", "Radio Logo", "SSDATA", "IR", "Start Logo").
const std::vector<BlockKind>& block_kinds();
// The kind with this ID, or this command-line name; nullptr when none.
const BlockKind* find_kind(uint8_t id);
const BlockKind* find_kind(const std::string& cli_name);

// Whether the platform offers the kind: the key data everywhere but Alder,
// SSDATA and the IR table on Alder only, the start logo on Dogwood and Cedar.
bool kind_enabled(const BlockKind& kind, const bootlink::Platform& p);

// The ID word of a block: both bytes the requested ID (0x8888 for 0x88).
inline uint16_t id_word(uint8_t id) { return uint16_t(id << 8 | id); }

// A block given on the command line: a name of block_kinds() or a number
// (0x88, 136). False with a message when it is neither, or names the whole flash.
bool parse_block(const std::string& text, uint8_t* id, std::string* error);

// The project types of the tool's "Project Type" list, in list order.
const std::vector<int>& project_types();

}  // namespace sectorsmith
