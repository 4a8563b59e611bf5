// corvane-cli fir show / set / export on sample images.
#include "FirPageFiles.h"
#include "FirSampleImages.h"
#include "PanelLearning.h"
#include "PanelStart.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

using namespace fir;
using namespace firtest;

namespace {

int cli(const std::string& args, std::string* out = nullptr)
{
    const std::string capture = scratch().file("cli.out");
    int rc = std::system((std::string(CORVANE_CLI) + " fir " + args + " > '" + capture + "' 2>&1").c_str());
    if (out) {
        std::vector<uint8_t> b = slurp(capture);
        out->assign(b.begin(), b.end());
    }
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// A value from the JSON of `fir show`, read by Python's own parser.
std::string json_value(const std::string& json_file, const std::string& expr)
{
    std::string out;
    testsupport::run_python(
        scratch(),
        "import json\nd = json.load(open('" + json_file + "', encoding='utf-8'))\nprint(" + expr + ", end='')\n", &out);
    return out;
}

}  // namespace

TEST(FirCli, ShowPrintsTheRecordAsJson)
{
    const std::string img = scratch().file("dogwood.bin");
    spit(img, dogwood_image());
    std::string out;
    ASSERT_EQ(cli("show --platform dogwood '" + img + "'", &out), 0) << out;
    const std::string json = scratch().file("show.json");
    spit(json, std::vector<uint8_t>(out.begin(), out.end()));
    EXPECT_EQ(json_value(json, "d['platform']"), "dogwood");
    EXPECT_EQ(json_value(json, "d['keys']['ir1']['user_code']"), "0x0102");
    EXPECT_EQ(json_value(json, "d['keys']['ir2']['keys'][2]['code']"), "56");
    EXPECT_EQ(json_value(json, "d['keys']['fp']['keys'][1]['name']"), "KEY_1");
    EXPECT_EQ(json_value(json, "len(d['led_map'])"), "512");
    EXPECT_EQ(json_value(json, "d['front_panel']['clock_pos']"), std::to_string((0x40 + 24) >> 2));
    EXPECT_EQ(json_value(json, "'tuner_clock_out' in d['hardware']"), "True");

    EXPECT_EQ(cli("show --platform oak '" + img + "'"), 2);
    EXPECT_EQ(cli("show --platform base '" + img + "'"), 4);  // no script where the base platform keeps it
}

TEST(FirCli, SetWritesFilesAndFieldsBack)
{
    const std::string img = scratch().file("base.bin");
    const std::string out = scratch().file("base-new.bin");
    spit(img, base_image());
    const std::string keys = scratch().file("remote.ir1");
    write_page_file(keys, key_file_record(PageFile::Ir1, Platform::Base, {0x21, 0x22}, 0x5566));
    std::string text;
    ASSERT_EQ(cli("set --platform base '" + img + "' -o '" + out + "' --ir1 '" + keys +
                      "' --set clock_pos=12 --set fp_type=1635",
                  &text),
              0)
        << text;
    EXPECT_NE(text.find("Save Data Success!"), std::string::npos);
    std::vector<uint8_t> b = slurp(out);
    const size_t ir1 = 0x100 + 0x1000, cfg = 0x100 + 0x1400;
    EXPECT_EQ(b[ir1], 0x21);
    EXPECT_EQ(b[ir1 + 1], 0x22);
    EXPECT_EQ(b[ir1 + 2], uint8_t(1 + 6));  // beyond the file's count: as it was
    EXPECT_EQ(b[ir1 + 60], 0x55);
    EXPECT_EQ(b[ir1 + 61], 0x66);
    EXPECT_EQ(b[cfg + 8] >> 2, 12);
    EXPECT_EQ(b[cfg], 1);

    EXPECT_EQ(cli("set --platform base '" + img + "' -o '" + out + "' --set clock_pos=64"), 2);
    write_page_file(keys, key_file_record(PageFile::Ir1, Platform::Dogwood, {1}, 0));
    EXPECT_EQ(cli("set --platform base '" + img + "' -o '" + out + "' --ir1 '" + keys + "'", &text), 4);
    EXPECT_NE(text.find("does not fit this platform"), std::string::npos);
}

TEST(FirCli, ExportWritesOnePageFile)
{
    const std::string img = scratch().file("alder.bin");
    spit(img, alder_image());
    const std::string fp = scratch().file("alder.fp"), led = scratch().file("alder.led");
    ASSERT_EQ(cli("export --platform alder '" + img + "' --fpkey '" + fp + "'"), 0);
    std::vector<uint8_t> b = slurp(fp);
    ASSERT_EQ(b.size(), 1564u);
    EXPECT_EQ(b[1488], 30);  // first front-panel key
    EXPECT_EQ(b[1556], 3);  // its count
    EXPECT_EQ(b[0x40], 0);  // nothing of the configuration
    ASSERT_EQ(cli("export --platform alder '" + img + "' --led '" + led + "'"), 0);
    b = slurp(led);
    EXPECT_EQ(b[32], 0x40 + 96);
    EXPECT_EQ(b[288], 0);
    EXPECT_EQ(cli("export --platform alder '" + img + "'"), 2);
}

// What a panel command starts from, and how its exchange's end counts.
TEST(PanelStart, PlatformRecordAndOutcomeKinds)
{
    PanelStart s;
    std::string message;
    EXPECT_EQ(load_panel_start("oak", "", &s, &message), JobErrorKind::Usage);
    EXPECT_EQ(message, "Unknown platform \"oak\": base, alder or dogwood");
    EXPECT_EQ(load_panel_start("alder", scratch().file("missing.bin"), &s, &message), JobErrorKind::Input);
    ASSERT_EQ(load_panel_start("dogwood", "", &s, &message), JobErrorKind::None);
    EXPECT_EQ(s.platform, Platform::Dogwood);
    EXPECT_EQ(s.record.size(), CPanelRecord::ForPlatform(Platform::Dogwood).size());
    EXPECT_EQ(panel_error_kind({PanelOutcome::Cancelled, ""}), JobErrorKind::Cancelled);
    EXPECT_EQ(panel_error_kind({PanelOutcome::NoBox, ""}), JobErrorKind::NoBox);
    EXPECT_EQ(panel_error_kind({PanelOutcome::Refused, ""}), JobErrorKind::Failed);
}

// Keys go into their rows; the last row ends the acquisition; the file
// written counts every row learnt.
TEST(PanelLearning, KeysFillTheirRowsUpToTheEnd)
{
    CPanelRecord rec = CPanelRecord::ForPlatform(Platform::Base);
    CPanelSession session(nullptr, nullptr);
    session.keys.getting = true;
    const std::vector<std::string> names = {"POWER", "OK", "MENU"};
    KeyLearner l{KeyTable::Ir1, 1, 3, &rec, &names, &session};
    EXPECT_EQ(l.prompt(), "Press the key for row 1 (OK)");
    EXPECT_EQ(l.take({KeyTable::Ir1, 1, 0x1234, 0x45}), "Press the key for row 2 (MENU)");
    EXPECT_TRUE(session.keys.getting);
    EXPECT_EQ(l.take({KeyTable::Ir1, 2, 0x1234, 0x46}), "");
    EXPECT_FALSE(session.keys.getting);
    EXPECT_EQ(rec.key_code(KeyTable::Ir1, 2), 0x46);
    EXPECT_EQ(rec.user_code(KeyTable::Ir1), 0x1234);
    const std::string path = scratch().file("learnt.ir1");
    ASSERT_TRUE(l.write(PageFile::Ir1, Platform::Base, path).ok);
    EXPECT_GE(rec.count(KeyTable::Ir1), 3);
    CPanelRecord back;
    ASSERT_TRUE(read_page_file(path, PageFile::Ir1, Platform::Base, &back).ok);
    EXPECT_EQ(back.key_code(KeyTable::Ir1, 2), 0x46);
}
