// The STB-side programs: boot ROM, boot-init and cache-calibration images,
// the Alder client loader, the upgrade client and "shell.img".
#include "SimInternal.h"

#include <ByteOrder.h>
#include <Platform.h>
#include <kvcrc.h>

#include <algorithm>
#include <cstring>

namespace stbsim {

namespace {

// The byte a step put back, or else the next one from the line.
int take(Box& b, int& pending)
{
    if (pending >= 0) {
        int c = pending;
        pending = -1;
        return c;
    }
    return b.get(-1);
}

constexpr size_t kMaxImage = 32u << 20;      // largest program the box loads
constexpr uint32_t kMaxTransfer = 64u << 20; // 65536 frames of 1024 bytes
constexpr uint64_t kMaxDump = 256u << 20;
constexpr uint32_t kMaxFlashImage = 256u << 20; // no flash is larger; keeps a gzip bomb out
constexpr int kGapMs = 2000;                 // longest pause inside one frame or image

const bootlink::Platform& platform_of(const Box& b) { return bootlink::platform(b.opt.platform); }

// What a fault does to the event that selected it.
struct Reaction {
    bool lost = false;  // the box was not listening: the request is gone
    bool drop = false;  // the request was handled, its reply is not sent
    int delay_ms = 0;
    int lose_byte = -1;  // this byte of the reply goes missing on the line
    int trickle_ms = 0;  // the reply goes out one byte at a time
};

Reaction react(Box& b, FaultOn on, uint64_t n, int cmd)
{
    Reaction r;
    FaultSpec f;
    if (b.faults.fire(FaultKind::Reset, on, n, cmd, &f)) {
        b.count([](Counters& c) { ++c.faults_fired; });
        b.trace("fault: reset");
        throw Interrupt{false};
    }
    if (b.faults.fire(FaultKind::Stall, on, n, cmd, &f)) {
        b.count([](Counters& c) { ++c.faults_fired; });
        b.stall(f.ms);
        r.lost = r.drop = true;  // what came in before the stall is lost with it
    }
    if (b.faults.fire(FaultKind::Drop, on, n, cmd, &f)) {
        b.count([](Counters& c) { ++c.faults_fired; });
        b.trace("fault: reply dropped");
        r.drop = true;
    }
    if (b.faults.fire(FaultKind::Delay, on, n, cmd, &f)) {
        b.count([](Counters& c) { ++c.faults_fired; });
        b.trace("fault: reply delayed %d ms", f.ms);
        r.delay_ms = f.ms;
    }
    if (b.faults.fire(FaultKind::Lose, on, n, cmd, &f)) {
        b.count([](Counters& c) { ++c.faults_fired; });
        r.lose_byte = f.byte;
    }
    if (b.faults.fire(FaultKind::Trickle, on, n, cmd, &f)) {
        b.count([](Counters& c) { ++c.faults_fired; });
        r.trickle_ms = f.ms;
    }
    return r;
}

// Puts bytes on the line as a fault has them: one of them lost, or one at a
// time. `reply`: the box's processing delay comes first.
void send(Box& b, const Reaction& re, const uint8_t* data, size_t n, bool reply = true)
{
    std::vector<uint8_t> v(data, data + n);
    if (re.lose_byte >= 0 && static_cast<size_t>(re.lose_byte) < v.size()) {
        b.trace("fault: byte %d of the reply lost", re.lose_byte);
        v.erase(v.begin() + re.lose_byte);
    }
    if (reply)
        b.pause(b.reply_delay.load());
    if (re.trickle_ms <= 0) {
        b.put(v.data(), v.size());
        return;
    }
    b.trace("fault: %zu bytes trickle out every %d ms", v.size(), re.trickle_ms);
    for (size_t i = 0; i < v.size(); ++i) {
        if (i)
            b.pause(re.trickle_ms);
        b.put(&v[i], 1);
    }
}

// The reply to a request the fault reaction selected: dropped, delayed, or sent.
void answer_with(Box& b, const Reaction& re, const std::vector<uint8_t>& v)
{
    if (re.drop)
        return;
    b.pause(re.delay_ms);
    send(b, re, v.data(), v.size());
}

bool fault(Box& b, FaultKind k, FaultOn on, uint64_t n, FaultSpec* f = nullptr)
{
    FaultSpec tmp;
    if (!b.faults.fire(k, on, n, -1, f ? f : &tmp))
        return false;
    b.count([](Counters& c) { ++c.faults_fired; });
    return true;
}

// Reads a stand-in image whose first `have` header bytes are already in
// `img`. False (refused as noise) on a bad header, a break or a CRC error.
bool read_standin(Box& b, std::vector<uint8_t>& img, StandinHeader* h)
{
    size_t have = img.size();
    img.resize(kStandinHeaderSize);
    if (!b.get_n(img.data() + have, kStandinHeaderSize - have, kGapMs) ||
        !parse_standin_header(img.data(), img.size(), h)) {
        b.trace("refused: a program without a valid stand-in header");
        b.drain_quiet(300);
        return false;
    }
    if (h->length > kMaxImage) {
        b.trace("refused: a program of %u bytes", h->length);
        b.drain_quiet(300);
        return false;
    }
    img.resize(h->length);
    if (!b.get_n(img.data() + kStandinHeaderSize, h->length - kStandinHeaderSize, kGapMs)) {
        b.trace("program load broke off (%u bytes announced)", h->length);
        return false;
    }
    if (kv::crc32(img.data() + kStandinHeaderSize, h->length - kStandinHeaderSize) != h->crc) {
        b.trace("refused: program CRC does not match its header");
        b.drain_quiet(300);
        return false;
    }
    return true;
}

// Announces readiness with "SEND_UPG" until the host talks; returns the
// host's first byte.
int send_upg_until_host_talks(Box& b)
{
    auto end = Clock::now() + std::chrono::seconds(60);
    while (Clock::now() < end) {
        b.put("SEND_UPG");
        int c = b.get_clean(std::max(1, b.opt.cedar_ready_period_ms));
        if (c >= 0)
            return c;
    }
    b.trace("nobody answered SEND_UPG; falling silent");
    return b.get_clean(-1);
}

bool fpga_bus_decodes(uint32_t addr)
{
    const uint32_t phys = addr & 0x1FFFFFFFu;
    return phys < 0x10000000u || (phys >> 16) == (kFpgaPulseRegister & 0x1FFFFFFFu) >> 16;
}

void do_read(Box& b, uint32_t addr)
{
    if (b.opt.fpga && b.opt.fpga_strict_bus && !fpga_bus_decodes(addr)) {
        b.trace("FPGA board: a read of 0x%08X, which its bus does not decode: the board hangs", addr);
        run_crashed(b);
    }
    uint64_t n = ++b.reads_since_reset;
    b.count([](Counters& c) { ++c.word_reads; });
    uint32_t v = b.mem.read(addr);
    b.trace("boot ROM: read 0x%08X -> 0x%08X", addr, v);
    uint8_t r[4];
    kv::put_le32(r, v);
    Reaction re = react(b, FaultOn::Read, n, -1);
    if (re.drop)
        return;
    b.pause(re.delay_ms);
    FaultSpec f;
    if (fault(b, FaultKind::Split, FaultOn::Read, n, &f)) {
        b.trace("fault: reply in %zu pieces", f.pieces.size());
        size_t off = 0;
        for (size_t i = 0; i < f.pieces.size() && off < 4; ++i) {
            if (i == 0)
                b.reply(r, f.pieces[0]);
            else {
                b.pause(f.gap_ms);
                b.put(r + off, f.pieces[i]);
            }
            off += f.pieces[i];
        }
        return;
    }
    send(b, re, r, 4);
}

void do_write(Box& b, uint32_t addr, uint32_t v)
{
    b.count([](Counters& c) { ++c.word_writes; });
    b.trace("boot ROM: write 0x%08X := 0x%08X", addr, v);
    b.mem.write(addr, v);
    if (addr == Memory::kDmaStart && (v & 2u))
        b.count([](Counters& c) { ++c.dma_starts; });
}

// The one-piece client download: the host's header, then the image. The
// header is the one the platform table gives for the box's project type.
bool read_client(Box& b, const uint8_t first4[4], std::vector<uint8_t>* image)
{
    const bootlink::Platform& p = platform_of(b);
    const size_t hlen = bootlink::load_header(p, 0).size();
    uint8_t h[16];
    std::memcpy(h, first4, 4);
    if (hlen < 12 || !b.get_n(h + 4, hlen - 4, kGapMs)) {
        b.trace("client header broke off");
        return false;
    }
    const uint32_t len = kv::get_le32(h);
    bool ok = len > 0 && len <= kMaxImage && std::memcmp(h, bootlink::load_header(p, len).data(), hlen) == 0;
    if (!ok) {
        b.trace("refused: client header (length %u, load 0x%08X, entry 0x%08X) is not the one project type %d takes",
                len, kv::get_le32(h + 4), kv::get_le32(h + 8), p.type);
        b.drain_quiet(300);
        return false;
    }
    image->resize(len);
    if (!b.get_n(image->data(), len, kGapMs)) {
        b.trace("client load broke off (%u bytes announced)", len);
        return false;
    }
    b.trace("client of %u bytes loaded at 0x%08X", len, p.load_address);
    return true;
}

// Project type 1: the boot ROM takes "boot_init.img" with a 20-byte header
// handshake. Every byte it keeps is acknowledged with '.'; a byte that does
// not fit restarts the header with 'R'. After the last image byte comes '"'.
bool alder_boot_init(Box& b, int c, Next* next)
{
    static const char magic[] = "CVSI";
    uint8_t hdr[kStandinHeaderSize];
    size_t idx = 0;
    int bad_headers = 0;
    for (;; c = b.get(3000)) {
        if (c == kTimeout) {
            if (idx == 0)
                return false;
            b.trace("boot_init header broke off at byte %zu; restarting it", idx);
            b.put(&b.opt.sync_byte, 1);
            idx = 0;
            continue;
        }
        if (c == kNoise || (idx < 4 && c != magic[idx])) {
            b.put(&b.opt.sync_byte, 1);
            idx = 0;
            continue;
        }
        hdr[idx++] = static_cast<uint8_t>(c);
        b.put(".");
        if (idx < kStandinHeaderSize)
            continue;
        StandinHeader h;
        if (!parse_standin_header(hdr, sizeof hdr, &h) || h.length > kMaxImage) {
            b.trace("boot_init header is not valid; restarting it");
            idx = 0;
            if (++bad_headers >= 3) {
                b.drain_quiet(300);
                return false;
            }
            b.put(&b.opt.sync_byte, 1);
            continue;
        }
        std::vector<uint8_t> img(hdr, hdr + kStandinHeaderSize);
        img.resize(h.length);
        for (size_t i = kStandinHeaderSize; i < h.length; ++i) {
            int d = b.get(3000);
            if (d < 0) {
                b.trace("boot_init image broke off at byte %zu of %u", i, h.length);
                return false;
            }
            img[i] = static_cast<uint8_t>(d);
            b.put(i + 1 == h.length ? ".\"" : ".");
        }
        b.count([](Counters& x) { ++x.programs_loaded; });
        if (h.length == kStandinHeaderSize)
            b.put("\"");
        if (kv::crc32(img.data() + kStandinHeaderSize, h.length - kStandinHeaderSize) != h.crc) {
            b.trace("boot_init image CRC does not match: it does not run");
            *next = Next{Prog::Crashed, {}};
            return true;
        }
        *next = Next{Prog::AlderInit, {}};
        return true;
    }
}

}  // namespace

// ---------------------------------------------------------------------------

Next run_idle(Box& b)
{
    b.set_prog(Prog::Idle);
    b.in_session = false;
    return run_key_receiver(b);  // the firmware listens for remote-control keys
}

Clock::time_point firmware_console(Box& b)
{
    // What a running firmware prints: lines full of the sync byte, none of
    // them an announcement.
    static const char* const kConsole[] = {"Ready\r\n", "RUN: main loop\r\n", "ROM check passed\r\n",
                                           "R\r\n",     "PWR\r\n",          "Rx 0 errors, Tx 0 errors\r\n"};
    FaultSpec f;
    if (b.prog.load() != static_cast<int>(Prog::Idle) || !b.faults.fire(FaultKind::Chatter, FaultOn::Any, 0, -1, &f))
        return Clock::time_point::max();
    const auto now = Clock::now();
    if (now >= b.next_console_line) {
        b.put(kConsole[b.console_line++ % (sizeof kConsole / sizeof kConsole[0])]);
        b.count([](Counters& c) { ++c.console_lines; });
        b.next_console_line = now + std::chrono::milliseconds(f.ms);
    }
    return b.next_console_line;
}

Next run_crashed(Box& b)
{
    b.set_prog(Prog::Crashed);
    b.in_session = true;
    for (;;)
        (void)b.get(-1);
}

Next run_boot_rom(Box& b)
{
    b.set_prog(Prog::BootRom);
    b.in_session = true;
    const bootlink::Platform& p = platform_of(b);
    b.set_rate(p.boot_rom_baud);
    FaultSpec fast;
    const bool crossing = b.faults.fire(FaultKind::Announce, FaultOn::Any, 0, -1, &fast);
    const int period = crossing ? fast.ms : b.opt.announce_ms;
    int c;
    auto give_up = Clock::now() + std::chrono::milliseconds(b.opt.announce_limit_ms);
    for (;;) {
        b.put(&b.opt.sync_byte, 1);
        c = b.get_clean(std::max(1, period));
        if (c >= 0)
            break;
        if (b.opt.announce_limit_ms > 0 && Clock::now() >= give_up) {
            b.trace("boot ROM: no host; booting the firmware from flash");
            return Next{Prog::Idle, {}};
        }
    }
    b.trace("boot ROM: the host talks");
    if (crossing) {
        // The announcement that was on its way when the host's first byte came.
        b.trace("fault: an announcement crosses the host's first byte");
        b.put(&b.opt.sync_byte, 1);
    }
    bool cedar_ready = false;
    int pending = c;
    for (;;) {
        c = take(b, pending);
        if (c < 0)
            continue;
        if (b.opt.download_mode && c != 'C') {
            const uint8_t head = static_cast<uint8_t>(c);
            pending = keep_download(b, &head, 1);
            continue;
        }
        if (c == '#') {
            int op = b.get(1000);
            uint8_t a[8];
            if (op == 0x04) {
                if (b.get_n(a, 4, 1000))
                    do_read(b, kv::get_le32(a));
                else
                    b.trace("boot ROM: read instruction broke off");
            } else if (op == 0x01) {
                if (b.get_n(a, 8, 1000))
                    do_write(b, kv::get_le32(a), kv::get_le32(a + 4));
                else
                    b.trace("boot ROM: write instruction broke off");
            } else if (op >= 0) {
                b.trace("boot ROM: 0x23 0x%02X is no instruction", op);
                pending = op;
            }
            continue;
        }
        if (p.bring_up == bootlink::BringUp::AlderBootInit) {
            Next n;
            if (alder_boot_init(b, c, &n))
                return n;
            continue;
        }
        // Before its boot init the Cedar boot ROM takes 0x00 as the host's
        // wake-up; afterwards a 0x00 starts a client length.
        if (p.bring_up == bootlink::BringUp::CedarBootInit && c == 0x00 && !cedar_ready) {
            b.trace("boot ROM: wake byte");
            continue;
        }
        uint8_t first4[4] = {static_cast<uint8_t>(c)};
        if (!b.get_n(first4 + 1, 3, kGapMs)) {
            b.trace("boot ROM: load broke off");
            continue;
        }
        if (std::memcmp(first4, "CVSI", 4) == 0) {
            std::vector<uint8_t> img(first4, first4 + 4);
            StandinHeader h;
            if (!read_standin(b, img, &h))
                continue;
            b.count([](Counters& x) { ++x.programs_loaded; });
            if (h.kind == kKindShell) {
                b.trace("boot ROM: shell.img runs");
                return Next{Prog::Shell, {}};
            }
            if (h.kind == kKindCacheCal) {
                b.set_prog(Prog::CacheCal);
                b.mem.set_ddr_ready(true);
                pending = send_upg_until_host_talks(b);
                b.set_prog(Prog::BootRom);
                continue;
            }
            if (h.kind == kKindBootInitCedar) {
                b.set_prog(Prog::CedarInit);
                b.set_rate(115200);
                b.mem.set_ddr_ready(true);
                cedar_ready = true;
                pending = send_upg_until_host_talks(b);
                b.set_prog(Prog::BootRom);
                continue;
            }
            b.trace("boot ROM: refused: stand-in of kind %u is not loaded this way", h.kind);
            continue;
        }
        if (b.opt.download_mode) {
            pending = keep_download(b, first4, 4);
            continue;
        }
        std::vector<uint8_t> image;
        if (read_client(b, first4, &image))
            return Next{Prog::Loaded, std::move(image)};
    }
}

Next run_alder_init(Box& b)
{
    b.set_prog(Prog::AlderInit);
    b.in_session = true;
    b.set_rate(115200);
    b.mem.set_ddr_ready(true);
    // The init image announces itself on the new rate and tells the host it
    // is ready, then keeps quiet so that the host sees the line go still.
    int c = b.get_clean(b.opt.alder_ready_delay_ms);
    for (int i = 0; c < 0 && i < b.opt.alder_ready_repeats; ++i) {
        b.put("R");
        c = b.get_clean(500);
        if (c >= 0)
            break;
        b.put("bootinit_ready");
        c = b.get_clean(std::max(1, b.opt.alder_ready_period_ms - 500));
    }
    b.set_prog(Prog::ClientLoader);
    std::vector<uint8_t> image;
    uint32_t expect = 0;  // block number wanted next; 0: no download running
    uint64_t frames = 0;
    int pending = c;
    for (;;) {
        c = take(b, pending);
        if (c < 0)
            continue;
        if (c == 'C') {
            // A client sent raw: it carries the stand-in header.
            std::vector<uint8_t> img{static_cast<uint8_t>(c)};
            StandinHeader h;
            if (read_standin(b, img, &h))
                return Next{Prog::Loaded, std::move(img)};
            continue;
        }
        if (c != '#') {
            b.trace("client loader: 0x%02X ignored", c);
            continue;
        }
        uint8_t h[3];
        if (!b.get_n(h, 3, 1000)) {
            b.trace("client block frame broke off");
            continue;
        }
        uint32_t n = kv::get_le16(h);
        size_t len = h[2];
        if (n == 0 || len == 0 || len > 128) {
            b.trace("refused: block frame %u with %zu bytes", n, len);
            b.drain_quiet(200);
            continue;
        }
        uint8_t pay[129];
        if (!b.get_n(pay, len + 1, 1000)) {
            b.trace("client block %u broke off", n);
            continue;
        }
        ++frames;
        b.count([](Counters& x) { ++x.alder_blocks; });
        uint8_t x = 0;
        for (size_t i = 0; i < len; ++i)
            x ^= pay[i];
        Reaction re = react(b, FaultOn::Block, frames, -1);
        if (re.lost)
            continue;
        bool good = x == pay[len] && !fault(b, FaultKind::Crc, FaultOn::Block, frames);
        uint32_t answer;
        if (!good) {
            b.trace("block %u: XOR check failed", n);
            answer = n;  // not n - 1: send it again
        } else if (expect != 0 && n == expect + 1) {
            b.count([](Counters& y) { ++y.alder_retransmissions; });
            answer = n - 1;  // our answer got lost; the block is in already
        } else {
            if (expect == 0 || n > expect + 1) {
                image.clear();
                expect = n;
            }
            if (n == expect) {
                image.insert(image.end(), pay, pay + len);
                expect = n - 1;
                answer = n - 1;
            } else {
                answer = expect;
            }
        }
        if (!re.drop) {
            b.pause(re.delay_ms);
            b.reply({static_cast<uint8_t>(answer), static_cast<uint8_t>(answer >> 8)});
        }
        if (good && answer == 0 && n == 1) {
            b.trace("client of %zu bytes loaded block by block", image.size());
            return Next{Prog::Loaded, std::move(image)};
        }
    }
}

// ---------------------------------------------------------------------------

namespace {
std::map<uint32_t, ClientProgram>& client_registry()
{
    static std::map<uint32_t, ClientProgram> r = {
        {kKindUpgClient, [](Box& b, const std::vector<uint8_t>&) { return run_upgrade_client(b); }},
        {kKindShell, [](Box& b, const std::vector<uint8_t>&) { return run_shell(b); }},
        {kKindPanelBase, run_panel_program}, {kKindPanelAlder, run_panel_program},
        {kKindPanelDogwood, run_panel_program},
    };
    return r;
}
}  // namespace

void register_client_program(uint32_t kind, ClientProgram fn) { client_registry()[kind] = fn; }

Next run_client(Box& b, const std::vector<uint8_t>& image)
{
    uint32_t kind = b.opt.default_client_kind;
    StandinHeader h;
    if (parse_standin_header(image.data(), image.size(), &h))
        kind = h.kind;
    if (b.opt.ddr_gate && !platform_of(b).ddr_works_from_reset() && !b.mem.ddr_ok()) {
        b.trace("the client was loaded into DDR that does not read back: it never runs");
        return run_crashed(b);
    }
    b.count([](Counters& c) { ++c.programs_loaded; });
    auto it = client_registry().find(kind);
    if (it == client_registry().end()) {
        b.trace("no program of kind 0x%X: the box hangs", kind);
        return run_crashed(b);
    }
    return it->second(b, image);
}

// ---------------------------------------------------------------------------
// The upgrade client.

namespace {

struct Transfer {
    bool active = false;
    uint8_t id = 0, kind = 0;
    uint32_t total = 0;
    std::vector<uint8_t> data;
    uint32_t next = 0;       // frames accepted
    size_t last_len = 0;
    uint64_t frames = 0;     // frames received in this transfer
    Clock::time_point complete_at{};  // when the last byte came
};

struct Client {
    explicit Client(Box& box) : b(box) {}
    Box& b;
    bool have_report = false;
    uint8_t report_id = 0;
    uint32_t report_size = 0;
    Transfer x;
    std::map<int, uint64_t> per_cmd;

