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
    static_assert(int(Step::TestClient) == int(bootlink::BringUpStep::TestClient));
    if (const char* shared = bootlink::bring_up_step_name(int(s)))
        return shared;
    switch (s) {
    case Step::SlaveInfo: return "slave info";
    case Step::Lookup: return "block lookup";
    case Step::Prepare: return "prepare";
    case Step::Transfer: return "transfer";
    case Step::Burn: return "burn";
    case Step::Reboot: return "reboot";
    case Step::Done: return "done";
    default: break;
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
    : m_p(std::move(params))
    , m_ctx(ctx)
    , m_self(self)
    , m_run(ctx, m_r, step_name, kSrc, "BLOCK UPG Canceled by user!\n", bootlink::CancelBetween::ChargesLast)
{}

bool BlockUpgJob::whole() const { return m_p.block_id == kWholeFlashId && !m_p.slave_info_only; }

// A cancel found anywhere ends the job as a cancel, whatever the step says.
Step BlockUpgJob::fail(Step s, const std::string& why, JobErrorKind kind)
{
    const bool cancelled = m_ctx.outcome == bootlink::Outcome::Cancelled;
    return m_run.fail(s, cancelled ? std::string("cancelled by the user") : why, kind);
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
    m_run.begin_phase(Step::Compress);
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
    m_run.end_phase();
    return true;
}

Step BlockUpgJob::run(Step s)
{
    switch (s) {
    case Step::BootInit: return boot_init();
    case Step::WaitForReset: return wait_reset();
    case Step::Calibrate: return calibrate();
    case Step::LoadClient: return load_client();
    case Step::TestClient: return test_client();
    case Step::SlaveInfo: return slave_info();
    case Step::Prepare: return prepare();
    case Step::Transfer: return transfer();
    case Step::Burn: return burn();
    case Step::Reboot: return reboot();
    default: return Step::Done;
    }
}

// Alder and Cedar run their boot init before anything else; Alder then waits
// for the box's sync byte at the client's rate, Cedar goes on at once.
Step BlockUpgJob::boot_init()
{
    const int64_t t0 = bootlink::now_ms();
    if (!bootlink::run_boot_init(m_ctx, *m_platform, kSrc))
        return fail(Step::BootInit,
                    m_ctx.outcome == bootlink::Outcome::Cancelled ? "cancelled by the user" : "boot init fail!");
    m_booted = true;
    if (m_platform->bring_up != bootlink::BringUp::AlderBootInit)
        return m_platform->calibrates() ? Step::Calibrate : Step::LoadClient;
    BL_LOG(kSrc, "boot init success, cost time %dms\n", int(bootlink::now_ms() - t0));
    if (CSerialMonitorSerivce* svc = m_ctx.service())
        svc->SMS_StartSvc();
    return Step::WaitForReset;
}

Step BlockUpgJob::wait_reset()
{
    const int64_t limit = m_p.reset_wait_ms > 0 ? m_p.reset_wait_ms : -1;
    // After the Alder boot init the line is at the client's rate already.
    bootlink::Outcome o = m_booted ? (m_ctx.outcome = bootlink::wait_for_boot_rom(m_ctx, limit))
                                   : bootlink::wait_for_reset(m_ctx, *m_platform, limit);
    switch (o) {
    case bootlink::Outcome::Ok: return m_platform->calibrates() ? Step::Calibrate : Step::LoadClient;
    case bootlink::Outcome::Cancelled: return m_run.cancel();
    default: return fail(Step::WaitForReset, bootlink::reset_wait_failure(o, m_p.reset_wait_ms, kSrc));
    }
}

Step BlockUpgJob::calibrate()
{
    return bootlink::bring_up_ddr(m_ctx, *m_platform) ? Step::LoadClient : fail(Step::Calibrate);
}

Step BlockUpgJob::load_client()
{
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
    return Step::TestClient;
}

Step BlockUpgJob::test_client()
{
    if (!block_client_test(m_ctx))
        return fail(Step::TestClient);
    return whole() ? Step::Prepare : Step::SlaveInfo;
}

Step BlockUpgJob::slave_info()
{
    ClientTraits traits{m_platform->family == bootlink::Family::Dogwood};
    if (!get_slave_info(m_ctx, traits, &m_r.slave))
        return fail(Step::SlaveInfo);
    m_r.have_slave = true;
    return m_p.slave_info_only ? Step::Reboot : lookup();
}

// The block in the slave's list and its room; a block the box cannot take
// gives the burn buttons back.
Step BlockUpgJob::lookup()
{
    m_run.mark(Step::Lookup);
    const SlaveEntry* e = m_r.slave.find(m_p.block_id);
    if (!e) {
        BL_LOG(kSrc, "\nBlock ID is error,can not upgrade this block...\n");
        m_r.buttons_back = true;
        return fail(Step::Lookup,
                    "the box does not hold block " + hex_id(m_p.block_id) + "; it lists " + m_r.slave.list_text());
    }
    if (m_p.check_block_size && e->size > 0 && m_p.image.size() > e->size) {
        // Refused before anything is sent: the box would write past its block.
        BL_LOG(kSrc,
               "\n(block upg)The file of %zu bytes is larger than block %s (%u bytes by the box's slave info), "
               "can not upgrade this block...\n(block upg)[UPGBLOCK] CheckBlockSize=0 or --no-size-check turns this "
               "check off for a client that fills the size in otherwise\n",
               m_p.image.size(), hex_id(e->id).c_str(), e->size);
        m_r.buttons_back = true;
        return fail(Step::Lookup, "the file of " + std::to_string(m_p.image.size()) + " bytes is larger than block " +
                                      hex_id(e->id) + " (" + std::to_string(e->size) +
                                      " bytes by the box's slave info; [UPGBLOCK] CheckBlockSize=0 or "
                                      "--no-size-check turns this check off)");
    }
    m_r.id_word = uint16_t(e->id << 8 | m_p.block_id);
    return Step::Prepare;
}

// The whole flash is announced with the image's own length; a block with the
// file's, as the slave's ID.
Step BlockUpgJob::prepare()
{
    m_ctx.pause(500);
    const bool all = whole();
    const uint8_t id = all ? kWholeFlashId : uint8_t(m_r.id_word >> 8);
    const uint32_t len = all ? m_r.announced_size : uint32_t(m_p.image.size());
    ClientTraits traits{!all && m_platform->family == bootlink::Family::Dogwood};
    if (!block_prepare(m_ctx, traits, id, len))
        return fail(Step::Prepare);
    m_r.announced_size = len;
    m_ctx.pause(500);
    return Step::Transfer;
}

// The whole flash goes gzipped ('Z'), a block raw ('N').
Step BlockUpgJob::transfer()
{
    int ok = 0;
    if (whole()) {
        ok = block_transfer(m_ctx, kWholeFlashId, 'Z', m_compressed.data(), m_compressed.size());
    } else {
        m_r.sent_size = m_p.image.size();
        ok = block_transfer(m_ctx, uint8_t(m_r.id_word >> 8), 'N', m_p.image.data(), m_p.image.size());
    }
    m_r.transfer = m_ctx.transfer;
    return ok ? Step::Burn : fail(Step::Transfer);
}

Step BlockUpgJob::burn() { return block_burn(m_ctx) ? Step::Reboot : fail(Step::Burn); }

Step BlockUpgJob::reboot()
{
    if (!block_reboot(m_ctx))
        return fail(Step::Reboot);
    if (m_platform->family == bootlink::Family::Cedar)
        if (CSerialMonitorSerivce* svc = m_ctx.service())
            svc->SMS_StartSvc();
    m_r.ok = true;
    m_r.buttons_back = true;
    return Step::Done;
}

BlockJobResult BlockUpgJob::Run()
{
    m_r = BlockJobResult();
    m_run.start();
    if (!check() || (whole() && !compress()))
        return ended();
    const Step first = m_platform->boots_with_init() ? Step::BootInit : Step::WaitForReset;
    m_run.run_on_line(kv::ServiceJob::BlockUpgrade, m_self, m_platform->calibrates(), first,
                      [this](Step s) { return run(s); });
    if (m_r.buttons_back)
        m_ctx.pause(100);
    return ended();
}

BlockJobResult BlockUpgJob::ended()
{
    m_run.ended();
    return m_r;
}

}  // namespace sectorsmith
