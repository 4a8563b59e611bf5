// The SDRAM calibration of an FPGA prototype board: per lane, a sweep of the
// clock delay and then of the DQS delay, each stepped by pulses on one
// register, looking for the passing window of a pattern test and setting the
// delay to its centre.
//
// Pulse (code, n): n times write 0xBFD70180 := code, then := 0. A lane's
// clear code brings both of its delays back to 0. The pattern test writes
// 0x55555555 and 0xAAAAAAAA at 0x80AAAAA0 and 0x80AAAAA4 and reads both back
// under the lane's mask (lane 0 the low half-word, lane 1 the high one).
#pragma once

#include "DdrConf.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace download {

constexpr uint32_t kPulseRegister = 0xBFD70180;
constexpr uint32_t kPatternAddress0 = 0x80AAAAA0;
constexpr uint32_t kPatternAddress1 = 0x80AAAAA4;
constexpr uint32_t kPattern0 = 0x55555555;
constexpr uint32_t kPattern1 = 0xAAAAAAAA;
constexpr int kClockPositions = 80;  // clock delays 0 .. 79
constexpr int kDqsPositions = 64;  // DQS delays 0 .. 63 (the delay wraps)
constexpr int kRunLength = 5;  // passes that make a window, failures that close it

// The STB's address space as the sweep sees it. 1 on success, 0 when the
// instruction did not go out or (read) no reply came.
class WordAccess {
public:
    virtual ~WordAccess() = default;
    virtual int write(uint32_t address, uint32_t value) = 0;
    virtual int read(uint32_t address, uint32_t* value) = 0;
};

// The codes and mask of one lane, from the configuration.
struct LaneCodes {
    int lane = 0;
    uint8_t clear = 0;
    uint8_t clock = 0;
    uint8_t dqs = 0;
    uint32_t mask = 0x0000FFFF;
};
LaneCodes lane_codes(const FpgaOptions& options, int lane);

// The run rules of both sweeps. A passing run begins at its first pass; a
// failure after a run of at least five passes is counted (the first one
// closes the window at the position before it) and the fifth ends the sweep;
// a shorter failure run followed by a pass is forgotten; a passing run of one
// to four is discarded.
class RunTracker {
public:
    explicit RunTracker(int positions) : m_positions(positions) {}
    // The test result at position k; true when the sweep is to end here.
    bool feed(int k, bool pass);
    // A window of at least five passes was found.
    bool found() const { return m_passes >= kRunLength; }
    int start() const { return m_start; }
    // The last passing position, or `positions` when no failure closed the run.
    int end() const { return m_end >= 0 ? m_end : m_positions; }
    int centre() const { return start() + (end() - start()) / 2; }
    // The window as seen: first and last passing positions (-1 when none).
    int seen_start() const { return found() ? m_start : -1; }
    int seen_end() const { return found() ? (m_end >= 0 ? m_end : m_lastPass) : -1; }

private:
    int m_positions;
    int m_passes = 0;
    int m_failures = 0;
    int m_start = 0;
    int m_end = -1;
    int m_lastPass = -1;
};

struct LaneResult {
    bool clock_found = false;  // a clock window of at least five passes
    bool dqs_found = false;
    int clock_start = -1, clock_end = -1;  // the windows seen, inclusive; -1: none
    int dqs_start = -1, dqs_end = -1;
    int clock = 0, dqs = 0;  // the delays the lane is left at
    bool ok() const { return clock_found && dqs_found; }
};

enum class SweepEnd { Done, Stopped, LinkFailed };

class FpgaSweep {
public:
    // `running` is the calibration's running flag (null: always running).
    FpgaSweep(WordAccess& words, const std::atomic<bool>* running) : m_w(words), m_running(running) {}

    // Steps 1 to 3 for one lane. Done when the lane was swept to its end
    // (see LaneResult::ok for whether it found its windows).
    SweepEnd calibrate_lane(const LaneCodes& codes, LaneResult* out);
    // Why the last sweep stopped early.
    const std::string& error() const { return m_error; }

    // The pieces, for tests.
    bool pulse(uint8_t code, int times);
    bool reset_lane(uint8_t clear);
    // 1 pass, 0 fail, -1 stopped or link failed (see error()).
    int pattern_test(uint32_t mask);

private:
    SweepEnd clock_sweep(const LaneCodes& c, RunTracker& clk);
    SweepEnd dqs_sweep(const LaneCodes& c, RunTracker& dqs);
    SweepEnd fail(SweepEnd why, const std::string& text);

    WordAccess& m_w;
    const std::atomic<bool>* m_running;
    std::string m_error;
    SweepEnd m_testEnd = SweepEnd::Done;
};

}  // namespace download
