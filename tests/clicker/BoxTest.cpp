// Keys against the virtual STB's remote-control receiver: frames written by
// hand, send_key through the serial service, a recording replayed, random
// pacing, and corvane-cli remote.
#include "ClickerTestSupport.h"
#include "KeyFrame.h"
#include "KvBasicRemoteCtrl.h"
#include "RecordFile.h"
#include "StbSim.h"

#include <KvBasicLog.h>
#include <SerialMonitorService.h>

#include <gtest/gtest.h>
#include <zlib.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#include <sys/wait.h>
#include <csignal>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <thread>

using namespace clicker;
using Bytes = std::vector<uint8_t>;

namespace {

// '#', 'K', 4, value LE32, complement of zlib's CRC-32 over bytes 1..6.
Bytes raw_key_frame(uint32_t value)
{
    Bytes f = {'#', 'K', 4};
    for (int i = 0; i < 4; ++i)
        f.push_back(static_cast<uint8_t>(value >> (8 * i)));
    uint32_t crc = ~static_cast<uint32_t>(::crc32(0L, f.data() + 1, 6));
    for (int i = 0; i < 4; ++i)
        f.push_back(static_cast<uint8_t>(crc >> (8 * i)));
    return f;
}

// The host end of the line at 4800 Bd, by hand.
class RawLine {
public:
    explicit RawLine(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK))
    {
        termios t{};
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        cfsetispeed(&t, B4800);
        cfsetospeed(&t, B4800);
        t.c_cflag |= CLOCAL | CREAD;
        tcsetattr(fd_, TCSANOW, &t);
    }
    ~RawLine() { ::close(fd_); }
    // Sends the bytes and returns what came back within `ms`, at most `want` bytes.
    Bytes exchange(const Bytes& out, size_t want, int ms = 3000)
    {
        EXPECT_EQ(::write(fd_, out.data(), out.size()), static_cast<ssize_t>(out.size()));
        Bytes in;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (in.size() < want && std::chrono::steady_clock::now() < end) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) > 0) {
                uint8_t b[16];
                ssize_t n = ::read(fd_, b, std::min(sizeof b, want - in.size()));
                if (n > 0)
                    in.insert(in.end(), b, b + n);
            }
        }
        return in;
    }

private:
    int fd_;
};

std::unique_ptr<stbsim::Simulator> start_box(int key_baud = 4800, double speed = 0)
{
    stbsim::Options o;
    o.flash_size = 1 << 16;
    o.key_baud = key_baud;
    o.speed = speed;
    auto box = std::make_unique<stbsim::Simulator>(o);
    std::string err;
    EXPECT_TRUE(box->start(&err)) << err;
    return box;
}

std::vector<int32_t> values(const std::vector<stbsim::ReceivedKey>& keys)
{
    std::vector<int32_t> v;
    for (const auto& k : keys)
        v.push_back(k.value);
    return v;
}

// A session on the box's line at 4800 Bd, with the seven-key map.
struct Rig {
    explicit Rig(stbsim::Simulator& box)
    {
        ctrl.m_pTable = table.get();
        ctrl.m_pSerial = &svc;
        std::string error;
        EXPECT_TRUE(session.OpenPort(box.port_path(), 4800, &error)) << error;
        session.LogFile().set_folder(dir.path());
        EXPECT_EQ(session.LoadKeyMap(clickertest::write_key_map(dir, "keys.xls", clickertest::seven_keys())), nullptr);
    }
    testsupport::ScratchDir dir{"clicker"};
    CSerialMonitorSerivce svc;
    std::unique_ptr<tag_record_table> table = std::make_unique<tag_record_table>();
    CKvBasicRemoteCtrl ctrl;
    clickertest::LineSink sink;
    CRemoteSession session{ctrl, sink};
};

}  // namespace

TEST(KeyReceiver, AnswersFramesWrittenByHand)
{
    auto box = start_box();
    RawLine line(box->port_path());
    EXPECT_EQ(line.exchange(Bytes{'x', 'y'}, 2, 200), Bytes{}) << "console input is not answered";
    EXPECT_EQ(line.exchange(raw_key_frame(258), 2), (Bytes{'O', 'K'}));
    Bytes bad = raw_key_frame(259);
    bad[4] ^= 0x40;
    EXPECT_EQ(line.exchange(bad, 2), (Bytes{'E', 0x01}));
    box->reject_key(5);
    EXPECT_EQ(line.exchange(raw_key_frame(5), 2), (Bytes{'E', 0x02}));
    EXPECT_EQ(line.exchange(raw_key_frame(0xFFFFFFFFu), 2), (Bytes{'O', 'K'}));

    EXPECT_EQ(values(box->keys()), (std::vector<int32_t>{258, -1}));
    const std::string status = box->status();
    EXPECT_NE(status.find("key refusals 1, bad key frames 1, keys=258,-1"), std::string::npos) << status;
}

