#include "CalibrationJob.h"

#include "BootInit.h"
#include "BootRomWords.h"
#include "DownloadJob.h"

namespace download {

namespace {

constexpr const char* kSrc = "DialogDownload";

bool fail(CalibrationResult& r, const std::string& why)
{
    r.error = why;
    BL_LOG(kSrc, "%s\n", why.c_str());
    return false;
}

bool send_config_writes(const FpgaConfig& cfg, WordAccess& words, CalibrationResult& r)
{
    for (const ConfigWrite& w : cfg.writes)
        if (!words.write(w.address, w.value))
            return fail(r, std::string(kFpgaConfigFile) + " line " + std::to_string(w.line) +
                               ": the write did not go out");
    return true;
}

std::string window_text(int start, int end)
{
    return start < 0 ? std::string("none") : std::to_string(start) + "-" + std::to_string(end);
}

void log_lane(int lane, const LaneResult& l)
{
    BL_LOG(kSrc, "lane%d: clock window %s, dqs window %s, clock delay %d, dqs delay %d\n", lane,
           window_text(l.clock_start, l.clock_end).c_str(), window_text(l.dqs_start, l.dqs_end).c_str(), l.clock,
           l.dqs);
}

// The configuration writes go through `config`, the sweep through `words`.
CalibrationResult fpga_with(const std::string& text, WordAccess& config, WordAccess& words, bootlink::JobContext& ctx)
{
    CalibrationResult r;
    r.fpga = true;
    FpgaConfig cfg;
    std::string err;
    if (!parse_fpga_config(text, &cfg, &err)) {
        fail(r, std::string(kFpgaConfigFile) + " " + err);
        r.kind = JobErrorKind::Input;
        return r;
    }
    r.options = cfg.options;
    if (!send_config_writes(cfg, config, r))
        return r;
    FpgaSweep sweep(words, ctx.keep_going);
    for (int lane = 0; lane < 2; ++lane) {
        ctx.phase("lane " + std::to_string(lane));
        SweepEnd end = sweep.calibrate_lane(lane_codes(cfg.options, lane), &r.lanes[lane]);
        if (end != SweepEnd::Done) {
            r.stopped = end == SweepEnd::Stopped;
            fail(r, "lane" + std::to_string(lane) + ": " + sweep.error());
            return r;
        }
        ++r.lanes_done;
        log_lane(lane, r.lanes[lane]);
        ctx.progress(50 * (lane + 1));
    }
    // A lane that never passed is centred in nothing: that is no calibration.
    for (int lane = 0; lane < 2; ++lane) {
        const LaneResult& l = r.lanes[lane];
        if (!l.clock_found || !l.dqs_found) {
            fail(r, "lane" + std::to_string(lane) + ": no " + (l.clock_found ? "DQS" : "clock") +
                        " window of at least 5 passing delays");
            return r;
        }
    }
    r.ok = true;
    return r;
}

}  // namespace

CalibrationResult calibrate_fpga(const std::string& text, WordAccess& words, bootlink::JobContext& ctx)
{
    return fpga_with(text, words, words, ctx);
}

namespace {

// The kind of a calibration's ending.
JobErrorKind ending(const CalibrationResult& r)
{
    if (r.ok)
        return JobErrorKind::None;
    if (r.stopped)
        return JobErrorKind::Cancelled;
    return r.kind == JobErrorKind::None ? JobErrorKind::Failed : r.kind;
}

const char* step_of(const CalibrationResult& r, const CalibrationParams& p, bool box_there)
{
    if (r.ok)
        return "";
    if (!box_there)
        return r.kind == JobErrorKind::Port ? "check" : "wait for reset";
    return p.platform == CalibrationPlatform::Chip ? "calibration on chip" : "fpga calibration";
}

}  // namespace

CalibrationResult run_calibration(const CalibrationParams& p, bootlink::JobContext& ctx)
{
    BL_LOG(kSrc, "Start Calibration ...\n");
    const int64_t t0 = bootlink::now_ms();
    CalibrationResult r;
    bool box_there = false;
    if (!bootlink::port_open(ctx.service())) {
        fail(r, "the port is not open");
        r.kind = JobErrorKind::Port;
    } else if (p.wait_for_box && (r.kind = wait_for_reset(ctx, p.reset_wait_ms, &r.error)) != JobErrorKind::None) {
        r.stopped = r.kind == JobErrorKind::Cancelled;
    } else {
        box_there = true;
        // The words go out and come back on the job's own reads: the
        // service's reading, started for the wait, would take the replies.
        ctx.service()->SMS_StopSvc();
        // Announcements the boot ROM made before the host talked are no replies.
        BootRomWords(ctx).settle();
        if (p.platform == CalibrationPlatform::Chip) {
            ctx.phase("calibration on chip");
            r.ok = bootlink::calibrate_on_chip(p.config_text, ctx) == 1;
            r.stopped = !r.ok && !ctx.going();
            if (!r.ok)
                r.error = ctx.last_error.empty() ? "the calibration on chip failed" : ctx.last_error;
        } else {
            BootRomWords config(ctx, kConfigWriteTimeoutMs), words(ctx);
            r = fpga_with(p.config_text, config, words, ctx);
        }
    }
    r.seconds = int((bootlink::now_ms() - t0) / 1000);
    BL_LOG(kSrc, "Calibration done, cost %d s\n", r.seconds);
    BL_LOG(kSrc, r.ok ? "DDR Calibration Completed\n" : "DDR Calibration Failed\n");
    if (CSerialMonitorSerivce* svc = ctx.service())
        svc->SMS_StartSvc();
    ctx.clear_keep_going();
    r.kind = ending(r);
    ctx.result(JobResult{r.kind, step_of(r, p, box_there), r.ok ? std::string() : r.error});
    return r;
}

}  // namespace download
