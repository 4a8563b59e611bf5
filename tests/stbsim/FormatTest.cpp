// The fault and block grammars, the stand-in files and the program's help.
#include "HostHarness.h"
#include "SimInternal.h"
#include "StbSim.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

TEST(StbsimGrammar, FaultsParseWithTheirDefaults)
{
    stbsim::FaultSpec f;
    ASSERT_TRUE(stbsim::parse_fault("crc:frame=3", &f, nullptr));
    EXPECT_EQ(f.kind, stbsim::FaultKind::Crc);
    EXPECT_EQ(f.on, stbsim::FaultOn::Frame);
    EXPECT_EQ(f.nth, 3u);
    EXPECT_EQ(f.times, 1);
    ASSERT_TRUE(stbsim::parse_fault("crc:every=5", &f, nullptr));
    EXPECT_EQ(f.every, 5u);
    EXPECT_EQ(f.times, -1);
    ASSERT_TRUE(stbsim::parse_fault("drop:cmd=P", &f, nullptr));
    EXPECT_EQ(f.on, stbsim::FaultOn::Command);
    EXPECT_EQ(f.command, 'P');
    ASSERT_TRUE(stbsim::parse_fault("drop:cmd=0x60,times=2", &f, nullptr));
    EXPECT_EQ(f.command, 0x60);
    EXPECT_EQ(f.times, 2);
    ASSERT_TRUE(stbsim::parse_fault("split:read=2,pieces=2+2,gap=50", &f, nullptr));
    EXPECT_EQ(f.pieces, (std::vector<int>{2, 2}));
    ASSERT_TRUE(stbsim::parse_fault("split", &f, nullptr));
    EXPECT_EQ(f.pieces, (std::vector<int>{1, 1, 1, 1}));
    ASSERT_TRUE(stbsim::parse_fault("burn:at=40", &f, nullptr));
    EXPECT_EQ(f.percent, 40);
    ASSERT_TRUE(stbsim::parse_fault("dump:every=2", &f, nullptr));
    EXPECT_EQ(f.on, stbsim::FaultOn::Chunk);
    ASSERT_TRUE(stbsim::parse_fault("crc:on=block,every=2", &f, nullptr));
    EXPECT_EQ(f.on, stbsim::FaultOn::Block);
}

TEST(StbsimGrammar, EveryKindParsesAndRefusalsSayWhy)
{
    const std::vector<std::string> names = stbsim::fault_kind_names();
    EXPECT_EQ(names.size(), 19u);
    for (const std::string& name : names) {
        stbsim::FaultSpec f;
        std::string err;
        EXPECT_TRUE(stbsim::parse_fault(name + ":ms=5", &f, &err)) << name << ": " << err;
        EXPECT_EQ(f.ms, 5) << name;
    }
    const std::pair<const char*, const char*> refused[] = {
        {"wobble", "fault \"wobble\": unknown kind \"wobble\""},
        {"delay:ms=4000000", "fault \"delay:ms=4000000\": ms wants milliseconds up to an hour"},
        {"chatter:frame=2", "fault \"chatter:frame=2\": verify, burn, stuck, garble, announce and chatter take no "
                            "selector"},
        {"keytalk:cmd=P", "fault \"keytalk:cmd=P\": keytalk takes no selector"},
        {"lose:at=5,frame=1", "fault \"lose:at=5,frame=1\": lose takes either at=P (burn progress) or a reply "
                              "selector"},
    };
    for (const auto& [text, why] : refused) {
        stbsim::FaultSpec f;
        std::string err;
        EXPECT_FALSE(stbsim::parse_fault(text, &f, &err)) << text;
        EXPECT_EQ(err, why);
    }
}

