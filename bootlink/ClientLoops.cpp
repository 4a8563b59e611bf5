#include "ClientLoops.h"

#include "KvBasicLog.h"
#include "UpgClient.h"

#include <algorithm>

namespace bootlink {

namespace {

int cancelled(JobContext& ctx, const char* source, const char* text, bool clears_status)
{
    if (clears_status)
        ctx.status("");
    ctx.reset_cancel();
    return fail_at(ctx, source, __LINE__, Outcome::Cancelled, "%s", text);
}

std::string transferred(size_t sent, size_t len)
{
    return "Transferring: " + std::to_string(sent) + "/" + std::to_string(len);
}

}  // namespace

int send_frames(JobContext& ctx, const uint8_t* data, size_t len, const FrameLoop& loop)
{
    WireStats& st = ctx.transfer;
    ctx.bytes(0, len);
    size_t sent = 0;
    for (size_t seq = 0; sent < len; ++seq) {
        if (ctx.cancelled()) {
            ctx.progress(0);
            return cancelled(ctx, loop.source, loop.cancel_text, loop.clears_status);
        }
        const size_t n = std::min(kDataFrameBytes, len - sent);
        const uint16_t wire_seq = uint16_t(seq);
        std::vector<uint8_t> frame = build_data_frame(wire_seq, data + sent, n);
        FrameReply reply = FrameReply::Again;
        for (int attempt = 0; attempt < 4 && reply == FrameReply::Again; ++attempt) {
            if (attempt > 0)
                ++st.retries;
            reply = loop.send_frame(ctx, frame, wire_seq);
        }
        if (reply == FrameReply::Failed)
            return 0;
        if (reply != FrameReply::Accepted)
            return fail_at(ctx, loop.source, __LINE__, Outcome::Failed, loop.refused_format, seq);
        sent += n;
        st.payload_bytes = sent;
        ctx.bytes(sent, len);
        ctx.progress(int(uint64_t(sent) * 100 / len));
        ctx.status(transferred(sent, len));
    }
    ctx.progress(100);
    if (loop.final_count_ms > 0) {
        ctx.status(transferred(sent, len));
        ctx.pause(loop.final_count_ms);
    }
    ctx.progress(0);
    if (loop.clears_status)
        ctx.status("");
    return 1;
}

BurnWatch::BurnWatch(JobContext& ctx, const char* source, const char* tag, const char* tail)
    : m_ctx(ctx), m_src(source), m_tag(tag), m_tail(tail), m_start(now_ms())
{
    m_advanced = m_report = m_start;
}

int BurnWatch::next(int timeout_ms)
{
    uint8_t b = 0;
    uint32_t got = 0;
    line_recv(m_ctx, &b, 1, &got, timeout_ms);
    return got == 1 ? b : -1;
}

void BurnWatch::report(int pct)
{
    const int64_t now = now_ms();
    m_longest_gap = std::max(m_longest_gap, now - m_report);
    m_report = now;
    if (pct > m_pct) {
        m_pct = pct;
        m_advanced = now;
    }
    m_ctx.progress(pct);
    m_ctx.status("Burning: " + std::to_string(pct) + "/100");
}

bool BurnWatch::within_limits()
{
    const int64_t now = now_ms();
    if (now - m_start > m_ctx.limits.burn_total_ms) {
        fail_at(m_ctx, m_src, __LINE__, Outcome::Failed, "\n%sBurning flash did not end within %lld s!!\n%s", m_tag,
                (long long)(m_ctx.limits.burn_total_ms / 1000), m_tail);
        return false;
    }
    if (now - m_advanced > m_ctx.limits.burn_stall_ms) {
        fail_at(m_ctx, m_src, __LINE__, Outcome::Failed, "\n%sBurning flash stopped at %d%% for %lld s!!\n%s", m_tag,
                std::max(m_pct, 0), (long long)(m_ctx.limits.burn_stall_ms / 1000), m_tail);
        return false;
    }
    return true;
}

int BurnWatch::read_budget_ms() const
{
    const int64_t left =
        std::min(m_start + m_ctx.limits.burn_total_ms, m_advanced + m_ctx.limits.burn_stall_ms) - now_ms();
    return int(std::clamp<int64_t>(left + 1, 1, 20000));
}

int follow_burn(JobContext& ctx, BurnWatch& burn, const BurnLoop& loop)
{
    const char* src = burn.source();
    int state = -1;
    while (state < 0) {
        if (ctx.cancelled()) {
            if (loop.drains_on_cancel)
                line_drain(ctx, 256, 2000);
            if (loop.resets_progress)
                ctx.progress(0);
            return cancelled(ctx, src, loop.cancel_text, loop.resets_progress);
        }
        if (!burn.within_limits()) {
            if (loop.resets_progress)
                ctx.progress(0);
            return 0;
        }
        const int budget = burn.read_budget_ms();
        const int b = burn.next(budget);
        if (b < 0) {
            if (budget < 20000)
                continue;  // a limit ran out: within_limits says which
            if (loop.resets_progress)
                ctx.progress(0);
            return fail_at(ctx, src, __LINE__, Outcome::Failed, "%sReceive burn info timeout!\n", burn.tag());
        }
        state = burn.take(uint8_t(b));
    }
    if (state == 0)
        return 0;
    ctx.progress(100);
    ctx.status("Burning: 100/100");
    log_at(src, __LINE__, "\n%sBurning flash OK!\n\n", burn.tag());
    ctx.progress(0);
    ctx.status("");
    return 1;
}

}  // namespace bootlink
