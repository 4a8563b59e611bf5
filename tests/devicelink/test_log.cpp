#include "KvBasicLog.h"
#include "KvLogRecord.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string slurp(const fs::path& p)
{
    std::ifstream f(p, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// A private runtime folder and program folder for one test.
struct LogSandbox {
    fs::path root;
    LogSandbox()
    {
        root = fs::temp_directory_path() /
               ("kvlog_" + std::to_string(::getpid()) + "_" + std::to_string(reinterpret_cast<uintptr_t>(this)));
        fs::create_directories(root / "run");
        fs::create_directories(root / "home");
        setenv("XDG_RUNTIME_DIR", (root / "run").c_str(), 1);
        setenv("CORVANE_HOME", (root / "home").c_str(), 1);
        kv::log_set_fallback(kv::LogFallback::FileOnly);
    }
    ~LogSandbox()
    {
        kv::log_set_clock({});
        kv::log_set_fallback(kv::LogFallback::StdoutAndFile);
        unsetenv("CORVANE_HOME");
        fs::remove_all(root);
    }
};

// A stand-in for the host's log server: one record per connection.
struct FakeServer {
    int fd = -1;
    std::thread th;
    std::atomic<bool> stop{false};
    std::vector<kv::LogRecord> got;
    std::mutex m;

    FakeServer()
    {
        std::string path = kv::log_socket_path();
        fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path.c_str(), sizeof(a.sun_path) - 1);
        ::unlink(path.c_str());
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
        EXPECT_EQ(::listen(fd, 64), 0);
        th = std::thread([this] {
            while (!stop.load()) {
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, 20) <= 0)
                    continue;
                int c = ::accept(fd, nullptr, nullptr);
                if (c < 0)
                    continue;
                uint8_t buf[4096];
                ssize_t n = ::recv(c, buf, sizeof(buf), 0);
                kv::LogRecord r;
                if (n > 0 && kv::decode_log_record(buf, static_cast<size_t>(n), &r)) {
                    std::lock_guard<std::mutex> l(m);
                    got.push_back(r);
                }
                ::send(c, "", 0, MSG_NOSIGNAL);
                ::close(c);
            }
        });
    }
    ~FakeServer()
    {
        stop = true;
        th.join();
        ::close(fd);
        ::unlink(kv::log_socket_path().c_str());
    }
};

}  // namespace

TEST(LogRecord, EncodeDecodeAtAndAroundTheLimits)
{
    kv::LogRecord r;
    r.kind = 3;
    r.text = "";
    auto recs = kv::encode_log_records(r);
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].size(), 37u);
    kv::LogRecord back;
    ASSERT_TRUE(kv::decode_log_record(recs[0].data(), 36, &back));  // exactly 36: accepted, empty
    EXPECT_EQ(back.kind, 3);
    EXPECT_TRUE(back.text.empty());
    EXPECT_FALSE(kv::decode_log_record(recs[0].data(), 35, &back));

    // The longest text that fits one record, then one byte more.
    r.text.assign(kv::kLogMaxTextPerRecord, 'x');
    recs = kv::encode_log_records(r);
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].size(), 2047u);
    ASSERT_TRUE(kv::decode_log_record(recs[0].data(), recs[0].size(), &back));
    EXPECT_EQ(back.text, r.text);
    r.text += 'y';
    recs = kv::encode_log_records(r);
    ASSERT_EQ(recs.size(), 2u);
    ASSERT_TRUE(kv::decode_log_record(recs[1].data(), recs[1].size(), &back));
    EXPECT_EQ(back.text, "y");

    std::vector<uint8_t> big(2048, 0);
    EXPECT_FALSE(kv::decode_log_record(big.data(), big.size(), &back));
    // A text length that claims more than the message holds.
    std::vector<uint8_t> lying(40, 0);
    lying[32] = 200;
    EXPECT_FALSE(kv::decode_log_record(lying.data(), lying.size(), &back));
}

TEST(LogRecord, SplittingKeepsEveryByteAndUtf8Sequences)
{
    kv::LogRecord r;
    std::string text;
    for (int i = 0; i < 3000; ++i)
        text += "\xC3\xA9";  // é, two bytes each
    text += "end";
    r.text = text;
    auto recs = kv::encode_log_records(r);
    ASSERT_GE(recs.size(), 3u);
    std::string joined;
    for (auto& rec : recs) {
        ASSERT_LT(rec.size(), kv::kLogRecordLimit);
        kv::LogRecord part;
        ASSERT_TRUE(kv::decode_log_record(rec.data(), rec.size(), &part));
        ASSERT_FALSE(part.text.empty());
        EXPECT_NE(static_cast<uint8_t>(part.text[0]) & 0xC0, 0x80);  // never starts mid-sequence
        joined += part.text;
    }
    EXPECT_EQ(joined, text);
}

