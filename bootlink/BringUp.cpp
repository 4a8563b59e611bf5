#include "BringUp.h"

#include <iterator>
#include <vector>

#include "BootInit.h"
#include "KvBasicLog.h"
#include "UpgClient.h"

namespace bootlink {

namespace {

constexpr const char* kSrc = "DialogUPG";

// The Alder boot init says "bootinit_ready" when it waits for the client; the
// line is read until it falls quiet (at most 20 s).
bool alder_ready(bootlink::JobContext& ctx)
{
    std::string seen;
    const int64_t until = bootlink::now_ms() + 20000;
    for (;;) {
        uint8_t buf[256];
        uint32_t got = 0;
        bootlink::line_recv(ctx, buf, sizeof(buf), &got, 1000);
        if (got == 0)
            break;
        seen.append(reinterpret_cast<char*>(buf), got);
        if (seen.size() > 4096)
            seen.erase(0, seen.size() - 4096);
        if (bootlink::now_ms() > until)
            break;
    }
    return seen.find("bootinit_ready") != std::string::npos;
}

}  // namespace

int run_boot_init(bootlink::JobContext& ctx, const bootlink::Platform& p, const char* source)
{
    CSerialMonitorSerivce* svc = ctx.service();
    if (!svc)
        return bootlink::fail_at(ctx, kSrc, __LINE__, bootlink::Outcome::PortLost, "The serial port is not open!\n");
    svc->m_RawLink = 1;
    svc->SMS_StopSvc();
    bootlink::line_drain(ctx, 256, 300);
    if (p.bring_up == bootlink::BringUp::CedarBootInit)
        svc->SMS_FlushComData(300);
    bootlink::line_set_baud(ctx, p.boot_rom_baud);
    ctx.pause(200);
    int ok = p.bring_up == bootlink::BringUp::AlderBootInit ? bootlink::boot_init(ctx, p.bring_up_file)
                                                            : bootlink::boot_init_cedar(p.type, ctx);
    if (!ok) {
        const bootlink::Outcome why = ctx.outcome;
        const std::string error = ctx.last_error;
        BL_LOG(source, "boot init fail!\n");
        svc->m_RawLink = 0;
        bootlink::line_set_baud(ctx, bootlink::kClientBaud);
        svc->SMS_StartSvc();
        ctx.outcome = why;
        ctx.last_error = error;
        return 0;
    }
    bootlink::line_set_baud(ctx, bootlink::kClientBaud);
    ctx.pause(2000);
    return 1;
}

bootlink::Outcome wait_for_reset(bootlink::JobContext& ctx, const bootlink::Platform& p, int64_t limit_ms)
{
    CSerialMonitorSerivce* svc = ctx.service();
    if (svc) {
        bootlink::line_set_baud(ctx, p.boot_rom_baud);
        svc->SMS_StartSvc();
    }
    ctx.outcome = bootlink::wait_for_boot_rom(ctx, limit_ms);
    return ctx.outcome;
}

std::string reset_wait_failure(bootlink::Outcome o, int64_t limit_ms, const char* source)
{
    if (o != bootlink::Outcome::NoBox) {
        BL_LOG(source, "The serial port is not open!\n");
        return "the serial port is not open";
    }
    std::string why =
        "the STB did not announce itself within " + std::to_string(limit_ms / 1000) + " s of the reset request";
    BL_LOG(source, "%s\n", why.c_str());
    return why;
}

const char* bring_up_step_name(int step)
{
    static constexpr const char* kNames[] = {"check",       "compress", "boot init",  "wait for reset",
                                             "calibration", "client",   "client test"};
    static_assert(std::size(kNames) == size_t(BringUpStep::Count));
    return step >= 0 && step < int(BringUpStep::Count) ? kNames[step] : nullptr;
}

int bring_up_ddr(bootlink::JobContext& ctx, const bootlink::Platform& p)
{
    bootlink::drain_after_announcement(ctx, 256, 300);
    if (!bootlink::calibrate_ddr(p.type, ctx))
        return 0;
    ctx.pause(1000);
    return 1;
}

int load_client(bootlink::JobContext& ctx, const bootlink::Platform& p)
{
    BL_LOG(kSrc, "Got sync byte!\nStart sending client...\n");
    if (p.client_load != bootlink::ProgramLoad::AlderBlocks)
        return bootlink::DownloadUpgClientImage(p.type, ctx);
    if (!alder_ready(ctx))
        return BL_FAIL(ctx, kSrc, "send upg client failed\n");
    BL_LOG(kSrc, "got bootinit_ready sync bytes\n");
    return bootlink::DownloadUpgClientImage_Alder(ctx, p.client_file);
}

int test_client(bootlink::JobContext& ctx)
{
    ctx.pause(5000);
    return bootlink::UpgClientTest(ctx);
}

std::string missing_bring_up_file(const bootlink::JobContext& ctx, const bootlink::Platform& p)
{
    for (const char* name : {p.bring_up_file, p.client_file}) {
        if (!name || !*name)
            continue;
        const std::string path = ctx.file_path(name);
        std::vector<uint8_t> bytes;
        if (!read_file(path, &bytes) || bytes.empty())
            return path;
    }
    return {};
}

}  // namespace bootlink
