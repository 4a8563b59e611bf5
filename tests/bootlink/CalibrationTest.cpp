// DDR calibration against the virtual STB's DDR controller model.
#include "BootInit.h"
#include "LineTestSupport.h"

#include <filesystem>
#include <map>

using namespace bootlink;

namespace {
stbsim::Options dogwood()
{
    stbsim::Options o;
    o.platform = 2;
    o.flash_size = 1 << 20;
    for (auto& w : o.ddr)
        w = stbsim::DdrWindow{};
    return o;
}

std::string ddrconf(std::map<std::string, std::string> over)
{
    std::map<std::string, std::string> s = {
        {"CALIBRATION_METHOD", "0"}, {"SCAN_MODE", "0"},       {"NO_CALIBRATION", "0"},    {"DEVICE_SELECT", "2"},
        {"CLOCK_OFFSET", "0"},       {"DELAY_90_OFFSET", "0"}, {"DELAY_9090_OFFSET", "0"}, {"DQS_IN_90_OFFSET", "0"},
        {"RDCLK_DLY_MAX", "c"},      {"RANGE_SELECT", "4"}};
    for (auto& [k, v] : over)
        s[k] = v;
    std::string t = "/ test configuration\n#CONFIG_SETTING#\n";
    for (auto& [k, v] : s)
        t += k + "=" + v + "\n";
    t += "#INIT_REGS#\nbfd70100=5\n#CONFIG_REGS#\nbfd70104=6\n";
    return t;
}

uint32_t bits(uint32_t v, int lo, int width) { return (v >> lo) & ((1u << width) - 1u); }
}  // namespace

class Calibration : public LineTest {
protected:
    void start(stbsim::Options o)
    {
        open(std::move(o));
        ASSERT_TRUE(reset_and_sync());
    }
    // Makes sure the box has taken in every write sent so far.
    void sync()
    {
        uint32_t v;
        ASSERT_EQ(1, addr_read(0xBFD70100, &v, ctx));
    }
};

TEST_F(Calibration, NoCalibrationRunsOnlyTheInitRegisters)
{
    start(dogwood());
    uint64_t reads0 = box->counters().word_reads;
    EXPECT_EQ(1, calibrate_on_chip(ddrconf({{"NO_CALIBRATION", "1"}}), ctx));
    EXPECT_EQ(1u, box->counters().word_reads - reads0);  // the chip id only
    sync();
    EXPECT_EQ(5u, box->peek(0xBFD70100));
    EXPECT_EQ(0u, box->peek(0xBFD70104));
    EXPECT_EQ(1u, box->peek(0xBFD70014));
    EXPECT_TRUE(log.has("No Calibration Process \n"));
}

TEST_F(Calibration, ConvergesToTheWidestWindowWithItsReadAdd)
{
    auto o = dogwood();
    o.ddr[0] = {1, 2, 3};
    o.ddr[1] = {2, 4, 5};
    o.ddr[2] = {3, 9, 6};
    o.strap = 0x8;  // bit 3: the other controller setting
    start(o);
    ASSERT_EQ(1, calibrate_on_chip(ddrconf({{"CALIBRATION_METHOD", "1"}, {"DELAY_90_OFFSET", "2"}}), ctx));
    sync();
    EXPECT_EQ(0x03420100u, box->peek(0xBFD70034));
    EXPECT_EQ(6u, bits(box->peek(0xBFD70050), 16, 6));  // (3 + 9) / 2
    EXPECT_EQ(6u, bits(box->peek(0xBFD70038), 16, 3));
    EXPECT_EQ(3u, bits(box->peek(0xBFD700A4), 24, 2));  // range 2: rising latch
    EXPECT_EQ(0u, bits(box->peek(0xBFD70038), 8, 4));
    EXPECT_EQ(2u + 5u, bits(box->peek(0xBFD70050), 0, 6));  // offset + DLL value
    EXPECT_EQ(6u, box->peek(0xBFD70104));  // "#CONFIG_REGS#" ran
    EXPECT_TRUE(box->ddr_ok());
    EXPECT_TRUE(log.has("clk star 3, end 9, rdclk_rising_latch 1, digclk_neglatch 0, rd_add 6"));
    EXPECT_TRUE(log.has("1:range 2 start = 3  end = 9 rl_add_i = 6\n"));
    EXPECT_FALSE(log.has("TOO LARGE"));
}

TEST_F(Calibration, EqualWidthsTakeTheLowerRange)
{
    auto o = dogwood();
    o.ddr[1] = {1, 4, 4};
    o.ddr[2] = {6, 9, 4};
    start(o);
    ASSERT_EQ(1, calibrate_on_chip(ddrconf({}), ctx));
    sync();
    EXPECT_TRUE(log.has("rang0: 00 0 0 , rang1: 04 1 4 , rang2: 04 6 9, rang3: 00 0 0 \n")) << log.text();
    EXPECT_EQ(2u, bits(box->peek(0xBFD70050), 16, 6));
    EXPECT_EQ(0xFu, bits(box->peek(0xBFD70038), 8, 4));  // range 1: negative latch
    EXPECT_EQ(0u, bits(box->peek(0xBFD700A4), 24, 2));
    EXPECT_TRUE(box->ddr_ok());
}

