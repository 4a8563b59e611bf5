#include "KvBasicLog.h"
#include "KvWorkThread.h"
#include "SerialMonitorService.h"
#include "SerialPort.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

long long ms_since(Clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// A pseudo-terminal pair: the test plays the STB on the master side.
struct PtyBox {
    int master = -1;
    std::string slave;
    PtyBox()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(master);
        unlockpt(master);
        slave = ptsname(master);
        termios t{};
        tcgetattr(master, &t);
        cfmakeraw(&t);
        tcsetattr(master, TCSANOW, &t);
    }
    ~PtyBox()
    {
        if (master >= 0)
            ::close(master);
    }
    void put(const std::string& s) { ASSERT_EQ(::write(master, s.data(), s.size()), static_cast<ssize_t>(s.size())); }
    std::string take(size_t n, int timeout_ms = 1000)
    {
        std::string out;
        auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
        while (out.size() < n && Clock::now() < end) {
            char b[256];
            ssize_t r = ::read(master, b, std::min(sizeof(b), n - out.size()));
            if (r > 0)
                out.append(b, static_cast<size_t>(r));
            else
                std::this_thread::sleep_for(1ms);
        }
        return out;
    }
};

struct ServiceFixture : ::testing::Test {
    PtyBox box;
    CSerialMonitorSerivce svc;
    serialport_config_tag cfg;
    void SetUp() override
    {
        setenv("XDG_RUNTIME_DIR", ::testing::TempDir().c_str(), 1);
        kv::log_set_fallback(kv::LogFallback::None);
        int fl = fcntl(box.master, F_GETFL);
        fcntl(box.master, F_SETFL, fl | O_NONBLOCK);
        ASSERT_EQ(svc.SMS_Init(), 1);
        int idx = svc.SMS_AddPort(box.slave);
        ASSERT_GE(idx, 0);
        EXPECT_EQ(svc.SMS_AddPort(box.slave), idx);  // named twice, one entry
        cfg.port_index = idx;
        cfg.baud_rate = 115200;
        svc.SMS_StopSvc();
        ASSERT_EQ(svc.SMS_OpenPort(cfg), 1) << svc.last_error();
    }
    void TearDown() override { kv::log_set_fallback(kv::LogFallback::StdoutAndFile); }
};

}  // namespace

TEST_F(ServiceFixture, SendReceiveShortReadsAndTimeouts)
{
    EXPECT_EQ(svc.SMS_IsPortOpen()[static_cast<size_t>(cfg.port_index)], 1);
    EXPECT_EQ(svc.SMS_NumComPortOpen(), 1);

    uint32_t n = 0;
    ASSERT_EQ(svc.SMS_Send("#\x04\x00\x00\x00\xa0", 6, &n, 500), 1);
    EXPECT_EQ(n, 6u);
    EXPECT_EQ(box.take(6), std::string("#\x04\x00\x00\x00\xa0", 6));

    // Nothing comes: 1 with a count of 0, after about the time-out.
    uint8_t buf[16];
    auto t0 = Clock::now();
    EXPECT_EQ(svc.SMS_Receive(buf, 4, &n, 300), 1);
    EXPECT_EQ(n, 0u);
    long long took = ms_since(t0);
    EXPECT_GE(took, 280);
    EXPECT_LT(took, 600);

    // A short answer: what came, after the time-out.
    box.put("ab");
    EXPECT_EQ(svc.SMS_Receive(buf, 4, &n, 200), 1);
    EXPECT_EQ(n, 2u);

    // A reply in pieces within one time-out is collected whole, early.
    std::thread feeder([&] {
        box.put("1");
        std::this_thread::sleep_for(60ms);
        box.put("23");
        std::this_thread::sleep_for(60ms);
        box.put("4");
    });
    t0 = Clock::now();
    EXPECT_EQ(svc.SMS_Receive(buf, 4, &n, 1000), 1);
    feeder.join();
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 4), "1234");
    EXPECT_LT(ms_since(t0), 800);
}

TEST_F(ServiceFixture, FlushDiscardsPendingInput)
{
    box.put("stale bytes");
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(svc.SMS_FlushComData(300), 1);
    uint8_t buf[32];
    uint32_t n = 99;
    EXPECT_EQ(svc.SMS_Receive(buf, sizeof(buf), &n, 100), 1);
    EXPECT_EQ(n, 0u);
}

