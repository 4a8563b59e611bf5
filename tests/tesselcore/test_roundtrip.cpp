// The workbook round trip: image -> workbook -> edited by openpyxl -> image.
#include "ImageBuilder.h"
#include "Workbook.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <functional>
#include <sys/stat.h>

using namespace tessel;

namespace {

void cell16(std::vector<uint8_t>& v, uint8_t marker, const std::string& ascii)
{
    v.push_back(marker);
    for (char c : ascii) {
        v.push_back((uint8_t)c);
        v.push_back(0);
    }
    v.push_back(0);
    v.push_back(0);
}

std::vector<uint8_t> preset_block()
{
    std::vector<uint8_t> s = {'p', 'r', 'e', 's', 'e', 't', 'd', 'a', 't', 'a', 0, 2, 0, 3};
    cell16(s, 0x80, "*Sat1");
    cell16(s, 0x01, "19.2E");
    cell16(s, 0x80, "ARD");
    cell16(s, 0x01, "ZDF");
    cell16(s, 0x02, "3sat");
    std::vector<uint8_t> out;
    EXPECT_TRUE(lzma_alone_compress(s.data(), s.size(), &out));
    return out;
}

const char* kScript = "CFGHEADER=toolcfg\n"
                      "SHEETID=2\n"
                      "SHEETINFO=Key][Value]\n"
                      "BLOCKINFO=ir]\n"
                      "INDEX=e0\n"
                      "[k1][0][0][8],[k2][0][0][8],[k3][0][0][8]\n"
                      "SHEETID=3\n"
                      "SHEETINFO=Name][Value][Min][Max][Note]\n"
                      "BLOCKINFO=sys]\n"
                      "OFFSET=4\n"
                      "EM=1\n"
                      "INDEX=30\n"
                      "##[mode][0][3][2][bits 3-4],[word][2][8][16][0][65535][a word],[name][1][96][64][the name]##\n"
                      "SHEETID=4\n"
                      "SHEETINFO=Block][Path]\n"
                      "BLOCKINFO=radio]\n"
                      "EM=3\n"
                      "INDEX=60\n"
                      "[file][1][0][0]\n"
                      "BLOCKINFO=hwinfo]\n"
                      "EM=2\n"
                      "INDEX=61\n"
                      "[file][1][0][0]\n";

struct Fixture {
    tb::ScratchDir dir;
    std::vector<uint8_t> img;
    CTesselcore core;
    tb::Node node{core};

    // `adjust` may change the blocks before the image is built.
    explicit Fixture(bool new_keys = false, const std::string& script = kScript,
                     const std::function<void(tb::Dmh&)>& adjust = {})
    {
        std::string gz;
        std::vector<uint8_t> packed;
        EXPECT_TRUE(gzip_compress(reinterpret_cast<const uint8_t*>(script.data()), script.size(), &packed));
        tb::Dmh d;
        d.addr = 0x10000;
        std::vector<uint8_t> sys(32, 0);
        sys[4] = 0xFF;
        sys[5] = 0x34, sys[6] = 0x12;
        memcpy(sys.data() + 16, "HELLO", 6);
        sys[31] = 0x77;
        std::vector<uint8_t> ir(4 + 8 + 3, 0);
        tb::put32(ir.data(), 2);
        ir[7] = 2;
        ir[11] = 1;
        ir[12] = 0x10, ir[13] = 0x11, ir[14] = 0x12;
        std::vector<uint8_t> uk(64, 0xFF), cr(64, 0xFF);
        if (!new_keys) {
            uint8_t r0[16] = {0, 0, 0, 0, 0x10, 0x27, 5, 0, 0x12, 0x0A, 0x00, 0xFF, 0x99, 0x1E, 0x01, 0x02};
            uint8_t r1[16] = {0, 0, 0, 0, 0x20, 0x4E, 6, 0, 1, 2, 3, 4, 5, 6, 7, 8};
            memcpy(uk.data(), r0, 16);
            memcpy(uk.data() + 16, r1, 16);
            std::vector<uint8_t> c0(32, 0);
            c0[12] = 0x64, c0[14] = 7;
            for (int k = 0; k < 16; ++k)
                c0[16 + k] = (uint8_t)(0x10 * k + k);
            memcpy(cr.data(), c0.data(), 32);
        } else {
            uk.assign(200, 0xFF);
            uint8_t head[12] = {0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 1, 0, 1, 0, 12 + 28 + 24, 0};
            memcpy(uk.data(), head, 12);
            uint8_t* r = uk.data() + 12;
            tb::put32(r, 38);
            tb::put32(r + 4, 11778);
            tb::put32(r + 8, 17);
            tb::put32(r + 12, 1);
            tb::put32(r + 16, 1920);
            for (int k = 0; k < 8; ++k)
                r[20 + k] = (uint8_t)(0xA0 + k);
            uint8_t* c = uk.data() + 12 + 28 * 4;
            tb::put32(c, 0x0B00);
            c[4] = 0x0D;
            c[5] = 2;
            for (int k = 0; k < 16; ++k)
                c[6 + k] = (uint8_t)k;
        }
        std::vector<uint8_t> radio = {'n', 'o', 'n', 'e', 0, 1, 2, 3};
        std::vector<uint8_t> hw(300, 0x5A);
        hw[0] = 0;
        d.blocks.push_back({0x01, "toolcfg", 0x1000, packed});
        d.blocks.push_back({0x30, "sys", 0x2000, sys});
        d.blocks.push_back({0xE0, "ir", 0x3000, ir});
        d.blocks.push_back({0x40, "preset", 0x4000, preset_block()});
        d.blocks.push_back({0x50, "ucaskey", 0x5000, uk});
        if (!new_keys)
            d.blocks.push_back({0x51, "crypto", 0x6000, cr});
        d.blocks.push_back({0x60, "radio", 0x7000, radio});
        d.blocks.push_back({0x61, "hwinfo", 0x8000, hw});
        d.blocks.push_back({0x70, "raw", 0x9000, tb::bytes(40, 9)});
        d.blocks.back().ncrc = true;
        if (adjust)
            adjust(d);
        img = tb::build(0x80000, {d});
        std::string ini =
            "[Tessel]\nNew_ucakey=" + std::string(new_keys ? "true" : "false") + "\nBISS_MAX_KEYINFOS=4\n";
        tb::spit(dir.file("corvane.ini"), ini.data(), ini.size());
        core.set_ini_path(dir.file("corvane.ini"));
        core.set_workbook_path(dir.file("preset.xlsx"));
    }

