// The stream generator's own rules: CRC, settings, image limits, splitting,
// groups, PIDs, layouts; and a reader that survives whatever it is given.
#include "OtaTestSupport.h"

#include "KvBasicCfgIni.h"
#include "ModulePayload.h"
#include "Mpeg2Crc.h"
#include "OtaGenerators.h"
#include "OtaInspect.h"
#include "OtaSettings.h"
#include "DsmccCarousel.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace ota;
using namespace otatest;

namespace {

uint32_t crc_bit_by_bit(const uint8_t* p, size_t n)
{
    uint32_t crc = 0xFFFFFFFF;
    for (size_t i = 0; i < n; ++i) {
        crc ^= uint32_t(p[i]) << 24;
        for (int b = 0; b < 8; ++b)
            crc = crc & 0x80000000u ? crc << 1 ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

dsmcc_upg_info_t group_info()
{
    dsmcc_upg_info_t i;
    i.oui = 0x1000;
    i.sw_version = 1;
    i.hw_version = 2;
    i.sw_model_id = 3;
    i.hw_model_id = 4;
    i.sn_end = 0xFFFFFFFF;
    return i;
}

}  // namespace

TEST(OtaCore, SectionCrcMatchesTheMpeg2Definition)
{
    const char* check = "123456789";
    EXPECT_EQ(mpeg2_crc32(reinterpret_cast<const uint8_t*>(check), 9), 0x0376E6E7u);
    const std::vector<uint8_t> data = make_image(1000, 42);
    for (size_t start : {0, 1, 3, 7})
        for (size_t len : {0, 1, 7, 8, 9, 15, 16, 17, 100, 993})
            EXPECT_EQ(mpeg2_crc32(data.data() + start, len), crc_bit_by_bit(data.data() + start, len))
                << start << "+" << len;
}

TEST(OtaCore, SettingsOfferTheListedProjectsAndModes)
{
    CKvBasicCfgIni ini;
    ini.LoadFromText("[OTA Streamer]\nProject_list=abs, dvbs,Foo\n");
    OtaStreamerSettings s = read_ota_settings(ini);
    EXPECT_EQ(s.projects, (std::vector<int>{kProjectAbs, kProjectDvbs}));
    ASSERT_EQ(s.modes.size(), 6u);  // the defaults keep their spaces
    EXPECT_EQ(s.modes[1].name, "Tv logo");
    EXPECT_EQ(s.modes[5].id, 0x9C);

    ini.LoadFromText("[OTA Streamer]\nProject_list=\nUpg_mode_id=0xFF, 0x94,,0x96\n"
                     "Upg_mode_name=ALL,Tv logo,Gone,Ad logo,Extra\n");
    s = read_ota_settings(ini);
    EXPECT_EQ(s.projects, (std::vector<int>{kProjectDvbs, kProjectAbs, kProjectDsmcc}));
    ASSERT_EQ(s.modes.size(), 3u);  // an empty id drops its name with it
    EXPECT_EQ(s.modes[1].name, "Tvlogo");
    EXPECT_EQ(s.modes[2].id, 0x96);
    EXPECT_EQ(s.modes[2].name, "Adlogo");

    ini.LoadFromText("[OTA Streamer]\nUpg_mode_name=" + std::string(98, 'x') + "yz\n");
    EXPECT_EQ(ota_setting(ini, "Upg_mode_name", "d").size(), 99u);
}

TEST(OtaCore, ImagesUpTo16MiBLoadAndOneByteMoreIsRefused)
{
    testsupport::ScratchDir dir("skycaster");
    std::vector<uint8_t> image;
    std::string error;
    const std::string path = dir.file("flash.bin");
    std::filesystem::resize_file((std::ofstream(path), path), 0x1000000);
    EXPECT_TRUE(load_flash_image(path, image, error)) << error;
    EXPECT_EQ(image.size(), 0x1000000u);
    std::filesystem::resize_file(path, 0x1000001);
    EXPECT_FALSE(load_flash_image(path, image, error));
    EXPECT_EQ(error, "The binary file size is too big");
    EXPECT_TRUE(image.empty());
    EXPECT_FALSE(load_flash_image(dir.file("none.bin"), image, error));
    EXPECT_EQ(error, "Can't open file");
}

TEST(OtaCore, SplittingSharesWholeSectorsAndRefusesOtherImages)
{
    SplitLayout l;
    ASSERT_TRUE(split_layout(7 * kFlashSectorSize, l));
    EXPECT_EQ(l[0].length, 3 * kFlashSectorSize);
    EXPECT_EQ(l[1].offset, 3 * kFlashSectorSize);
    EXPECT_EQ(l[2].offset + l[2].length, 7 * kFlashSectorSize);
    EXPECT_FALSE(split_layout(2 * kFlashSectorSize, l));
    EXPECT_FALSE(split_layout(3 * kFlashSectorSize + 1, l));
    EXPECT_FALSE(split_layout(0, l));
}

TEST(OtaCore, ACarouselHoldsThirtyTwoGroupsAndRefusesTheThirtyThird)
{
    testsupport::ScratchDir dir("skycaster");
    const std::vector<uint8_t> image = make_image(3 * kFlashSectorSize, 7);
    OTA_M2T_Generator m2t;
    OTA_DVBS1_Stream_Generator dvbs1;
    std::string message;
    dsmcc_upg_info_t info = group_info();

    // Split only whole-flash images (mode 0xFF); refuse images that cannot be split.
    info.upg_mode_id = 0x94;
    ASSERT_TRUE(dvbs1.next_group(info, false, true, image.data(), 1000, m2t, message)) << message;
    EXPECT_FALSE(dvbs1.groups()[0].split);
    info.upg_mode_id = 0xFF;
    EXPECT_FALSE(dvbs1.next_group(info, false, true, image.data(), 1000, m2t, message));
    EXPECT_EQ(message, "Invalid file!");
    EXPECT_EQ(dvbs1.group_count(), 1);

    for (int g = 1; g < kMaxGroups; ++g) {
        info.oui = 0x1000 + uint32_t(g);
        ASSERT_TRUE(
            dvbs1.next_group(info, g % 2, g == 5, image.data(), g == 5 ? uint32_t(image.size()) : 2000u, m2t, message))
            << message;
    }
    EXPECT_FALSE(dvbs1.next_group(info, false, false, image.data(), 100, m2t, message));
    EXPECT_EQ(message, "Maximum group number is 32!");

    m2t.set_output_path(dir.file("ota.m2t"));
    dvbs1.set_upg_pid(0x1FFE, true);
    ASSERT_TRUE(dvbs1.creat_dvbs1_upg_stream(m2t)) << m2t.last_error();
    const InspectResult r = inspect_ota_stream(dir.file("ota.m2t"));
    EXPECT_TRUE(r.ok) << r.error;
    std::string all;
    for (const auto& l : r.lines)
        all += l + "\n";
    EXPECT_NE(all.find("DSI: 32 groups"), std::string::npos) << all;
    EXPECT_NE(all.find("module 0x0602:"), std::string::npos) << all;  // the split group
}

TEST(OtaCore, AFailedDsmccGenerateKeepsTheGroupsCollectedBeforeIt)
{
    testsupport::ScratchDir dir("skycaster");
    const std::vector<uint8_t> image = make_image(3 * kFlashSectorSize, 5);
    OTA_M2T_Generator m2t;
    OTA_DVBS1_Stream_Generator dvbs1;
    std::string message;
    for (int g = 0; g < 2; ++g)
        ASSERT_TRUE(dvbs1.next_group(group_info(), false, false, image.data(), 2000, m2t, message)) << message;

    DsmccGenerateInput page;
    page.info = group_info();
    page.info.upg_mode_id = 0xFF;
    page.split = true;
    m2t.set_output_path(dir.file("ota.m2t"));
    dvbs1.set_upg_pid(0x0200, false);
    // The page's image cannot be split: only the page is refused.
    EXPECT_FALSE(generate_dsmcc_stream(m2t, dvbs1, page, image.data(), 1000, message));
    EXPECT_EQ(message, "Invalid file!");
    EXPECT_EQ(dvbs1.group_count(), 2);

    // A PID reserved for tables, refused before the page becomes a group.
    dvbs1.set_upg_pid(0x0005, false);
    EXPECT_FALSE(generate_dsmcc_stream(m2t, dvbs1, page, image.data(), uint32_t(image.size()), message));
    EXPECT_NE(message.find("reserved"), std::string::npos) << message;
    EXPECT_EQ(dvbs1.group_count(), 2);

    // The stream cannot be written: the page added for it is taken back.
    dvbs1.set_upg_pid(0x0200, false);
    m2t.set_output_path(dir.file("no/such/folder/ota.m2t"));
    EXPECT_FALSE(generate_dsmcc_stream(m2t, dvbs1, page, image.data(), uint32_t(image.size()), message));
    EXPECT_NE(message.find("Can't create"), std::string::npos) << message;
    EXPECT_EQ(dvbs1.group_count(), 2);

    m2t.set_output_path(dir.file("ota.m2t"));
    ASSERT_TRUE(generate_dsmcc_stream(m2t, dvbs1, page, image.data(), uint32_t(image.size()), message)) << message;
    EXPECT_EQ(dvbs1.group_count(), 0);
    const InspectResult r = inspect_ota_stream(dir.file("ota.m2t"));
    EXPECT_TRUE(r.ok) << r.error;
    std::string all;
    for (const auto& l : r.lines)
        all += l + "\n";
    EXPECT_NE(all.find("DSI: 3 groups"), std::string::npos) << all;
}

TEST(OtaCore, UpgradePidsAndLayoutsAreChecked)
{
    EXPECT_EQ(check_data_pid(0x2000), "PID beyond 0 - 8191,input again!");
    EXPECT_NE(check_data_pid(0x1FFF).find("null packet PID"), std::string::npos);
    EXPECT_NE(check_data_pid(0x0000).find("reserved"), std::string::npos);
    EXPECT_EQ(check_data_pid(0x1FFE), "");
    EXPECT_EQ(check_data_pid(0x0010), "");
    EXPECT_EQ(check_layout({204, 255, 255}), "");
    EXPECT_NE(check_layout({190, 1, 1}), "");
    EXPECT_NE(check_layout({188, 0, 1}), "");
    EXPECT_NE(check_layout({188, 1, 256}), "");

    // The DVBS model ids must fit the 16 bits receivers compare.
    dvbs_upg_info_t d;
    d.sw_model_id = 0x10000;
    dsmcc_upg_info_t out;
    std::string error;
    EXPECT_FALSE(dsmcc_info_from_dvbs(d, out, error));
    EXPECT_EQ(error, "SW model id beyond 16 bits");
}

TEST(OtaCore, GenerationFailuresLeaveNoFileBehind)
{
    testsupport::ScratchDir dir("skycaster");
    const std::vector<uint8_t> image = make_image(5000, 3);
    OTA_M2T_Generator m2t;
    OTA_DVBS_Stream_Generator dvbs;
    m2t.set_output_path(dir.file("ota.m2t"));
    EXPECT_FALSE(generate_dvbs_stream(m2t, dvbs, {}, "1FFF", image.data(), 5000, false));
    EXPECT_FALSE(generate_dvbs_stream(m2t, dvbs, {}, "16x", image.data(), 5000, false));
    EXPECT_FALSE(generate_dvbs_stream(m2t, dvbs, {}, "160", image.data(), 0, false));
    m2t.set_output_path(dir.file("no/such/folder/ota.m2t"));
    EXPECT_FALSE(generate_dvbs_stream(m2t, dvbs, {}, "160", image.data(), 5000, false));
    EXPECT_NE(m2t.last_error().find("Can't create"), std::string::npos) << m2t.last_error();
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
    EXPECT_FALSE(m2t.merge_last(OtaKind::Dvbs, dir.file("x.ts"), 1, dir.file("upgrade.ts")));
    EXPECT_NE(m2t.last_error().find("generate one first"), std::string::npos);
}

TEST(OtaCore, TheReaderSurvivesCutAndGarbledStreams)
{
    testsupport::ScratchDir dir("skycaster");
    const std::vector<uint8_t> image = make_image(30000, 4);
    OTA_M2T_Generator m2t;
    OTA_DVBS_Stream_Generator dvbs;
    m2t.set_output_path(dir.file("ota.m2t"));
    ASSERT_TRUE(generate_dvbs_stream(m2t, dvbs, {}, "160", image.data(), 30000, true));
    const std::vector<uint8_t> good = read_file(dir.file("ota.m2t"));

    // Cut in the middle of a packet: the rest is read, the cut reported.
    std::vector<uint8_t> ts(good.begin(), good.begin() + static_cast<long>(good.size() / 2 + 77));
    write_file(dir.file("cut.ts"), ts);
    InspectResult r = inspect_ota_stream(dir.file("cut.ts"));
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.lines[0].find("a cut-off packet at the end"), std::string::npos);

    // Random bytes behind valid packet headers, on the stream's own PIDs.
    std::mt19937 rng(99);
    for (int round = 0; round < 40; ++round) {
        ts = good;
        for (int k = 0; k < 60; ++k) {
            const size_t at = rng() % ts.size();
            if (at % 188 != 0)
                ts[at] = static_cast<uint8_t>(rng());
        }
        write_file(dir.file("bad.ts"), ts);
        r = inspect_ota_stream(dir.file("bad.ts"));
        EXPECT_TRUE(r.error.empty()) << r.error;
        EXPECT_FALSE(r.ok);
    }
    // Lost sync is an error of the file, not a crash.
    ts = good;
    ts[188 * 20] = 0x00;
    write_file(dir.file("sync.ts"), ts);
    r = inspect_ota_stream(dir.file("sync.ts"));
    EXPECT_NE(r.error.find("lost packet sync"), std::string::npos) << r.error;
}