TEST(KeyReceiver, SendKeyReportsWhatTheBoxSaid)
{
    auto box = start_box();
    Rig rig(*box);
    const int port = rig.session.PortIndex();
    EXPECT_EQ(rig.ctrl.send_key(12, port), kSendOk);
    box->reject_key(13);
    EXPECT_EQ(rig.ctrl.send_key(13, port), kSendRefused);
    EXPECT_EQ(rig.ctrl.send_key(12, port + 1), kSendNoPort);
    EXPECT_EQ(values(box->keys()), std::vector<int32_t>{12});

    // A refused key is reported per key and the run goes on.
    box->reject_key(2);
    rig.session.Press("MENU", 2);
    EXPECT_EQ(rig.sink.lines().back(), "Send key failed! key value:2, key name:MENU, error:4\r\n");
}

TEST(KeyReceiver, AKeyAtAnotherRateIsNoise)
{
    auto box = start_box(115200);
    Rig rig(*box);
    EXPECT_EQ(rig.ctrl.send_key(12, rig.session.PortIndex()), kSendNoAnswer);
    EXPECT_TRUE(box->keys().empty());
}

TEST(KeyReceiver, ARecordingReplaysAsTheSameKeysWithTheirPauses)
{
    auto box = start_box(4800, 1.0);  // paced at the line rate
    Rig rig(*box);
    const std::string path = rig.dir.file("run.rcd");
    ASSERT_TRUE(rig.session.StartRecord(path));
    const std::pair<const char*, int> presses[] = {{"POWER", 1}, {"VOL+", 4}, {"CH UP", 6}};
    const int gaps[] = {300, 150, 0};
    for (int i = 0; i < 3; ++i) {
        rig.session.Press(presses[i].first, presses[i].second);
        std::this_thread::sleep_for(std::chrono::milliseconds(gaps[i]));
    }
    rig.session.StopRecord();
    ASSERT_EQ(values(box->keys()), (std::vector<int32_t>{1, 4, 6}));
    box->clear_keys();

    ASSERT_TRUE(rig.session.StartSimulation(path));
    ASSERT_TRUE(clickertest::wait_for([&] { return box->keys().size() >= 3; }));
    rig.session.StopSimulation();
    const auto keys = box->keys();
    ASSERT_EQ(values(keys), (std::vector<int32_t>{1, 4, 6}));
    // Each key is followed by the 100 ms of the press, then its recorded pause.
    for (int i = 0; i < 2; ++i) {
        const int64_t recorded = rig.table->sleep_ms[i + 1], played = keys[i + 1].ms - keys[i].ms;
        EXPECT_GE(played, recorded + 100 - 30) << "key " << i;
        EXPECT_LE(played, recorded + 100 + 1500) << "key " << i;
    }
}

TEST(KeyReceiver, RandomKeysComeEvery200MsPlusTheirPress)
{
    auto box = start_box();
    Rig rig(*box);
    ASSERT_TRUE(rig.session.StartRandom(99, 5));
    ASSERT_TRUE(clickertest::wait_for([&] { return !rig.session.RandomRunning(); }));
    const auto keys = box->keys();
    ASSERT_EQ(keys.size(), 5u);
    // 100 ms press and 200 ms pause between keys; the box stamps a key when
    // its thread gets to it, which a loaded machine delays, so the bound
    // only tells the pause from its absence.
    for (size_t i = 1; i < keys.size(); ++i)
        EXPECT_GE(keys[i].ms - keys[i - 1].ms, 300 - 100);
    EXPECT_EQ(rig.session.GetStats().keys_sent, 5);
}

// ---------------------------------------------------------------------------
// corvane-cli remote

