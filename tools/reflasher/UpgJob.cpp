#include "UpgJob.h"

#include "BootInit.h"
#include "Gzip.h"
#include "KvBasicCfgIni.h"
#include "KvBasicLog.h"
#include "KvWorkThread.h"
#include "UpgClient.h"

#include <cstdio>
#include <fstream>
#include <iterator>

namespace reflasher {

namespace {

constexpr const char* kSrc = "DialogUPG";

bool is_cedar(int pt) { return pt == 6 || pt == 7; }
bool needs_calibration(int pt) { return pt >= 2 && pt <= 5; }

std::string strip_blanks(const std::string& s)
{
    std::string t;
    for (char c : s)
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n')
            t += c;
    return t;
}

}  // namespace

int dump_size_index(const std::string& name)
{
    for (int i = 0; i < 5; ++i)
        if (name == kDumpSizeNames[i])
            return i;
    return -1;
}

int load_padded_image(const std::string& path, std::vector<uint8_t>* out, std::string* error)
{
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        if (error)
            *error = "cannot open " + path;
        return 0;
    }
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (f.bad()) {
        if (error)
            *error = "cannot read " + path;
        return 0;
    }
    if (data.empty()) {
        if (error)
            *error = path + " is empty";
        return 0;
    }
    uint64_t padded = bootlink::padded_image_size(data.size());
    if (padded > 0xFFFFFFFFull) {
        if (error)
            *error = path + " is too large for a flash image";
        return 0;
    }
    data.resize(static_cast<size_t>(padded), 0);
    *out = std::move(data);
    return 1;
}

int user_limit_mode_from_settings(int current)
{
    CKvBasicCfgIni ini;
    if (!ini.SetFileName(CKvBasicCfgIni::path_in_root("corvane.ini")))
        return current;
    std::string v = strip_blanks(ini.GetValue("UPG", "User_limit"));
    if (v == "1")
        return 1;
    if (v == "0")
        return 2;
    return current;
}

UpgJob::UpgJob(UpgJobParams params, bootlink::JobContext& ctx, CKvWorkThread* self)
    : m_p(std::move(params)), m_ctx(ctx), m_self(self)
{
}

void UpgJob::begin_phase(const char* name)
{
    end_phase();
    m_phase = name;
    m_phaseStart = bootlink::now_ms();
    m_ctx.phase(name);
}

void UpgJob::end_phase()
{
    if (!m_phase.empty())
        m_r.phases.emplace_back(m_phase, double(bootlink::now_ms() - m_phaseStart) / 1000.0);
    m_phase.clear();
}

// Records a failed step; true when the step went well.
bool UpgJob::step(const char* name, int ok, const std::string& why)
{
    if (ok)
        return true;
    m_r.ok = false;
    m_r.failed_step = name;
    m_r.error = !why.empty() ? why : (!m_ctx.last_error.empty() ? m_ctx.last_error : std::string(name) + " failed");
    if (m_r.error.find("Canceled by user") != std::string::npos)
        m_r.cancelled = true;
    return false;
}

bool UpgJob::wait_for_boot_rom(const char* cancel_text, bool)
{
    if (!m_self) {
        m_r.failed_step = "wait for reset";
        m_r.error = "the job runs on no worker thread";
        return false;
    }
    if (m_p.reset_wait_ms > 0) {
        if (!m_self->SuspendFor(m_p.reset_wait_ms) && !m_ctx.cancelled()) {
            m_r.failed_step = "wait for reset";
            m_r.error = "the STB did not announce itself within " + std::to_string(m_p.reset_wait_ms / 1000) +
                        " s of the reset request";
            BL_LOG(kSrc, "%s\n", m_r.error.c_str());
            return false;
        }
    } else {
        m_self->Suspend();
    }
    if (m_ctx.cancelled()) {
        BL_LOG(kSrc, "%s", cancel_text);
        m_ctx.reset_cancel();
        m_ctx.status("");
        m_r.cancelled = true;
        m_r.failed_step = "wait for reset";
        m_r.error = "cancelled by the user";
        return false;
    }
    return true;
}

// The dump itself, through the upgrade client or through "shell.img".
void UpgJob::run_dump(bool through_shell)
{
    begin_phase("dump");
    std::vector<uint8_t> data;
    int done = through_shell ? bootlink::ShellReadDump(m_p.dump_size, &data, m_p.dump_path, m_ctx)
                             : bootlink::UpgDump(m_p.dump_size, &data, m_p.dump_path, m_ctx);
    m_r.dump = m_ctx.dump;
    if (done) {
        BL_LOG(kSrc, "dumping completes succesfully!\n");
        m_r.ok = true;
        m_r.dump_data = std::move(data);
    } else {
        BL_LOG(kSrc, "dumping Failed!\n");
        step("dump", 0);
    }
}

