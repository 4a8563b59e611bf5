// The upgrade client: commands, data frames, the burn with its progress
// reports, and the flash dump.
#include "ProgramKit.h"

#include <ByteOrder.h>
#include <Platform.h>
#include <kvcrc.h>

#include <algorithm>
#include <cstring>
#include <map>

namespace stbsim {

namespace {

struct Transfer {
    bool active = false;
    uint8_t id = 0, kind = 0;
    uint32_t total = 0;
    std::vector<uint8_t> data;
    uint32_t next = 0;  // frames accepted
    size_t last_len = 0;
    uint64_t frames = 0;  // frames received in this transfer
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
    bool slave_report(const uint8_t* pay, size_t n);
    bool start_transfer(const uint8_t* pay, size_t n);
    bool too_early_to_burn();
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
        // Bytes lost on the way: the frame cannot pass its CRC, and a client
        // that said nothing would leave the host waiting for a reply.
        b.count([](Counters& c) { ++c.crc_errors; });
        b.trace("data frame %u broke off: answered as a CRC error", seq);
        b.reply({'E', 0x00, 0x01, static_cast<uint8_t>(want >> 8), static_cast<uint8_t>(want)});
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

// The slave report: which block the next burn is for and its size.
bool Client::slave_report(const uint8_t* pay, size_t n)
{
    if (n < 6)
        return false;
    have_report = true;
    report_id = pay[1];
    report_size = kv::get_le32(pay + 2);
    b.trace("client: slave report, block 0x%02X, %u bytes", report_id, report_size);
    return true;
}

// A transfer header: block, kind ('Z' gzip, 'N' raw) and length.
bool Client::start_transfer(const uint8_t* pay, size_t n)
{
    if (n < 6 || (pay[1] != 'Z' && pay[1] != 'N') || kv::get_le32(pay + 2) > kMaxTransfer) {
        b.trace("client: transfer header refused");
        return false;
    }
    x = Transfer{};
    x.active = true;
    x.id = pay[0];
    x.kind = pay[1];
    x.total = kv::get_le32(pay + 2);
    x.complete_at = Clock::now();
    b.trace("client: transfer of %u bytes, block 0x%02X, kind '%c'", x.total, x.id, x.kind);
    return true;
}

// A burn command while the image just received is still being checked.
bool Client::too_early_to_burn()
{
    if (!x.active || x.data.size() != x.total ||
        Clock::now() >= x.complete_at + std::chrono::milliseconds(b.opt.burn_ready_ms))
        return false;
    b.count([](Counters& c) { ++c.refused_early; });
    b.trace("client: burn command before the image was checked: refused");
    return true;
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
        static const char kHello[] = "OOKESTREL P2P UPG";  // "OO" and the banner
        answer(std::vector<uint8_t>(kHello, kHello + sizeof kHello - 1));
        break;
    }
    case 'e':
        if (n >= 1)
            answer({'O', 'O', pay[0]});
        break;
    case 'R': answer(slave_report(pay, n) ? std::vector<uint8_t>{'O', 'O'} : std::vector<uint8_t>{'E', 'E'}); break;
    case 'S': answer(start_transfer(pay, n) ? std::vector<uint8_t>{'O', 'O'} : std::vector<uint8_t>{'E', 'E'}); break;
    case 'T':
        if (too_early_to_burn()) {
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
    case 'Q': slave_info(re, count); break;
    case 0x60:
        if (n < 4 || kv::get_le32(pay) > kMaxDump) {
            answer({'E'});
            break;
        }
        if (answer({'O'}))
            dump(kv::get_le32(pay));
        break;
    default: b.trace("client: command 0x%02X unknown; no answer", k); break;
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
    bool ok = x.active && x.data.size() == x.total && have_report && report_id == x.id && report_size <= kMaxFlashImage;
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
                b.trace("flash write failed: %s",
                        err.empty() ? "the image is larger than the room for it" : err.c_str());
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

}  // namespace stbsim
