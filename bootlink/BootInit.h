// Bringing the STB's DDR memory up: the boot-init images the boot ROM loads
// and runs, and the DDR calibration driven from the host through boot-ROM
// instructions and a "chip_ddrconf" text.
//
// Which bring-up a project type needs, and with which file, is in the
// platform table (Platform.h).
#pragma once

#include "BootLink.h"
#include "BootRom.h"
#include "Platform.h"

#include <cstdint>
#include <string>

namespace bootlink {

constexpr const char* kAlderBootImage = "boot_init.img";

// Both boot inits expect the link at the boot ROM's rate (the caller sets it)
// and the STB about to be reset; they wait up to 30 s for the boot ROM's
// announcement (wait_for_boot_rom), the cancel event polled throughout. 1 on
// success.
//
// boot_init_cedar sends the whole image after the 'R', switches the link to
// 115200 baud itself and waits for "SEND_UPG".
int boot_init_cedar(int project_type, JobContext& ctx);
// The same with an explicit image name.
int boot_init_cedar_image(const std::string& image_name, JobContext& ctx);
// boot_init sends "boot_init.img": 20 header bytes one by one (restarted when
// the boot ROM answers with its sync byte), then the rest byte by byte.
//   BootInitMode::Plain: the rest goes out unread; what came meanwhile is
//     read and dropped; logs "boot init finished.\n".
//   BootInitMode::Paced (the panel tool): one byte is read (1000 ms) before
//     each further byte goes out, and the init succeeds only when the second
//     of the two bytes read at the end is '"'.
// The cancel event is polled before every byte: a cancelled init resets it
// and fails with Outcome::Cancelled ("UPG Canceled by user!").
enum class BootInitMode { Plain, Paced };
int boot_init(JobContext& ctx, const std::string& image_name = kAlderBootImage,
              BootInitMode mode = BootInitMode::Plain);

// The calibration settings of "#CONFIG_SETTING#".
struct DdrSettings {
    uint32_t calibration_method = 0;
    uint32_t scan_mode = 0;
    uint32_t no_calibration = 0;
    uint32_t device_select = 2;
    int32_t clock_offset = 0;
    int32_t delay_90_offset = 0;
    int32_t delay_9090_offset = 0;
    int32_t dqs_in_90_offset = 0;
    uint32_t rdclk_dly_max = 0;
    uint32_t range_select = 4;
};

// The clock delay field is six bits wide: no scan goes past 64 delays.
constexpr int kMaxClockDelays = 64;

// One latch combination: number = 2 x rising + negative.
struct RangeRecord {
    uint8_t start = 0, end = 0, width = 0;
    uint8_t rising = 0, negative = 0;
    uint8_t rd_add[kMaxClockDelays] = {};
};

// State of one calibration run.
struct CalibrationState {
    DdrSettings settings;
    RangeRecord ranges[4];
    bool sources_written = false;  // source patterns written in this set of scans
    bool quiet = false;  // range scans do not log (sweep mode)
    bool link_failed = false;  // a read went unanswered: the scan stops
};

// Reads "#CONFIG_SETTING#" into `out`. A missing setting keeps its default
// and is logged. 1 on success, 0 when the section cannot be parsed.
int read_ddr_settings(const std::string& config_text, DdrSettings* out);
// Mask of a memory device: 0 low half, 1 high half, 2 (and any other value) all.
uint32_t device_mask(uint32_t device_select);

// Chooses the configuration or image for the project type and runs it;
// clears the keep-going flag at its end. 1 on success.
int calibrate_ddr(int project_type, JobContext& ctx);
// The register-level calibration of a Dogwood chip.
int calibrate_on_chip(const std::string& config_text, JobContext& ctx);
// Sends a self-running cache-calibration image and waits for "SEND_UPG".
int send_cache_calibration(const std::string& image_name, JobContext& ctx);
// Scans one latch combination over the clock delays. 1 unless the keep-going
// flag was cleared or the STB stopped answering (st.link_failed).
int scan_range(CalibrationState& st, uint32_t device, int rising, int negative, JobContext& ctx);
// One write / DMA / verify round of the memory. 1 when it passes, 0 when a
// word differs; a read that goes unanswered also gives 0 and sets
// st.link_failed.
int memory_test(CalibrationState& st, uint32_t device, JobContext& ctx);
// The widest range (the lower number on equal widths).
int choose_range(const CalibrationState& st);

}  // namespace bootlink
