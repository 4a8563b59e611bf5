// Burn logs: first lines and line formats, the ".bak" copy, the duplicate
// test and the rotation of long logs.
#include "BurnLog.h"

#include "ScratchDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

using namespace stampa;
namespace fs = std::filesystem;

namespace {

std::string slurp(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::tm christmas_afternoon()
{
    std::tm t{};
    t.tm_mon = 11;
    t.tm_mday = 25;
    t.tm_hour = 14;
    t.tm_min = 30;
    return t;
}

}  // namespace

TEST(BurnLog, LineFormatsAndBackup)
{
    testsupport::ScratchDir dir("stampa-log");
    BurnLog plain(dir.file("BurningInfo.csv"), BurnLog::Format::Plain);
    EXPECT_TRUE(plain.append("000123", true).ok);
    EXPECT_EQ(slurp(dir.file("BurningInfo.csv.bak")), "Stampa,Status\n");
    EXPECT_TRUE(plain.append("000124", false).ok);
    EXPECT_EQ(slurp(dir.file("BurningInfo.csv")), "Stampa,Status\n000123,Success\n000124,Failed\n");
    EXPECT_EQ(slurp(dir.file("BurningInfo.csv.bak")), "Stampa,Status\n000123,Success\n");

    BurnLog cedar(dir.file("BurningInfo_cedar.csv"), BurnLog::Format::Quoted, true);
    BurnLog::Written w = cedar.append("0012345678901", true);
    EXPECT_TRUE(w.ok && w.ca_ok);
    EXPECT_EQ(slurp(dir.file("BurningInfo_cedar.csv")), "Stampa,Status\n=\"0012345678901\",Success\n");
    EXPECT_EQ(slurp(dir.file("BurningInfo_cedar_ca.csv")),
              "Stampa,ID,Status\n=\"0012345678901\",=\"C045678901\",Success\n");
    EXPECT_EQ(BurnLog::ca_identifier("123"), "C0123");
}

TEST(BurnLog, FailedBackupLosesNothingSilently)
{
    testsupport::ScratchDir dir("stampa-log");
    BurnLog log(dir.file("log.csv"), BurnLog::Format::Plain);
    ASSERT_TRUE(log.append("000001", true).ok);
    // A folder where the copy should go: the copy fails, so the line is not
    // written, and the caller is told.
    fs::remove(dir.file("log.csv.bak"));
    fs::create_directory(dir.file("log.csv.bak"));
    fs::create_directory(dir.file("log.csv.bak/keep"));
    BurnLog::Written w = log.append("000002", true);
    EXPECT_FALSE(w.ok);
    EXPECT_TRUE(w.backup_failed);
    ASSERT_EQ(w.messages.size(), 1u);
    EXPECT_EQ(slurp(dir.file("log.csv")), "Stampa,Status\n000001,Success\n");

    BurnLog nowhere(dir.file("missing/log.csv"), BurnLog::Format::Plain);
    w = nowhere.append("000003", true);
    EXPECT_FALSE(w.ok);
    EXPECT_EQ(w.messages, std::vector<std::string>{"Open Log failed!!!\n"});
}

TEST(BurnLog, DuplicatesAreCaseBlindOverTheWidth)
{
    testsupport::ScratchDir dir("stampa-log");
    std::ofstream(dir.file("log.csv")) << "Stampa,Status\nabc123XYZ,Success\n=\"DEF456\",Success\nGHI789,Failed\n";
    BurnLog log(dir.file("log.csv"), BurnLog::Format::Plain);
    EXPECT_TRUE(log.contains("ABC123", 6));
    EXPECT_FALSE(log.contains("ABC124", 6));
    EXPECT_FALSE(log.contains("ABC123", 0));  // the whole code: abc123XYZ is another code
    EXPECT_TRUE(log.contains("def456", 6));  // Cedar's quoted lines count too
    EXPECT_TRUE(log.contains("GHI789", 6));  // a failed burn may have left its code in the box
    EXPECT_EQ(log.seen("GHI789", 6), BurnLog::Seen::Failed);
    EXPECT_EQ(log.seen("abc123", 6), BurnLog::Seen::Burnt);
    EXPECT_FALSE(log.contains("Stampa", 6));  // the first line is no code
}

TEST(BurnLog, LongLogsRotateWithTheLocalTime)
{
    testsupport::ScratchDir dir("stampa-log");
    const std::string path = dir.file("BurningInfo.csv");
    auto write_lines = [&](int n) {
        std::ofstream f(path);
        f << "Stampa,Status\n";
        for (int i = 0; i < n; ++i)
            f << i << ",Success\n";
    };
    BurnLog log(path, BurnLog::Format::Plain, false, christmas_afternoon);
    write_lines(1000);
    std::string to;
    EXPECT_TRUE(log.rotate_if_needed(&to));
    EXPECT_TRUE(to.empty());
    EXPECT_TRUE(fs::exists(path));

    write_lines(1001);
    EXPECT_TRUE(log.rotate_if_needed(&to));
    EXPECT_EQ(to, path + "12251430");
    EXPECT_FALSE(fs::exists(path));
    EXPECT_TRUE(fs::exists(path + "12251430"));
    // The next write starts a new log.
    ASSERT_TRUE(log.append("7", true).ok);
    EXPECT_EQ(slurp(path), "Stampa,Status\n7,Success\n");

    // A second rotation in the same minute keeps the first.
    write_lines(1001);
    EXPECT_TRUE(log.rotate_if_needed(&to));
    EXPECT_EQ(to, path + "12251430_2");
    EXPECT_TRUE(fs::exists(path + "12251430"));
}
