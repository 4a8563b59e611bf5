// Register texts, frames and images: the parts of the boot-ROM link that need
// no line.
#include "BootInit.h"
#include "BootRom.h"
#include "Gzip.h"
#include "UpgClient.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <string>

using namespace bootlink;

namespace {
std::vector<std::pair<std::string, uint32_t>> entries(const RegisterList& l)
{
    std::vector<std::pair<std::string, uint32_t>> v;
    for (const auto& e : l.entries)
        v.emplace_back(e.name, e.value);
    return v;
}
using Pairs = std::vector<std::pair<std::string, uint32_t>>;
}  // namespace

TEST(RegisterList, WantedSectionLastIsReadToTheEndOfTheText)
{
    const std::string text =
        "#CONFIG_SETTING#\r\nNO_CALIBRATION=0\r\n#INIT_REGS#\r\n/ comment line\r\nbfd70038=1f\r\n\r\nsleep=a\r\n"
        "no equals sign here\rbfd70014=2";  // lone CR, and no end of line at the end
    RegisterList l;
    ASSERT_EQ(1, parse_register_list(text, "#INIT_REGS#", &l));
    EXPECT_EQ((Pairs{{"bfd70038", 0x1f}, {"sleep", 0xa}, {"bfd70014", 2}}), entries(l));
}

TEST(RegisterList, CollectingStopsAtTheNextDifferentMarker)
{
    const std::string text = "#A#\na=1\n#B#\nb=2\n#A#\nc=3\n";
    RegisterList l;
    ASSERT_EQ(1, parse_register_list(text, "#A#", &l));
    EXPECT_EQ((Pairs{{"a", 1}}), entries(l));
    // A repeated marker right after keeps collecting up to the next different one.
    ASSERT_EQ(1, parse_register_list("#A#\na=1\n#A#\nc=3\n#B#\nd=4\n", "#A#", &l));
    EXPECT_EQ((Pairs{{"a", 1}, {"c", 3}}), entries(l));
    // Markers match exactly; an absent section gives an empty list.
    ASSERT_EQ(1, parse_register_list("#a#\nx=1\n", "#A#", &l));
    EXPECT_EQ(0, l.count());
}

TEST(RegisterList, ValuesAreReadAsHexUpToTheFirstNonDigit)
{
    RegisterList l;
    ASSERT_EQ(1, parse_register_list("#S#\nA=12zz\nB=0x1F\nC=\nD=ffffffff\nE=-2\nF==5\n", "#S#", &l));
    EXPECT_EQ((Pairs{{"A", 0x12}, {"B", 0x1f}, {"C", 0}, {"D", 0xffffffffu}, {"E", 0xfffffffeu}, {"F", 0}}),
              entries(l));
}

TEST(RegisterList, LongNamesAreCutToTheirFieldAndLongSectionsRefused)
{
    RegisterList l;
    std::string name(80, 'n');
    ASSERT_EQ(1, parse_register_list("#S#\n" + name + "=1\n", "#S#", &l));
    ASSERT_EQ(1, l.count());
    EXPECT_EQ(63u, l.entries[0].name.size());

    std::string text = "#S#\n";
    for (int i = 0; i < 127; ++i)
        text += "bfd7" + std::to_string(1000 + i) + "=1\n";
    ASSERT_EQ(1, parse_register_list(text, "#S#", &l));
    EXPECT_EQ(127, l.count());
    text += "bfd79999=1\n";
    EXPECT_EQ(0, parse_register_list(text, "#S#", &l));
    EXPECT_EQ(0, l.count());
    // The entries of other sections do not count.
    EXPECT_EQ(1, parse_register_list(text + "#T#\nx=1\n", "#T#", &l));
}

TEST(RegisterList, FindRegisterIsExactAndTakesTheFirstMatch)
{
    RegisterList l;
    parse_register_list("#S#\nSCAN_MODE=1\nSCAN_MODE=2\nscan_mode=3\n", "#S#", &l);
    uint32_t v = 0;
    EXPECT_EQ(0, find_register(l, "SCAN_MODE", &v));
    EXPECT_EQ(1u, v);
    EXPECT_EQ(0, find_register(l, "scan_mode", &v));
    EXPECT_EQ(3u, v);
    EXPECT_EQ(-1, find_register(l, "Scan_Mode", &v));
    EXPECT_EQ(-1, find_register(l, "SCAN_MOD", &v));
}