TEST(StbsimGrammar, MalformedFaultsAreRefusedWithAMessage)
{
    for (const char* bad :
         {"", "nonsense", "crc:", "crc:frame", "crc:frame=0", "crc:frame=x", "crc:frame=-1", "crc:frame=2,every=3",
          "delay:frame=1", "stall", "split:pieces=1+1", "split:pieces=5", "burn:at=101", "verify:frame=1",
          "dump:read=1", "crc:colour=red", "drop:cmd=PP", "crc:frame=99999999999"}) {
        stbsim::FaultSpec f;
        std::string err;
        EXPECT_FALSE(stbsim::parse_fault(bad, &f, &err)) << bad;
        EXPECT_FALSE(err.empty()) << bad;
    }
}

TEST(StbsimGrammar, BlockLists)
{
    std::vector<stbsim::BlockInfo> b;
    std::string err;
    ASSERT_TRUE(stbsim::parse_blocks("0x88:0:0x1000:application\n# comment\n0x94:4096:512", &b, &err)) << err;
    ASSERT_EQ(b.size(), 2u);
    EXPECT_EQ(b[0].id, 0x88);
    EXPECT_EQ(b[0].name, "application");
    EXPECT_EQ(b[1].offset, 4096u);
    EXPECT_EQ(b[1].size, 512u);
    for (const char* bad : {"0x188:0:1", "0x88:0", "0x88:0:0", "x:0:1", "0x88:0xFFFFFFFF:2"})
        EXPECT_FALSE(stbsim::parse_blocks(bad, &b, &err)) << bad;
    std::string many;
    for (int i = 0; i < 65; ++i)
        many += std::to_string(i) + ":" + std::to_string(i * 16) + ":16,";
    EXPECT_FALSE(stbsim::parse_blocks(many, &b, &err));

    auto def = stbsim::default_blocks(8u << 20);
    EXPECT_EQ(def.size(), 9u);
    for (const auto& d : def)
        EXPECT_LE(d.offset + d.size, 8u << 20);
    auto small = stbsim::default_blocks(256 * 1024);
    EXPECT_FALSE(small.empty());
    for (const auto& d : small)
        EXPECT_LE(d.offset + d.size, 256u * 1024);
}

