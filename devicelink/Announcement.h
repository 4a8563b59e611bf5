// Telling the boot ROM's announcement from what a running box prints.
//
// After a reset the boot ROM sends its sync byte ('R' unless the settings say
// otherwise) on its own, again and again until the host talks. A running box
// prints console lines ("Ready", "RUN", "ROM check") that hold the same byte
// among others. An announcement is therefore a sync byte with quiet on both
// sides: nothing arrived in the quiet time before it, it arrived on its own,
// and nothing followed it within the quiet time. Bytes that arrive in one read
// came together on the line; none of them stands alone.
//
// The detector only sees bytes and the times they arrived, so it works the
// same on a local port and on a port behind a serial server (which may want a
// longer quiet time, a setting of the service).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace kv {

// Milliseconds on the steady clock: the time base of arrival times.
inline int64_t monotonic_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// A sync byte as settings and options give it: one character ("R") or a
// number ("0x52", "82"); blanks are ignored. False when it is neither.
bool parse_sync_byte(const std::string& text, uint8_t* out);

class AnnouncementDetector {
public:
    static constexpr int kDefaultQuietMs = 20;

    explicit AnnouncementDetector(uint8_t sync = 'R', int quiet_ms = kDefaultQuietMs);

    // Starts over at `now_ms`; the line counts as busy up to then, so a sync
    // byte is taken only after a full quiet time of watching.
    void reset(int64_t now_ms);
    // Bytes that arrived together at `now_ms`.
    void feed(const uint8_t* bytes, size_t n, int64_t now_ms);
    // True once a sync byte has had its quiet time on both sides by `now_ms`.
    bool announced(int64_t now_ms) const;

    uint8_t sync() const { return m_sync; }
    int quiet_ms() const { return m_quiet; }

private:
    uint8_t m_sync;
    int m_quiet;
    int64_t m_lastByte = 0;  // when the last byte arrived
    bool m_candidate = false;  // a lone sync byte waits for its quiet after
    int64_t m_candidateAt = 0;
    bool m_confirmed = false;
};

}  // namespace kv
