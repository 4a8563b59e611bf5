#include "ImageBuilder.h"
#include "Workbook.h"

#include <gtest/gtest.h>

using namespace tessel;

namespace {

// A block 0x30 "sys" of 32 bytes and an IR block 0xE0 with two key tables
// (2 and 1 keys) and three value bytes.
std::vector<uint8_t> script_image()
{
    tb::Dmh d;
    std::vector<uint8_t> sys(32, 0);
    sys[4] = 0xFF;  // mode bits
    sys[5] = 0x34, sys[6] = 0x12;  // a u16 at byte 5
    memcpy(sys.data() + 16, "HELLO", 6);  // a text
    std::vector<uint8_t> ir(4 + 8 + 3, 0);
    tb::put32(ir.data(), 2);
    ir[7] = 2;
    ir[11] = 1;
    ir[12] = 0x10, ir[13] = 0x11, ir[14] = 0x12;
    d.blocks.push_back({0x30, "sys", 0x1000, sys});
    d.blocks.push_back({0xE0, "ir", 0x2000, ir});
    return tb::build(0x80000, {d});
}

const char* kScript = "// comment\r\n"
                      "CFGHEADER=toolcfg\r\n"
                      "FLASH=8M\r\n"
                      "SHEETID=3\r\n"
                      "SHEETINFO=Name][Value][Min][Max][Note]\r\n"
                      "BLOCKINFO=sys]\r\n"
                      "OFFSET=4\r\n"
                      "EM=1\r\n"
                      "INDEX=30\r\n"
                      "##[mode][0][3][2][bits 3-4],[word][2][8][16][0][65535][a word];\r\n"
                      "[name][1][96][64][the name]##\r\n"
                      "SHEETID=2\r\n"
                      "SHEETINFO=Key][Value]\r\n"
                      "BLOCKINFO=ir]\r\n"
                      "INDEX=e0\r\n"
                      "[k1][0][0][8] [k2][0][0][8] [k3][0][0][8]\r\n";

}  // namespace

TEST(TesselScript, TreeAndValuesFromTheBlocks)
{
    auto img = script_image();
    CTesselcore core;
    tb::Node node(core);
    ASSERT_EQ(1, core.scan_flash(img.data(), (uint32_t)img.size(), &node.n));
    ASSERT_EQ(0, core.read_config_script_text(kScript)) << core.last_message();
    cus_config_sheet_t* sys = core.sheet_slot(1);
    EXPECT_STREQ("sheet3", sys->name);
    std::vector<std::string> heads;
    for (auto* i = sys->infos; i; i = i->next)
        heads.push_back(i->text);
    EXPECT_EQ((std::vector<std::string>{"Name", "Value", "Min", "Max", "Note"}), heads);
    cus_config_block* b = sys->blocks;
    ASSERT_NE(nullptr, b);
    EXPECT_STREQ("sys", b->name);
    EXPECT_EQ(1, b->em);
    EXPECT_EQ(0x30, b->id);
    EXPECT_EQ(4, b->offset);
    cus_config_item* mode = b->items;
    ASSERT_NE(nullptr, mode);
    EXPECT_STREQ("mode", mode->name);
    EXPECT_EQ(3u, mode->value);
    EXPECT_STREQ("bits 3-4", mode->text);
    cus_config_item* word = mode->next;
    ASSERT_NE(nullptr, word);
    EXPECT_EQ(0x1234u, word->value);
    EXPECT_EQ(65535, word->max);
    cus_config_item* name = word->next;
    ASSERT_NE(nullptr, name);
    EXPECT_STREQ("HELLO", name->text_value);
    EXPECT_EQ(nullptr, name->next);

    cus_config_sheet_t* irs = core.sheet_slot(0);
    EXPECT_STREQ("sheet2", irs->name);
    ASSERT_NE(nullptr, irs->blocks);
    EXPECT_EQ((std::vector<uint8_t>{2, 1}), core.ir_numbers());
    std::vector<uint64_t> vals;
    for (auto* i = irs->blocks->items; i; i = i->next)
        vals.push_back(i->value);
    EXPECT_EQ((std::vector<uint64_t>{0x10, 0x11, 0x12}), vals);
}

