// The panel session against the virtual STB's panel program: connection and
// record transfer per platform, the configuration, the command exchange's
// retries, and the key, LED-map and lamp exchanges.
#include "FirPageFiles.h"
#include "FirSampleImages.h"
#include "KvLogRecord.h"
#include "PanelCommands.h"
#include "PanelSession.h"
#include "PanelTestBox.h"
#include "VirtualPorts.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <fstream>
#include <optional>

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace fir;
using firtest::CapturedLog;
using firtest::wait_until;

namespace {

class Recorder : public IPanelEvents {
public:
    using Lock = std::lock_guard<std::mutex>;
    std::vector<LearnedKey> keys()
    {
        Lock l(m_m);
        return m_keys;
    }
    std::optional<LedMapBytes> map()
    {
        Lock l(m_m);
        return m_map;
    }
    std::vector<std::pair<int, bool>> lamp()
    {
        Lock l(m_m);
        return m_lamp;
    }
    int asked()
    {
        Lock l(m_m);
        return m_asked;
    }
    void answer_retry(int times)
    {
        Lock l(m_m);
        m_retries = times;
    }

    void OnKeyLearned(const LearnedKey& k) override
    {
        Lock l(m_m);
        m_keys.push_back(k);
    }
    void OnLedMap(const LedMapBytes& m) override
    {
        Lock l(m_m);
        m_map = m;
    }
    void OnLampPosition(int p, bool c) override
    {
        Lock l(m_m);
        m_lamp.emplace_back(p, c);
    }
    bool AskRetry(const std::string&) override
    {
        Lock l(m_m);
        ++m_asked;
        return m_retries-- > 0;
    }

private:
    std::mutex m_m;
    std::vector<LearnedKey> m_keys;
    std::optional<LedMapBytes> m_map;
    std::vector<std::pair<int, bool>> m_lamp;
    int m_asked = 0;
    int m_retries = 0;
};

CPanelRecord random_record(Platform p, uint32_t seed)
{
    CPanelRecord r = CPanelRecord::ForPlatform(p);
    std::vector<uint8_t> bytes(r.size());
    for (uint8_t& b : bytes) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<uint8_t>(seed >> 24);
    }
    bytes[0] = 0x5A;  // the first configuration word is not zero
    r.assign(bytes.data(), bytes.size());
    return r;
}

class PanelFixture {
protected:
    firtest::PanelTestBox tb;
    CapturedLog log;
    Recorder events;
    std::unique_ptr<CPanelSession> session;
    Platform platform = Platform::Base;

    void start(Platform p, stbsim::PanelOptions o = {})
    {
        platform = p;
        std::string err;
        ASSERT_TRUE(tb.start(static_cast<int>(p), std::move(o), &err)) << err;
        session = std::make_unique<CPanelSession>(&tb.svc, &events);
        session->SetRootDir(tb.dir.path());
        session->SetPauseScale(0.02);
    }
    PanelResult run_to_end(int ms = 60000)
    {
        EXPECT_TRUE(session->WaitIdle(ms)) << log.text();
        return session->LastResult();
    }
    PanelResult connect(const CPanelRecord& rec)
    {
        ConnectOptions o;
        o.reset_wait_ms = 30000;
        EXPECT_TRUE(session->StartConnect(platform, rec, o));
        tb.box->reset();
        return run_to_end(120000);
    }
    void connect_base()
    {
        start(Platform::Base);
        const PanelResult r = connect(random_record(Platform::Base, 7));
        ASSERT_TRUE(r.ok()) << r.error << "\n" << log.text();
    }
};

class PanelConnect : public PanelFixture, public ::testing::TestWithParam<int> {};
class Panel : public PanelFixture, public ::testing::Test {};

}  // namespace

