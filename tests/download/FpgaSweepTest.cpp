// The clock and DQS sweep against the virtual STB's model of the FPGA board
// (its delay lines and pass windows), without a line in between, for many
// window shapes; the expected delays are worked out by hand from the rules:
// a window needs five passes, is closed by the position before the first of
// five failures (or runs to 80 / 64), and the delay goes to
// start + (end - start) / 2.
#include "CalibrationJob.h"
#include "FpgaSweep.h"

#include "FpgaBoard.h"

#include <gtest/gtest.h>

#include <map>

namespace {

using download::LaneResult;
using download::SweepEnd;

// The board behind an address space, as the boot ROM would show it.
class BoardWords : public download::WordAccess {
public:
    explicit BoardWords(const stbsim::FpgaWindow w[2]) : board(w) {}
    int write(uint32_t a, uint32_t v) override
    {
        log.push_back({a, v});
        mem[a & 0x1FFFFFFFu] = v;
        board.on_write(a & 0x1FFFFFFFu, v);
        return 1;
    }
    int read(uint32_t a, uint32_t* v) override
    {
        ++reads;
        if (fail_reads_after >= 0 && reads > fail_reads_after)
            return 0;
        if (stop_after >= 0 && reads >= stop_after && running)
            *running = false;
        *v = board.on_read(mem[a & 0x1FFFFFFFu]);
        return 1;
    }
    stbsim::FpgaBoard board;
    std::map<uint32_t, uint32_t> mem;
    std::vector<std::pair<uint32_t, uint32_t>> log;
    int reads = 0;
    int fail_reads_after = -1;
    int stop_after = -1;
    std::atomic<bool>* running = nullptr;
};

download::FpgaOptions board_codes()
{
    download::FpgaOptions o;
    o.clear0 = stbsim::kFpgaClear[0];
    o.clock_delay0 = stbsim::kFpgaClock[0];
    o.dqs_delay0 = stbsim::kFpgaDqs[0];
    o.clear1 = stbsim::kFpgaClear[1];
    o.clock_delay1 = stbsim::kFpgaClock[1];
    o.dqs_delay1 = stbsim::kFpgaDqs[1];
    return o;
}

struct Shape {
    const char* name;
    stbsim::FpgaWindow window;
    int clock, dqs;  // where the lane must end, by hand
    bool ok;
};

const Shape kShapes[] = {
    {"wide", {10, 70, 5, 60}, 40, 32, true},  // 10 + 60/2, 5 + 55/2
    {"narrowest window", {30, 34, 20, 24}, 32, 22, true},  // five passes each
    {"at the low ends", {0, 4, 0, 4}, 2, 2, true},
    {"at the high ends", {75, 79, 59, 63}, 77, 61, true},  // no end: 75 + (80-75)/2, 59 + (64-59)/2
    {"everything passes", {0, 79, 0, 63}, 40, 32, true},
    {"closed by fewer than five failures", {60, 77, 10, 20}, 68, 15, true},  // 78, 79 fail: end 77
    {"clock window too narrow", {30, 33, 20, 40}, 40, 32, false},  // discarded: 0 + 80/2; no DQS pass at 40
    {"DQS window too narrow", {10, 20, 30, 33}, 15, 32, false},
    {"none", {-1, -1, -1, -1}, 40, 32, false},
};

}  // namespace

TEST(FpgaSweep, EachLaneEndsWhereTheRulesPutIt)
{
    for (const Shape& s : kShapes) {
        for (int lane = 0; lane < 2; ++lane) {
            // The other lane never passes: the masks keep the lanes apart.
            stbsim::FpgaWindow w[2];
            w[lane] = s.window;
            BoardWords words(w);
            download::FpgaSweep sweep(words, nullptr);
            LaneResult r;
            ASSERT_EQ(sweep.calibrate_lane(download::lane_codes(board_codes(), lane), &r), SweepEnd::Done) << s.name;
            EXPECT_EQ(r.clock, s.clock) << s.name << " lane " << lane;
            EXPECT_EQ(r.dqs, s.dqs) << s.name << " lane " << lane;
            EXPECT_EQ(r.ok(), s.ok) << s.name << " lane " << lane;
            stbsim::FpgaDelays d = words.board.delays();
            EXPECT_EQ(d.clock[lane], s.clock) << s.name << ": the board is left where the result says";
            EXPECT_EQ(d.dqs[lane], s.dqs) << s.name;
            EXPECT_EQ(d.clock[1 - lane], 0) << s.name << ": the other lane is not touched";
            if (s.ok) {
                EXPECT_EQ(r.clock_start, s.window.clock_start) << s.name;
                EXPECT_EQ(r.clock_end, s.window.clock_end) << s.name;
                EXPECT_EQ(r.dqs_start, s.window.dqs_start) << s.name;
                EXPECT_EQ(r.dqs_end, s.window.dqs_end) << s.name;
            }
        }
    }
}

