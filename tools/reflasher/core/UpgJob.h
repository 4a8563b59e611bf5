// The flash upgrade and dump job of the "UPG" tool, without a window.
//
// One job runs on its own CKvWorkThread: it asks for a reset of the STB,
// waits until the serial service sees the boot ROM, brings the box up (boot
// init or DDR calibration, by the platform table), loads the upgrade client
// and then either transfers and burns a flash image or dumps the flash into a
// file. A dump of a platform whose flash is read through "shell.img" sends
// that program instead of the client. The view and the command line run this
// very code.
#pragma once

#include "BootLink.h"
#include "Platform.h"
#include "StepRunner.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class CKvWorkThread;

namespace reflasher {

enum class JobKind { Upgrade, Dump };

// The steps of a job, in the order they can run.
enum class Step {
    Check,  // port open, platform known, image there
    Compress,  // gzip the padded image
    BootInit,  // boot-init platforms: the boot init waits for the boot ROM itself
    WaitForReset,  // the other platforms: the service watches for the announcement
    Calibrate,  // DDR calibration or cache calibration
    LoadClient,
    TestClient,
    UserLimit,
    SlaveReport,
    Transfer,
    Burn,
    Finish,
    SendShell,  // "shell.img" instead of the client (dump)
    Dump,
    Done,  // the job ended (well or not)
};
// A short name for logs and reports ("boot init", "transfer", ...).
const char* step_name(Step s);

// The dump sizes of the "Dump Size" list, in list order.
constexpr uint32_t kDumpSizes[5] = {0x80000, 0x100000, 0x200000, 0x400000, 0x800000};
constexpr const char* kDumpSizeNames[5] = {"512K", "1M", "2M", "4M", "8M"};
// The list index of a size name ("512K" ... "8M"), or -1.
int dump_size_index(const std::string& name);

// Reads an image and pads it with zeros to a multiple of 64 KiB.
// 1 on success; 0 with a message otherwise (missing, empty or over 4 GiB).
int load_padded_image(const std::string& path, std::vector<uint8_t>* out, std::string* error);

// The user-limit mode from "corvane.ini", section "UPG", key "User_limit"
// (blanks removed): "1" is mode 1, "0" mode 2; anything else keeps `current`.
int user_limit_mode_from_settings(int current);

struct UpgJobParams {
    JobKind kind = JobKind::Upgrade;
    int project_type = 0;  // 0 to 7, from the list of the job's kind
    int user_limit_mode = 1;  // 1 or 2
    std::vector<uint8_t> image;  // the padded flash image (upgrade)
    // The padded image already gzipped, when several jobs share one image
    // (several boxes at once); null: the job compresses the image itself.
    std::shared_ptr<const std::vector<uint8_t>> compressed;
    uint32_t dump_size = kDumpSizes[0];
    std::string dump_path;  // the dump file (dump); replaced only by a complete dump
    // How long to wait for the boot ROM after asking for a reset; 0 waits
    // until the box announces itself or the job is cancelled.
    int64_t reset_wait_ms = 0;
};

struct UpgJobResult : bootlink::StepResult<Step> {
    bootlink::WireStats transfer;
    bootlink::WireStats dump;
    uint32_t announced_size = 0;  // what the slave report carried
    size_t compressed_size = 0;
    std::vector<uint8_t> dump_data;  // the dumped flash, when complete

    const char* failed_step() const { return ok ? "" : step_name(failed); }
    JobResult job_result() const { return JobResult{kind, failed_step(), ok ? std::string() : error}; }
};

class UpgJob {
public:
    // `ctx` carries the observer, the cancel event and the keep-going flag;
    // `self` is the thread the job runs on (recorded in the service's slot).
    UpgJob(UpgJobParams params, bootlink::JobContext& ctx, CKvWorkThread* self);

    UpgJobResult Run();

private:
    bool through_shell() const;
    bool check();
    bool compress();
    Step first_step() const;
    Step run(Step s);
    Step boot_init();
    Step wait_reset();
    Step calibrate();
    Step load();
    Step test();
    Step user_limit();
    Step slave_report();
    Step transfer();
    Step burn();
    Step finish();
    Step send_shell();
    Step dump();
    // Records the failure of `s` (message and outcome from the context
    // unless given) and ends the job. `kind` is the ending of a plain
    // failure (the context's outcome Failed); the other outcomes have theirs.
    Step fail(Step s, const std::string& why = std::string(), JobErrorKind kind = JobErrorKind::Failed);
    // The result, told to the observer.
    UpgJobResult ended();

    UpgJobParams m_p;
    bootlink::JobContext& m_ctx;
    CKvWorkThread* m_self;
    const bootlink::Platform* m_platform = nullptr;
    std::vector<uint8_t> m_compressed;
    const std::vector<uint8_t>* m_gz = &m_compressed;  // what goes over the line
    UpgJobResult m_r;
    bootlink::StepRunner<Step> m_run;
};

}  // namespace reflasher