TEST(PanelFrames, CommandAndDataFramesAsWrittenByHand)
{
    // '#', '_', length 1, 0x01, then the CRC: the complement of zlib's CRC-32
    // of letter, length and payload, little-endian.
    const uint8_t body[] = {0x5F, 0x01, 0x01};
    const uint32_t crc = ~static_cast<uint32_t>(crc32(0L, body, 3));
    const std::vector<uint8_t> want = {
        0x23, 0x5F, 0x01, 0x01, uint8_t(crc), uint8_t(crc >> 8), uint8_t(crc >> 16), uint8_t(crc >> 24)};
    EXPECT_EQ(panel_command_frame(PanelCommand::LightOrDim, {0x01}), want);
    const std::vector<uint8_t> q = panel_command_frame(PanelCommand::AnnounceConfig, announce_payload(480));
    EXPECT_EQ(std::vector<uint8_t>(q.begin(), q.begin() + 9),
              (std::vector<uint8_t>{0x23, 'S', 6, 0xFF, 0x4E, 0xE0, 0x01, 0x00, 0x00}));
    const uint8_t data[] = {1, 2, 3};
    const uint32_t dcrc = ~static_cast<uint32_t>(crc32(0L, data, 3));
    EXPECT_EQ(panel_data_frame(data, 3), (std::vector<uint8_t>{0x23, 0x2A, 1, 2, 3, uint8_t(dcrc), uint8_t(dcrc >> 8),
                                                               uint8_t(dcrc >> 16), uint8_t(dcrc >> 24)}));
}

TEST_P(PanelConnect, TheBoxHoldsTheRecordAndTheConfigurationByteForByte)
{
    stbsim::PanelOptions o;
    o.dump_dir = tb.dir.path();
    start(static_cast<Platform>(GetParam()), o);
    CPanelRecord rec = random_record(platform, 1000 + GetParam());
    const PanelResult r = connect(rec);
    ASSERT_TRUE(r.ok()) << r.error << "\n" << log.text();
    EXPECT_TRUE(session->Connected());
    EXPECT_TRUE(log.has("Download  successfully!"));
    EXPECT_EQ(tb.box->program(), "panel-program");
    EXPECT_EQ(tb.box->panel().record, rec.bytes());

    std::vector<uint8_t> want(rec.config(), rec.config() + rec.config_size());
    if (platform == Platform::Dogwood)
        want[6] = 9;
    ASSERT_TRUE(session->StartSendConfig(rec));
    ASSERT_TRUE(run_to_end().ok()) << log.text();
    EXPECT_TRUE(session->Configured());
    EXPECT_EQ(tb.box->panel().config, want);
    EXPECT_EQ(rec.config()[6], rec.bytes()[6]);  // the record itself keeps its byte
    EXPECT_EQ(firtest::slurp(tb.dir.file("panel-record.bin")), rec.bytes());
    EXPECT_EQ(firtest::slurp(tb.dir.file("panel-config.bin")), want);

    // The status line names both by length and zlib's CRC-32.
    char expect[64];
    std::snprintf(expect, sizeof expect, "panel record=%zu:%08lx config=%zu:%08lx", rec.size(),
                  crc32(0L, rec.data(), uInt(rec.size())), want.size(), crc32(0L, want.data(), uInt(want.size())));
    EXPECT_NE(tb.box->status().find(expect), std::string::npos) << tb.box->status();

    if (platform == Platform::Alder) {  // no lamp test on Alder
        session->lamp.testing = true;
        EXPECT_FALSE(session->StartLampTest());
        EXPECT_TRUE(log.has("The lamp-position test is not offered on Alder!"));
    }
    if (platform == Platform::Dogwood) {  // a first word of zero leaves byte 6 alone
        std::fill(rec.config(), rec.config() + 4, 0);
        ASSERT_TRUE(session->StartSendConfig(rec));
        ASSERT_TRUE(run_to_end().ok()) << log.text();
        EXPECT_EQ(tb.box->panel().config, std::vector<uint8_t>(rec.config(), rec.config() + rec.config_size()));
    }
}

INSTANTIATE_TEST_SUITE_P(Platforms, PanelConnect, ::testing::Values(0, 1, 2),
                         [](const auto& info) { return std::string(traits(static_cast<Platform>(info.param)).id); });