TEST(FpgaSweep, RunRulesForgetShortFailureRunsAndDiscardShortPassingRuns)
{
    // A passing run of three is discarded; a window 20..40 with a glitch of
    // two failures at 25, 26 is one window; five failures from 41 close it.
    download::RunTracker t(80);
    bool ended = false;
    int k = 0;
    for (; k < 80 && !ended; ++k) {
        bool pass = (k >= 5 && k <= 7) || (k >= 20 && k <= 40 && k != 25 && k != 26);
        ended = t.feed(k, pass);
    }
    EXPECT_TRUE(ended);
    EXPECT_EQ(k - 1, 45) << "the fifth failure after the window ends the sweep";
    EXPECT_TRUE(t.found());
    EXPECT_EQ(t.start(), 20);
    EXPECT_EQ(t.end(), 40);
    EXPECT_EQ(t.centre(), 30);

    // A glitch of failures near the top and passes to the end: no end.
    download::RunTracker u(64);
    for (int i = 0; i < 64; ++i)
        EXPECT_FALSE(u.feed(i, i >= 50 && i != 60));
    EXPECT_EQ(u.start(), 50);
    EXPECT_EQ(u.end(), 64);
    EXPECT_EQ(u.seen_end(), 63);
}

TEST(FpgaSweep, TheRunningFlagAndASilentBoxEndTheSweep)
{
    stbsim::FpgaWindow none[2];
    {
        // Stopped half way through: the sweep goes no further than the next test.
        std::atomic<bool> running{true};
        BoardWords words(none);
        words.running = &running;
        words.stop_after = 100;
        download::FpgaSweep sweep(words, &running);
        LaneResult r;
        EXPECT_EQ(sweep.calibrate_lane(download::lane_codes(board_codes(), 0), &r), SweepEnd::Stopped);
        EXPECT_LE(words.reads, 100);
    }
    {
        // The box stops answering: no hours of time-outs.
        BoardWords words(none);
        words.fail_reads_after = 10;
        download::FpgaSweep sweep(words, nullptr);
        LaneResult r;
        EXPECT_EQ(sweep.calibrate_lane(download::lane_codes(board_codes(), 1), &r), SweepEnd::LinkFailed);
        EXPECT_EQ(words.reads, 11);
        EXPECT_FALSE(sweep.error().empty());
    }
}

TEST(FpgaSweep, OptionLinesSendNothingAndWriteLinesWriteTheirWord)
{
    // The calibration stops at its first pattern test: what went out before
    // is the configuration and the first lane's reset.
    stbsim::FpgaWindow none[2];
    BoardWords words(none);
    std::atomic<bool> running{false};
    bootlink::JobContext ctx;
    ctx.keep_going = &running;
    download::CalibrationResult r = download::calibrate_fpga("$clear0=3\n$dqs_delay0=4\n1 bfd70014 1\n", words, ctx);
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.stopped);
    EXPECT_EQ(r.options.clear0, 3u);
    const std::vector<std::pair<uint32_t, uint32_t>> expected = {
        {0xBFD70014u, 1u},  // the write line
        {0xBFD70180u, 3u},
        {0xBFD70180u, 0u},  // lane 0's reset with clear0 = 3
    };
    EXPECT_EQ(words.log, expected);
}

TEST(FpgaSweep, ABadConfigurationLineSendsNothing)
{
    stbsim::FpgaWindow none[2];
    BoardWords words(none);
    bootlink::JobContext ctx;
    download::CalibrationResult r = download::calibrate_fpga("1 bfd70014 1\n2 bfd70018\n", words, ctx);
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find("line 2"), std::string::npos) << r.error;
    EXPECT_TRUE(words.log.empty());
}
