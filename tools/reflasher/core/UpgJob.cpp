#include "UpgJob.h"
#include "FileOps.h"

#include "BringUp.h"
#include "Gzip.h"
#include "KvBasicCfgIni.h"
#include "KvBasicLog.h"
#include "KvWorkThread.h"
#include "UpgClient.h"

#include <fstream>
#include <iterator>

namespace reflasher {

namespace {

constexpr const char* kSrc = "DialogUPG";

std::string strip_blanks(const std::string& s)
{
    std::string t;
    for (char c : s)
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n')
            t += c;
    return t;
}

}  // namespace

const char* step_name(Step s)
{
    static_assert(int(Step::TestClient) == int(bootlink::BringUpStep::TestClient));
    if (const char* shared = bootlink::bring_up_step_name(int(s)))
        return shared;
    switch (s) {
    case Step::UserLimit: return "user limit";
    case Step::SlaveReport: return "slave report";
    case Step::Transfer: return "transfer";
    case Step::Burn: return "burn";
    case Step::Finish: return "finish";
    case Step::SendShell: return "shell";
    case Step::Dump: return "dump";
    case Step::Done: return "done";
    default: break;
    }
    return "?";
}

int dump_size_index(const std::string& name)
{
    for (int i = 0; i < 5; ++i)
        if (name == kDumpSizeNames[i])
            return i;
    return -1;
}

int load_padded_image(const std::string& path, std::vector<uint8_t>* out, std::string* error)
{
    std::ifstream f(kv::file_path(path), std::ios::binary);
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
    : m_p(std::move(params)), m_ctx(ctx), m_self(self), m_run(ctx, m_r, step_name, kSrc, "UPG Canceled by user!\n")
{}

Step UpgJob::fail(Step s, const std::string& why, JobErrorKind kind) { return m_run.fail(s, why, kind); }

bool UpgJob::through_shell() const
{
    return m_p.kind == JobKind::Dump && m_platform && m_platform->dump == bootlink::DumpPath::Shell;
}

bool UpgJob::check()
{
    m_ctx.outcome = bootlink::Outcome::Ok;
    m_platform = bootlink::find_platform(m_p.project_type);
    CSerialMonitorSerivce* svc = m_ctx.service();
    if (!svc || !bootlink::port_open(svc)) {
        BL_LOG(kSrc, "The serial port is not open!\n");
        m_ctx.outcome = bootlink::Outcome::PortLost;
        fail(Step::Check, "the serial port is not open");
        return false;
    }
    if (!m_platform) {
        fail(Step::Check, "unknown project type " + std::to_string(m_p.project_type), JobErrorKind::Usage);
        return false;
    }
    if (m_p.kind == JobKind::Upgrade && m_p.image.empty()) {
        fail(Step::Check, "no image loaded", JobErrorKind::Input);
        return false;
    }
    return true;
}

bool UpgJob::compress()
{
    m_run.begin_phase(Step::Compress);
    m_ctx.status("Compressing the image...");
    if (m_p.compressed && !m_p.compressed->empty()) {
        m_gz = m_p.compressed.get();
    } else if (!bootlink::gzip_compress(m_p.image.data(), m_p.image.size(), &m_compressed)) {
        BL_LOG(kSrc, "failed to open zipped file.\n");
        fail(Step::Compress, "the image could not be compressed");
        m_run.end_phase();
        return false;
    }
    m_r.compressed_size = m_gz->size();
    m_r.announced_size = static_cast<uint32_t>(m_p.image.size());
    m_ctx.status("Please reset the slave STB!");
    return true;
}

Step UpgJob::first_step() const
{
    return m_platform->boots_with_init() && !through_shell() ? Step::BootInit : Step::WaitForReset;
}

Step UpgJob::run(Step s)
{
    switch (s) {
    case Step::BootInit: return boot_init();
    case Step::WaitForReset: return wait_reset();
    case Step::Calibrate: return calibrate();
    case Step::LoadClient: return load();
    case Step::TestClient: return test();
    case Step::UserLimit: return user_limit();
    case Step::SlaveReport: return slave_report();
    case Step::Transfer: return transfer();
    case Step::Burn: return burn();
    case Step::Finish: return finish();
    case Step::SendShell: return send_shell();
    case Step::Dump: return dump();
    default: return Step::Done;
    }
}

Step UpgJob::boot_init()
{
    if (!bootlink::run_boot_init(m_ctx, *m_platform))
        return fail(Step::BootInit,
                    m_ctx.outcome == bootlink::Outcome::Cancelled ? "cancelled by the user" : "boot init fail!");
    return Step::LoadClient;
}

Step UpgJob::wait_reset()
{
    const bootlink::Outcome o =
        bootlink::wait_for_reset(m_ctx, *m_platform, m_p.reset_wait_ms > 0 ? m_p.reset_wait_ms : -1);
    switch (o) {
    case bootlink::Outcome::Ok: break;
    case bootlink::Outcome::Cancelled: return m_run.cancel();
    default: return fail(Step::WaitForReset, bootlink::reset_wait_failure(o, m_p.reset_wait_ms, kSrc));
    }
    if (through_shell())
        return Step::SendShell;
    return m_platform->calibrates() ? Step::Calibrate : Step::LoadClient;
}

Step UpgJob::calibrate()
{
    if (!bootlink::bring_up_ddr(m_ctx, *m_platform))
        return fail(Step::Calibrate);
    return Step::LoadClient;
}

Step UpgJob::load()
{
    if (!bootlink::load_client(m_ctx, *m_platform))
        return fail(Step::LoadClient, "Download Upg Client Image Failed!");
    m_ctx.status("Sync with slave, please wait...");
    return Step::TestClient;
}

Step UpgJob::test()
{
    if (!bootlink::test_client(m_ctx))
        return fail(Step::TestClient);
    // A dump goes straight to the client's flash: no user limit.
    return m_p.kind == JobKind::Dump ? Step::Dump : Step::UserLimit;
}

Step UpgJob::user_limit()
{
    // The client must take the user limit: a box left with another limit
    // than the line asked for is a wrong box.
    if (!bootlink::UpgUserLimit(m_p.user_limit_mode, m_ctx))
        return fail(Step::UserLimit);
    return Step::SlaveReport;
}

Step UpgJob::slave_report()
{
    if (!bootlink::UpgSlaveReport(static_cast<uint32_t>(m_p.image.size()), m_ctx))
        return fail(Step::SlaveReport);
    return Step::Transfer;
}

Step UpgJob::transfer()
{
    int ok = bootlink::UpgTransfer(m_gz->data(), m_gz->size(), m_ctx);
    m_r.transfer = m_ctx.transfer;
    return ok ? Step::Burn : fail(Step::Transfer);
}

Step UpgJob::burn() { return bootlink::UpgBurn(m_ctx) ? Step::Finish : fail(Step::Burn); }

Step UpgJob::finish()
{
    if (!bootlink::UpgFinish(m_ctx, m_platform->boots_with_init()))
        return fail(Step::Finish);
    m_r.ok = true;
    return Step::Done;
}

Step UpgJob::send_shell()
{
    BL_LOG(kSrc, "sending shell.img ...\n");
    if (!bootlink::send_shell_image(m_ctx)) {
        BL_LOG(kSrc, "sending shell.img Failed\n");
        return fail(Step::SendShell, "sending shell.img Failed");
    }
    return Step::Dump;
}

Step UpgJob::dump()
{
    std::vector<uint8_t> data;
    int done = through_shell() ? bootlink::ShellReadDump(m_p.dump_size, &data, m_p.dump_path, m_ctx)
                               : bootlink::UpgDump(m_p.dump_size, &data, m_p.dump_path, m_ctx);
    m_r.dump = m_ctx.dump;
    if (!done) {
        // The dump file is replaced only by a complete dump: what the user
        // had there is left as it was.
        BL_LOG(kSrc, "dumping Failed!\n");
        return fail(Step::Dump);
    }
    BL_LOG(kSrc, "dumping completes succesfully!\n");
    m_r.ok = true;
    m_r.dump_data = std::move(data);
    return Step::Done;
}

UpgJobResult UpgJob::Run()
{
    m_r = UpgJobResult();
    m_run.start();
    if (!check() || (m_p.kind == JobKind::Upgrade && !compress()))
        return ended();
    m_run.set_cancel_text(through_shell() ? "DUMP Canceled by user!\n" : "UPG Canceled by user!\n");
    m_run.run_on_line(through_shell() ? kv::ServiceJob::Dumping : kv::ServiceJob::Upgrade, m_self,
                      m_platform->calibrates(), first_step(), [this](Step s) { return run(s); });
    return ended();
}

UpgJobResult UpgJob::ended()
{
    m_run.ended();
    return m_r;
}

}  // namespace reflasher