namespace {

int run_cli(const testsupport::ScratchDir& dir, const std::string& args, std::string* out,
            const std::string& input = "")
{
    std::string cmd = "cd '" + dir.path() + "' && ";
    if (!input.empty())
        cmd += "printf '" + input + "' | ";
    cmd += "CORVANE_HOME='" + dir.path() + "' " CORVANE_CLI " remote " + args + " > out.txt 2>&1";
    int rc = std::system(cmd.c_str());
    std::ifstream f(dir.file("out.txt"));
    out->assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string today_log(const testsupport::ScratchDir& dir)
{
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char name[64];
    std::strftime(name, sizeof name, "RCLog_%Y%m%d.txt", &local);
    std::ifstream f(dir.file(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

}  // namespace

TEST(RemoteCli, ReplayPressAndRecordDriveTheBox)
{
    auto box = start_box();
    testsupport::ScratchDir dir("clicker-cli");
    const std::string keys = clickertest::write_key_map(dir, "keys.xlsx", clickertest::seven_keys());
    const std::string common = "--port " + box->port_path() + " --keymap " + keys;
    std::ofstream(dir.file("run.rcd")) << record_line("first key", 20) << record_line("OK", 30)
                                       << closing_line("EXIT last key", 40);
    std::string out;
    ASSERT_EQ(run_cli(dir, common + " --replay run.rcd --cycles 2", &out), 0) << out;
    const auto played = box->keys();
    ASSERT_EQ(values(played), (std::vector<int32_t>{3, 7, 3, 7}));
    EXPECT_GE(played[2].ms - played[1].ms, 40 + 5000 - 20) << "the last pause, then 5000 ms between rounds";
    EXPECT_NE(out.find("Start sim...\nsim: cyc:0, key num:1, key value:3\nsim: cyc:0, key num:2, key value:7\n"
                       "sim: cyc:1, key num:1, key value:3\n"),
              std::string::npos)
        << out;
    EXPECT_NE(today_log(dir).find("sim: cyc:1, key num:2, key value:7\r\nStop sim...\r\n"), std::string::npos);

    box->clear_keys();
    ASSERT_EQ(run_cli(dir, common + " --press POWER \"CH UP\"", &out), 0) << out;
    EXPECT_EQ(out, "press key: key value:1, key name:POWER\npress key: key value:6, key name:CH UP\n");
    EXPECT_EQ(run_cli(dir, common + " --press NOKEY", &out), 2) << out;
    box->reject_key(1);
    EXPECT_EQ(run_cli(dir, common + " --press POWER", &out), 1) << out;
    EXPECT_NE(out.find("Send key failed! key value:1, key name:POWER, error:4"), std::string::npos) << out;
    EXPECT_EQ(values(box->keys()), (std::vector<int32_t>{1, 6}));

    ASSERT_EQ(run_cli(dir, common + " --record rec.rcd", &out, "MENU\\nVOL-\\n"), 0) << out;
    std::ifstream rec(dir.file("rec.rcd"));
    std::string text{std::istreambuf_iterator<char>(rec), std::istreambuf_iterator<char>()};
    EXPECT_NE(text.find("Comments:MENU.\nKey:      VOL-, Sleep:     10000, Comments:VOL- last key. Wait next "
                        "round:10000ms\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(run_cli(dir, "--port /nonexistent/tty --keymap " + keys + " --press OK", &out), 5) << out;
    EXPECT_NE(out.find("Open COM failed!!"), std::string::npos);
}

// Ctrl+C ends a recording even while standard input stays open (nobody
// types the end of the input), and what was recorded is kept.
TEST(RemoteCli, CtrlCEndsARecordingWhoseInputStaysOpen)
{
    auto box = start_box();
    testsupport::ScratchDir dir("clicker-cli-int");
    const std::string keys = clickertest::write_key_map(dir, "keys.xlsx", clickertest::seven_keys());
    int in[2];
    ASSERT_EQ(::pipe(in), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::dup2(in[0], STDIN_FILENO);
        ::close(in[1]);
        const int out = ::open(dir.file("out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(out, STDERR_FILENO);
        ::setenv("CORVANE_HOME", dir.path().c_str(), 1);
        const std::string port = box->port_path(), rec = dir.file("rec.rcd");
        ::execl(CORVANE_CLI, CORVANE_CLI, "remote", "--port", port.c_str(), "--keymap", keys.c_str(), "--record",
                rec.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(in[0]);
    ASSERT_EQ(::write(in[1], "MENU\n", 5), 5);
    // The key reached the box: the job runs, Ctrl+C is the runner's.
    clickertest::wait_for([&] { return !box->keys().empty(); }, 30000);
    ASSERT_EQ(values(box->keys()).size(), 1u);
    ::kill(pid, SIGINT);
    int status = 0;
    pid_t done = 0;
    clickertest::wait_for([&] { return (done = ::waitpid(pid, &status, WNOHANG)) != 0; }, 30000);
    if (done == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    ::close(in[1]);
    ASSERT_EQ(done, pid) << "still reading standard input after Ctrl+C";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    std::ifstream rec(dir.file("rec.rcd"));
    const std::string text{std::istreambuf_iterator<char>(rec), std::istreambuf_iterator<char>()};
    EXPECT_NE(text.find("MENU"), std::string::npos) << text;
}

// ---------------------------------------------------------------------------
// Console text around the answer

namespace {

// Keeps what goes to the console.
struct ConsoleTap {
    ConsoleTap()
    {
        id = kv::log_add_listener([this](int, const std::string& t) {
            std::lock_guard<std::mutex> l(m);
            text += t;
        });
    }
    ~ConsoleTap() { kv::log_remove_listener(id); }
    std::string seen()
    {
        std::lock_guard<std::mutex> l(m);
        return text;
    }
    int id;
    std::mutex m;
    std::string text;
};

}  // namespace

TEST(KeyReceiver, ConsoleTextAroundTheAnswerStillDeliversTheKey)
{
    auto box = start_box();
    ASSERT_TRUE(box->add_fault("keytalk"));
    Rig rig(*box);
    ConsoleTap tap;
    EXPECT_EQ(rig.ctrl.send_key(12, rig.session.PortIndex()), kSendOk);
    box->reject_key(13);
    EXPECT_EQ(rig.ctrl.send_key(13, rig.session.PortIndex()), kSendRefused);
    EXPECT_EQ(values(box->keys()), std::vector<int32_t>{12});
    EXPECT_TRUE(clickertest::wait_for([&] { return tap.seen().find("key 13\r\n\r\nir: idle") != std::string::npos; }))
        << tap.seen();
    EXPECT_NE(tap.seen().find("ir: frame for key 12\r\n\r\nir: idle\r\n"), std::string::npos) << tap.seen();
}

TEST(KeyReceiver, AnswerWrittenByHandAmidTextIsFound)
{
    int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const std::string slave = ::ptsname(master);
    testsupport::ScratchDir dir{"clicker-pty"};
    CSerialMonitorSerivce svc;
    auto table = std::make_unique<tag_record_table>();
    CKvBasicRemoteCtrl ctrl;
    ctrl.m_pTable = table.get();
    ctrl.m_pSerial = &svc;
    clickertest::LineSink sink;
    CRemoteSession session{ctrl, sink};
    std::string error;
    ASSERT_TRUE(session.OpenPort(slave, 4800, &error)) << error;
    ConsoleTap tap;
    const std::pair<Bytes, int> cases[] = {
        {Bytes{'b', 'o', 'o', 't', '\r', '\n', 'O', 'K', 'x', 'y', '\r', '\n'}, kSendOk},
        {Bytes{'h', 'i', ' ', 'E', 0x02, '!'}, kSendRefused},
        {Bytes{'n', 'o', 'i', 's', 'e'}, kSendBadAnswer},
    };
    for (const auto& [answer, want] : cases) {
        std::thread box([&, answer = answer] {
            Bytes frame;
            auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (frame.size() < kKeyFrameSize && std::chrono::steady_clock::now() < end) {
                pollfd p{master, POLLIN, 0};
                uint8_t b[16];
                ssize_t n = ::poll(&p, 1, 20) > 0 ? ::read(master, b, sizeof b) : 0;
                if (n > 0)
                    frame.insert(frame.end(), b, b + n);
            }
            EXPECT_EQ(frame, raw_key_frame(77));
            EXPECT_EQ(::write(master, answer.data(), answer.size()), static_cast<ssize_t>(answer.size()));
        });
        EXPECT_EQ(ctrl.send_key(77, session.PortIndex()), want);
        box.join();
    }
    const std::string seen = tap.seen();
    EXPECT_NE(seen.find("boot\r\nxy\r\n"), std::string::npos) << seen;
    EXPECT_NE(seen.find("hi !"), std::string::npos) << seen;
    EXPECT_NE(seen.find("noise"), std::string::npos) << seen;
    ::close(master);
}
