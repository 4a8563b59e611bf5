// The block upgrade job of the "UPGBLOCK" tool, without a window.
//
// One job runs on its own CKvWorkThread. It brings the box up by the platform
// table (boot init on Alder and Cedar, DDR calibration on Dogwood), loads and
// tests the upgrade client, and then either
//   - asks the client for the blocks the flash holds (slave info), checks
//     that the requested block is there (and, unless told not to, that the
//     file fits the size the slave info gives), announces it and transfers
//     the file raw ('N'), or
//   - announces the whole flash (0xFF) with the image's own length and
//     transfers the image gzip-compressed ('Z');
// then burns and reboots the box. The cancel event is polled before every
// step, packet and progress byte.
#pragma once

#include "BootLink.h"
#include "Platform.h"
#include "SlaveInfo.h"
#include "StepRunner.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class CKvBasicCfgIni;
class CKvWorkThread;

namespace sectorsmith {

enum class Step {
    Check,  // port open, platform offered, file there and small enough
    Compress,  // gzip the whole image ("Flash")
    BootInit,  // Alder and Cedar: the boot init waits for the boot ROM itself
    WaitForReset,  // the service watches for the announcement
    Calibrate,  // Dogwood: DDR calibration before the client
    LoadClient,
    TestClient,
    SlaveInfo,  // block path
    Lookup,  // within the slave info: the block in the slave's list, and its room
    Prepare,  // announce the block (or the whole flash) and its length
    Transfer,
    Burn,
    Reboot,
    Done,
};
const char* step_name(Step s);

struct BlockJobParams {
    int project_type = 0;  // one of project_types()
    uint8_t block_id = 0x88;  // kWholeFlashId: the whole flash
    std::vector<uint8_t> image;  // the file as read
    // Stop after the slave info (and reboot the box): corvane-cli slave-info.
    bool slave_info_only = false;
    // Refuse a file larger than the block's size in the box's slave info
    // (entry bytes 8-11, which not every client fills in): off with
    // [UPGBLOCK] CheckBlockSize=0 or corvane-cli block --no-size-check.
    bool check_block_size = true;
    // How long to wait for the box after asking for a reset; 0 waits until
    // it announces itself or the job is cancelled.
    int64_t reset_wait_ms = 0;
};

struct BlockJobResult : bootlink::StepResult<Step> {
    // The job ended where the tool gives the burn buttons back (a confirmed
    // burn, or a block the box does not hold); otherwise they wait for "Exit".
    bool buttons_back = false;
    bootlink::WireStats transfer;
    SlaveInfo slave;  // what the box listed (block path)
    bool have_slave = false;
    uint16_t id_word = 0;  // the ID word after the lookup (high byte from the slave)
    uint32_t announced_size = 0;  // what the prepare command carried
    size_t sent_size = 0;  // what the transfer header carried

    const char* failed_step() const { return ok ? "" : step_name(failed); }
    JobResult job_result() const { return JobResult{kind, failed_step(), ok ? std::string() : error}; }
};

// The [UPGBLOCK] CheckBlockSize setting of corvane.ini: the size check is on
// unless it says 0.
bool size_check_setting(const CKvBasicCfgIni& ini);

class BlockUpgJob {
public:
    // `ctx` carries the observer, the cancel event and the keep-going flag;
    // `self` is the thread the job runs on (recorded in the service's slot).
    BlockUpgJob(BlockJobParams params, bootlink::JobContext& ctx, CKvWorkThread* self);

    BlockJobResult Run();

private:
    bool whole() const;
    bool check();
    bool compress();
    Step run(Step s);
    Step boot_init();
    Step wait_reset();
    Step calibrate();
    Step load_client();
    Step test_client();
    Step slave_info();
    Step lookup();
    Step prepare();
    Step transfer();
    Step burn();
    Step reboot();
    // `kind` is the ending of a plain failure; the other outcomes have theirs.
    Step fail(Step s, const std::string& why = std::string(), JobErrorKind kind = JobErrorKind::Failed);
    BlockJobResult ended();

    BlockJobParams m_p;
    bootlink::JobContext& m_ctx;
    CKvWorkThread* m_self;
    const bootlink::Platform* m_platform = nullptr;
    std::vector<uint8_t> m_compressed;
    BlockJobResult m_r;
    bool m_booted = false;  // the boot init ran: the box is past its boot ROM
    bootlink::StepRunner<Step> m_run;
};

}  // namespace sectorsmith
