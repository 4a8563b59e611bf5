// The project types of the boot-ROM tools, in one table.
//
// A project type (0 to 7, the index in the "Project Type" lists) fixes
// everything that differs between the chip platforms: the rate the boot ROM
// talks at after a reset, how the box's DDR memory is brought up before a
// program can run in it, which upgrade client is loaded and with which load
// header, and how the flash is dumped. Every tool's platform list is a view of
// this table (the flash upgrade tool shows all eight types, the block-upgrade
// tool five of them, the front-panel tool three); the tools, the command line
// and the virtual STB read it instead of testing type numbers.
//
// The table has no dependencies, so that the virtual STB can read it too.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bootlink {

// How the box's memory is made usable after the boot ROM announced itself.
enum class BringUp {
    None,  // DDR works from reset
    AlderBootInit,  // "boot_init.img" through the 20-byte header handshake
    CedarBootInit,  // a Cedar boot-init image sent in one piece; it answers "SEND_UPG"
    CacheCalibration,  // a self-running cache-calibration image; it answers "SEND_UPG"
    DdrCalibration,  // register-level calibration steered by a "chip_ddrconf" text
};

// The chip family a platform belongs to (tools enable controls by family).
enum class Family { Base, Alder, Dogwood, Elm, Cedar };

// How a program (the upgrade client) goes to the boot ROM.
enum class ProgramLoad {
    Header,  // one send: a header of 32-bit words (length, load, entry[, length]), then the file
    AlderBlocks,  // 128-byte block frames answered one by one, after the boot init said "bootinit_ready"
};

enum class DumpPath {
    Shell,  // "shell.img" answers read requests
    Client,  // the upgrade client streams the flash
};

struct Platform {
    int type;  // 0..7
    const char* name;  // "Base", "Alder", "Dogwood-400", ... (lists show it with the type)
    Family family;
    int boot_rom_baud;  // the boot ROM's rate after a reset
    BringUp bring_up;
    const char* bring_up_file;  // image or "chip_ddrconf" text of the bring-up ("" for none)
    const char* client_file;  // the upgrade client in the program folder
    ProgramLoad client_load;
    uint32_t load_address;  // header words 2 and 3 (ProgramLoad::Header)
    bool header_repeats_length;  // a fourth header word repeats the length (Cedar)
    int program_send_timeout_ms;  // a program sent in one piece, at the least
    DumpPath dump;
    bool console_commands;  // the tool offers a command line to the running box (Alder)

    // The bring-up runs at the boot ROM's rate before the job waits for
    // anything else: the boot init itself waits for the announcement.
    bool boots_with_init() const { return bring_up == BringUp::AlderBootInit || bring_up == BringUp::CedarBootInit; }
    // The bring-up calibrates after the announcement (the keep-going flag applies).
    bool calibrates() const { return bring_up == BringUp::CacheCalibration || bring_up == BringUp::DdrCalibration; }
    // The chip's DDR reads back without any bring-up.
    bool ddr_works_from_reset() const { return bring_up == BringUp::None || bring_up == BringUp::AlderBootInit; }
};

constexpr int kProjectTypes = 8;
// The rate of the upgrade client and of the box's console.
constexpr int kClientBaud = 115200;

// The platform of a project type; nullptr outside 0..7.
const Platform* find_platform(int type);
// The platform of a project type that is known to be valid (0..7; anything
// else gives type 0).
const Platform& platform(int type);
// The text of a list entry: "2: Dogwood-400".
std::string list_text(const Platform& p);

// The words ahead of a program sent in one piece: length, load address,
// entry address (the load address) and, on Cedar, the length again. Empty for
// a platform whose programs go in blocks.
std::vector<uint8_t> load_header(const Platform& p, uint32_t program_len);

// Views of the table: the project types each tool lists, in list order.
// The flash upgrade and download tools list all eight.
const std::vector<int>& all_project_types();
// The block-upgrade tool: base platform, Alder, Dogwood, Cedar DDR2, Cedar DDR3.
const std::vector<int>& block_upgrade_types();
// The front-panel tool: base platform, Alder, Dogwood.
const std::vector<int>& front_panel_types();
// The project type at `position` of a view; -1 when out of range.
int type_at(const std::vector<int>& view, int position);

}  // namespace bootlink
