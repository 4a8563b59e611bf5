// The key component: key frames, key maps from workbooks written by xlwt and
// openpyxl, the record file written and read back, and its bad inputs.
#include "ClickerTestSupport.h"
#include "KeyFrame.h"
#include "KvBasicRemoteCtrl.h"
#include "RecordFile.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

using namespace clicker;
using clickertest::KeyRow;

namespace {

std::string read_all(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

void write_all(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

struct Component {
    CKvBasicRemoteCtrl ctrl;
    std::unique_ptr<tag_record_table> table = std::make_unique<tag_record_table>();
    Component()
    {
        ctrl.m_pTable = table.get();
        tag_remote map;
        for (const KeyRow& k : clickertest::seven_keys()) {
            map.name.push_back(k.name);
            map.value.push_back(k.value);
            map.shortcut.push_back(k.shortcut);
        }
        map.key_num = static_cast<int>(map.name.size());
        ctrl.set_remote(map);
    }
};

}  // namespace

TEST(KeyFrame, MatchesAFrameBuiltByHand)
{
    // '#', 'K', 4, value LE32, then the complement of zlib's CRC-32 of bytes 1..6.
    uint8_t want[11] = {'#', 'K', 4, 0x34, 0x12, 0, 0};
    uint32_t crc = ~static_cast<uint32_t>(::crc32(0L, want + 1, 6));
    for (int i = 0; i < 4; ++i)
        want[7 + i] = static_cast<uint8_t>(crc >> (8 * i));
    auto got = build_key_frame(0x1234);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), want));

    const uint8_t ok[2] = {'O', 'K'}, refused[2] = {'E', 2}, damaged[2] = {'E', 1}, junk[2] = {'O', 'O'};
    EXPECT_EQ(decode_key_reply(ok), kSendOk);
    EXPECT_EQ(decode_key_reply(refused), kSendRefused);
    EXPECT_EQ(decode_key_reply(damaged), kSendDamaged);
    EXPECT_EQ(decode_key_reply(junk), kSendBadAnswer);
}

TEST(KeyMap, ReadFromXlsAndXlsxAlike)
{
    testsupport::ScratchDir dir("clicker");
    for (const char* name : {"keys.xls", "keys.xlsx"}) {
        SCOPED_TRACE(name);
        std::string path = clickertest::write_key_map(dir, name, clickertest::seven_keys());
        ASSERT_FALSE(path.empty());
        CKvBasicRemoteCtrl ctrl;
        tag_remote map;
        ASSERT_NE(ctrl.ExcelParser(path, &map), 0) << ctrl.last_error();
        ASSERT_EQ(map.key_num, 7);
        EXPECT_EQ(map.name[5], "CH UP");
        EXPECT_EQ(map.value[0], "1");  // a number cell, without a fraction
        EXPECT_EQ(map.shortcut[2], "O");
        EXPECT_EQ(map.shortcut[1], "");
    }
}

TEST(KeyMap, BadMapsAreRefusedWithTheirMessages)
{
    testsupport::ScratchDir dir("clicker");
    clickertest::LineSink sink;
    CKvBasicRemoteCtrl ctrl;
    CRemoteSession session(ctrl, sink);

    auto keys = clickertest::seven_keys();
    keys[3].value = "12a";
    EXPECT_STREQ(session.LoadKeyMap(clickertest::write_key_map(dir, "bad.xls", keys)), kValueNotInteger);
    EXPECT_EQ(ctrl.m_KeyNum, 0) << "a rejected map does not become current";

    keys[3].value = "99999999999";  // digits only, but no 32-bit key value
    EXPECT_STREQ(session.LoadKeyMap(clickertest::write_key_map(dir, "big.xlsx", keys)), kValueNotInteger);

    EXPECT_STREQ(session.LoadKeyMap(clickertest::write_key_map(dir, "empty.xls", {})), kRowsOutOfRange);
    std::vector<KeyRow> many;
    for (int i = 0; i < 101; ++i)
        many.push_back({"K" + std::to_string(i), std::to_string(i), ""});
    EXPECT_STREQ(session.LoadKeyMap(clickertest::write_key_map(dir, "many.xlsx", many)), kRowsOutOfRange);
    write_all(dir.file("junk.xls"), "not a workbook");
    EXPECT_STREQ(session.LoadKeyMap(dir.file("junk.xls")), kRowsOutOfRange);

    EXPECT_EQ(session.LoadKeyMap(clickertest::write_key_map(dir, "good.xls", clickertest::seven_keys())), nullptr);
    EXPECT_EQ(ctrl.m_KeyNum, 7);
}

