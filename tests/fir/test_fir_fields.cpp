// The "Front Panel" and "HW Info" pages against the configuration bytes, the
// page files and the language list.
#include "FirFields.h"
#include "FirLanguages.h"
#include "FirNamedFields.h"
#include "FirPageFiles.h"
#include "FirTestImage.h"

#include <gtest/gtest.h>

using namespace fir;

namespace {

testsupport::ScratchDir& scratch()
{
    static testsupport::ScratchDir dir("corvane-fir-fields");
    return dir;
}

FrontPanelFields sample_panel()
{
    FrontPanelFields f;
    f.fp_type = 0;
    f.com_num = 4;
    f.scan_type = 1;
    f.lbd_type = 1;
    f.clock_level = 1;
    f.data_level = 0;
    f.scan0_level = 1;
    f.lock_lamp_level = 1;
    f.power_lamp_level = 0;
    f.scan0_pos = "5";
    f.clock_pos = "6";
    f.data_pos = "7";
    f.lock_lamp_pos = "8";
    f.power_lamp_pos = "63";
    f.colon_pos = "2";
    f.digit_positions = "1234";
    return f;
}

}  // namespace

TEST(FirFrontPanel, FieldsLandInTheirBitsAndOtherBitsStay)
{
    std::vector<uint8_t> cfg(464, 0xFF);
    cfg[4] = 0x00;
    ASSERT_TRUE(gather_front_panel(sample_panel(), Platform::Base, cfg.data()).ok);
    EXPECT_EQ(cfg[0], 0);
    EXPECT_EQ(cfg[4], 0x01 | 0x10 | 0x60);
    EXPECT_EQ(cfg[5], 0xF4);
    EXPECT_EQ(cfg[6], 0xFF);  // no display kind on the base platform
    EXPECT_EQ(cfg[8], 6 << 2 | 0x02 | 1);
    EXPECT_EQ(cfg[9], 7 << 2 | 0x02);
    EXPECT_EQ(cfg[10], 5 << 2 | 0x03);
    EXPECT_EQ(cfg[20], 8 << 2 | 0x03);
    EXPECT_EQ(cfg[21], 63 << 2 | 0x02);
    EXPECT_EQ(cfg[22], 2 << 2 | 0x03);
    EXPECT_EQ(cfg[16], 0xFF);

    FrontPanelFields back = fill_front_panel(cfg.data(), Platform::Base);
    EXPECT_EQ(back.clock_pos, "6");
    EXPECT_EQ(back.power_lamp_pos, "63");
    EXPECT_EQ(back.scan_type, 1);
    EXPECT_EQ(back.com_num, 4);
}

TEST(FirFrontPanel, BadNumberStopsAfterTheEarlierFields)
{
    std::vector<uint8_t> cfg(464, 0);
    FrontPanelFields f = sample_panel();
    f.clock_pos = "1x";
    FirResult res = gather_front_panel(f, Platform::Base, cfg.data());
    EXPECT_FALSE(res.ok);
    EXPECT_EQ(res.message, "The 'fclock pos' value is not valid!");
    EXPECT_EQ(cfg[4], 0x71);  // types stored
    EXPECT_EQ(cfg[8], 1);  // level stored, position not
    EXPECT_EQ(cfg[10], 5 << 2 | 1);  // the scan position before it stored
    EXPECT_EQ(cfg[9], 0);  // the data position after it not

    f = sample_panel();
    f.scan0_pos = "";
    EXPECT_EQ(gather_front_panel(f, Platform::Base, cfg.data()).message, "The 'scan_0 pos' value is not valid!");
    f = sample_panel();
    f.power_lamp_pos = "64";
    cfg[21] = 0x01;
    FirResult wide = gather_front_panel(f, Platform::Base, cfg.data());
    EXPECT_EQ(wide.message, "The 'lbd_1 pos' value is out of range (0 to 63)!");
    EXPECT_EQ(cfg[21], 0x00);  // only its level bit was stored
    f = sample_panel();
    f.colon_pos = "two";
    EXPECT_EQ(gather_front_panel(f, Platform::Base, cfg.data()).message, "The 'colon pos' value is not valid!");
}

