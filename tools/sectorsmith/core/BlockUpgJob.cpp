#include "BlockUpgJob.h"

#include "BlockClient.h"
#include "BlockKinds.h"
#include "BringUp.h"
#include "Gzip.h"
#include "KvBasicCfgIni.h"
#include "KvBasicLog.h"
#include "KvWorkThread.h"
#include "UpgClient.h"

#include <algorithm>

namespace sectorsmith {

namespace {

// States of the tool's state machine that end the run.
constexpr int kDone = 7;    // the burn buttons come back
constexpr int kFailed = 8;  // they wait for "Exit"

constexpr size_t kMaxTransfer = bootlink::kMaxTransferFrames * bootlink::kDataFrameBytes;

std::string hex_id(uint8_t id)
{
    char b[8];
    std::snprintf(b, sizeof b, "0x%02X", id);
    return b;
}

}  // namespace

const char* step_name(Step s)
{
    switch (s) {
    case Step::Check: return "check";
    case Step::Compress: return "compress";
    case Step::BootInit: return "boot init";
    case Step::WaitForReset: return "wait for reset";
    case Step::Calibrate: return "calibration";
    case Step::LoadClient: return "client";
    case Step::TestClient: return "client test";
    case Step::SlaveInfo: return "slave info";
    case Step::Lookup: return "block lookup";
    case Step::Prepare: return "prepare";
    case Step::Transfer: return "transfer";
    case Step::Burn: return "burn";
    case Step::Reboot: return "reboot";
    case Step::Done: return "done";
    }
    return "?";
}

bool size_check_setting(const CKvBasicCfgIni& ini)
{
    std::string v = ini.GetValue("UPGBLOCK", "CheckBlockSize");
    v.erase(std::remove_if(v.begin(), v.end(), [](char c) { return c == ' ' || c == '\t'; }), v.end());
    return v != "0";
}

BlockUpgJob::BlockUpgJob(BlockJobParams params, bootlink::JobContext& ctx, CKvWorkThread* self)
    : m_p(std::move(params)), m_ctx(ctx), m_self(self)
{
}

bool BlockUpgJob::whole() const
{
    return m_p.block_id == kWholeFlashId && !m_p.slave_info_only;
}

void BlockUpgJob::begin_phase(Step s)
{
    m_r.failed = s;  // the step under way, for a cancel or failure
    m_phases.begin(m_ctx, step_name(s), m_r.phases);
}

void BlockUpgJob::end_phase()
{
    m_phases.end(m_r.phases);
}

int BlockUpgJob::fail(Step s, const std::string& why, JobErrorKind kind)
{
    m_r.ok = false;
    m_r.failed = s;
    m_r.outcome = m_ctx.outcome == bootlink::Outcome::Ok ? bootlink::Outcome::Failed : m_ctx.outcome;
    m_r.kind = m_r.outcome == bootlink::Outcome::Failed ? kind : bootlink::error_kind(m_r.outcome);
    m_r.cancelled = m_r.outcome == bootlink::Outcome::Cancelled;
    m_r.error = m_r.cancelled ? "cancelled by the user"
                : !why.empty() ? why
                : !m_ctx.last_error.empty() ? m_ctx.last_error
                                            : std::string(step_name(s)) + " failed";
    return kFailed;
}

void BlockUpgJob::cancel()
{
    BL_LOG(kSrc, "BLOCK UPG Canceled by user!\n");
    m_ctx.reset_cancel();
    m_ctx.status("");
    m_ctx.outcome = bootlink::Outcome::Cancelled;
    fail(m_r.failed, "cancelled by the user");
}

bool BlockUpgJob::check()
{
    m_ctx.outcome = bootlink::Outcome::Ok;
    m_platform = bootlink::find_platform(m_p.project_type);
    const auto& types = project_types();
    CSerialMonitorSerivce* svc = m_ctx.service();
    std::string why;
    JobErrorKind kind = JobErrorKind::Input;  // the file
    if (!svc || !bootlink::port_open(svc)) {
        m_ctx.outcome = bootlink::Outcome::PortLost;
        why = "the serial port is not open";
    } else if (!m_platform || std::find(types.begin(), types.end(), m_p.project_type) == types.end()) {
        why = "project type " + std::to_string(m_p.project_type) + " is not one of the block tool's platforms";
        kind = JobErrorKind::Usage;
    } else if (!m_p.slave_info_only && m_p.image.empty()) {
        why = "the file is empty";
    } else if (!whole() && m_p.image.size() > kMaxTransfer) {
        why = "the file of " + std::to_string(m_p.image.size()) + " bytes is larger than one transfer carries (64 MiB)";
    } else if (m_p.image.size() > 0xFFFFFFFFu) {
        why = "the image is larger than 4 GiB";
    }
    if (why.empty())
        return true;
    BL_LOG(kSrc, "%s\n", why.c_str());
    fail(Step::Check, why, kind);
    return false;
}

bool BlockUpgJob::compress()
{
    begin_phase(Step::Compress);
    if (!bootlink::gzip_compress(m_p.image.data(), m_p.image.size(), &m_compressed)) {
        BL_LOG(kSrc, "Failed to compress the image!\n");
        fail(Step::Compress, "the image could not be compressed");
        return false;
    }
    if (m_compressed.size() > kMaxTransfer) {
        BL_LOG(kSrc, "The compressed image is larger than one transfer carries (64 MiB)!\n");
        fail(Step::Compress, "the compressed image is larger than one transfer carries (64 MiB)");
        return false;
    }
    m_r.announced_size = uint32_t(m_p.image.size());
    m_r.sent_size = m_compressed.size();
    end_phase();
    return true;
}

// Alder and Cedar run their boot init before anything else; Alder then waits
// for the box's sync byte at the client's rate, Cedar goes on at once.
int BlockUpgJob::bring_up()
{
    if (!m_platform->boots_with_init())
        return 0;
    begin_phase(Step::BootInit);
    const int64_t t0 = bootlink::now_ms();
    if (!bootlink::run_boot_init(m_ctx, *m_platform, kSrc))
        return fail(Step::BootInit, m_ctx.outcome == bootlink::Outcome::Cancelled ? "cancelled by the user"
                                                                                  : "boot init fail!");
    m_booted = true;
    if (m_platform->bring_up != bootlink::BringUp::AlderBootInit)
        return 1;
    BL_LOG(kSrc, "boot init success, cost time %dms\n", int(bootlink::now_ms() - t0));
    if (CSerialMonitorSerivce* svc = m_ctx.service())
        svc->SMS_StartSvc();
    return 0;
}

int BlockUpgJob::wait_reset()
{
    begin_phase(Step::WaitForReset);
    const int64_t limit = m_p.reset_wait_ms > 0 ? m_p.reset_wait_ms : -1;
    // After the Alder boot init the line is at the client's rate already.
    bootlink::Outcome o = m_booted ? (m_ctx.outcome = bootlink::wait_for_boot_rom(m_ctx, limit))
                                   : bootlink::wait_for_reset(m_ctx, *m_platform, limit);
    switch (o) {
    case bootlink::Outcome::Ok:
        return 1;
    case bootlink::Outcome::Cancelled:
        cancel();
        return kFailed;
    case bootlink::Outcome::NoBox: {
        std::string why = "the STB did not announce itself within " + std::to_string(m_p.reset_wait_ms / 1000) +
                          " s of the reset request";
        BL_LOG(kSrc, "%s\n", why.c_str());
        return fail(Step::WaitForReset, why);
    }
    default:
        BL_LOG(kSrc, "The serial port is not open!\n");
        return fail(Step::WaitForReset, "the serial port is not open");
    }
}

int BlockUpgJob::load_client()
{
    if (m_platform->calibrates()) {
        begin_phase(Step::Calibrate);
        if (!bootlink::bring_up_ddr(m_ctx, *m_platform))
            return fail(Step::Calibrate);
    }
    begin_phase(Step::LoadClient);
    BL_LOG(kSrc, "Got sync byte!\nStart sending client...\n");
    int ok = 0;
    if (m_platform->client_load == bootlink::ProgramLoad::AlderBlocks) {
        // The Alder boot init takes the client in one piece.
        bootlink::line_drain(m_ctx, 5120, 3000);
        std::vector<uint8_t> img;
        if (bootlink::read_file(m_ctx.file_path(m_platform->client_file), &img) && !img.empty()) {
            const int timeout = bootlink::send_timeout_ms(m_ctx, img.size(), 10000);
            ok = bootlink::line_send(m_ctx, img.data(), img.size(), timeout);
        }
    } else {
        ok = bootlink::DownloadUpgClientImage(m_platform->type, m_ctx);
    }
    if (!ok)
        return fail(Step::LoadClient, "Download Upg Client Image Failed!");
    m_ctx.status("Sync with slave, please wait...");
    return 2;
}

int BlockUpgJob::test_client()
{
    begin_phase(Step::TestClient);
    return block_client_test(m_ctx) ? 3 : fail(Step::TestClient);
}

int BlockUpgJob::slave_info()
{
    begin_phase(Step::SlaveInfo);
    ClientTraits traits{m_platform->family == bootlink::Family::Dogwood};
    if (!get_slave_info(m_ctx, traits, &m_r.slave))
        return fail(Step::SlaveInfo);
    m_r.have_slave = true;
    if (m_p.slave_info_only)
        return 6;
    m_r.failed = Step::Lookup;
    const SlaveEntry* e = m_r.slave.find(m_p.block_id);
    if (!e) {
        BL_LOG(kSrc, "\nBlock ID is error,can not upgrade this block...\n");
        m_r.buttons_back = true;
        fail(Step::Lookup, "the box does not hold block " + hex_id(m_p.block_id) + "; it lists " +
                               m_r.slave.list_text());
        return kDone;
    }
    if (m_p.check_block_size && e->size > 0 && m_p.image.size() > e->size) {
        // Refused before anything is sent: the box would write past its block.
        BL_LOG(kSrc, "\n(block upg)The file of %zu bytes is larger than block %s (%u bytes by the box's slave info), "
               "can not upgrade this block...\n(block upg)[UPGBLOCK] CheckBlockSize=0 or --no-size-check turns this "
               "check off for a client that fills the size in otherwise\n",
               m_p.image.size(), hex_id(e->id).c_str(), e->size);
        m_r.buttons_back = true;
        fail(Step::Lookup, "the file of " + std::to_string(m_p.image.size()) + " bytes is larger than block " +
                               hex_id(e->id) + " (" + std::to_string(e->size) +
                               " bytes by the box's slave info; [UPGBLOCK] CheckBlockSize=0 or --no-size-check "
                               "turns this check off)");
        return kDone;
    }
    m_r.id_word = uint16_t(e->id << 8 | m_p.block_id);
    return 4;
}

int BlockUpgJob::whole_flash()
{
    begin_phase(Step::Prepare);
    m_ctx.pause(500);
    if (!block_prepare(m_ctx, ClientTraits{}, kWholeFlashId, m_r.announced_size))
        return fail(Step::Prepare);
    m_ctx.pause(500);
    begin_phase(Step::Transfer);
    int ok = block_transfer(m_ctx, kWholeFlashId, 'Z', m_compressed.data(), m_compressed.size());
    m_r.transfer = m_ctx.transfer;
    return ok ? 5 : fail(Step::Transfer);
}

int BlockUpgJob::block()
{
    const uint8_t id = uint8_t(m_r.id_word >> 8);
    const uint32_t len = uint32_t(m_p.image.size());
    begin_phase(Step::Prepare);
    m_ctx.pause(500);
    ClientTraits traits{m_platform->family == bootlink::Family::Dogwood};
    if (!block_prepare(m_ctx, traits, id, len))
        return fail(Step::Prepare);
    m_r.announced_size = len;
    m_ctx.pause(500);
    begin_phase(Step::Transfer);
    m_r.sent_size = len;
    int ok = block_transfer(m_ctx, id, 'N', m_p.image.data(), m_p.image.size());
    m_r.transfer = m_ctx.transfer;
    return ok ? 5 : fail(Step::Transfer);
}

int BlockUpgJob::burn()
{
    begin_phase(Step::Burn);
    return block_burn(m_ctx) ? 6 : fail(Step::Burn);
}

int BlockUpgJob::reboot()
{
    begin_phase(Step::Reboot);
    if (!block_reboot(m_ctx))
        return fail(Step::Reboot);
    if (m_platform->family == bootlink::Family::Cedar)
        if (CSerialMonitorSerivce* svc = m_ctx.service())
            svc->SMS_StartSvc();
    m_r.ok = true;
    m_r.buttons_back = true;
    return kDone;
}

int BlockUpgJob::state_step(int state)
{
    switch (state) {
    case 0: return wait_reset();
    case 1: return load_client();
    case 2: return test_client();
    case 3: return whole() ? whole_flash() : slave_info();
    case 4: return block();
    case 5: return burn();
    case 6: return reboot();
    default: return kFailed;
    }
}

BlockJobResult BlockUpgJob::Run()
{
    m_r = BlockJobResult();
    m_ctx.warnings.clear();
    m_ctx.reset_cancel();
    if (!check() || (whole() && !compress()))
        return ended();
    // Undone whichever way the job ends: block-upgrade mode and the thread
    // slot, then the line's rate, the raw link and the service's reading.
    kv::ScopedServiceJob service_job(m_ctx.service(), kv::ServiceJob::BlockUpgrade, m_self);
    bootlink::LineRestore line(m_ctx);
    if (m_ctx.keep_going && m_platform->calibrates())
        m_ctx.keep_going->store(true);
    ClearConsle();
    BL_LOG(kSrc, "Please reset the STB!\n");
    m_ctx.outcome = bootlink::Outcome::Ok;

    int state = bring_up();
    while (state < kDone) {
        if (m_ctx.cancelled()) {
            cancel();
            break;
        }
        state = state_step(state);
    }
    if (state == kDone)
        m_ctx.pause(100);
    if (m_r.ok)
        m_r.failed = Step::Done;
    m_r.warnings = m_ctx.warnings;
    return ended();
}

BlockJobResult BlockUpgJob::ended()
{
    end_phase();
    if (m_r.ok)
        m_r.kind = JobErrorKind::None;
    m_ctx.result(m_r.job_result());
    return m_r;
}

}  // namespace sectorsmith
