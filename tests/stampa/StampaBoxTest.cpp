// Passes and runs of every platform against the virtual STB: burns, chunking,
// echoes in pieces and behind noise, the box's error replies, the Cedar
// warning, Auto input over several boxes, scans, Stop and log failures.
#include "StampaBoxHarness.h"

#include <gtest/gtest.h>

using namespace stampa;
using stampatest::BoxHarness;
using stampatest::TestHost;

namespace {

class StampaPlatformTest : public BoxHarness, public ::testing::WithParamInterface<Platform> {};

}  // namespace

TEST_P(StampaPlatformTest, BurnsShortAndChunkedCodes)
{
    const Platform p = GetParam();
    start(p);
    TestHost host;
    host.cursor.set_current("A1B2C3");
    std::vector<PassResult> r = run(config(p, InputType::Manual, 6), host);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].outcome, Outcome::Success) << r[0].error << log.text();
    EXPECT_TRUE(r[0].ok());
    EXPECT_EQ(box->barcode(), "A1B2C3");
    ASSERT_EQ(host.rows().size(), 1u);
    EXPECT_EQ(host.rows()[0].second, "Burning success!");
    if (p == Platform::Birch) {
        EXPECT_TRUE(log.has("Burning Stampa successfully!!!"));
        return;  // Birch keeps no log, and takes codes of its fixed width
    }
    EXPECT_EQ(log_text(p), "Stampa,Status\n" + log_line(p, "A1B2C3", "Success"));
    EXPECT_TRUE(log.has("Burning stampa A1B2C3 successful!!"));

    // 33 characters go as chunks of 32 and 1; the box keeps them in one
    // piece only when the second lands 32 after the first.
    const std::string code33 = "0123456789abcdefghijABCDEFGHIJ-+=";
    host.cursor.set_current(code33);
    host.overwrite = true;  // Cedar asks first: the box holds A1B2C3
    r = run(config(p, InputType::Manual, 33), host);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].outcome, Outcome::Success) << r[0].error;
    EXPECT_EQ(box->barcode(), code33);
    // 'P' and one 'p', then 'P' and two 'p' (and Cedar's query each time).
    EXPECT_EQ(box->counters().commands, 5u + (p == Platform::Cedar ? 2u : 0u));
}

INSTANTIATE_TEST_SUITE_P(All, StampaPlatformTest,
                         ::testing::Values(Platform::Alder, Platform::Cedar, Platform::Dogwood, Platform::Birch),
                         [](const auto& info) { return platform_name(info.param); });

TEST_F(BoxHarness, EchoInPiecesOrBehindNoiseIsFound)
{
    stbsim::StampaOptions so;
    so.echo_pieces = {3, 4, 5};
    so.echo_gap_ms = 300;
    start(Platform::Alder, so);
    TestHost host;
    host.cursor.set_current("PIECES");
    std::vector<PassResult> r = run(config(Platform::Alder, InputType::Manual, 6), host);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].outcome, Outcome::Success) << r[0].error << log.text();

    so = {};
    so.noise_bytes = 9;
    start(Platform::Cedar, so);
    host.cursor.set_current("0123456789012345678901234567890123");
    r = run(config(Platform::Cedar, InputType::Manual, 34), host);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].outcome, Outcome::Success) << r[0].error << log.text();
    EXPECT_EQ(box->barcode(), "0123456789012345678901234567890123");
}

TEST_F(BoxHarness, BoxFaultsFailTheBurnAndAreLogged)
{
    struct Case {
        const char* fault;
        const char* message;
    };
    for (const Case& c : {Case{"error", "ERROR CODE:7"}, Case{"wrong-echo", "Burning failed!!"},
                          Case{"silent", "no feedback to the burn command"}}) {
        stbsim::StampaOptions so;
        so.fault = c.fault;
        start(Platform::Dogwood, so);
        TestHost host;
        host.cursor.set_current("FAULT1");
        std::vector<PassResult> r = run(config(Platform::Dogwood, InputType::Manual, 6), host);
        ASSERT_EQ(r.size(), 1u) << c.fault;
        EXPECT_EQ(r[0].outcome, Outcome::Failed) << c.fault;
        EXPECT_TRUE(log.has(c.message)) << c.fault << log.text();
        EXPECT_EQ(log_text(Platform::Dogwood), "Stampa,Status\nFAULT1,Failed\n") << c.fault;
        ASSERT_EQ(host.rows().size(), 1u);
        EXPECT_EQ(host.rows()[0].second, "Burning failed!");
        std::remove(log_path(Platform::Dogwood).c_str());
    }
}

