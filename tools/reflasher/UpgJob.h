// The flash upgrade and dump job of the "UPG" tool, without a window.
//
// One job runs on its own CKvWorkThread: it asks for a reset of the STB,
// waits until the serial service sees the boot ROM, brings the box up (boot
// init or DDR calibration, by project type), loads the upgrade client and then
// either transfers and burns a flash image or dumps the flash into a file.
// The view and the command line run this very code.
#pragma once

#include "BootLink.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class CKvWorkThread;

namespace reflasher {

enum class JobKind { Upgrade, Dump };

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
    int project_type = 0;        // 0 to 7, from the list of the job's kind
    int user_limit_mode = 1;     // 1 or 2
    std::vector<uint8_t> image;  // the padded flash image (upgrade)
    uint32_t dump_size = kDumpSizes[0];
    std::string dump_path;       // the dump file (dump); written only when complete
    // How long to wait for the boot ROM after asking for a reset; 0 waits
    // until the box announces itself or the job is cancelled.
    int reset_wait_ms = 0;
};

struct UpgJobResult {
    bool ok = false;
    bool cancelled = false;
    std::string failed_step;  // the step that failed ("boot init", "transfer", ...)
    std::string error;        // why, in the words of the log
    std::vector<std::pair<std::string, double>> phases;  // name, seconds, in order
    bootlink::WireStats transfer;
    bootlink::WireStats dump;
    uint32_t announced_size = 0;   // what the slave report carried
    size_t compressed_size = 0;
    std::vector<uint8_t> dump_data;  // the dumped flash, when complete
};

class UpgJob {
public:
    // `ctx` carries the observer, the cancel event and the keep-going flag;
    // `self` is the thread the job runs on (the serial service resumes it).
    UpgJob(UpgJobParams params, bootlink::JobContext& ctx, CKvWorkThread* self);

    // The upgrade, or a dump of project types 1 to 7.
    UpgJobResult Run();
    // The dump of project type 0 through "shell.img".
    UpgJobResult RunShellDump();

private:
    bool wait_for_boot_rom(const char* cancel_text, bool dump_slot);
    bool step(const char* name, int ok, const std::string& why = std::string());
    void begin_phase(const char* name);
    void end_phase();
    void finish_dump_file();
    void run_dump(bool through_shell);

    UpgJobParams m_p;
    bootlink::JobContext& m_ctx;
    CKvWorkThread* m_self;
    UpgJobResult m_r;
    std::string m_phase;
    int64_t m_phaseStart = 0;
};

}  // namespace reflasher