TEST(PanelSim, FaultAndKeyListGrammars)
{
    std::string err;
    EXPECT_TRUE(stbsim::check_panel_fault("first-error", &err)) << err;
    EXPECT_TRUE(stbsim::check_panel_fault("no-status:cmd=*,times=0", &err)) << err;
    EXPECT_TRUE(stbsim::check_panel_fault("silent:cmd=0x5C,times=3", &err)) << err;
    EXPECT_FALSE(stbsim::check_panel_fault("loud", &err));
    EXPECT_FALSE(stbsim::check_panel_fault("silent:cmd=0x100", &err));
    EXPECT_FALSE(stbsim::check_panel_fault("silent:times=-1", &err));
    EXPECT_FALSE(stbsim::check_panel_fault("silent:every=2", &err));
    std::vector<stbsim::PanelKey> keys;
    ASSERT_TRUE(stbsim::parse_panel_keys("0x20df:0x10,7:255", &keys, &err)) << err;
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[1].user_code, 7);
    EXPECT_EQ(keys[1].key_code, 255);
    EXPECT_FALSE(stbsim::parse_panel_keys("0x10000:1", &keys, &err));
    EXPECT_FALSE(stbsim::parse_panel_keys("1:256", &keys, &err));
    EXPECT_FALSE(stbsim::parse_panel_keys("1", &keys, &err));
    EXPECT_EQ(keys.size(), 2u);  // left as it was
}

TEST_F(Panel, ClearOrSilenceWhileWaitingForTheResetEndsTheConnection)
{
    start(Platform::Base);
    ConnectOptions o;
    o.reset_wait_ms = 300;  // nobody resets the box
    ASSERT_TRUE(session->StartConnect(Platform::Base, random_record(Platform::Base, 1), o));
    EXPECT_EQ(run_to_end().outcome, PanelOutcome::NoBox);
    EXPECT_FALSE(tb.svc.any_job_flag());  // out of upgrade mode again
    EXPECT_EQ(tb.svc.m_pUpgThread.load(), nullptr);

    ASSERT_TRUE(session->StartConnect(Platform::Base, random_record(Platform::Base, 1)));
    ASSERT_TRUE(wait_until([&] { return log.has("Please reset the STB!"); }));
    session->Clear();
    EXPECT_EQ(run_to_end().outcome, PanelOutcome::Cancelled);
    EXPECT_TRUE(log.has("UPG Canceled by user!"));
    EXPECT_FALSE(tb.svc.any_job_flag());
    EXPECT_FALSE(session->Connected());
}

// Alder: "Clear" during the boot init (a byte at a time, each waiting for the
// boot ROM's answer) ends the connection between two bytes.
TEST_F(Panel, ClearDuringTheAlderBootInitEndsIt)
{
    start(Platform::Alder);
    const std::vector<uint8_t> init = stbsim::make_standin(stbsim::kKindBootInitAlder, std::string(256 << 10, 'b'));
    firtest::spit(tb.dir.file("boot_init.img"), init);
    tb.box->set_speed(0.5);  // the real line's pace: the whole image would take minutes
    ConnectOptions o;
    o.reset_wait_ms = 30000;
    ASSERT_TRUE(session->StartConnect(Platform::Alder, random_record(Platform::Alder, 3), o));
    tb.box->reset();
    ASSERT_TRUE(wait_until([&] { return log.has("Start boot init, please wait..."); }));
    const uint64_t loaded = tb.box->counters().programs_loaded;
    session->Clear();
    ASSERT_TRUE(session->WaitIdle(60000)) << log.text();
    EXPECT_EQ(session->LastResult().outcome, PanelOutcome::Cancelled);
    EXPECT_TRUE(log.has("UPG Canceled by user!"));
    EXPECT_FALSE(log.has("boot init fail!"));
    EXPECT_EQ(tb.box->counters().programs_loaded, loaded);
    EXPECT_FALSE(tb.svc.any_job_flag());
    EXPECT_EQ(tb.svc.m_RawLink.load(), 0);
}

