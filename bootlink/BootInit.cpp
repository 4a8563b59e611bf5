#include "BootInit.h"
#include "FileOps.h"

#include "KvBasicLog.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <thread>

namespace bootlink {

namespace {
const char* const kSrc = "BootInit";

// DDR controller registers.
constexpr uint32_t R14 = 0xBFD70014, R34 = 0xBFD70034, R38 = 0xBFD70038, R40 = 0xBFD70040, R44 = 0xBFD70044,
                   R48 = 0xBFD70048, R4C = 0xBFD7004C, R50 = 0xBFD70050, R54 = 0xBFD70054, RA4 = 0xBFD700A4,
                   RA8 = 0xBFD700A8, kChipId = 0xBFEDC024;

bool contains(const std::string& hay, const char* needle) { return hay.find(needle) != std::string::npos; }

// Waits for the boot ROM's announcement for up to 30 s, the cancel event
// polled throughout. 1 when it came, 0 on cancel or time-out.
int await_boot_rom(JobContext& ctx)
{
    switch (wait_for_boot_rom(ctx, 30000)) {
    case Outcome::Ok: return 1;
    case Outcome::Cancelled:
        ctx.reset_cancel();
        return fail_at(ctx, kSrc, __LINE__, Outcome::Cancelled, "UPG Canceled by user!\n");
    case Outcome::NoBox:
        return fail_at(ctx, kSrc, __LINE__, Outcome::NoBox, "boot init error over 30s, please start again!!\n");
    default: return fail_at(ctx, kSrc, __LINE__, Outcome::PortLost, "boot init: the port is not open\n");
    }
}

// The cancel event came while the boot-init image went out: it is polled
// between bytes (each may wait a second for the boot ROM's answer).
int init_cancelled(JobContext& ctx)
{
    ctx.reset_cancel();
    return fail_at(ctx, kSrc, __LINE__, Outcome::Cancelled, "UPG Canceled by user!\n");
}

// The keep-going flag was cleared or the job cancelled.
int stopped(JobContext& ctx) { return fail_at(ctx, kSrc, __LINE__, Outcome::Cancelled, "calibration stopped\n"); }

// Reads up to `reads` blocks of `block` bytes and looks for "SEND_UPG" in what
// came (also across block borders). A negative `reads` means until `max_ms`.
int wait_send_upg(JobContext& ctx, int reads, size_t block, int read_ms, int max_ms, bool poll_stop)
{
    std::string seen;
    std::vector<uint8_t> buf(block);
    int64_t start = now_ms();
    for (int i = 0; reads < 0 || i < reads; ++i) {
        if (reads < 0 && now_ms() - start > max_ms)
            return 0;
        if (poll_stop && (ctx.cancelled() || !ctx.going()))
            return 0;
        uint32_t got = 0;
        line_recv(ctx, buf.data(), buf.size(), &got, read_ms);
        seen.append(reinterpret_cast<const char*>(buf.data()), got);
        if (contains(seen, "SEND_UPG"))
            return 1;
        if (seen.size() > 16)
            seen.erase(0, seen.size() - 16);
    }
    return 0;
}
}  // namespace

int boot_init_cedar(int project_type, JobContext& ctx)
{
    const Platform* p = find_platform(project_type);
    if (!p || p->bring_up != BringUp::CedarBootInit) {
        return BL_FAIL(ctx, kSrc, "boot init: project type %d has no Cedar boot image\n", project_type);
    }
    return boot_init_cedar_image(p->bring_up_file, ctx);
}

int boot_init_cedar_image(const std::string& image_name, JobContext& ctx)
{
    std::vector<uint8_t> img;
    if (!read_file(ctx.file_path(image_name), &img) || img.empty()) {
        return BL_FAIL(ctx, kSrc, "boot init: cannot read %s\n", image_name.c_str());
    }
    if (!await_boot_rom(ctx))
        return 0;
    uint8_t zero = 0;
    line_send(ctx, &zero, 1, 500);
    BL_LOG(kSrc, "Start boot init, please wait...\n");
    if (!line_send(ctx, img.data(), img.size(), send_timeout_ms(ctx, img.size(), 30500)))
        return BL_FAIL(ctx, kSrc, "send boot_init.img failed!\n");
    ctx.pause(3000);
    line_set_baud(ctx, 115200);
    ctx.pause(6000);
    if (wait_send_upg(ctx, 20, 200, 1000, 0, false)) {
        BL_LOG(kSrc, "boot init run successfully.\n");
        return 1;
    }
    return BL_FAIL(ctx, kSrc, "boot init run failed.\n");
}

int boot_init(JobContext& ctx, const std::string& image_name, BootInitMode mode)
{
    std::vector<uint8_t> img;
    if (!read_file(ctx.file_path(image_name), &img)) {
        return BL_FAIL(ctx, kSrc, "boot init: cannot read %s\n", image_name.c_str());
    }
    constexpr size_t kHeader = 20;
    if (img.size() < kHeader) {
        return BL_FAIL(ctx, kSrc, "boot init: %s holds %zu bytes, fewer than its 20-byte header\n", image_name.c_str(),
                       img.size());
    }
    if (!await_boot_rom(ctx))
        return 0;
    CSerialMonitorSerivce* svc = ctx.service();
    const uint8_t sync = svc ? svc->sync_byte() : uint8_t('R');
    // The boot ROM echoes 'R' when it starts the header over; follow it, but
    // not forever.
    constexpr int kMaxHeaderRestarts = 50;
    int restarts = 0;
    for (;;) {
        uint8_t b = 0;
        uint32_t got = 0;
        line_recv(ctx, &b, 1, &got, 50);  // drop one byte
        bool restarted = false;
        for (size_t i = 0; i < kHeader; ++i) {
            if (ctx.cancelled())
                return init_cancelled(ctx);
            if (!line_send(ctx, &img[i], 1, 500))
                return BL_FAIL(ctx, kSrc, "send boot_init.img failed!\n");
            got = 0;
            b = 0;
            line_recv(ctx, &b, 1, &got, 100);
            if (got == 1 && b == sync) {
                restarted = true;
                break;
            }
        }
        if (!restarted)
            break;
        if (ctx.cancelled())
            return init_cancelled(ctx);
        if (++restarts > kMaxHeaderRestarts)
            return BL_FAIL(ctx, kSrc, "boot init: the boot ROM kept restarting the header, given up\n");
    }
    BL_LOG(kSrc, "Start boot init, please wait...\n");
    for (size_t i = kHeader; i < img.size(); ++i) {
        if (ctx.cancelled())
            return init_cancelled(ctx);
        if (mode == BootInitMode::Paced) {
            uint8_t b = 0;
            uint32_t got = 0;
            line_recv(ctx, &b, 1, &got, 1000);
        }
        if (!line_send(ctx, &img[i], 1, 100))
            return BL_FAIL(ctx, kSrc, "send boot_init.img failed!\n");
    }
    if (mode == BootInitMode::Paced) {
        uint8_t end[2] = {0, 0};
        uint32_t got = 0;
        line_recv(ctx, end, 2, &got, 1000);
        if (got < 2 || end[1] != '"')
            return BL_FAIL(ctx, kSrc, "boot init: the boot ROM did not confirm the image\n");
        return 1;
    }
    uint8_t sink[256];
    uint32_t got = 0;
    line_recv(ctx, sink, sizeof sink, &got, 100);
    BL_LOG(kSrc, "boot init finished.\n");
    return 1;
}

// ---- calibration ---------------------------------------------------------

uint32_t device_mask(uint32_t device_select)
{
    switch (device_select) {
    case 0: return 0x0000FFFFu;
    case 1: return 0xFFFF0000u;
    default: return 0xFFFFFFFFu;
    }
}

int read_ddr_settings(const std::string& config_text, DdrSettings* out)
{
    RegisterList set;
    if (!parse_register_list(config_text, "#CONFIG_SETTING#", &set))
        return 0;
    struct Item {
        const char* name;
        uint32_t* u;
        int32_t* s;
    } items[] = {
        {"CALIBRATION_METHOD", &out->calibration_method, nullptr},
        {"SCAN_MODE", &out->scan_mode, nullptr},
        {"NO_CALIBRATION", &out->no_calibration, nullptr},
        {"DEVICE_SELECT", &out->device_select, nullptr},
        {"CLOCK_OFFSET", nullptr, &out->clock_offset},
        {"DELAY_90_OFFSET", nullptr, &out->delay_90_offset},
        {"DELAY_9090_OFFSET", nullptr, &out->delay_9090_offset},
        {"DQS_IN_90_OFFSET", nullptr, &out->dqs_in_90_offset},
        {"RDCLK_DLY_MAX", &out->rdclk_dly_max, nullptr},
        {"RANGE_SELECT", &out->range_select, nullptr},
    };
    for (const Item& it : items) {
        uint32_t v = 0;
        if (find_register(set, it.name, &v) != 0) {
            BL_LOG(kSrc, "#CONFIG_SETTING# lacks %s, using %d\n", it.name, it.u ? int(*it.u) : int(*it.s));
            continue;
        }
        if (it.u)
            *it.u = v;
        else
            *it.s = int32_t(v);
    }
    return 1;
}

namespace {

// Polls `reg` until (value & 0x11) != 0, for up to 10 s. 1 when it came,
// 0 on time-out, -1 when the keep-going flag was cleared.
int poll_ready(uint32_t reg, uint32_t* last, JobContext& ctx)
{
    int64_t start = now_ms();
    for (;;) {
        if (!ctx.going())
            return -1;
        uint32_t v = 0;
        if (addr_read(reg, &v, ctx)) {
            *last = v;
            if (v & 0x11u)
                return 1;
        }
        if (now_ms() - start > 10000)
            return 0;
    }
}

void write_pairs(uint32_t from, uint32_t to, uint32_t x, uint32_t y, JobContext& ctx)
{
    for (uint64_t a = from; a + 8 <= uint64_t(to) + 1; a += 8) {
        write(uint32_t(a), x, ctx);
        write(uint32_t(a + 4), y, ctx);
    }
}

bool verify_pairs(uint32_t from, uint32_t to, uint32_t x, uint32_t y, uint32_t mask, bool* link_failed, JobContext& ctx)
{
    for (uint64_t a = from; a + 8 <= uint64_t(to) + 1; a += 8) {
        uint32_t v0 = 0, v1 = 0;
        if (!addr_read(uint32_t(a), &v0, ctx) || !addr_read(uint32_t(a + 4), &v1, ctx)) {
            *link_failed = true;
            return false;
        }
        if ((v0 & mask) != (x & mask) || (v1 & mask) != (y & mask))
            return false;
    }
    return true;
}

uint32_t read_or_zero(uint32_t reg, JobContext& ctx)
{
    uint32_t v = 0;
    addr_read(reg, &v, ctx);
    return v;
}

// Programs the latch flags, read-add and clock delay of range `idx`.
int program_range(const CalibrationState& st, int idx, JobContext& ctx)
{
    const RangeRecord& r = st.ranges[idx];
    int m = (int(r.start) + int(r.end)) / 2;
    uint32_t rd = r.rd_add[std::clamp(m, 0, kMaxClockDelays - 1)];
    int ok = 1;
    ok &= set_bits(RA4, 24, 2, r.rising ? 3 : 0, ctx);
    ok &= set_bits(RA4, 28, 2, r.rising ? 3 : 0, ctx);
    ok &= set_bits(R38, 8, 4, r.negative ? 0xF : 0, ctx);
    ok &= set_bits(R38, 16, 3, rd, ctx);
    ok &= set_bits(R50, 16, 6, uint32_t(m), ctx);
    return ok;
}

// One set of scans over the ranges `first`..`last`. 0 when stopped.
int scan_set(CalibrationState& st, int first, int last, uint32_t device, JobContext& ctx)
{
    for (RangeRecord& r : st.ranges)
        r = RangeRecord{};
    st.sources_written = false;
    for (int i = first; i <= last; ++i)
        if (!scan_range(st, device, i >> 1, i & 1, ctx))
            return 0;
    return 1;
}

}  // namespace

int memory_test(CalibrationState& st, uint32_t device, JobContext& ctx)
{
    const uint32_t mask = device_mask(device);
    if (!st.sources_written) {
        write_pairs(0xAAAAAAA0u, 0xAAAAAADFu, 0x5555AAAAu, 0xAAAA5555u, ctx);
        write_pairs(0xAAAAAAE0u, 0xAAAAAB1Fu, 0xAAAA5555u, 0x5555AAAAu, ctx);
        write_pairs(0xA0000000u, 0xA000003Fu, 0x00000000u, 0xFFFFFFFFu, ctx);
        write_pairs(0xA0000040u, 0xA000007Fu, 0xFFFFFFFFu, 0x00000000u, ctx);
        st.sources_written = true;
    }
    write_pairs(0xA5555550u, 0xA555558Fu, 0xAAAA5555u, 0x5555AAAAu, ctx);
    write_pairs(0xA5555590u, 0xA55555CFu, 0x5555AAAAu, 0xAAAA5555u, ctx);
    write_pairs(0xAFFFFF80u, 0xAFFFFFBFu, 0xFFFFFFFFu, 0x00000000u, ctx);
    write_pairs(0xA00000E0u, 0xA000011Fu, 0x00000000u, 0xFFFFFFFFu, ctx);
    if (dma_transfer_status(0xAAAAAAA0u, 0xA5555550u, ctx) < 0 ||
        dma_transfer_status(0xA0000000u, 0xAFFFFF80u, ctx) < 0) {
        st.link_failed = true;
        return 0;
    }
    bool* lf = &st.link_failed;
    return verify_pairs(0xA5555550u, 0xA555558Fu, 0x5555AAAAu, 0xAAAA5555u, mask, lf, ctx) &&
                   verify_pairs(0xA5555590u, 0xA55555CFu, 0xAAAA5555u, 0x5555AAAAu, mask, lf, ctx) &&
                   verify_pairs(0xAFFFFF80u, 0xAFFFFFBFu, 0x00000000u, 0xFFFFFFFFu, mask, lf, ctx) &&
                   verify_pairs(0xAFFFFFC0u, 0xAFFFFFFFu, 0xFFFFFFFFu, 0x00000000u, mask, lf, ctx)
               ? 1
               : 0;
}

int scan_range(CalibrationState& st, uint32_t device, int rising, int negative, JobContext& ctx)
{
    const int num = 2 * (rising ? 1 : 0) + (negative ? 1 : 0);
    set_bits(RA4, 16, 2, 3, ctx);
    set_bits(RA4, 20, 2, 3, ctx);
    set_bits(RA4, 24, 2, rising ? 3 : 0, ctx);
    set_bits(RA4, 28, 2, rising ? 3 : 0, ctx);
    set_bits(R38, 8, 4, negative ? 0xF : 0, ctx);
    RangeRecord& rec = st.ranges[num];
    rec = RangeRecord{};
    rec.rising = rising ? 1 : 0;
    rec.negative = negative ? 1 : 0;

    const int max = int(std::min<uint32_t>(st.settings.rdclk_dly_max, kMaxClockDelays));
    const bool method = st.settings.calibration_method != 0;
    if (!method) {
        set_bits(R38, 16, 2, 0, ctx);
        set_bits(R38, 18, 1, 1, ctx);
    }
    int last_fail = -1;
    for (int t = 0; t < max; ++t) {
        if (!ctx.going() || st.link_failed)
            return 0;
        if (!set_bits(R50, 16, 6, uint32_t(t), ctx)) {
            st.link_failed = true;
            return 0;
        }
        int passed = 0;
        if (method) {
            for (int a = 2; a <= 7 && !passed && !st.link_failed; ++a) {
                if (!set_bits(R38, 16, 3, uint32_t(a), ctx))
                    st.link_failed = true;
                else if (memory_test(st, device, ctx))
                    passed = a;
            }
        } else if (memory_test(st, device, ctx)) {
            passed = 4;
        }
        if (st.link_failed)
            return 0;
        if (!passed) {
            last_fail = t;
            continue;
        }
        rec.rd_add[t] = uint8_t(passed);
        int start = last_fail + 1;
        int width = t - start + 1;
        if (width > rec.width) {
            rec.start = uint8_t(start);
            rec.end = uint8_t(t);
            rec.width = uint8_t(width);
        }
        if (!st.quiet)
            kv_console_printf("%d:range %d start = %d  end = %d rl_add_i = %d\n", method ? 1 : 0, num, start, t,
                              passed);
    }
    return 1;
}

int choose_range(const CalibrationState& st)
{
    int best = 0;
    for (int i = 1; i < 4; ++i)
        if (st.ranges[i].width > st.ranges[best].width)
            best = i;
    return best;
}

namespace {

// The clock calibration (a second try with the other start value) and the
// clock delay it finds. 1 on success.
int calibrate_clock(const DdrSettings& s, JobContext& ctx)
{
    uint32_t last = 0;
    write(R40, 0x03010020u, ctx);
    int r = poll_ready(R44, &last, ctx);
    if (r < 0)
        return stopped(ctx);
    if (r == 0) {
        kv_console_printf(" Clock calibration 0x1fd70040 0x03010020: wait 0x1fd70044 over time,  0x1fd70044: 0x%x \n",
                          last);
        write(R40, 0x07010020u, ctx);
        r = poll_ready(R44, &last, ctx);
        if (r < 0)
            return stopped(ctx);
        if (r == 0) {
            return BL_FAIL(ctx, kSrc,
                           " Clock calibration 0x1fd70040: 0x07010020: wait 0x1fd70044 over time,  0x1fd70044: 0x%x \n",
                           last);
        }
    }
    int32_t c = int32_t(((last >> 16) & 0x3Fu) | 0x100u) + s.clock_offset;
    if (c < 256)
        c = 256;
    write(R40, uint32_t(c), ctx);
    return 1;
}

// The DLL calibration and the delays it sets; *d is the DLL's value. 1 on
// success.
int calibrate_dll(const DdrSettings& s, int32_t* d, JobContext& ctx)
{
    write(R48, 0x13010010u, ctx);
    uint32_t dll = 0;
    int r = poll_ready(R4C, &dll, ctx);
    if (r < 0)
        return stopped(ctx);
    if (r == 0) {
        return BL_FAIL(ctx, kSrc,
                       " DLL calibration: wait R_DDR_CTRL_BASE + 0x4C over time,  R_DDR_CTRL_BASE + 0x4C: 0x%x \n",
                       dll);
    }
    *d = int32_t((dll >> 16) & 0x3Fu);
    set_bits(R48, 8, 1, 1, ctx);

    // Delays.
    set_bits(R50, 0, 6, uint32_t(s.delay_90_offset + *d), ctx);
    set_bits(R50, 8, 6, uint32_t(s.delay_9090_offset + *d), ctx);
    for (int lo : {0, 8, 16, 24})
        set_bits(R54, lo, 6, uint32_t(s.dqs_in_90_offset + *d), ctx);
    return 1;
}

// Scans the ranges RANGE_SELECT names and programs the widest window.
int scan_and_program(CalibrationState& st, uint32_t device, JobContext& ctx)
{
    const DdrSettings& s = st.settings;
    int first = 0, lastr = 3;
    if (s.range_select <= 3)
        first = lastr = int(s.range_select);
    else if (s.range_select != 4)
        BL_LOG(kSrc, "RANGE_SELECT %u is none of 0 to 4: all four ranges are scanned\n", s.range_select);
    if (!scan_set(st, first, lastr, device, ctx))
        return st.link_failed ? BL_FAIL(ctx, kSrc, "calibration: the STB stopped answering\n") : stopped(ctx);
    const RangeRecord* g = st.ranges;
    kv_console_printf("rang0: %02d %d %d , rang1: %02d %d %d , rang2: %02d %d %d, rang3: %02d %d %d \n", g[0].width,
                      g[0].start, g[0].end, g[1].width, g[1].start, g[1].end, g[2].width, g[2].start, g[2].end,
                      g[3].width, g[3].start, g[3].end);
    int best = choose_range(st);
    const RangeRecord& b = st.ranges[best];
    if (b.width == 0)
        return BL_FAIL(ctx, kSrc, "calibration: no clock delay passed the memory test, no read window found\n");
    int m = (int(b.start) + int(b.end)) / 2;
    kv_console_printf(
        "DDR2 Calibiration param is: clk star %d, end %d, rdclk_rising_latch %d, digclk_neglatch %d, rd_add %d \n",
        b.start, b.end, b.rising, b.negative, b.rd_add[m]);
    if (!program_range(st, best, ctx))
        return BL_FAIL(ctx, kSrc, "calibration: programming the chosen range failed\n");
    kv_console_printf("0xa4 = %08x\n", read_or_zero(RA4, ctx));
    kv_console_printf("0x38 = %08x\n", read_or_zero(R38, ctx));
    kv_console_printf("0x50 = %08x\n", read_or_zero(R50, ctx));
    kv_console_printf("0x4c = %08x\n", read_or_zero(R4C, ctx));
    kv_console_printf("0x44 = %08x\n", read_or_zero(R44, ctx));
    kv_console_printf("0x54 = %08x\n", read_or_zero(R54, ctx));
    if (uint32_t(b.width) == s.rdclk_dly_max)
        kv_console_printf("\n\nRANGE %d IS TOO LARGE\n\n", best);
    return 1;
}

// Diagnostic sweep over the input and output delays.
int sweep_delays(CalibrationState& st, int32_t d, uint32_t device, JobContext& ctx)
{
    st.quiet = true;
    set_bits(RA8, 16, 1, 1, ctx);
    set_bits(RA8, 17, 1, 0, ctx);
    set_bits(RA8, 20, 1, 1, ctx);
    set_bits(RA8, 21, 1, 0, ctx);
    const int n = d + 3;
    for (int q = 0; q < n; ++q) {
        for (int lo : {0, 8, 16, 24})
            set_bits(R54, lo, 6, uint32_t(q), ctx);
        for (int i = 0; i < n; ++i) {
            set_bits(R50, 8, 6, uint32_t(i), ctx);
            for (int o = 0; o < n; ++o) {
                set_bits(R50, 0, 6, uint32_t(o), ctx);
                if (!scan_set(st, 0, 3, device, ctx))
                    return st.link_failed ? BL_FAIL(ctx, kSrc, "calibration: the STB stopped answering\n")
                                          : stopped(ctx);
                const RangeRecord* g = st.ranges;
                kv_console_printf(
                    "odt=%x in_dly90=%02x dly9090=%02x out_dly90=%02x rang0: %02d, rang1: %02d, rang2: %02d, rang3: "
                    "%02d--",
                    1, q, i, o, g[0].width, g[1].width, g[2].width, g[3].width);
                program_range(st, choose_range(st), ctx);
                kv_console_printf("0xa4 = %08x,", read_or_zero(RA4, ctx));
                kv_console_printf("0x38 = %08x,", read_or_zero(R38, ctx));
                kv_console_printf("0x40 = %08x,", read_or_zero(R40, ctx));
                kv_console_printf("0x50 = %08x,", read_or_zero(R50, ctx));
                kv_console_printf("0x4c = %08x,", read_or_zero(R4C, ctx));
                kv_console_printf("0x44 = %08x,", read_or_zero(R44, ctx));
                kv_console_printf("0x54 = %08x\n", read_or_zero(R54, ctx));
            }
        }
    }
    return 1;
}

}  // namespace

int calibrate_on_chip(const std::string& config_text, JobContext& ctx)
{
    write(R14, 1, ctx);
    uint32_t chip = 0;
    if (!addr_read(kChipId, &chip, ctx))
        return BL_FAIL(ctx, kSrc, "calibration: the chip id register 0xBFEDC024 could not be read\n");
    write(R34, (chip & 0x0Au) ? 0x03420100u : 0x03430000u, ctx);

    CalibrationState st;
    if (!read_ddr_settings(config_text, &st.settings))
        return BL_FAIL(ctx, kSrc, "calibration: #CONFIG_SETTING# could not be read\n");
    const DdrSettings& s = st.settings;
    RegisterList init_regs, config_regs;
    if (!parse_register_list(config_text, "#INIT_REGS#", &init_regs) ||
        !parse_register_list(config_text, "#CONFIG_REGS#", &config_regs))
        return BL_FAIL(ctx, kSrc, "calibration: a register section could not be read\n");
    if (s.no_calibration) {
        run_register_script(init_regs, ctx);
        kv_console_printf("No Calibration Process \n");
        return 1;
    }
    if (s.rdclk_dly_max > uint32_t(kMaxClockDelays))
        BL_LOG(kSrc, "RDCLK_DLY_MAX %u is beyond the %d clock delays, scans stop at %d\n", s.rdclk_dly_max,
               kMaxClockDelays, kMaxClockDelays);
    kv_console_printf("CLOCK_OFFSET = %d \nDELAY_90_OFFSET = %d \nDELAY_9090_OFFSET = %d \nDQS_IN_90_OFFSET = %d \n",
                      s.clock_offset, s.delay_90_offset, s.delay_9090_offset, s.dqs_in_90_offset);
    run_register_script(init_regs, ctx);
    if (!ctx.going())
        return stopped(ctx);

    int32_t d = 0;
    if (!calibrate_clock(s, ctx) || !calibrate_dll(s, &d, ctx))
        return 0;
    run_register_script(config_regs, ctx);

    const uint32_t device = s.device_select;
    if (device > 2)
        BL_LOG(kSrc, "DEVICE_SELECT %u is none of 0, 1, 2: the whole word is tested\n", device);
    return s.scan_mode ? sweep_delays(st, d, device, ctx) : scan_and_program(st, device, ctx);
}

int send_cache_calibration(const std::string& image_name, JobContext& ctx)
{
    std::vector<uint8_t> img;
    std::string path = ctx.file_path(image_name);
    std::error_code ec;
    if (!std::filesystem::exists(kv::file_path(path), ec))
        return BL_FAIL(ctx, kSrc, "\nRead file failed!!\n");
    if (!read_file(path, &img))
        return BL_FAIL(ctx, kSrc, "\nRead file failed!!\n");
    if (img.empty())
        return BL_FAIL(ctx, kSrc, "\nMalloc buffer failed!!\n");
    // No fixed time-out: allow twice the time the bytes take on the line.
    serialport_config_tag cfg;
    int baud = 115200;
    if (CSerialMonitorSerivce* svc = ctx.service();
        svc && svc->SMS_GetCurSvcParam(nullptr, nullptr, &cfg) && cfg.baud_rate > 0)
        baud = cfg.baud_rate;
    int timeout = int(std::min<uint64_t>(uint64_t(img.size()) * 20000u / uint64_t(baud) + 5000u, 600000u));
    CSerialMonitorSerivce* svc = ctx.service();
    if (!svc || !port_open(svc))
        return BL_FAIL(ctx, kSrc, "\nSend file failed!!\n");
    uint32_t sent = 0;
    int ok = svc->SMS_Send(img.data(), uint32_t(img.size()), &sent, timeout, -1);
    if (!ok && sent == 0)
        return BL_FAIL(ctx, kSrc, "\nSend file failed!!\n");
    if (sent < img.size())
        return BL_FAIL(ctx, kSrc, "\nSend file not complete!!\n");
    // The image answers "SEND_UPG" once DDR works; a silent one is given up
    // on after a minute.
    if (!wait_send_upg(ctx, -1, 256, 1000, 60000, true)) {
        if (ctx.cancelled() || !ctx.going())
            return stopped(ctx);
        return BL_FAIL(ctx, kSrc, "cache calibration: no \"SEND_UPG\" within 60 s\n");
    }
    return 1;
}

namespace {

int calibrate_with_text(const Platform& p, JobContext& ctx)
{
    std::string path = ctx.file_path(p.bring_up_file);
    std::error_code ec;
    std::vector<uint8_t> text;
    CSerialMonitorSerivce* svc = ctx.service();
    if (!std::filesystem::exists(kv::file_path(path), ec))
        return BL_FAIL(ctx, kSrc,
                       "the file ddrconf.txt is not exist\xC2\xA3\xC2\xAC"
                       "can't calibrate!!!\n");
    if (!read_file(path, &text) || text.empty())
        return BL_FAIL(ctx, kSrc, "the file %s is empty, can't calibrate\n", p.bring_up_file);
    if (!svc || !port_open(svc))
        return fail_at(ctx, kSrc, __LINE__, Outcome::PortLost, "calibration: the port is not open\n");
    BL_LOG(kSrc, "Start Calibration ...\n");
    int64_t t0 = now_ms();
    int ok = calibrate_on_chip(std::string(text.begin(), text.end()), ctx);
    if (ok)
        BL_LOG(kSrc, "Calibration done, cost %d s\n", int((now_ms() - t0) / 1000));
    return ok;
}

}  // namespace

int calibrate_ddr(int project_type, JobContext& ctx)
{
    const Platform* p = find_platform(project_type);
    int ok = 0;
    if (p && p->bring_up == BringUp::DdrCalibration) {
        ok = calibrate_with_text(*p, ctx);
    } else if (p && p->bring_up == BringUp::CacheCalibration) {
        CSerialMonitorSerivce* svc = ctx.service();
        if (!svc || !port_open(svc))
            fail_at(ctx, kSrc, __LINE__, Outcome::PortLost, "calibration: the port is not open\n");
        else
            ok = send_cache_calibration(p->bring_up_file, ctx);
    } else {
        BL_FAIL(ctx, kSrc, "project type %d does not calibrate\n", project_type);
    }
    BL_LOG(kSrc, ok ? "DDR Calibration Completed\n" : "DDR Calibration Failed\n");
    ctx.clear_keep_going();
    return ok;
}

}  // namespace bootlink