    void load()
    {
        ASSERT_EQ(1, core.scan_flash(img.data(), (uint32_t)img.size(), &node.n));
        ASSERT_EQ(0, core.parse_flash(img.data(), (uint32_t)img.size()));
        ASSERT_EQ(0, core.read_config_script("")) << core.last_message();
        ASSERT_EQ(1, core.generate_xls_fie(&node.n)) << core.last_message();
    }

    std::string py(const std::string& body)
    {
        std::string out;
        int rc = tb::run_python(
            dir, "import openpyxl\nwb = openpyxl.load_workbook('" + core.workbook_path() + "')\n" + body, &out);
        EXPECT_EQ(0, rc) << out;
        return out;
    }

    const tag_dmh_block_info_local* find(CTesselcore& c, const char* name)
    {
        return c.get_block_info_by_name(name, strlen(name));
    }
};

// Finds the row whose column A holds `name` and sets column B.
const char* kSetHelper = "def setb(ws, name, value):\n"
                         "    for row in ws.iter_rows():\n"
                         "        if row[0].value == name:\n"
                         "            ws.cell(row=row[0].row, column=2).value = value\n"
                         "            return\n"
                         "    raise SystemExit('no row ' + name)\n";

}  // namespace

TEST(TesselWorkbook, GeneratedSheetsAsOpenpyxlSeesThem)
{
    Fixture f;
    f.load();
    EXPECT_TRUE(f.core.ucaskey_sheet_written());
    EXPECT_TRUE(f.core.crypto_sheet_written());
    std::string out = f.py(
        "print(','.join(wb.sheetnames))\n"
        "ws = wb['Sys_Config']\n"
        "print([c.value for c in ws[1]])\n"
        "print([c.value for c in ws[2]], [c.fill.fgColor.rgb for c in ws[2]])\n"
        "print([c.value for c in ws[3]])\n"
        "print([c.value for c in ws[4]])\n"
        "print([c.value for c in ws[5]])\n"
        "ir = wb['IR_FP_Key']\n"
        "print([r[0].value for r in ir.iter_rows()], [r[1].value for r in ir.iter_rows()])\n"
        "print([c.value for c in wb['ucaskey'][2]])\n"
        "print([c.value for c in wb['crypto'][2]][:6])\n"
        "p = wb['Program']\n"
        "print([[c.value for c in r] for r in p.iter_rows()], p['A1'].fill.fgColor.rgb, p['C1'].fill.fgColor.rgb)\n"
        "fp = wb['File_Path']\n"
        "print([[c.value for c in r] for r in fp.iter_rows()], fp['A2'].fill.fill_type)\n");
    EXPECT_NE(std::string::npos, out.find("Program,IR_FP_Key,Sys_Config,File_Path,ucaskey,crypto\n")) << out;
    EXPECT_NE(std::string::npos, out.find("['Name', 'Value', 'Min', 'Max', 'Note']\n")) << out;
    EXPECT_NE(std::string::npos,
              out.find("['*sys', None, None, None, None] ['FFFFFF00', 'FFFFFF00', 'FFFFFF00', 'FFFFFF00', 'FFFFFF00']"))
        << out;
    EXPECT_NE(std::string::npos, out.find("['mode', 3, None, None, 'bits 3-4']")) << out;
    EXPECT_NE(std::string::npos, out.find("['word', 4660, 0, 65535, 'a word']")) << out;
    EXPECT_NE(std::string::npos, out.find("['name', 'HELLO', None, None, 'the name']")) << out;
    EXPECT_NE(std::string::npos,
              out.find("['Key', '*ir', '#ir1', 'k1', 'k2', '#ir2', 'k3'] ['Value', None, None, 16, 17, None, 18]"))
        << out;
    // Key bytes as "%x": digits alone as numbers (0x12 -> 12), letters as text.
    EXPECT_NE(std::string::npos, out.find("[10000, 5, 12, 'a', 0, 'ff', 99, '1e', 1, 2]")) << out;
    EXPECT_NE(std::string::npos, out.find("[100, 7, 0, 11, 22, 33]")) << out;
    EXPECT_NE(std::string::npos, out.find("[['*Sat1', '19.2E', None], ['ARD', 'ZDF', '3sat']] FFFFFF00 FFFFFF00"))
        << out;
    EXPECT_NE(std::string::npos, out.find("[['Block', 'Path'], ['*radio', None], ['file', 'none'], ['*hwinfo', None], "
                                          "['file', None]] None"))
        << out;
}