TEST_F(Panel, FirstReplyErrorIsRetriedSecondReplyErrorFailsAtOnce)
{
    connect_base();
    const uint64_t before = tb.box->panel().commands;
    ASSERT_TRUE(tb.box->add_panel_fault("first-error:cmd=_"));
    ASSERT_TRUE(session->StartLightOrDim(false));
    EXPECT_TRUE(run_to_end().ok()) << log.text();
    EXPECT_EQ(tb.box->panel().commands, before + 2);
    EXPECT_EQ(tb.box->panel().lit, 0);

    ASSERT_TRUE(tb.box->add_panel_fault("second-error:cmd=_"));
    ASSERT_TRUE(session->StartLightOrDim(true));
    EXPECT_EQ(run_to_end().outcome, PanelOutcome::Failed);
    EXPECT_EQ(tb.box->panel().commands, before + 3);  // not tried again
    EXPECT_TRUE(log.has("Slave report Error"));
    EXPECT_TRUE(log.has("Send light/dim led&lamp CMD fail!"));

    // Silence: three attempts, then the command has failed.
    ASSERT_TRUE(tb.box->add_panel_fault("silent:cmd=_,times=3"));
    ASSERT_TRUE(session->StartLightOrDim(true));
    EXPECT_EQ(run_to_end().outcome, PanelOutcome::Failed);
    EXPECT_EQ(log.count("Failed to get CMD response!"), 3u);
    EXPECT_EQ(tb.box->panel().commands, before + 6);
}

TEST_F(Panel, AKeyReportGoesToTheFocusedCellOnly)
{
    connect_base();
    session->keys.getting = true;
    ASSERT_TRUE(session->StartKeyAcquisition());
    ASSERT_TRUE(wait_until([&] { return tb.box->panel().key_mode; }));
    ASSERT_TRUE(tb.box->press_key(0x20DF, 0x11));
    ASSERT_TRUE(wait_until([&] { return log.has("Please Focus the cursor to key!"); })) << log.text();
    EXPECT_TRUE(events.keys().empty());

    session->keys.focus(KeyTable::Ir2, 5);
    session->keys.hex = true;
    EXPECT_EQ(stbsim::panel_control(*tb.box, "press-key 0x20df 0x1a"), "ok: key pressed\n");
    ASSERT_TRUE(wait_until([&] { return !events.keys().empty(); })) << log.text();
    session->keys.getting = false;
    EXPECT_TRUE(run_to_end().ok());
    const LearnedKey k = events.keys().at(0);
    EXPECT_EQ(k.table, KeyTable::Ir2);
    EXPECT_EQ(k.row, 5);
    EXPECT_EQ(k.user_code, 0x20DF);
    EXPECT_EQ(k.key_code, 0x1A);
    EXPECT_TRUE(log.has("usercode:20df,key_value:1a"));
    EXPECT_TRUE(log.has("Stop to get keymap..."));
    ASSERT_TRUE(session->StartLightOrDim(false));  // the next command ends the key reports
    EXPECT_TRUE(run_to_end().ok());
    EXPECT_EQ(stbsim::panel_control(*tb.box, "press-key 0x20df 0x1a"), "error: no key acquisition runs on the panel\n");
    EXPECT_EQ(stbsim::panel_control(*tb.box, "press-key 0x20df"),
              "error: press-key takes USERCODE KEYCODE, e.g. press-key 0x20df 0x10\n");
    KeyTable t;
    int row;
    EXPECT_FALSE(session->keys.focused(&t, &row));  // the focus is gone with the acquisition
}

TEST_F(Panel, ScriptedKeysArriveInOrder)
{
    stbsim::PanelOptions o;
    std::string err;
    ASSERT_TRUE(stbsim::parse_panel_keys("0x10ef:1,0x10ef:0x22", &o.keys, &err)) << err;
    o.key_period_ms = 50;
    start(Platform::Base, o);
    ASSERT_TRUE(connect(random_record(Platform::Base, 3)).ok()) << log.text();
    session->keys.focus(KeyTable::Fp, 0);
    session->keys.getting = true;
    ASSERT_TRUE(session->StartKeyAcquisition());
    ASSERT_TRUE(wait_until([&] { return events.keys().size() == 2; })) << log.text();
    session->keys.getting = false;
    run_to_end();
    EXPECT_EQ(events.keys()[0].key_code, 1);
    EXPECT_EQ(events.keys()[1].key_code, 0x22);
    EXPECT_TRUE(log.has("usercode:10ef,key_value:34"));  // decimal unless told otherwise
}