TEST(TesselScript, BadScriptsAreRefusedWholly)
{
    auto img = script_image();
    CTesselcore core;
    tb::Node node(core);
    ASSERT_EQ(1, core.scan_flash(img.data(), (uint32_t)img.size(), &node.n));
    EXPECT_EQ(-7, core.read_config_script_text("SHEETID=3\nBLOCKINFO=sys]\nINDEX=30\n"));
    EXPECT_EQ(nullptr, core.sheet_slot(2)->blocks) << "nothing read";
    EXPECT_EQ(-7, core.read_config_script_text("CFGHEADER=other\n"));
    EXPECT_EQ(-7, core.read_config_script_text("CFGHEADER toolcfg\n"));
    const std::string head = "CFGHEADER=toolcfg\nSHEETID=3\nBLOCKINFO=sys]\n";
    EXPECT_EQ(-7, core.read_config_script_text(head + "INDEX=31\n"));  // no such block
    EXPECT_EQ(-7, core.read_config_script_text(head + "INDEX=30\n[x][0][250][8]\n"));  // outside the block
    EXPECT_EQ(-7, core.read_config_script_text(head + "INDEX=30\n[x][0][0][65]\n"));  // too long
    EXPECT_EQ(-7, core.read_config_script_text(head + "INDEX=30\n[x][2][0][8][9]\n"));  // no max
    EXPECT_EQ(-7, core.read_config_script_text(head + "INDEX=30\n[x][zero][0][8]\n"));
    EXPECT_EQ(-7, core.read_config_script_text(head + "[x][0][0][8]\n"));  // items before INDEX
    EXPECT_EQ(-7, core.read_config_script_text(head + "INDEX=30\nOFFSET=-1\n"));
    EXPECT_EQ(-7, core.read_config_script_text("CFGHEADER=toolcfg\nBLOCKINFO=sys]\n"));
    EXPECT_EQ(-7, core.read_config_script_text(head + "INDEX=30\nOFFSET 4\n"));  // a known line without '='
    EXPECT_EQ(-6, core.read_config_script("/nonexistent/script.cfg"));
    EXPECT_EQ(-6, core.read_config_script(""));  // nothing unpacked yet
    EXPECT_EQ(0, core.read_config_script_text(head + "INDEX=30\n[x][0][0][8];\n"));
}

TEST(TesselScript, IndentedCommentedAndUnknownLinesAreRead)
{
    auto img = script_image();
    CTesselcore core;
    tb::Node node(core);
    ASSERT_EQ(1, core.scan_flash(img.data(), (uint32_t)img.size(), &node.n));
    const std::string script = "  CFGHEADER = toolcfg   // the header\n"
                               "FLASH = 8M\n"
                               "VERSION=3.1\n"
                               "EMAIL=someone@example.com\n"
                               "\tSHEETID = 3\n"
                               "    SHEETINFO=Name][Value]\n"
                               "    BLOCKINFO=sys]\n"
                               "        OFFSET = 4  // bytes\n"
                               "        EM=0\n"
                               "        INDEX = 30\n"
                               "        [mode][0][3][2] [word][0][8][16]   // two items, then a comment\n"
                               "        ##[name][1][96][64]## trailing words\n"
                               "some line this tool knows nothing of\n";
    ASSERT_EQ(0, core.read_config_script_text(script)) << core.last_message();
    cus_config_block* b = core.sheet_slot(1)->blocks;
    ASSERT_NE(nullptr, b);
    EXPECT_EQ(0, b->em);
    EXPECT_EQ(4, b->offset);
    EXPECT_EQ(0x30, b->id);
    std::vector<std::string> names;
    for (auto* i = b->items; i; i = i->next)
        names.push_back(i->name);
    EXPECT_EQ((std::vector<std::string>{"mode", "word", "name"}), names);
    EXPECT_EQ(0x1234u, b->items->next->value);
}

