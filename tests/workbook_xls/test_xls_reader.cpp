// The BIFF8 reader against files of an independent writer (python3-xlwt,
// cross-checked with python3-xlrd), hand-made records, and damaged files.
#include "Workbook.h"
#include "XlsBuilder.h"
#include "YExcel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

namespace fs = std::filesystem;
using namespace xlsb;

namespace {

fs::path temp_dir()
{
    static fs::path dir = [] {
        fs::path d = fs::temp_directory_path() / ("corvane-xls-" + std::to_string(::getpid()));
        fs::create_directories(d);
        static struct Cleanup {
            fs::path dir;
            ~Cleanup()
            {
                std::error_code ec;
                fs::remove_all(dir, ec);
            }
        } cleanup{d};
        return d;
    }();
    return dir;
}

// Runs the python fixture writer; returns the path of the written .xls.
fs::path fixture(const std::string& kind, fs::path* dump = nullptr)
{
    fs::path out = temp_dir() / (kind + ".xls");
    fs::path txt = temp_dir() / (kind + ".txt");
    std::string cmd =
        "/usr/bin/python3 " XLS_FIXTURE_SCRIPT " " + kind + " '" + out.string() + "' '" + txt.string() + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    if (dump)
        *dump = txt;
    return out;
}

std::string unhex(const std::string& h)
{
    std::string s;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        s.push_back(char(std::stoi(h.substr(i, 2), nullptr, 16)));
    return s;
}

bool load(const Bytes& file, wb::Workbook* out, std::string* err)
{
    return wb::read_workbook_memory(file.data(), file.size(), out, err);
}

// Every cell xlrd saw must be in our grid with the same kind and value, and
// nothing more.
void compare_with_xlrd(const fs::path& xls, const fs::path& dump)
{
    wb::Workbook book;
    std::string err;
    ASSERT_TRUE(wb::read_workbook(xls.string(), &book, &err)) << err;
    std::ifstream in(dump);
    std::string line;
    size_t checked = 0;
    std::map<size_t, size_t> expected_cells;
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        std::vector<std::string> f;
        std::string part;
        while (std::getline(ls, part, '\t'))
            f.push_back(part);
        if (f[0] == "S") {
            size_t si = std::stoul(f[1]);
            ASSERT_LT(si, book.sheets.size());
            EXPECT_EQ(book.sheets[si].name, unhex(f[2]));
            EXPECT_EQ(book.sheets[si].row_count(), std::stoul(f[3]));
            EXPECT_EQ(book.sheets[si].col_count(), std::stoul(f[4]));
            continue;
        }
        size_t si = std::stoul(f[0]), r = std::stoul(f[1]), c = std::stoul(f[2]);
        const wb::Cell& cell = book.sheets[si].at(r, c);
        const std::string where = std::to_string(si) + ":" + std::to_string(r) + ":" + std::to_string(c);
        ++checked;
        ++expected_cells[si];
        if (f[3] == "n") {
            ASSERT_EQ(cell.kind, wb::CellKind::Number) << where;
            EXPECT_EQ(cell.number, std::strtod(f[4].c_str(), nullptr)) << where;
        } else if (f[3] == "t") {
            ASSERT_EQ(cell.kind, wb::CellKind::Text) << where;
            EXPECT_EQ(cell.text(), unhex(f.size() > 4 ? f[4] : "")) << where;
        } else if (f[3] == "b") {
            ASSERT_EQ(cell.kind, wb::CellKind::Bool) << where;
            EXPECT_EQ(cell.number, std::stod(f[4])) << where;
        } else if (f[3] == "f") {
            // xlwt does not calculate: it stores an empty text as the result.
            EXPECT_EQ(cell.kind, wb::CellKind::Text) << where << ": a formula reads as its stored result";
            EXPECT_EQ(cell.text(), "") << where;
        }
    }
    EXPECT_GT(checked, 0u);
    for (size_t si = 0; si < book.sheets.size(); ++si) {
        size_t have = 0;
        for (const auto& row : book.sheets[si].rows)
            for (const auto& cell : row)
                have += cell.kind != wb::CellKind::Empty;
        EXPECT_EQ(have, expected_cells[si]) << "sheet " << si;
    }
}

}  // namespace

