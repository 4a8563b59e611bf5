// "Connect with Panel": wait for the reset box's boot ROM, bring the box up
// (Alder boot init, Dogwood DDR calibration), load the panel program, test
// the link and send the whole panel record.
#include "PanelSession.h"

#include "BootInit.h"
#include "KvBasicLog.h"
#include "KvWorkThread.h"
#include "PanelLink.h"
#include "SerialMonitorService.h"
#include "UpgClient.h"

namespace fir {

namespace {

constexpr int kBootBaud = 38400;
constexpr int kPanelBaud = 115200;

PanelResult failed(const std::string& why) { return {PanelOutcome::Failed, why}; }

// Alder: "boot_init.img" at the boot ROM's rate with the service's reading
// stopped; each byte after the header waits for one byte back, and the init
// is good only when it ends with '"'. The raw-link flag stays set.
bool alder_boot_init(bootlink::JobContext& ctx, CSerialMonitorSerivce* svc)
{
    svc->m_RawLink = 1;
    svc->SMS_StopSvc();
    panel_drain(ctx);
    bootlink::line_set_baud(ctx, kBootBaud);
    ctx.pause(200);
    if (!bootlink::boot_init(ctx, bootlink::kAlderBootImage, bootlink::BootInitMode::Paced)) {
        if (ctx.outcome != bootlink::Outcome::Cancelled)
            BL_LOG(kFirInc, "boot init fail!\n");
        svc->m_RawLink = 0;
        bootlink::line_set_baud(ctx, kPanelBaud);
        svc->SMS_StartSvc();
        return false;
    }
    bootlink::line_set_baud(ctx, kPanelBaud);
    ctx.pause(2000);
    svc->SMS_StartSvc();
    return true;
}

// The panel program of the platform, with its load header, in one send.
bool send_panel_program(bootlink::JobContext& ctx, Platform p)
{
    const PlatformTraits& t = traits(p);
    std::vector<uint8_t> file;
    if (!bootlink::read_file(ctx.file_path(t.panel_program), &file) || file.empty()) {
        BL_LOG(kFirInc, "Cannot read the panel program %s\n", t.panel_program);
        return false;
    }
    std::vector<uint8_t> out;
    if (p != Platform::Alder)
        out = bootlink::client_image_header(t.boot_project_type, static_cast<uint32_t>(file.size()));
    out.insert(out.end(), file.begin(), file.end());
    return bootlink::line_send(ctx, out.data(), out.size(), t.program_send_ms) == 1;
}

}  // namespace

bool CPanelSession::StartConnect(Platform p, const CPanelRecord& record, ConnectOptions options)
{
    if (!Claim(PanelExchange::Connect) || !TakeRecord(PanelExchange::Connect, record, p))
        return false;
    m_platform = static_cast<int>(p);
    m_connectOptions = options;
    m_running = true;
    m_connected = false;
    m_keepGoing = true;
    m_cancel = false;  // here, so that a "Clear" right after the start is never lost
    return Launch(PanelExchange::Connect, &CPanelSession::RunConnect);
}

// Waits for the boot ROM's announcement (the service resumes this thread).
bool CPanelSession::WaitForBootRom(CKvWorkThread* self)
{
    if (m_connectOptions.reset_wait_ms <= 0) {
        self->Suspend();
        return true;
    }
    return self->SuspendFor(m_connectOptions.reset_wait_ms) || m_ctx.cancelled();
}

PanelResult CPanelSession::RunConnect()
{
    CSerialMonitorSerivce* svc = m_ctx.service();
    if (!svc || !bootlink::port_open(svc)) {
        BL_LOG(kFirInc, "The port is not open!\n");
        return failed("the port is not open");
    }
    CKvWorkThread* self = m_thread.get();
    svc->set_upg(1);
    m_holdsService = true;
    svc->m_pUpgThread = self;
    struct ForgetThread {
        CSerialMonitorSerivce* svc;
        CKvWorkThread* self;
        ~ForgetThread()
        {
            CKvWorkThread* mine = self;
            svc->m_pUpgThread.compare_exchange_strong(mine, nullptr);
        }
    } forget{svc, self};
    ClearConsle();
    BL_LOG(kFirInc, "Please reset the STB!\n");
    const Platform p = ConnectedPlatform();
    if (p == Platform::Alder && !alder_boot_init(m_ctx, svc)) {
        LeaveUpgradeMode();
        if (m_ctx.outcome == bootlink::Outcome::Cancelled) {
            m_ctx.status("");
            return {PanelOutcome::Cancelled, "UPG Canceled by user!"};
        }
        return failed("boot init fail!");
    }
    const PanelResult r = RunConnectStates(self);
    if (!r.ok())
        LeaveUpgradeMode();
    return r;
}

PanelResult CPanelSession::RunConnectStates(CKvWorkThread* self)
{
    const Platform p = ConnectedPlatform();
    for (int state = 0;;) {
        if (m_ctx.cancelled()) {
            BL_LOG(kFirInc, "UPG Canceled by user!\n");
            m_ctx.reset_cancel();
            m_ctx.status("");
            return {PanelOutcome::Cancelled, "UPG Canceled by user!"};
        }
        switch (state) {
        case 0:
            if (!WaitForBootRom(self)) {
                BL_LOG(kFirInc, "The STB did not announce itself within %d s!\n",
                       m_connectOptions.reset_wait_ms / 1000);
                return {PanelOutcome::NoBox, "no box announced itself"};
            }
            state = 1;
            break;
        case 1:
            if (!m_running)
                return {PanelOutcome::Cancelled, "the connection was cleared"};
            if (p == Platform::Dogwood) {
                panel_drain(m_ctx);
                if (!bootlink::calibrate_ddr(traits(p).boot_project_type, m_ctx))
                    return failed("DDR Calibration Failed");
                m_ctx.pause(1000);
            }
            BL_LOG(kFirInc, "Got sync byte!\n");
            BL_LOG(kFirInc, "Start sending client...\n");
            if (!send_panel_program(m_ctx, p)) {
                m_events->OnMessage("Download Upg Client Image Failed!");
                return failed("Download Upg Client Image Failed!");
            }
            m_ctx.status("Sync with slave, please wait...");
            state = 2;
            break;
        case 2:
            if (!m_running)
                return {PanelOutcome::Cancelled, "the connection was cleared"};
            m_ctx.pause(5000);
            if (!panel_link_test(m_ctx))
                return failed("the panel program did not answer the link test");
            m_ctx.status("");
            state = 4;
            break;
        case 4: {
            const PanelResult r = SendWholeRecord();
            if (!r.ok()) {
                BL_LOG(kFirInc, "\n transfer error ....\n");
                m_connected = false;
                return r;
            }
            m_connected = true;
            BL_LOG(kFirInc, "Download  successfully!\n");
            m_ctx.status("");
            return {};
        }
        }
    }
}

}  // namespace fir
