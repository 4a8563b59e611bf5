// The tool's link to the panel program on a live box: the connection
// routine, the configuration sender and the page exchanges (light and dim
// all, key acquisition, LED-map acquisition, lamp-position test), each run on
// a thread of its own, never two at a time.
//
// The session owns what the exchanges share: the connected, running and
// configured flags, the connected platform, the page flags, the cancel event
// and the job context over the serial service. The view and the command line
// start exchanges through it and hear from them through IPanelEvents (on the
// exchange's thread; a view queues onto its own).
//
//   CPanelSession s(svc, &events);
//   s.StartConnect(Platform::Base, record);      // reset the box now
//   s.WaitIdle(120000);
//   if (s.LastResult().ok) s.StartSendConfig(record);
#pragma once

#include "FirPlatform.h"
#include "JobObserver.h"
#include "PanelFlags.h"
#include "PanelRecord.h"

#include "BootLink.h"

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>

class CKvWorkThread;
class CSerialMonitorSerivce;

namespace fir {

enum class PanelExchange { None, Connect, SendConfig, LightDim, Keys, LedMap, Lamp };
const char* exchange_name(PanelExchange e);

// A key the box reported, and the cell that had the focus.
struct LearnedKey {
    KeyTable table = KeyTable::Fp;
    int row = 0;
    uint16_t user_code = 0;
    uint8_t key_code = 0;
};

using LedMapBytes = std::array<uint8_t, kLedMapSize>;

// How an exchange ended.
enum class PanelOutcome {
    Ok,
    Failed,  // the box refused or did not answer
    Cancelled,  // "Clear", the view closing, Ctrl+C
    NoBox,  // no boot ROM announced itself in time
    Refused,  // not started: not connected, or another exchange runs
};

struct PanelResult {
    PanelOutcome outcome = PanelOutcome::Ok;
    std::string error;  // why, in the words of the log
    bool ok() const { return outcome == PanelOutcome::Ok; }
};

// What the exchanges report besides log lines, status and progress. Every
// call comes from the exchange's thread.
class IPanelEvents : public IJobObserver {
public:
    // A key report went to the focused cell.
    virtual void OnKeyLearned(const LearnedKey& /*key*/) {}
    // The panel acknowledged a LED-map step (`ok`) or refused it.
    virtual void OnLedStep(int /*step*/, bool /*ok*/) {}
    // A LED map arrived with a good CRC.
    virtual void OnLedMap(const LedMapBytes& /*map*/) {}
    // The lamp moved (`confirmed` false) or the test confirmed its position.
    virtual void OnLampPosition(int /*position*/, bool /*confirmed*/) {}
    // No status reply came for the configuration: true sends it again
    // ("Connection error! retry or not?", retry or cancel).
    virtual bool AskRetry(const std::string& /*text*/) { return false; }
    // A text for a message box ("Download Upg Client Image Failed!").
    virtual void OnMessage(const std::string& /*text*/) {}
    // The exchange ended (its page's button shows the start text again).
    virtual void OnExchangeEnded(PanelExchange /*which*/, const PanelResult& /*result*/) {}
};

// How the connection routine waits for the box.
struct ConnectOptions {
    // How long to wait for the boot ROM after asking for a reset; 0 waits
    // until it announces itself or the routine is cancelled.
    int reset_wait_ms = 0;
};

class CPanelSession {
public:
    // `svc` null: kv::current_serial_service(); `events` may be null.
    CPanelSession(CSerialMonitorSerivce* svc, IPanelEvents* events);
    // Ends the running exchange (as "Clear" does) and waits for it.
    ~CPanelSession();
    CPanelSession(const CPanelSession&) = delete;
    CPanelSession& operator=(const CPanelSession&) = delete;

    // Page flags, written by the pages' buttons.
    KeyAcquisitionFlags keys;
    LedMapFlags led;
    LampTestFlags lamp;

