// The boot ROM: the announcement, word reads and writes, the boot-init
// and cache-calibration stand-ins, and the client load.
#include "ProgramKit.h"

#include <ByteOrder.h>
#include <Platform.h>
#include <kvcrc.h>

#include <algorithm>
#include <cstring>

namespace stbsim {

namespace {

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

namespace {

// Announces the boot ROM with the sync byte until the host talks; false when
// the announcement time runs out (the firmware boots). `first`: the host's
// first byte.
bool announce_until_host_talks(Box& b, int* first)
{
    FaultSpec fast;
    const bool crossing = b.faults.fire(FaultKind::Announce, FaultOn::Any, 0, -1, &fast);
    const int period = crossing ? fast.ms : b.opt.announce_ms;
    auto give_up = Clock::now() + std::chrono::milliseconds(b.opt.announce_limit_ms);
    for (;;) {
        b.put(&b.opt.sync_byte, 1);
        *first = b.get_clean(std::max(1, period));
        if (*first >= 0)
            break;
        if (b.opt.announce_limit_ms > 0 && Clock::now() >= give_up) {
            b.trace("boot ROM: no host; booting the firmware from flash");
            return false;
        }
    }
    b.trace("boot ROM: the host talks");
    if (crossing) {
        // The announcement that was on its way when the host's first byte came.
        b.trace("fault: an announcement crosses the host's first byte");
        b.put(&b.opt.sync_byte, 1);
    }
    return true;
}

// One instruction after its '#': a word read or a word write. A byte that
// starts none is put back in `pending`.
void instruction(Box& b, int* pending)
{
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
        *pending = op;
    }
}

// A stand-in program after its "CVSI": shell.img takes over (true, `next`);
// the cache calibration and the Cedar boot init run and hand the line back
// to the boot ROM with the host's next byte in `pending`.
bool run_standin(Box& b, const uint8_t first4[4], bool* cedar_ready, int* pending, Next* next)
{
    std::vector<uint8_t> img(first4, first4 + 4);
    StandinHeader h;
    if (!read_standin(b, img, &h))
        return false;
    b.count([](Counters& x) { ++x.programs_loaded; });
    if (h.kind == kKindShell) {
        b.trace("boot ROM: shell.img runs");
        *next = Next{Prog::Shell, {}};
        return true;
    }
    if (h.kind == kKindCacheCal) {
        b.set_prog(Prog::CacheCal);
        b.mem.set_ddr_ready(true);
        *pending = send_upg_until_host_talks(b);
        b.set_prog(Prog::BootRom);
        return false;
    }
    if (h.kind == kKindBootInitCedar) {
        b.set_prog(Prog::CedarInit);
        b.set_rate(115200);
        b.mem.set_ddr_ready(true);
        *cedar_ready = true;
        *pending = send_upg_until_host_talks(b);
        b.set_prog(Prog::BootRom);
        return false;
    }
    b.trace("boot ROM: refused: stand-in of kind %u is not loaded this way", h.kind);
    return false;
}

}  // namespace

Next run_boot_rom(Box& b)
{
    b.set_prog(Prog::BootRom);
    b.in_session = true;
    const bootlink::Platform& p = platform_of(b);
    b.set_rate(p.boot_rom_baud);
    int c;
    if (!announce_until_host_talks(b, &c))
        return Next{Prog::Idle, {}};
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
            instruction(b, &pending);
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
        Next next;
        if (std::memcmp(first4, "CVSI", 4) == 0) {
            if (run_standin(b, first4, &cedar_ready, &pending, &next))
                return next;
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

}  // namespace stbsim
