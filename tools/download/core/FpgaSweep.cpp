#include "FpgaSweep.h"

namespace download {

LaneCodes lane_codes(const FpgaOptions& o, int lane)
{
    LaneCodes c;
    c.lane = lane;
    c.clear = uint8_t(lane ? o.clear1 : o.clear0);
    c.clock = uint8_t(lane ? o.clock_delay1 : o.clock_delay0);
    c.dqs = uint8_t(lane ? o.dqs_delay1 : o.dqs_delay0);
    c.mask = lane ? 0xFFFF0000u : 0x0000FFFFu;
    return c;
}

bool RunTracker::feed(int k, bool pass)
{
    if (pass) {
        if (m_passes == 0)
            m_start = k;
        ++m_passes;
        m_lastPass = k;
        if (m_failures < kRunLength) {  // a short failure run inside the window is forgotten
            m_failures = 0;
            m_end = -1;
        }
        return false;
    }
    if (m_passes >= kRunLength) {
        if (m_failures == 0)
            m_end = k - 1;
        return ++m_failures >= kRunLength;
    }
    if (m_passes > 0) {  // a run of one to four passes is no window
        m_passes = 0;
        m_start = 0;
    }
    return false;
}

SweepEnd FpgaSweep::fail(SweepEnd why, const std::string& text)
{
    m_error = text;
    return why;
}

bool FpgaSweep::pulse(uint8_t code, int times)
{
    for (int i = 0; i < times; ++i)
        if (!m_w.write(kPulseRegister, code) || !m_w.write(kPulseRegister, 0))
            return false;
    return true;
}

bool FpgaSweep::reset_lane(uint8_t clear) { return pulse(clear, 1); }

int FpgaSweep::pattern_test(uint32_t mask)
{
    if (m_running && !m_running->load()) {
        m_testEnd = fail(SweepEnd::Stopped, "the calibration was stopped");
        return -1;
    }
    uint32_t v0 = 0, v1 = 0;
    if (!m_w.write(kPatternAddress0, kPattern0) || !m_w.write(kPatternAddress1, kPattern1) ||
        !m_w.read(kPatternAddress0, &v0) || !m_w.read(kPatternAddress1, &v1)) {
        m_testEnd = fail(SweepEnd::LinkFailed, "the STB did not take or answer a pattern test");
        return -1;
    }
    return ((v0 & mask) == (kPattern0 & mask) && (v1 & mask) == (kPattern1 & mask)) ? 1 : 0;
}

// Step 1: every clock delay, each tried at every DQS delay until one passes.
SweepEnd FpgaSweep::clock_sweep(const LaneCodes& c, RunTracker& clk)
{
    const SweepEnd link = SweepEnd::LinkFailed;
    if (!reset_lane(c.clear))
        return fail(link, "the STB did not take the lane reset");
    for (int k = 0; k < kClockPositions; ++k) {
        bool pass = false;
        int l = 0;
        for (; l < kDqsPositions; ++l) {
            int r = pattern_test(c.mask);
            if (r < 0)
                return m_testEnd;
            if (r) {
                pass = true;
                break;
            }
            if (!pulse(c.dqs, 1))
                return fail(link, "the STB did not take a DQS pulse");
        }
        // A pass leaves the DQS delay at l: the rest of the way round brings it
        // back to 0; 64 failures went all the way round already.
        if (pass && !pulse(c.dqs, kDqsPositions - l))
            return fail(link, "the STB did not take a DQS pulse");
        if (clk.feed(k, pass))
            break;
        if (!pulse(c.clock, 1))
            return fail(link, "the STB did not take a clock pulse");
    }
    return SweepEnd::Done;
}

// Step 3: the DQS delay at the centred clock delay.
SweepEnd FpgaSweep::dqs_sweep(const LaneCodes& c, RunTracker& dqs)
{
    const SweepEnd link = SweepEnd::LinkFailed;
    int k = 0;
    for (; k < kDqsPositions; ++k) {
        int r = pattern_test(c.mask);
        if (r < 0)
            return m_testEnd;
        if (dqs.feed(k, r == 1))
            break;
        if (!pulse(c.dqs, 1))
            return fail(link, "the STB did not take a DQS pulse");
    }
    if (!pulse(c.dqs, kDqsPositions - k) || !pulse(c.dqs, dqs.centre()))
        return fail(link, "the STB did not take a DQS pulse");
    return SweepEnd::Done;
}

SweepEnd FpgaSweep::calibrate_lane(const LaneCodes& c, LaneResult* out)
{
    m_error.clear();
    LaneResult r;
    RunTracker clk(kClockPositions);
    if (SweepEnd e = clock_sweep(c, clk); e != SweepEnd::Done)
        return e;
    r.clock_found = clk.found();
    r.clock_start = clk.seen_start();
    r.clock_end = clk.seen_end();
    r.clock = clk.centre();
    // Step 2: back to 0 and out to the centre of the clock window.
    if (!reset_lane(c.clear) || !pulse(c.clock, r.clock))
        return fail(SweepEnd::LinkFailed, "the STB did not take a clock pulse");
    RunTracker dqs(kDqsPositions);
    if (SweepEnd e = dqs_sweep(c, dqs); e != SweepEnd::Done)
        return e;
    r.dqs_found = dqs.found();
    r.dqs_start = dqs.seen_start();
    r.dqs_end = dqs.seen_end();
    r.dqs = dqs.centre();
    *out = r;
    return SweepEnd::Done;
}

}  // namespace download