TEST(XlsReader, MatchesXlrdOnMixedCells)
{
    fs::path dump;
    fs::path xls = fixture("mixed", &dump);
    compare_with_xlrd(xls, dump);

    YExcel::Workbook y;
    ASSERT_TRUE(y.Load(xls.string().c_str())) << y.error();
    // No sheet named "Sheet1" is stored as 16-bit text here, so it is found;
    // "Data" is, too; a missing name is not.
    YExcel::Worksheet* data = y.GetWorksheet("Data");
    ASSERT_NE(data, nullptr);
    EXPECT_NE(y.GetWorksheet("Sheet1"), nullptr);
    EXPECT_EQ(y.GetWorksheet("sheet1"), nullptr);
    EXPECT_EQ(data->GetTotalRows(), 301u);
    EXPECT_EQ(data->GetTotalCols(), 201u);
    // Integers stay integers; 12.34 (an RK integer divided by 100) stays exact.
    EXPECT_EQ(data->cell(1, 0)->kind, YExcel::CELL_INTEGER);
    EXPECT_EQ(data->cell(1, 0)->v.integer, 1234);
    EXPECT_EQ(data->cell(1, 3)->kind, YExcel::CELL_DOUBLE);
    EXPECT_DOUBLE_EQ(data->cell(1, 3)->v.number, 12.34);
    // "café" fits 8 bits, "Ωmega €" does not.
    EXPECT_EQ(data->cell(2, 0)->kind, YExcel::CELL_TEXT8);
    EXPECT_EQ(*data->Text8(*data->cell(2, 0)), "caf\xE9");
    EXPECT_EQ(data->cell(2, 1)->kind, YExcel::CELL_TEXT16);
    EXPECT_EQ(*data->Text16(*data->cell(2, 1)), u"Ωmega €");
    EXPECT_EQ(data->cell(2, 2)->kind, YExcel::CELL_INTEGER);
    EXPECT_EQ(data->cell(2, 2)->v.integer, 1);
    // The formula's cell reads as the result xlwt stored: an empty text.
    ASSERT_NE(data->cell(2, 4), nullptr);
    EXPECT_EQ(data->cell(2, 4)->kind, YExcel::CELL_TEXT8);
    EXPECT_EQ(*data->Text8(*data->cell(2, 4)), "");
}

TEST(XlsReader, MatchesXlrdOnStringsSpreadOverContinueRecords)
{
    fs::path dump;
    fs::path xls = fixture("strings", &dump);
    compare_with_xlrd(xls, dump);
}

TEST(XlsReader, ReadsAWorkbookStreamHeldInShortSectors)
{
    fs::path dump;
    fs::path xls = fixture("small", &dump);
    ASSERT_LT(fs::file_size(xls), 8192u);
    compare_with_xlrd(xls, dump);
}

TEST(XlsReader, RkValues)
{
    using YExcel::DecodeRK;
    // 1234 with the divide-by-100 flag is 12.34: kept exact (an integer
    // consumer truncates it to 12); 1200 / 100 is the integer 12.
    EXPECT_EQ(DecodeRK(rk_int(1234, true)).kind, YExcel::CELL_DOUBLE);
    EXPECT_DOUBLE_EQ(DecodeRK(rk_int(1234, true)).v.number, 12.34);
    EXPECT_EQ(DecodeRK(rk_int(1200, true)).kind, YExcel::CELL_INTEGER);
    EXPECT_EQ(DecodeRK(rk_int(1200, true)).v.integer, 12);
    EXPECT_EQ(DecodeRK(rk_int(-5, false)).v.integer, -5);
    EXPECT_EQ(DecodeRK(rk_int(-(1 << 29), false)).v.integer, -(1 << 29));
    // Floating: the upper 30 bits of a double.
    double d = 3.5;
    uint64_t bits;
    std::memcpy(&bits, &d, 8);
    YExcel::Cell c = DecodeRK(uint32_t(bits >> 32));
    EXPECT_EQ(c.kind, YExcel::CELL_DOUBLE);
    EXPECT_EQ(c.v.number, 3.5);
    c = DecodeRK(uint32_t(bits >> 32) | 1);
    EXPECT_EQ(c.v.number, 0.035);
}