TEST(TesselWorkbook, UneditedRoundTripGivesTheSameImage)
{
    Fixture f;
    f.load();
    ASSERT_EQ(0, f.core.read_xls_file(&f.node.n)) << f.core.last_message();
    std::vector<uint8_t> out;
    ASSERT_EQ(0, f.core.rebuild_flash(f.img.data(), (uint32_t)f.img.size(), &out));
    ASSERT_EQ(f.img.size(), out.size());
    for (size_t i = 0; i < out.size(); ++i)
        if (out[i] != f.img[i]) {
            ADD_FAILURE() << "first difference at 0x" << std::hex << i;
            break;
        }
}

TEST(TesselWorkbook, EditsLandWhereTheScriptSays)
{
    Fixture f;
    f.load();
    std::vector<uint8_t> hwtext;
    std::string hw = "panel starts\n01,02,03,##\nled starts\n{'8',0x7f},##\n";
    tb::spit(f.dir.file("hw.txt"), hw.data(), hw.size());
    std::vector<uint8_t> radio = tb::bytes(1000, 3);
    tb::spit(f.dir.file("radio.bin"), radio.data(), radio.size());
    f.py(std::string(kSetHelper) +
         "ws = wb['Sys_Config']\n"
         "setb(ws, 'mode', 1)\n"
         "setb(ws, 'word', 17185)\n"
         "setb(ws, 'name', 'WORLD')\n"
         "setb(wb['IR_FP_Key'], 'k2', 85)\n"
         "u = wb['ucaskey']\n"
         "u['C2'] = 'ab'\n"
         "u['A3'] = 999\n"
         "wb['Program']['B2'] = 'CNN'\n"
         "fp = wb['File_Path']\n"
         "fp['B3'] = '" +
         f.dir.file("radio.bin") +
         "'\n"
         "fp['B5'] = '" +
         f.dir.file("hw.txt") +
         "'\n"
         "wb.save('" +
         f.core.workbook_path() + "')\n");
    ASSERT_EQ(0, f.core.read_xls_file(&f.node.n)) << f.core.last_message();
    std::vector<uint8_t> out;
    ASSERT_EQ(0, f.core.rebuild_flash(f.img.data(), (uint32_t)f.img.size(), &out));

    CTesselcore again;
    tb::Node n2(again);
    ASSERT_EQ(1, again.scan_flash(out.data(), (uint32_t)out.size(), &n2.n));
    const auto* sys = f.find(again, "sys");
    ASSERT_NE(nullptr, sys);
    std::vector<uint8_t> want(32, 0);
    want[4] = 0xEF;
    want[5] = 0x21, want[6] = 0x43;
    memcpy(want.data() + 16, "WORLD", 6);
    want[31] = 0x77;
    EXPECT_EQ(want, std::vector<uint8_t>(sys->data, sys->data + 32));
    EXPECT_EQ(kv::crc32(sys->data, 32), entry_crc(*sys));
    EXPECT_TRUE(entry_is_ncrc(*f.find(again, "raw")));

    const auto* ir = f.find(again, "ir");
    EXPECT_EQ(0x10, ir->data[12]);
    EXPECT_EQ(0x55, ir->data[13]);
    EXPECT_EQ(0x12, ir->data[14]);

    const auto* uk = f.find(again, "ucaskey");
    ASSERT_EQ(64u, entry_size(*uk));
    EXPECT_EQ(0xAB, uk->data[8]);
    EXPECT_EQ(0x0A, uk->data[9]);
    EXPECT_EQ(0x99, uk->data[12]);
    EXPECT_EQ(0x1E, uk->data[13]);
    EXPECT_EQ(999, uk->data[20] | (uk->data[21] << 8));
    EXPECT_EQ(0xFF, uk->data[40]) << "bytes past the sheet's records keep their values";
    const auto* cr = f.find(again, "crypto");
    EXPECT_EQ(0x33, cr->data[19]);

    const auto* preset = f.find(again, "preset");
    std::vector<uint8_t> ser;
    ASSERT_TRUE(lzma_alone_decompress(preset->data, entry_size(*preset), &ser, 1 << 21));
    std::vector<uint8_t> expect = {'p', 'r', 'e', 's', 'e', 't', 'd', 'a', 't', 'a', 0, 2, 0, 3};
    cell16(expect, 0x80, "*Sat1");
    cell16(expect, 0x01, "19.2E");
    cell16(expect, 0x80, "ARD");
    cell16(expect, 0x01, "CNN");
    cell16(expect, 0x02, "3sat");
    EXPECT_EQ(expect, ser);

    const auto* rb = f.find(again, "radio");
    EXPECT_EQ(radio, std::vector<uint8_t>(rb->data, rb->data + entry_size(*rb)));
    const auto* hb = f.find(again, "hwinfo");
    ASSERT_EQ(300u, entry_size(*hb));
    EXPECT_EQ((std::vector<uint8_t>{3, 0, 1, 2, 3}), std::vector<uint8_t>(hb->data, hb->data + 5));
    EXPECT_EQ((std::vector<uint8_t>{1, 0, '8', 0x7F}), std::vector<uint8_t>(hb->data + 40, hb->data + 44));
    EXPECT_EQ(0x5A, hb->data[240]);
}

