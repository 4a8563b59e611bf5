#include "PanelSession.h"

#include "KvWorkThread.h"
#include "PanelLink.h"
#include "SerialMonitorService.h"

#include <chrono>
#include <thread>

namespace fir {

namespace {

IPanelEvents& quiet_events()
{
    static IPanelEvents none;
    return none;
}

}  // namespace

const char* exchange_name(PanelExchange e)
{
    switch (e) {
    case PanelExchange::None: return "none";
    case PanelExchange::Connect: return "the connection";
    case PanelExchange::SendConfig: return "the configuration transfer";
    case PanelExchange::LightDim: return "light/dim all";
    case PanelExchange::Keys: return "the key acquisition";
    case PanelExchange::LedMap: return "the LED-map acquisition";
    case PanelExchange::Lamp: return "the lamp-position test";
    }
    return "?";
}

CPanelSession::CPanelSession(CSerialMonitorSerivce* svc, IPanelEvents* events)
    : m_svc(svc), m_events(events ? events : &quiet_events())
{
    m_ctx.observer = m_events;
    m_ctx.cancel = &m_cancel;
    m_ctx.keep_going = &m_keepGoing;
    m_ctx.svc = m_svc;
}

CPanelSession::~CPanelSession()
{
    Clear();
    if (m_thread)
        m_thread->Detach();
}

bool CPanelSession::Claim(PanelExchange which)
{
    PanelExchange idle = PanelExchange::None;
    if (m_current.compare_exchange_strong(idle, which))
        return true;
    BL_LOG(kFirInc, "\n%s is still running: %s waits until it has ended!\n", exchange_name(idle), exchange_name(which));
    return false;
}

bool CPanelSession::Launch(PanelExchange which, Body body)
{
    if (m_thread)
        m_thread->Detach();  // its exchange has ended; the thread is on its way out
    m_thread = std::make_unique<CKvWorkThread>();
    m_thread->Attach([this, which, body]() -> uint32_t {
        const PanelResult r = (this->*body)();
        Finish(which, r);
        return r.ok() ? 0 : 1;
    });
    if (!m_thread->Start(1)) {
        Finish(which, {PanelOutcome::Failed, "the exchange thread did not start"});
        return false;
    }
    return true;
}

void CPanelSession::Finish(PanelExchange which, const PanelResult& r)
{
    {
        std::lock_guard<std::mutex> l(m_resultMutex);
        m_last = r;
    }
    m_current = PanelExchange::None;
    m_events->OnExchangeEnded(which, r);
}

PanelResult CPanelSession::LastResult() const
{
    std::lock_guard<std::mutex> l(m_resultMutex);
    return m_last;
}

bool CPanelSession::WaitIdle(int timeout_ms) const
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (Busy()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

void CPanelSession::Stop()
{
    m_cancel = true;
    m_keepGoing = false;
    keys.getting = false;
    keys.clear_focus();
    led.reset();
    lamp.reset();
    m_running = false;
    if (m_thread)
        m_thread->Resume();
}

void CPanelSession::Clear()
{
    Stop();
    m_connected = false;
    LeaveUpgradeMode();
}

void CPanelSession::LeaveUpgradeMode()
{
    CSerialMonitorSerivce* svc = m_ctx.service();
    if (!svc || !m_holdsService.exchange(false))
        return;
    svc->set_upg(0);
    svc->m_RawLink = 0;
}

namespace {
constexpr const char* kConnectFirst = "\n!!Please connect with panel correctly!\n";
}  // namespace

bool CPanelSession::ClaimConnected(PanelExchange which, const char* not_connected)
{
    if (!Claim(which))
        return false;
    if (m_connected)
        return true;
    BL_LOG(kFirInc, "%s", not_connected);
    Finish(which, {PanelOutcome::Refused, "not connected"});
    return false;
}

bool CPanelSession::TakeRecord(PanelExchange which, const CPanelRecord& record, Platform p)
{
    if (record.size() == traits(p).record_size) {
        m_record = record;
        return true;
    }
    BL_LOG(kFirInc, "\nThe panel record does not fit the %s panel program: parse an image of it first!\n",
           traits(p).display);
    Finish(which, {PanelOutcome::Refused, "the record is of another platform"});
    return false;
}

bool CPanelSession::StartSendConfig(const CPanelRecord& record)
{
    const PanelExchange e = PanelExchange::SendConfig;
    return ClaimConnected(e, "\nPlease connect with panel connectly!\n") &&
           TakeRecord(e, record, ConnectedPlatform()) && Launch(e, &CPanelSession::RunSendConfig);
}

bool CPanelSession::StartLightOrDim(bool dim)
{
    if (!ClaimConnected(PanelExchange::LightDim, kConnectFirst))
        return false;
    m_dim = dim;
    return Launch(PanelExchange::LightDim, &CPanelSession::RunLightOrDim);
}

bool CPanelSession::StartKeyAcquisition()
{
    if (ClaimConnected(PanelExchange::Keys, kConnectFirst))
        return Launch(PanelExchange::Keys, &CPanelSession::RunKeys);
    keys.clear_focus();
    return false;
}

bool CPanelSession::StartLedMapAcquisition()
{
    return ClaimConnected(PanelExchange::LedMap, kConnectFirst) &&
           Launch(PanelExchange::LedMap, &CPanelSession::RunLedMap);
}

bool CPanelSession::StartLampTest()
{
    if (!ClaimConnected(PanelExchange::Lamp, kConnectFirst))
        return false;
    if (ConnectedPlatform() == Platform::Alder) {
        BL_LOG(kFirInc, "\nThe lamp-position test is not offered on Alder!\n");
        Finish(PanelExchange::Lamp, {PanelOutcome::Refused, "no lamp test on Alder"});
        return false;
    }
    return Launch(PanelExchange::Lamp, &CPanelSession::RunLamp);
}

PanelResult CPanelSession::RunLightOrDim()
{
    const uint8_t how = m_dim ? 0x01 : 0x00;
    if (!panel_command_done(m_ctx, PanelCommand::LightOrDim, {how})) {
        BL_LOG(kFirInc, "\nSend light/dim led&lamp CMD fail!\n");
        return {PanelOutcome::Failed, "Send light/dim led&lamp CMD fail!"};
    }
    return {};
}

}  // namespace fir