TEST(DailyLog, NameCrLfAndDayChange)
{
    LogSandbox sb;
    long long now = 0;
    {
        std::tm tm{};
        tm.tm_year = 2026 - 1900;
        tm.tm_mon = 11;
        tm.tm_mday = 7;
        tm.tm_hour = 23;
        tm.tm_min = 59;
        tm.tm_sec = 59;
        tm.tm_isdst = -1;
        now = static_cast<long long>(std::mktime(&tm));
    }
    kv::DailyLogFile f((sb.root / "home").string(), [&] { return now; });
    EXPECT_EQ(fs::path(f.current_path()).filename(), "KvPLog_20261207.txt");
    ASSERT_TRUE(f.append("A\rB\n", 4));
    EXPECT_EQ(slurp(sb.root / "home" / "KvPLog_20261207.txt"), "AB\r\n");
    EXPECT_TRUE(f.append("", 0));
    now += 2;  // past midnight
    ASSERT_TRUE(f.append("next\n", 5));
    EXPECT_EQ(slurp(sb.root / "home" / "KvPLog_20261208.txt"), "next\r\n");
    EXPECT_EQ(slurp(sb.root / "home" / "KvPLog_20261207.txt"), "AB\r\n");
}

TEST(Log, WithoutHostLinesGoToTheDailyFileAndListeners)
{
    LogSandbox sb;
    std::vector<std::string> seen;
    int id = kv::log_add_listener([&](int kind, const std::string& t) {
        if (kind == 3)
            seen.push_back(t);
    });
    kv_console_printf("value %d\n", 42);
    const char fixed[] = "Receiving Data failed,please com\n";
    LogStoreFileLine(L"DialogUPG", 123);
    WriteConsleData(fixed, sizeof(fixed));  // the count includes the zero
    ClearConsle();
    std::string longtext(5000, 'z');
    kv_console_printf("%s\n", longtext.c_str());
    kv::log_remove_listener(id);

    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[1], "Receiving Data failed,please com\n");
    std::string file = slurp(sb.root / "home" / kv::DailyLogFile::file_name_for(std::time(nullptr)));
    EXPECT_EQ(file, "value 42\r\nReceiving Data failed,please com\r\n" + longtext + "\r\n");
}

TEST(Log, WithHostRecordsArriveInOrderAndLongTextIsSplit)
{
    LogSandbox sb;
    struct stat st {};
    ASSERT_EQ(stat(kv::log_socket_dir().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    FakeServer server;
    std::string longtext(4500, 'q');
    LogStoreFileLine("DialogUPG", 77);
    kv_console_printf("%s", longtext.c_str());
    kv_console_printf("after\n");
    ClearConsle();
    std::lock_guard<std::mutex> l(server.m);
    ASSERT_EQ(server.got.size(), 5u);
    std::string joined = server.got[0].text + server.got[1].text + server.got[2].text;
    EXPECT_EQ(joined, longtext);
    EXPECT_EQ(server.got[0].source, "DialogUPG");
    EXPECT_EQ(server.got[0].line, 77);
    EXPECT_EQ(server.got[3].text, "after\n");
    EXPECT_EQ(server.got[3].line, 0);  // the source names only the next record
    EXPECT_EQ(server.got[4].kind, 4);
    // Nothing went to the fallback file while the host listened.
    EXPECT_FALSE(fs::exists(sb.root / "home" / kv::DailyLogFile::file_name_for(std::time(nullptr))));
}

TEST(Log, SocketFolderOpenToOthersIsClosedAgain)
{
    LogSandbox sb;
    fs::path dir = sb.root / "run" / "corvane";
    fs::create_directories(dir);
    ::chmod(dir.c_str(), 0777);
    std::string err;
    EXPECT_FALSE(kv::log_socket_dir(&err).empty()) << err;
    struct stat st {};
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST(Log, ZeroBytesFromTheBoxDoNotCutTheRest)
{
    LogSandbox sb;
    std::string seen;
    int id = kv::log_add_listener([&](int, const std::string& t) { seen += t; });
    const char raw[] = {'b', 'o', 0, 'o', 't', '\n', 0};
    WriteConsleData(raw, sizeof(raw));
    kv::log_remove_listener(id);
    EXPECT_EQ(seen, "boot\n");
}