TEST(TesselWorkbook, RangeErrorsChangeNothing)
{
    Fixture f;
    f.load();
    std::vector<uint8_t> before(f.node.n.working[1].data, f.node.n.working[1].data + 32);
    f.py(std::string(kSetHelper) +
         "ws = wb['Sys_Config']\n"
         "setb(ws, 'mode', 1)\n"
         "setb(ws, 'word', 70000)\n"
         "wb.save('" +
         f.core.workbook_path() + "')\n");
    EXPECT_EQ(-1, f.core.read_xls_file(&f.node.n));
    EXPECT_EQ("ERROR!! [word]'s value is out of range,please check it!", f.core.last_message());
    EXPECT_EQ(before, std::vector<uint8_t>(f.node.n.working[1].data, f.node.n.working[1].data + 32));

    f.py(std::string(kSetHelper) + "setb(wb['Sys_Config'], 'mode', 4)\nwb.save('" + f.core.workbook_path() + "')\n");
    EXPECT_EQ(-1, f.core.read_xls_file(&f.node.n));  // 4 needs 3 bits
    f.py(std::string(kSetHelper) + "setb(wb['Sys_Config'], 'mode', 'two')\nwb.save('" + f.core.workbook_path() +
         "')\n");
    EXPECT_EQ(-1, f.core.read_xls_file(&f.node.n));
    f.py(std::string(kSetHelper) +
         "setb(wb['Sys_Config'], 'mode', 1)\nsetb(wb['Sys_Config'], 'name', 'TOOLONGNAME')\n"
         "wb.save('" +
         f.core.workbook_path() + "')\n");
    EXPECT_EQ(-1, f.core.read_xls_file(&f.node.n)) << "a text longer than its 8-byte field";
    f.py("wb['Sys_Config']['B2'] = None\nwb['ucaskey']['C2'] = 'xyz'\nwb.save('" + f.core.workbook_path() + "')\n");
    EXPECT_EQ(-1, f.core.read_xls_file(&f.node.n));
    EXPECT_NE(std::string::npos, f.core.last_message().find("sheet [ucaskey]"));
    EXPECT_EQ(before, std::vector<uint8_t>(f.node.n.working[1].data, f.node.n.working[1].data + 32));
    // A workbook that is not there, or not a workbook.
    f.core.set_workbook_path(f.dir.file("corvane.ini"));
    EXPECT_EQ(-1, f.core.read_xls_file(&f.node.n));
}

TEST(TesselWorkbook, ProgramSheetSerialisation)
{
    Fixture f;
    f.load();
    f.py("p = wb['Program']\n"
         "p.delete_rows(1, 2)\n"
         "p['A1'] = 'x'\np['B1'] = 12\np['C1'] = 19.2\n"
         "p['A2'] = 'Grüße'\np['C2'] = 'z'\n"
         "wb.save('" +
         f.core.workbook_path() + "')\n");
    ASSERT_EQ(0, f.core.read_xls_file(&f.node.n)) << f.core.last_message();
    const auto* preset = f.core.get_block_info_by_name("preset", 6);
    std::vector<uint8_t> ser;
    ASSERT_TRUE(lzma_alone_decompress(preset->data, entry_size(*preset), &ser, 1 << 21));
    std::vector<uint8_t> expect = {'p', 'r', 'e', 's', 'e', 't', 'd', 'a', 't', 'a', 0, 2, 0, 3};
    cell16(expect, 0x80, "x");
    cell16(expect, 0x01, "12");
    cell16(expect, 0x02, "19");  // a number cell gives the text of its integer part
    expect.push_back(0x80);
    for (uint16_t u : {0x47, 0x72, 0xFC, 0xDF, 0x65, 0})
        expect.push_back((uint8_t)u), expect.push_back((uint8_t)(u >> 8));
    cell16(expect, 0x02, "z");
    EXPECT_EQ(expect, ser);
}