TEST_F(Panel, OnlyGoodStepAcknowledgementsCountAndTheMapCrcIsChecked)
{
    connect_base();
    ASSERT_TRUE(tb.box->add_panel_fault("status-error:cmd=U"));
    ASSERT_TRUE(tb.box->add_panel_fault("map-crc:times=2"));
    session->led.getting = true;
    ASSERT_TRUE(session->StartLedMapAcquisition());
    // Step 0 fails once and is pressed again: eleven presses, ten successes.
    for (int step : {0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9}) {
        ASSERT_TRUE(wait_until([&] { return session->led.pending() == LedMapFlags::kNoStep; }));
        session->led.press(step);
    }
    const PanelResult r = run_to_end();
    ASSERT_TRUE(r.ok()) << r.error << "\n" << log.text();
    EXPECT_TRUE(log.has("Failed:Ack All ON "));
    EXPECT_EQ(log.count("Succeed:"), 10u);
    EXPECT_TRUE(log.has("Succeed: Ack segment 7"));
    ASSERT_TRUE(wait_until([&] { return tb.box->panel().map_acknowledged; }));  // the 0x02 reached the box
    const stbsim::PanelHeld held = tb.box->panel();
    EXPECT_EQ(held.map_sends, 3);  // two bad CRCs, then a good one
    const std::optional<LedMapBytes> map = events.map();
    ASSERT_TRUE(map.has_value());
    EXPECT_EQ(std::vector<uint8_t>(map->begin(), map->end()), held.led_map);
    EXPECT_TRUE(log.has("Get Led Map OK!!! "));
}

TEST_F(Panel, ALedMapThatNeverPassesItsCrcIsAskedFiveTimesAndNotAcknowledged)
{
    connect_base();
    ASSERT_TRUE(tb.box->add_panel_fault("map-crc:times=0"));
    session->led.getting = true;
    ASSERT_TRUE(session->StartLedMapAcquisition());
    for (int step = 0; step < 10; ++step) {
        ASSERT_TRUE(wait_until([&] { return session->led.pending() == LedMapFlags::kNoStep; }));
        session->led.press(step);
    }
    EXPECT_EQ(run_to_end().outcome, PanelOutcome::Failed);
    EXPECT_TRUE(log.has("Get Led Map Error!!! "));
    EXPECT_FALSE(events.map().has_value());
    EXPECT_FALSE(tb.box->panel().map_acknowledged);
    EXPECT_GE(tb.box->panel().map_sends, 5);
}

TEST_F(Panel, TheLampTestReportsThePositionTheBoxMovedTo)
{
    connect_base();
    session->lamp.press(LampTestFlags::kNext);  // no test runs: no action
    EXPECT_EQ(session->lamp.pending(), LampTestFlags::kNone);
    session->lamp.testing = true;
    ASSERT_TRUE(session->StartLampTest());
    for (int a : {LampTestFlags::kNext, LampTestFlags::kNext, LampTestFlags::kPrevious, LampTestFlags::kConfirm}) {
        ASSERT_TRUE(wait_until([&] { return session->lamp.pending() == LampTestFlags::kNone; }));
        session->lamp.press(a);
    }
    ASSERT_TRUE(run_to_end().ok()) << log.text();
    // "OK" is answered with a plain status (state 0): the position confirmed
    // is the one the last arrow reported.
    const std::vector<std::pair<int, bool>> want = {{1, false}, {2, false}, {1, false}, {1, true}};
    EXPECT_EQ(events.lamp(), want);
    EXPECT_EQ(tb.box->panel().confirmed_lamp, 1);
    EXPECT_TRUE(log.has("Click right,the led pos is: 2"));
    EXPECT_TRUE(log.has("Click left,the led pos is: 1"));
    EXPECT_TRUE(log.has("Test success: the lock or power lamp pos is: 1"));
    EXPECT_TRUE(log.has("Stop test lamp pos!"));
}