    void data_frame();
    bool command(uint8_t k, const uint8_t* pay, size_t n);  // true: the client ends
    struct BurnFaults {
        bool fail = false, lose = false, stuck = false, garble = false;
        FaultSpec fail_spec, lose_spec, stuck_spec, garble_spec;
    };
    static BurnFaults burn_faults(Box& b);
    void progress(int pct, BurnFaults& f);
    void burn(bool silent);
    void dump(uint32_t size);
    void slave_info(const Reaction& re, uint64_t count);
    bool wait_ack(uint8_t want0, uint16_t seq, uint8_t* got0);
};

void Client::data_frame()
{
    uint8_t s[2];
    if (!b.get_n(s, 2, 1000))
        return;
    uint16_t seq = kv::get_be16(s);
    if (!x.active) {
        b.trace("data frame %u without an announced transfer: refused", seq);
        b.drain_quiet(200);
        return;
    }
    uint16_t want = static_cast<uint16_t>(x.next);
    uint16_t prev = static_cast<uint16_t>(x.next - 1);
    size_t len;
    bool dup = false;
    if (seq == want && x.data.size() < x.total) {
        len = std::min<size_t>(1024, x.total - x.data.size());
    } else if (x.next > 0 && seq == prev) {
        len = x.last_len;
        dup = true;
    } else {
        b.trace("data frame %u while %u is due: refused", seq, want);
        b.drain_quiet(100);
        b.reply({'O', static_cast<uint8_t>(prev >> 8), static_cast<uint8_t>(prev)});
        return;
    }
    std::vector<uint8_t> buf(len + 4);
    if (!b.get_n(buf.data(), buf.size(), kGapMs)) {
        b.trace("data frame %u broke off", seq);
        return;
    }
    ++x.frames;
    b.count([](Counters& c) { ++c.frames_received; });
    Reaction re = react(b, FaultOn::Frame, x.frames, -1);
    if (re.lost)
        return;
    bool good = kv::crc32(buf.data(), len) == kv::get_le32(buf.data() + len) &&
                !fault(b, FaultKind::Crc, FaultOn::Frame, x.frames);
    auto answer = [&](std::initializer_list<uint8_t> v) { answer_with(b, re, std::vector<uint8_t>(v)); };
    if (!good) {
        b.count([](Counters& c) { ++c.crc_errors; });
        b.trace("data frame %u: CRC error", seq);
        answer({'E', 0x00, 0x01, static_cast<uint8_t>(want >> 8), static_cast<uint8_t>(want)});
        return;
    }
    if (dup) {
        b.count([](Counters& c) { ++c.retransmissions; });
        answer({'O', s[0], s[1]});
        return;
    }
    x.data.insert(x.data.end(), buf.begin(), buf.begin() + static_cast<long>(len));
    if (x.data.size() == x.total)
        x.complete_at = Clock::now();
    x.last_len = len;
    ++x.next;
    b.count([](Counters& c) { ++c.frames_accepted; });
    uint16_t ack = seq;
    if (fault(b, FaultKind::Seq, FaultOn::Frame, x.frames)) {
        ack = static_cast<uint16_t>(seq - 1);
        b.trace("fault: frame %u acknowledged as %u", seq, ack);
    }
    answer({'O', static_cast<uint8_t>(ack >> 8), static_cast<uint8_t>(ack)});
}

bool Client::command(uint8_t k, const uint8_t* pay, size_t n)
{
    uint64_t count = ++per_cmd[k];
    Reaction re = react(b, FaultOn::Command, count, k);
    if (re.lost)
        return false;
    auto answer = [&](const std::vector<uint8_t>& v) {
        answer_with(b, re, v);
        return !re.drop;
    };
    switch (k) {
    case 'P': {
        std::vector<uint8_t> v = {'O', 'O'};
        const char* banner = "KESTREL P2P UPG";
        v.insert(v.end(), banner, banner + 15);
        answer(v);
        break;
    }
    case 'e':
        if (n >= 1)
            answer({'O', 'O', pay[0]});
        break;
    case 'R':
        if (n < 6) {
            answer({'E', 'E'});
            break;
        }
        have_report = true;
        report_id = pay[1];
        report_size = kv::get_le32(pay + 2);
        b.trace("client: slave report, block 0x%02X, %u bytes", report_id, report_size);
        answer({'O', 'O'});
        break;
    case 'S': {
        if (n < 6 || (pay[1] != 'Z' && pay[1] != 'N') || kv::get_le32(pay + 2) > kMaxTransfer) {
            b.trace("client: transfer header refused");
            answer({'E', 'E'});
            break;
        }
        x = Transfer{};
        x.active = true;
        x.id = pay[0];
        x.kind = pay[1];
        x.total = kv::get_le32(pay + 2);
        x.complete_at = Clock::now();
        b.trace("client: transfer of %u bytes, block 0x%02X, kind '%c'", x.total, x.id, x.kind);
        answer({'O', 'O'});
        break;
    }
    case 'T':
        if (x.active && x.data.size() == x.total &&
            Clock::now() < x.complete_at + std::chrono::milliseconds(b.opt.burn_ready_ms)) {
            // The image is still being checked: too early.
            b.count([](Counters& c) { ++c.refused_early; });
            b.trace("client: burn command before the image was checked: refused");
            answer({'E', 0x0E});
            break;
        }
        b.pause(re.delay_ms);
        burn(re.drop);
        break;
    case 'U':
        answer({'O'});
        b.trace("client: rebooting");
        return true;
    case 'Q':
        slave_info(re, count);
        break;
    case 0x60:
        if (n < 4 || kv::get_le32(pay) > kMaxDump) {
            answer({'E'});
            break;
        }
        if (answer({'O'}))
            dump(kv::get_le32(pay));
        break;
    default:
        b.trace("client: command 0x%02X unknown; no answer", k);
        break;
    }
    return false;
}

// "OO", the record's length, then (after the pause in which the client
// gathers it) the record and its CRC.
void Client::slave_info(const Reaction& re, uint64_t count)
{
    const bool oversize = b.faults.fire(FaultKind::Oversize, FaultOn::Command, count, 'Q', nullptr);
    std::vector<uint8_t> rec = slave_info_record(b.blocks, oversize ? 70 : 0);
    uint32_t crc = kv::crc32(rec.data(), rec.size());
    if (b.faults.fire(FaultKind::Crc, FaultOn::Command, count, 'Q', nullptr)) {
        b.trace("fault: slave info with a wrong CRC");
        crc ^= 0xA5A5A5A5u;
    }
    if (oversize)
        b.trace("fault: slave info of %zu bytes", rec.size());
    std::vector<uint8_t> head = {'O', 'O'};
    kv::append_le32(head, static_cast<uint32_t>(rec.size()));
    answer_with(b, re, head);
    if (re.drop)
        return;
    int pause = b.opt.slave_info_pause_ms;
    if (pause < 0)
        pause = platform_of(b).family == bootlink::Family::Dogwood ? 1500 : 0;
    b.pause(pause);
    kv::append_le32(rec, crc);
    b.put(rec.data(), rec.size());
}

Client::BurnFaults Client::burn_faults(Box& b)
{
    BurnFaults f;
    f.fail = fault(b, FaultKind::Burn, FaultOn::Any, 0, &f.fail_spec);
    f.lose = fault(b, FaultKind::Lose, FaultOn::Any, 0, &f.lose_spec);
    f.stuck = fault(b, FaultKind::Stuck, FaultOn::Any, 0, &f.stuck_spec);
    f.garble = fault(b, FaultKind::Garble, FaultOn::Any, 0, &f.garble_spec);
    return f;
}

// One progress report, 'B' and the percentage, as the faults have it.
void Client::progress(int pct, BurnFaults& f)
{
    uint8_t pair[2] = {'B', static_cast<uint8_t>(pct)};
    if (f.stuck && pct >= f.stuck_spec.percent) {
        b.trace("fault: the burn sticks at %d%%", pct);
        for (;;) {  // until the box is reset
            b.put(pair, 2);
            b.pause(f.stuck_spec.ms);
        }
    }
    if (f.garble && pct >= f.garble_spec.percent) {
        f.garble = false;
        b.trace("fault: the 'B' of the progress report %d%% arrives as 0x%02X", pct, f.garble_spec.as);
        pair[0] = static_cast<uint8_t>(f.garble_spec.as);
    }
    if (f.lose && pct >= f.lose_spec.percent) {
        f.lose = false;
        const int k = f.lose_spec.byte ? 1 : 0;
        b.trace("fault: byte %d of the progress report %d%% lost", k, pct);
        b.put(&pair[1 - k], 1);
        return;
    }
    b.put(pair, 2);
}

void Client::burn(bool silent)
{
    const BlockInfo* blk = nullptr;
    for (const auto& bl : b.blocks)
        if (bl.id == x.id) {
            blk = &bl;
            break;
        }
    std::vector<uint8_t> img;
    bool ok = x.active && x.data.size() == x.total && have_report && report_id == x.id &&
              report_size <= kMaxFlashImage;
    // An image that does not fit is refused before anything is erased.
    if (ok && x.kind == 'Z')
        ok = x.id == 0xFF && report_size <= b.flash.size() && gunzip(x.data, report_size, &img) &&
             img.size() == report_size;
    else if (ok)
        ok = blk != nullptr && x.data.size() == report_size && report_size <= blk->size;
    if (ok && fault(b, FaultKind::Verify, FaultOn::Any, 0)) {
        b.trace("fault: verification fails");
        ok = false;
    }
    if (!ok) {
        b.count([](Counters& c) { ++c.verify_failures; });
        b.trace("client: verification failed");
        if (!silent)
            b.reply({'E', 0x0E});
        return;
    }
    if (!silent)
        b.reply({'O', 'O'});
    b.count([](Counters& c) { ++c.burns; });
    const std::vector<uint8_t>& data = x.kind == 'Z' ? img : x.data;
    uint32_t base = x.kind == 'Z' ? 0 : blk->offset;
    uint64_t room = x.kind == 'Z' ? b.flash.size() : blk->size;
    BurnFaults faults = burn_faults(b);
    std::string err;
    bool good = true;
    if (x.kind == 'N' && !b.flash.erase(base, std::min<uint64_t>(room, b.flash.size() - base), &err))
        good = false;
    const int steps = 10;
    size_t done = 0;
    for (int i = 0; i <= steps && good; ++i) {
        int pct = i * 100 / steps;
        if (faults.fail && pct >= faults.fail_spec.percent) {
            b.trace("fault: flash write fails at %d%%", pct);
            good = false;
            break;
        }
        size_t upto = data.size() * static_cast<size_t>(i) / steps;
        if (upto > done) {
            size_t k = upto - done;
            if (done + k > room || !b.flash.write(base + static_cast<uint32_t>(done), data.data() + done, k, &err)) {
                b.trace("flash write failed: %s", err.empty() ? "the image is larger than the room for it" : err.c_str());
                good = false;
                break;
            }
            done = upto;
        }
        if (pct <= b.opt.burn_last_percent)
            progress(pct, faults);
        b.pause(b.opt.burn_ms / (steps + 1));
    }
    if (good && !b.flash.sync()) {
        b.trace("flash file could not be synced");
        good = false;
    }
    x = Transfer{};
    if (!good) {
        b.count([](Counters& c) { ++c.burn_failures; });
        b.put("E");
        return;
    }
    b.trace("client: %zu bytes burnt at 0x%X", data.size(), base);
    b.put("F");
    if (!b.opt.burn_tail.empty())
        b.put(b.opt.burn_tail);
}

bool Client::wait_ack(uint8_t want0, uint16_t seq, uint8_t* got0)
{
    uint8_t a[3];
    if (!b.get_n(a, 3, std::max(1, b.opt.ack_timeout_ms)))
        return false;
    *got0 = a[0];
    return a[1] == (seq >> 8) && a[2] == (seq & 0xFF) && (want0 == 0xFF || a[0] == want0);
}

void Client::dump(uint32_t size)
{
    b.trace("client: dump of %u bytes", size);
    uint64_t chunks = 0;
    uint16_t seq = 0;
    for (uint64_t off = 0; off < size; off += 3072) {
        size_t len = static_cast<size_t>(std::min<uint64_t>(3072, size - off));
        std::vector<uint8_t> data(len);
        b.flash.read(off, data.data(), len);
        uint32_t crc = kv::crc32(data.data(), len);
        for (int attempt = 0;; ++attempt) {
            if (attempt > 10) {
                b.trace("dump: chunk %u refused too often; dump ends", seq);
                return;
            }
            ++chunks;
            b.count([](Counters& c) { ++c.dump_chunks; });
            Reaction re = react(b, FaultOn::Chunk, chunks, -1);
            if (re.drop) {
                b.trace("dump ends");
                return;
            }
            b.pause(re.delay_ms);
            uint8_t st = 0;
            uint8_t head[4] = {'#', '*', static_cast<uint8_t>(seq >> 8), static_cast<uint8_t>(seq)};
            b.put(head, 4);
            if (!wait_ack(0x00, seq, &st)) {
                b.trace("dump: no acknowledgement of chunk header %u; dump ends", seq);
                return;
            }
            std::vector<uint8_t> out = data;
            if (fault(b, FaultKind::Dump, FaultOn::Chunk, chunks)) {
                b.trace("fault: chunk %u corrupted", seq);
                out[len / 2] ^= 0x5A;
            }
            b.put(out.data(), out.size());
            if (!wait_ack(0x00, seq, &st)) {
                b.trace("dump: no acknowledgement of chunk %u; dump ends", seq);
                return;
            }
            uint8_t c4[4];
            kv::put_le32(c4, crc);
            b.put(c4, 4);
            if (!wait_ack(0xFF, seq, &st) || (st != 0x00 && st != 0x01)) {
                b.trace("dump: no verdict on chunk %u; dump ends", seq);
                return;
            }
            if (st == 0x00)
                break;
            b.count([](Counters& c) { ++c.dump_retransmissions; });
            b.trace("dump: chunk %u asked again", seq);
        }
        seq = static_cast<uint16_t>((seq + 1) % 0xFFFF);
    }
    b.trace("client: dump complete");
}

}  // namespace

namespace {

// The client starts up: what arrives meanwhile finds nobody listening.
void starting_up(Box& b, int ms)
{
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    size_t lost = 0;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0 || b.get(static_cast<int>(left)) == kTimeout)
            break;
        ++lost;
    }
    if (lost) {
        b.count([](Counters& c) { ++c.refused_early; });
        b.trace("client: %zu bytes came before it was running: lost", lost);
    }
}

}  // namespace