TEST(TesselWorkbook, ProgramTextsBeyondTheBasicPlaneComeBack)
{
    Fixture f;
    f.load();
    f.py("p = wb['Program']\np['A1'] = 'a\\U0001F600b'\nwb.save('" + f.core.workbook_path() + "')\n");
    ASSERT_EQ(0, f.core.read_xls_file(&f.node.n)) << f.core.last_message();
    const auto* preset = f.core.get_block_info_by_name("preset", 6);
    std::vector<uint8_t> ser;
    ASSERT_TRUE(lzma_alone_decompress(preset->data, entry_size(*preset), &ser, 1 << 21));
    const std::vector<uint8_t> pair = {'a', 0, 0x3D, 0xD8, 0x00, 0xDE, 'b', 0, 0, 0};  // a surrogate pair
    EXPECT_NE(std::search(ser.begin(), ser.end(), pair.begin(), pair.end()), ser.end());
    ASSERT_EQ(1, f.core.generate_xls_fie(&f.node.n)) << f.core.last_message();
    EXPECT_EQ(f.py("print(wb['Program']['A1'].value == 'a\\U0001F600b')\n"), "True\n");
}

TEST(TesselWorkbook, NewKeyLayout)
{
    Fixture f(true);
    f.load();
    EXPECT_TRUE(f.core.ucaskey_sheet_written());
    EXPECT_FALSE(f.core.crypto_sheet_written());
    std::string shown = f.py("print([c.value for c in wb['ucaskey'][1]])\n"
                             "print([c.value for c in wb['ucaskey'][2]])\n"
                             "print([c.value for c in wb['crypto'][2]][:4])\n"
                             "u = wb['ucaskey']\n"
                             "u.append([12000, 9, 'H', 13.0, 1, 2, 3, 4, 5, 6, 7, 'ff'])\n"
                             "wb['crypto']['A2'] = 'c0fe'\n"
                             "wb.save('" +
                             f.core.workbook_path() + "')\n");
    EXPECT_NE(std::string::npos, shown.find("['TP_Freq', 'S_ID', 'POLARITY', 'SAT_ANGLE', 'Key[0]'")) << shown;
    EXPECT_NE(std::string::npos, shown.find("[11778, 17, 'V', 19.2, 'a0', 'a1'")) << shown;
    EXPECT_NE(std::string::npos, shown.find("['b00', 2, 0, 1]")) << shown;
    ASSERT_EQ(0, f.core.read_xls_file(&f.node.n)) << f.core.last_message();
    const auto* uk = f.core.get_block_info_by_name("ucaskey", 7);
    ASSERT_EQ(200u, entry_size(*uk));
    const uint8_t* d = uk->data;
    EXPECT_EQ((std::vector<uint8_t>{0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 2, 0, 1, 0, 12 + 56 + 24, 0}),
              std::vector<uint8_t>(d, d + 12));
    EXPECT_EQ(38u, rd32(d + 12));
    EXPECT_EQ(11778u, rd32(d + 16));
    EXPECT_EQ(1u, rd32(d + 24));
    EXPECT_EQ(1920u, rd32(d + 28));
    EXPECT_EQ(0xA0, d[32]);
    const uint8_t* r2 = d + 40;
    EXPECT_EQ(12000u, rd32(r2 + 4));
    EXPECT_EQ(0u, rd32(r2 + 12));
    EXPECT_EQ(1300u, rd32(r2 + 16));
    EXPECT_EQ(0x07, r2[26]);
    EXPECT_EQ(0xFF, r2[27]);
    const uint8_t* c = d + 12 + 28 * 4;
    EXPECT_EQ(0xC0FEu, rd32(c));
    EXPECT_EQ(0x0D, c[4]);
    EXPECT_EQ(2, c[5]);
    EXPECT_EQ(15, c[21]);
}

TEST(TesselWorkbook, NoFilePathSheetWithoutRadioAndNoKeySheetsWithoutKeyBlocks)
{
    std::string script = kScript;
    script.replace(script.find("BLOCKINFO=radio]"), 16, "BLOCKINFO=radix]");
    Fixture f(false, script);
    // Drop the key blocks by renaming them in the image.
    for (size_t i = 0; i + 8 <= f.img.size(); ++i)
        if (!memcmp(f.img.data() + i, "ucaskey", 8) || !memcmp(f.img.data() + i, "crypto\0", 7))
            f.img[i] = 'x';
    ASSERT_EQ(1, f.core.scan_flash(f.img.data(), (uint32_t)f.img.size(), &f.node.n));
    ASSERT_EQ(0, f.core.parse_flash(f.img.data(), (uint32_t)f.img.size()));
    ASSERT_EQ(0, f.core.read_config_script("")) << f.core.last_message();
    ASSERT_EQ(1, f.core.generate_xls_fie(&f.node.n)) << f.core.last_message();
    std::string out = f.py("print(','.join(wb.sheetnames))\n");
    EXPECT_EQ("Program,IR_FP_Key,Sys_Config\n", out);
    // Without the settings file nothing is written.
    f.core.set_ini_path(f.dir.file("missing.ini"));
    EXPECT_EQ(0, f.core.generate_xls_fie(&f.node.n));
    EXPECT_EQ("Can not find this file,check it pls.", f.core.last_message());
}

