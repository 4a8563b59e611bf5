// The calibration thread of the "Download" tool: the SDRAM of a new board
// calibrated on its own, either on the chip (the register-level calibration
// steered by a "chip_ddrconf" text) or on an FPGA prototype board (the
// configuration writes of "ddrconf.txt", then the clock and DQS sweep of
// lane 0 and lane 1).
#pragma once

#include "BootLink.h"
#include "DdrConf.h"
#include "FpgaSweep.h"

#include <string>

namespace download {

enum class CalibrationPlatform { Fpga, Chip };

// The FPGA board's configuration file, in the program folder.
constexpr const char* kFpgaConfigFile = "ddrconf.txt";
// Configuration lines go out with this send time-out.
constexpr int kConfigWriteTimeoutMs = 1000;

struct CalibrationParams {
    CalibrationPlatform platform = CalibrationPlatform::Chip;
    std::string config_text;  // "chip_ddrconf" text (CHIP) or "ddrconf.txt" (FPGA)
    // Wait for the boot ROM's announcement first, as DownloadParams.
    bool wait_for_box = false;
    int64_t reset_wait_ms = 0;
};

struct CalibrationResult {
    bool ok = false;
    bool stopped = false;  // the running flag was cleared
    std::string error;  // why it failed
    JobErrorKind kind = JobErrorKind::None;  // why it ended, as the observer's OnResult told
    int seconds = 0;  // "cost %d s"
    bool fpga = false;
    FpgaOptions options;  // FPGA: the options the configuration set
    LaneResult lanes[2];  // FPGA: what each lane's sweep found
    int lanes_done = 0;  // FPGA: lanes swept to their end
};

// Runs on the calibration thread. `ctx.keep_going` is the running flag (set
// by the caller before the start, cleared by "Stop"); it is cleared again at
// the end, and the serial service's own reading is restarted. The end is
// told to the observer (OnResult).
CalibrationResult run_calibration(const CalibrationParams& params, bootlink::JobContext& ctx);

// The FPGA part alone: configuration writes, then both lanes.
CalibrationResult calibrate_fpga(const std::string& config_text, WordAccess& words, bootlink::JobContext& ctx);

}  // namespace download