TEST(XlsReader, HandMadeCellRecords)
{
    Bytes cells;
    add(cells, labelsst(0, 0, 0));
    add(cells, labelsst(0, 1, 1));
    add(cells, mulrk(1, 2, {rk_int(7, false), rk_int(1234, true), rk_int(-300, true)}));
    add(cells, boolerr(2, 0, 1, false));
    add(cells, boolerr(2, 1, 0x07, true));
    add(cells, formula(2, 2, 99.0));
    add(cells, formula_special(2, 3, 0, 0));
    add(cells, rec(0x04BC, {0, 0, 0, 0, 0, 0, 0, 0}));  // a shared formula may stand between
    add(cells, string_record("r\xE9sult"));
    add(cells, formula_special(2, 4, 1, 1));
    add(cells, formula_special(2, 5, 2, 0x2A));
    add(cells, formula_special(2, 6, 3, 0));
    add(cells, label(3, 0, "inl\xE9"));
    add(cells, blank(4, 9));
    add(cells, number(5, 255, -1.5));
    Bytes s = workbook_stream({{u"Other", cells}, {u"Sheet1", {}, true}}, sst({u"plain", u"wide ☃"}));
    Cfb f = make_cfb(s);

    YExcel::Workbook y;
    ASSERT_TRUE(y.Load(f.bytes.data(), f.bytes.size())) << y.error();
    EXPECT_EQ(y.GetWorksheet("Sheet1"), nullptr) << "a name stored as 16-bit text is not matched";
    YExcel::Worksheet* ws = y.GetWorksheet("Other");
    ASSERT_NE(ws, nullptr);
    EXPECT_EQ(ws->cell(0, 0)->kind, YExcel::CELL_TEXT8);
    EXPECT_EQ(ws->cell(0, 1)->kind, YExcel::CELL_TEXT16);
    EXPECT_EQ(ws->cell(1, 2)->v.integer, 7);
    EXPECT_DOUBLE_EQ(ws->cell(1, 3)->v.number, 12.34);
    EXPECT_EQ(ws->cell(1, 4)->kind, YExcel::CELL_INTEGER);
    EXPECT_EQ(ws->cell(1, 4)->v.integer, -3);
    EXPECT_EQ(ws->cell(2, 0)->kind, YExcel::CELL_INTEGER);
    EXPECT_EQ(ws->cell(2, 1)->kind, YExcel::CELL_EMPTY);
    // Formulas read as the results stored with them.
    EXPECT_EQ(ws->cell(2, 2)->kind, YExcel::CELL_DOUBLE);
    EXPECT_EQ(ws->cell(2, 2)->v.number, 99.0);
    EXPECT_EQ(*ws->Text8(*ws->cell(2, 3)), "r\xE9sult");
    EXPECT_EQ(ws->cell(2, 4)->boolean, 1);
    EXPECT_EQ(ws->GetTotalRows(), 6u) << "blank cells do not grow the grid";
    EXPECT_EQ(ws->GetTotalCols(), 256u);
    EXPECT_EQ(ws->GetCell(0, 256), nullptr);
    EXPECT_EQ(ws->GetCell(0x10000, 0), nullptr);
    ASSERT_NE(ws->GetCell(10, 10), nullptr);
    EXPECT_EQ(ws->GetTotalRows(), 11u) << "asking beyond the grid grows it";

    wb::Workbook book;
    std::string err;
    ASSERT_TRUE(load(f.bytes, &book, &err)) << err;
    const wb::Sheet& sh = book.sheets[0];
    EXPECT_EQ(sh.at(0, 1).text(), "wide ☃");
    EXPECT_EQ(sh.at(2, 0).kind, wb::CellKind::Bool);
    EXPECT_EQ(sh.at(2, 1).kind, wb::CellKind::Error);
    EXPECT_EQ(sh.at(2, 1).text(), "#DIV/0!");
    EXPECT_EQ(sh.at(3, 0).text(), "inlé");
    EXPECT_EQ(sh.at(5, 255).number, -1.5);
    EXPECT_EQ(book.sheets[1].name, "Sheet1");
    EXPECT_EQ(sh.at(2, 2).number, 99.0);
    EXPECT_EQ(sh.at(2, 3).text(), "résult");
    EXPECT_EQ(sh.at(2, 4).kind, wb::CellKind::Bool);
    EXPECT_EQ(sh.at(2, 5).text(), "#N/A");
    EXPECT_EQ(sh.at(2, 6).kind, wb::CellKind::Text);
    EXPECT_EQ(sh.at(2, 6).text(), "");

    // A text result whose STRING record never comes is refused, naming the cell.
    Bytes lost;
    add(lost, formula_special(6, 2, 0, 0));
    add(lost, number(7, 0, 1.0));
    std::string why;
    Cfb g = make_cfb(workbook_stream({{u"Sheet1", lost}}, sst({})));
    EXPECT_FALSE(load(g.bytes, &book, &why));
    EXPECT_NE(why.find("row 7, column 3 has no stored result"), std::string::npos) << why;
}

