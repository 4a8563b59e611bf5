// The session without a box: the replay order and rounds, the log lines of
// every mode, the random generator, stopping, and the day's log file. Waits
// run on a scaled clock.
#include "ClickerTestSupport.h"
#include "RecordFile.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <random>

using namespace clicker;

namespace {

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ctrl.m_pTable = table.get();
        keys_path = clickertest::write_key_map(dir, "keys.xls", clickertest::seven_keys());
        session.LogFile().set_folder(dir.path());
        session.SetTimeScale(0.001);
        ASSERT_EQ(session.LoadKeyMap(keys_path), nullptr);
    }

    std::string rcd(const std::string& text)
    {
        std::string path = dir.file("t" + std::to_string(++files) + ".rcd");
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    testsupport::ScratchDir dir{"clicker"};
    std::unique_ptr<tag_record_table> table = std::make_unique<tag_record_table>();
    CKvBasicRemoteCtrl ctrl;
    clickertest::LineSink sink;
    CRemoteSession session{ctrl, sink};
    std::string keys_path;
    int files = 0;
};

std::vector<std::string> sim_lines(const clickertest::LineSink& sink) { return sink.starting("sim: "); }

}  // namespace

TEST_F(SessionTest, ReplayPlaysTheFirstRecordTwiceThenEveryRecordPerRound)
{
    const std::string path =
        rcd(record_line("OK", 1000) + record_line("MENU", 1000) + closing_line("EXIT last key", 10000));
    ASSERT_TRUE(session.StartSimulation(path, 3));
    // The mode's end is told after the flag drops and "Stop sim..." is logged.
    ASSERT_TRUE(clickertest::wait_for([&] { return !session.Simulating() && sink.ended() > 0; }));
    EXPECT_EQ(sink.ended(), 1);

    const int plays[][2] = {{0, 0}, {0, 0}, {0, 1}, {0, 2}, {1, 0}, {1, 1}, {1, 2}, {2, 0}, {2, 1}, {2, 2}};
    const int values[] = {3, 2, 7};
    std::vector<std::string> want;
    for (const auto& p : plays)
        want.push_back(sformat("sim: cyc:%d, key num:%d, key value:%d\r\n", p[0], p[1], values[p[1]]));
    EXPECT_EQ(sim_lines(sink), want);
    EXPECT_EQ(sink.starting("Start sim...\r\n").size(), 1u);
    EXPECT_EQ(sink.lines().back(), "Stop sim...\r\n");
    EXPECT_EQ(session.Cycle(), 0) << "the cycle counter is cleared when the replay stops";
}

TEST_F(SessionTest, BadPausesAndUnknownKeysAreLoggedAndTheRunGoesOn)
{
    const std::string path = rcd(record_line("NOPE", 0) + closing_line("OK last key", -3));
    ASSERT_TRUE(session.StartSimulation(path, 2));
    ASSERT_TRUE(clickertest::wait_for([&] { return !session.Simulating(); }));

    // Round 1 plays records 0, 0, 1; round 2 plays 0, 1.
    EXPECT_EQ(sink.starting("Wrong Sleep Time.\r\n").size(), 5u);
    EXPECT_EQ(session.GetStats().wrong_sleeps, 5);
    EXPECT_EQ(sink.starting("NOPECan`t find Key_Value\r\n").size(), 3u);
    EXPECT_EQ(sink.starting("Not find key...\r\n").size(), 3u);
    EXPECT_EQ(session.GetStats().unknown_keys, 3);
    EXPECT_EQ(sink.starting("Send key failed! key value:3, key name:OK last key, error:1\r\n").size(), 2u);
}

