// The "Com_Connection" tab against the real serial service, on a
// pseudo-terminal standing in for the STB's line.
#include "ComConnectionView.h"
#include "HostTestEnv.h"
#include "KvConsleListBox.h"
#include "OutputWnd.h"
#include "SerialMonitorService.h"
#include "VirtualPorts.h"

#include <QComboBox>
#include <QFile>
#include <QSettings>
#include <QTest>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <poll.h>
#include <cstdio>
#include <set>
#include <unistd.h>
#include <stdlib.h>
#include <termios.h>

namespace {

class ConnectionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(m_master, 0);
        ASSERT_EQ(::grantpt(m_master), 0);
        ASSERT_EQ(::unlockpt(m_master), 0);
        m_slave = ::ptsname(m_master);
        ASSERT_EQ(m_svc.SMS_Init(), 1);
        kv::set_current_serial_service(&m_svc);
        QSettings().remove(QStringLiteral("Com_Connection"));
    }
    void TearDown() override
    {
        kv::set_current_serial_service(nullptr);
        m_svc.SMS_Deinit();
        if (m_master >= 0)
            ::close(m_master);
    }
    // Bytes that reached the STB's side of the line.
    std::string ReadLine(int ms = 2000)
    {
        std::string got;
        pollfd p{m_master, POLLIN, 0};
        while (::poll(&p, 1, ms) > 0) {
            char buf[64];
            ssize_t n = ::read(m_master, buf, sizeof(buf));
            if (n <= 0)
                break;
            got.append(buf, size_t(n));
            ms = 200;
        }
        return got;
    }

    int m_master = -1;
    std::string m_slave;
    CSerialMonitorSerivce m_svc;
};

