#include "PanelLink.h"

#include <cstring>

using bootlink::JobContext;

namespace fir {

namespace {

constexpr int kAttempts = 3;
constexpr size_t kReplyBytes = 3;

// One read of up to `n` bytes within `timeout_ms`; the count that came.
uint32_t receive(JobContext& ctx, uint8_t* buf, size_t n, int timeout_ms)
{
    uint32_t got = 0;
    if (!bootlink::line_recv(ctx, buf, n, &got, timeout_ms))
        return 0;
    return got;
}

enum class Attempt { Done, SlaveError, Again };

Attempt command_attempt(JobContext& ctx, const std::vector<uint8_t>& frame, int second_ms)
{
    panel_drain(ctx);
    if (!bootlink::line_send(ctx, frame.data(), frame.size(), 1000))
        return Attempt::Again;
    uint8_t reply[kReplyBytes];
    if (receive(ctx, reply, kReplyBytes, kFirstReplyMs) == 0) {
        BL_LOG(kFirInc, "Failed to get CMD response!\n");
        return Attempt::Again;
    }
    if (reply[0] != 0x00)
        return Attempt::Again;
    if (receive(ctx, reply, kReplyBytes, second_ms) == 0)
        return Attempt::Again;
    if (reply[0] == 0x00)
        return Attempt::Done;
    if (reply[0] == 0x01) {
        BL_LOG(kFirInc, "Slave report Error\n");
        return Attempt::SlaveError;
    }
    return Attempt::Again;
}

}  // namespace

void panel_drain(JobContext& ctx) { bootlink::line_drain(ctx, 256, 300); }

CommandOutcome panel_command(JobContext& ctx, PanelCommand c, const std::vector<uint8_t>& payload)
{
    const std::vector<uint8_t> frame = panel_command_frame(c, payload);
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        switch (command_attempt(ctx, frame, second_reply_ms(c))) {
        case Attempt::Done: return CommandOutcome::Done;
        case Attempt::SlaveError: return CommandOutcome::SlaveError;
        case Attempt::Again: break;
        }
    }
    return CommandOutcome::NoAnswer;
}

bool panel_link_test(JobContext& ctx)
{
    BL_LOG(kFirInc, "Start to check serial...\n");
    const size_t n = sizeof kPanelBanner - 1;
    const std::vector<uint8_t> banner(kPanelBanner, kPanelBanner + n);
    if (!panel_command_done(ctx, PanelCommand::LinkTest, banner)) {
        BL_LOG(kFirInc, "\n!!TEST CMD fail-1!\n");
        return false;
    }
    uint8_t back[sizeof kPanelBanner - 1];
    const uint32_t got = receive(ctx, back, n, 1000);
    if (got == 0) {
        BL_LOG(kFirInc, "\n!!TEST CMD fail-2!\n");
        return false;
    }
    if (got != n || std::memcmp(back, kPanelBanner, n) != 0) {
        BL_LOG(kFirInc, "\n!!TEST CMD fail-3!\n");
        return false;
    }
    return true;
}

PanelStatus read_panel_status(JobContext& ctx, int timeout_ms)
{
    PanelStatus st;
    uint32_t got = receive(ctx, st.bytes, kReplyBytes, timeout_ms);
    if (got > 0 && got < kReplyBytes)
        got += receive(ctx, st.bytes + got, kReplyBytes - got, 200);
    st.received = got > 0;
    return st;
}

FrameResult send_panel_frame(JobContext& ctx, const uint8_t* data, size_t n, int status_ms)
{
    const std::vector<uint8_t> frame = panel_data_frame(data, n);
    FrameResult r;
    if (!bootlink::line_send(ctx, frame.data(), 2, 1000))
        return r;
    ctx.pause(200);
    if (!bootlink::line_send(ctx, frame.data() + 2, n, 1000))
        return r;
    ctx.pause(200);
    if (!bootlink::line_send(ctx, frame.data() + 2 + n, 4, 2000))
        return r;
    r.status = read_panel_status(ctx, status_ms);
    if (!r.status.received)
        r.outcome = FrameOutcome::NoStatus;
    else if (r.status.ok())
        r.outcome = FrameOutcome::Accepted;
    else if (r.status.slave_error())
        r.outcome = FrameOutcome::SlaveError;
    else
        r.outcome = FrameOutcome::OtherStatus;
    return r;
}

}  // namespace fir