TEST(StbsimGrammar, NoiseParsesAndRepeatsWithItsSeed)
{
    stbsim::NoiseSpec s;
    ASSERT_TRUE(stbsim::parse_noise("p=1e-3, seed=7", &s, nullptr));
    EXPECT_DOUBLE_EQ(s.p, 1e-3);
    EXPECT_DOUBLE_EQ(s.burst_p(), 1e-4);
    EXPECT_EQ(s.seed, 7u);
    std::string err;
    for (const char* bad : {"", "seed=3", "p=2", "p=-0.1", "p=nan", "p=0.1,seed=-1", "p=0.1,loud=1", "p=0.1x"})
        EXPECT_FALSE(stbsim::parse_noise(bad, &s, &err)) << bad;
    EXPECT_NE(err.find("p=P"), std::string::npos) << err;

    // The same seed gives the same line; the tally adds up to what arrived.
    ASSERT_TRUE(stbsim::parse_noise("p=0.05,seed=11,burst=0", &s, nullptr));
    std::vector<uint8_t> data(20000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(i * 7);
    stbsim::LineNoise a(s), b(s);
    stbsim::Counters ta, tb;
    const auto out = a.pass(data.data(), data.size(), stbsim::LineDirection::ToHost, ta);
    EXPECT_EQ(out, b.pass(data.data(), data.size(), stbsim::LineDirection::ToHost, tb));
    EXPECT_EQ(out.size(), data.size() - ta.noise_dropped + ta.noise_doubled);
    const uint64_t hit = ta.noise_dropped + ta.noise_flipped + ta.noise_doubled;
    EXPECT_GT(hit, 700u);
    EXPECT_LT(hit, 1300u);
    EXPECT_GT(ta.noise_dropped, 0u);
    EXPECT_GT(ta.noise_flipped, 0u);
    EXPECT_GT(ta.noise_doubled, 0u);
    EXPECT_EQ(ta.noise_bursts, 0u);
}

TEST(StbsimFiles, StandinsCarryTheirHeaderAndSayWhatTheyAre)
{
    auto dir = std::filesystem::temp_directory_path() / ("stbsim-files-" + std::to_string(::getpid()));
    std::vector<std::string> names;
    std::string err;
    ASSERT_TRUE(stbsim::write_stb_files(dir.string(), &names, &err)) << err;
    for (const char* want :
         {"upgclient.bin", "upgclient_alder.bin", "upgclient_dg.bin", "upgclient_elm.bin", "upgclient_cedar.bin",
          "boot_init.img", "btinit_ddr2_cedar.img", "btinit_ddr3_cedar.img", "ddr2_cache_cal.img", "ddr3_cache_cal.img",
          "shell.img", "chip_ddrconf_dogwood_400.txt", "chip_ddrconf_dogwood_333.txt", "ddrconf.txt"})
        EXPECT_TRUE(std::filesystem::exists(dir / want)) << want;
    for (const auto& n : names) {
        std::ifstream f(dir / n, std::ios::binary);
        harness::Bytes b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        if (n == "ddrconf.txt") {  // the FPGA board's pulse codes
            EXPECT_NE(std::string(b.begin(), b.end()).find("$clear0=1\n"), std::string::npos);
            continue;
        }
        if (n.find("chip_ddrconf") == 0) {
            std::string s(b.begin(), b.end());
            EXPECT_NE(s.find("#CONFIG_SETTING#"), std::string::npos);
            EXPECT_NE(s.find("RDCLK_DLY_MAX=20"), std::string::npos);
            continue;
        }
        ASSERT_GE(b.size(), 20u) << n;
        EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "CVSI") << n;
        EXPECT_EQ(harness::get32(b.data() + 4), b.size()) << n;
        EXPECT_EQ(harness::get32(b.data() + 12), harness::frame_crc(b.data() + 20, b.size() - 20)) << n;
        EXPECT_EQ(harness::get32(b.data() + 16), 1u) << n;
        std::string text(b.begin() + 20, b.end());
        EXPECT_NE(text.find("not a program for a real set-top box"), std::string::npos) << n;
        stbsim::StandinHeader h;
        EXPECT_TRUE(stbsim::parse_standin_header(b.data(), b.size(), &h));
    }
    std::filesystem::remove_all(dir);

    harness::Bytes junk(20, 0);
    stbsim::StandinHeader h;
    EXPECT_FALSE(stbsim::parse_standin_header(junk.data(), junk.size(), &h));
    auto s = stbsim::make_standin(4, "x");
    EXPECT_FALSE(stbsim::parse_standin_header(s.data(), 19, &h));
}

#ifdef STBSIM_PROGRAM
TEST(StbsimProgram, HelpDocumentsEveryOptionAndFault)
{
    std::string cmd = std::string(STBSIM_PROGRAM) + " --help";
    FILE* p = ::popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[1024];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    EXPECT_EQ(::pclose(p), 0);
    for (const char* w : {"--platform",
                          "--flash",
                          "--flash-size",
                          "--blocks",
                          "--device",
                          "--link",
                          "--speed",
                          "--reply-delay",
                          "--auto-reset",
                          "--fault",
                          "--trace",
                          "--control",
                          "--write-stb-files",
                          "--dma-delay",
                          "--ddr-window",
                          "reset",
                          "status",
                          "quit",
                          "crc",
                          "seq",
                          "drop",
                          "delay",
                          "stall",
                          "dump",
                          "verify",
                          "burn",
                          "split",
                          "CVSI"})
        EXPECT_NE(out.find(w), std::string::npos) << w;
}

TEST(StbsimProgram, RefusesBadArguments)
{
    for (const char* args :
         {"--platform 9", "--fault nonsense", "--flash-size 0", "--ddr-window 5:1:2:3", "--blocks 0x88:0"}) {
        std::string cmd = std::string(STBSIM_PROGRAM) + " " + args + " </dev/null >/dev/null 2>&1";
        int rc = std::system(cmd.c_str());
        EXPECT_NE(rc, 0) << args;
    }
}
#endif
