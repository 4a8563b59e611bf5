// Parse and Generate on images built byte by byte for each platform.
#include "FirImage.h"
#include "FirSampleImages.h"
#include "PanelCommands.h"
#include "Tesselcore.h"

#include <gtest/gtest.h>

using namespace fir;
using firtest::Block;

namespace {

using namespace firtest;

FirResult parse(Platform p, std::vector<uint8_t> img, ParsedImage* out) { return parse_image(p, std::move(img), out); }

void expect_crcs_good(const std::vector<uint8_t>& img, size_t dmh, int entries)
{
    for (int k = 0; k < entries; ++k) {
        const uint8_t* e = img.data() + dmh + 28 + 48 * k;
        const uint8_t* data = img.data() + dmh + firtest::rd32(e + 4);
        EXPECT_EQ(firtest::rd32(e + 12), firtest::box_crc(data, firtest::rd32(e + 8))) << "entry " << k;
    }
}

}  // namespace

TEST(FirParse, BasePlatformFillsTheRecordFromTheBlocks)
{
    ParsedImage p;
    FirResult res = parse(Platform::Base, base_image(), &p);
    ASSERT_TRUE(res.ok) << res.detail;
    const CPanelRecord& r = p.record;
    EXPECT_EQ(r.size(), 1564u);
    EXPECT_EQ(r.count(KeyTable::Ir1), 60);
    EXPECT_EQ(r.count(KeyTable::Ir2), 60);
    EXPECT_EQ(r.count(KeyTable::Fp), 9);
    EXPECT_EQ(r.user_code(KeyTable::Ir1), 0x12AB);
    EXPECT_EQ(r.user_code(KeyTable::Ir2), 0x34CD);
    EXPECT_EQ(r.key_code(KeyTable::Ir1, 0), 1);
    EXPECT_EQ(r.key_code(KeyTable::Ir2, 59), uint8_t(2 + 3 * 59));
    EXPECT_EQ(r.key_code(KeyTable::Fp, 8), 3 + 24);
    // The logical key numbers of the default slots stay beside the parsed codes.
    EXPECT_EQ(r.slot(KeyTable::Ir1, 0), 0x00010001u);
    EXPECT_EQ(r.logical_key(KeyTable::Ir1, 59), 0x6A);
    EXPECT_EQ(r.slot(KeyTable::Fp, 7), 0x005C0000u | uint8_t(3 + 21));
    EXPECT_EQ(std::vector<uint8_t>(r.config(), r.config() + 464), config_block(464));
    ASSERT_EQ(p.names.ir1.size(), 62u);
    EXPECT_EQ(p.names.ir1[0], "1_KEY0");
    EXPECT_EQ(p.names.fp.size(), 9u);
    EXPECT_EQ(p.names.fp[8], "KEY_8");
}

TEST(FirParse, BasePlatformLimitsAndMissingBlocks)
{
    ParsedImage p;
    EXPECT_TRUE(parse(Platform::Base, base_image(1023), &p).ok);

    FirResult beyond = parse(Platform::Base, base_image(1024), &p);
    EXPECT_FALSE(beyond.ok);
    EXPECT_EQ(beyond.message, "Wrong binary file!");

    FirResult no_config = parse(Platform::Base, base_image(0x100, false), &p);
    EXPECT_FALSE(no_config.ok);
    EXPECT_EQ(no_config.message, "Wrong binary file!");

    std::vector<uint8_t> no_script_dmh = base_image();
    std::memset(no_script_dmh.data() + 0x10020, 0xFF, 12);
    EXPECT_FALSE(parse(Platform::Base, no_script_dmh, &p).ok);
}

TEST(FirParse, BasePlatformOpensAnImageWhoseScriptIsMissingOrBroken)
{
    std::vector<uint8_t> no_block = base_image();
    no_block[0x10020 + 28] = 0x42;  // the DMH lists no 0xFE block
    std::vector<uint8_t> damaged = base_image();
    damaged[0x10020 + 0x200 + 12] ^= 0xFF;  // inside the gzip member
    for (const std::vector<uint8_t>& img :
         {base_image(0x100, true, firtest::script_text(3, 3, 3, "CFGHEADER=toolcfgx")), no_block, damaged}) {
        ParsedImage p;
        FirResult res = parse(Platform::Base, img, &p);
        ASSERT_TRUE(res.ok) << res.detail;
        EXPECT_FALSE(p.script_ok);
        EXPECT_TRUE(p.names.ir1.empty() && p.names.ir2.empty() && p.names.fp.empty());
        ASSERT_FALSE(p.notes.empty());
        // The blocks are read and written back all the same.
        EXPECT_EQ(std::vector<uint8_t>(p.record.config(), p.record.config() + 464), config_block(464));
        EXPECT_EQ(p.record.key_code(KeyTable::Ir2, 59), uint8_t(2 + 3 * 59));
        std::vector<uint8_t> out;
        ASSERT_TRUE(generate_image(p, p.record, &out).ok);
        EXPECT_EQ(out.size(), img.size());
    }
    // Only the base platform does without: Alder and Dogwood take their key counts from the script.
    std::vector<uint8_t> dg = dogwood_image();
    dg[0x20000 + 0x100 + 12] ^= 0xFF;
    ParsedImage p;
    EXPECT_FALSE(parse(Platform::Dogwood, dg, &p).ok);
}