TEST_F(BoxHarness, CedarAsksBeforeBurningOverACode)
{
    start(Platform::Cedar);
    ASSERT_TRUE(burn_directly("OLD001"));
    TestHost host;
    host.cursor.set_current("NEW001");
    std::vector<PassResult> r = run(config(Platform::Cedar, InputType::Manual, 6), host);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].outcome, Outcome::Refused);
    EXPECT_TRUE(host.asked.load());
    EXPECT_EQ(box->barcode(), "OLD001");
    EXPECT_TRUE(log.has("Stampa Canceled by user!"));

    host.overwrite = true;
    r = run(config(Platform::Cedar, InputType::Manual, 6), host);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].outcome, Outcome::Success) << r[0].error;
    EXPECT_EQ(box->barcode(), "NEW001");
}

TEST_F(BoxHarness, AutoInputGivesConsecutiveCodes)
{
    start(Platform::Alder);
    TestHost host;
    host.cursor.configure(InputType::Auto, 6, 1, Base::Decimal);
    host.cursor.set_current("000098");
    std::vector<PassResult> r = run(config(Platform::Alder, InputType::Auto, 6), host, 3);
    ASSERT_EQ(r.size(), 3u);
    for (const PassResult& p : r)
        EXPECT_EQ(p.outcome, Outcome::Success) << p.error;
    EXPECT_EQ(log_text(Platform::Alder), "Stampa,Status\n000098,Success\n000099,Success\n000100,Success\n");
    EXPECT_EQ(box->barcode(), "000100");
    EXPECT_EQ(box->counters().resets, 3u);

    // The next run starts on a code in the log: refused before the box is touched.
    uint64_t commands = box->counters().commands;
    host.cursor.set_current("000099");
    r = run(config(Platform::Alder, InputType::Auto, 6), host, 1);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].outcome, Outcome::Refused);
    EXPECT_EQ(r[0].error, "Repeat Bar code,input again!");
    EXPECT_EQ(box->counters().commands, commands);
}

TEST_F(BoxHarness, ScansAreCheckedBeforeTheBoxIsAskedFor)
{
    start(Platform::Alder);
    TestHost host;
    host.scan("12345A");  // a letter under NumSys A
    host.scan("123");  // too short
    host.scan("123456");
    PassConfig cfg = config(Platform::Alder, InputType::Scan, 6);
    cfg.len_sn = 6;
    cfg.num_sys = "A";
    std::vector<PassResult> r = run(cfg, host, 1);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].outcome, Outcome::Success) << r[0].error;
    EXPECT_TRUE(log.has("Scan bar code error,not Decimal number!!!"));
    EXPECT_TRUE(log.has("Scan bar code error,The length of bar code is not match 6!!!"));
    EXPECT_EQ(box->counters().resets, 1u);
    EXPECT_EQ(box->barcode(), "123456");
    EXPECT_EQ(host.cursor.current(), "");  // cleared for the next scan
}

TEST_F(BoxHarness, StopEndsAPassWaitingForTheBox)
{
    start(Platform::Dogwood);
    TestHost host;
    host.cursor.set_current("STOP01");
    reset_on_prompt = false;
    std::vector<PassResult> r = run(config(Platform::Dogwood, InputType::Manual, 6), host, 0, [&](StampaRun& run) {
        ASSERT_TRUE(log.wait_for("prepare to do sync!"));
        run.Stop();
    });
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].outcome, Outcome::Cancelled);
    EXPECT_TRUE(log.has("Stampa Canceled by user!"));
    EXPECT_FALSE(svc.any_job_flag());
    EXPECT_TRUE(svc.SMS_IsSvcRunning());
    EXPECT_FALSE(std::ifstream(log_path(Platform::Dogwood)).good());

    // The port is left in order: the next pass burns.
    reset_on_prompt = true;
    r = run(config(Platform::Dogwood, InputType::Manual, 6), host);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].outcome, Outcome::Success) << r[0].error;
}

TEST_F(BoxHarness, AnUnwrittenLogLineIsNoCleanSuccess)
{
    start(Platform::Alder);
    std::ofstream(log_path(Platform::Alder)) << "Stampa,Status\n";
    std::filesystem::create_directories(log_path(Platform::Alder) + ".bak/x");
    TestHost host;
    host.cursor.set_current("NOLOG1");
    std::vector<PassResult> r = run(config(Platform::Alder, InputType::Manual, 6), host);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].outcome, Outcome::Success);
    EXPECT_FALSE(r[0].logged);
    EXPECT_FALSE(r[0].ok());
    EXPECT_EQ(box->barcode(), "NOLOG1");
    ASSERT_EQ(host.rows().size(), 1u);
    EXPECT_EQ(host.rows()[0].second, "Burning success! Log not written!");
    EXPECT_TRUE(log.has("Backup of the log failed"));
    EXPECT_EQ(log_text(Platform::Alder), "Stampa,Status\n");
}

