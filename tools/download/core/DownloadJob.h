// The download thread of the "Download" tool: an optional cache calibration
// of an Elm box, then the image streamed into the STB's memory while its boot
// ROM listens, in blocks of 5120 bytes and a last piece with the rest. No
// reply from the STB is read; what the box does with the image is its own
// affair.
#pragma once

#include "BootLink.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace download {

constexpr size_t kBlockSize = 5120;
constexpr int kBlockTimeoutMs = 1000;  // at the least; a block at a slow rate gets twice its line time

enum class CacheCalibration { None, ElmDdr2, ElmDdr3 };
// "ddr2_cache_cal.img", "ddr3_cache_cal.img", or "" for None.
const char* cache_calibration_image(CacheCalibration cal);

enum class BlocksEnd { Sent, Cancelled, SendFailed };

// The block loop: whole blocks with a cancel check before each, then the rest
// in one piece (empty when the size is a multiple of the block). `sent` is
// told the running total after every piece that went out.
struct BlockLoop {
    std::function<bool(const uint8_t* data, size_t len)> send;
    std::function<bool()> cancelled;
    std::function<void(uint64_t total)> sent;
};
BlocksEnd send_in_blocks(const uint8_t* data, size_t size, size_t block, const BlockLoop& loop, uint64_t* total);

// Waits for the boot ROM's announcement after a reset (`reset_wait_ms` 0:
// until it comes or the job is cancelled). The serial service's reading is
// started; the caller has set the job's flag, so that it watches.
// None when it came; otherwise the ending's kind, with the message in *error.
JobErrorKind wait_for_reset(bootlink::JobContext& ctx, int64_t reset_wait_ms, std::string* error);

struct DownloadParams {
    std::vector<uint8_t> image;
    CacheCalibration cache = CacheCalibration::None;
    // "Send Size": the bytes sent so far (called on the job thread).
    std::function<void(uint64_t)> on_send_size;
    // Wait for the boot ROM's announcement before anything is sent (the box
    // is about to be reset); the caller sets the service's boot-ROM job flag,
    // so that its reading watches for the announcement. `reset_wait_ms` 0 waits until the box
    // announces itself or the job is cancelled.
    bool wait_for_box = false;
    int64_t reset_wait_ms = 0;
};

struct DownloadResult {
    bool ok = false;
    bool cancelled = false;
    std::string user_error;  // a message for a box before anything was done ("Please open the com first.")
    std::string error;  // why it failed, in the words of the log
    JobErrorKind kind = JobErrorKind::None;  // why it ended, as the observer's OnResult told
    uint64_t sent = 0;
    double seconds = 0;  // of the image stream alone
};

// Runs on the download thread. `ctx.cancel` is the manual-reset cancel event;
// it is reset when the job starts.
// The end is told to the observer (OnResult); the result tells the caller
// whether a message box is due.
DownloadResult run_download(const DownloadParams& params, bootlink::JobContext& ctx);

}  // namespace download
