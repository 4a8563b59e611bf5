// The page exchanges: key acquisition, LED-map acquisition and the
// lamp-position test. Each is steered by its page's flags and ends when the
// page clears them or when the exchange itself is over.
#include "PanelSession.h"

#include "ByteOrder.h"
#include "PanelLink.h"
#include "kvcrc.h"

#include <chrono>
#include <thread>

namespace fir {

namespace {

constexpr int kStepSuccesses = 10;
constexpr int kMapTries = 5;
constexpr int kIdlePollMs = 20;

void idle() { std::this_thread::sleep_for(std::chrono::milliseconds(kIdlePollMs)); }

const std::vector<uint8_t> kOne = {'1'};

}  // namespace

// ---------------------------------------------------------------------------
// Key acquisition.

PanelResult CPanelSession::RunKeys()
{
    struct LoseFocus {
        KeyAcquisitionFlags& k;
        ~LoseFocus() { k.clear_focus(); }
    } lose{keys};
    BL_LOG(kFirInc, "\nStart to get keymap...\n");
    panel_drain(m_ctx);
    if (!panel_command_done(m_ctx, PanelCommand::GetKeys, kOne)) {
        BL_LOG(kFirInc, "\n!!Send get keymap CMD fail!\n");
        BL_LOG(kFirInc, "\nPlease try again!\n");
        BL_LOG(kFirInc, "\nStop to get keymap...\n");
        return {PanelOutcome::Failed, "Send get keymap CMD fail!"};
    }
    while (keys.getting && !m_ctx.cancelled())
        ReceiveKeyReport();
    BL_LOG(kFirInc, "\nStop to get keymap...\n");
    return {};
}

// One read for a key report: user code (u16), key code, one unused byte.
// False when none came.
bool CPanelSession::ReceiveKeyReport()
{
    uint8_t report[4];
    uint32_t got = 0;
    if (!bootlink::line_recv(m_ctx, report, sizeof report, &got, 1000) || got == 0)
        return false;
    if (got < sizeof report) {
        panel_drain(m_ctx);  // a piece of a report: what follows is out of step
        return false;
    }
    LearnedKey k;
    k.user_code = kv::get_le16(report);
    k.key_code = report[2];
    if (!keys.focused(&k.table, &k.row)) {
        BL_LOG(kFirInc, "\nPlease Focus the cursor to key!\n");
        return true;
    }
    m_events->OnKeyLearned(k);
    if (keys.hex)
        BL_LOG(kFirInc, "\nusercode:%x,key_value:%x", k.user_code, k.key_code);
    else
        BL_LOG(kFirInc, "\nusercode:%x,key_value:%d", k.user_code, k.key_code);
    return true;
}

// ---------------------------------------------------------------------------
// LED-map acquisition.

PanelResult CPanelSession::RunLedMap()
{
    BL_LOG(kFirInc, "\nStart get ledmap...\n");
    if (!panel_command_done(m_ctx, PanelCommand::StartLedMap)) {
        BL_LOG(kFirInc, "\n!!Send Get LedMap CMD fail!\n");
        BL_LOG(kFirInc, "\nPlease try again!\n");
        BL_LOG(kFirInc, "\nStop get ledmap...\n");
        return {PanelOutcome::Failed, "Send Get LedMap CMD fail!"};
    }
    PanelResult r{PanelOutcome::Cancelled, "the LED-map acquisition was stopped"};
    int successes = 0;
    while (led.getting && !m_ctx.cancelled()) {
        const int step = led.take();
        if (step >= LedMapFlags::kNoStep) {
            idle();
            continue;
        }
        if (!AcknowledgeStep(step, &successes)) {
            r = {PanelOutcome::Failed, "a step acknowledgement failed"};
            break;
        }
        if (successes >= kStepSuccesses) {
            r = ReceiveLedMap() ? PanelResult{} : PanelResult{PanelOutcome::Failed, "Get Led Map Error!!!"};
            break;
        }
    }
    BL_LOG(kFirInc, "\nStop get ledmap...\n");
    return r;
}

// Acknowledges one step and reads the panel's status. False when the command
// or the status failed (the acquisition stops); a step the panel refused does
// not count and may be pressed again.
bool CPanelSession::AcknowledgeStep(int step, int* successes)
{
    if (!panel_command_done(m_ctx, PanelCommand::LedMapStep, {static_cast<uint8_t>(step)})) {
        BL_LOG(kFirInc, "\n!Send ledmap ack CMD fail!Please try again!\n");
        return false;
    }
    const PanelStatus st = read_panel_status(m_ctx, 1000);
    if (!st.received) {
        BL_LOG(kFirInc, "\n!Get ledmap ack CMD fail!Please try again!\n");
        return false;
    }
    if (!st.ok() && !st.slave_error())
        return true;
    const char* verdict = st.ok() ? "Succeed" : "Failed";
    if (step == 0)
        BL_LOG(kFirInc, "\n%s:Ack All ON ", verdict);
    else if (step == 1)
        BL_LOG(kFirInc, "\n%s:Ack All OFF ", verdict);
    else
        BL_LOG(kFirInc, "\n%s: Ack segment %d", verdict, step - 2);
    if (st.ok())
        ++*successes;
    m_events->OnLedStep(step, st.ok());
    return true;
}

// The map: '#', '*', 256 bytes and their CRC-32, asked for up to five times.
// Only a map whose CRC matches is acknowledged (the single byte 0x02) and kept.
bool CPanelSession::ReceiveLedMap()
{
    for (int t = 0; t < kMapTries && !m_ctx.cancelled(); ++t) {
        panel_drain(m_ctx);
        uint8_t head[2], crc[4];
        LedMapBytes map{};
        uint32_t got = 0;
        if (!bootlink::line_recv(m_ctx, head, 2, &got, 4000) || got != 2 || head[0] != 0x23 || head[1] != 0x2A)
            continue;
        if (!bootlink::line_recv(m_ctx, map.data(), map.size(), &got, 4000) || got != map.size())
            continue;
        if (!bootlink::line_recv(m_ctx, crc, 4, &got, 4000) || got != 4)
            continue;
        if (kv::crc32(map.data(), map.size()) != kv::get_le32(crc))
            continue;
        BL_LOG(kFirInc, "\nGet Led Map OK!!! \n");
        const uint8_t ack = 0x02;
        bootlink::line_send(m_ctx, &ack, 1, 1000);
        m_events->OnLedMap(map);
        return true;
    }
    BL_LOG(kFirInc, "\nGet Led Map Error!!! \n");
    return false;
}

// ---------------------------------------------------------------------------
// Lamp-position test.

PanelResult CPanelSession::RunLamp()
{
    BL_LOG(kFirInc, "\nStart to config lamp pos...\n");
    panel_drain(m_ctx);
    if (!panel_command_done(m_ctx, PanelCommand::LampTest, kOne)) {
        BL_LOG(kFirInc, "\n!!Send test lamp pos CMD failed!\n");
        BL_LOG(kFirInc, "\nPlease try again!\n");
        BL_LOG(kFirInc, "\nStop test lamp pos!\n");
        return {PanelOutcome::Failed, "Send test lamp pos CMD failed!"};
    }
    BL_LOG(kFirInc, "\n Press OK when lamp is light!");
    BL_LOG(kFirInc, "\n Press Left to light the previous led!");
    BL_LOG(kFirInc, "\n Press Right to light the next led!");
    PanelResult r{PanelOutcome::Cancelled, "the lamp-position test was stopped"};
    bool ended = false;
    uint8_t position = 0;  // the panel lights the first position when the test starts
    while (lamp.testing && !m_ctx.cancelled() && !ended) {
        const int action = lamp.take();
        if (action == LampTestFlags::kNone) {
            idle();
            continue;
        }
        if (!LampAction(action, &position, &ended))
            r = {PanelOutcome::Failed, "the lamp-position test failed"};
        else if (ended)
            r = {};
    }
    BL_LOG(kFirInc, "\nStop test lamp pos!\n");
    lamp.take();
    return r;
}

// One arrow or "OK". An arrow's status gives the position now lit (byte 1),
// kept in *position; "OK" confirms that position (its status bytes 1 and 2
// are the panel's state and error code). False when the exchange failed;
// *ended when the test is over (after "OK", or a command that did not go
// through).
bool CPanelSession::LampAction(int action, uint8_t* position, bool* ended)
{
    static const struct {
        PanelCommand cmd;
        const char* send_failed;
        const char* no_status;
        const char* bad_status;
        const char* moved;
    } kMoves[] = {
        {PanelCommand::LampPrevious, "\n!!Send move left CMD failed!", "\nClick left,get the led pos failed!",
         "\nClick left,get the led pos failed!", "\nClick left,the led pos is: %d"},
        {PanelCommand::LampNext, "\n!!Send move right CMD failed!", "\n!!Click right,get the led pos failed!",
         "\nClick right,get the led pos failed!", "\nClick right,the led pos is: %d"},
    };
    if (action == LampTestFlags::kConfirm) {
        *ended = true;
        if (!panel_command_done(m_ctx, PanelCommand::LampConfirm, kOne)) {
            BL_LOG(kFirInc, "\n!!Send confirm CMD failed!");
            return false;
        }
        const PanelStatus st = read_panel_status(m_ctx, 1000);
        if (!st.received) {
            BL_LOG(kFirInc, "\n!!Get confirm CMD failed!");
            return false;
        }
        if (!st.ok()) {
            BL_LOG(kFirInc, "\nTest lamp pos failed! Retry please!");
            return false;
        }
        BL_LOG(kFirInc, "\nTest success: the lock or power lamp pos is: %d", *position);
        BL_LOG(kFirInc, "\nPlease input it to the correct editbox!");
        m_events->OnLampPosition(*position, true);
        return true;
    }
    const auto& m = kMoves[action == LampTestFlags::kPrevious ? 0 : 1];
    if (!panel_command_done(m_ctx, m.cmd, kOne)) {
        BL_LOG(kFirInc, "%s", m.send_failed);
        *ended = true;
        return false;
    }
    const PanelStatus st = read_panel_status(m_ctx, 1000);
    if (!st.ok()) {
        BL_LOG(kFirInc, "%s", st.received ? m.bad_status : m.no_status);
        return true;
    }
    *position = st.bytes[1];
    BL_LOG(kFirInc, m.moved, *position);
    m_events->OnLampPosition(*position, false);
    return true;
}

}  // namespace fir
