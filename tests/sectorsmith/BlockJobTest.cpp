// The block upgrade job against the virtual STB, for the five platforms of
// the tool's list.
#include "BlockKinds.h"
#include "BlockUpgJob.h"
#include "JobEvents.h"

#include "KvBasicLog.h"
#include "KvWorkThread.h"
#include "BoxRig.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>

namespace fs = std::filesystem;
using sectorsmith::BlockJobResult;
using sectorsmith::Step;

namespace {

constexpr double kPauseScale = 0.02;
constexpr uint32_t kFlash = 1 << 20;

class Log {
public:
    Log()
    {
        m_id = kv::log_add_listener([this](int, const std::string& t) {
            std::lock_guard<std::mutex> l(m_m);
            m_text += t;
        });
    }
    ~Log() { kv::log_remove_listener(m_id); }
    std::string text()
    {
        std::lock_guard<std::mutex> l(m_m);
        return m_text;
    }
    size_t count(const std::string& s)
    {
        std::string t = text();
        size_t n = 0;
        for (size_t p = t.find(s); p != std::string::npos; p = t.find(s, p + 1))
            ++n;
        return n;
    }

private:
    int m_id;
    std::mutex m_m;
    std::string m_text;
};

std::vector<uint8_t> pattern(size_t n, uint32_t seed)
{
    std::vector<uint8_t> v(n);
    uint32_t x = seed;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        v[i] = (i % 64 < 40) ? uint8_t("block upgrade "[i % 14]) : uint8_t(x >> 24);
    }
    return v;
}

class BlockJobTest : public ::testing::Test, protected testsupport::BoxRig {
protected:
    fs::path dir;
    std::atomic<bool> cancel{false};
    std::atomic<bool> keep_going{false};
    bootlink::JobContext ctx;

    void SetUp() override
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "_" + info->name();
        for (char& c : name)
            if (c == '/')
                c = '_';
        dir = fs::temp_directory_path() / ("blockjob_" + std::to_string(::getpid()) + "_" + name);
        fs::create_directories(dir / "run");
        setenv("CORVANE_HOME", dir.c_str(), 1);
        setenv("XDG_RUNTIME_DIR", (dir / "run").c_str(), 1);
        kv::log_set_fallback(kv::LogFallback::None);
        std::string err;
        ASSERT_TRUE(stbsim::write_stb_files(dir.string(), nullptr, &err)) << err;
        ctx.cancel = &cancel;
        ctx.keep_going = &keep_going;
        ctx.svc = &svc;
        ctx.pause_scale = kPauseScale;
    }
    void TearDown() override
    {
        stop();
        kv::log_set_fallback(kv::LogFallback::StdoutAndFile);
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    // The box resets itself once the line is quiet (unless `auto_reset`
    // is off), and its readiness times shrink with the host's pauses.
    void start_box(int platform, std::vector<std::string> faults = {}, bool auto_reset = true,
                   const std::function<void(stbsim::Options&)>& tweak = {})
    {
        stbsim::Options o;
        o.platform = platform;
        o.flash_size = kFlash;
        o.auto_reset_ms = auto_reset ? 200 : 0;
        o.session_quiet_ms = 10000;
        o.burn_ms = 200;
        o.alder_ready_delay_ms = 100;
        o.alder_ready_period_ms = 4000;  // quiet long enough for the host's 3 s drain
        o.client_ready_ms = int(o.client_ready_ms * kPauseScale);
        o.burn_ready_ms = int(o.burn_ready_ms * kPauseScale);
        o.slave_info_pause_ms = platform == 2 ? 30 : -1;  // within the host's scaled wait
        o.faults = std::move(faults);
        o.key_baud = 0;
        if (tweak)
            tweak(o);
        std::string err;
        ASSERT_TRUE(BoxRig::start(o, &err)) << err;
        ASSERT_TRUE(box->write_flash(0, pattern(kFlash, 7)));
    }

    BlockJobResult run(int platform, uint8_t id, std::vector<uint8_t> image,
                       const std::function<void(CKvWorkThread&)>& during = {}, bool size_check = true)
    {
        sectorsmith::BlockJobParams p;
        p.check_block_size = size_check;
        p.project_type = platform;
        p.block_id = id;
        p.image = std::move(image);
        p.reset_wait_ms = 30000;
        CKvWorkThread th;
        sectorsmith::BlockUpgJob job(std::move(p), ctx, &th);
        BlockJobResult r;
        th.Attach([&]() -> uint32_t {
            r = job.Run();
            return 0;
        });
        EXPECT_NE(th.Start(1), 0);
        if (during)
            during(th);
        th.Detach();
        return r;
    }

    stbsim::BlockInfo block(uint8_t id)
    {
        for (const auto& b : box->blocks())
            if (b.id == id)
                return b;
        ADD_FAILURE() << "the box has no block " << int(id);
        return {};
    }
};