TEST(TesselWorkbook, ImportsAnXlsWorkbookToo)
{
    Fixture f;
    f.load();
    std::string xls = f.dir.file("preset.xls");
    f.py(std::string(kSetHelper) +
         "setb(wb['Sys_Config'], 'mode', 1)\n"
         "import xlwt\n"
         "out = xlwt.Workbook()\n"
         "for ws in wb.worksheets:\n"
         "    o = out.add_sheet(ws.title)\n"
         "    for row in ws.iter_rows():\n"
         "        for c in row:\n"
         "            if c.value is not None: o.write(c.row - 1, c.column - 1, c.value)\n"
         "out.save('" +
         xls + "')\n");
    f.core.set_workbook_path(xls);
    int rc = f.core.read_xls_file(&f.node.n);
    if (rc != 0 && f.core.last_message().find("cannot be read by this build") != std::string::npos)
        GTEST_SKIP() << "no .xls reader in this build";
    ASSERT_EQ(0, rc) << f.core.last_message();
    EXPECT_EQ(0xEF, f.core.get_block_info_by_name("sys", 3)->data[4]);
}

TEST(TesselWorkbook, UntouchedTextsKeepTheirBytes)
{
    std::string script = kScript;
    script.replace(script.find("[name][1][96][64]"), 17, "[name][1][96][128]");
    Fixture f(false, script);
    // A 16-byte text field without a NUL whose last byte is no UTF-8.
    uint8_t* sys = f.img.data() + 0x12000;
    memcpy(sys + 16, "ABCDEFGHIJKLMNO\xE9", 16);
    tb::put32(f.img.data() + 0x10000 + 28 + 48 + 12, kv::crc32(sys, 32));
    f.load();
    ASSERT_EQ(0, f.core.read_xls_file(&f.node.n)) << f.core.last_message();
    std::vector<uint8_t> out;
    ASSERT_EQ(0, f.core.rebuild_flash(f.img.data(), (uint32_t)f.img.size(), &out));
    EXPECT_TRUE(out == f.img);

    f.py(std::string(kSetHelper) + "setb(wb['Sys_Config'], 'name', 'Ü')\nwb.save('" + f.core.workbook_path() + "')\n");
    ASSERT_EQ(0, f.core.read_xls_file(&f.node.n)) << f.core.last_message();
    const uint8_t* d = f.core.get_block_info_by_name("sys", 3)->data;
    // "Ü" in the box's code page (Windows-1252): one byte, then the NUL.
    EXPECT_EQ((std::vector<uint8_t>{0xDC, 0, 'C', 'D'}), std::vector<uint8_t>(d + 16, d + 20));
    EXPECT_EQ(0xE9, d[31]);
}

TEST(TesselWorkbook, BlocksSharingANameKeepTheirOwnRows)
{
    // Two script blocks named "sys": the second one points at block 0x70.
    std::string script = kScript;
    script += "SHEETID=3\nBLOCKINFO=sys]\nINDEX=70\n[first][0][0][8]\n";
    Fixture f(false, script);
    uint8_t* raw_name = f.img.data() + 0x10000 + 28 + 48 * 8 + 24;
    ASSERT_EQ(0, memcmp(raw_name, "raw", 4));
    memcpy(raw_name, "sys", 4);
    f.load();
    f.py("ws = wb['Sys_Config']\n"
         "rows = [r[0].row for r in ws.iter_rows() if r[0].value == 'first']\n"
         "ws.cell(row=rows[0], column=2).value = 200\n"
         "wb.save('" +
         f.core.workbook_path() + "')\n");
    ASSERT_EQ(0, f.core.read_xls_file(&f.node.n)) << f.core.last_message();
    EXPECT_EQ(200, f.core.get_block_info_by_id(0x70)->data[0]);
    EXPECT_EQ(0xFF, f.core.get_block_info_by_id(0x30)->data[4]);
}

// The IR rows are matched by the key names in column 1, group by group: a
// row left out keeps its key's byte and moves no other; a key the key table
// does not have in that group, or a group it does not have, is an error.
TEST(TesselWorkbook, IrRowsAreMatchedByNameWithinTheirGroup)
{
    Fixture f;
    f.load();
    const auto ir_bytes = [&] {
        const auto* ir = f.find(f.core, "ir");
        return std::vector<uint8_t>(ir->data + 12, ir->data + 15);
    };
    f.py(std::string(kSetHelper) +
         "ws = wb['IR_FP_Key']\n"
         "for row in ws.iter_rows():\n"
         "    if row[0].value == 'k1': ws.delete_rows(row[0].row)\n"
         "setb(ws, 'k2', 0x21)\n"
         "setb(ws, 'k3', 0x31)\n"
         "wb.save('" +
         f.core.workbook_path() + "')\n");
    ASSERT_EQ(0, f.core.read_xls_file(&f.node.n)) << f.core.last_message();
    EXPECT_EQ((std::vector<uint8_t>{0x10, 0x21, 0x31}), ir_bytes());

    auto refused = [&](const std::string& edit, const std::string& needle) {
        f.core.free_block_node(&f.node.n);
        f.load();
        const std::vector<uint8_t> kept = ir_bytes();
        f.py(edit + "wb.save('" + f.core.workbook_path() + "')\n");
        EXPECT_EQ(-1, f.core.read_xls_file(&f.node.n)) << edit;
        EXPECT_NE(std::string::npos, f.core.last_message().find(needle)) << f.core.last_message();
        EXPECT_EQ(kept, ir_bytes()) << "nothing changed";
    };
    // Rows: Key, *ir, #ir1, k1, k2, #ir2, k3 (then Sys_Config's own sheet).
    refused("wb['IR_FP_Key'].insert_rows(8)\nwb['IR_FP_Key']['A8'] = 'k9'\nwb['IR_FP_Key']['B8'] = 1\n",
            "[k9], which is not among the 1 keys of group #ir2");
    refused("wb['IR_FP_Key']['A6'] = '#ir3'\n", "opens IR group #ir3, but the key table of block [ir] has 2 groups");
    refused("wb['IR_FP_Key']['A5'] = 'k3'\n", "[k3], which is not among the 2 keys of group #ir1");
}

