#include "DownloadJob.h"

#include "BootInit.h"
#include "KvBasicLog.h"

namespace download {

namespace {
constexpr const char* kSrc = "DialogDownload";
}

const char* cache_calibration_image(CacheCalibration cal)
{
    switch (cal) {
    case CacheCalibration::ElmDdr2: return "ddr2_cache_cal.img";
    case CacheCalibration::ElmDdr3: return "ddr3_cache_cal.img";
    case CacheCalibration::None: break;
    }
    return "";
}

BlocksEnd send_in_blocks(const uint8_t* data, size_t size, size_t block, const BlockLoop& loop, uint64_t* total)
{
    *total = 0;
    size_t off = 0;
    for (; block && size - off >= block; off += block) {
        if (loop.cancelled && loop.cancelled())
            return BlocksEnd::Cancelled;
        if (!loop.send(data + off, block))
            return BlocksEnd::SendFailed;
        *total = off + block;
        if (loop.sent)
            loop.sent(*total);
    }
    if (loop.cancelled && loop.cancelled())
        return BlocksEnd::Cancelled;
    if (!loop.send(data + off, size - off))
        return BlocksEnd::SendFailed;
    *total = size;
    if (loop.sent)
        loop.sent(*total);
    return BlocksEnd::Sent;
}

JobErrorKind wait_for_reset(bootlink::JobContext& ctx, int64_t reset_wait_ms, std::string* error)
{
    ctx.phase("wait for reset");
    if (CSerialMonitorSerivce* svc = ctx.service())
        svc->SMS_StartSvc();  // its reading watches for the announcement
    kv_console_printf("Please reset the STB!\n");
    const bootlink::Outcome o = bootlink::wait_for_boot_rom(ctx, reset_wait_ms > 0 ? reset_wait_ms : -1);
    switch (o) {
    case bootlink::Outcome::Ok: return JobErrorKind::None;
    case bootlink::Outcome::Cancelled:
        ctx.reset_cancel();
        *error = "cancelled by the user while waiting for the STB";
        break;
    case bootlink::Outcome::NoBox:
        *error = "no boot ROM announced itself within " + std::to_string(reset_wait_ms / 1000) + " s";
        break;
    default: *error = "the port is not open"; break;
    }
    return bootlink::error_kind(o);
}

namespace {

// Step 2: the cache calibration, with the service's own reading stopped.
bool cache_calibration(CacheCalibration cal, bootlink::JobContext& ctx, DownloadResult* r)
{
    if (cal != CacheCalibration::None) {
        ctx.service()->SMS_StopSvc();
        ctx.phase("cache calibration");
        if (!bootlink::send_cache_calibration(cache_calibration_image(cal), ctx)) {
            BL_LOG(kSrc, "Calibration on chip failed\n");
            r->error = "the cache calibration failed";
            r->kind =
                bootlink::error_kind(ctx.outcome == bootlink::Outcome::Ok ? bootlink::Outcome::Failed : ctx.outcome);
            return false;
        }
    }
    BL_LOG(kSrc, "Calibration on chip completed.\n");
    return true;
}

void stream_image(const DownloadParams& p, bootlink::JobContext& ctx, DownloadResult* r)
{
    const uint64_t size = p.image.size();
    ctx.phase("download");
    ctx.progress(0);
    BL_LOG(kSrc, "Downloading ...\n");
    ctx.reset_cancel();
    BlockLoop loop;
    // A block needs its line time: 5120 bytes at 38400 Bd take 1.33 s.
    loop.send = [&](const uint8_t* d, size_t n) {
        return bootlink::line_send(ctx, d, n, bootlink::send_timeout_ms(ctx, n, kBlockTimeoutMs)) == 1;
    };
    loop.cancelled = [&] { return ctx.cancelled(); };
    loop.sent = [&](uint64_t total) {
        if (p.on_send_size)
            p.on_send_size(total);
        ctx.bytes(total, size);
        ctx.progress(int(total * 100 / size));
    };
    const int64_t t0 = bootlink::now_ms();
    BlocksEnd end = send_in_blocks(p.image.data(), p.image.size(), kBlockSize, loop, &r->sent);
    r->seconds = double(bootlink::now_ms() - t0) / 1000.0;
    switch (end) {
    case BlocksEnd::Sent:
        BL_LOG(kSrc, "Download successfully!\n");
        r->ok = true;
        break;
    case BlocksEnd::Cancelled:
        BL_LOG(kSrc, "Download Canceled by user, while transfering\n");
        r->cancelled = true;
        r->error = "cancelled by the user";
        r->kind = JobErrorKind::Cancelled;
        ctx.progress(0);
        ctx.reset_cancel();
        break;
    case BlocksEnd::SendFailed:
        // The loop ends here without a word in the old tool, which looked
        // like a finished download; say what happened.
        r->error = "the STB did not take the image after " + std::to_string(r->sent) + " of " + std::to_string(size) +
                   " bytes";
        r->kind = JobErrorKind::Failed;
        BL_LOG(kSrc, "Download failed: %s\n", r->error.c_str());
        break;
    }
}

DownloadResult refuse(bootlink::JobContext& ctx, const char* message, JobErrorKind kind)
{
    DownloadResult r;
    r.user_error = r.error = message;
    r.kind = kind;
    ctx.result(JobResult::failure(kind, message, "check"));
    return r;
}

// The boot ROM's announcement after the reset; false (the result filled in)
// when it did not come.
bool wait_for_box(const DownloadParams& p, bootlink::JobContext& ctx, DownloadResult* r)
{
    if (!p.wait_for_box)
        return true;
    r->kind = wait_for_reset(ctx, p.reset_wait_ms, &r->error);
    r->cancelled = r->kind == JobErrorKind::Cancelled;
    return r->kind == JobErrorKind::None;
}

const char* failed_step(const DownloadResult& r, bool calibrated, bool waited)
{
    if (r.ok)
        return "";
    return !waited ? "wait for reset" : !calibrated ? "cache calibration" : "download";
}

}  // namespace

DownloadResult run_download(const DownloadParams& p, bootlink::JobContext& ctx)
{
    if (!bootlink::port_open(ctx.service()))
        return refuse(ctx, "Please open the com first.", JobErrorKind::Port);
    if (p.image.empty())
        return refuse(ctx, "Please Select a file.", JobErrorKind::Input);
    DownloadResult r;
    // A "Cancel" pressed while nothing ran is no cancel of this job.
    ctx.reset_cancel();
    if (ctx.observer)
        ctx.observer->OnButtonsEnabled(false);
    const bool waited = wait_for_box(p, ctx, &r);
    const bool calibrated = waited && cache_calibration(p.cache, ctx, &r);
    ctx.service()->SMS_StartSvc();  // after a failed calibration too: the service reads the port again
    if (calibrated)
        stream_image(p, ctx, &r);
    if (ctx.observer)
        ctx.observer->OnButtonsEnabled(true);
    ctx.progress(0);
    ctx.result(JobResult{r.ok ? JobErrorKind::None : r.kind, failed_step(r, calibrated, waited),
                         r.ok ? std::string() : r.error});
    return r;
}

}  // namespace download
