// The two long exchanges with an upgrade client, shared by the upgrade and
// the block-upgrade tools: the data frames of a transfer, and the burn
// progress after the burn command. Each tool's client answers them in its own
// way; what differs is a parameter here.
#pragma once

#include "BootLink.h"

#include <cstdint>
#include <vector>

namespace bootlink {

// How the client answered one data frame.
enum class FrameReply {
    Accepted,  // 'O' and a sequence number not behind the frame's
    Again,  // the frame goes again
    Failed,  // the transfer is over (the message is in the context)
};

struct FrameLoop {
    const char* source;  // names the tool in the log
    const char* cancel_text;  // logged on a cancel between frames
    const char* refused_format;  // logged when a frame (%zu) is not accepted after 4 tries
    // One attempt at a frame: sends it and reads the client's reply.
    FrameReply (*send_frame)(JobContext& ctx, const std::vector<uint8_t>& frame, uint16_t seq);
    // The block client: after the last frame the final count stays up for
    // this long before the progress goes back to 0.
    int final_count_ms = 0;
    // The block tool empties its status line on a cancel and at the end.
    bool clears_status = false;
};

// Sends `len` bytes as numbered data frames, each tried at most 4 times,
// with progress, byte counts and status as it goes; the cancel event is
// polled before every frame. Counts into ctx.transfer. 1 on success.
int send_frames(JobContext& ctx, const uint8_t* data, size_t len, const FrameLoop& loop);

// The percentage and bounds of a burn under way. A tool's reader takes the
// bytes the way its client sends them.
class BurnWatch {
public:
    // `tag` starts the tool's burn messages ("" or "(block upg)"), `tail`
    // ends the limit messages.
    BurnWatch(JobContext& ctx, const char* source, const char* tag, const char* tail);
    virtual ~BurnWatch() = default;
    // The next byte from the line; -1 when none came within `timeout_ms`.
    virtual int next(int timeout_ms);
    // Takes one byte: 1 finished, 0 failed, -1 go on.
    virtual int take(uint8_t b) = 0;
    // Fails the burn (with its message) when it has run too long or stopped advancing.
    bool within_limits();
    // The longest the next read may wait: the progress time-out, within the limits.
    int read_budget_ms() const;
    const char* source() const { return m_src; }
    const char* tag() const { return m_tag; }

protected:
    void report(int pct);

    JobContext& m_ctx;
    const char* m_src;
    const char* m_tag;
    const char* m_tail;
    int64_t m_start, m_advanced, m_report;
    int64_t m_longest_gap = 0;  // between two reports (or the command and the first)
    int m_pct = -1;
};

struct BurnLoop {
    const char* cancel_text;  // logged on a cancel
    // The block client goes on talking after a cancel: what it sends is
    // drained first.
    bool drains_on_cancel = false;
    // The block tool puts its progress and status back to 0 on a failure.
    bool resets_progress = false;
};

// Follows the burn until the reader sees its end, a failure, a limit, a
// read that brings nothing in 20 s, or the cancel event. 1 on success.
int follow_burn(JobContext& ctx, BurnWatch& burn, const BurnLoop& loop);

}  // namespace bootlink
