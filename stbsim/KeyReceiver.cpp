// The remote-control receiver of the box's firmware.
//
// While the firmware runs (no host session: the "idle" program) the box
// listens for remote-control keys on its serial line. A key arrives as an
// 11-byte frame, all numbers little-endian:
//
//   0  '#'  (0x23)
//   1  'K'  (0x4B)
//   2  4    payload length
//   3  key value, 32-bit signed
//   7  CRC-32 of bytes 1..6 (reflected 0xEDB88320, preset 0xFFFFFFFF, no
//      final complement: the clients' frame CRC)
//
// and is answered with two bytes: 'O' 'K' when the key was taken, 'E' 0x01
// when the frame arrived damaged (check mismatch), 'E' 0x02 when the box
// refuses that key. Bytes that do not start a key frame are console input the
// box does not model and are ignored. The receiver's UART runs at
// Options::key_baud (4800 Bd unless told otherwise; 0 follows whatever rate
// the host set on a pseudo-terminal), so a frame sent at another rate is line
// noise and gets no answer. With the keytalk fault the firmware prints a
// console line just before and just after each answer, as a busy box does.
#include "SimInternal.h"

#include <ByteOrder.h>
#include <kvcrc.h>

#include <algorithm>

namespace stbsim {

namespace {

constexpr size_t kMaxKeysKept = 4096;  // older keys are dropped (and counted)
constexpr int kKeyGapMs = 200;  // longest pause between two bytes of one frame
constexpr int kDeviceBaud = 4800;  // a real device cannot follow the host

void follow_rate(Box& b)
{
    int want = b.opt.key_baud;
    if (want <= 0)
        want = b.is_pty ? b.host_rate() : kDeviceBaud;
    if (want > 0 && want != b.rate.load())
        b.set_rate(want);
}

// The answer to a complete frame; with keytalk, between two console lines.
void answer(Box& b, int32_t value, std::initializer_list<uint8_t> bytes)
{
    const bool talk = b.faults.fire(FaultKind::KeyTalk, FaultOn::Any, 0, -1, nullptr);
    if (talk)
        b.put("ir: frame for key " + std::to_string(value) + "\r\n");
    b.reply(bytes);
    if (talk)
        b.put("\r\nir: idle\r\n");
}

void take_key_frame(Box& b)
{
    int c = b.get(kKeyGapMs);
    if (c != 'K') {
        if (c >= 0)
            b.trace("key receiver: '#' followed by 0x%02x, not a key frame", c);
        return;
    }
    uint8_t f[10];
    f[0] = 'K';
    if (!b.get_n(f + 1, 9, kKeyGapMs)) {
        b.trace("key receiver: key frame broke off");
        b.keys.count_error();
        return;
    }
    if (f[1] != 4) {
        b.trace("key receiver: key frame with payload length %u refused", f[1]);
        b.keys.count_error();
        return;
    }
    const int32_t value = static_cast<int32_t>(kv::get_le32(f + 2));
    if (kv::crc32(f, 6) != kv::get_le32(f + 6)) {
        b.trace("key receiver: key frame with a bad check");
        b.keys.count_error();
        answer(b, value, {'E', 0x01});
        return;
    }
    const bool refused = b.keys.rejected(value) || std::find(b.opt.reject_keys.begin(), b.opt.reject_keys.end(),
                                                             value) != b.opt.reject_keys.end();
    if (refused) {
        b.trace("key receiver: key %d refused", value);
        b.keys.count_reject();
        answer(b, value, {'E', 0x02});
        return;
    }
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - b.t0).count();
    b.keys.add(value, ms);
    b.trace("key receiver: key %d", value);
    answer(b, value, {'O', 'K'});
}

}  // namespace

Next run_key_receiver(Box& b)
{
    for (;;) {
        follow_rate(b);
        if (b.get(50) == '#')
            take_key_frame(b);
    }
}

// ---------------------------------------------------------------------------

void KeyLog::add(int32_t value, int64_t ms)
{
    std::lock_guard<std::mutex> l(m_);
    if (keys_.size() >= kMaxKeysKept) {
        keys_.pop_front();
        ++dropped_;
    }
    keys_.push_back(ReceivedKey{value, ms});
}

std::vector<ReceivedKey> KeyLog::keys() const
{
    std::lock_guard<std::mutex> l(m_);
    return {keys_.begin(), keys_.end()};
}

void KeyLog::clear()
{
    std::lock_guard<std::mutex> l(m_);
    keys_.clear();
    dropped_ = rejects_ = errors_ = 0;
}

void KeyLog::reject(int32_t value, bool on)
{
    std::lock_guard<std::mutex> l(m_);
    if (on)
        reject_.insert(value);
    else
        reject_.erase(value);
}

bool KeyLog::rejected(int32_t value) const
{
    std::lock_guard<std::mutex> l(m_);
    return reject_.count(value) != 0;
}

void KeyLog::count_reject()
{
    std::lock_guard<std::mutex> l(m_);
    ++rejects_;
}

void KeyLog::count_error()
{
    std::lock_guard<std::mutex> l(m_);
    ++errors_;
}

std::string KeyLog::status() const
{
    std::lock_guard<std::mutex> l(m_);
    std::string s =
        "key refusals " + std::to_string(rejects_) + ", bad key frames " + std::to_string(errors_) + ", keys=";
    if (dropped_)
        s += "(" + std::to_string(dropped_) + " earlier),";
    for (size_t i = 0; i < keys_.size(); ++i) {
        if (i)
            s += ',';
        s += std::to_string(keys_[i].value);
    }
    return s;
}

}  // namespace stbsim
