#include "Workbook.h"
#include "XlsxTestUtil.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

using namespace wb;

TEST(XlsxReader, ReadsWhatOpenpyxlWrites)
{
    xt::ScratchDir dir;
    std::string path = dir.file("in.xlsx");
    std::string log;
    ASSERT_EQ(0, xt::run_python(dir, R"(
import openpyxl
wb = openpyxl.Workbook()
ws = wb.active
ws.title = "Sys_Config"
ws["A1"] = "Name"
ws["B1"] = 42
ws["C1"] = -3.5
ws["D1"] = True
ws["A2"] = "*block"
ws["AA3"] = "far"
ws["B5"] = "Grüße \u6c49"
ws["A6"] = 12
ws["B6"] = "12"
second = wb.create_sheet("Program")
second["ZZ2"] = 7
wb.create_sheet("Empty")
wb.save(")" + path + R"(")
)",
                                &log))
        << log;

    Workbook book;
    std::string err;
    ASSERT_TRUE(read_workbook(path, &book, &err)) << err;
    ASSERT_EQ(3u, book.sheets.size());
    const Sheet* s = book.find("sys_config");
    ASSERT_NE(nullptr, s);
    EXPECT_EQ(CellKind::Text, s->at(0, 0).kind);
    EXPECT_EQ("Name", s->at(0, 0).text());
    EXPECT_EQ(CellKind::Number, s->at(0, 1).kind);
    EXPECT_EQ(42.0, s->at(0, 1).number);
    EXPECT_EQ(-3.5, s->at(0, 2).number);
    EXPECT_EQ(CellKind::Bool, s->at(0, 3).kind);
    EXPECT_EQ(1.0, s->at(0, 3).number);
    EXPECT_EQ("*block", s->at(1, 0).text());
    EXPECT_EQ("far", s->at(2, 26).text());
    EXPECT_EQ(CellKind::Empty, s->at(2, 25).kind);
    EXPECT_EQ("Grüße \xe6\xb1\x89", s->at(4, 1).text());
    EXPECT_EQ(CellKind::Number, s->at(5, 0).kind);
    EXPECT_EQ(CellKind::Text, s->at(5, 1).kind);
    EXPECT_EQ(6u, s->row_count());

    const Sheet* p = book.find("Program");
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(7.0, p->at(1, 701).number);  // ZZ2
    EXPECT_EQ(702u, p->col_count());
    const Sheet* e = book.find("Empty");
    ASSERT_NE(nullptr, e);
    EXPECT_EQ(0u, e->row_count());
}

TEST(XlsxReader, InlineStringsAndCellsWithoutReferences)
{
    // A minimal package as some producers write it: inline strings, prefixed
    // element names, cells without "r" attributes.
    xt::ScratchDir dir;
    std::string path = dir.file("inline.xlsx");
    std::string log;
    ASSERT_EQ(0, xt::run_python(dir, R"(
import zipfile
z = zipfile.ZipFile(")" + path + R"(", "w")
z.writestr("[Content_Types].xml", "<Types/>")
z.writestr("xl/workbook.xml", '<x:workbook xmlns:x="http://schemas.openxmlformats.org/spreadsheetml/2006/main" xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships"><x:sheets><x:sheet name="S" sheetId="1" r:id="rId9"/></x:sheets></x:workbook>')
z.writestr("xl/sharedStrings.xml", '<sst><si><r><t>rich </t></r><r><rPr/><t>text</t></r><rPh><t>x</t></rPh></si></sst>')
z.writestr("xl/_rels/workbook.xml.rels", '<Relationships><Relationship Id="rId9" Target="/xl/worksheets/other.xml"/></Relationships>')
z.writestr("xl/worksheets/other.xml", '<x:worksheet xmlns:x="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><x:sheetData><x:row><x:c t="inlineStr"><x:is><x:t>a_x000D_b</x:t></x:is></x:c><x:c><x:v>5</x:v></x:c></x:row><x:row r="4"><x:c r="C4" t="str"><x:f>1+1</x:f><x:v>2</x:v></x:c><x:c t="e"><x:v>#N/A</x:v></x:c><x:c t="s"><x:v>0</x:v></x:c></x:row></x:sheetData></x:worksheet>')
z.close()
)",
                                &log))
        << log;
    Workbook book;
    std::string err;
    ASSERT_TRUE(read_workbook(path, &book, &err)) << err;
    ASSERT_EQ(1u, book.sheets.size());
    const Sheet& s = book.sheets[0];
    EXPECT_EQ("a\rb", s.at(0, 0).text());
    EXPECT_EQ(5.0, s.at(0, 1).number);
    EXPECT_EQ("2", s.at(3, 2).text());
    EXPECT_EQ(CellKind::Error, s.at(3, 3).kind);
    EXPECT_EQ("rich text", s.at(3, 4).text());
}

