// Preset-data images from workbooks written by python3-xlwt (.xls) and
// python3-openpyxl (.xlsx), checked byte for byte.
#include "PresetData.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Row = std::vector<std::string>;  // python literals, one per cell

namespace {

fs::path dir()
{
    static fs::path d = [] {
        fs::path p = fs::temp_directory_path() / ("corvane-presetta-" + std::to_string(::getpid()));
        fs::create_directories(p);
        static struct Cleanup {
            fs::path dir;
            ~Cleanup()
            {
                std::error_code ec;
                fs::remove_all(dir, ec);
            }
        } cleanup{p};
        return p;
    }();
    return d;
}

std::string S(const std::string& s) { return "'" + s + "'"; }
std::string N(double v)
{
    char b[64];
    std::snprintf(b, sizeof b, "%.17g", v);
    std::string s = b;
    if (s.find_first_of(".e") == std::string::npos && v != double(int64_t(v)))
        s += ".0";
    return s;
}
std::string I(int64_t v) { return std::to_string(v); }

// A workbook of these rows on sheet `sheet`; returns its path.
fs::path workbook(const std::string& file, const std::vector<Row>& rows, const std::string& sheet = "Sheet1")
{
    fs::path out = dir() / file;
    fs::path lit = dir() / (file + ".rows");
    {
        std::ofstream f(lit);
        f << "[\n";
        for (const auto& r : rows) {
            f << "[";
            for (const auto& c : r)
                f << c << ",";
            f << "],\n";
        }
        f << "]\n";
    }
    std::string cmd =
        "/usr/bin/python3 " PRESETTA_SHEET_SCRIPT " '" + out.string() + "' '" + sheet + "' '" + lit.string() + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    return out;
}

const Row kHeading1{S("Name"), S("c1"), S("c2"), S("c3"), S("c4"), S("c5"), S("c6"), S("Freq"), S("Symb"), S("Pol")};
const Row kHeading2{S("-")};

Row satellite(const std::string& name, std::vector<int64_t> c1_8)
{
    Row r{S("*" + name)};
    for (auto v : c1_8)
        r.push_back(I(v));
    return r;
}

// Program row: columns 2..6, then 7 and 8 (transponder), 9 polarisation,
// 13 audio, 14, 15, 16.
Row program(const std::string& name0, std::vector<std::string> c2_6, std::string c7, std::string c8, std::string pol,
            std::string audio, std::string c14, std::string c15, std::string c16)
{
    Row r{name0, "None"};
    for (auto& v : c2_6)
        r.push_back(v);
    r.push_back(c7);
    r.push_back(c8);
    r.push_back(pol);
    r.push_back("None");
    r.push_back("None");
    r.push_back("None");
    r.push_back(audio);
    r.push_back(c14);
    r.push_back(c15);
    r.push_back(c16);
    return r;
}

void le32(Bytes& b, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b.push_back(uint8_t(v >> (8 * i)));
}
void name16(Bytes& b, const std::string& s)
{
    for (size_t i = 0; i < 16; ++i)
        b.push_back(i < s.size() ? uint8_t(s[i]) : 0);
}
Bytes sat_rec(const std::string& name, std::vector<uint32_t> c)  // c[0] is column 1
{
    Bytes b;
    le32(b, 0);
    for (int col : {3, 2, 1, 7, 6, 5, 4})
        le32(b, c[size_t(col - 1)]);
    name16(b, name);
    le32(b, c[7]);
    return b;
}
Bytes tp_rec(uint32_t pol, uint32_t c7, uint32_t c8)
{
    Bytes b;
    le32(b, 2);
    le32(b, pol);
    le32(b, c7);
    le32(b, c8);
    return b;
}
Bytes prog_rec(const std::string& name, uint32_t c3, uint32_t audio, uint32_t c4, uint32_t c2, uint32_t c5, uint32_t c6,
               uint32_t c14, uint16_t c15, uint16_t c16)
{
    Bytes b;
    for (uint32_t v : {1u, c3, audio, c4, c2, c5, c6, c14})
        le32(b, v);
    b.push_back(uint8_t(c15));
    b.push_back(uint8_t(c15 >> 8));
    b.push_back(uint8_t(c16));
    b.push_back(uint8_t(c16 >> 8));
    name16(b, name);
    return b;
}
Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}
Bytes read_file(const fs::path& p)
{
    std::ifstream f(p, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

std::vector<Row> astra_rows()
{
    return {kHeading1, kHeading2, satellite("Astra 19.2E", {192, 2, 3, 4, 5, 6, 7, 8}),
            program(S("Das Erste"), {I(10), I(11), I(12), I(13), I(14)}, I(11836), I(27500), S("H"), S("L"), I(1),
                    I(101), I(102)),
            program(S("ZDF"), {I(20), I(21), I(22), I(23), I(24)}, I(11836), I(27500), S("H"), S("R"), I(2), I(201),
                    I(202))};
}

Bytes astra_image()
{
    return cat({{1, 2, 0, 2},
                sat_rec("Astra 19.2E", {192, 2, 3, 4, 5, 6, 7, 8}),
                tp_rec(0, 11836, 27500),
                prog_rec("Das Erste", 11, 1, 12, 10, 13, 14, 1, 101, 102),
                tp_rec(0, 11836, 27500),
                prog_rec("ZDF", 21, 2, 22, 20, 23, 24, 2, 201, 202)});
}

}  // namespace

TEST(Presetta, OneSatelliteTwoProgramsOnOneTransponder)
{
    for (const char* ext : {".xls", ".xlsx"}) {
        SCOPED_TRACE(ext);
        fs::path in = workbook(std::string("astra") + ext, astra_rows());
        presetta::InputCheck check = presetta::CheckInput(in.string());
        ASSERT_TRUE(check.ok) << check.message << " " << check.detail;
        EXPECT_EQ(check.max_rows, 5);
        fs::path out = dir() / (std::string("astra") + ext + ".bin");
        presetta::CreateOutcome res = presetta::CreatePresetData(in.string(), out.string(), 5, check.max_rows);
        ASSERT_TRUE(res.ok) << res.message;
        EXPECT_EQ(res.message, "Preset Data generated! 1 Satallite 1 Tp 2 Pro have been generated!");
        EXPECT_EQ(read_file(out), astra_image());
        EXPECT_TRUE(res.notes.empty());
        EXPECT_FALSE(fs::exists(fs::path(out.string() + ".part")));
    }
}

TEST(Presetta, RowCountStopsTheConversion)
{
    fs::path in = workbook("astra4.xls", astra_rows());
    presetta::PD_B_Generator gen;
    ASSERT_TRUE(gen.Load(in.string()));
    Bytes img;
    size_t n = gen.generate(&img, 4);
    Bytes want = cat({{1, 1, 0, 1},
                      sat_rec("Astra 19.2E", {192, 2, 3, 4, 5, 6, 7, 8}),
                      tp_rec(0, 11836, 27500),
                      prog_rec("Das Erste", 11, 1, 12, 10, 13, 14, 1, 101, 102)});
    ASSERT_EQ(n, want.size());
    img.resize(n);
    EXPECT_EQ(img, want);
}

TEST(Presetta, NoneProgramsPolarisationAudioAndTruncation)
{
    std::vector<Row> rows{
        kHeading1,
        kHeading2,
        satellite("Hotbird", {130, 0, 0, 0, 0, 0, 0, 0}),
        // "NONE": its transponder is written, the program is not.
        program(S("NONE"), {I(1), I(1), I(1), I(1), I(1)}, I(10971), I(29700), S("V"), S("x"), I(0), I(0), I(0)),
        // 12.9 -> 12, -1.5 -> -1, 12.34 (stored as an RK integer /100) -> 12;
        // polarisation given as the number 3; audio text not L or R -> 0.
        program(S("Rai 1"), {N(12.9), N(-1.5), N(12.34), I(0), I(0)}, I(10992), I(27500), I(3), S("stereo"), I(-1),
                I(65535), I(-2)),
        // Lower-case polarisation and audio letters read like capitals.
        program(S("Rai 2"), {I(0), I(0), I(0), I(0), I(0)}, I(10992), I(27500), S("v"), S("r"), I(0), I(0), I(0)),
        // True in a number column reads as 1.
        program(S("Rai 3"), {"True", I(0), I(0), I(0), I(0)}, I(11013), I(27500), S("Horizontal"), S("Left"), I(0),
                I(0), I(0)),
    };
    fs::path in = workbook("mix.xls", rows);
    presetta::PD_B_Generator gen;
    ASSERT_TRUE(gen.Load(in.string()));
    EXPECT_EQ(gen.MaxRows(), 7);
    Bytes img;
    size_t n = gen.generate(&img, 7);
    img.resize(n);
    Bytes want = cat({{1, 4, 0, 3},
                      sat_rec("Hotbird", {130, 0, 0, 0, 0, 0, 0, 0}),
                      tp_rec(1, 10971, 29700),
                      tp_rec(3, 10992, 27500),
                      prog_rec("Rai 1", 0xFFFFFFFFu, 0, 12, 12, 0, 0, 0xFFFFFFFFu, 65535, 0xFFFE),
                      tp_rec(1, 10992, 27500),
                      prog_rec("Rai 2", 0, 2, 0, 0, 0, 0, 0, 0, 0),
                      tp_rec(0, 11013, 27500),
                      prog_rec("Rai 3", 0, 1, 0, 1, 0, 0, 0, 0, 0)});
    EXPECT_EQ(img, want);
    EXPECT_EQ(gen.report(), "Preset Data generated! 1 Satallite 4 Tp 3 Pro have been generated!");
}

TEST(Presetta, InputChecks)
{
    fs::path other = workbook("other.xls", astra_rows(), "Channels");
    presetta::InputCheck c = presetta::CheckInput(other.string());
    EXPECT_FALSE(c.ok);
    EXPECT_EQ(c.message, "Error input file! Unsupported raw data file!");

    fs::path junk = dir() / "junk.xls";
    std::ofstream(junk) << "not a workbook";
    EXPECT_EQ(presetta::CheckInput(junk.string()).message, "Error input file! Unsupported raw data file!");
    EXPECT_EQ(presetta::CheckInput((dir() / "missing.xls").string()).message,
              "Error input file! Unsupported raw data file!");

    fs::path empty = workbook("headings.xls", {kHeading1, kHeading2, {I(5), I(6)}});
    c = presetta::CheckInput(empty.string());
    EXPECT_FALSE(c.ok);
    EXPECT_EQ(c.message, "Error input file! Please select other file as input data!");

    // Only rows whose column 0 is text count, and counting goes past the others.
    fs::path gaps = workbook("gaps.xls", {kHeading1, kHeading2, {S("*A")}, {I(1), I(2)}, {S("p")}, {}, {S("q")}});
    c = presetta::CheckInput(gaps.string());
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(c.max_rows, 5);

    fs::path out = dir() / "never.bin";
    EXPECT_EQ(presetta::CreatePresetData(gaps.string(), out.string(), 2, 5).message,
              "Input number error! Please input a number from 3 to 5.");
    EXPECT_EQ(presetta::CreatePresetData(gaps.string(), out.string(), 6, 5).message,
              "Input number error! Please input a number from 3 to 5.");
    EXPECT_EQ(presetta::CreatePresetData("", out.string(), 3, 5).message, "Please select input raw file!");
    EXPECT_EQ(presetta::CreatePresetData(gaps.string(), "", 3, 5).message, "Please select preset file name!");
    EXPECT_FALSE(fs::exists(out));

    EXPECT_TRUE(presetta::IsRowCountText("0123"));
    EXPECT_TRUE(presetta::IsRowCountText(""));
    EXPECT_FALSE(presetta::IsRowCountText("-3"));
    EXPECT_FALSE(presetta::IsRowCountText("3 "));
}

TEST(Presetta, LongNamesManyTranspondersAndBlankRows)
{
    std::vector<Row> rows{kHeading1, kHeading2,
                          satellite("A satellite name well over sixteen", {1, 0, 0, 0, 0, 0, 0, 0})};
    // 250 distinct transponders under one satellite.
    for (int i = 0; i < 250; ++i)
        rows.push_back(program(S("P" + std::to_string(i)), {I(0), I(0), I(0), I(0), I(0)}, I(10000 + i), I(27500),
                               S("H"), S("L"), I(0), I(0), I(0)));
    rows.push_back({});  // a blank row: skipped, not a record of zeros
    rows.push_back(program(S("Ünïcödé chaÄÖÜ"), {I(0), I(0), I(0), I(0), I(0)}, I(10000), I(27500), S("H"), S("L"),
                           I(0), I(0), I(0)));
    fs::path in = workbook("many.xls", rows);
    presetta::InputCheck check = presetta::CheckInput(in.string());
    ASSERT_TRUE(check.ok);
    EXPECT_EQ(check.max_rows, 2 + 1 + 250 + 1);
    presetta::PD_B_Generator gen;
    ASSERT_TRUE(gen.Load(in.string()));
    Bytes img;
    size_t n = gen.generate(&img, check.max_rows);
    ASSERT_EQ(n, 4 + 52 + 251 * (16 + 52));
    EXPECT_EQ(gen.report(), "Preset Data generated! 1 Satallite 250 Tp 251 Pro have been generated!");
    EXPECT_EQ(img[1], uint8_t(251));
    EXPECT_EQ(img[2], 0);
    EXPECT_EQ(img[3], 251);
    // Names are cut to 16 bytes; in the box's code page (Windows-1252) the
    // 14 letters of the last name are 14 bytes and fit whole.
    EXPECT_EQ(std::string(img.begin() + 4 + 32, img.begin() + 4 + 48), "A satellite name");
    const size_t last = n - 16;
    std::string name(img.begin() + long(last), img.begin() + long(last) + 16);
    EXPECT_EQ(name, std::string("\xDCn\xEF"
                                "c\xF6"
                                "d\xE9 cha\xC4\xD6\xDC") +
                        '\0' + '\0');
    ASSERT_GE(gen.notes().size(), 2u);
    EXPECT_NE(gen.notes()[0].find("1 name(s)"), std::string::npos);
}

TEST(Presetta, NamesInTheBoxCodePage)
{
    std::vector<Row> rows{
        kHeading1, kHeading2, satellite("Türksat", {1, 0, 0, 0, 0, 0, 0, 0}),
        program(S("ÖRF 2"), {I(0), I(0), I(0), I(0), I(0)}, I(11000), I(27500), S("V"), S("L"), I(0), I(0), I(0)),
        program(S("中央电视台一套综合频道"), {I(0), I(0), I(0), I(0), I(0)}, I(11000), I(27500), S("V"), S("L"), I(0),
                I(0), I(0))};
    fs::path in = workbook("names.xlsx", rows);
    // Windows-1252: "Ö" is the one byte 0xD6; the Chinese name has no place in it.
    {
        presetta::PD_B_Generator gen;
        ASSERT_TRUE(gen.Load(in.string()));
        Bytes img;
        gen.set_code_page(kv::CodePage("WINDOWS-1252"));
        size_t n = gen.generate(&img, 4);
        ASSERT_EQ(n, 4 + 52 + 16 + 52);
        EXPECT_EQ(std::string(img.begin() + 4 + 32, img.begin() + 4 + 40), std::string("T\xFCrksat") + '\0');
        EXPECT_EQ(std::string(img.begin() + 4 + 52 + 16 + 36, img.begin() + 4 + 52 + 16 + 42),
                  std::string("\xD6RF 2") + '\0');
        EXPECT_EQ(0u, gen.generate(&img, 5));
        EXPECT_NE(gen.error().find("row 5, column A holds \"中\""), std::string::npos) << gen.error();
    }
    // GBK: two bytes a character, and a cut at 16 bytes never halves one;
    // "Ö" has no place in it.
    {
        presetta::PD_B_Generator gen;
        ASSERT_TRUE(gen.Load(in.string()));
        gen.set_code_page(kv::CodePage("GBK"));
        Bytes img;
        EXPECT_EQ(0u, gen.generate(&img, 5));
        EXPECT_NE(gen.error().find("row 4, column A holds \"Ö\""), std::string::npos) << gen.error();
        rows[3][0] = S("ORF 2");
        ASSERT_TRUE(gen.Load(workbook("names-gbk.xls", rows).string()));
        size_t n = gen.generate(&img, 5);
        ASSERT_EQ(n, 4 + 52 + 2 * (16 + 52)) << gen.error();
        const std::string name(img.begin() + long(n) - 16, img.end());
        EXPECT_EQ(name, "\xD6\xD0\xD1\xEB\xB5\xE7\xCA\xD3\xCC\xA8\xD2\xBB\xCC\xD7\xD7\xDB");  // 8 characters
        ASSERT_FALSE(gen.notes().empty());
        EXPECT_NE(gen.notes()[1].find("中央电视台一套综"), std::string::npos) << gen.notes()[1];
    }
}

TEST(Presetta, ValueThatDoesNotFitLeavesTheOldImage)
{
    std::vector<Row> rows = astra_rows();
    rows[3][5] = N(1e12);  // column 5 of Das Erste
    fs::path in = workbook("huge.xls", rows);
    fs::path out = dir() / "keep.bin";
    std::ofstream(out) << "old";
    presetta::CreateOutcome res = presetta::CreatePresetData(in.string(), out.string(), 5, 5);
    EXPECT_FALSE(res.ok);
    EXPECT_NE(res.message.find("row 4, column F"), std::string::npos) << res.message;
    Bytes old = read_file(out);
    EXPECT_EQ(std::string(old.begin(), old.end()), "old");
}

TEST(Presetta, CommandLine)
{
    fs::path in = workbook("cli.xls", astra_rows());
    fs::path out = dir() / "cli.bin";
    fs::path log = dir() / "cli.out";
    const std::string cli = CORVANE_CLI;
    auto run = [&](const std::string& args) {
        int rc = std::system((cli + " preset " + args + " > '" + log.string() + "' 2>&1").c_str());
        std::ifstream f(log);
        std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        return std::make_pair(rc, text);
    };
    auto [rc, text] = run("'" + in.string() + "' -o '" + out.string() + "'");
    EXPECT_EQ(rc, 0) << text;
    EXPECT_EQ(text, "Preset Data generated! 1 Satallite 1 Tp 2 Pro have been generated!\n");
    EXPECT_EQ(read_file(out), astra_image());

    std::tie(rc, text) = run("'" + in.string() + "' -o '" + out.string() + "' --rows 9");
    EXPECT_NE(rc, 0);
    EXPECT_NE(text.find("Input number error! Please input a number from 3 to 5."), std::string::npos) << text;
    std::tie(rc, text) = run("'" + in.string() + "' -o '" + out.string() + "' --rows -5");
    EXPECT_NE(rc, 0);
    EXPECT_NE(text.find("Input number error! Please input a number from 3 to 5."), std::string::npos) << text;
    std::tie(rc, text) = run("'" + in.string() + "' -o '" + in.string() + "'");
    EXPECT_NE(rc, 0);
    EXPECT_NE(text.find("must not be the input file"), std::string::npos) << text;
    EXPECT_EQ(presetta::CheckInput(in.string()).max_rows, 5) << "the input workbook is intact";
    std::tie(rc, text) = run("'" + (dir() / "missing.xls").string() + "' -o '" + out.string() + "'");
    EXPECT_NE(rc, 0);
    EXPECT_NE(text.find("Error input file! Unsupported raw data file!"), std::string::npos) << text;
    std::tie(rc, text) = run("'" + in.string() + "' -o '" + (dir() / "no/such/dir/x.bin").string() + "'");
    EXPECT_NE(rc, 0) << text;
}

// A channel list saved by LibreOffice Calc and by Gnumeric, as .xls and
// .xlsx: merged and styled headings, formulas (a name, a frequency, a
// reference, a boolean) read as the programs' results; the same image from
// each file.
TEST(Presetta, ListsSavedBySpreadsheetPrograms)
{
    auto put32 = [](Bytes& b, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            b.push_back(uint8_t(v >> (8 * i)));
    };
    auto name = [](Bytes& b, const std::string& bytes) {
        std::string n = bytes;
        n.resize(16, '\0');
        b.insert(b.end(), n.begin(), n.end());
    };
    Bytes want = {1, 3, 0, 3};
    for (uint32_t v : {0u, 3u, 2u, 192u, 7u, 6u, 5u, 4u})
        put32(want, v);
    name(want, "Astra 19.2E");
    put32(want, 8);
    struct Program {
        uint32_t pol, freq, c2, c3, c4, c5, c6, audio, c14;
        uint16_t c15, c16;
        std::string name;
    };
    for (const Program& p : {Program{0, 11836, 12, 13, 14, 12, 0xFFFFFFFFu, 1, 1, 101, 102, "Das Erste"},
                             Program{0, 11836, 22, 23, 24, 25, 26, 2, 0, 201, 202, "ZDF"},
                             Program{1, 12188, 32, 33, 34, 35, 36, 0, 0, 301, 302, "\xD6RF 2"}}) {
        for (uint32_t v : {2u, p.pol, p.freq, 27500u})
            put32(want, v);
        for (uint32_t v : {1u, p.c3, p.audio, p.c4, p.c2, p.c5, p.c6, p.c14})
            put32(want, v);
        want.push_back(uint8_t(p.c15)), want.push_back(uint8_t(p.c15 >> 8));
        want.push_back(uint8_t(p.c16)), want.push_back(uint8_t(p.c16 >> 8));
        name(want, p.name);
    }
    for (const char* file : {"libreoffice.xls", "libreoffice.xlsx", "gnumeric.xls", "gnumeric.xlsx"}) {
        SCOPED_TRACE(file);
        const std::string in = std::string(WORKBOOK_FIXTURES) + "/" + file;
        presetta::InputCheck check = presetta::CheckInput(in);
        ASSERT_TRUE(check.ok) << check.message << " " << check.detail;
        EXPECT_EQ(6, check.max_rows);
        presetta::PD_B_Generator gen;
        ASSERT_TRUE(gen.Load(in));
        gen.set_code_page(kv::CodePage("WINDOWS-1252"));
        Bytes img;
        ASSERT_EQ(want.size(), gen.generate(&img, 6)) << gen.error();
        EXPECT_EQ(want, img);
        EXPECT_EQ(gen.report(), "Preset Data generated! 1 Satallite 2 Tp 3 Pro have been generated!");
    }
}