TEST(FirFrontPanel, AlderAndDogwoodStoreDisplayKindAndDigitPositions)
{
    for (Platform p : {Platform::Alder, Platform::Dogwood}) {
        std::vector<uint8_t> cfg(traits(p).config_size, 0x01);
        FrontPanelFields f = sample_panel();
        f.fp_type = 2;
        f.com_num = 3;
        f.digit_positions = "312";
        ASSERT_TRUE(gather_front_panel(f, p, cfg.data()).ok);
        EXPECT_EQ(cfg[0], 1);
        EXPECT_EQ(cfg[4], 0x11);
        EXPECT_EQ(cfg[6], 8);
        EXPECT_EQ(cfg[16], 2 << 2 | 1);
        EXPECT_EQ(cfg[17], 0 << 2 | 1);
        EXPECT_EQ(cfg[18], 1 << 2 | 1);
        EXPECT_EQ(cfg[19], 1);
        FrontPanelFields back = fill_front_panel(cfg.data(), p);
        EXPECT_EQ(back.fp_type, 2);
        EXPECT_EQ(back.digit_positions, "312");
        EXPECT_EQ(back.digit_mode, 1);

        f.digit_positions = "35";
        EXPECT_EQ(gather_front_panel(f, p, cfg.data()).message, "The digit positions are not valid!");
    }
}

TEST(FirHardware, BaseAndDogwoodLayouts)
{
    const std::vector<std::string> captions = language_captions({});
    HardwareFields h;
    h.video_mode = 2;
    h.spdif = true;
    h.lnb_load = false;
    h.scart = true;
    h.tv_av = "1";
    h.tv_mode = "2";
    h.tv_ratio = "255";
    h.sog = 1;
    h.power_off_disp = 2;
    h.standby_mode = 1;
    h.languages = {1, 1, 0, 2, 0, 0, 0, 0, 1, 1, 0, 0, 2};
    h.default_language_list = {"Chinese", "English", "Turkish"};
    h.default_language = "Turkish";
    h.loop_through = 1;
    h.biss = 1;
    h.lnb = 1;
    h.tv_system = 1;
    h.video_resolution = 2;
    h.tuner_clock_out = 1;

    std::vector<uint8_t> base(464, 0xEE);
    ASSERT_TRUE(gather_hardware(h, Platform::Base, captions, base.data()).ok);
    EXPECT_EQ(firtest::rd32(&base[292]), 2u);
    EXPECT_EQ(firtest::rd32(&base[296]), 0u);
    EXPECT_EQ(firtest::rd32(&base[300]), 1u);
    EXPECT_EQ(firtest::rd32(&base[304]), 1u);
    EXPECT_EQ(base[310], 255);
    EXPECT_EQ(firtest::rd32(&base[312]), 0u);
    EXPECT_EQ(firtest::rd32(&base[320]), 2u);
    EXPECT_EQ(base[328], 2);  // a disabled box
    EXPECT_EQ(base[333], 1);
    EXPECT_EQ(base[334], 8);  // Turkish is the ninth name
    EXPECT_EQ(base[335], 1);
    EXPECT_EQ(base[462], 1);
    EXPECT_EQ(base[336], 0xEE);  // bytes the page does not name stay

    std::vector<uint8_t> dg(480, 0);
    ASSERT_TRUE(gather_hardware(h, Platform::Dogwood, captions, dg.data()).ok);
    EXPECT_EQ(dg[334], 1);  // German
    EXPECT_EQ(dg[337], 2);  // Polish disabled
    EXPECT_EQ(dg[338], 8);  // Turkish's fixed code
    EXPECT_EQ(dg[339], 1);
    EXPECT_EQ(dg[466], 1);
    EXPECT_EQ(dg[467], 1);
    EXPECT_EQ(firtest::rd32(&dg[468]), 3u);  // NTSC 1080i
    EXPECT_EQ(firtest::rd32(&dg[472]), 1u);
    EXPECT_EQ(dg[476], 1);

    // Filling keeps the stored default language chosen, not the first offered.
    HardwareFields back = fill_hardware(dg.data(), Platform::Dogwood, captions);
    EXPECT_EQ(back.default_language_list, (std::vector<std::string>{"Chinese", "English", "Turkish", "German"}));
    EXPECT_EQ(back.default_language, "Turkish");
    EXPECT_EQ(back.video_resolution, 2);
    EXPECT_EQ(back.languages, h.languages);
    EXPECT_EQ(fill_hardware(base.data(), Platform::Base, captions).default_language, "Turkish");
}