TEST_F(ServiceFixture, BaudChangeIsSeenFromTheOtherEndAndBadSettingsAreRefused)
{
    serialport_config_tag c = cfg;
    c.baud_rate = 38400;
    ASSERT_EQ(svc.SMS_ChangeBaudrate(c), 1) << svc.last_error();
    EXPECT_EQ(kv::get_line_baud(box.master), 38400);
    serialport_config_tag cur;
    svc.SMS_GetCurSvcParam(nullptr, nullptr, &cur);
    EXPECT_EQ(cur.baud_rate, 38400);

    c.baud_rate = 14400;  // a rate without a standard constant
    ASSERT_EQ(svc.SMS_ChangeBaudrate(c), 1) << svc.last_error();
    EXPECT_EQ(kv::get_line_baud(box.master), 14400);

    c.baud_rate = 12345;
    EXPECT_EQ(svc.SMS_ChangeBaudrate(c), 0);
    EXPECT_NE(svc.last_error().find("12345"), std::string::npos);
    EXPECT_EQ(kv::get_line_baud(box.master), 14400);  // unchanged

    std::string err;
    serialport_config_tag bad = cfg;
    bad.data_bits = 4;
    EXPECT_FALSE(kv::SerialPort::validate(bad, &err));
    EXPECT_NE(err.find("data bits"), std::string::npos);
    bad = cfg;
    bad.stop_bits = 1;
    EXPECT_FALSE(kv::SerialPort::validate(bad, &err));
    bad = cfg;
    bad.parity = 5;
    EXPECT_FALSE(kv::SerialPort::validate(bad, &err));
    for (int p = 0; p <= 4; ++p) {
        serialport_config_tag ok = cfg;
        ok.parity = p;
        ok.data_bits = 7;
        ok.stop_bits = 2;
        EXPECT_TRUE(kv::SerialPort::validate(ok, &err)) << err;
    }
    EXPECT_EQ(kv::supported_baud_rates().size(), 13u);
}

TEST_F(ServiceFixture, ClosedPortAndVanishedBoxFailCleanly)
{
    uint8_t buf[4];
    uint32_t n = 7;
    ASSERT_EQ(svc.SMS_ClosePort(cfg.port_index), 1);
    EXPECT_EQ(svc.SMS_ClosePort(cfg.port_index), 0);
    EXPECT_EQ(svc.SMS_IsPortOpen()[static_cast<size_t>(cfg.port_index)], 0);
    EXPECT_EQ(svc.SMS_Send("x", 1, &n, 100), 0);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(svc.SMS_Receive(buf, 4, &n, 100), 0);
    EXPECT_EQ(svc.SMS_ChangeBaudrate(cfg), 0);

    ASSERT_EQ(svc.SMS_OpenPort(cfg), 1);
    ::close(box.master);  // the box goes away
    box.master = -1;
    auto t0 = Clock::now();
    EXPECT_EQ(svc.SMS_Receive(buf, 4, &n, 2000), 0);
    EXPECT_LT(ms_since(t0), 1500);

    serialport_config_tag nowhere = cfg;
    nowhere.port_index = svc.SMS_AddPort("/dev/nonexistent-tty");
    EXPECT_EQ(svc.SMS_OpenPort(nowhere), 0);
    EXPECT_NE(svc.last_error().find("/dev/nonexistent-tty"), std::string::npos);
    nowhere.port_index = 999;
    EXPECT_EQ(svc.SMS_OpenPort(nowhere), 0);
}

TEST_F(ServiceFixture, ReaderForwardsConsoleOutputAndResumesTheWaitingJob)
{
    std::mutex m;
    std::string console;
    int id = kv::log_add_listener([&](int kind, const std::string& t) {
        std::lock_guard<std::mutex> l(m);
        if (kind == 3)
            console += t;
    });
    svc.SMS_StartSvc();
    box.put("hello from the box\n");
    for (int i = 0; i < 100; ++i) {
        {
            std::lock_guard<std::mutex> l(m);
            if (console.find("hello from the box\n") != std::string::npos)
                break;
        }
        std::this_thread::sleep_for(10ms);
    }
    {
        std::lock_guard<std::mutex> l(m);
        EXPECT_NE(console.find("hello from the box\n"), std::string::npos);
    }

    // A job waits for the boot ROM; bytes other than the sync byte do not wake it.
    CKvWorkThread job;
    std::atomic<int> stage{0};
    job.Attach([&]() -> uint32_t {
        svc.set_upg(1);
        svc.m_pUpgThread = &job;
        stage = 1;
        job.Suspend();
        stage = 2;
        return 0;
    });
    job.Start(1);
    while (stage.load() == 0)
        std::this_thread::sleep_for(1ms);
    box.put("noise");
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(stage.load(), 1);
    box.put("R");
    for (int i = 0; i < 200 && stage.load() != 2; ++i)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(stage.load(), 2);
    job.Detach();

    // Once woken, the reader leaves the line to the job: the next bytes are the job's.
    box.put("RRRR");
    uint8_t buf[4];
    uint32_t n = 0;
    EXPECT_EQ(svc.SMS_Receive(buf, 4, &n, 500), 1);
    EXPECT_EQ(n, 4u);
    svc.set_upg(0);
    svc.m_pUpgThread = nullptr;
    kv::log_remove_listener(id);
}

