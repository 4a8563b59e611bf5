// The upgrade and dump job against the virtual STB, for every project type.
#include "UpgJob.h"

#include "KvBasicLog.h"
#include "KvWorkThread.h"
#include "BoxRig.h"
#include "JobEvents.h"
#include "UpgTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

using upgtest::Log;

class ProgressObserver : public IJobObserver {
public:
    std::function<void(const std::string&)> on_phase;
    std::function<void(int)> on_progress;
    void OnPhase(const std::string& n) override
    {
        if (on_phase)
            on_phase(n);
    }
    void OnProgress(int p) override
    {
        if (on_progress)
            on_progress(p);
    }
};

std::vector<uint8_t> sample_image(size_t n, uint32_t seed)
{
    std::vector<uint8_t> v(n);
    uint32_t x = seed;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        // Text-like, compressible bytes with some noise.
        v[i] = (i % 64 < 48) ? static_cast<uint8_t>("set-top box flash image "[i % 24]) : static_cast<uint8_t>(x >> 24);
    }
    return v;
}

class UpgJobTest : public ::testing::TestWithParam<int>, protected testsupport::BoxRig {
protected:
    static constexpr double kPauseScale = 0.02;
    fs::path dir;
    std::atomic<bool> cancel{false};
    std::atomic<bool> keep_going{false};
    bootlink::JobContext ctx;
    ProgressObserver obs;