TEST(FirHardware, NumberChecksAndDefaultLanguage)
{
    const std::vector<std::string> captions = language_captions({});
    std::vector<uint8_t> cfg(464, 0);
    HardwareFields h;
    h.tv_mode = "abc";
    EXPECT_EQ(gather_hardware(h, Platform::Base, captions, cfg.data()).message, "The 'TV_MODE' value is not valid!");
    h.tv_mode = "1";
    h.tv_ratio = "256";
    EXPECT_FALSE(gather_hardware(h, Platform::Base, captions, cfg.data()).ok);
    h.tv_ratio = "3";
    h.default_language_list = {"English"};
    EXPECT_EQ(gather_hardware(h, Platform::Base, captions, cfg.data()).message, "Please set default language!");
    h.default_language_list.clear();
    cfg[334] = 7;
    EXPECT_TRUE(gather_hardware(h, Platform::Base, captions, cfg.data()).ok);
    EXPECT_EQ(cfg[334], 7);  // nothing stored without a list
}

TEST(FirHardware, DogwoodResolutionTable)
{
    // PAL and AUTO store the position; NTSC 480P, 720P, 1080i, 1080P as 0, 1, 3, 4.
    for (int pos = 0; pos < 4; ++pos) {
        EXPECT_EQ(resolution_code(0, pos), uint32_t(pos));
        EXPECT_EQ(resolution_code(2, pos), uint32_t(pos));
        EXPECT_EQ(resolution_position(1, resolution_code(1, pos)), pos);
    }
    EXPECT_EQ(resolution_code(1, 3), 4u);
    EXPECT_EQ(resolution_position(1, 2), 1);  // 720P as some images hold it
    EXPECT_EQ(resolution_position(0, 9), 0);
}

TEST(FirLanguages, ConfigBirchXml)
{
    std::vector<std::string> names;
    EXPECT_EQ(read_language_list(scratch().file("absent.xml"), &names), LanguageFile::Missing);

    auto write = [&](int n) {
        std::string xml = "<?xml version=\"1.0\"?>\n<cfg><langs>";
        for (int i = 0; i < n; ++i)
            xml += "<x" + std::to_string(i) + ">Lang" + std::to_string(i) + "</x" + std::to_string(i) + ">";
        xml += "</langs></cfg>\n";
        std::ofstream(scratch().file("config.birch.xml")) << xml;
        return scratch().file("config.birch.xml");
    };
    ASSERT_EQ(read_language_list(write(8), &names), LanguageFile::Read);
    EXPECT_EQ(names.size(), 8u);
    EXPECT_EQ(language_captions(names)[0], "Chinese");  // fewer than nine keep the captions
    ASSERT_EQ(read_language_list(write(11), &names), LanguageFile::Read);
    std::vector<std::string> captions = language_captions(names);
    EXPECT_EQ(captions[0], "Lang0");
    EXPECT_EQ(captions[8], "Lang8");
    EXPECT_EQ(captions[9], "German");
    EXPECT_EQ(captions.size(), 13u);

    std::ofstream(scratch().file("broken.xml")) << "<cfg><langs>";
    names = {"kept"};
    EXPECT_EQ(read_language_list(scratch().file("broken.xml"), &names), LanguageFile::Missing);
    EXPECT_EQ(names, std::vector<std::string>{"kept"});
}

TEST(FirPageFiles, SizesCountsAndRoundTrip)
{
    EXPECT_EQ(page_file_size(PageFile::Fp, Platform::Base), 1564u);
    EXPECT_EQ(page_file_size(PageFile::Fp, Platform::Alder), 1580u);
    EXPECT_EQ(page_file_size(PageFile::Hw, Platform::Alder), 1564u);
    EXPECT_EQ(page_file_size(PageFile::FpKey, Platform::Alder), 1564u);
    EXPECT_EQ(page_file_size(PageFile::Led, Platform::Dogwood), 1580u);

    const std::string path = scratch().file("keys.fpkey");
    CPanelRecord rec = key_file_record(PageFile::FpKey, Platform::Base, {0x48, 0x08, 0x1FF}, 0);
    EXPECT_EQ(write_page_file(path, rec).message, "Finish to save file!");
    std::vector<uint8_t> bytes = firtest::slurp(path);
    ASSERT_EQ(bytes.size(), 1564u);
    EXPECT_EQ(bytes[1488], 0x48);
    EXPECT_EQ(bytes[1496 + 1], 0x01);  // the whole slot word
    EXPECT_EQ(bytes[1556], 3);  // the count

    CPanelRecord back;
    FirResult ok = read_page_file(path, PageFile::FpKey, Platform::Base, &back);
    EXPECT_EQ(ok.message, "Load done!");
    EXPECT_EQ(back.bytes(), bytes);

    bytes[1556] = 17;
    firtest::spit(path, bytes);
    back.clear();
    FirResult over = read_page_file(path, PageFile::FpKey, Platform::Base, &back);
    EXPECT_EQ(over.message, "The fp num out of range, please select the right file!");
    EXPECT_EQ(back.key_code(KeyTable::Fp, 0), 0);  // nothing taken

    bytes.resize(1580);
    firtest::spit(path, bytes);
    EXPECT_FALSE(read_page_file(path, PageFile::FpKey, Platform::Base, &back).ok);
    EXPECT_EQ(read_page_file(scratch().file("none.ir1"), PageFile::Ir1, Platform::Base, &back).message,
              "Can't open binary file!");
    EXPECT_EQ(write_page_file(scratch().file("no/dir.led"), rec).message, "Can't open binary file!");
}