Next run_upgrade_client(Box& b)
{
    b.set_prog(Prog::UpgClient);
    b.in_session = true;
    b.set_rate(bootlink::kClientBaud);
    starting_up(b, b.opt.client_ready_ms);
    Client cl(b);
    {
        for (bool have = false;;) {
            int c = have ? '#' : b.get(-1);
            have = false;
            if (c != '#') {
                if (c >= 0)
                    b.trace("client: 0x%02X ignored", c);
                continue;
            }
            int k = b.get(1000);
            if (k < 0)
                continue;
            if (k == '#') {
                have = true;
                continue;
            }
            if (k == '*') {
                cl.data_frame();
                continue;
            }
            uint8_t buf[kCommandFrameMax];
            int n = read_command_rest(b, k, buf, "client");
            if (n < 0)
                continue;
            b.count([](Counters& x) { ++x.commands; });
            b.trace("client: command '%c' (0x%02X), %d payload bytes", k >= 0x20 && k < 0x7F ? k : '?', k, n);
            if (cl.command(static_cast<uint8_t>(k), buf + 2, static_cast<size_t>(n)))
                return Next{Prog::Idle, {}};
        }
    }
}

// ---------------------------------------------------------------------------

int read_command_rest(Box& b, int k, uint8_t* buf, const char* who)
{
    int n = b.get(1000);
    if (n < 0)
        return kFrameBrokeOff;
    buf[0] = static_cast<uint8_t>(k);
    buf[1] = static_cast<uint8_t>(n);
    if (!b.get_n(buf + 2, static_cast<size_t>(n) + 4, 1000)) {
        b.trace("%s: command 0x%02X broke off", who, k);
        return kFrameBrokeOff;
    }
    if (kv::crc32(buf, 2 + static_cast<size_t>(n)) != kv::get_le32(buf + 2 + n)) {
        b.trace("%s: command 0x%02X with a bad CRC ignored", who, k);
        return kFrameBadCrc;
    }
    return n;
}