void UpgJob::finish_dump_file()
{
    // The dump operations write the file only when the dump is complete and
    // verified; a failed dump leaves nothing that could pass for one.
    if (!m_r.ok && !m_p.dump_path.empty())
        std::remove(m_p.dump_path.c_str());
}

UpgJobResult UpgJob::Run()
{
    m_r = UpgJobResult();
    CSerialMonitorSerivce* svc = m_ctx.service();
    const int pt = m_p.project_type;
    const bool upgrade = m_p.kind == JobKind::Upgrade;
    if (!svc || !bootlink::port_open(svc)) {
        BL_LOG(kSrc, "The serial port is not open!\n");
        step("port", 0, "the serial port is not open");
        return m_r;
    }
    if (pt < 0 || pt > 7) {
        step("project type", 0, "unknown project type " + std::to_string(pt));
        return m_r;
    }

    std::vector<uint8_t> compressed;
    if (upgrade) {
        if (m_p.image.empty()) {
            step("image", 0, "no image loaded");
            return m_r;
        }
        begin_phase("compress");
        m_ctx.status("Compressing the image...");
        if (!bootlink::gzip_compress(m_p.image.data(), m_p.image.size(), &compressed)) {
            BL_LOG(kSrc, "failed to open zipped file.\n");
            step("compress", 0, "the image could not be compressed");
            end_phase();
            return m_r;
        }
        m_r.compressed_size = compressed.size();
        m_r.announced_size = static_cast<uint32_t>(m_p.image.size());
        m_ctx.status("Please reset the slave STB!");
    }

    if (m_ctx.keep_going && needs_calibration(pt))
        m_ctx.keep_going->store(true);
    svc->set_upg(1);
    svc->m_pUpgThread = m_self;
    ClearConsle();
    LogStoreFileLine(kSrc, __LINE__);
    static const char kReset[] = "Please reset the STB!\n";
    WriteConsleData(kReset, sizeof(kReset) - 1);
    m_ctx.reset_cancel();
    int state = 0;
    bool failed = false;

    if (pt == 1 || is_cedar(pt)) {
        begin_phase("boot init");
        svc->m_RawLink = 1;
        svc->SMS_StopSvc();
        bootlink::line_drain(m_ctx, 256, 300);
        if (is_cedar(pt))
            svc->SMS_FlushComData(300);
        bootlink::line_set_baud(m_ctx, 38400);
        m_ctx.pause(200);
        int ok = pt == 1 ? bootlink::boot_init(m_ctx) : bootlink::boot_init_cedar(pt, m_ctx);
        if (!ok) {
            BL_LOG(kSrc, "boot init fail!\n");
            svc->m_RawLink = 0;
            bootlink::line_set_baud(m_ctx, 115200);
            svc->SMS_StartSvc();
            if (m_ctx.cancelled()) {
                m_ctx.reset_cancel();
                m_r.cancelled = true;
            }
            failed = !step("boot init", 0, m_r.cancelled ? "cancelled by the user" : "boot init fail!");
        } else {
            bootlink::line_set_baud(m_ctx, 115200);
            m_ctx.pause(2000);
            state = 1;
        }
    } else {
        // The service's reader watches for the boot ROM's announcement.
        svc->SMS_StartSvc();
    }

    bool loop = !failed;
    while (loop) {
        if (m_ctx.cancelled()) {
            BL_LOG(kSrc, "UPG Canceled by user!\n");
            m_ctx.reset_cancel();
            m_ctx.status("");
            m_r.cancelled = true;
            step("cancel", 0, "cancelled by the user");
            break;
        }
        switch (state) {
        case 0:
            begin_phase("wait for reset");
            if (!wait_for_boot_rom("UPG Canceled by user!\n", false)) {
                loop = false;
                break;
            }
            state = 1;
            break;
        case 1: {
            if (needs_calibration(pt)) {
                begin_phase("calibration");
                bootlink::line_drain(m_ctx, 256, 300);
                if (!step("calibration", bootlink::calibrate_ddr(pt, m_ctx))) {
                    loop = false;
                    break;
                }
                m_ctx.pause(1000);
            }
            begin_phase("client");
            BL_LOG(kSrc, "Got sync byte!\nStart sending client...\n");
            int ok = 0;
            if (pt == 1) {
                // The Alder boot init says "bootinit_ready" when it waits for the client.
                std::string seen;
                int64_t until = bootlink::now_ms() + 20000;
                for (;;) {
                    uint8_t buf[256];
                    uint32_t got = 0;
                    bootlink::line_recv(m_ctx, buf, sizeof(buf), &got, 1000);
                    if (got == 0)
                        break;
                    seen.append(reinterpret_cast<char*>(buf), got);
                    if (seen.size() > 4096)
                        seen.erase(0, seen.size() - 4096);
                    if (bootlink::now_ms() > until)
                        break;
                }
                if (seen.find("bootinit_ready") != std::string::npos) {
                    BL_LOG(kSrc, "got bootinit_ready sync bytes\n");
                    ok = bootlink::DownloadUpgClientImage_Alder(m_ctx);
                } else {
                    BL_LOG(kSrc, "send upg client failed\n");
                }
            } else {
                ok = bootlink::DownloadUpgClientImage(pt, m_ctx);
            }
            if (!step("client download", ok, "Download Upg Client Image Failed!")) {
                loop = false;
                break;
            }
            m_ctx.status("Sync with slave, please wait...");
            state = 2;
            break;
        }
        case 2:
            m_ctx.pause(5000);
            begin_phase("client test");
            if (!step("client test", bootlink::UpgClientTest(m_ctx))) {
                loop = false;
                break;
            }
            state = (!upgrade && pt >= 2) ? 8 : 3;
            break;
        case 3:
            if (!upgrade && pt == 1) {
                state = 8;
                break;
            }
            begin_phase("user limit");
            // The client must take the user limit: a box left with another
            // limit than the line asked for is a wrong box.
            if (!step("user limit", bootlink::UpgUserLimit(m_p.user_limit_mode, m_ctx))) {
                loop = false;
                break;
            }
            state = upgrade ? 4 : 8;
            break;
        case 4:
            begin_phase("slave report");
            if (!step("slave report", bootlink::UpgSlaveReport(static_cast<uint32_t>(m_p.image.size()), m_ctx))) {
                loop = false;
                break;
            }
            state = 5;
            break;
        case 5:
            begin_phase("transfer");
            if (!step("transfer", bootlink::UpgTransfer(compressed.data(), compressed.size(), m_ctx))) {
                m_r.transfer = m_ctx.transfer;
                loop = false;
                break;
            }
            m_r.transfer = m_ctx.transfer;
            state = 6;
            break;
        case 6:
            begin_phase("burn");
            if (!step("burn", bootlink::UpgBurn(m_ctx))) {
                loop = false;
                break;
            }
            state = 7;
            break;
        case 7:
            begin_phase("finish");
            if (!step("finish", bootlink::UpgFinish(m_ctx, pt == 1 || is_cedar(pt)))) {
                loop = false;
                break;
            }
            m_r.ok = true;
            loop = false;
            break;
        case 8:
            run_dump(false);
            loop = false;
            break;
        default:
            loop = false;
            break;
        }
    }
    end_phase();

    // Leave the line as a console again: raw link off, normal rate, the
    // service reading what the box prints.
    if (svc->m_RawLink.load())
        svc->m_RawLink = 0;
    svc->set_upg(0);
    svc->m_pUpgThread = nullptr;
    serialport_config_tag cfg;
    svc->SMS_GetCurSvcParam(nullptr, nullptr, &cfg);
    if (cfg.baud_rate != 115200)
        bootlink::line_set_baud(m_ctx, 115200);
    svc->SMS_StartSvc();
    if (!upgrade)
        finish_dump_file();
    return m_r;
}