TEST_F(Panel, ARecordFrameNobodyAcknowledgedIsNeverAccepted)
{
    start(Platform::Base, {});
    ASSERT_TRUE(tb.box->add_panel_fault("no-status:cmd=*"));  // once: the frame goes again
    CPanelRecord rec = random_record(Platform::Base, 11);
    ASSERT_TRUE(connect(rec).ok()) << log.text();
    EXPECT_EQ(log.count("No status from the panel, retransfer...!"), 1u);
    EXPECT_TRUE(session->Connected());

    // A panel that refuses every frame: ten attempts, then the connection has failed.
    session->Clear();
    ASSERT_TRUE(tb.box->add_panel_fault("status-error:cmd=*,times=0"));
    const PanelResult r = connect(rec);
    EXPECT_EQ(r.outcome, PanelOutcome::Failed);
    EXPECT_FALSE(session->Connected());
    EXPECT_EQ(log.count("Slave error, retransfer...!"), 10u);
    EXPECT_TRUE(log.has("Upgrade fail, Please start again!"));
    EXPECT_TRUE(log.has(" transfer error ...."));
}

TEST_F(Panel, AConfigurationWithoutStatusAsksTheUser)
{
    connect_base();
    const CPanelRecord rec = random_record(Platform::Base, 5);
    ASSERT_TRUE(tb.box->add_panel_fault("no-status:cmd=*"));
    events.answer_retry(1);
    ASSERT_TRUE(session->StartSendConfig(rec));
    EXPECT_TRUE(run_to_end().ok()) << log.text();
    EXPECT_EQ(events.asked(), 1);

    ASSERT_TRUE(tb.box->add_panel_fault("no-status:cmd=*"));
    ASSERT_TRUE(tb.box->add_panel_fault("second-error:cmd=S"));
    ASSERT_TRUE(session->StartSendConfig(rec));
    EXPECT_EQ(run_to_end().outcome, PanelOutcome::Failed);
    EXPECT_TRUE(log.has("send configuration fail!!!"));
    EXPECT_FALSE(session->Configured());
    ASSERT_TRUE(session->StartSendConfig(rec));  // no status again, and the user cancels
    EXPECT_EQ(run_to_end().outcome, PanelOutcome::Failed);
    EXPECT_EQ(events.asked(), 2);
}

TEST_F(Panel, ExchangesNeverOverlap)
{
    start(Platform::Base);
    EXPECT_FALSE(session->StartLightOrDim(false));  // not connected: refused
    EXPECT_EQ(session->LastResult().outcome, PanelOutcome::Refused);
    EXPECT_TRUE(log.has("!!Please connect with panel correctly!"));
    ASSERT_TRUE(connect(random_record(Platform::Base, 9)).ok()) << log.text();

    session->keys.getting = true;
    ASSERT_TRUE(session->StartKeyAcquisition());
    EXPECT_FALSE(session->StartLightOrDim(false));
    EXPECT_FALSE(session->StartLedMapAcquisition());
    EXPECT_TRUE(log.has("the key acquisition is still running"));
    session->keys.getting = false;
    ASSERT_TRUE(run_to_end().ok());
    EXPECT_TRUE(session->StartLightOrDim(false));
    EXPECT_TRUE(run_to_end().ok());

    // A record of another platform's form is refused before anything is sent.
    EXPECT_FALSE(session->StartSendConfig(CPanelRecord::ForPlatform(Platform::Dogwood)));
    EXPECT_EQ(session->LastResult().outcome, PanelOutcome::Refused);
    EXPECT_FALSE(session->Busy());
}

// ---------------------------------------------------------------------------
// corvane-cli fir send / learn-keys / learn-led against the same box.