TEST(XlsReader, SharedStringWhoseFlagChangesAtAContinueRecord)
{
    // "abc" in 8-bit text in the SST record, then "d€" in 16-bit text in the
    // CONTINUE; then a string cut right after its header; then a 16-bit
    // string going on in 8-bit text.
    Bytes d;
    le32(d, 3);
    le32(d, 3);
    le16(d, 5);
    d.push_back(0);
    for (char c : std::string("abc"))
        d.push_back(uint8_t(c));
    Bytes c1{1};
    le16(c1, u'd');
    le16(c1, u'€');
    le16(c1, 2);  // next string header: 2 characters, 8-bit
    c1.push_back(0);
    Bytes c2{0, 'x', 'y'};
    le16(c2, 3);
    c2.push_back(1);
    le16(c2, u'Ω');
    Bytes c3{0, 'o', 'k'};
    Bytes records = rec(0x00FC, d);
    add(records, rec(0x003C, c1));
    add(records, rec(0x003C, c2));
    add(records, rec(0x003C, c3));
    Bytes cells;
    add(cells, labelsst(0, 0, 0));
    add(cells, labelsst(0, 1, 1));
    add(cells, labelsst(0, 2, 2));
    Cfb f = make_cfb(workbook_stream({{u"Sheet1", cells}}, records));

    YExcel::Workbook y;
    ASSERT_TRUE(y.Load(f.bytes.data(), f.bytes.size())) << y.error();
    YExcel::Worksheet* ws = y.GetWorksheet("Sheet1");
    ASSERT_NE(ws, nullptr);
    ASSERT_EQ(ws->cell(0, 0)->kind, YExcel::CELL_TEXT16);
    EXPECT_EQ(*ws->Text16(*ws->cell(0, 0)), u"abcd€");
    ASSERT_EQ(ws->cell(0, 1)->kind, YExcel::CELL_TEXT8);
    EXPECT_EQ(*ws->Text8(*ws->cell(0, 1)), "xy");
    ASSERT_EQ(ws->cell(0, 2)->kind, YExcel::CELL_TEXT16);
    EXPECT_EQ(*ws->Text16(*ws->cell(0, 2)), u"Ωok");
}

TEST(XlsReader, FollowsAStreamWhoseSectorsAreOutOfOrder)
{
    Bytes cells;
    for (int i = 0; i < 400; ++i)
        add(cells, rk(uint32_t(i), 1, rk_int(i * 3, false)));
    Cfb f = make_cfb(workbook_stream({{u"Sheet1", cells}}, sst({})));
    // Swap the stream's first two sectors in the file and chain them the
    // other way round: same stream, no longer in one piece.
    const uint32_t d0 = f.first_data_sector, d1 = d0 + 1;
    std::swap_ranges(f.bytes.begin() + 512 * (d0 + 1), f.bytes.begin() + 512 * (d0 + 2),
                     f.bytes.begin() + 512 * (d1 + 1));
    put32(f.bytes, f.fat_offset + 4 * d1, d0);
    put32(f.bytes, f.fat_offset + 4 * d0, d1 + 1);
    put32(f.bytes, 512 * (f.dir_sector + 1) + 128 + 0x74, d1);
    YExcel::Workbook y;
    ASSERT_TRUE(y.Load(f.bytes.data(), f.bytes.size())) << y.error();
    YExcel::Worksheet* ws = y.GetWorksheet("Sheet1");
    ASSERT_NE(ws, nullptr);
    ASSERT_EQ(ws->GetTotalRows(), 400u);
    for (int i = 0; i < 400; ++i)
        ASSERT_EQ(ws->cell(size_t(i), 1)->v.integer, i * 3);
}