// ---------------------------------------------------------------------------

Next run_shell(Box& b)
{
    b.set_prog(Prog::Shell);
    b.in_session = true;
    uint64_t reads = 0;
    for (;;) {
        int c = b.get(-1);
        if (c != 0x23) {
            if (c >= 0)
                b.trace("shell: 0x%02X ignored", c);
            continue;
        }
        uint8_t q[16];
        if (!b.get_n(q, 16, 1000)) {
            b.trace("shell: request broke off");
            continue;
        }
        uint32_t addr = kv::get_le32(q + 8), v = kv::get_le32(q + 12);
        if (q[0] != 0x03 || q[1] || q[2] || q[3] || kv::get_le32(q + 4) != 8 || addr < 0x08000000u || v < 4 ||
            v - 4 > 65536) {
            b.trace("shell: request refused");
            b.drain_quiet(200);
            continue;
        }
        uint32_t len = v - 4;
        ++reads;
        b.count([](Counters& x) { ++x.shell_reads; });
        b.trace("shell: read %u bytes at 0x%08X", len, addr);
        Reaction re = react(b, FaultOn::Command, reads, 0x03);
        if (re.lost)
            continue;
        FaultSpec af;
        if (b.faults.fire(FaultKind::Addr, FaultOn::Command, reads, 0x03, &af)) {
            b.count([](Counters& x) { ++x.faults_fired; });
            b.trace("fault: the read at 0x%08X is answered with the next chunk", addr);
            addr += len;
        }
        std::vector<uint8_t> out = {0x23, 0x83, 0x00};
        kv::append_le32(out, addr);
        kv::append_le16(out, static_cast<uint16_t>(len));
        size_t at = out.size();
        out.resize(at + len);
        b.flash.read(addr - 0x08000000u, out.data() + at, len);
        uint32_t crc = kv::crc32(out.data() + at, len);
        if (len && fault(b, FaultKind::Dump, FaultOn::Chunk, reads)) {
            b.trace("fault: chunk at 0x%08X corrupted", addr);
            out[at + len / 2] ^= 0x5A;
        }
        kv::append_le32(out, crc);
        answer_with(b, re, out);
    }
}

}  // namespace stbsim