// The statuses a job showed, in order.
class Statuses : public IJobObserver {
public:
    void OnStatus(const std::string& t) override
    {
        std::lock_guard<std::mutex> l(m_m);
        m_seen.push_back(t);
    }
    bool seen(const std::string& t)
    {
        std::lock_guard<std::mutex> l(m_m);
        return std::find(m_seen.begin(), m_seen.end(), t) != m_seen.end();
    }

private:
    std::mutex m_m;
    std::vector<std::string> m_seen;
};

class BlockJobPlatformTest : public BlockJobTest, public ::testing::WithParamInterface<int> {};

}  // namespace

// The application block is replaced; every byte outside it stays; a 1025-byte
// file goes as two packets; the line is left as it was found.
TEST_P(BlockJobPlatformTest, ReplacesExactlyOneBlock)
{
    const int pt = GetParam();
    start_box(pt);
    const std::vector<uint8_t> before = box->flash();
    const std::vector<uint8_t> file = pattern(1025, 99);
    Log log;
    BlockJobResult r = run(pt, 0x88, file);
    ASSERT_TRUE(r.ok) << r.failed_step() << ": " << r.error << "\n" << log.text();
    EXPECT_TRUE(r.buttons_back);
    EXPECT_EQ(r.id_word, 0x8888);
    EXPECT_EQ(box->counters().frames_accepted, 2u);
    const stbsim::BlockInfo app = block(0x88);
    const std::vector<uint8_t> after = box->flash();
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < after.size(); ++i) {
        uint8_t want = before[i];
        if (i >= app.offset && i < app.offset + app.size)
            want = i - app.offset < file.size() ? file[i - app.offset] : 0xFF;
        ASSERT_EQ(after[i], want) << "flash byte 0x" << std::hex << i;
    }
    EXPECT_NE(log.text().find("(block upg)Get Slave Info OK!"), std::string::npos);
    EXPECT_NE(log.text().find("(block upg)Burning flash OK!"), std::string::npos);
    // The raw link of the boot init does not outlive the job.
    EXPECT_EQ(svc.m_RawLink.load(), 0);
}

// "Flash": the whole image, compressed on the way; the prepare command
// carries the image's own length (the box inflates to exactly that size).
TEST_P(BlockJobPlatformTest, FlashWritesTheWholeImage)
{
    const int pt = GetParam();
    start_box(pt);
    const std::vector<uint8_t> image = pattern(300001, 3);
    BlockJobResult r = run(pt, sectorsmith::kWholeFlashId, image);
    ASSERT_TRUE(r.ok) << r.failed_step() << ": " << r.error;
    EXPECT_EQ(r.announced_size, 300001u);
    EXPECT_LT(r.sent_size, image.size());
    EXPECT_EQ(r.transfer.payload_bytes, r.sent_size);
    EXPECT_FALSE(r.have_slave);  // the whole flash needs no block list
    const std::vector<uint8_t> flash = box->flash();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
}

INSTANTIATE_TEST_SUITE_P(Platforms, BlockJobPlatformTest, ::testing::Values(0, 1, 2, 6, 7));

// SSDATA is an Alder block: the base platform's box does not list it. The run
// ends after the slave info with the buttons back and nothing written.
TEST_F(BlockJobTest, ABlockTheBoxDoesNotListIsRefused)
{
    start_box(0);
    const std::vector<uint8_t> before = box->flash();
    Log log;
    BlockJobResult r = run(0, 0x98, pattern(100, 1));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.failed, Step::Lookup);
    EXPECT_TRUE(r.buttons_back);
    EXPECT_NE(log.text().find("\nBlock ID is error,can not upgrade this block...\n"), std::string::npos);
    EXPECT_NE(r.error.find("0x88 application"), std::string::npos) << r.error;
    EXPECT_EQ(box->counters().frames_received, 0u);
    EXPECT_EQ(box->flash(), before);
}