TEST(XlsReader, LargeFileWithItsAllocationTableListedInDifatSectors)
{
    // Over 7 MiB of stream: more than the header's 109 allocation-table sectors.
    Bytes cells;
    const uint32_t rows = 65536;
    cells.reserve(rows * 9 * 14);
    for (uint32_t r = 0; r < rows; ++r)
        for (uint32_t c = 0; c < 9; ++c)
            add(cells, number(r, c, r * 10.0 + c));
    Cfb f = make_cfb(workbook_stream({{u"Sheet1", cells}}, sst({})));
    ASSERT_GT(f.n_fat, 109u);
    YExcel::Workbook y;
    ASSERT_TRUE(y.Load(f.bytes.data(), f.bytes.size())) << y.error();
    YExcel::Worksheet* ws = y.GetWorksheet("Sheet1");
    ASSERT_NE(ws, nullptr);
    ASSERT_EQ(ws->GetTotalRows(), rows);
    EXPECT_EQ(ws->cell(rows - 1, 8)->v.number, (rows - 1) * 10.0 + 8);
    EXPECT_EQ(ws->cell(40000, 3)->v.number, 400003.0);

    // A DIFAT chain that loops back on itself.
    put32(f.bytes, 512 * (f.n_fat + 1) + 4 * 127, f.n_fat);
    put32(f.bytes, 0x48, 5);
    put32(f.bytes, 0x2C, f.n_fat + 127);  // so that the list must go on past the first DIFAT sector
    EXPECT_FALSE(y.Load(f.bytes.data(), f.bytes.size()));
    EXPECT_NE(y.error().find("cyclic"), std::string::npos) << y.error();
}