TEST_F(SessionTest, LinesFollowTheMode)
{
    session.Press("POWER", 1);
    EXPECT_EQ(sink.lines().at(0), "press key: key value:1, key name:POWER\r\n");
    EXPECT_EQ(sink.lines().at(1), "Send key failed! key value:1, key name:POWER, error:1\r\n");

    ASSERT_TRUE(session.StartRandom(7, 3));
    EXPECT_FALSE(session.PressByHand("POWER", 1)) << "no presses by hand while random runs";
    ASSERT_TRUE(clickertest::wait_for([&] { return !session.RandomRunning(); }));
    EXPECT_EQ(sink.starting("random: key value:").size(), 3u);
    EXPECT_EQ(sink.lines().back(), "Stop random...\r\n");
    EXPECT_TRUE(session.FreePress());

    ASSERT_TRUE(session.StartRecord(dir.file("rr.rcd")));
    EXPECT_FALSE(session.StartSimulation(rcd(record_line("OK", 1)))) << "recording excludes simulation";
    ASSERT_TRUE(session.StartRandom(7, 2));
    ASSERT_TRUE(clickertest::wait_for([&] { return !session.RandomRunning(); }));
    EXPECT_TRUE(session.PressByHand("OK", 3));
    ASSERT_TRUE(clickertest::wait_for([&] {
        std::lock_guard<std::recursive_mutex> l(ctrl.table_mutex());
        return table->count == 4;
    }));
    session.StopRecord();
    EXPECT_EQ(sink.starting("record:  key value:3, key name:OK\r\n").size(), 1u);
    EXPECT_EQ(sink.starting("random&record:  key value:").size(), 2u);

    ASSERT_TRUE(session.StartSimulation(rcd(record_line("OK", 100000))));
    EXPECT_FALSE(session.StartRandom(1)) << "simulation excludes random";
    EXPECT_FALSE(session.StartRecord(dir.file("no.rcd"))) << "simulation excludes recording";
    session.StopSimulation();
}

TEST_F(SessionTest, RandomIsSeededOncePerRun)
{
    auto run = [&](uint32_t seed) {
        clickertest::LineSink s;
        CRemoteSession random(ctrl, s);
        random.LogFile().set_folder(dir.path());
        random.SetTimeScale(0.0001);
        EXPECT_EQ(random.LoadKeyMap(keys_path), nullptr);
        random.StartRandom(seed, 40);
        EXPECT_TRUE(clickertest::wait_for([&] { return !random.RandomRunning(); }));
        return s.starting("random: ");
    };
    std::vector<std::string> a = run(1234), b = run(1234);
    EXPECT_EQ(a, b);
    std::mt19937 gen(1234);
    const char* names[] = {"POWER", "MENU", "OK", "VOL+", "VOL-", "CH UP", "EXIT"};
    ASSERT_EQ(a.size(), 40u);
    for (const std::string& line : a) {
        unsigned j = gen() % 7;
        EXPECT_EQ(line, sformat("random: key value:%u, key name:%s\r\n", j + 1, names[j]));
    }
}

TEST_F(SessionTest, StopEndsLongWaitsAtOnce)
{
    session.SetTimeScale(1.0);
    ASSERT_TRUE(session.StartSimulation(rcd(record_line("OK", 600000))));
    ASSERT_TRUE(clickertest::wait_for([&] { return !sim_lines(sink).empty(); }));
    auto t0 = std::chrono::steady_clock::now();
    session.StopSimulation();  // joins the replay thread, which sat in a 600 s pause
    EXPECT_FALSE(session.Simulating());
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(60));
    EXPECT_EQ(sink.lines().back(), "Stop sim...\r\n");

    ASSERT_TRUE(session.StartRandom(1));
    ASSERT_TRUE(clickertest::wait_for([&] { return !sink.starting("random: ").empty(); }));
    session.StopRandom();
    EXPECT_FALSE(session.RandomRunning());
}

TEST_F(SessionTest, EveryLineGoesIntoTheDaysLogFile)
{
    std::tm day{};
    day.tm_year = 2024 - 1900;
    day.tm_mon = 2;
    day.tm_mday = 5;
    day.tm_hour = 12;
    const std::time_t noon = std::mktime(&day);
    session.LogFile().set_clock([noon] { return noon; });
    session.Press("MENU", 2);
    session.Log("Start sim...\r\n");
    std::ifstream f(dir.file("RCLog_20240305.txt"), std::ios::binary);
    std::string text{std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
    EXPECT_EQ(text, "press key: key value:2, key name:MENU\r\n"
                    "Send key failed! key value:2, key name:MENU, error:1\r\n"
                    "Start sim...\r\n");
}

TEST_F(SessionTest, TheComponentsKeyMapIsTheOneInUse)
{
    tag_remote map;
    map.name = {"ONLY"};
    map.value = {"42"};
    map.shortcut = {""};
    map.key_num = 1;
    ctrl.set_remote(map);  // as a caller of the component alone would
    int32_t v = 0;
    EXPECT_TRUE(session.FindKey("ONLY", &v));
    EXPECT_EQ(v, 42);
    ASSERT_TRUE(session.StartRandom(3, 2));
    ASSERT_TRUE(clickertest::wait_for([&] { return !session.RandomRunning(); }));
    EXPECT_EQ(sink.starting("random: key value:42, key name:ONLY\r\n").size(), 2u);
}