TEST(RecordFile, RecordingWritesTimedLinesAndTheClosingLine)
{
    testsupport::ScratchDir dir("clicker");
    Component c;
    int64_t now = 1000;
    c.ctrl.now_ms = [&] { return now; };
    clickertest::LineSink sink;
    CRemoteSession session(c.ctrl, sink);
    session.SetTimeScale(0.001);
    session.LogFile().set_folder(dir.path());

    const std::string path = dir.file("run.rcd");
    ASSERT_TRUE(session.StartRecord(path));
    now = 1750;
    session.Press("POWER", 1);
    now = 2000;
    session.Press("CH UP", 6);
    session.StopRecord();

    EXPECT_EQ(read_all(path), "Key:     first, Sleep:       750, Comments:first key.\n"
                              "Key:     POWER, Sleep:       250, Comments:POWER.\n"
                              "Key:        CH, Sleep:     10000, Comments:CH UP last key. Wait next round:10000ms\n");
    EXPECT_EQ(c.table->count, 3);
    EXPECT_EQ(c.table->key_value[0], kStartMarker);
    EXPECT_EQ(c.table->sleep_ms[2], 10000);
    EXPECT_EQ(record_name(*c.table, 2), "CH UP last key");
    EXPECT_EQ(sink.starting("record:  key value:6, key name:CH UP\r\n").size(), 1u);

    // Read back: the same keys, the start marker, the recorded pauses.
    std::memset(c.table.get(), 0, sizeof(tag_record_table));
    ASSERT_NE(c.ctrl.load_key_map(path), 0) << c.ctrl.last_error();
    EXPECT_EQ(c.table->count, 3);
    EXPECT_EQ(c.table->key_value[0], kStartMarker);
    EXPECT_EQ(c.table->key_value[1], 1);
    EXPECT_EQ(c.table->key_value[2], 6);
    EXPECT_EQ(c.table->sleep_ms[0], 750);
    EXPECT_EQ(c.table->sleep_ms[2], 10000);
}

TEST(RecordFile, HandEditedFilesLoadOrFailClearly)
{
    testsupport::ScratchDir dir("clicker");
    Component c;
    const std::string path = dir.file("edit.rcd");

    // A key the map does not know plays as -2; blank lines and CR LF are fine;
    // a name with a blank is found by its full name.
    write_all(path, "Key: first, Sleep: 10, Comments:first key.\r\n\r\n"
                    "Key: NOPE, Sleep: 20, Comments:NOPE.\r\n"
                    "Key: CH, Sleep: -5, Comments:CH UP.\r\n");
    ASSERT_NE(c.ctrl.load_key_map(path), 0) << c.ctrl.last_error();
    EXPECT_EQ(c.table->count, 3);
    EXPECT_EQ(c.table->key_value[1], kUnknownKey);
    EXPECT_EQ(c.table->key_value[2], 6);
    EXPECT_EQ(c.table->sleep_ms[2], -5);

    struct Bad {
        std::string text, message;
    } bad[] = {
        {"Key: OK, Comments:OK.\n", "line 1: no pause (Sleep:) given"},
        {"Key: OK, Sleep: , Comments:OK.\n", "line 1: no pause (Sleep:) given"},
        {"Key: OK, Sleep: 1x, Comments:OK.\n", "line 1: the pause \"1x\" is not a whole number of ms"},
        {"\nhello\n", "line 2: not a record"},
        {"Key: OK, Sleep: 1, Comments:OK last key. Wait next round:10000ms\nKey: OK, Sleep: 1, Comments:OK.\n",
         "line 2: a record after the closing line"},
        {"", "the file holds no records"},
    };
    for (const Bad& b : bad) {
        write_all(path, b.text);
        EXPECT_EQ(c.ctrl.load_key_map(path), 0) << b.text;
        EXPECT_NE(c.ctrl.last_error().find(b.message), std::string::npos) << c.ctrl.last_error();
    }

    std::string many;
    for (int i = 0; i < kMaxRecords + 1; ++i)
        many += record_line("OK", 1);
    write_all(path, many);
    EXPECT_EQ(c.ctrl.load_key_map(path), 0);
    EXPECT_NE(c.ctrl.last_error().find("line 2001: more than 2000 records"), std::string::npos);
    EXPECT_EQ(c.ctrl.load_key_map(dir.file("missing.rcd")), 0);

    // A file of 4 MiB is read whole; one byte more is too large.
    std::string blank(4u << 20, '\n');
    write_all(path, blank);
    EXPECT_EQ(c.ctrl.load_key_map(path), 0);
    EXPECT_NE(c.ctrl.last_error().find("the file holds no records"), std::string::npos) << c.ctrl.last_error();
    write_all(path, blank + "\n");
    EXPECT_EQ(c.ctrl.load_key_map(path), 0);
    EXPECT_NE(c.ctrl.last_error().find("too large for a record file"), std::string::npos) << c.ctrl.last_error();
}

TEST(RecordFile, TheTableStopsAt2000Records)
{
    testsupport::ScratchDir dir("clicker");
    Component c;
    clickertest::LineSink sink;
    CRemoteSession session(c.ctrl, sink);
    session.SetTimeScale(0.0001);
    session.LogFile().set_folder(dir.path());
    ASSERT_TRUE(session.StartRecord(dir.file("full.rcd")));
    for (int i = 0; i < kMaxRecords; ++i)
        session.Press("OK", 3);
    EXPECT_EQ(c.table->count, kMaxRecords);
    EXPECT_EQ(session.GetStats().keys_not_recorded, 1);
    EXPECT_EQ(sink.starting("Key not recorded: the recording is full").size(), 1u);
    session.StopRecord();
    ASSERT_NE(c.ctrl.load_key_map(dir.file("full.rcd")), 0) << c.ctrl.last_error();
    EXPECT_EQ(c.table->count, kMaxRecords);
}

TEST(RecordTable, NamesAreCutToTheFieldWithoutSplittingACharacter)
{
    auto t = std::make_unique<tag_record_table>();
    set_record_name(*t, 0, std::string(98, 'a') + "\xF0\x9F\x93\xBA");  // 98 + a surrogate pair
    EXPECT_EQ(record_name(*t, 0), std::string(98, 'a'));
    set_record_name(*t, 1, std::string(150, 'b'));
    EXPECT_EQ(record_name(*t, 1).size(), 99u);
    EXPECT_EQ(t->name[1][99], u'\0');
    EXPECT_EQ(t->name[2][0], u'\0');
}