TEST_F(BlockJobTest, ThreeSlaveInfoCrcMismatchesEndTheRun)
{
    start_box(0, {"crc:cmd=Q,times=3"});
    Log log;
    BlockJobResult r = run(0, 0x88, pattern(100, 1));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.failed, Step::SlaveInfo);
    EXPECT_FALSE(r.buttons_back);
    EXPECT_EQ(log.count("(block upg)Get Slave Info Error,  CRC error!"), 3u);
    EXPECT_NE(log.text().find("(block upg)Get Slave Info ERROR!"), std::string::npos);
    EXPECT_EQ(box->counters().frames_received, 0u);
}

// More blocks than the record holds: refused at once, never read in.
TEST_F(BlockJobTest, AnOversizedSlaveInfoIsRefused)
{
    start_box(0, {"oversize"});
    Log log;
    BlockJobResult r = run(0, 0x88, pattern(100, 1));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.failed, Step::SlaveInfo);
    EXPECT_NE(r.error.find("3380 bytes is larger than the 3092"), std::string::npos) << r.error;
    EXPECT_EQ(log.count("(block upg)Get Slave Info Error"), 0u);  // not retried as a CRC error
    EXPECT_EQ(box->counters().frames_received, 0u);
}

// A file larger than the block the box reports is refused before anything is
// sent; a file of exactly 1024 bytes goes as one packet.
TEST_F(BlockJobTest, FileSizeAgainstTheBlockAndPackets)
{
    start_box(0);
    BlockJobResult one = run(0, 0x95, pattern(1024, 5));
    ASSERT_TRUE(one.ok) << one.failed_step() << ": " << one.error;
    EXPECT_EQ(box->counters().frames_accepted, 1u);

    const stbsim::BlockInfo logo = block(0x95);
    BlockJobResult big = run(0, 0x95, pattern(logo.size + 1, 5));
    EXPECT_FALSE(big.ok);
    EXPECT_EQ(big.failed, Step::Lookup);
    EXPECT_NE(big.error.find("larger than block 0x95 (" + std::to_string(logo.size) + " bytes by the box's slave info"),
              std::string::npos)
        << big.error;
    EXPECT_NE(big.error.find("CheckBlockSize=0 or --no-size-check"), std::string::npos) << big.error;
    EXPECT_EQ(box->counters().frames_received, 1u);  // only the first run's packet

    // Without the check the file goes out; this box then refuses to burn it.
    BlockJobResult unchecked = run(0, 0x95, pattern(logo.size + 1, 5), {}, false);
    EXPECT_FALSE(unchecked.ok);
    EXPECT_EQ(unchecked.failed, Step::Burn) << unchecked.error;
    EXPECT_EQ(unchecked.sent_size, logo.size + 1);
}

// "Exit" while the worker waits for the box's reset.
TEST_F(BlockJobTest, ExitWhileWaitingForTheReset)
{
    start_box(0, {}, false);
    Log log;
    BlockJobResult r = run(0, 0x88, pattern(100, 1), [&](CKvWorkThread& th) {
        for (int i = 0; i < 200 && log.text().find("Please reset the STB!") == std::string::npos; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        cancel = true;
        th.Resume();
    });
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.cancelled);
    EXPECT_EQ(r.failed, Step::WaitForReset);
    EXPECT_NE(log.text().find("BLOCK UPG Canceled by user!"), std::string::npos);
    EXPECT_FALSE(cancel.load());  // the event is reset for the next run
}

