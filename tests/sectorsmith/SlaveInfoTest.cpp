// The slave-info record and the block table, without a box.
#include "BlockKinds.h"
#include "BlockText.h"
#include "BlockUpgJob.h"
#include "KvBasicCfgIni.h"
#include "SlaveInfo.h"

#include <gtest/gtest.h>

using namespace sectorsmith;

namespace {

// A record written byte by byte: header, count, entries (id, offset, size, name).
std::vector<uint8_t> record(uint16_t count, size_t entries_present)
{
    std::vector<uint8_t> r(20 + 48 * entries_present, 0);
    r[16] = uint8_t(count);
    r[17] = uint8_t(count >> 8);
    for (size_t i = 0; i < entries_present; ++i) {
        uint8_t* e = r.data() + 20 + 48 * i;
        e[0] = uint8_t(0x88 + i);
        e[4] = 0x00;
        e[5] = 0x10;
        e[6] = uint8_t(i);
        e[7] = 0x00;  // offset 0x000i1000
        e[8] = 0x00;
        e[9] = 0x20;
        e[10] = 0x00;
        e[11] = 0x00;  // size 0x2000
        e[12] = 'b';
        e[13] = 'l';
        e[14] = 'k';
    }
    return r;
}

}  // namespace

TEST(SlaveInfo, ReadsEntriesAndFindsTheFirstMatch)
{
    std::vector<uint8_t> r = record(3, 3);
    r[20 + 48 * 2] = 0x88;  // a second 0x88: the first one counts
    SlaveInfo s;
    std::string err;
    ASSERT_TRUE(parse_slave_info(r.data(), r.size(), &s, &err)) << err;
    ASSERT_EQ(s.entries.size(), 3u);
    EXPECT_EQ(s.entries[1].id, 0x89);
    EXPECT_EQ(s.entries[1].offset, 0x00011000u);
    EXPECT_EQ(s.entries[1].size, 0x2000u);
    EXPECT_EQ(s.entries[1].name, "blk");
    ASSERT_NE(s.find(0x88), nullptr);
    EXPECT_EQ(s.find(0x88)->offset, 0x1000u);
    EXPECT_EQ(s.find(0x95), nullptr);
    EXPECT_EQ(s.list_text(), "0x88 blk, 0x89 blk, 0x88 blk");
}

TEST(SlaveInfo, RefusesWhatTheRecordCannotHold)
{
    SlaveInfo s;
    std::string err;
    // 64 entries fill the record exactly; 65 do not fit.
    std::vector<uint8_t> full = record(64, 64);
    ASSERT_EQ(full.size(), kSlaveInfoMax);
    EXPECT_TRUE(parse_slave_info(full.data(), full.size(), &s, &err)) << err;
    EXPECT_EQ(s.entries.size(), 64u);

    std::vector<uint8_t> longer = record(65, 65);
    EXPECT_FALSE(parse_slave_info(longer.data(), longer.size(), &s, &err));
    EXPECT_NE(err.find("larger than the 3092 bytes"), std::string::npos) << err;
    EXPECT_TRUE(s.entries.empty());

    // A hostile count in a short record: never read past the bytes received.
    std::vector<uint8_t> hostile = record(0xFFFF, 2);
    EXPECT_FALSE(parse_slave_info(hostile.data(), hostile.size(), &s, &err));
    EXPECT_NE(err.find("65535 blocks"), std::string::npos) << err;
    std::vector<uint8_t> short_list = record(5, 2);
    EXPECT_FALSE(parse_slave_info(short_list.data(), short_list.size(), &s, &err));
    EXPECT_NE(err.find("carries only"), std::string::npos) << err;
    EXPECT_FALSE(parse_slave_info(short_list.data(), 10, &s, &err));
}

TEST(BlockKinds, NamesIdsAndPlatforms)
{
    uint8_t id = 0;
    std::string err;
    const std::pair<const char*, uint8_t> names[] = {
        {"application", 0x88}, {"back-logo", 0x94}, {"dbase", 0x9C},      {"key", 0xAC},  {"radio-logo", 0x95},
        {"ssdata", 0x98},      {"ir", 0xAE},        {"start-logo", 0x93}, {"0x80", 0x80}, {"136", 0x88}};
    for (const auto& [name, want] : names) {
        ASSERT_TRUE(parse_block(name, &id, &err)) << name << ": " << err;
        EXPECT_EQ(id, want) << name;
    }
    EXPECT_FALSE(parse_block("0xFF", &id, &err));
    EXPECT_NE(err.find("--flash"), std::string::npos);
    EXPECT_FALSE(parse_block("0x100", &id, &err));
    EXPECT_FALSE(parse_block("logo", &id, &err));
    EXPECT_NE(err.find("start-logo"), std::string::npos) << err;
    EXPECT_EQ(id_word(0x88), 0x8888);

    // The list shows project types 0, 1, 2, 6, 7.
    EXPECT_EQ(project_types(), (std::vector<int>{0, 1, 2, 6, 7}));
    // Which platforms offer "Key", "SSDATA", "IR" and "Start Logo".
    const char* want[5] = {"K", "SI", "KL", "KL", "KL"};
    for (int pos = 0; pos < 5; ++pos) {
        std::string got;
        for (const BlockKind& k : block_kinds()) {
            bool on = kind_enabled(k, bootlink::platform(project_types()[size_t(pos)]));
            const char* letter = k.id == 0xAC ? "K" : k.id == 0x98 ? "S" : k.id == 0xAE ? "I" : k.id == 0x93 ? "L" : "";
            if (*letter && on)
                got += letter;
            if (!*letter) {
                EXPECT_TRUE(on) << k.caption;
            }
        }
        EXPECT_EQ(got, want[pos]) << "position " << pos;
    }
}

TEST(SlaveInfo, TheSizeCheckIsOnUnlessTheSettingSaysZero)
{
    CKvBasicCfgIni ini;
    EXPECT_TRUE(size_check_setting(ini));
    ini.LoadFromText("[UPGBLOCK]\nCheckBlockSize = 0\n");
    EXPECT_FALSE(size_check_setting(ini));
    ini.LoadFromText("[UPGBLOCK]\nCheckBlockSize=1\n");
    EXPECT_TRUE(size_check_setting(ini));
}

// The list as slave-info prints it: a table for people, JSON for scripts
// (an ID no kind knows has no kind), and an empty list as "[]".
TEST(SlaveInfoText, TableAndJsonNameEveryBlock)
{
    SlaveInfo s;
    s.entries = {{0x88, 0x10000, 0x2000, "app"}, {0x7E, 0x200, 0, "x\"y"}};
    EXPECT_EQ(blocks_table(s), "ID     KIND         OFFSET     SIZE       NAME\n"
                               "0x88   application  0x00010000 0x00002000 app\n"
                               "0x7E   -            0x00000200 0x00000000 x\"y\n");
    EXPECT_EQ(blocks_json(s, "  "), "[\n    {\"id\": \"0x88\", \"kind\": \"application\", \"name\": \"app\", "
                                    "\"offset\": 65536, \"size\": 8192},\n"
                                    "    {\"id\": \"0x7E\", \"kind\": \"\", \"name\": \"x\\\"y\", "
                                    "\"offset\": 512, \"size\": 0}\n  ]");
    EXPECT_EQ(blocks_json(SlaveInfo{}, ""), "[]");
}
