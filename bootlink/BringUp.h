// The steps every boot-ROM tool takes to get an upgrade client running in a
// freshly reset box, by the platform table: wait for the boot ROM (or run the
// boot init, which waits for it itself), bring the DDR up, load the client,
// check that it answers. The flash upgrade job runs them in order; the block
// upgrade tool runs the same steps with its own messages around them.
// (`source` names the tool in the log.)
//
// Every step returns 1 on success and 0 on failure, with the outcome and the
// message in the context (bootlink::JobContext).
#pragma once

#include "BootLink.h"
#include "Platform.h"

#include <cstdint>
#include <string>

namespace bootlink {

// The steps every boot-ROM job begins with, in this order. A job's own step
// enum starts with these values, so that the shared steps share their names.
enum class BringUpStep { Check, Compress, BootInit, WaitForReset, Calibrate, LoadClient, TestClient, Count };
// "check", "compress", "boot init", ...; nullptr for a value past them.
const char* bring_up_step_name(int step);

// Boot-init platforms, before anything else: the service stops reading and the
// line goes raw at the boot ROM's rate; the boot init waits for the boot ROM's
// announcement and sends its image. On success the line is at the client's
// rate after the platform's settling pause; on failure it logs "boot init
// fail!" (with the tool's `source` name), and the raw link ends with the
// service reading again.
int run_boot_init(bootlink::JobContext& ctx, const bootlink::Platform& p, const char* source = "DialogUPG");

// The other platforms: the line goes to the boot ROM's rate, the service
// watches for the announcement. `limit_ms` < 0 waits until the announcement
// or the cancel. Returns the wait's outcome (also in ctx.outcome).
bootlink::Outcome wait_for_reset(bootlink::JobContext& ctx, const bootlink::Platform& p, int64_t limit_ms);

// The message of a reset wait that ended without the box, logged under
// `source`: no announcement within `limit_ms` (NoBox), else the port is gone.
std::string reset_wait_failure(bootlink::Outcome o, int64_t limit_ms, const char* source);

// Calibrating platforms, after the announcement: drain, calibrate (by the
// platform's "chip_ddrconf" text or cache-calibration image), settle.
int bring_up_ddr(bootlink::JobContext& ctx, const bootlink::Platform& p);

// Logs "Got sync byte!" and loads the platform's upgrade client (Alder: once
// the boot init said "bootinit_ready", block by block).
int load_client(bootlink::JobContext& ctx, const bootlink::Platform& p);

// Gives the client its start-up time, then checks that it answers ('P').
int test_client(bootlink::JobContext& ctx);

// The STB-side files the bring-up of `p` sends (its boot-init or calibration
// file and its upgrade client), looked up as the steps look them up. Returns
// the path of the first one that is missing or empty, "" when all are there.
// A station checks this before it takes boxes, so that a missing file stops
// it instead of failing every box that is reset.
std::string missing_bring_up_file(const bootlink::JobContext& ctx, const bootlink::Platform& p);

}  // namespace bootlink
