// The log server as tools meet it: real socket, real daily file, the console
// of the output pane.
#include "HostTestEnv.h"
#include "KvBasicLog.h"
#include "KvConsleListBox.h"
#include "LogServer.h"
#include "OutputWnd.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <atomic>
#include <sys/stat.h>
#include <thread>

using hosttest::Record;
using hosttest::SendRaw;
using hosttest::WaitFor;

namespace {

// 2026-12-07 23:59:58 UTC (the suite runs with TZ=UTC).
constexpr long long kBeforeMidnight = 1796687998LL;

class LogServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        static int n = 0;
        m_dir = hosttest::TempRoot() + QStringLiteral("/ls%1").arg(++n);
        QDir().mkpath(m_dir);
        m_now = kBeforeMidnight;
        corvane::LogServer::Options o;
        o.socket_path = (m_dir + QStringLiteral("/sock")).toStdString();
        o.log_folder = m_dir.toStdString();
        o.clock = [this] { return m_now.load(); };
        o.read_timeout_ms = 300;
        std::string err;
        ASSERT_EQ(m_pane.StartServer(o, &err), 1) << err;
        m_sock = o.socket_path;
    }

    // Sends and waits until the server has taken it and the console caught up.
    void Send(const std::vector<uint8_t>& msg)
    {
        const uint64_t before = m_pane.Server()->Received();
        ASSERT_EQ(SendRaw(m_sock, msg), 0);
        ASSERT_TRUE(WaitFor([&] { return m_pane.Server()->Received() > before; }));
        m_pane.DrainAll();
    }
    QString Console() const { return m_pane.Console()->toPlainText(); }
    QByteArray File(long long when) const
    {
        QFile f(m_dir + QLatin1Char('/') + QString::fromStdString(kv::DailyLogFile::file_name_for(time_t(when))));
        if (!f.open(QIODevice::ReadOnly))
            return QByteArray("<missing>");
        return f.readAll();
    }

    QString m_dir;
    std::string m_sock;
    std::atomic<long long> m_now{0};
    COutputWnd m_pane;
};

TEST_F(LogServerTest, EmptyAppendRecordChangesNothing)
{
    auto msg = Record(kv::kLogKindAppendBytes, "");
    msg.pop_back();  // exactly the 36-byte header, text length 0
    ASSERT_EQ(msg.size(), 36u);
    Send(msg);
    EXPECT_EQ(Console(), QString());
    EXPECT_EQ(File(m_now), QByteArray("<missing>"));
    EXPECT_EQ(m_pane.Server()->Dropped(), 0u);
}

TEST_F(LogServerTest, SizeLimitsAndBrokenLengths)
{
    using hosttest::RawRecord;
    // 2047 bytes is the largest message taken.
    const std::string text(2047 - 36, 'k');
    Send(RawRecord(kv::kLogKindAppendBytes, text, uint32_t(text.size()), 2047));
    EXPECT_EQ(Console().size(), qsizetype(text.size()));

    // 2048 bytes and more: dropped unseen, in console and file.
    Send(RawRecord(kv::kLogKindAppendBytes, std::string(2048 - 36, 'Z'), 2048 - 36, 2048));
    Send(RawRecord(kv::kLogKindAppendBytes, std::string(6000, 'Q'), 100, 6000));
    // Shorter than a header, and a text length that overruns the message.
    Send(std::vector<uint8_t>(20, 'x'));
    Send(RawRecord(kv::kLogKindAppendBytes, "abc", 200, 40));

    EXPECT_EQ(m_pane.Server()->Dropped(), 4u);
    EXPECT_FALSE(Console().contains(QLatin1Char('Z')) || Console().contains(QLatin1Char('Q')));
    EXPECT_EQ(File(m_now).size(), qsizetype(text.size()));
}

TEST_F(LogServerTest, CarriageReturnAndLineFeed)
{
    Send(Record(kv::kLogKindAppendBytes, "A\rB\n"));
    Send(Record(kv::kLogKindAppendBytes, "C\n"));
    EXPECT_EQ(Console(), QStringLiteral("AB\nC\n"));
    EXPECT_EQ(File(m_now), QByteArray("AB\r\nC\r\n"));
}

TEST_F(LogServerTest, BackspaceReachesIntoEarlierRecords)
{
    Send(Record(kv::kLogKindAppendBytes, "line1\nabc"));
    Send(Record(kv::kLogKindAppendBytes, "\b\bXY\n"));
    EXPECT_EQ(Console(), QStringLiteral("line1\naXY\n"));
    // Across a line break too.
    Send(Record(kv::kLogKindAppendBytes, "\b!"));
    EXPECT_EQ(Console(), QStringLiteral("line1\naXY!"));
}

TEST_F(LogServerTest, KindsTwoThreeFourAndOthers)
{
    Send(Record(kv::kLogKindInsertText, "inserted\n"));
    Send(Record(kv::kLogKindClear, ""));
    EXPECT_EQ(Console(), QStringLiteral("inserted\n"));  // a clear request leaves the console alone
    Send(Record(9, "file only\n"));
    EXPECT_EQ(Console(), QStringLiteral("inserted\n"));
    EXPECT_EQ(File(m_now), QByteArray("inserted\r\nfile only\r\n"));
}

