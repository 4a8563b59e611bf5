// Workbooks that spreadsheet programs saved (LibreOffice Calc and Gnumeric,
// .xls and .xlsx; fixtures/make_fixtures.sh): formulas read as the results
// the programs stored, merged and styled cells and empty formatted columns
// add nothing, and each file gives the same grid.
#include "Workbook.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string fixture(const char* name) { return std::string(WORKBOOK_FIXTURES) + "/" + name; }

// A cell as the spreadsheet shows it: "" empty, "#..." text, else a number.
std::string shown(const wb::Cell& c)
{
    switch (c.kind) {
    case wb::CellKind::Empty: return "";
    case wb::CellKind::Text: return "#" + std::string(c.text());
    case wb::CellKind::Bool: return c.number ? "TRUE" : "FALSE";
    case wb::CellKind::Error: return "!" + std::string(c.text());
    default: {
        char b[32];
        std::snprintf(b, sizeof b, "%g", c.number);
        return b;
    }
    }
}

std::vector<std::string> row(const wb::Sheet& s, size_t r, size_t cols)
{
    std::vector<std::string> out;
    for (size_t c = 0; c < cols; ++c)
        out.push_back(shown(s.at(r, c)));
    return out;
}

using Row = std::vector<std::string>;

}  // namespace

TEST(ProgramFiles, FormulasMergedCellsAndFormattedColumns)
{
    for (const char* name : {"libreoffice.xls", "libreoffice.xlsx", "gnumeric.xls", "gnumeric.xlsx"}) {
        SCOPED_TRACE(name);
        wb::Workbook book;
        std::string err;
        ASSERT_TRUE(wb::read_workbook(fixture(name), &book, &err)) << err;
        ASSERT_EQ(3u, book.sheets.size());
        const wb::Sheet* ch = book.find("Sheet1");
        ASSERT_NE(nullptr, ch);
        EXPECT_EQ(6u, ch->row_count()) << "formatted rows below the list hold nothing";
        EXPECT_EQ(17u, ch->col_count()) << "formatted columns to its right hold nothing";
        EXPECT_EQ((Row{"#Channel list", "", "", "#c3", "#c4", "#c5", "#c6", "#Freq", "#Symb", "#Pol", "", "", "",
                       "#Audio", "#c14", "#c15", "#c16"}),
                  row(*ch, 0, 17));
        EXPECT_EQ((Row{"#*Astra 19.2E", "192", "2", "3", "4", "5", "6", "7", "8"}), row(*ch, 2, 9));
        EXPECT_EQ((Row{"#Das Erste", "11", "12", "13", "14", "12.9", "-1.5", "11836", "27500", "#H", "", "", "", "#L",
                       "TRUE", "101", "102"}),
                  row(*ch, 3, 17));
        EXPECT_EQ((Row{"#ZDF", "21", "22", "23", "24", "25", "26", "11836", "27500", "#h"}), row(*ch, 4, 10));
        EXPECT_EQ("#ÖRF 2", shown(ch->at(5, 0)));

        const wb::Sheet* sys = book.find("Sys_Config");
        ASSERT_NE(nullptr, sys);
        EXPECT_EQ((Row{"#mode", "1"}), row(*sys, 2, 2));
        EXPECT_EQ((Row{"#word", "17185", "0", "65535", "#a word"}), row(*sys, 3, 5));
        EXPECT_EQ((Row{"#name", "#Café"}), row(*sys, 4, 2));
        const wb::Sheet* ir = book.find("IR_FP_Key");
        ASSERT_NE(nullptr, ir);
        EXPECT_EQ((Row{"#k1", "32"}), row(*ir, 3, 2));
        EXPECT_EQ((Row{"#k3", "65"}), row(*ir, 6, 2));
        EXPECT_EQ(2u, ir->col_count()) << "a merged range without values adds no cells";
    }
}
