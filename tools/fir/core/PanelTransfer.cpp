// The whole panel record on connection, and the configuration ("Send Config
// to Panel"): an announcement, then one data frame in up to ten attempts.
#include "PanelSession.h"

#include "PanelLink.h"

#include <cstdio>

using bootlink::JobContext;

namespace fir {

namespace {

constexpr int kFrameAttempts = 10;

struct FrameTransfer {
    int status_ms;  // how long the status reply may take
    bool ask_on_silence;  // no status: ask the user (else the attempt failed)
    bool send_failure_ends;  // a failed send ends the transfer (else next attempt)
};

enum class TransferEnd { Accepted, Failed, Stopped };

// Sends the frame until the panel accepts it. A frame that nobody
// acknowledged is never taken as accepted.
TransferEnd transfer_frame(JobContext& ctx, const std::vector<uint8_t>& data, const FrameTransfer& how,
                           const std::atomic<bool>& running, IPanelEvents& events)
{
    for (int attempt = 0; attempt < kFrameAttempts; ++attempt) {
        if (!running)
            return TransferEnd::Stopped;
        const FrameResult r = send_panel_frame(ctx, data.data(), data.size(), how.status_ms);
        switch (r.outcome) {
        case FrameOutcome::Accepted: return TransferEnd::Accepted;
        case FrameOutcome::SlaveError:
            BL_LOG(kFirInc, "\nSlave error, retransfer...!\n");
            BL_LOG(kFirInc, "Slave error:state:%d, code:%d\n", r.status.bytes[1], r.status.bytes[2]);
            panel_drain(ctx);
            break;
        case FrameOutcome::OtherStatus: panel_drain(ctx); break;
        case FrameOutcome::NoStatus:
            if (how.ask_on_silence) {
                if (!events.AskRetry("Connection error! retry or not?"))
                    return TransferEnd::Failed;
                --attempt;  // the user's retry repeats this attempt
            } else {
                BL_LOG(kFirInc, "\nNo status from the panel, retransfer...!\n");
            }
            panel_drain(ctx);
            break;
        case FrameOutcome::SendFailed:
            if (how.send_failure_ends)
                return TransferEnd::Failed;
            break;
        }
    }
    BL_LOG(kFirInc, "\nUpgrade fail, Please start again!\n");
    return TransferEnd::Failed;
}

}  // namespace

PanelResult CPanelSession::SendWholeRecord()
{
    BL_LOG(kFirInc, "Start to send all configuration data...\n");
    if (!panel_command_done(m_ctx, PanelCommand::AnnounceRecord, announce_payload(1)))
        return {PanelOutcome::Failed, "the panel did not take the record announcement"};
    panel_drain(m_ctx);
    const FrameTransfer how{2000, false, true};
    switch (transfer_frame(m_ctx, m_record.bytes(), how, m_running, *m_events)) {
    case TransferEnd::Accepted: break;
    case TransferEnd::Stopped: return {PanelOutcome::Cancelled, "the connection was cleared"};
    case TransferEnd::Failed: return {PanelOutcome::Failed, "the panel did not accept the record"};
    }
    panel_drain(m_ctx);
    char status[48];
    std::snprintf(status, sizeof status, "Dumping: %zu/%zu", m_record.size(), m_record.size());
    m_ctx.status(status);
    BL_LOG(kFirInc, "\nEnd downloading!\n");
    return {};
}

// The configuration as it goes to the panel: on Dogwood byte 6 says 9 when
// the first word is not zero. The record itself keeps its byte.
static std::vector<uint8_t> config_frame_data(const CPanelRecord& rec, bool dogwood)
{
    std::vector<uint8_t> data(rec.config(), rec.config() + rec.config_size());
    if (dogwood && (data[0] | data[1] | data[2] | data[3]) != 0)
        data[6] = 9;
    return data;
}

PanelResult CPanelSession::RunSendConfig()
{
    const bool dogwood = ConnectedPlatform() == Platform::Dogwood;
    BL_LOG(kFirInc, "\nStart to send configuration...\n");
    if (!panel_command_done(m_ctx, PanelCommand::AnnounceConfig,
                            announce_payload(static_cast<uint32_t>(m_record.config_size())))) {
        BL_LOG(kFirInc, "send configuration fail!!!\n");
        m_configured = false;
        return {PanelOutcome::Failed, "send configuration fail!!!"};
    }
    panel_drain(m_ctx);
    const FrameTransfer how{4000, true, false};
    switch (transfer_frame(m_ctx, config_frame_data(m_record, dogwood), how, m_running, *m_events)) {
    case TransferEnd::Accepted: break;
    case TransferEnd::Stopped: return {PanelOutcome::Cancelled, "the connection was cleared"};
    case TransferEnd::Failed: return {PanelOutcome::Failed, "the panel did not accept the configuration"};
    }
    panel_drain(m_ctx);
    BL_LOG(kFirInc, "send configuration success!!!\n");
    m_configured = true;
    return {};
}

}  // namespace fir
