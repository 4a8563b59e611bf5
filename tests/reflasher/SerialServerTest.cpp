// The "UPG" jobs through a real serial server: ser2net, started here with a
// generated configuration on a loopback port, in front of a virtual STB's
// pseudo-terminal, reached as rfc2217://127.0.0.1:PORT.
#include "UpgJob.h"

#include "KvBasicLog.h"
#include "KvWorkThread.h"
#include "SerialMonitorService.h"
#include "StbSim.h"
#include "UpgTestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string find_ser2net()
{
    for (const char* dir : {"/usr/sbin", "/usr/bin", "/sbin", "/usr/local/sbin", "/usr/local/bin"}) {
        std::string p = std::string(dir) + "/ser2net";
        if (::access(p.c_str(), X_OK) == 0)
            return p;
    }
    return {};
}

int free_loopback_port()
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

bool accepts_connections(int port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

// ser2net in the foreground, serving one device on one loopback port.
class Ser2net {
public:
    bool start(const std::string& binary, const fs::path& dir, const std::string& device, std::string* error)
    {
        port = free_loopback_port();
        const fs::path cfg = dir / "ser2net.yaml";
        std::ofstream(cfg) << "connection: &box\n"
                           << "  accepter: telnet(rfc2217),tcp,127.0.0.1," << port << "\n"
                           << "  connector: serialdev," << device << ",115200n81,local\n";
        const std::string log = (dir / "ser2net.log").string();
        m_pid = ::fork();
        if (m_pid == 0) {
            int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            ::execl(binary.c_str(), "ser2net", "-n", "-u", "-c", cfg.c_str(), "-P", (dir / "ser2net.pid").c_str(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        for (int i = 0; i < 1000; ++i) {  // up to 10 s on a loaded machine
            if (accepts_connections(port))
                return true;
            int status;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                break;
            }
            std::this_thread::sleep_for(10ms);
        }
        *error = "ser2net did not start serving port " + std::to_string(port);
        return false;
    }
    void kill_now()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
            m_pid = -1;
        }
    }
    ~Ser2net() { kill_now(); }
    std::string url() const { return "rfc2217://127.0.0.1:" + std::to_string(port); }
    int port = 0;

private:
    pid_t m_pid = -1;
};

using upgtest::Log;

class PhaseObserver : public IJobObserver {
public:
    std::function<void(const std::string&, int)> on_progress;
    void OnPhase(const std::string& n) override { m_phase = n; }
    void OnProgress(int p) override
    {
        if (on_progress)
            on_progress(m_phase, p);
    }

private:
    std::string m_phase;
};

std::vector<uint8_t> image_bytes(size_t n, uint32_t seed)
{
    std::vector<uint8_t> v(n);
    uint32_t x = seed;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        // 0xFF and CR are common in flash images and special on a Telnet line.
        v[i] = (i % 7 == 0) ? 0xFF : (i % 11 == 0) ? '\r' : static_cast<uint8_t>(x >> 24);
    }
    return v;
}

class SerialServerTest : public ::testing::Test {
protected:
    static constexpr double kPauseScale = 0.02;
    fs::path dir;
    std::unique_ptr<stbsim::Simulator> box;
    Ser2net server;
    CSerialMonitorSerivce svc;
    std::atomic<bool> cancel{false};
    std::atomic<bool> keep_going{false};
    bootlink::JobContext ctx;
    PhaseObserver obs;