TEST(TesselBits, LittleEndianFields)
{
    uint8_t d[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    ASSERT_TRUE(write_bits(d, 4, 3, 2, 1));
    EXPECT_EQ(0xEF, d[0]);
    EXPECT_EQ(0xFF, d[1]);
    uint8_t z[4] = {};
    ASSERT_TRUE(write_bits(z, 4, 4, 12, 0xABC));
    EXPECT_EQ(0xC0, z[0]);
    EXPECT_EQ(0xAB, z[1]);
    uint64_t v = 0;
    ASSERT_TRUE(read_bits(z, 4, 4, 12, &v));
    EXPECT_EQ(0xABCu, v);
    EXPECT_FALSE(read_bits(z, 4, 30, 3, &v));
    EXPECT_FALSE(write_bits(z, 4, 0, 33, 0));
    uint8_t w[9] = {};
    ASSERT_TRUE(write_bits(w, 9, 1, 64, 0x8000000000000001ull));
    ASSERT_TRUE(read_bits(w, 9, 1, 64, &v));
    EXPECT_EQ(0x8000000000000001ull, v);
    EXPECT_EQ(0x02, w[0]);
    EXPECT_EQ(0x01, w[8]);
}

TEST(TesselKeys, KeyByteCells)
{
    auto num = [](double d) {
        wb::Cell c;
        c.kind = wb::CellKind::Number;
        c.number = d;
        return c;
    };
    auto text = [](const char* t) {
        wb::Cell c;
        c.kind = wb::CellKind::Text;
        c.set_text_view(t);
        return c;
    };
    uint8_t b = 0;
    ASSERT_TRUE(key_byte_from_cell(num(12), &b));
    EXPECT_EQ(0x12, b);
    ASSERT_TRUE(key_byte_from_cell(num(0), &b));
    EXPECT_EQ(0x00, b);
    ASSERT_TRUE(key_byte_from_cell(text("1f"), &b));
    EXPECT_EQ(0x1F, b);
    ASSERT_TRUE(key_byte_from_cell(text("12"), &b));
    EXPECT_EQ(0x0C, b);
    ASSERT_TRUE(key_byte_from_cell(text("a"), &b));
    EXPECT_EQ(0x0A, b);
    ASSERT_TRUE(key_byte_from_cell(text("1F"), &b));
    EXPECT_EQ(0x1F, b);
    EXPECT_FALSE(key_byte_from_cell(num(100), &b));
    EXPECT_FALSE(key_byte_from_cell(num(1.5), &b));
    EXPECT_FALSE(key_byte_from_cell(text("zz"), &b));
    EXPECT_FALSE(key_byte_from_cell(text("1ff"), &b));
    EXPECT_FALSE(key_byte_from_cell(text("300"), &b));
    EXPECT_FALSE(key_byte_from_cell(text(""), &b));
}

TEST(TesselCells, CellNames)
{
    std::string s;
    ASSERT_TRUE(CTesselcore::get_cellpos_by_index(1, 1, &s));
    EXPECT_EQ("A1", s);
    CTesselcore::get_cellpos_by_index(25, 3, &s);
    EXPECT_EQ("Y3", s);
    CTesselcore::get_cellpos_by_index(26, 3, &s);
    EXPECT_EQ("Z3", s);
    CTesselcore::get_cellpos_by_index(27, 10, &s);
    EXPECT_EQ("AA10", s);
    CTesselcore::get_cellpos_by_index(52, 1, &s);
    EXPECT_EQ("AZ1", s);
    CTesselcore::get_cellpos_by_index(53, 1, &s);
    EXPECT_EQ("BA1", s);
    CTesselcore::get_cellpos_by_index(702, 7, &s);
    EXPECT_EQ("ZZ7", s);
    CTesselcore::get_cellpos_by_index(703, 7, &s);
    EXPECT_EQ("AAA7", s);
    s = "kept";
    EXPECT_FALSE(CTesselcore::get_cellpos_by_index(0, 1, &s));
    EXPECT_FALSE(CTesselcore::get_cellpos_by_index(1, 0, &s));
    EXPECT_EQ("kept", s);
}

TEST(TesselHwInfo, PanelAndLedSections)
{
    EXPECT_EQ(LINE_COMMENT, CTesselcore::get_line_type("  // x"));
    EXPECT_EQ(LINE_SEPARATOR, CTesselcore::get_line_type("\t-----"));
    EXPECT_EQ(LINE_PANEL_START, CTesselcore::get_line_type("Panel Starts here"));
    EXPECT_EQ(LINE_LED_START, CTesselcore::get_line_type("LED STARTS"));
    EXPECT_EQ(LINE_OTHER, CTesselcore::get_line_type(""));
    EXPECT_EQ(LINE_OTHER, CTesselcore::get_line_type("panel"));

    CTesselcore core;
    uint8_t panel[40], led[200];
    ASSERT_EQ(0, core.hw_info_parser_text(panel, led,
                                          "header line\n"
                                          "panel starts\n"
                                          "  01, 02,\t03,##\n"
                                          "led starts\n"
                                          "{'0', 0x3f},{' ', 0x00},\n"
                                          "// comment\n"
                                          "{'a',77},\n"
                                          "##\n"))
        << core.last_message();
    EXPECT_EQ((std::vector<uint8_t>{3, 0, 1, 2, 3, 0}), std::vector<uint8_t>(panel, panel + 6));
    EXPECT_EQ((std::vector<uint8_t>{3, 0, '0', 0x3F, ' ', 0x00, 'a', 0x77, 0}), std::vector<uint8_t>(led, led + 9));

    std::string many = "panel starts\n";
    for (int i = 0; i < 39; ++i)
        many += "1,";
    many += "##\nled starts\n##\n";
    EXPECT_EQ(-1, core.hw_info_parser_text(panel, led, many));
    EXPECT_EQ("error while parsing panel hw info", core.last_message());
    std::string leds = "panel starts\n##\nled starts\n";
    for (int i = 0; i < 100; ++i)
        leds += "{'x',1},";
    leds += "##\n";
    EXPECT_EQ(-1, core.hw_info_parser_text(panel, led, leds));
    EXPECT_EQ("error while parsing led bitmap", core.last_message());
    EXPECT_EQ(-1, core.hw_info_parser_text(panel, led, "panel starts\n1,2,zz,##\nled starts\n##\n"));
    EXPECT_EQ(-1, core.hw_info_parser_text(panel, led, "panel starts\n1,2,\n"));  // never ended
    EXPECT_EQ(-1, core.hw_info_parser(panel, led, "/nonexistent/hw.txt"));
}