TEST_F(ConnectionTest, OpenTypeCloseAndRememberTheChoice)
{
    {
        CComConnectionView view;
        EXPECT_EQ(view.windowTitle(), QStringLiteral("Com_Connection"));
        EXPECT_TRUE(view.StatusText().startsWith(QStringLiteral("Closed")));

        ASSERT_EQ(view.AddPort(QString::fromStdString(m_slave)), 1);
        EXPECT_EQ(view.SelectedPortPath(), QString::fromStdString(m_slave));
        auto* baud = view.findChild<QComboBox*>(QStringLiteral("baud"));
        auto* parity = view.findChild<QComboBox*>(QStringLiteral("parity"));
        auto* stop = view.findChild<QComboBox*>(QStringLiteral("stopBits"));
        ASSERT_TRUE(baud && parity && stop);
        stop->setCurrentIndex(stop->findData(2));
        baud->setCurrentIndex(baud->findData(38400));
        parity->setCurrentIndex(parity->findData(0));

        ASSERT_EQ(view.OpenPort(), 1) << m_svc.last_error();
        const int index = m_svc.SMS_FindPort(m_slave);
        ASSERT_GE(index, 0);
        EXPECT_EQ(m_svc.SMS_IsPortOpen().at(size_t(index)), 1);
        EXPECT_EQ(m_svc.m_CurConfig.baud_rate, 38400);
        EXPECT_EQ(m_svc.m_CurConfig.parity, 0);
        EXPECT_TRUE(view.StatusText().contains(QStringLiteral("38400"))) << view.StatusText().toStdString();

        // What the user types into the console goes down this line.
        struct termios t {};
        ::tcgetattr(m_master, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(m_master, TCSANOW, &t);
        CKvConsleListBox console;
        console.show();
        QTest::keyClicks(&console, "ver");
        QTest::keyClick(&console, Qt::Key_Return);
        EXPECT_EQ(ReadLine(), "ver\r");

        ASSERT_EQ(view.ClosePort(), 1);
        EXPECT_EQ(m_svc.SMS_IsPortOpen().at(size_t(index)), 0);
        EXPECT_TRUE(view.StatusText().startsWith(QStringLiteral("Closed")));
        EXPECT_EQ(view.ClosePort(), 0);  // nothing left to close
    }
    // A new tab starts with the last choice.
    CComConnectionView again;
    EXPECT_EQ(again.SelectedPortPath(), QString::fromStdString(m_slave));
    EXPECT_EQ(again.findChild<QComboBox*>(QStringLiteral("baud"))->currentData().toInt(), 38400);
    EXPECT_EQ(again.findChild<QComboBox*>(QStringLiteral("stopBits"))->currentData().toInt(), 2);
}

TEST_F(ConnectionTest, WhatTheStbPrintsShowsInTheConsole)
{
    COutputWnd pane;
    std::string err;
    ASSERT_EQ(pane.StartServer({}, &err), 1) << err;
    CComConnectionView view;
    ASSERT_EQ(view.AddPort(QString::fromStdString(m_slave)), 1);
    ASSERT_EQ(view.OpenPort(), 1) << m_svc.last_error();
    struct termios t {};
    ::tcgetattr(m_master, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(m_master, TCSANOW, &t);
    const char boot[] = "U-Boot 2010.06\r\nHit any key\r\n";
    ASSERT_EQ(::write(m_master, boot, sizeof(boot) - 1), ssize_t(sizeof(boot) - 1));
    EXPECT_TRUE(hosttest::WaitFor([&] {
        pane.DrainAll();
        return pane.Console()->toPlainText().contains(QStringLiteral("U-Boot 2010.06\nHit any key\n"));
    })) << pane.Console()->toPlainText().toStdString();
    view.ClosePort();
}

TEST_F(ConnectionTest, AnnouncedVirtualStbPortsAreListed)
{
    const QString dir = QString::fromStdString(kv::log_socket_dir());
    QFile live(dir + QStringLiteral("/stbsim-1.port"));
    ASSERT_TRUE(live.open(QIODevice::WriteOnly));
    live.write(QByteArray::fromStdString(m_slave) + "\n");
    live.close();
    QFile stale(dir + QStringLiteral("/stbsim-2.port"));
    ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    stale.write("/dev/pts/99999\n");
    stale.close();

    EXPECT_EQ(kv::virtual_stb_ports(), std::vector<std::string>{m_slave});
    CComConnectionView view;
    EXPECT_TRUE(view.SelectPort(QString::fromStdString(m_slave)));
    EXPECT_FALSE(view.SelectPort(QStringLiteral("/dev/pts/99999")));
    live.remove();
    stale.remove();
}

// The tab and `corvane-cli ports` offer the same ports: only a running
// virtual STB's announcement counts, not any "*.port" file nor one whose
// process ended.
TEST_F(ConnectionTest, TheTabAndTheCommandLineListTheSamePorts)
{
    const std::string dir = kv::log_socket_dir();
    auto announce = [&](const std::string& name, const std::string& path) {
        std::FILE* f = std::fopen((dir + "/" + name).c_str(), "w");
        ASSERT_TRUE(f);
        std::fprintf(f, "%s\r\n", path.c_str());
        std::fclose(f);
    };
    const std::string live = "stbsim-" + std::to_string(::getpid()) + ".port";
    announce(live, m_slave);
    announce("manual.port", "/dev/null");
    announce("stbsim-999999999.port", "/dev/null");

    CComConnectionView view;
    auto* box = view.findChild<QComboBox*>(QStringLiteral("port"));
    ASSERT_TRUE(box);
    std::set<std::string> tab;
    for (int i = 0; i < box->count(); ++i)
        tab.insert(box->itemData(i).toString().toStdString());

    std::set<std::string> cli;
    std::FILE* p = ::popen(CORVANE_CLI_EXE " ports", "r");
    ASSERT_TRUE(p);
    char line[1024];
    while (std::fgets(line, sizeof line, p)) {
        const std::string l = line;
        const size_t a = l.find('\t'), b = l.find('\t', a + 1);
        if (a != std::string::npos && b != std::string::npos)
            cli.insert(l.substr(a + 1, b - a - 1));
    }
    EXPECT_EQ(::pclose(p), 0);
    for (const char* name : {live.c_str(), "manual.port", "stbsim-999999999.port"})
        std::remove((dir + "/" + name).c_str());

    EXPECT_EQ(tab, cli);
    EXPECT_EQ(tab.count(m_slave), 1u);
    EXPECT_EQ(tab.count("/dev/null"), 0u);
}

TEST_F(ConnectionTest, ASerialServersPortIsTypedOpenedAndRemembered)
{
    // A listening socket stands in for a serial server's raw TCP port.
    int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(server, 4), 0);
    socklen_t len = sizeof a;
    ::getsockname(server, reinterpret_cast<sockaddr*>(&a), &len);
    const QString url = QStringLiteral("socket://127.0.0.1:%1").arg(ntohs(a.sin_port));
    {
        CComConnectionView view;
        EXPECT_EQ(view.AddPort(QStringLiteral("rfc2217://no-port-number")), 0);
        ASSERT_EQ(view.AddPort(url), 1);
        EXPECT_EQ(view.SelectedPortPath(), url);
        ASSERT_EQ(view.OpenPort(), 1) << m_svc.last_error();
        EXPECT_TRUE(view.StatusText().startsWith(QStringLiteral("Open: ") + url)) << view.StatusText().toStdString();
        ASSERT_EQ(view.ClosePort(), 1);
    }
    // The next start knows the port again, though no search finds it.
    m_svc.SMS_Deinit();
    CSerialMonitorSerivce fresh;
    ASSERT_EQ(fresh.SMS_Init(), 1);
    kv::set_current_serial_service(&fresh);
    {
        CComConnectionView again;
        EXPECT_EQ(again.SelectedPortPath(), url);
    }
    kv::set_current_serial_service(&m_svc);
    ::close(server);
}

TEST_F(ConnectionTest, FailuresAreReportedNotHidden)
{
    CComConnectionView view;
    // A port that vanished: the open fails with the service's reason.
    ASSERT_EQ(view.AddPort(QStringLiteral("/dev/no-such-tty")), 1);
    EXPECT_EQ(view.OpenPort(), 0);
    EXPECT_TRUE(view.StatusText().contains(QStringLiteral("last error"))) << view.StatusText().toStdString();
    EXPECT_EQ(view.AddPort(QString()), 0);
}

}  // namespace
