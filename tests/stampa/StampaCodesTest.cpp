// Code generation, scanned codes, code files and the platform list.
#include "StampaCodes.h"
#include "StampaPage.h"
#include "StampaPlatform.h"

#include "ScratchDir.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace stampa;

namespace {

std::string repeat(char c, int n) { return std::string(static_cast<size_t>(n), c); }

}  // namespace

TEST(StampaCodes, WorkedExamples)
{
    CodeResult r = next_code("000099999999", 12, 1, Base::Decimal);
    ASSERT_TRUE(r.ok) << r.message;
    EXPECT_EQ(r.code, "000100000000");

    r = next_code("999999", 6, 1, Base::Decimal);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message, "The length of bar code is over 6");

    r = next_code("00ff", 4, 2, Base::Hex);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.code, "0101");

    // Upper-case input comes back in lower case; leading zeros beyond the
    // width do not count against it.
    EXPECT_EQ(next_code("00AF", 4, 1, Base::Hex).code, "00b0");
    EXPECT_EQ(next_code("0000012", 6, 4, Base::Decimal).code, "000016");
    // A code that is no number of its base is refused, never read as 0.
    EXPECT_FALSE(next_code("12a4", 4, 1, Base::Decimal).ok);
    EXPECT_FALSE(next_code("12g4", 4, 1, Base::Hex).ok);
    EXPECT_FALSE(next_code("", 4, 1, Base::Decimal).ok);
}

TEST(StampaCodes, CarriesAcrossEveryGroupBoundary)
{
    for (int w = 11; w <= 32; ++w) {
        for (int k : {8, 16, 24}) {
            if (k >= w)
                continue;
            // ...0 9999 9999 + 1 and ...0 9999 9996 + 4 carry into the next group.
            std::string code = repeat('0', w - k) + repeat('9', k);
            std::string want = repeat('0', w - k - 1) + "1" + repeat('0', k);
            EXPECT_EQ(next_code(code, w, 1, Base::Decimal).code, want) << "width " << w << " boundary " << k;
            code.back() = '6';
            EXPECT_EQ(next_code(code, w, 4, Base::Decimal).code, want) << "width " << w << " boundary " << k;
        }
        // Every digit nine: the result no longer fits.
        EXPECT_FALSE(next_code(repeat('9', w), w, 1, Base::Decimal).ok) << w;
    }
    for (int w = 17; w <= 32; ++w) {
        std::string code = repeat('0', w - 16) + repeat('f', 16);
        EXPECT_EQ(next_code(code, w, 1, Base::Hex).code, repeat('0', w - 17) + "1" + repeat('0', 16)) << w;
    }
    // Sixteen hexadecimal digits never wrap round to zero.
    EXPECT_FALSE(next_code(repeat('f', 16), 16, 1, Base::Hex).ok);
}

TEST(StampaCodes, StartCodeAndScans)
{
    EXPECT_EQ(pad_start_code("123", 6).code, "000123");
    CodeResult r = pad_start_code("1234567", 6);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message, "The number of bar code over 6!!");

    EXPECT_EQ(check_scanned_code("12345", 6, "A"), "Scan bar code error,The length of bar code is not match 6!!!\n\n");
    EXPECT_EQ(check_scanned_code("12345A", 6, "A"), "Scan bar code error,not Decimal number!!!\n\n");
    EXPECT_EQ(check_scanned_code("12345A", 6, "B"), "");
    EXPECT_EQ(check_scanned_code("12345G", 6, "B"), "Scan bar code error,not hexadecimal number!!!\n\n");
    EXPECT_EQ(check_scanned_code("12-45G", 6, "C"), "Scan bar code error,not Only number and character!!!\n\n");
    EXPECT_EQ(check_scanned_code("12-45G", 6, "D"), "");
    EXPECT_EQ(check_scanned_code("123456", 6, "E"), "Configuration error,Only support character A-D!!!\n\n");
}

TEST(StampaCodes, ScanInputNamesTheSettingsItMisses)
{
    testsupport::ScratchDir dir("stampa-keys");
    std::ofstream(dir.file("none.ini")) << "[Stampa]\nProject_Type=Alder\n";
    std::ofstream(dir.file("len.ini")) << "[stampa]\nLenSN =12\n";
    std::ofstream(dir.file("both.ini")) << "[Stampa]\nLenSN =12\nnumsys=E\n";
    StampaSettings none = StampaSettings::load(dir.file("none.ini"));
    EXPECT_EQ(scan_keys_check(none.len_sn, none.num_sys)
                  .rfind("Scan input needs \"LenSN \" and \"NumSys\" in the "
                         "[Stampa] section of corvane.ini",
                         0),
              0u);
    StampaSettings len = StampaSettings::load(dir.file("len.ini"));
    EXPECT_EQ(scan_keys_check(len.len_sn, len.num_sys).rfind("Scan input needs \"NumSys\" in", 0), 0u);
    // A class outside A-D is set: every scan is refused by its own message.
    StampaSettings both = StampaSettings::load(dir.file("both.ini"));
    EXPECT_EQ(scan_keys_check(both.len_sn, both.num_sys), "");
}