// The front-panel tool reads a DMH as the configuration tool does: the entry
// count is byte 24, the entry size byte 26 (48), whatever bytes 25 and 27 hold.
TEST(FirParse, DmhHeadersReadAsTheConfigurationToolReadsThem)
{
    std::vector<uint8_t> img = base_image();
    for (size_t dmh : {size_t(0x100), size_t(0x10020)}) {
        img[dmh + 25] = 0x01;
        img[dmh + 27] = 0x02;
    }
    ParsedImage p;
    FirResult res = parse(Platform::Base, img, &p);
    ASSERT_TRUE(res.ok) << res.detail;
    EXPECT_EQ(std::vector<uint8_t>(p.record.config(), p.record.config() + 464), config_block(464));

    CTesselcore core;
    tag_dmh_block_node node{};
    ASSERT_EQ(core.scan_flash(img.data(), uint32_t(img.size()), &node), 1);
    EXPECT_EQ(node.count, 5);  // four panel blocks and the script
    EXPECT_EQ(tessel::entry_id(node.working[3]), kBlockConfig);
    EXPECT_EQ(std::vector<uint8_t>(node.working[3].data, node.working[3].data + 464), config_block(464));
    core.free_block_node(&node);

    // An entry size other than 48 is no DMH for either.
    img[0x100 + 26] = 49;
    EXPECT_FALSE(parse(Platform::Base, img, &p).ok);
    EXPECT_FALSE(tessel::is_dmh_header(img.data(), img.size(), 0x100));
}

TEST(FirParse, HostileEntriesAreRefusedNotRead)
{
    ParsedImage p;
    std::vector<uint8_t> img = base_image();
    firtest::le32(img.data() + 0x100 + 28 + 4, 0xFFFFFF00);  // IR1 data far beyond the image
    EXPECT_FALSE(parse(Platform::Base, img, &p).ok);

    img = dogwood_image();
    img.resize(0x21000);
    img[0x20000 + 24] = 0xFF;  // entries beyond the image
    FirResult beyond = parse(Platform::Dogwood, img, &p);
    EXPECT_FALSE(beyond.ok);
    EXPECT_NE(beyond.detail.find("runs past its bounds"), std::string::npos) << beyond.detail;

    img = base_image();
    firtest::le32(img.data() + 0x100 + 28 + 3 * 48 + 8, 100);  // a configuration block too small
    FirResult small = parse(Platform::Base, img, &p);
    EXPECT_FALSE(small.ok);
    EXPECT_NE(small.detail.find("0xBC"), std::string::npos);
}

TEST(FirScript, HeaderAndNames)
{
    KeyNames names;
    std::vector<std::string> notes;
    EXPECT_EQ(read_key_names("CFGHEADER=toolcfgx\n[1_A][0][0][8];\n", &names), kScriptInvalid);
    EXPECT_EQ(read_key_names("CFGHEADER toolcfg\n", &names, &notes), kScriptInvalid);
    EXPECT_EQ(notes, std::vector<std::string>{"Error line!"});

    const std::string text = "CFGHEADER=toolcfg\n"
                             "##[1_POWER][0][0][8],[1_A_NAME_LONGER_THAN_19][2][8][8][0][255];\n"
                             "[2_MUTE][0][0][8]##[2_HIDDEN][0][8][8]\n"
                             "##[KEY_UP][0][0][8],[KEY_DOWN][0][8][8]\n"
                             "[3_OTHER][0][0][8]\n";
    ASSERT_EQ(read_key_names(text, &names), kScriptOk);
    EXPECT_EQ(names.ir1, (std::vector<std::string>{"1_POWER", "1_A_NAME_LONGER_THA"}));
    EXPECT_EQ(names.ir2, std::vector<std::string>{"2_MUTE"});
    EXPECT_EQ(names.fp, (std::vector<std::string>{"KEY_UP", "KEY_DOWN"}));
    KeyCounts c = counts_from_names(names);
    EXPECT_EQ(c.ir1, 0);
    EXPECT_EQ(c.ir2, 0);
    EXPECT_EQ(c.fp, 2);
}

