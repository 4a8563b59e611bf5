// Talking to the panel program once it runs on the box: the command
// exchange, the data frame with its status reply, and the link test.
//
// The panel answers every command twice with three bytes: the first reply
// (within 1000 ms) confirms receipt, byte 0 being 0x00; the second (within the
// command's time-out) gives the result, byte 0 being 0x00 for done and 0x01
// for an error. A data frame ('#', '*', the bytes, their CRC-32) is answered
// with a status reply: byte 0 0x00 accepted, 0x01 slave error; bytes 1 and 2
// the slave's state and error code.
#pragma once

#include "BootLink.h"
#include "PanelCommands.h"

#include <cstdint>
#include <vector>

namespace fir {

// Source name of the exchanges' log lines.
constexpr const char* kFirInc = "FirInc";

enum class CommandOutcome {
    Done,  // the second reply said done
    SlaveError,  // the second reply said error: not tried again
    NoAnswer,  // three attempts brought no good reply
};

// Empties the input: 256-byte reads of 300 ms until nothing comes.
void panel_drain(bootlink::JobContext& ctx);

// One command, in up to three attempts. Each attempt empties the input, sends
// the frame and reads both replies; an attempt ends early when the send fails,
// the first reply is missing or not 0x00, or the second is missing or neither
// 0x00 nor 0x01. A second reply of 0x01 logs "Slave report Error" and fails
// at once.
CommandOutcome panel_command(bootlink::JobContext& ctx, PanelCommand c, const std::vector<uint8_t>& payload = {});
inline bool panel_command_done(bootlink::JobContext& ctx, PanelCommand c, const std::vector<uint8_t>& payload = {})
{
    return panel_command(ctx, c, payload) == CommandOutcome::Done;
}

// The link test: 'P' with the banner, then the banner back within 1000 ms.
// Logs "!!TEST CMD fail-1!" (command), "-2!" (nothing back) or "-3!" (other bytes).
bool panel_link_test(bootlink::JobContext& ctx);

// A three-byte status reply.
struct PanelStatus {
    bool received = false;  // at least byte 0 arrived
    uint8_t bytes[3] = {0, 0, 0};

    bool ok() const { return received && bytes[0] == 0x00; }
    bool slave_error() const { return received && bytes[0] == 0x01; }
};
// Reads a status reply: a first read of `timeout_ms`, the rest of the three
// bytes with one short read more.
PanelStatus read_panel_status(bootlink::JobContext& ctx, int timeout_ms);

enum class FrameOutcome { Accepted, SlaveError, OtherStatus, NoStatus, SendFailed };
struct FrameResult {
    FrameOutcome outcome = FrameOutcome::SendFailed;
    PanelStatus status;
};
// One data frame as the panel program takes it: the two frame bytes
// (1000 ms), a 200 ms pause, the data (1000 ms), a 200 ms pause, the CRC
// (2000 ms); then the status reply within `status_ms`.
FrameResult send_panel_frame(bootlink::JobContext& ctx, const uint8_t* data, size_t n, int status_ms);

}  // namespace fir
