// corvane-cli download and calibrate against the virtual STB: the program
// waits for the box's reset, puts an image into it byte for byte, centres
// the FPGA board, reports in JSON, and exits with the status that says why.
#include "BoxFixture.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

using namespace downloadtest;

namespace {

class DownloadCliTest : public BoxTest {
protected:
    std::string output;

    // The box resets itself once the line has been quiet, and then announces
    // itself every 200 ms until the host talks: the command sees it whenever
    // it begins to wait.
    stbsim::Options self_resetting(stbsim::Options o)
    {
        o.auto_reset_ms = 300;
        o.announce_ms = 200;
        return o;
    }
    int cli(const std::string& args)
    {
        const std::string out = dir.file("cli.out");
        const std::string cmd = std::string(CORVANE_CLI) + " " + args + " > '" + out + "' 2>&1";
        int rc = std::system(cmd.c_str());
        std::ifstream f(out);
        std::stringstream ss;
        ss << f.rdbuf();
        output = ss.str();
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }
    std::string read_text(const std::string& path)
    {
        std::ifstream f(path, std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }
    void SetUp() override
    {
        BoxTest::SetUp();
        setenv("CORVANE_HOME", dir.path().c_str(), 1);
    }
};

}  // namespace

TEST_F(DownloadCliTest, DownloadPutsTheImageIntoTheBoxByteForByte)
{
    stbsim::Options o = self_resetting(options(0));
    o.download_mode = true;
    o.download_path = dir.file("kept.bin");
    box = std::make_unique<stbsim::Simulator>(o);
    std::string err;
    ASSERT_TRUE(box->start(&err)) << err;
    const auto img = test_image(3 * 5120 + 99, 7);
    std::ofstream(dir.file("image.img"), std::ios::binary).write(reinterpret_cast<const char*>(img.data()), img.size());

    EXPECT_EQ(cli("download --port " + box->port_path() + " --reset-timeout 30 --report " + dir.file("r.json") + " " +
                  dir.file("image.img")),
              0)
        << output;
    const std::string want(img.begin(), img.end());
    EXPECT_TRUE(wait_until([&] { return read_text(dir.file("kept.bin")) == want; })) << "the file the box wrote";
    EXPECT_EQ(box->downloaded(), img);
    const std::string json = read_text(dir.file("r.json"));
    EXPECT_NE(json.find("\"ok\": true"), std::string::npos) << json;
    EXPECT_NE(json.find("\"sent_bytes\": 15459"), std::string::npos) << json;
}

TEST_F(DownloadCliTest, CalibrateFpgaCentresBothLanesAndReportsThem)
{
    stbsim::Options o = self_resetting(options(0));
    o.fpga = true;
    std::string err;
    ASSERT_TRUE(stbsim::parse_fpga_windows("0-4:0-4,60-77:10-20", o.fpga_windows, &err)) << err;
    box = std::make_unique<stbsim::Simulator>(o);
    ASSERT_TRUE(box->start(&err)) << err;

    // ddrconf.txt comes from the program's data folder (CORVANE_HOME).
    EXPECT_EQ(cli("calibrate --port " + box->port_path() + " --fpga --report " + dir.file("c.json")), 0) << output;
    EXPECT_TRUE(wait_until([&] { return box->fpga_status() == "fpga lane0 clock=2 dqs=2 lane1 clock=68 dqs=15"; }))
        << box->fpga_status();
    const std::string json = read_text(dir.file("c.json"));
    EXPECT_NE(json.find("\"lanes\": [{\"clock_start\": 0, \"clock_end\": 4, \"dqs_start\": 0, \"dqs_end\": 4, "
                        "\"clock\": 2, \"dqs\": 2"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("{\"clock_start\": 60, \"clock_end\": 77, \"dqs_start\": 10, \"dqs_end\": 20, \"clock\": 68, "
                        "\"dqs\": 15"),
              std::string::npos)
        << json;
}

TEST_F(DownloadCliTest, ABadConfigurationIsRefusedBeforeAnythingIsSent)
{
    stbsim::Options o = self_resetting(options(0));
    o.fpga = true;
    box = std::make_unique<stbsim::Simulator>(o);
    std::string err;
    ASSERT_TRUE(box->start(&err)) << err;
    std::ofstream(dir.file("bad.txt")) << "$clear0=1\n1 bfd70014 1\n2 bfd70018\n";
    EXPECT_EQ(cli("calibrate --port " + box->port_path() + " --fpga --config " + dir.file("bad.txt")), 4) << output;
    EXPECT_NE(output.find("line 3"), std::string::npos) << output;
    EXPECT_EQ(box->counters().bytes_in, 0u);
    EXPECT_EQ(cli("calibrate --port " + box->port_path()), 2) << "neither --chip nor --fpga: " << output;
    EXPECT_EQ(cli("download --port " + box->port_path() + " " + dir.file("missing.img")), 4) << output;
}

TEST_F(DownloadCliTest, NoBoxWithinTheResetTimeout)
{
    box = std::make_unique<stbsim::Simulator>(options(0));  // never reset: it never announces itself
    std::string err;
    ASSERT_TRUE(box->start(&err)) << err;
    std::ofstream(dir.file("image.bin")) << "image";
    EXPECT_EQ(cli("download --port " + box->port_path() + " --reset-timeout 1 " + dir.file("image.bin")), 6) << output;
}