namespace {

class PanelCli : public ::testing::Test {
protected:
    firtest::PanelTestBox tb;

    void start(int position, stbsim::PanelOptions o = {})
    {
        std::string err;
        ASSERT_TRUE(tb.start(position, std::move(o), &err)) << err;
        tb.svc.SMS_Deinit();  // the command line opens the port itself
        // The box runs in this process: name its port as a stbsim program
        // does, so that the command line takes --pause-scale on it.
        portFile = kv::log_socket_dir() + "/" + kv::virtual_stb_port_file(::getpid());
        std::ofstream(portFile) << tb.box->port_path() << "\n";
    }
    void TearDown() override
    {
        if (!portFile.empty())
            std::remove(portFile.c_str());
    }
    std::string portFile;
    std::string command(const std::string& args)
    {
        return "CORVANE_HOME='" + tb.dir.path() + "' " + CORVANE_CLI + " fir " + args + " --port '" +
               tb.box->port_path() + "' --pause-scale 0.02 > '" + tb.dir.file("cli.out") + "' 2>&1";
    }
    // Runs corvane-cli fir ARGS on the box's port; its exit status.
    int cli(const std::string& args, bool reset = true)
    {
        if (reset)
            tb.box->reset();
        const int rc = std::system(command(args).c_str());
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }
    // The same with a terminal as standard input (nobody types on it);
    // `interrupt`: Ctrl+C once it asks for Enter. -1 when it has not ended
    // within a minute after that (it is then killed).
    int cli_on_terminal(const std::string& args, bool interrupt)
    {
        tb.box->reset();
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
            return -2;
        const std::string slave = ::ptsname(master);
        const std::string cmd = "exec env " + command(args);
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::setsid();
            const int fd = ::open(slave.c_str(), O_RDWR);
            ::dup2(fd, STDIN_FILENO);
            ::execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        int status = 0;
        auto ended = [&] { return ::waitpid(pid, &status, WNOHANG) == pid; };
        bool done = false;
        if (wait_until([&] { return (done = ended()) || output().find("Press Enter") != std::string::npos; }, 120000) &&
            !done && interrupt)
            ::kill(pid, SIGINT);
        if (!done)
            done = wait_until(ended, 60000);
        if (!done) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
        }
        ::close(master);
        return done && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string output()
    {
        const std::vector<uint8_t> b = firtest::slurp(tb.dir.file("cli.out"));
        return std::string(b.begin(), b.end());
    }
    std::string image(const std::vector<uint8_t>& bytes)
    {
        firtest::spit(tb.dir.file("image.bin"), bytes);
        return tb.dir.file("image.bin");
    }
};

}  // namespace

TEST_F(PanelCli, SendDeliversTheRecordAndTheConfigurationOfAnImage)
{
    start(2);
    const std::string img = image(firtest::dogwood_image());
    ASSERT_EQ(cli("send --platform dogwood '" + img + "'"), 0) << output();
    ParsedImage parsed;
    ASSERT_TRUE(load_image(Platform::Dogwood, img, &parsed).ok);
    EXPECT_EQ(tb.box->panel().record, parsed.record.bytes());
    std::vector<uint8_t> config(parsed.record.config(), parsed.record.config() + 480);
    config[6] = 9;  // the first configuration word is not zero
    EXPECT_EQ(tb.box->panel().config, config);

    // A box that refuses the configuration fails the command.
    ASSERT_TRUE(tb.box->add_panel_fault("second-error:cmd=S"));
    EXPECT_EQ(cli("send --platform dogwood '" + img + "'"), 1) << output();
    EXPECT_NE(output().find("send configuration fail!!!"), std::string::npos);
    EXPECT_EQ(cli("send --platform dogwood --reset-timeout 1 '" + img + "'", false), 6) << output();
    EXPECT_EQ(cli("send --platform oak '" + img + "'", false), 2);
}

