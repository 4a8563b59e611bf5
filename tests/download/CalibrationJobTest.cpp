// The calibration thread against the virtual STB over the line: the FPGA
// board centred lane by lane, the configuration writes taking effect, the
// on-chip calibration, and a box that does not answer.
#include "BoxFixture.h"
#include "BootRomWords.h"
#include "CalibrationJob.h"

#include <fstream>
#include <sstream>

using namespace downloadtest;

namespace {

class CalibrationJobTest : public BoxTest {
protected:
    void start_fpga(const std::string& windows, bool strict_bus = false)
    {
        stbsim::Options o = options(0);
        o.fpga = true;
        o.fpga_strict_bus = strict_bus;
        std::string err;
        ASSERT_TRUE(stbsim::parse_fpga_windows(windows, o.fpga_windows, &err)) << err;
        start(o);
    }
    std::string file(const std::string& name)
    {
        std::ifstream f(dir.file(name));
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }
    download::CalibrationResult calibrate(download::CalibrationPlatform platform, const std::string& text)
    {
        svc.SMS_StopSvc();  // as the tab does before the thread starts
        download::CalibrationParams p;
        p.platform = platform;
        p.config_text = text;
        running = true;
        return download::run_calibration(p, ctx);
    }
};

}  // namespace

// On a board whose bus decodes nothing but its DDR and its own registers:
// the calibration reads no other address.
TEST_F(CalibrationJobTest, TheFpgaBoardIsCentredInBothLanes)
{
    start_fpga("10-70:5-60,75-79:59-63", true);
    LogCapture log;
    download::CalibrationResult r = calibrate(download::CalibrationPlatform::Fpga, file("ddrconf.txt"));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.lanes[0].clock, 40);
    EXPECT_EQ(r.lanes[0].dqs, 32);
    EXPECT_EQ(r.lanes[1].clock, 77);
    EXPECT_EQ(r.lanes[1].dqs, 61);
    EXPECT_EQ(r.lanes[1].clock_start, 75);
    EXPECT_EQ(r.lanes[1].clock_end, 79);
    // The last pulses may still be on the line when the job returns.
    EXPECT_TRUE(wait_until([&] { return box->fpga_status() == "fpga lane0 clock=40 dqs=32 lane1 clock=77 dqs=61"; }))
        << box->fpga_status();
    EXPECT_EQ(box->peek(0xBFD70014), 1u) << "the configuration's write line went out";
    EXPECT_EQ(box->peek(0xBFD70004), 0xA21u);
    EXPECT_TRUE(log.has("Start Calibration ...\n"));
    EXPECT_TRUE(log.has("Calibration done, cost "));
    EXPECT_TRUE(log.has("DDR Calibration Completed\n"));
    EXPECT_FALSE(running.load()) << "the running flag is cleared at the end";
    EXPECT_TRUE(svc.SMS_IsSvcRunning()) << "the service reads the port again";
}

TEST_F(CalibrationJobTest, ALaneThatNeverPassesFailsTheCalibration)
{
    start_fpga("30-34:0-4,none");
    LogCapture log;
    download::CalibrationResult r = calibrate(download::CalibrationPlatform::Fpga, file("ddrconf.txt"));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.lanes_done, 2);
    EXPECT_NE(r.error.find("lane1"), std::string::npos) << r.error;
    // Lane 1 goes to the rules' centre of nothing: 0 + 80 / 2 and 0 + 64 / 2.
    EXPECT_TRUE(wait_until([&] { return box->fpga_status() == "fpga lane0 clock=32 dqs=2 lane1 clock=40 dqs=32"; }))
        << box->fpga_status();
    EXPECT_TRUE(log.has("DDR Calibration Failed\n"));
}

TEST_F(CalibrationJobTest, OnChipThroughTheTool)
{
    start(options(2));
    LogCapture log;
    ASSERT_FALSE(box->ddr_ok());
    download::CalibrationResult r =
        calibrate(download::CalibrationPlatform::Chip, file("chip_ddrconf_dogwood_400.txt"));
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(box->ddr_ok());
    EXPECT_TRUE(log.has("DDR Calibration Completed\n"));
}

TEST_F(CalibrationJobTest, ASilentBoxEndsTheSweepAtTheFirstRead)
{
    stbsim::Options o = options(0);
    o.fpga = true;
    start(o, false);  // never reset: nothing answers
    download::CalibrationResult r = calibrate(download::CalibrationPlatform::Fpga, file("ddrconf.txt"));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.lanes_done, 0);
    EXPECT_LE(r.seconds, 10);
}

TEST_F(CalibrationJobTest, TheToolsReadTakesAShortReplyAsItComes)
{
    start(options(0));
    svc.SMS_StopSvc();
    box->poke(0xA0001000, 0xCAFEF00D);
    download::BootRomWords words(ctx);
    words.settle();  // the announcements go; nothing is sent
    uint32_t v = 0;
    ASSERT_EQ(words.read(0xA0001000, &v), 1);
    EXPECT_EQ(v, 0xCAFEF00Du);
    EXPECT_EQ(box->counters().word_reads, 1u);
    ASSERT_TRUE(box->add_fault("split:read=2,pieces=2+2,gap=1500"));
    ASSERT_EQ(words.read(0xA0001000, &v), 1) << "two of four bytes within the time-out are a reply";
    EXPECT_EQ(v, 0x0000F00Du);
}