UpgJobResult UpgJob::RunShellDump()
{
    m_r = UpgJobResult();
    CSerialMonitorSerivce* svc = m_ctx.service();
    if (!svc || !bootlink::port_open(svc)) {
        BL_LOG(kSrc, "The serial port is not open!\n");
        step("port", 0, "the serial port is not open");
        return m_r;
    }
    ClearConsle();
    LogStoreFileLine(kSrc, __LINE__);
    static const char kReset[] = "Please reset the STB!\n";
    WriteConsleData(kReset, sizeof(kReset) - 1);
    svc->set_dumping(1);
    svc->m_pDumpThread = m_self;
    svc->SMS_StartSvc();
    m_ctx.pause(100);
    m_ctx.reset_cancel();
    begin_phase("wait for reset");
    bool ok = wait_for_boot_rom("DUMP Canceled by user!\n", true);
    if (ok) {
        begin_phase("shell");
        BL_LOG(kSrc, "sending shell.img ...\n");
        if (!bootlink::send_shell_image(m_ctx)) {
            BL_LOG(kSrc, "sending shell.img Failed\n");
            ok = step("send shell.img", 0, "sending shell.img Failed");
        }
    }
    if (ok)
        run_dump(true);
    end_phase();
    svc->set_dumping(0);
    svc->m_pDumpThread = nullptr;
    svc->SMS_StartSvc();
    finish_dump_file();
    return m_r;
}

}  // namespace reflasher