TEST(TesselWorkbook, TextItemsAreBytesOfTheBoxCodePage)
{
    Fixture f;
    f.load();
    const auto name_bytes = [&] {
        const uint8_t* d = f.core.get_block_info_by_name("sys", 3)->data;
        return std::vector<uint8_t>(d + 16, d + 22);
    };
    f.py(std::string(kSetHelper) + "setb(wb['Sys_Config'], 'name', 'Café')\nwb.save('" + f.core.workbook_path() +
         "')\n");
    ASSERT_EQ(0, f.core.read_xls_file(&f.node.n)) << f.core.last_message();
    EXPECT_EQ((std::vector<uint8_t>{'C', 'a', 'f', 0xE9, 0, 0}), name_bytes());

    // Windows-1252 has no place for Chinese: the cell is named, nothing changes.
    f.py(std::string(kSetHelper) + "setb(wb['Sys_Config'], 'name', '中文')\nwb.save('" + f.core.workbook_path() +
         "')\n");
    EXPECT_EQ(-1, f.core.read_xls_file(&f.node.n));
    EXPECT_NE(std::string::npos, f.core.last_message().find("cell B5 of sheet [Sys_Config] holds \"中\""))
        << f.core.last_message();
    EXPECT_EQ((std::vector<uint8_t>{'C', 'a', 'f', 0xE9, 0, 0}), name_bytes());

    // A box for a Chinese market: GBK, two bytes a character, both ways.
    f.core.set_code_page(kv::CodePage("GBK"));
    ASSERT_EQ(0, f.core.read_xls_file(&f.node.n)) << f.core.last_message();
    EXPECT_EQ((std::vector<uint8_t>{0xD6, 0xD0, 0xCE, 0xC4, 0, 0}), name_bytes());
    ASSERT_EQ(0, f.core.read_config_script(""));
    ASSERT_EQ(1, f.core.generate_xls_fie(&f.node.n));
    EXPECT_NE(std::string::npos,
              f.py(std::string(kSetHelper) +
                   "print([r[1].value for r in wb['Sys_Config'].iter_rows() if r[0].value == 'name'])\n")
                  .find("['中文']"));
}

// A "preset" block packed by another tool (xz in its .lzma format, with an
// end marker and no size in the header) is kept byte for byte by an
// unedited round trip, and so is every block after it.
TEST(TesselWorkbook, PresetPackedByXzSurvivesAnUneditedRoundTrip)
{
    tb::ScratchDir dir;
    std::vector<uint8_t> s = {'p', 'r', 'e', 's', 'e', 't', 'd', 'a', 't', 'a', 0, 2, 0, 2};
    cell16(s, 0x80, "*Astra 19.2E");
    cell16(s, 0x01, "x");
    cell16(s, 0x80, "Das Erste");
    tb::spit(dir.file("p"), s.data(), s.size());
    ASSERT_EQ(0, std::system(("xz --format=lzma -k '" + dir.file("p") + "'").c_str()));
    const std::vector<uint8_t> xz = tb::slurp(dir.file("p.lzma"));
    ASSERT_EQ(0xFFFFFFFFu, rd32(xz.data() + 5)) << "xz writes no size";
    Fixture f(false, kScript, [&](tb::Dmh& d) {
        for (auto& b : d.blocks)
            if (b.name == "preset")
                b.data = xz;
    });
    f.load();
    ASSERT_EQ(0, f.core.read_xls_file(&f.node.n)) << f.core.last_message();
    std::vector<uint8_t> out;
    ASSERT_EQ(0, f.core.rebuild_flash(f.img.data(), (uint32_t)f.img.size(), &out));
    EXPECT_TRUE(out == f.img);

    // An edit repacks it (in our own format, which xz reads as well).
    f.py("wb['Program']['B2'] = 'y'\nwb.save('" + f.core.workbook_path() + "')\n");
    ASSERT_EQ(0, f.core.read_xls_file(&f.node.n)) << f.core.last_message();
    const auto* preset = f.find(f.core, "preset");
    tb::spit(dir.file("q.lzma"), preset->data, entry_size(*preset));
    ASSERT_EQ(0, std::system(("xz --format=lzma -d '" + dir.file("q.lzma") + "'").c_str()));
    std::vector<uint8_t> want = {'p', 'r', 'e', 's', 'e', 't', 'd', 'a', 't', 'a', 0, 2, 0, 2};
    cell16(want, 0x80, "*Astra 19.2E");
    cell16(want, 0x01, "x");
    cell16(want, 0x80, "Das Erste");
    cell16(want, 0x01, "y");
    EXPECT_EQ(want, tb::slurp(dir.file("q")));
}