TEST_F(BoxHarness, BirchScansBoxAfterBox)
{
    start(Platform::Birch);
    TestHost host;
    host.scan("BIRCH0000001");
    host.scan("BIRCH00002");  // two characters short of the width: refused before the box is asked for
    host.scan("BIRCH0000003");
    std::vector<PassResult> r = run(config(Platform::Birch, InputType::Scan, 12), host, 2);
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].outcome, Outcome::Success) << r[0].error << log.text();
    EXPECT_EQ(r[1].outcome, Outcome::Refused);
    EXPECT_EQ(r[2].outcome, Outcome::Success) << r[2].error << log.text();
    EXPECT_TRUE(log.has("Scan bar code error,The length of bar code is not match 12!!!"));
    EXPECT_EQ(box->barcode(), "BIRCH0000003");
    EXPECT_EQ(box->counters().resets, 2u);
}

TEST_F(BoxHarness, AutoRunStopsWhenTheCodesRunOut)
{
    // 999999 is burnt; 1000000 no longer fits six characters, so the run
    // ends there instead of burning 999999 into the next box as well.
    start(Platform::Alder);
    TestHost host;
    host.cursor.configure(InputType::Auto, 6, 1, Base::Decimal);
    host.cursor.set_current("999999");
    std::vector<PassResult> r = run(config(Platform::Alder, InputType::Auto, 6), host);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].outcome, Outcome::Success) << r[0].error;
    EXPECT_TRUE(log.has("The length of bar code is over 6"));
    EXPECT_EQ(host.cursor.current(), "999999");
    EXPECT_EQ(log_text(Platform::Alder), "Stampa,Status\n999999,Success\n");
}

TEST_F(BoxHarness, BirchGivesUpOnABoxThatNeverAnnouncesItself)
{
    start(Platform::Birch);
    reset_on_prompt = false;
    TestHost host;
    host.cursor.set_current("BIRCH0000009");
    PassConfig cfg = config(Platform::Birch, InputType::Manual, 12);
    cfg.reset_timeout_ms = 500;
    std::vector<PassResult> r = run(cfg, host);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].outcome, Outcome::NoBox);
    EXPECT_EQ(svc.m_pUpgThread.load(), nullptr);  // the service no longer holds the pass's thread
    EXPECT_FALSE(svc.any_job_flag());
    EXPECT_EQ(box->barcode(), "");
}

TEST_F(BoxHarness, ALateEchoIsWaitedForUpToTheBound)
{
    // The box writes its flash for 2.5 s before it echoes: longer than one
    // read, well within the minute a burn may take.
    stbsim::StampaOptions so;
    so.echo_delay_ms = 2500;
    start(Platform::Alder, so);
    TestHost host;
    host.cursor.set_current("LATE01");
    std::vector<PassResult> r = run(config(Platform::Alder, InputType::Manual, 6), host);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].outcome, Outcome::Success) << r[0].error << log.text();
    EXPECT_EQ(box->barcode(), "LATE01");
    EXPECT_EQ(log_text(Platform::Alder), "Stampa,Status\nLATE01,Success\n");
}

TEST_F(BoxHarness, StopDuringABurnIsAFailedBurnNotACancel)
{
    // The box has the code's frame when Stop comes: the pass may not claim
    // the box untouched, and the log and the result say the same.
    for (Platform p : {Platform::Dogwood, Platform::Birch}) {
        stbsim::StampaOptions so;
        so.echo_delay_ms = 3000;
        start(p, so);
        TestHost host;
        const std::string code = p == Platform::Birch ? "BIRCH0000077" : "STOP77";
        host.cursor.set_current(code);
        std::vector<PassResult> r =
            run(config(p, InputType::Manual, static_cast<int>(code.size())), host, 0, [&](StampaRun& run) {
                auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
                while (box->counters().commands < 2 && std::chrono::steady_clock::now() < end)
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                run.Stop();
            });
        ASSERT_EQ(r.size(), 1u) << platform_name(p);
        EXPECT_EQ(r[0].outcome, Outcome::Failed) << platform_name(p) << log.text();
        EXPECT_TRUE(log.has("Burning failed!!")) << platform_name(p);
        ASSERT_EQ(host.rows().size(), 1u) << platform_name(p);
        EXPECT_EQ(host.rows()[0].second, "Burning failed!");
        EXPECT_TRUE(r[0].stopped && r[0].code_sent) << platform_name(p);
        if (p != Platform::Birch) {
            EXPECT_EQ(log_text(p), "Stampa,Status\n" + code + ",Failed\n");
        }
    }
}

