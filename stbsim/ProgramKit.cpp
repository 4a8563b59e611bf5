// The fault reactions and the stand-in load the STB programs share.
#include "ProgramKit.h"

#include <ByteOrder.h>
#include <kvcrc.h>

namespace stbsim {

int take(Box& b, int& pending)
{
    if (pending >= 0) {
        int c = pending;
        pending = -1;
        return c;
    }
    return b.get(-1);
}

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

void send(Box& b, const Reaction& re, const uint8_t* data, size_t n, bool reply)
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

void answer_with(Box& b, const Reaction& re, const std::vector<uint8_t>& v)
{
    if (re.drop)
        return;
    b.pause(re.delay_ms);
    send(b, re, v.data(), v.size());
}

bool fault(Box& b, FaultKind k, FaultOn on, uint64_t n, FaultSpec* f)
{
    FaultSpec tmp;
    if (!b.faults.fire(k, on, n, -1, f ? f : &tmp))
        return false;
    b.count([](Counters& c) { ++c.faults_fired; });
    return true;
}

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

}  // namespace stbsim