// Paths on the File_Path sheet name regular files of bounded size: a device
// or a FIFO is refused at once (never read, never waited for). A
// hardware-info block smaller than the 240 bytes of hw info gets what fits.
TEST(TesselWorkbook, FilesNamedOnTheSheetAreRegularFiles)
{
    Fixture f(false, kScript, [](tb::Dmh& d) {
        for (auto& b : d.blocks)
            if (b.name == "hwinfo")
                b.data.assign(100, 0x5A);
    });
    f.load();
    const std::string fifo = f.dir.file("fifo");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    for (const std::string& bad : {std::string("/dev/zero"), fifo}) {
        f.py("wb['File_Path']['B3'] = '" + bad + "'\nwb.save('" + f.core.workbook_path() + "')\n");
        EXPECT_EQ(-1, f.core.read_xls_file(&f.node.n)) << bad;
        EXPECT_NE(std::string::npos, f.core.last_message().find("is not a regular file")) << f.core.last_message();
        f.py("wb['File_Path']['B3'] = None\nwb['File_Path']['B5'] = '" + bad + "'\nwb.save('" + f.core.workbook_path() +
             "')\n");
        EXPECT_EQ(-1, f.core.read_xls_file(&f.node.n)) << bad;
        EXPECT_EQ("Parse hw info file failed", f.core.last_message());
        f.py("wb['File_Path']['B5'] = None\nwb.save('" + f.core.workbook_path() + "')\n");
    }
    const std::string hw = "panel starts\n01,02,03,##\nled starts\n{'8',0x7f},##\n";
    tb::spit(f.dir.file("hw.txt"), hw.data(), hw.size());
    f.py("wb['File_Path']['B5'] = '" + f.dir.file("hw.txt") + "'\nwb.save('" + f.core.workbook_path() + "')\n");
    ASSERT_EQ(0, f.core.read_xls_file(&f.node.n)) << f.core.last_message();
    const auto* hb = f.find(f.core, "hwinfo");
    ASSERT_EQ(100u, entry_size(*hb)) << "the block keeps its size";
    EXPECT_EQ((std::vector<uint8_t>{3, 0, 1, 2, 3}), std::vector<uint8_t>(hb->data, hb->data + 5));
    EXPECT_EQ(0, hb->data[99]);
}

TEST(TesselWorkbook, KeyRecordRoomIsBounded)
{
    Fixture f(true);
    const std::string ini = "[Tessel]\nNew_ucakey=true\nBISS_MAX_KEYINFOS=200000000\n";
    tb::spit(f.dir.file("corvane.ini"), ini.data(), ini.size());
    ASSERT_EQ(1, f.core.scan_flash(f.img.data(), (uint32_t)f.img.size(), &f.node.n));
    ASSERT_EQ(0, f.core.parse_flash(f.img.data(), (uint32_t)f.img.size()));
    ASSERT_EQ(0, f.core.read_config_script(""));
    EXPECT_EQ(0, f.core.generate_xls_fie(&f.node.n));
    EXPECT_NE(std::string::npos, f.core.last_message().find("at most 2340 keys")) << f.core.last_message();
}

// Settings edited in LibreOffice Calc and in Gnumeric, saved as .xls and
// .xlsx, with formulas in place of the values: the results the programs
// stored are what reaches the blocks.
TEST(TesselWorkbook, ImportsWorkbooksSavedBySpreadsheetPrograms)
{
    for (const char* file : {"libreoffice.xls", "libreoffice.xlsx", "gnumeric.xls", "gnumeric.xlsx"}) {
        SCOPED_TRACE(file);
        Fixture f;
        f.load();
        f.core.set_key_sheets(false, false);  // these workbooks carry no key sheets
        f.core.set_code_page(kv::CodePage("WINDOWS-1252"));
        f.core.set_workbook_path(std::string(WORKBOOK_FIXTURES) + "/" + file);
        ASSERT_EQ(0, f.core.read_xls_file(&f.node.n)) << f.core.last_message();
        const uint8_t* sys = f.find(f.core, "sys")->data;
        EXPECT_EQ(0xEF, sys[4]) << "mode =0+1 in bits 3-4";
        EXPECT_EQ((std::vector<uint8_t>{0x21, 0x43}), std::vector<uint8_t>(sys + 5, sys + 7)) << "word =17000+185";
        EXPECT_EQ((std::vector<uint8_t>{'C', 'a', 'f', 0xE9, 0}), std::vector<uint8_t>(sys + 16, sys + 21));
        const uint8_t* ir = f.find(f.core, "ir")->data;
        EXPECT_EQ((std::vector<uint8_t>{32, 33, 65}), std::vector<uint8_t>(ir + 12, ir + 15));
    }
}