    void SetUp() override
    {
        dir = fs::temp_directory_path() / ("upgjob_" + std::to_string(::getpid()) + "_" +
                                           std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir / "run");
        setenv("CORVANE_HOME", dir.c_str(), 1);
        setenv("XDG_RUNTIME_DIR", (dir / "run").c_str(), 1);
        kv::log_set_fallback(kv::LogFallback::None);
        std::string err;
        ASSERT_TRUE(stbsim::write_stb_files(dir.string(), nullptr, &err)) << err;
        ctx.observer = &obs;
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

    // `real_readiness`: the box keeps its readiness times although the host's
    // pauses are shortened.
    void start_box(int platform, uint32_t flash_size = 1 << 20, std::vector<std::string> faults = {}, int baud = 115200,
                   bool real_readiness = false)
    {
        stbsim::Options o = upgtest::quick_box(platform, flash_size, kPauseScale, real_readiness);
        o.faults = std::move(faults);
        if (burn_ready_ms)
            o.burn_ready_ms = burn_ready_ms;
        std::string err;
        ASSERT_TRUE(start(o, &err, baud)) << err;
    }

    int burn_ready_ms = 0;  // the box's own, when not 0

    int line_rate()
    {
        serialport_config_tag cfg;
        svc.SMS_GetCurSvcParam(nullptr, nullptr, &cfg);
        return cfg.baud_rate;
    }

    reflasher::UpgJobResult run(reflasher::UpgJobParams p, const std::function<void(CKvWorkThread&)>& during = {})
    {
        return upgtest::run_job(std::move(p), ctx, during);
    }

    reflasher::UpgJobResult upgrade(int pt, const std::vector<uint8_t>& padded)
    {
        reflasher::UpgJobParams p;
        p.kind = reflasher::JobKind::Upgrade;
        p.project_type = pt;
        p.image = padded;
        return run(std::move(p));
    }

    reflasher::UpgJobResult dump(int pt, uint32_t size, const std::string& path)
    {
        reflasher::UpgJobParams p;
        p.kind = reflasher::JobKind::Dump;
        p.project_type = pt;
        p.dump_size = size;
        p.dump_path = path;
        return run(std::move(p));
    }
};

std::vector<uint8_t> read_file(const fs::path& p)
{
    std::ifstream f(p, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

}  // namespace

TEST_P(UpgJobTest, UpgradeThenDumpReturnsThePaddedImage)
{
    const int pt = GetParam();
    start_box(pt);
    Log log;
    // 100000 bytes become 131072: the slave report carries the padded size.
    fs::path img = dir / "image.bin";
    {
        auto raw = sample_image(100000, 7 + static_cast<uint32_t>(pt));
        std::ofstream(img, std::ios::binary)
            .write(reinterpret_cast<const char*>(raw.data()), static_cast<std::streamsize>(raw.size()));
    }
    std::vector<uint8_t> padded;
    std::string err;
    ASSERT_EQ(reflasher::load_padded_image(img.string(), &padded, &err), 1) << err;
    ASSERT_EQ(padded.size(), 131072u);

    auto r = upgrade(pt, padded);
    ASSERT_TRUE(r.ok) << r.failed_step() << ": " << r.error << "\n" << log.text();
    EXPECT_EQ(r.announced_size, 131072u);
    EXPECT_GT(r.transfer.payload_bytes, 0u);
    EXPECT_TRUE(log.has("Please reset the STB!\n"));
    EXPECT_TRUE(log.has("Burning flash OK!"));
    auto flash = box->flash();
    ASSERT_GE(flash.size(), padded.size());
    EXPECT_TRUE(std::equal(padded.begin(), padded.end(), flash.begin())) << "flash differs from the image";

    fs::path out = dir / "dump.bin";
    auto d = dump(pt, 0x80000, out.string());
    ASSERT_TRUE(d.ok) << d.failed_step() << ": " << d.error << "\n" << log.text();
    auto dumped = read_file(out);
    ASSERT_EQ(dumped.size(), 0x80000u);
    EXPECT_TRUE(std::equal(padded.begin(), padded.end(), dumped.begin()));
    EXPECT_TRUE(log.has("dumping completes succesfully!\n"));
    if (pt == 0) {
        // The dump went through "shell.img": no client test after the reset request.
        std::string t = log.text();
        size_t reset = t.rfind("Please reset the STB!");
        EXPECT_EQ(t.find("Start to check serial", reset), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(AllProjectTypes, UpgJobTest, ::testing::Range(0, 8));

class UpgJobCases : public UpgJobTest {};

TEST_F(UpgJobCases, ExitWhileWaitingForTheResetEndsTheJob)
{
    start_box(0);
    box->stop();  // nobody will announce
    Log log;
    reflasher::UpgJobParams p;
    p.kind = reflasher::JobKind::Upgrade;
    p.image.assign(65536, 0x5A);
    auto r = run(std::move(p), [&](CKvWorkThread& th) {
        testsupport::wait_until([&] { return log.has("Please reset the STB!"); });
        cancel = true;
        th.Resume();
    });
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.cancelled);
    EXPECT_TRUE(log.has("UPG Canceled by user!\n"));
    EXPECT_FALSE(cancel.load());  // the event is reset
    EXPECT_FALSE(svc.any_job_flag());
}

TEST_F(UpgJobCases, CancelDuringTransferAndDuringBurn)
{
    start_box(0, 1 << 20);
    box->set_speed(0);
    Log log;
    std::vector<uint8_t> image = sample_image(4 << 16, 3);
    // Random bytes compress badly: many frames, time to cancel in between.
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);
    box->set_reply_delay(2);
    obs.on_progress = [&](int p) {
        if (p >= 20)
            cancel = true;
    };
    reflasher::UpgJobParams p;
    p.kind = reflasher::JobKind::Upgrade;
    p.image = image;
    auto r = run(p);
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.cancelled) << r.failed_step() << ": " << r.error;
    EXPECT_EQ(r.failed, reflasher::Step::Transfer);
    EXPECT_TRUE(log.has("UPG Canceled by user, while transfering"));

    box->set_reply_delay(0);
    std::string phase;
    obs.on_progress = {};
    obs.on_phase = [&](const std::string& n) { phase = n; };
    obs.on_progress = [&](int pr) {
        if (phase == "burn" && pr >= 10)
            cancel = true;
    };
    auto r2 = run(p);
    EXPECT_FALSE(r2.ok);
    EXPECT_EQ(r2.failed, reflasher::Step::Burn) << r2.error;
    EXPECT_TRUE(log.has("UPG Canceled by user, while burning"));
}

TEST_F(UpgJobCases, DumpOfProjectType1SkipsTheUserLimit)
{
    start_box(1);
    Log log;
    auto d = dump(1, 0x80000, (dir / "d.bin").string());
    ASSERT_TRUE(d.ok) << d.error;
    EXPECT_FALSE(log.has("Start to configure user limit"));
    auto u = upgrade(1, std::vector<uint8_t>(65536, 1));
    ASSERT_TRUE(u.ok) << u.error;
    EXPECT_TRUE(log.has("Start to configure user limit"));
}

TEST_F(UpgJobCases, FaultsEndInRecoveryOrACleanFailure)
{
    start_box(0, 1 << 20, {"crc:frame=3", "seq:frame=5"});
    Log log;
    std::vector<uint8_t> image = sample_image(3 << 16, 11);
    auto r = upgrade(0, image);
    ASSERT_TRUE(r.ok) << r.error;  // a bad frame is sent again
    EXPECT_GE(r.transfer.retries, 1u);
    EXPECT_TRUE(log.has("TRANSFER: RSP ERROR code:"));

    // Every frame fails its CRC: four sends of the first frame, then failure.
    box->clear_faults();
    box->add_fault("crc:every=1");
    auto bad = upgrade(0, image);
    EXPECT_FALSE(bad.ok);
    EXPECT_EQ(bad.failed, reflasher::Step::Transfer);

    // A verification failure ends the burn as a failure.
    box->clear_faults();
    box->add_fault("verify");
    auto v = upgrade(0, image);
    EXPECT_FALSE(v.ok);
    EXPECT_EQ(v.failed, reflasher::Step::Burn);

    // A flash write failure during the burn.
    box->clear_faults();
    box->add_fault("burn:at=40");
    auto w = upgrade(0, image);
    EXPECT_FALSE(w.ok);
    EXPECT_EQ(w.failed, reflasher::Step::Burn);
    EXPECT_TRUE(log.has("Failed to erase or write flash!!"));
}

TEST_F(UpgJobCases, CorruptDumpChunksAreTakenAgainOrTheDumpFailsKeepingTheOlderFile)
{
    start_box(1, 1 << 20, {"dump:chunk=2"});
    Log log;
    fs::path out = dir / "dump.bin";
    auto ok = dump(1, 0x80000, out.string());
    ASSERT_TRUE(ok.ok) << ok.error;
    EXPECT_GE(ok.dump.retries, 1u);
    EXPECT_TRUE(log.has("Retransmitting,please wait...\n"));

    box->clear_faults();
    box->add_fault("dump:every=1");
    {
        std::ofstream(out) << "an older dump";
    }
    auto d = dump(1, 0x80000, out.string());
    EXPECT_FALSE(d.ok);
    std::vector<uint8_t> kept = read_file(out);
    EXPECT_EQ(std::string(kept.begin(), kept.end()), "an older dump");
    EXPECT_TRUE(log.has("dumping Failed!\n"));
}

TEST_F(UpgJobCases, AChatteringBoxNeverStartsTheJobAndAResetThenDoes)
{
    // A running box prints lines full of 'R' ("Ready", "RUN", "ROM ...").
    start_box(0, 1 << 20, {"chatter:ms=50"});
    Log log;
    std::vector<uint8_t> image = sample_image(1 << 16, 21);
    std::string phase;
    std::mutex m;
    obs.on_phase = [&](const std::string& n) {
        std::lock_guard<std::mutex> l(m);
        phase = n;
    };
    reflasher::UpgJobParams p;
    p.kind = reflasher::JobKind::Upgrade;
    p.image = image;
    auto r = run(std::move(p), [&](CKvWorkThread&) {
        // The image is compressed first (slow under the sanitizers); then the
        // job waits for the reset while the box keeps chattering.
        auto waiting = [&] {
            std::lock_guard<std::mutex> l(m);
            return phase == "wait for reset";
        };
        for (int i = 0; i < 6000 && !waiting(); ++i)
            std::this_thread::sleep_for(10ms);
        ASSERT_TRUE(waiting());
        const uint64_t seen = box->counters().console_lines;
        for (int i = 0; i < 1000 && box->counters().console_lines < seen + 20; ++i)
            std::this_thread::sleep_for(10ms);
        EXPECT_GE(box->counters().console_lines, seen + 20);
        // Nothing went to the box: no instruction, no program, no frame.
        EXPECT_EQ(box->counters().bytes_in, 0u);
        EXPECT_TRUE(waiting());
        box->reset();
    });
    ASSERT_TRUE(r.ok) << r.failed_step() << ": " << r.error << "\n" << log.text();
    auto flash = box->flash();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
}

TEST_F(UpgJobCases, ASilentFinishAfterAGoodBurnIsAWarningAndTheRateComesBack)
{
    // The port was at 57600 before the job; the box stays silent after 'U'.
    start_box(0, 1 << 20, {"drop:cmd=U"}, 57600);
    Log log;
    std::vector<uint8_t> image = sample_image(1 << 16, 22);
    reflasher::UpgJobParams p;
    p.kind = reflasher::JobKind::Upgrade;
    p.image = image;
    auto r = run(std::move(p));
    ASSERT_TRUE(r.ok) << r.failed_step() << ": " << r.error << "\n" << log.text();
    ASSERT_EQ(r.warnings.size(), 1u);
    EXPECT_NE(r.warnings[0].find("did not acknowledge the finish"), std::string::npos);
    EXPECT_TRUE(log.has("did not acknowledge the finish"));
    EXPECT_TRUE(log.has("Burning flash OK!"));
    EXPECT_EQ(line_rate(), 57600);
}

TEST_F(UpgJobCases, ACancelledDumpKeepsTheOlderFile)
{
    start_box(0);
    Log log;
    fs::path out = dir / "dump.bin";
    std::ofstream(out) << "an older dump";
    obs.on_progress = [&](int pct) {
        if (pct >= 25)
            cancel = true;
    };
    auto d = dump(0, 0x80000, out.string());
    EXPECT_FALSE(d.ok);
    EXPECT_TRUE(d.cancelled) << d.error;
    EXPECT_TRUE(log.has("DUMP Canceled by user!\n"));
    std::vector<uint8_t> kept = read_file(out);
    EXPECT_EQ(std::string(kept.begin(), kept.end()), "an older dump");
    for (const auto& e : fs::directory_iterator(dir))  // no temporary left beside it
        EXPECT_EQ(e.path().filename().string().rfind("dump.bin.", 0), std::string::npos) << e.path();
}

TEST_F(UpgJobCases, AHostWithoutItsPausesFailsAgainstTheVirtualStb)
{
    // A box that takes far longer to check the image than a loaded machine
    // can delay the host's burn command without its pause.
    burn_ready_ms = 20000;
    start_box(0, 1 << 20, {}, 115200, true);
    Log log;
    ctx.pause_scale = 0;
    reflasher::UpgJobParams p;
    p.kind = reflasher::JobKind::Upgrade;
    p.image = sample_image(1 << 16, 23);
    auto r = run(std::move(p));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.failed, reflasher::Step::Burn);
    EXPECT_TRUE(log.has("Verification is failed!!"));
    EXPECT_GE(box->counters().refused_early, 1u);
}

TEST(UpgJobHelpers, PaddingSizesAndSettings)
{
    fs::path dir = fs::temp_directory_path() / ("upghelp_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::vector<uint8_t> out;
    std::string err;
    EXPECT_EQ(reflasher::load_padded_image((dir / "missing.bin").string(), &out, &err), 0);
    EXPECT_FALSE(err.empty());
    std::ofstream(dir / "empty.bin").close();
    EXPECT_EQ(reflasher::load_padded_image((dir / "empty.bin").string(), &out, &err), 0);
    {
        std::ofstream f(dir / "exact.bin", std::ios::binary);
        std::string s(65536, 'x');
        f << s;
    }
    ASSERT_EQ(reflasher::load_padded_image((dir / "exact.bin").string(), &out, &err), 1);
    EXPECT_EQ(out.size(), 65536u);
    EXPECT_EQ(reflasher::dump_size_index("8M"), 4);
    EXPECT_EQ(reflasher::dump_size_index("16M"), -1);

    setenv("CORVANE_HOME", dir.c_str(), 1);
    EXPECT_EQ(reflasher::user_limit_mode_from_settings(1), 1);  // no file
    std::ofstream(dir / "corvane.ini") << "[upg]\nuser_LIMIT = 0 \n";
    EXPECT_EQ(reflasher::user_limit_mode_from_settings(1), 2);
    std::ofstream(dir / "corvane.ini") << "[UPG]\nUser_limit=1\n";
    EXPECT_EQ(reflasher::user_limit_mode_from_settings(2), 1);
    std::ofstream(dir / "corvane.ini") << "[UPG]\nUser_limit=7\n";
    EXPECT_EQ(reflasher::user_limit_mode_from_settings(2), 2);
    unsetenv("CORVANE_HOME");
    fs::remove_all(dir);
}

// The typed events a caller decides on: a good upgrade's bytes reach the
// compressed size, and the wait for the box is told; a box that never
// announces itself ends NoBox, a cancel Cancelled and a missing image Input,
// each with its step.
TEST_F(UpgJobCases, TheEventsTellTheBytesTheWaitAndTheEnding)
{
    start_box(3);
    jobtest::EventRecorder events;
    events.next = &obs;
    ctx.observer = &events;
    auto r = upgrade(3, sample_image(2 << 16, 5));
    ASSERT_TRUE(r.ok) << r.failed_step() << ": " << r.error;
    EXPECT_EQ(events.ending().kind, JobErrorKind::None);
    EXPECT_EQ(events.ending().step, "");
    EXPECT_EQ(events.last_bytes(), (std::pair<uint64_t, uint64_t>{r.compressed_size, r.compressed_size}));
    EXPECT_TRUE(events.bytes_rise());
    EXPECT_EQ(events.waits, (std::vector<bool>{true, false}));
    EXPECT_NE(std::find(events.phases.begin(), events.phases.end(), "transfer"), events.phases.end());

    events.clear();
    reflasher::UpgJobParams empty;
    empty.project_type = 3;
    auto bad = run(empty);
    EXPECT_EQ(bad.kind, JobErrorKind::Input);
    EXPECT_EQ(events.ending().kind, JobErrorKind::Input);
    EXPECT_EQ(events.ending().step, "check");
    EXPECT_TRUE(events.waits.empty()) << "nothing waits for a job that never began";

    box->stop();  // nobody will announce
    events.clear();
    reflasher::UpgJobParams p;
    p.project_type = 3;
    p.image.assign(65536, 0x5A);
    p.reset_wait_ms = 300;
    CKvWorkThread th;
    reflasher::UpgJob job(p, ctx, &th);
    auto nobox = job.Run();
    EXPECT_EQ(nobox.outcome, bootlink::Outcome::NoBox);
    EXPECT_EQ(events.ending().kind, JobErrorKind::NoBox);
    EXPECT_EQ(events.ending().step, "wait for reset");
    EXPECT_EQ(events.waits, (std::vector<bool>{true, false}));

    events.clear();
    auto cancelled = run(p, [&](CKvWorkThread& t) {
        EXPECT_TRUE(jobtest::wait_until([&] { return events.waited(); }));
        cancel = true;
        t.Resume();
    });
    EXPECT_TRUE(cancelled.cancelled);
    EXPECT_EQ(events.ending().kind, JobErrorKind::Cancelled);
    EXPECT_EQ(events.ending().step, "wait for reset");
}
