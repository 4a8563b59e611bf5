#include "KvBasicCfgIni.h"
#include "Redirect.h"
#include "kvcrc.h"

#include "WaitUntil.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

TEST(Crc, KnownValuesAndTableAgree)
{
    const char* s = "123456789";
    // Standard CRC-32 is 0xCBF43926; without the final complement it is 0x340BC6D9.
    EXPECT_EQ(kv::crc32(s, 9), 0x340BC6D9u);
    uint32_t table[256];
    CKvBasicCfgIni::crc_setup_fast_lut(table);
    EXPECT_EQ(table[1], 0x77073096u);
    EXPECT_EQ(CKvBasicCfgIni::crc_fast_calculate(table, 0xFFFFFFFFu, s, 9), 0x340BC6D9u);
    // Running in two pieces gives the same register as in one.
    uint32_t part = kv::crc32(s, 4);
    EXPECT_EQ(kv::crc32(s + 4, 5, part), 0x340BC6D9u);
    EXPECT_EQ(kv::crc32(nullptr, 0), 0xFFFFFFFFu);
}

TEST(Ini, CaseBlanksMissingSectionsAndFile)
{
    CKvBasicCfgIni ini;
    ini.LoadFromText("\xEF\xBB\xBF; comment\n[UPG]\r\n  User_limit = 1 \r\n[ tessel ]\nNew_ucakey=0\nnew_UCAKEY=9\n"
                     "orphan line\n[Empty]\n");
    EXPECT_EQ(ini.GetValue("upg", "USER_LIMIT"), " 1 ");
    EXPECT_EQ(ini.GetValue("Tessel", "New_ucakey"), "0");  // the first occurrence wins
    EXPECT_EQ(ini.GetValue("UPG", "missing"), "");
    EXPECT_EQ(ini.GetValue("Nowhere", "User_limit"), "");
    EXPECT_EQ(ini.GetValue("Empty", "x"), "");

    CKvBasicCfgIni none;
    EXPECT_EQ(none.SetFileName("/nonexistent/corvane.ini"), 0);
    EXPECT_EQ(none.GetValue("UPG", "User_limit"), "");

    fs::path dir = fs::temp_directory_path() / ("kvini_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / "corvane.ini") << "[SerialSvc]\nSyncByte=0x52\n";
    setenv("CORVANE_HOME", dir.c_str(), 1);
    EXPECT_EQ(CKvBasicCfgIni::get_cur_root_directory(), dir.string());
    CKvBasicCfgIni file;
    EXPECT_EQ(file.SetFileName(CKvBasicCfgIni::path_in_root("corvane.ini")), 1);
    EXPECT_EQ(file.GetValue("serialsvc", "syncbyte"), "0x52");
    unsetenv("CORVANE_HOME");
    EXPECT_FALSE(CKvBasicCfgIni::get_cur_root_directory().empty());
    fs::remove_all(dir);
}

TEST(Redirect, SplitsLikeACommandLineAndNeverUsesAShell)
{
    auto w = CRedirect::SplitCommandLine(R"(7za a "C:\tmp dir\flashtmp.gz" "x\"y" plain)");
    ASSERT_EQ(w.size(), 5u);
    EXPECT_EQ(w[2], "C:\\tmp dir\\flashtmp.gz");
    EXPECT_EQ(w[3], "x\"y");
    EXPECT_EQ(w[4], "plain");

    fs::path dir = fs::temp_directory_path() / ("kvredir_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    fs::path odd = dir / "a; rm -rf b $(x)";
    CRedirect child;
    ASSERT_NE(child.StartChildProcess("touch \"" + odd.string() + "\""), 0);
    testsupport::wait_until([&] { return child.IsChildRunning() == 0; }, 10000);
    EXPECT_EQ(child.IsChildRunning(), 0);
    EXPECT_TRUE(fs::exists(odd));  // the whole word reached touch untouched
    EXPECT_EQ(child.ExitCode(), 0);

    CRedirect slow;
    ASSERT_NE(slow.StartChildProcess("sleep 0.3"), 0);
    EXPECT_NE(slow.IsChildRunning(), 0);
    testsupport::wait_until([&] { return slow.IsChildRunning() == 0; }, 10000);
    EXPECT_EQ(slow.IsChildRunning(), 0);

    CRedirect missing;
    EXPECT_EQ(missing.StartChildProcess("/nonexistent/program arg"), 0);
    EXPECT_EQ(missing.StartChildProcess(""), 0);
    fs::remove_all(dir);
}