TEST(DdrSettings, MissingSettingsKeepDefaultsAndSignedOffsets)
{
    DdrSettings s;
    ASSERT_EQ(1, read_ddr_settings("#CONFIG_SETTING#\nCLOCK_OFFSET=fffffff0\nRDCLK_DLY_MAX=20\n", &s));
    EXPECT_EQ(-16, s.clock_offset);
    EXPECT_EQ(0x20u, s.rdclk_dly_max);
    EXPECT_EQ(0u, s.calibration_method);
    EXPECT_EQ(0u, s.no_calibration);
    EXPECT_EQ(4u, s.range_select);
    EXPECT_EQ(0x0000FFFFu, device_mask(0));
    EXPECT_EQ(0xFFFF0000u, device_mask(1));
    EXPECT_EQ(0xFFFFFFFFu, device_mask(2));
    EXPECT_EQ(0xFFFFFFFFu, device_mask(7));
}

TEST(DdrSettings, EqualWidthsChooseTheLowerRange)
{
    CalibrationState st;
    st.ranges[1].width = 6;
    st.ranges[2].width = 6;
    st.ranges[3].width = 5;
    EXPECT_EQ(1, choose_range(st));
    st.ranges[3].width = 7;
    EXPECT_EQ(3, choose_range(st));
    CalibrationState none;
    EXPECT_EQ(0, choose_range(none));
}

// ---- frames and images --------------------------------------------------------

namespace {
// The textbook CRC-32 (zlib), complemented: the frames carry the register as it stands.
uint32_t frame_crc(const uint8_t* p, size_t n) { return ~uint32_t(::crc32(0L, p, uInt(n))); }
uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
}  // namespace

TEST(Frames, InstructionsAreLittleEndian)
{
    EXPECT_EQ((std::vector<uint8_t>{0x23, 0x04, 0x64, 0x00, 0xD0, 0xBF}), build_read_instruction(0xBFD00064));
    EXPECT_EQ((std::vector<uint8_t>{0x23, 0x01, 0x38, 0x00, 0xD7, 0xBF, 0x78, 0x56, 0x34, 0x12}),
              build_write_instruction(0xBFD70038, 0x12345678));
}

TEST(Frames, CommandFrameCarriesTheCrcOfLetterLengthAndPayload)
{
    auto f = build_command_frame('P', reinterpret_cast<const uint8_t*>(kClientBanner), 15);
    ASSERT_EQ(22u, f.size());
    EXPECT_EQ(0x23, f[0]);
    EXPECT_EQ('P', f[1]);
    EXPECT_EQ(15, f[2]);
    EXPECT_EQ(0, std::memcmp(f.data() + 3, "KESTREL P2P UPG", 15));
    EXPECT_EQ(frame_crc(f.data() + 1, 17), le32(f.data() + 18));

    auto t = build_command_frame('T');
    ASSERT_EQ(7u, t.size());
    EXPECT_EQ(frame_crc(t.data() + 1, 2), le32(t.data() + 3));
}

TEST(Frames, DataFrameSequenceIsBigEndianAndCrcCoversTheDataOnly)
{
    std::vector<uint8_t> data(1024);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(i * 7);
    auto f = build_data_frame(0x0102, data.data(), data.size());
    ASSERT_EQ(1032u, f.size());
    EXPECT_EQ((std::vector<uint8_t>{0x23, 0x2A, 0x01, 0x02}), std::vector<uint8_t>(f.begin(), f.begin() + 4));
    EXPECT_EQ(frame_crc(data.data(), 1024), le32(f.data() + 1028));
    auto e = build_data_frame(0, nullptr, 0);
    EXPECT_EQ(8u, e.size());
    EXPECT_EQ(0xFFFFFFFFu, le32(e.data() + 4));
}