    void SetUp() override
    {
        const std::string ser2net = find_ser2net();
        if (ser2net.empty())
            GTEST_SKIP() << "ser2net is not installed (scripts/install-deps --tests installs it)";
        dir = fs::temp_directory_path() / ("serialserver_" + std::to_string(::getpid()) + "_" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir / "run");
        setenv("CORVANE_HOME", dir.c_str(), 1);
        setenv("XDG_RUNTIME_DIR", (dir / "run").c_str(), 1);
        kv::log_set_fallback(kv::LogFallback::None);
        std::string err;
        ASSERT_TRUE(stbsim::write_stb_files(dir.string(), nullptr, &err)) << err;

        // Alder: boot ROM at 38400 baud, client at 115200.
        box = std::make_unique<stbsim::Simulator>(upgtest::quick_box(1, 1 << 20, kPauseScale));
        ASSERT_TRUE(box->start(&err)) << err;
        ASSERT_TRUE(server.start(ser2net, dir, box->port_path(), &err)) << err;

        ctx.observer = &obs;
        ctx.cancel = &cancel;
        ctx.keep_going = &keep_going;
        ctx.svc = &svc;
        ctx.pause_scale = kPauseScale;
        ASSERT_EQ(svc.SMS_Init(), 1);
        serialport_config_tag cfg;
        cfg.port_index = svc.SMS_AddPort(server.url());
        ASSERT_EQ(svc.SMS_OpenPort(cfg), 1) << svc.last_error();
    }
    void TearDown() override
    {
        svc.SMS_Deinit();
        server.kill_now();
        if (box)
            box->stop();
        kv::log_set_fallback(kv::LogFallback::StdoutAndFile);
        std::error_code ec;
        if (!dir.empty())
            fs::remove_all(dir, ec);
    }

    reflasher::UpgJobResult run(reflasher::UpgJobParams p)
    {
        p.project_type = 1;
        return upgtest::run_job(std::move(p), ctx);
    }
};

}  // namespace

TEST_F(SerialServerTest, AlderUpgradeAndDumpThroughRfc2217)
{
    Log log;
    reflasher::UpgJobParams up;
    up.kind = reflasher::JobKind::Upgrade;
    up.image = image_bytes(1 << 16, 5);
    auto r = run(up);
    ASSERT_TRUE(r.ok) << r.failed_step() << ": " << r.error << "\n" << log.text();
    auto flash = box->flash();
    EXPECT_TRUE(std::equal(up.image.begin(), up.image.end(), flash.begin())) << "flash differs from the image";

    reflasher::UpgJobParams dp;
    dp.kind = reflasher::JobKind::Dump;
    dp.dump_size = 0x80000;
    dp.dump_path = (dir / "dump.bin").string();
    auto d = run(dp);
    ASSERT_TRUE(d.ok) << d.failed_step() << ": " << d.error << "\n" << log.text();
    std::ifstream f(dp.dump_path, std::ios::binary);
    std::vector<uint8_t> dumped((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    ASSERT_EQ(dumped.size(), 0x80000u);
    EXPECT_TRUE(std::equal(up.image.begin(), up.image.end(), dumped.begin()));

    // Both rate switches reached the box's line: nothing arrived at a wrong rate.
    EXPECT_EQ(box->counters().noise_bytes, 0u);
    serialport_config_tag cfg;
    svc.SMS_GetCurSvcParam(nullptr, nullptr, &cfg);
    EXPECT_EQ(cfg.baud_rate, 115200);
}

TEST_F(SerialServerTest, AServerThatDropsTheConnectionMidTransferFailsTheJobCleanly)
{
    Log log;
    obs.on_progress = [&](const std::string& phase, int pct) {
        if (phase == "transfer" && pct >= 20)
            server.kill_now();
    };
    reflasher::UpgJobParams up;
    up.kind = reflasher::JobKind::Upgrade;
    up.image = image_bytes(2 << 16, 9);
    auto r = run(up);
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.cancelled);
    EXPECT_EQ(r.failed, reflasher::Step::Transfer) << r.failed_step() << ": " << r.error;
    EXPECT_EQ(r.outcome, bootlink::Outcome::PortLost);
    const std::string text = log.text();
    EXPECT_NE(text.find(server.url() + ": the serial server closed the connection"), std::string::npos) << text;
    EXPECT_FALSE(svc.any_job_flag());
    // The port stays failed with the reason, never hangs a caller.
    uint8_t b[8];
    uint32_t got = 0;
    EXPECT_EQ(svc.SMS_Receive(b, sizeof b, &got, 100), 0);
    EXPECT_NE(svc.last_error().find("closed the connection"), std::string::npos) << svc.last_error();
}