TEST(XlsxReader, DamagedFilesGiveMessagesNotCrashes)
{
    xt::ScratchDir dir;
    std::string path = dir.file("good.xlsx");
    std::string log;
    ASSERT_EQ(0, xt::run_python(dir,
                                R"(
import openpyxl, zipfile
wb = openpyxl.Workbook()
wb.active["A1"] = "x"
wb.active["B2"] = 3
wb.save(")" + path + R"(")
def variant(name, replace):
    src = zipfile.ZipFile(")" + path +
                                    R"(")
    dst = zipfile.ZipFile(")" + dir.path() +
                                    R"(/" + name, "w")
    for i in src.infolist():
        data = src.read(i.filename)
        if i.filename in replace:
            if replace[i.filename] is None: continue
            data = replace[i.filename]
        dst.writestr(i.filename, data)
    dst.close()
variant("noworkbook.xlsx", {"xl/workbook.xml": None})
variant("badxml.xlsx", {"xl/worksheets/sheet1.xml": b"<worksheet><sheetData><row>"})
variant("badref.xlsx", {"xl/worksheets/sheet1.xml": b'<worksheet><sheetData><row r="1"><c r="AAAA1"><v>1</v></c></row></sheetData></worksheet>'})
variant("badshared.xlsx", {"xl/worksheets/sheet1.xml": b'<worksheet><sheetData><row r="1"><c r="A1" t="s"><v>99</v></c></row></sheetData></worksheet>'})
variant("farright.xlsx", {"xl/worksheets/sheet1.xml": b'<worksheet><sheetData>' + b''.join(b'<row r="%d"><c r="XFD%d"><v>1</v></c></row>' % (i, i) for i in range(1, 1000)) + b'</sheetData></worksheet>'})
variant("nocache.xlsx", {"xl/worksheets/sheet1.xml": b'<worksheet><sheetData><row r="1"><c r="A1"><v>1</v></c><c r="C1"><f>A1*2</f></c></row></sheetData></worksheet>'})
variant("doctype.xlsx", {"xl/worksheets/sheet1.xml": b'<!DOCTYPE w [<!ENTITY a "aaaaaaaa">]><worksheet><sheetData><row r="1"><c r="A1" t="str"><v>&a;</v></c></row></sheetData></worksheet>'})
variant("hugerow.xlsx", {"xl/worksheets/sheet1.xml": b'<worksheet><sheetData><row r="99999999"><c><v>1</v></c></row></sheetData></worksheet>'})
)",
                                &log))
        << log;

    Workbook book;
    std::string err;
    std::vector<char> good = xt::slurp(path);
    ASSERT_TRUE(read_workbook_memory(good.data(), good.size(), &book, &err)) << err;

    for (const char* name : {"noworkbook.xlsx", "badxml.xlsx", "badref.xlsx", "badshared.xlsx", "hugerow.xlsx",
                             "nocache.xlsx", "doctype.xlsx"}) {
        err.clear();
        EXPECT_FALSE(read_workbook(dir.file(name), &book, &err)) << name;
        EXPECT_FALSE(err.empty()) << name;
    }
    EXPECT_FALSE(read_workbook(dir.file("nocache.xlsx"), &book, &err));
    EXPECT_NE(err.find("formula without a stored result in cell C1"), std::string::npos) << err;
    // Cells far to the right cost what they hold, not the columns before them.
    ASSERT_TRUE(read_workbook(dir.file("farright.xlsx"), &book, &err)) << err;
    EXPECT_EQ(book.sheets[0].row_count(), 999u);
    EXPECT_EQ(book.sheets[0].col_count(), 16384u);
    EXPECT_EQ(book.sheets[0].rows[998].size(), 1u);
    EXPECT_EQ(book.sheets[0].at(998, 16383).number, 1.0);
    // Every truncation of a good file is refused or read, never a crash.
    for (size_t n = 0; n < good.size(); n += 97) {
        Workbook b;
        read_workbook_memory(good.data(), n, &b, &err);
    }
    // A zip header followed by noise.
    std::string noise = "PK\x03\x04";
    noise.append(300, '\x7f');
    EXPECT_FALSE(read_workbook_memory(noise.data(), noise.size(), &book, &err));
    EXPECT_FALSE(read_workbook(dir.file("missing.xlsx"), &book, &err));
}
