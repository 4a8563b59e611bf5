// Exchanges the virtual STB does not play, against a scripted peer on a
// pseudo-terminal: the boot ROM restarting the header of "boot_init.img",
// and a client that acknowledges data frames ahead of their sequence.
#include "BootInit.h"
#include "KvBasicLog.h"
#include "SerialMonitorService.h"
#include "UpgClient.h"
#include "kvcrc.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

using namespace bootlink;

namespace {

class Peer {
public:
    Peer()
    {
        int slave = -1;
        char name[256] = {};
        if (::openpty(&m_master, &slave, name, nullptr, nullptr) == 0) {
            termios t{};
            tcgetattr(slave, &t);
            cfmakeraw(&t);
            tcsetattr(slave, TCSANOW, &t);
            m_slave = slave;
            m_path = name;
        }
    }
    ~Peer()
    {
        if (m_thread.joinable())
            m_thread.join();
        if (m_master >= 0)
            ::close(m_master);
        if (m_slave >= 0)
            ::close(m_slave);
    }
    const std::string& path() const { return m_path; }
    void run(std::function<void(Peer&)> script)
    {
        m_thread = std::thread([this, script] { script(*this); });
    }
    void join()
    {
        if (m_thread.joinable())
            m_thread.join();
    }

    // Reads up to n bytes within timeout_ms.
    std::vector<uint8_t> read(size_t n, int timeout_ms)
    {
        std::vector<uint8_t> v;
        int64_t end = now_ms() + timeout_ms;
        while (v.size() < n) {
            int left = int(end - now_ms());
            if (left <= 0)
                break;
            pollfd p{m_master, POLLIN, 0};
            if (::poll(&p, 1, left) <= 0)
                continue;
            uint8_t buf[2048];
            ssize_t k = ::read(m_master, buf, std::min(sizeof buf, n - v.size()));
            if (k > 0)
                v.insert(v.end(), buf, buf + k);
        }
        return v;
    }
    void write(const std::vector<uint8_t>& b) { (void)!::write(m_master, b.data(), b.size()); }

private:
    int m_master = -1, m_slave = -1;
    std::string m_path;
    std::thread m_thread;
};

class ScriptedPeer : public ::testing::Test {
protected:
    void SetUp() override
    {
        kv::log_set_fallback(kv::LogFallback::None);
        ASSERT_FALSE(peer.path().empty());
        dir = (std::filesystem::temp_directory_path() / ("bootlink_peer_" + std::to_string(::getpid()))).string();
        std::filesystem::create_directories(dir);
        ASSERT_EQ(1, svc.SMS_Init());
        serialport_config_tag cfg;
        cfg.port_index = svc.SMS_AddPort(peer.path());
        cfg.baud_rate = 38400;
        ASSERT_EQ(1, svc.SMS_OpenPort(cfg)) << svc.last_error();
        svc.SMS_StopSvc();
        ctx.svc = &svc;
        ctx.root_dir = dir;
        ctx.pause_scale = 0;
    }
    void TearDown() override
    {
        peer.join();
        svc.SMS_Deinit();
        std::filesystem::remove_all(dir);
    }
    Peer peer;
    CSerialMonitorSerivce svc;
    JobContext ctx;
    std::string dir;
};

}  // namespace

TEST_F(ScriptedPeer, AnREchoWhileTheHeaderGoesOutRestartsItFromByteZero)
{
    std::vector<uint8_t> img(26);
    for (size_t i = 0; i < img.size(); ++i)
        img[i] = uint8_t(0x40 + i);
    std::ofstream(dir + "/boot_init.img", std::ios::binary).write(reinterpret_cast<char*>(img.data()), 26);

    std::vector<uint8_t> seen;
    peer.run([&](Peer& p) {
        // The boot ROM announces itself until the host talks.
        std::vector<uint8_t> b;
        for (int i = 0; i < 10 && b.empty(); ++i) {
            p.write({'R'});
            b = p.read(1, 2000);
        }
        // Acknowledge each header byte; answer the sixth of the first pass with 'R'.
        for (int i = 0; i < 6 + 20 + 6; ++i) {
            if (i > 0)
                b = p.read(1, 3000);
            if (b.empty())
                return;
            seen.push_back(b[0]);
            p.write({uint8_t(i == 5 ? 'R' : '.')});
        }
    });
    ASSERT_EQ(1, boot_init(ctx));
    peer.join();
    std::vector<uint8_t> want(img.begin(), img.begin() + 6);
    want.insert(want.end(), img.begin(), img.end());
    EXPECT_EQ(want, seen);
}

TEST_F(ScriptedPeer, ABootImageShorterThanItsHeaderIsRefusedBeforeTheLineIsUsed)
{
    std::ofstream(dir + "/boot_init.img", std::ios::binary).write("short", 5);
    EXPECT_EQ(0, boot_init(ctx));
    EXPECT_FALSE(ctx.last_error.empty());
}

TEST_F(ScriptedPeer, DataFramesAcknowledgedAheadAreTakenAndSentOnce)
{
    std::vector<uint8_t> data(3 * 1024 + 10);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(i * 13);
    std::vector<uint8_t> got;
    int frames = 0;
    bool crc_ok = true;
    peer.run([&](Peer& p) {
        auto cmd = p.read(13, 3000);  // '#', 'S', 6, 0xFF, 'Z', length
        if (cmd.size() != 13 || cmd[1] != 'S')
            return;
        p.write({'O', 'O'});
        while (got.size() < data.size()) {
            size_t n = std::min<size_t>(1024, data.size() - got.size());
            auto f = p.read(8 + n, 3000);
            if (f.size() != 8 + n)
                return;
            uint32_t crc = f[4 + n] | f[5 + n] << 8 | f[6 + n] << 16 | uint32_t(f[7 + n]) << 24;
            crc_ok = crc_ok && crc == kv::crc32(f.data() + 4, n);
            got.insert(got.end(), f.begin() + 4, f.begin() + 4 + long(n));
            uint16_t ahead = uint16_t((f[2] << 8 | f[3]) + 2);
            p.write({'O', uint8_t(ahead >> 8), uint8_t(ahead)});
            ++frames;
        }
    });
    ASSERT_EQ(1, UpgTransfer(data.data(), data.size(), ctx));
    peer.join();
    EXPECT_EQ(4, frames);
    EXPECT_TRUE(crc_ok);
    EXPECT_EQ(data, got);
    EXPECT_EQ(0u, ctx.transfer.retries);
}