// How the client ends its burn: a bare 'F' (no progress at all), an 'F'
// before 70 %, an 'F' with console text behind it, and an 'E' among the
// progress (this client's burn reports no failures with it) all end the burn;
// a lost or a garbled 'B' never passes for the end.
TEST_F(BlockJobTest, TheBurnEndsAtTheClientsF)
{
    struct Case {
        const char* what;
        int last_percent;
        const char* tail;
        std::vector<std::string> faults;
        const char* must_see;  // a status that only a burn followed to its end shows
    } cases[] = {
        {"a bare F", -1, "", {}, nullptr},
        {"F at 30 % with console text behind it, an E at 10 %",
         30,
         "burn done\r\n",
         {"garble:at=10,as=E"},
         "Burning: 30/100"},
        {"a lost B at 70 %, a B garbled into F at 80 %, console text",
         100,
         "burn done\r\n",
         {"lose:at=70", "garble:at=80"},
         "Burning: 90/100"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        start_box(0, c.faults, true, [&](stbsim::Options& o) {
            o.burn_last_percent = c.last_percent;
            o.burn_tail = c.tail;
        });
        Statuses statuses;
        ctx.observer = &statuses;
        Log log;
        const std::vector<uint8_t> file = pattern(3000, 11);
        BlockJobResult r = run(0, 0x88, file);
        ctx.observer = nullptr;
        ASSERT_TRUE(r.ok) << r.failed_step() << ": " << r.error << "\n" << log.text();
        EXPECT_TRUE(r.buttons_back);
        EXPECT_NE(log.text().find("(block upg)Rebooting..."), std::string::npos);
        if (c.must_see) {
            EXPECT_TRUE(statuses.seen(c.must_see)) << c.must_see << log.text();
        }
        const stbsim::BlockInfo app = block(0x88);
        const std::vector<uint8_t> flash = box->flash();
        EXPECT_TRUE(std::equal(file.begin(), file.end(), flash.begin() + app.offset));
        box->stop();
        box.reset();
        svc.SMS_Deinit();
    }
}

// "Exit" while the box does not take the prepare command, or the transfer
// header: the run ends as a cancel, with the event reset.
TEST_F(BlockJobTest, ExitDuringThePrepareOrTheHeaderIsACancel)
{
    struct Case {
        const char* fault;
        const char* before;  // logged just before the command goes out
        Step step;
    } cases[] = {
        {"drop:cmd=R,times=5", "(block upg)Get Slave Info OK!", Step::Prepare},
        {"drop:cmd=S,times=5", "(block upg)Prepare to download...", Step::Transfer},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        start_box(0, {c.fault});
        Log log;
        BlockJobResult r = run(0, 0x88, pattern(100, 1), [&](CKvWorkThread&) {
            uint64_t commands = 0;
            for (int i = 0; i < 3000 && commands == 0; ++i) {
                if (log.text().find(c.before) != std::string::npos && commands == 0)
                    commands = box->counters().commands;
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            // The command has reached the box (unanswered): the job waits for its reply.
            for (int i = 0; i < 3000 && box->counters().commands == commands; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            cancel = true;
        });
        EXPECT_FALSE(r.ok);
        EXPECT_TRUE(r.cancelled) << r.error;
        EXPECT_EQ(r.failed, c.step);
        EXPECT_EQ(r.outcome, bootlink::Outcome::Cancelled);
        EXPECT_FALSE(cancel.load()) << "the event is reset for the next run";
        box->stop();
        box.reset();
        svc.SMS_Deinit();
    }
}

// The typed events a caller decides on: a good block's bytes reach its
// length after the wait for the box; an empty file ends Input before any
// wait, a box that never announces itself NoBox, a cancel while waiting
// Cancelled, each with its step.
TEST_F(BlockJobTest, TheEventsTellTheBytesTheWaitAndTheEnding)
{
    start_box(0);
    jobtest::EventRecorder events;
    ctx.observer = &events;
    const std::vector<uint8_t> file = pattern(3000, 9);
    BlockJobResult r = run(0, 0x88, file);
    ASSERT_TRUE(r.ok) << r.failed_step() << ": " << r.error;
    EXPECT_EQ(events.ending().kind, JobErrorKind::None);
    EXPECT_EQ(events.last_bytes(), (std::pair<uint64_t, uint64_t>{file.size(), file.size()}));
    EXPECT_TRUE(events.bytes_rise());
    EXPECT_EQ(events.waits, (std::vector<bool>{true, false}));

    events.clear();
    BlockJobResult empty = run(0, 0x88, {});
    EXPECT_EQ(empty.kind, JobErrorKind::Input);
    EXPECT_EQ(events.ending().kind, JobErrorKind::Input);
    EXPECT_EQ(events.ending().step, "check");
    EXPECT_TRUE(events.waits.empty());

    box->stop();  // nobody will announce
    events.clear();
    sectorsmith::BlockJobParams p;
    p.project_type = 0;
    p.image = file;
    p.reset_wait_ms = 300;
    CKvWorkThread th;
    BlockJobResult nobox = sectorsmith::BlockUpgJob(p, ctx, &th).Run();
    EXPECT_EQ(nobox.outcome, bootlink::Outcome::NoBox);
    EXPECT_EQ(events.ending().kind, JobErrorKind::NoBox);
    EXPECT_EQ(events.ending().step, "wait for reset");

    events.clear();
    BlockJobResult cancelled = run(0, 0x88, file, [&](CKvWorkThread& t) {
        EXPECT_TRUE(jobtest::wait_until([&] { return events.waited(); }));
        cancel = true;
        t.Resume();
    });
    EXPECT_TRUE(cancelled.cancelled);
    EXPECT_EQ(events.ending().kind, JobErrorKind::Cancelled);
    EXPECT_EQ(events.ending().step, "wait for reset");
    ctx.observer = nullptr;
}