TEST_F(LogServerTest, NewFileAfterMidnight)
{
    const long long day1 = m_now;
    Send(Record(kv::kLogKindAppendBytes, "before\n"));
    m_now = kBeforeMidnight + 5;  // 00:00:03 the next day
    Send(Record(kv::kLogKindAppendBytes, "after\n"));
    EXPECT_EQ(File(day1), QByteArray("before\r\n"));
    EXPECT_EQ(File(m_now), QByteArray("after\r\n"));
    EXPECT_NE(kv::DailyLogFile::file_name_for(time_t(day1)), kv::DailyLogFile::file_name_for(time_t(m_now.load())));
    EXPECT_EQ(kv::DailyLogFile::file_name_for(time_t(m_now.load())), "KvPLog_20261208.txt");
}

TEST_F(LogServerTest, SilentClientDoesNotBlockOthers)
{
    // A client that connects and never sends is dropped after the read
    // time-out; the next tool's line still arrives.
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, m_sock.c_str(), sizeof(a.sun_path) - 1);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    Send(Record(kv::kLogKindAppendBytes, "still here\n"));
    EXPECT_EQ(Console(), QStringLiteral("still here\n"));
    ::close(fd);
}

TEST_F(LogServerTest, ManyClientsLoseNothing)
{
    constexpr int kThreads = 4, kLines = 200;
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; ++t)
        ts.emplace_back([&, t] {
            for (int i = 0; i < kLines; ++i)
                SendRaw(m_sock,
                        Record(kv::kLogKindAppendBytes, "t" + std::to_string(t) + "-" + std::to_string(i) + "\n"));
        });
    // Keep the user-interface thread turning while the clients send.
    ASSERT_TRUE(WaitFor([&] { return m_pane.Server()->Received() >= uint64_t(kThreads * kLines); }, 20000));
    for (auto& t : ts)
        t.join();
    m_pane.DrainAll();
    const QStringList lines = Console().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    EXPECT_EQ(lines.size(), kThreads * kLines);
    EXPECT_EQ(File(m_now).count("\r\n"), kThreads * kLines);
    EXPECT_TRUE(lines.contains(QStringLiteral("t3-199")));
}

TEST(LogServerSocket, PrivateFolderStaleAndLiveSockets)
{
    // The default socket: in the per-user folder, mode 0700, socket 0600.
    corvane::LogServer::Options o;
    o.log_folder = (hosttest::TempRoot() + QStringLiteral("/sockfolder")).toStdString();
    QDir().mkpath(QString::fromStdString(o.log_folder));
    corvane::LogServer a(o);
    std::string err;
    ASSERT_EQ(a.Start([](const kv::LogRecord&) {}, &err), 1) << err;
    const std::string path = a.SocketPath();
    EXPECT_EQ(path, kv::log_socket_path());
    struct stat st {};
    ASSERT_EQ(::stat(kv::log_socket_dir().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0077, 0u);

    // A second server does not steal a live socket.
    corvane::LogServer b(o);
    EXPECT_EQ(b.Start([](const kv::LogRecord&) {}, &err), 0);
    EXPECT_NE(err.find("already serves"), std::string::npos) << err;
    EXPECT_EQ(hosttest::SendRaw(path, Record(kv::kLogKindAppendBytes, "x")), 0);

    // A socket left by a crashed host is replaced.
    a.Stop();
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ::close(fd);  // bound, never listened: stale
    std::atomic<int> got{0};
    ASSERT_EQ(b.Start([&](const kv::LogRecord&) { got++; }, &err), 1) << err;
    EXPECT_EQ(hosttest::SendRaw(path, Record(kv::kLogKindAppendBytes, "y")), 0);
    EXPECT_TRUE(WaitFor([&] { return got.load() == 1; }));
}

TEST(LogServerSocket, UnwritableLogFileIsToldOnce)
{
    COutputWnd pane;
    corvane::LogServer::Options o;
    o.socket_path = (hosttest::TempRoot() + QStringLiteral("/unwritable.sock")).toStdString();
    o.log_folder = "/nonexistent-corvane-folder/logs";
    std::string err;
    ASSERT_EQ(pane.StartServer(o, &err), 1) << err;
    for (const char* line : {"one\n", "two\n"})
        ASSERT_EQ(SendRaw(o.socket_path, Record(kv::kLogKindAppendBytes, line)), 0);
    ASSERT_TRUE(WaitFor([&] { return pane.Server()->Received() == 2; }));
    pane.DrainAll();
    const QString text = pane.Console()->toPlainText();
    EXPECT_EQ(text.count(QStringLiteral("cannot be written")), 1) << text.toStdString();
    EXPECT_TRUE(text.endsWith(QStringLiteral("one\ntwo\n"))) << text.toStdString();
}

TEST(LogServerSocket, ToolLogCallsReachConsoleAndFile)
{
    COutputWnd pane;
    std::string err;
    corvane::LogServer::Options o;
    ASSERT_EQ(pane.StartServer(o, &err), 1) << err;
    kv_console_printf("tool line %d\n", 42);
    LogStoreFileLine("DialogUPG", 120);
    const char fixed[] = "Fixed text\n";
    WriteConsleData(fixed, sizeof(fixed));  // with its terminating zero, as callers do
    ASSERT_TRUE(WaitFor([&] {
        pane.DrainAll();
        return pane.Console()->toPlainText() == QStringLiteral("tool line 42\nFixed text\n");
    })) << pane.Console()->toPlainText().toStdString();
    QFile f(QString::fromStdString(pane.Server()->CurrentLogFile()));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_TRUE(f.readAll().endsWith("tool line 42\r\nFixed text\r\n"));
}

}  // namespace