    bool Connected() const { return m_connected; }
    bool Configured() const { return m_configured; }
    bool Running() const { return m_running; }
    // The platform of the last "Connect with Panel".
    Platform ConnectedPlatform() const { return static_cast<Platform>(m_platform.load()); }
    // Scales the fixed pauses (the 5 s wait, the waits between frame pieces).
    void SetPauseScale(double scale) { m_ctx.pause_scale = scale; }
    // The folder of the panel programs and calibration texts (default: the program folder).
    void SetRootDir(const std::string& dir) { m_ctx.root_dir = dir; }

    // Each starts its exchange on a thread of its own and returns at once.
    // False when it did not start (logged, and finished as refused): another
    // exchange runs, no connection is made yet (all but StartConnect), or the
    // record does not fit the platform.
    bool StartConnect(Platform p, const CPanelRecord& record, ConnectOptions options = {});
    bool StartSendConfig(const CPanelRecord& record);
    bool StartLightOrDim(bool dim);
    bool StartKeyAcquisition();
    bool StartLedMapAcquisition();
    bool StartLampTest();

    PanelExchange Current() const { return m_current; }
    bool Busy() const { return m_current != PanelExchange::None; }
    // Waits until no exchange runs; false when `timeout_ms` passed first.
    bool WaitIdle(int timeout_ms) const;
    // How the last exchange ended.
    PanelResult LastResult() const;

    // "Clear": the cancel event, every page flag and the running and
    // connected flags cleared, the worker resumed, the service out of
    // upgrade mode. Returns at once.
    void Clear();
    // Ctrl+C on the command line: like Clear, but keeps the connection.
    void Stop();

private:
    // Takes the serial service out of upgrade mode (and the raw link down)
    // when this session put it there.
    void LeaveUpgradeMode();
    using Body = PanelResult (CPanelSession::*)();
    // Marks `which` as the running exchange; false (logged) while another runs.
    bool Claim(PanelExchange which);
    // Runs the claimed exchange on a new thread.
    bool Launch(PanelExchange which, Body body);
    void Finish(PanelExchange which, const PanelResult& r);
    // Claims an exchange that needs the connection; false (logged with
    // `not_connected`, finished as refused) without one.
    bool ClaimConnected(PanelExchange which, const char* not_connected);
    // Keeps the record for the claimed exchange; false (logged, the exchange
    // finished as refused) when it is not of the platform's form.
    bool TakeRecord(PanelExchange which, const CPanelRecord& record, Platform p);

    PanelResult RunConnect();
    PanelResult RunConnectStates(CKvWorkThread* self);
    bool WaitForBootRom(CKvWorkThread* self);
    PanelResult RunSendConfig();
    PanelResult RunLightOrDim();
    PanelResult RunKeys();
    PanelResult RunLedMap();
    PanelResult RunLamp();

    // Pieces of the exchanges (PanelTransfer.cpp, PanelExchanges.cpp).
    PanelResult SendWholeRecord();
    bool ReceiveKeyReport();
    bool AcknowledgeStep(int step, int* successes);
    bool ReceiveLedMap();
    bool LampAction(int action, uint8_t* position, bool* ended);

    CSerialMonitorSerivce* m_svc;
    IPanelEvents* m_events;
    NullJobObserver m_nullObserver;
    std::atomic<bool> m_cancel{false};
    std::atomic<bool> m_keepGoing{false};  // the DDR calibration goes on while set
    bootlink::JobContext m_ctx;

    std::atomic<bool> m_holdsService{false};  // the service is in upgrade mode for this session
    std::atomic<bool> m_connected{false};
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_configured{false};
    std::atomic<int> m_platform{0};
    std::atomic<bool> m_dim{false};
    ConnectOptions m_connectOptions;
    CPanelRecord m_record;  // what the running exchange sends

    std::atomic<PanelExchange> m_current{PanelExchange::None};
    std::unique_ptr<CKvWorkThread> m_thread;
    mutable std::mutex m_resultMutex;
    PanelResult m_last;
};

}  // namespace fir