TEST(XlsReader, RefusesDamagedFilesWithAMessage)
{
    Bytes cells;
    add(cells, labelsst(0, 0, 0));
    add(cells, rk(1, 1, rk_int(5, false)));
    const Bytes good_stream = workbook_stream({{u"Sheet1", cells}}, sst({u"name"}));
    // Padded past 4096 bytes so the stream lives in big sectors.
    Bytes big_stream = good_stream;
    {
        Bytes pad;
        for (int i = 0; i < 300; ++i)
            add(pad, rk(uint32_t(2 + i), 0, rk_int(i, false)));
        big_stream = workbook_stream({{u"Sheet1", pad}}, sst({u"name"}));
        ASSERT_GT(big_stream.size(), 4096u);
    }
    auto expect_refused = [](const Bytes& file, const std::string& needle) {
        wb::Workbook book;
        std::string err;
        EXPECT_FALSE(load(file, &book, &err));
        EXPECT_NE(err.find(needle), std::string::npos) << "message was: " << err;
    };

    {  // cyclic chain in the stream
        Cfb f = make_cfb(big_stream);
        put32(f.bytes, f.fat_offset + 4 * (f.first_data_sector + 2), f.first_data_sector);
        expect_refused(f.bytes, "cyclic");
    }
    {  // cyclic directory chain
        Cfb f = make_cfb(big_stream);
        put32(f.bytes, f.fat_offset + 4 * f.dir_sector, f.dir_sector);
        expect_refused(f.bytes, "cyclic");
    }
    {  // a stream longer than the file
        Cfb f = make_cfb(big_stream);
        put32(f.bytes, 512 * (f.dir_sector + 1) + 128 + 0x78, 0x7FFFFFF0u);
        expect_refused(f.bytes, "cannot fit");
    }
    {  // allocation table sector count beyond the file
        Cfb f = make_cfb(big_stream);
        put32(f.bytes, 0x2C, 0x00FFFFFFu);
        expect_refused(f.bytes, "allocation table");
    }
    {  // no Workbook stream
        Cfb f = make_cfb(good_stream, u"Other");
        expect_refused(f.bytes, "\"Workbook\"");
    }
    {  // older format
        Cfb f = make_cfb(workbook_stream({{u"Sheet1", cells}}, sst({u"name"}), 0x0500));
        expect_refused(f.bytes, "version");
    }
    {  // encrypted
        Cfb f = make_cfb(workbook_stream({{u"Sheet1", cells}}, sst({u"name"}), 0x0600, rec(0x002F, {0, 0})));
        expect_refused(f.bytes, "password");
    }
    {  // shared string index out of range
        Bytes bad;
        add(bad, labelsst(0, 0, 5));
        expect_refused(make_cfb(workbook_stream({{u"Sheet1", bad}}, sst({u"name"}))).bytes, "shared string 5");
    }
    {  // hostile unique count in the shared string table: too large, or a lie
        Bytes s = sst({u"a"});
        put32(s, 8, 0x7FFFFFFFu);
        expect_refused(make_cfb(workbook_stream({{u"Sheet1", cells}}, s)).bytes, "too large");
        put32(s, 8, 1000);
        expect_refused(make_cfb(workbook_stream({{u"Sheet1", cells}}, s)).bytes, "truncated");
    }
    {  // MULRK whose column range disagrees with its length
        Bytes bad = mulrk(0, 0, {rk_int(1, false), rk_int(2, false)});
        put16(bad, bad.size() - 2, 40);
        expect_refused(make_cfb(workbook_stream({{u"Sheet1", bad}}, sst({u"name"}))).bytes, "column range");
    }
    {  // a cell beyond column 255
        expect_refused(make_cfb(workbook_stream({{u"Sheet1", rk(0, 300, 2)}}, sst({}))).bytes, "outside");
    }
    {  // two sheets on one substream
        Bytes s = workbook_stream({{u"A", cells}, {u"B", cells}}, sst({u"name"}));
        // Point sheet B at sheet A's BOF.
        size_t a = s.size();
        for (size_t i = 0; i + 1 < s.size(); ++i)
            if (s[i] == 0x85 && s[i + 1] == 0x00) {
                a = i;
                break;
            }
        uint32_t pos_a = uint32_t(s[a + 4] | (s[a + 5] << 8) | (s[a + 6] << 16) | (s[a + 7] << 24));
        size_t b = a + 4 + 8 + 1;  // second BOUNDSHEET: record header + 8 + name "A"
        put32(s, b + 4, pos_a);
        expect_refused(make_cfb(s).bytes, "starts inside");
    }
    {  // a record running past the end of the stream
        Bytes s = good_stream;
        put16(s, s.size() - 2, 200);
        expect_refused(make_cfb(s).bytes, "past the end");
    }
    expect_refused(Bytes(100, 0), "neither");
    Bytes junk(2048, 0);
    const uint8_t sig[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    std::memcpy(junk.data(), sig, 8);
    expect_refused(junk, "compound document");
}

TEST(XlsReader, SurvivesEveryTruncationAndRandomDamage)
{
    Bytes cells;
    for (int r = 0; r < 200; ++r) {
        add(cells, labelsst(uint32_t(r), 0, uint32_t(r % 3)));
        add(cells, mulrk(uint32_t(r), 1, {rk_int(r, false), rk_int(r * 7, true)}));
        add(cells, number(uint32_t(r), 3, r * 0.5));
    }
    const Bytes stream = workbook_stream({{u"Sheet1", cells}, {u"B", rk(0, 0, 2)}}, sst({u"a", u"βeta", u"c"}));
    const Bytes good = make_cfb(stream).bytes;
    wb::Workbook book;
    std::string err;
    ASSERT_TRUE(load(good, &book, &err)) << err;

    for (size_t n = 0; n < good.size(); n += 97) {
        Bytes cut(good.begin(), good.begin() + long(n));
        err.clear();
        // Cutting only the padding of the last sector may leave a readable file.
        if (!load(cut, &book, &err))
            EXPECT_FALSE(err.empty());
        else
            EXPECT_GT(n, good.size() - 512) << "truncated at " << n;
    }
    std::mt19937 rng(12345);
    for (int i = 0; i < 3000; ++i) {
        Bytes bad = good;
        int flips = 1 + int(rng() % 8);
        for (int k = 0; k < flips; ++k)
            bad[rng() % bad.size()] = uint8_t(rng());
        err.clear();
        if (!load(bad, &book, &err)) {
            EXPECT_FALSE(err.empty());
        }
    }
}
