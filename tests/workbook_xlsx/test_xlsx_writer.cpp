#include "Workbook.h"
#include "XlsxTestUtil.h"
#include "XlsxWriter.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace wb;

TEST(XlsxWriter, PaletteIndexSixIsYellow)
{
    EXPECT_EQ(0xFFFF00u, palette_rgb(6));
    EXPECT_EQ(0x000000u, palette_rgb(1));
    EXPECT_EQ(0x333333u, palette_rgb(56));
    EXPECT_EQ(0u, palette_rgb(0));
    EXPECT_EQ(0u, palette_rgb(57));
}

TEST(XlsxWriter, CleanTextKeepsWellFormedUtf8AndReplacesTheRest)
{
    const std::string good = "a\tb\n\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    EXPECT_EQ(xlsx_clean_text(good), good);
    const std::string bad = "\xEF\xBF\xBD";
    EXPECT_EQ(xlsx_clean_text("x\x01y"), "x" + bad + "y");  // a control character
    EXPECT_EQ(xlsx_clean_text("\xC0\xAFz"), bad + "z");  // an overlong form
    EXPECT_EQ(xlsx_clean_text("\xED\xA0\x80"), bad);  // a surrogate
    EXPECT_EQ(xlsx_clean_text("\x80q\xE2\x82"), bad + "q" + bad);  // a stray and a cut sequence
    EXPECT_EQ(xlsx_clean_text(std::string(40000, 'a')).size(), 32767u);  // the most a cell holds
}

TEST(XlsxWriter, SheetNamesAreCheckedAndManaged)
{
    XlsxBook book;
    EXPECT_NE(nullptr, book.add_sheet("Sheet1"));
    EXPECT_EQ(nullptr, book.add_sheet("sheet1"));  // taken, case aside
    EXPECT_EQ(nullptr, book.add_sheet(""));
    EXPECT_EQ(nullptr, book.add_sheet("a/b"));
    EXPECT_EQ(nullptr, book.add_sheet(std::string(32, 'x')));
    EXPECT_NE(nullptr, book.add_sheet("Sheet2"));
    EXPECT_TRUE(book.rename_sheet("Sheet1", "IR_FP_Key"));
    EXPECT_FALSE(book.rename_sheet("Sheet2", "ir_fp_key"));
    EXPECT_TRUE(book.remove_sheet("SHEET2"));
    EXPECT_FALSE(book.remove_sheet("Sheet2"));
    ASSERT_EQ(1u, book.sheets.size());
    EXPECT_EQ("IR_FP_Key", book.sheets[0].name);
}

TEST(XlsxWriter, OpenpyxlReadsValuesFillsAndFormats)
{
    xt::ScratchDir dir;
    XlsxBook book;
    XlsxSheet* a = book.add_sheet("Program");
    XlsxSheet* b = book.add_sheet("Sys_Config");
    ASSERT_TRUE(a && b);
    b = book.find("Sys_Config");
    b->set_text(0, 0, "*main");
    b->fill_range(0, 0, 3, 6);  // over empty columns as well
    b->set_number(1, 1, 9007199254740993.0);
    b->set_number(2, 1, 13.25, "0.00");
    b->set_text(3, 0, "Grüße");
    b->set_text(4, 0, std::string("bad\xff\x01text"));
    b->set_text(701, 701, "ZZ702");
    a = book.find("Program");
    a->set_number(0, 0, 12);
    std::string path = dir.file("out.xlsx");
    std::string err;
    ASSERT_TRUE(write_xlsx_file(path, book, &err)) << err;
    struct stat st {};
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_NE(0u, st.st_mode & S_IRGRP) << "written with the usual permissions";

    std::string out;
    ASSERT_EQ(0, xt::run_python(dir, R"(
import openpyxl
wb = openpyxl.load_workbook(")" + path + R"(")
print(",".join(wb.sheetnames))
ws = wb["Sys_Config"]
for ref in ["A1", "B1", "D1", "E1", "A2"]:
    c = ws[ref]
    print(ref, c.fill.fill_type, c.fill.fgColor.rgb if c.fill.fill_type else "-")
print(repr(ws["A1"].value), ws["B3"].value, ws["B3"].number_format, ws["A4"].value, repr(ws["A5"].value), ws["ZZ702"].value)
print(wb["Program"]["A1"].value)
)",
                                &out))
        << out;
    EXPECT_NE(out.find("Program,Sys_Config\n"), std::string::npos) << out;
    EXPECT_NE(out.find("A1 solid FFFFFF00"), std::string::npos) << out;
    EXPECT_NE(out.find("D1 solid FFFFFF00"), std::string::npos) << out;
    EXPECT_NE(out.find("E1 None -"), std::string::npos) << out;
    EXPECT_NE(out.find("A2 None -"), std::string::npos) << out;
    EXPECT_NE(out.find("'*main' 13.25 0.00 Grüße 'bad\xef\xbf\xbd\xef\xbf\xbdtext' ZZ702"), std::string::npos) << out;
    EXPECT_NE(out.find("\n12\n"), std::string::npos) << out;

    // And our own reader sees the same grid.
    Workbook back;
    ASSERT_TRUE(read_workbook(path, &back, &err)) << err;
    const Sheet* s = back.find("Sys_Config");
    ASSERT_NE(nullptr, s);
    EXPECT_EQ("*main", s->at(0, 0).text());
    EXPECT_EQ(13.25, s->at(2, 1).number);
    EXPECT_EQ("ZZ702", s->at(701, 701).text());
}

TEST(XlsxWriter, FailedWriteLeavesNoFile)
{
    XlsxBook book;
    std::string err;
    EXPECT_FALSE(write_xlsx_file("/tmp/none.xlsx", book, &err));  // no sheets
    book.add_sheet("S");
    EXPECT_FALSE(write_xlsx_file("/nonexistent-dir/x.xlsx", book, &err));
    EXPECT_FALSE(err.empty());
    book.sheets[0].set_text(1048576, 0, "too far");
    xt::ScratchDir dir;
    EXPECT_FALSE(write_xlsx_file(dir.file("big.xlsx"), book, &err));
    struct stat st {};
    EXPECT_NE(0, stat(dir.file("big.xlsx").c_str(), &st));
}