TEST(FirParse, AlderTakesCountsFromTheScriptAndUserCodesFirst)
{
    for (bool one : {false, true}) {
        ParsedImage p;
        FirResult res = parse(Platform::Alder, alder_image(one), &p);
        ASSERT_TRUE(res.ok) << res.detail;
        const CPanelRecord& r = p.record;
        EXPECT_EQ(r.size(), 1564u);
        EXPECT_EQ(r.count(KeyTable::Ir1), 5);
        EXPECT_EQ(r.count(KeyTable::Ir2), 4);
        EXPECT_EQ(r.count(KeyTable::Fp), 3);
        EXPECT_EQ(r.user_code(KeyTable::Ir1), 0xBEEF);
        EXPECT_EQ(r.user_code(KeyTable::Ir2), 0x1234);
        EXPECT_EQ(r.slot(KeyTable::Ir1, 4), uint32_t(10 + 12));  // no default slots on Alder
        EXPECT_EQ(r.key_code(KeyTable::Fp, 2), 36);
        EXPECT_EQ(r.config()[463], config_block(464)[463]);
    }
    ParsedImage p;
    FirResult missing = parse(Platform::Alder, alder_image(false, true), &p);
    EXPECT_FALSE(missing.ok);
    EXPECT_NE(missing.detail.find("2 of the three key blocks"), std::string::npos);
}

TEST(FirParse, DogwoodUsesTheLongRecord)
{
    ParsedImage p;
    FirResult res = parse(Platform::Dogwood, dogwood_image(), &p);
    ASSERT_TRUE(res.ok) << res.detail;
    const CPanelRecord& r = p.record;
    EXPECT_EQ(r.size(), 1580u);
    EXPECT_EQ(r.count(KeyTable::Ir1), 4);
    EXPECT_EQ(r.count(KeyTable::Ir2), 3);
    EXPECT_EQ(r.count(KeyTable::Fp), 2);
    EXPECT_EQ(r.user_code(KeyTable::Ir1), 0x0102);
    EXPECT_EQ(r.key_code(KeyTable::Ir2, 2), 56);
    EXPECT_EQ(std::vector<uint8_t>(r.config(), r.config() + 480), config_block(480));
    // The record's counts lie after the 480-byte configuration.
    EXPECT_EQ(r.data()[1568], 4);

    std::vector<uint8_t> far = dogwood_image();
    std::vector<uint8_t> head(far.begin() + 0x200, far.begin() + 0x200 + 28 + 4 * 48);
    std::memset(far.data() + 0x200, 0xFF, head.size());
    std::memcpy(far.data() + 0x400, head.data(), head.size());  // the DMH now starts beyond byte 1023
    EXPECT_FALSE(parse(Platform::Dogwood, far, &p).ok);
}

TEST(FirGenerate, BasePlatformWritesUserCodesBigEndianAfterTheCodes)
{
    ParsedImage p;
    ASSERT_TRUE(parse(Platform::Base, base_image(), &p).ok);
    CPanelRecord rec = p.record;
    rec.set_user_code(KeyTable::Ir1, 0xA1B2);
    rec.set_key_code(KeyTable::Ir1, 59, 0x77);
    rec.config()[100] = 0x99;
    std::vector<uint8_t> out;
    FirResult res = generate_image(p, rec, &out);
    ASSERT_TRUE(res.ok);
    EXPECT_EQ(res.message, "Save Data Success!");
    const size_t ir1 = 0x100 + 0x1000;
    EXPECT_EQ(out[ir1 + 59], 0x77);
    EXPECT_EQ(out[ir1 + 60], 0xA1);
    EXPECT_EQ(out[ir1 + 61], 0xB2);
    EXPECT_EQ(out[0x100 + 0x1400 + 100], 0x99);
    // Every written block gets its CRC, the unchanged ones too; the script's
    // DMH is not touched.
    expect_crcs_good(out, 0x100, 4);
    EXPECT_EQ(firtest::rd32(out.data() + 0x10020 + 28 + 12), 0xDEADBEEFu);
    // Apart from those, the image is as it was.
    std::vector<uint8_t> expected = p.image;
    expected[ir1 + 59] = 0x77;
    expected[ir1 + 60] = 0xA1;
    expected[ir1 + 61] = 0xB2;
    expected[0x100 + 0x1400 + 100] = 0x99;
    for (int k = 0; k < 4; ++k)
        std::memcpy(expected.data() + 0x100 + 28 + 48 * k + 12, out.data() + 0x100 + 28 + 48 * k + 12, 4);
    EXPECT_TRUE(expected == out);
}