TEST_F(ServiceFixture, DumpSlotIsResumedForTheDumpFlagAndStoppedServiceDoesNotWatch)
{
    CKvWorkThread job;
    std::atomic<int> stage{0};
    svc.SMS_StopSvc();
    job.Attach([&]() -> uint32_t {
        svc.set_dumping(1);
        svc.m_pDumpThread = &job;
        stage = 1;
        stage = job.SuspendFor(2000) ? 2 : 3;
        return 0;
    });
    job.Start(1);
    while (stage.load() == 0)
        std::this_thread::sleep_for(1ms);
    box.put("R");
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(stage.load(), 1);  // stopped: nobody watches the line
    svc.SMS_StartSvc();
    // The boot ROM repeats its announcement until the host talks.
    for (int i = 0; i < 30 && stage.load() == 1; ++i) {
        box.put("R");
        for (int k = 0; k < 20 && stage.load() == 1; ++k)
            std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(stage.load(), 2);
    job.Detach();
    svc.set_dumping(0);
    svc.m_pDumpThread = nullptr;
}

TEST(Serial, CallsFromManyThreadsAreSerialised)
{
    PtyBox box;
    setenv("XDG_RUNTIME_DIR", ::testing::TempDir().c_str(), 1);
    CSerialMonitorSerivce svc;
    svc.SMS_Init();
    svc.SMS_StopSvc();
    serialport_config_tag cfg;
    cfg.port_index = svc.SMS_AddPort(box.slave);
    ASSERT_EQ(svc.SMS_OpenPort(cfg), 1);
    // Four writers of whole 8-byte messages: the box sees whole messages only.
    std::vector<std::thread> ts;
    for (int k = 0; k < 4; ++k)
        ts.emplace_back([&, k] {
            std::string msg(8, static_cast<char>('a' + k));
            for (int i = 0; i < 50; ++i) {
                uint32_t n;
                EXPECT_EQ(svc.SMS_Send(msg.data(), 8, &n, 1000), 1);
            }
        });
    std::string all = box.take(4 * 50 * 8, 5000);
    for (auto& t : ts)
        t.join();
    ASSERT_EQ(all.size(), 1600u);
    for (size_t i = 0; i < all.size(); i += 8)
        EXPECT_EQ(all.substr(i, 8), std::string(8, all[i]));
}

// A job waiting for the boot ROM while the box prints lines full of 'R', then
// the box is reset; cancel and time-out end the wait too.
TEST_F(ServiceFixture, TheWaitForTheBootRomIgnoresChatterAndEndsOnCancelOrTime)
{
    std::atomic<int> result{99};
    std::atomic<bool> cancel{false};
    std::thread waiter([&] { result = svc.SMS_WaitAnnouncement(-1, &cancel); });
    std::string console;
    for (int i = 0; i < 30; ++i) {  // a running box: "Ready", "RUN", "ROM" lines, 10 ms apart
        box.put(i % 3 == 0 ? "Ready\r\n" : i % 3 == 1 ? "RUN\r\n" : "ROM ok\r\nR\r\n");
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(result.load(), 99);
    // The reset: the boot ROM announces itself until the host talks.
    for (int i = 0; i < 40 && result.load() == 99; ++i) {
        box.put("R");
        for (int k = 0; k < 20 && result.load() == 99; ++k)
            std::this_thread::sleep_for(5ms);
    }
    waiter.join();
    EXPECT_EQ(result.load(), 1);

    std::thread cancelled([&] { result = svc.SMS_WaitAnnouncement(-1, &cancel); });
    cancel = true;
    cancelled.join();
    EXPECT_EQ(result.load(), -1);
    EXPECT_EQ(svc.SMS_WaitAnnouncement(100, nullptr), 0);
}

TEST(Serial, TheSyncByteComesFromTheSettings)
{
    auto home = std::filesystem::path(::testing::TempDir()) / ("sync_" + std::to_string(::getpid()));
    std::filesystem::create_directories(home);
    setenv("CORVANE_HOME", home.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", ::testing::TempDir().c_str(), 1);
    {
        std::FILE* f = std::fopen((home / "corvane.ini").c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs("[SerialSvc]\nSyncByte = 0x53\nAnnounceQuietMs = 30\n", f);
        std::fclose(f);
    }
    CSerialMonitorSerivce svc;
    ASSERT_EQ(svc.SMS_Init(), 1);
    EXPECT_EQ(svc.sync_byte(), 'S');
    EXPECT_EQ(svc.announce_quiet_ms(), 30);
    svc.SMS_Deinit();
    unsetenv("CORVANE_HOME");
    std::filesystem::remove_all(home);
}