TEST_F(Calibration, AFullWidthRunIsUsedWithAWarningAndTheClockIsRaisedTo256)
{
    auto o = dogwood();
    o.ddr[3] = {0, 7, 4};
    o.clock_value = 0x02;
    start(o);
    ASSERT_EQ(1, calibrate_on_chip(
                     ddrconf({{"RDCLK_DLY_MAX", "8"}, {"RANGE_SELECT", "3"}, {"CLOCK_OFFSET", "fffffff0"}}), ctx));
    sync();
    EXPECT_TRUE(log.has("\n\nRANGE 3 IS TOO LARGE\n\n"));
    EXPECT_EQ(0x100u, box->peek(0xBFD70040));
    EXPECT_EQ(3u, bits(box->peek(0xBFD70050), 16, 6));
    EXPECT_TRUE(log.has("rang0: 00 0 0 , rang1: 00 0 0 , rang2: 00 0 0, rang3: 08 0 7 \n"));
}

TEST_F(Calibration, NoWorkingWindowAndAClearedKeepGoingFlagFail)
{
    start(dogwood());
    EXPECT_EQ(0, calibrate_on_chip(ddrconf({{"RDCLK_DLY_MAX", "4"}}), ctx));
    EXPECT_TRUE(log.has("no read window found"));
    keep_going = false;
    uint64_t reads0 = box->counters().word_reads;
    EXPECT_EQ(0, calibrate_on_chip(ddrconf({}), ctx));
    EXPECT_LE(box->counters().word_reads - reads0, 2u);
}

TEST_F(Calibration, CalibrateDdrByProjectType)
{
    auto o = dogwood();
    o.ddr[1] = {1, 4, 4};
    start(o);
    put_file("chip_ddrconf_dogwood_400.txt", std::vector<uint8_t>());
    for (int t : {0, 1, 6, 7}) {
        keep_going = true;
        EXPECT_EQ(0, calibrate_ddr(t, ctx)) << t;
        EXPECT_FALSE(keep_going.load());
    }
    keep_going = true;
    EXPECT_EQ(0, calibrate_ddr(2, ctx));  // empty file
    std::filesystem::remove(path("chip_ddrconf_dogwood_333.txt"));
    EXPECT_EQ(0, calibrate_ddr(3, ctx));
    EXPECT_TRUE(log.has("the file ddrconf.txt is not exist\xC2\xA3\xC2\xAC"
                        "can't calibrate!!!"));
    EXPECT_EQ(0u, box->counters().word_reads);

    std::string conf = ddrconf({});
    put_file("chip_ddrconf_dogwood_400.txt", std::vector<uint8_t>(conf.begin(), conf.end()));
    keep_going = true;
    log.clear();
    EXPECT_EQ(1, calibrate_ddr(2, ctx));
    EXPECT_FALSE(keep_going.load());
    EXPECT_TRUE(log.has("Start Calibration ...\n"));
    EXPECT_TRUE(log.has("Calibration done, cost "));
    EXPECT_TRUE(log.has("DDR Calibration Completed\n"));
}

TEST_F(Calibration, AnSTBThatFallsSilentEndsTheCalibrationInsteadOfScanningOn)
{
    auto o = dogwood();
    o.ddr[1] = {1, 4, 4};
    start(o);
    ASSERT_TRUE(box->add_fault("stall:read=40,ms=30000"));
    int64_t t0 = now_ms();
    EXPECT_EQ(0, calibrate_on_chip(ddrconf({}), ctx));
    EXPECT_LT(since(t0), 15.0);
    EXPECT_TRUE(log.has("the STB stopped answering"));
}

TEST_F(Calibration, TheScanModeSweepsEveryDelayQuietly)
{
    auto o = dogwood();
    o.ddr[1] = {0, 1, 4};
    o.dll_value = 0;  // n = 3: 27 settings
    start(o);
    ASSERT_EQ(1, calibrate_on_chip(ddrconf({{"SCAN_MODE", "1"}, {"RDCLK_DLY_MAX", "2"}}), ctx));
    EXPECT_EQ(27, log.count("odt=1 in_dly90="));
    EXPECT_TRUE(log.has("odt=1 in_dly90=02 dly9090=02 out_dly90=02 rang0: 00, rang1: 02, rang2: 00, rang3: 00--"));
    EXPECT_EQ(27, log.count("0x54 = "));
    EXPECT_FALSE(log.has(":range "));
    sync();
    EXPECT_EQ(1u, bits(box->peek(0xBFD700A8), 16, 1));
    EXPECT_EQ(1u, bits(box->peek(0xBFD700A8), 20, 1));
}