TEST(FirNamedFields, SetAndDescribeThroughThePages)
{
    const std::vector<std::string> captions = language_captions({});
    CPanelRecord rec = CPanelRecord::ForPlatform(Platform::Dogwood);
    rec.config()[325] = 1;  // Chinese checked
    EXPECT_TRUE(set_named_field(&rec, Platform::Dogwood, captions, "com_num", "3").ok);
    EXPECT_TRUE(set_named_field(&rec, Platform::Dogwood, captions, "digit_positions", "312").ok);
    EXPECT_EQ(rec.config()[16] >> 2, 2);
    EXPECT_TRUE(set_named_field(&rec, Platform::Dogwood, captions, "fp_type", "650D/650G").ok);
    EXPECT_EQ(rec.config()[6], 8);
    EXPECT_TRUE(set_named_field(&rec, Platform::Dogwood, captions, "language.Polish", "checked").ok);
    EXPECT_TRUE(set_named_field(&rec, Platform::Dogwood, captions, "default_language", "Polish").ok);
    EXPECT_EQ(rec.config()[338], 12);
    EXPECT_TRUE(set_named_field(&rec, Platform::Dogwood, captions, "tv_system", "NTSC").ok);
    EXPECT_TRUE(set_named_field(&rec, Platform::Dogwood, captions, "video_resolution", "1080P").ok);
    EXPECT_EQ(firtest::rd32(rec.config() + 468), 4u);

    EXPECT_EQ(set_named_field(&rec, Platform::Dogwood, captions, "clock_pos", "x").message,
              "The 'fclock pos' value is not valid!");
    EXPECT_FALSE(set_named_field(&rec, Platform::Dogwood, captions, "default_language", "French").ok);
    EXPECT_FALSE(set_named_field(&rec, Platform::Dogwood, captions, "no_such_field", "1").ok);
    EXPECT_FALSE(set_named_field(&rec, Platform::Base, captions, "tv_system", "PAL").ok);

    bool found = false;
    for (const FieldValue& v : describe_fields(rec, Platform::Dogwood, false, captions))
        if (v.name == "video_resolution") {
            EXPECT_EQ(v.value, "1080P");
            found = true;
        }
    EXPECT_TRUE(found);
}

// Gathering against what the record shows stores the fields that changed and
// nothing else; the command line stores the field it was told to set, even
// when the record shows that value already.
TEST(FirNamedFields, OnlyTheFieldSetIsStored)
{
    const std::vector<std::string> captions = language_captions({});
    CPanelRecord rec = CPanelRecord::ForPlatform(Platform::Alder);
    for (size_t i = 0; i < rec.config_size(); ++i)
        rec.config()[i] = uint8_t(0xA7 + 5 * i);
    rec.config()[5] = 0x97;  // a digit count beyond the list: shown as 0
    const CPanelRecord before = rec;
    ASSERT_TRUE(set_named_field(&rec, Platform::Alder, captions, "clock_pos", "12").ok);
    std::vector<uint8_t> want = before.bytes();
    want[8] = uint8_t((want[8] & 0x03) | 12 << 2);
    EXPECT_EQ(rec.bytes(), want);

    ASSERT_TRUE(set_named_field(&rec, Platform::Alder, captions, "com_num", "0").ok);
    want[5] = 0x90;
    EXPECT_EQ(rec.bytes(), want);

    // Filled and gathered back unchanged, nothing moves.
    const FrontPanelFields fp = fill_front_panel(rec.config(), Platform::Alder);
    const HardwareFields hw = fill_hardware(rec.config(), Platform::Alder, captions);
    ASSERT_TRUE(gather_front_panel(fp, Platform::Alder, rec.config(), &fp).ok);
    ASSERT_TRUE(gather_hardware(hw, Platform::Alder, captions, rec.config(), &hw).ok);
    EXPECT_EQ(rec.bytes(), want);
}