TEST_F(PanelCli, SendWritesItsRowInTheLineDatabaseAndNeedsTheDatabaseFirst)
{
    start(2);
    const std::string img = image(firtest::dogwood_image());
    const std::string db = "sqlite:" + tb.dir.file("line.db");
    ASSERT_EQ(cli("send --platform dogwood --db '" + db + "' --station bench '" + img + "'"), 0) << output();
    const std::string jobs = "CORVANE_HOME='" + tb.dir.path() + "' " + CORVANE_CLI + " line jobs --json --db '" + db +
                             "' > '" + tb.dir.file("cli.out") + "' 2>&1";
    ASSERT_EQ(std::system(jobs.c_str()), 0);
    const std::string rows = output();
    EXPECT_NE(rows.find("\"panel\""), std::string::npos) << rows;
    EXPECT_NE(rows.find("\"send\""), std::string::npos) << rows;
    EXPECT_NE(rows.find("image.bin"), std::string::npos) << rows;
    EXPECT_NE(rows.find("\"ok\""), std::string::npos) << rows;
    EXPECT_EQ(rows.find("\"tool\"", rows.find("\"tool\"") + 1), std::string::npos) << "one row only: " << rows;

    // An unreachable database refuses the run before the port is opened.
    EXPECT_EQ(cli("send --platform dogwood --db postgresql://x@127.0.0.1:1/x '" + img + "'", false), 7) << output();
    EXPECT_EQ(output().find("Waiting for the STB"), std::string::npos) << output();
}

TEST_F(PanelCli, LearnKeysWritesTheKeysPressedIntoAKeyFile)
{
    stbsim::PanelOptions o;
    std::string err;
    ASSERT_TRUE(stbsim::parse_panel_keys("0x807f:0x15,0x807f:0x16,0x807f:0x17", &o.keys, &err)) << err;
    o.key_period_ms = 50;
    start(0, o);
    const std::string out = tb.dir.file("learnt.ir1");
    ASSERT_EQ(cli("learn-keys --platform base --table ir1 --from 1 --count 2 --out '" + out + "'"), 0) << output();
    CPanelRecord file;
    ASSERT_TRUE(read_page_file(out, PageFile::Ir1, Platform::Base, &file).ok);
    EXPECT_EQ(file.count(KeyTable::Ir1), 3);
    EXPECT_EQ(file.key_code(KeyTable::Ir1, 1), 0x15);
    EXPECT_EQ(file.key_code(KeyTable::Ir1, 2), 0x16);
    EXPECT_EQ(file.logical_key(KeyTable::Ir1, 2), 0x0003);  // the default slot keeps its logical key
    EXPECT_EQ(file.user_code(KeyTable::Ir1), 0x807F);
}

TEST_F(PanelCli, LearnLedWritesTheMapTheBoxSent)
{
    start(0);
    const std::string out = tb.dir.file("panel.led");
    ASSERT_EQ(cli("learn-led --platform base --out '" + out + "'"), 0) << output();
    CPanelRecord file;
    ASSERT_TRUE(read_page_file(out, PageFile::Led, Platform::Base, &file).ok);
    EXPECT_EQ(std::vector<uint8_t>(file.led_map(), file.led_map() + kLedMapSize), tb.box->panel().led_map);
    EXPECT_TRUE(wait_until([&] { return tb.box->panel().map_acknowledged; }));
}

// On a terminal each step waits for Enter; Ctrl+C, or an exchange that failed,
// ends the command without anyone pressing it.
TEST_F(PanelCli, LearnLedOnATerminalEndsOnCtrlCOrAFailedExchange)
{
    start(0);
    const std::string out = tb.dir.file("never.led");
    EXPECT_EQ(cli_on_terminal("learn-led --platform base --out '" + out + "'", true), 3) << output();
    ASSERT_TRUE(tb.box->add_panel_fault("second-error:cmd=T"));
    EXPECT_EQ(cli_on_terminal("learn-led --platform base --out '" + out + "'", false), 1) << output();
    EXPECT_NE(output().find("Slave report Error"), std::string::npos) << output();
    EXPECT_FALSE(std::ifstream(out).good());
}