TEST(StampaCodes, CodeFileSkipsItsHeading)
{
    testsupport::ScratchDir dir("stampa-codes");
    std::ofstream(dir.file("a.txt")) << "BoxID\r\nA0001\r\nA0002\r\n\r\nA0003";
    std::ofstream(dir.file("b.txt")) << "B0001\nBoxID\n";
    std::vector<std::string> codes;
    std::string msg;
    ASSERT_TRUE(read_code_file(dir.file("a.txt"), &codes, &msg));
    EXPECT_EQ(codes, (std::vector<std::string>{"A0001", "A0002", "A0003"}));
    ASSERT_TRUE(read_code_file(dir.file("b.txt"), &codes, &msg));
    EXPECT_EQ(codes, (std::vector<std::string>{"B0001", "BoxID"}));
    EXPECT_FALSE(read_code_file(dir.file("none.txt"), &codes, &msg));
    EXPECT_EQ(msg, "can not find code file!!");
}

TEST(StampaPlatform, ProjectTypeList)
{
    EXPECT_EQ(parse_project_types(" alder , Cedar,Spruce "), (std::vector<Platform>{Platform::Alder, Platform::Cedar}));
    EXPECT_EQ(parse_project_types(""), (std::vector<Platform>{Platform::Alder, Platform::Birch}));
    EXPECT_EQ(parse_project_types("DOGWOOD,birch"), (std::vector<Platform>{Platform::Dogwood, Platform::Birch}));
}

TEST(StampaPage, CursorAndChecks)
{
    testsupport::ScratchDir dir("stampa-page");
    BurnLog log(dir.file("log.csv"), BurnLog::Format::Plain);
    ASSERT_TRUE(log.append("A0001", true).ok);

    CodeCursor c;
    c.configure(InputType::File, 5, 1, Base::Decimal);
    c.set_codes({"A0001", "A0002"});
    const PlatformInfo& alder = platform_info(Platform::Alder);
    CodeResult r = configure_check(alder, InputType::File, 5, "", c, log);
    ASSERT_TRUE(r.ok) << r.message;
    EXPECT_EQ(c.current(), "A0002");
    EXPECT_EQ(c.advance().message, "reach the end of the code file!");
    EXPECT_EQ(c.current(), "A0002");
    // A code longer than the width is refused in File input.
    EXPECT_EQ(configure_check(alder, InputType::File, 4, "", c, log).message, "The length of bar code is over 4");
    EXPECT_EQ(start_check(alder, InputType::File, 4, "A0002", true, log), "The length of bar code is over 4");

    // Cedar takes widths up to 32.
    const PlatformInfo& cedar = platform_info(Platform::Cedar);
    EXPECT_EQ(configure_check(cedar, InputType::Manual, 33, "1", c, log).message,
              "The number of bar code must under 32!");
    EXPECT_TRUE(configure_check(cedar, InputType::Manual, 32, "1", c, log).ok);
    EXPECT_EQ(c.current(), repeat('0', 31) + "1");

    EXPECT_EQ(start_check(alder, InputType::Manual, 5, "", true, log), "Fill bar code please!");
    EXPECT_EQ(start_check(alder, InputType::Manual, 5, "a0001", true, log), "Repeat Bar code,input again!");
    EXPECT_EQ(start_check(alder, InputType::Manual, 5, "A0001", false, log), "Open COM failed, please reopen! ");
    EXPECT_EQ(start_check(alder, InputType::Auto, 5, "A0003", true, log), "");

    // "Start" takes the controls as they are: File input follows the list
    // from the code shown, Auto pads it to the width.
    CodeCursor s;
    s.configure(InputType::Auto, 6, 1, Base::Decimal);
    s.set_codes({"500001", "700001"});
    s.set_current("500001");
    ASSERT_TRUE(s.start(InputType::File, 6, 1, Base::Decimal).ok);
    EXPECT_EQ(s.advance().code, "700001");
    s.set_current("600001");
    EXPECT_EQ(s.start(InputType::File, 6, 1, Base::Decimal).message, "The bar code 600001 is not in the code file!");
    s.set_current("42");
    EXPECT_EQ(s.start(InputType::Auto, 6, 1, Base::Decimal).code, "000042");
    EXPECT_EQ(s.advance().code, "000043");
}