TEST(Frames, AlderBlockAndShellRequest)
{
    uint8_t p[3] = {0x0F, 0xF0, 0x01};
    EXPECT_EQ((std::vector<uint8_t>{0x23, 0x34, 0x12, 3, 0x0F, 0xF0, 0x01, 0xFE}), build_alder_block(0x1234, p, 3));
    auto r = build_shell_read(0x2000, 4096);
    ASSERT_EQ(17u, r.size());
    EXPECT_EQ((std::vector<uint8_t>{0x23, 0x03, 0, 0, 0}), std::vector<uint8_t>(r.begin(), r.begin() + 5));
    EXPECT_EQ(8u, le32(r.data() + 5));
    EXPECT_EQ(0x08002000u, le32(r.data() + 9));
    EXPECT_EQ(4100u, le32(r.data() + 13));
}

TEST(PlatformTable, ClientsHeadersBringUpsAndViews)
{
    const char* names[] = {"upgclient.bin",     "upgclient_alder.bin", "upgclient_dg.bin",    "upgclient_dg.bin",
                           "upgclient_elm.bin", "upgclient_elm.bin",   "upgclient_cedar.bin", "upgclient_cedar.bin"};
    for (int t = 0; t < 8; ++t) {
        ASSERT_NE(nullptr, find_platform(t));
        EXPECT_STREQ(names[t], platform(t).client_file) << t;
        EXPECT_EQ(t, platform(t).type);
    }
    EXPECT_EQ(nullptr, find_platform(8));
    EXPECT_EQ(nullptr, find_platform(-1));

    auto h7 = load_header(platform(7), 0x1234);
    ASSERT_EQ(16u, h7.size());
    EXPECT_EQ(0x1234u, le32(&h7[0]));
    EXPECT_EQ(0x80100000u, le32(&h7[4]));
    EXPECT_EQ(0x80100000u, le32(&h7[8]));
    EXPECT_EQ(0x1234u, le32(&h7[12]));
    auto h3 = load_header(platform(3), 99);
    ASSERT_EQ(12u, h3.size());
    EXPECT_EQ(0x80008000u, le32(&h3[4]));
    auto h0 = load_header(platform(0), 99);
    ASSERT_EQ(12u, h0.size());
    EXPECT_EQ(0u, le32(&h0[4]) | le32(&h0[8]));
    EXPECT_TRUE(load_header(platform(1), 99).empty());
    EXPECT_EQ(31500, platform(6).program_send_timeout_ms);
    EXPECT_EQ(30500, platform(2).program_send_timeout_ms);

    // Boot-ROM rates and bring-ups: boot inits at 38400 on 1, 6, 7; calibration on 2 to 5.
    for (int t = 0; t < 8; ++t) {
        const Platform& p = platform(t);
        EXPECT_EQ(p.boots_with_init() ? 38400 : 115200, p.boot_rom_baud) << t;
        EXPECT_EQ(t == 1 || t == 6 || t == 7, p.boots_with_init()) << t;
        EXPECT_EQ(t >= 2 && t <= 5, p.calibrates()) << t;
        EXPECT_EQ(t == 0 ? DumpPath::Shell : DumpPath::Client, p.dump) << t;
    }
    EXPECT_STREQ("chip_ddrconf_dogwood_333.txt", platform(3).bring_up_file);
    EXPECT_STREQ("ddr3_cache_cal.img", platform(5).bring_up_file);
    EXPECT_STREQ("btinit_ddr2_cedar.img", platform(6).bring_up_file);

    // The block-upgrade list and the front-panel list are views of the table.
    EXPECT_EQ((std::vector<int>{0, 1, 2, 6, 7}), block_upgrade_types());
    EXPECT_EQ(Family::Cedar, platform(type_at(block_upgrade_types(), 4)).family);
    EXPECT_EQ(Family::Dogwood, platform(type_at(front_panel_types(), 2)).family);
    EXPECT_EQ(-1, type_at(front_panel_types(), 3));

    EXPECT_EQ(131072u, padded_image_size(100000));
    EXPECT_EQ(65536u, padded_image_size(65536));
    EXPECT_EQ(0u, padded_image_size(0));
    EXPECT_EQ(0x800000u, padded_image_size(0x7FFFFF));
}