TEST(FirGenerate, AlderWritesUserCodesLittleEndianBeforeTheCodes)
{
    ParsedImage p;
    ASSERT_TRUE(parse(Platform::Alder, alder_image(), &p).ok);
    CPanelRecord rec = p.record;
    rec.set_user_code(KeyTable::Ir2, 0xC3D4);
    rec.set_key_code(KeyTable::Ir2, 0, 0x55);
    std::vector<uint8_t> out;
    ASSERT_TRUE(generate_image(p, rec, &out).ok);
    const size_t ir2 = 0x10000 + 0x200;
    EXPECT_EQ(out[ir2], 0xD4);
    EXPECT_EQ(out[ir2 + 1], 0xC3);
    EXPECT_EQ(out[ir2 + 2], 0x55);
    expect_crcs_good(out, 0x10000, 2);
    expect_crcs_good(out, 0x20000, 2);
}

TEST(FirGenerate, DogwoodWritesTheLongConfigurationAndKeepsNoCrcMarks)
{
    std::vector<uint8_t> img = dogwood_image();
    std::memcpy(img.data() + 0x200 + 28 + 2 * 48 + 12, "NCRC", 4);  // the front-panel block
    ParsedImage p;
    ASSERT_TRUE(parse(Platform::Dogwood, img, &p).ok);
    CPanelRecord rec = p.record;
    rec.config()[479] = 0x5A;
    rec.set_key_code(KeyTable::Fp, 1, 0x66);
    std::vector<uint8_t> out;
    ASSERT_TRUE(generate_image(p, rec, &out).ok);
    EXPECT_EQ(out[0x200 + 0x1400 + 479], 0x5A);
    EXPECT_EQ(out[0x200 + 0x1200 + 1], 0x66);
    EXPECT_EQ(std::memcmp(out.data() + 0x200 + 28 + 2 * 48 + 12, "NCRC", 4), 0);
    const size_t ir2_user = 0x200 + 0x1100 + 3;
    EXPECT_EQ(out[ir2_user], 0x03);
    EXPECT_EQ(out[ir2_user + 1], 0x04);
    ParsedImage again;
    ASSERT_TRUE(parse(Platform::Dogwood, out, &again).ok);
    EXPECT_EQ(again.record.bytes(), rec.bytes());
}

TEST(FirImageFile, ReadsWholeFilesAndRefusesOthers)
{
    std::vector<uint8_t> out;
    EXPECT_EQ(read_image_file(scratch().file("absent.bin"), &out).message, "Failed to open the flash file!");
    firtest::spit(scratch().file("empty.bin"), {});
    EXPECT_EQ(read_image_file(scratch().file("empty.bin"), &out).message, "Wrong binary file!");
    firtest::spit(scratch().file("base.bin"), base_image());
    ParsedImage p;
    EXPECT_TRUE(load_image(Platform::Base, scratch().file("base.bin"), &p).ok);
    EXPECT_EQ(p.image.size(), 0x20000u);
}

TEST(FirPanelFrames, CommandAndDataFramesByHand)
{
    // 'S' announcing the 480-byte configuration, written out byte by byte.
    std::vector<uint8_t> body = {'S', 6, 0xFF, 0x4E, 0xE0, 0x01, 0x00, 0x00};
    std::vector<uint8_t> expected = {'#'};
    expected.insert(expected.end(), body.begin(), body.end());
    const uint32_t crc = box_crc(body.data(), body.size());
    for (int i = 0; i < 4; ++i)
        expected.push_back(uint8_t(crc >> (8 * i)));
    EXPECT_EQ(panel_command_frame(PanelCommand::AnnounceConfig, announce_payload(480)), expected);
    EXPECT_EQ(second_reply_ms(PanelCommand::AnnounceConfig), 3000);
    EXPECT_EQ(second_reply_ms(PanelCommand::LampNext), 1000);

    CPanelRecord rec;
    rec.set_count(KeyTable::Fp, 9);
    std::vector<uint8_t> frame = panel_data_frame(rec.data(), rec.size());
    ASSERT_EQ(frame.size(), 2u + 1564 + 4);
    EXPECT_EQ(frame[0], '#');
    EXPECT_EQ(frame[1], '*');
    EXPECT_EQ(frame[2 + 1556], 9);
    EXPECT_EQ(rd32(frame.data() + 2 + 1564), box_crc(rec.data(), rec.size()));
}