TEST_F(BoxHarness, ACodeSentToABoxGoesToNoOtherBox)
{
    // Every box fails its echo check, yet each may hold its code: the next
    // box gets the next code, and a later run does not take them again.
    stbsim::StampaOptions so;
    so.fault = "wrong-echo";
    start(Platform::Alder, so);
    TestHost host;
    host.cursor.configure(InputType::Auto, 6, 1, Base::Decimal);
    host.cursor.set_current("000098");
    std::vector<PassResult> r = run(config(Platform::Alder, InputType::Auto, 6), host, 0, [&](StampaRun& run) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (run.results().size() < 2 && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        run.Stop();
    });
    ASSERT_GE(r.size(), 2u);
    EXPECT_EQ(r[0].code, "000098");
    EXPECT_EQ(r[1].code, "000099");
    EXPECT_EQ(r[0].outcome, Outcome::Failed);
    EXPECT_TRUE(r[0].code_sent);
    EXPECT_EQ(log_text(Platform::Alder).rfind("Stampa,Status\n000098,Failed\n000099,Failed\n", 0), 0u)
        << log_text(Platform::Alder);

    start(Platform::Alder);
    const uint64_t commands = box->counters().commands;
    host.cursor.configure(InputType::Manual, 6, 1, Base::Decimal);
    host.cursor.set_current("000098");
    r = run(config(Platform::Alder, InputType::Manual, 6), host);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].outcome, Outcome::Refused);
    EXPECT_EQ(box->counters().commands, commands);
    EXPECT_EQ(host.reuse_asked, std::vector<std::string>{"000098"});

    // The operator may burn it again on purpose, asked with the code named.
    host.reuse = true;
    r = run(config(Platform::Alder, InputType::Manual, 6), host);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].outcome, Outcome::Success) << r[0].error;
    EXPECT_EQ(box->barcode(), "000098");

    // A code burnt well is never offered again.
    host.reuse_asked.clear();
    r = run(config(Platform::Alder, InputType::Manual, 6), host);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].outcome, Outcome::Refused);
    EXPECT_TRUE(host.reuse_asked.empty());
}

TEST_F(BoxHarness, ScansNeedTheirLengthAndClassSettings)
{
    // A station without "LenSN " and "NumSys" would burn whatever the
    // scanner reads (a MAC or EAN label): the run does not begin.
    start(Platform::Cedar);
    TestHost host;
    host.scan("00:1A:2B:3C:4D:5E");
    std::vector<PassResult> r = run(config(Platform::Cedar, InputType::Scan, 6), host, 1);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].outcome, Outcome::Refused);
    EXPECT_NE(r[0].error.find("\"LenSN \" and \"NumSys\""), std::string::npos) << r[0].error;
    EXPECT_EQ(box->counters().resets, 0u);
    EXPECT_EQ(box->barcode(), "");
}

TEST_F(BoxHarness, ALostLineEndsAnAutoRun)
{
    start(Platform::Alder);
    TestHost host;
    host.cursor.configure(InputType::Auto, 6, 1, Base::Decimal);
    host.cursor.set_current("000500");
    std::vector<PassResult> r = run(config(Platform::Alder, InputType::Auto, 6), host, 0, [&](StampaRun& run) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (run.results().empty() && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        unplug();
        // The run ends by itself; Stop only keeps a failing test short.
        for (end += std::chrono::seconds(30); run.running() && std::chrono::steady_clock::now() < end;)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        run.Stop();
    });
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].outcome, Outcome::Success) << r[0].error;
    EXPECT_EQ(r[1].outcome, Outcome::PortLost) << r[1].error;
    EXPECT_EQ(r[1].code, "000501");
    EXPECT_FALSE(svc.any_job_flag());
}

TEST_F(BoxHarness, BirchLoadsAClientLongerThanTheFixedSendTime)
{
    // 150 KB take 13 s at 115200 Bd: longer than a fixed 10.5 s.
    std::ifstream in(dir.file(kBirchClientFile), std::ios::binary);
    std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    image.resize(150000, '\0');
    std::ofstream(dir.file("big_client.bin"), std::ios::binary) << image;
    start(Platform::Birch, {}, 1.0);
    TestHost host;
    host.cursor.set_current("BIRCH0000150");
    PassConfig cfg = config(Platform::Birch, InputType::Manual, 12);
    cfg.client_path = dir.file("big_client.bin");
    std::vector<PassResult> r = run(cfg, host);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].outcome, Outcome::Success) << r[0].error << log.text();
    EXPECT_EQ(box->barcode(), "BIRCH0000150");
}
