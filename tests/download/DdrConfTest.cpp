// The FPGA board's configuration file: options, comments, write lines, line
// ends, and lines that do not parse.
#include "DdrConf.h"

#include <gtest/gtest.h>

using download::FpgaConfig;
using download::parse_fpga_config;

TEST(DdrConf, OptionsCommentsAndWritesWithEveryLineEnd)
{
    // CR LF, CR and LF endings, an empty line, a line of blanks, a write with
    // a 0x prefix and blanks before it.
    const std::string text = "$clear0=3\r\n# a comment\r1 bfd70014 1\n\n   \n  2 0xbfd70000 A21\r\n$dqs_delay1=40";
    FpgaConfig cfg;
    std::string err;
    ASSERT_EQ(parse_fpga_config(text, &cfg, &err), 1) << err;
    EXPECT_EQ(cfg.options.clear0, 3u);
    EXPECT_EQ(cfg.options.dqs_delay1, 0x40u);
    EXPECT_EQ(cfg.options.clear1, 0u);
    ASSERT_EQ(cfg.writes.size(), 2u);
    EXPECT_EQ(cfg.writes[0].line, 3);
    EXPECT_EQ(cfg.writes[0].index, 1);
    EXPECT_EQ(cfg.writes[0].address, 0xBFD70014u);
    EXPECT_EQ(cfg.writes[0].value, 1u);
    EXPECT_EQ(cfg.writes[1].line, 6);
    EXPECT_EQ(cfg.writes[1].address, 0xBFD70000u);
    EXPECT_EQ(cfg.writes[1].value, 0xA21u);
}

TEST(DdrConf, OptionNamesMatchByPrefixAndOthersAreIgnored)
{
    FpgaConfig cfg;
    std::string err;
    ASSERT_EQ(parse_fpga_config("$clock_delay1_lane=7\n$address=80aaaaa0\n$speed=zz\n$clear1 = 2\n", &cfg, &err), 1)
        << err;
    EXPECT_EQ(cfg.options.clock_delay1, 7u);
    EXPECT_EQ(cfg.options.address, 0x80AAAAA0u);
    EXPECT_EQ(cfg.options.clear1, 2u);
    EXPECT_TRUE(cfg.writes.empty());
}

TEST(DdrConf, ALineThatDoesNotParseIsNamedAndNothingIsKept)
{
    struct Case {
        const char* text;
        const char* line;
    } cases[] = {
        {"1 bfd70014 1\n# ok\n2 bfd70018\n", "line 3:"},  // two numbers only
        {"1 bfd70014 1\r\nx bfd70018 1\r\n", "line 2:"},  // no index
        {"1 bfd70014 1\n1 1bfd70018 1\n", "line 2:"},  // an address over 32 bits
        {"$clear0=3\n$dqs_delay0=\n", "line 2:"},  // a known option without a value
        {"$clock_delay0\n", "line 1:"},  // ... without '='
        {"# comment\n #indented comment is no comment\n", "line 2:"},
    };
    for (const Case& c : cases) {
        FpgaConfig cfg;
        cfg.options.clear0 = 0x99;
        std::string err;
        EXPECT_EQ(parse_fpga_config(c.text, &cfg, &err), 0) << c.text;
        EXPECT_EQ(err.rfind(c.line, 0), 0u) << c.text << " -> " << err;
        EXPECT_EQ(cfg.options.clear0, 0x99u) << "a failed parse leaves the output alone";
    }
}
