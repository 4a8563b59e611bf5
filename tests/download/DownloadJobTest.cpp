// The download thread against the virtual STB in boot-ROM download mode: the
// bytes the box kept are the image; the block loop's pieces, cancel and a
// send that fails.
#include "BoxFixture.h"
#include "DownloadJob.h"
#include "JobEvents.h"

using namespace downloadtest;

namespace {

class DownloadJobTest : public BoxTest {
protected:
    std::vector<uint64_t> sizes;  // what "Send Size" was told, in order

    void start_download_box(int platform = 0)
    {
        stbsim::Options o = options(platform);
        o.download_mode = true;
        start(o);
    }
    download::DownloadResult run(const std::vector<uint8_t>& image,
                                 download::CacheCalibration cache = download::CacheCalibration::None,
                                 std::function<void(uint64_t)> also = {})
    {
        download::DownloadParams p;
        p.image = image;
        p.cache = cache;
        p.on_send_size = [this, also](uint64_t n) {
            sizes.push_back(n);
            if (also)
                also(n);
        };
        return download::run_download(p, ctx);
    }
    bool box_kept(size_t n)
    {
        return wait_until([&] { return box->downloaded().size() >= n; });
    }
};

}  // namespace

TEST(DownloadBlocks, WholeBlocksThenTheRestInOnePiece)
{
    struct Case {
        size_t size;
        std::vector<size_t> pieces;
    } cases[] = {
        {3 * 5120, {5120, 5120, 5120, 0}},  // an empty last piece
        {100, {100}},
        {5121, {5120, 1}},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> img(c.size);
        std::vector<size_t> pieces;
        download::BlockLoop loop;
        loop.send = [&](const uint8_t*, size_t n) {
            pieces.push_back(n);
            return true;
        };
        uint64_t total = 0;
        EXPECT_EQ(download::send_in_blocks(img.data(), img.size(), download::kBlockSize, loop, &total),
                  download::BlocksEnd::Sent);
        EXPECT_EQ(pieces, c.pieces) << c.size;
        EXPECT_EQ(total, c.size);
    }
}

TEST(DownloadBlocks, CancelIsCheckedBetweenBlocksAndAFailedSendStopsTheLoop)
{
    std::vector<uint8_t> img(4 * 5120);
    int sends = 0;
    download::BlockLoop loop;
    loop.send = [&](const uint8_t*, size_t) { return ++sends != 3; };
    uint64_t total = 0;
    EXPECT_EQ(download::send_in_blocks(img.data(), img.size(), 5120, loop, &total), download::BlocksEnd::SendFailed);
    EXPECT_EQ(total, 2u * 5120) << "what went out before the failure";

    sends = 0;
    loop.send = [&](const uint8_t*, size_t) { return ++sends > 0; };
    loop.cancelled = [&] { return sends == 2; };
    EXPECT_EQ(download::send_in_blocks(img.data(), img.size(), 5120, loop, &total), download::BlocksEnd::Cancelled);
    EXPECT_EQ(sends, 2);
    EXPECT_EQ(total, 2u * 5120);
}

TEST_F(DownloadJobTest, AnImageOfWholeBlocksArrivesByteForByte)
{
    start_download_box();
    LogCapture log;
    const auto img = test_image(4 * 5120);
    download::DownloadResult r = run(img);
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.sent, img.size());
    EXPECT_EQ(sizes, (std::vector<uint64_t>{5120, 10240, 15360, 20480, 20480}));
    ASSERT_TRUE(box_kept(img.size()));
    EXPECT_EQ(box->downloaded(), img);
    EXPECT_TRUE(log.has("Calibration on chip completed.\n"));
    EXPECT_TRUE(log.has("Downloading ...\n"));
    EXPECT_TRUE(log.has("Download successfully!\n"));
}

TEST_F(DownloadJobTest, ASmallImageGoesInOnePiece)
{
    start_download_box();
    const auto img = test_image(777, 5);
    download::DownloadResult r = run(img);
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(sizes, (std::vector<uint64_t>{777}));
    ASSERT_TRUE(box_kept(img.size()));
    EXPECT_EQ(box->downloaded(), img);
}

TEST_F(DownloadJobTest, CancelBetweenBlocksStopsTheStream)
{
    start_download_box();
    LogCapture log;
    const auto img = test_image(5 * 5120, 9);
    download::DownloadResult r = run(img, download::CacheCalibration::None, [this](uint64_t n) {
        if (n == 2 * 5120)
            cancel = true;
    });
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.cancelled);
    EXPECT_EQ(r.sent, 2u * 5120);
    EXPECT_FALSE(cancel.load()) << "the cancel event is reset";
    EXPECT_TRUE(log.has("Download Canceled by user, while transfering\n"));
    ASSERT_TRUE(box_kept(2 * 5120));
    EXPECT_EQ(box->downloaded(), std::vector<uint8_t>(img.begin(), img.begin() + 2 * 5120));
}

TEST_F(DownloadJobTest, TheElmCacheCalibrationRunsFirst)
{
    start_download_box(4);
    LogCapture log;
    const auto img = test_image(3000, 3);
    download::DownloadResult r = run(img, download::CacheCalibration::ElmDdr2);
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(box->counters().programs_loaded, 1u);
    ASSERT_TRUE(box_kept(img.size()));
    EXPECT_EQ(box->downloaded(), img);
    EXPECT_TRUE(log.has("Calibration on chip completed.\n"));
}

// At 38400 Bd a block of 5120 bytes takes 1.33 s on the line: once the
// port's buffer is full every block waits that long to go out.
TEST_F(DownloadJobTest, BlocksAtTheBootRomsSlowRateGetTheirLineTime)
{
    stbsim::Options o = options(1);  // an Alder boot ROM talks at 38400 Bd
    o.download_mode = true;
    o.speed = 1;
    start(o);
    ASSERT_EQ(bootlink::line_set_baud(ctx, 38400), 1);
    const auto img = test_image(6 * 5120, 6);
    download::DownloadResult r = run(img);
    EXPECT_TRUE(r.ok) << r.error;
    ASSERT_TRUE(box_kept(img.size()));
    EXPECT_EQ(box->downloaded(), img);
}

// A "Cancel" pressed while nothing ran does not end the next job at once.
TEST_F(DownloadJobTest, ACancelFromBeforeTheJobIsForgotten)
{
    start_download_box(4);
    const auto img = test_image(3000, 4);
    cancel = true;
    download::DownloadResult r = run(img, download::CacheCalibration::ElmDdr3);
    EXPECT_TRUE(r.ok) << r.error;
    ASSERT_TRUE(box_kept(img.size()));
    EXPECT_EQ(box->downloaded(), img);
}

TEST_F(DownloadJobTest, AMissingCacheCalibrationImageEndsTheJobBeforeTheImage)
{
    start_download_box(5);
    LogCapture log;
    std::remove((dir.path() + "/ddr3_cache_cal.img").c_str());
    download::DownloadResult r = run(test_image(100), download::CacheCalibration::ElmDdr3);
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(log.has("Calibration on chip failed\n"));
    EXPECT_FALSE(log.has("Downloading ...\n"));
    EXPECT_TRUE(svc.SMS_IsSvcRunning()) << "the service reads the port again";
}

TEST_F(DownloadJobTest, ASendThatFailsMidwayIsReported)
{
    start_download_box();
    LogCapture log;
    serialport_config_tag cfg;
    svc.SMS_GetCurSvcParam(nullptr, nullptr, &cfg);
    download::DownloadResult r = run(test_image(4 * 5120), download::CacheCalibration::None, [&](uint64_t n) {
        if (n == 5120)
            svc.SMS_ClosePort(cfg.port_index);  // the cable comes out
    });
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.cancelled);
    EXPECT_EQ(r.sent, 5120u);
    EXPECT_NE(r.error.find("5120 of 20480"), std::string::npos) << r.error;
    EXPECT_TRUE(log.has("Download failed"));
    EXPECT_FALSE(log.has("Download successfully!"));
}


// The typed events a caller decides on. With the wait for the box the job
// tells it waits, and after the reset the bytes reach the image's size; a
// box that never announces itself ends NoBox, a cancel Cancelled, an empty
// image Input and a closed port Port, each with its step.
TEST_F(DownloadJobTest, TheEventsTellTheWaitTheBytesAndTheEnding)
{
    stbsim::Options o = options();
    o.download_mode = true;
    o.announce_ms = 200;  // announcing until the host talks: a wait that begins late still sees it
    start(o, false);
    jobtest::EventRecorder events;
    ctx.observer = &events;
    svc.set_bootroom(1);  // the service watches for the announcement
    const auto img = test_image(3 * 5120 + 7, 4);
    download::DownloadParams p;
    p.image = img;
    p.wait_for_box = true;
    p.reset_wait_ms = 30000;
    std::thread resetter([&] {
        if (jobtest::wait_until([&] { return events.waited(); }))
            box->reset();
    });
    download::DownloadResult r = download::run_download(p, ctx);
    resetter.join();
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(events.ending().kind, JobErrorKind::None);
    EXPECT_EQ(events.waits, (std::vector<bool>{true, false}));
    EXPECT_EQ(events.last_bytes(), (std::pair<uint64_t, uint64_t>{img.size(), img.size()}));
    EXPECT_TRUE(events.bytes_rise());
    ASSERT_TRUE(box_kept(img.size()));

    events.clear();
    p.reset_wait_ms = 300;
    r = download::run_download(p, ctx);
    EXPECT_EQ(r.kind, JobErrorKind::NoBox);
    EXPECT_EQ(r.error, "no boot ROM announced itself within 0 s");
    EXPECT_EQ(events.ending().kind, JobErrorKind::NoBox);
    EXPECT_EQ(events.ending().step, "wait for reset");
    EXPECT_TRUE(events.bytes.empty()) << "nothing is sent to a box that is not there";

    events.clear();
    p.reset_wait_ms = 30000;
    std::thread canceller([&] {
        if (jobtest::wait_until([&] { return events.waited(); }))
            cancel = true;
    });
    r = download::run_download(p, ctx);
    canceller.join();
    EXPECT_TRUE(r.cancelled);
    EXPECT_EQ(events.ending().kind, JobErrorKind::Cancelled);
    EXPECT_FALSE(cancel.load()) << "the cancel event is reset";

    events.clear();
    r = download::run_download(download::DownloadParams{}, ctx);
    EXPECT_EQ(events.ending().kind, JobErrorKind::Input);
    EXPECT_EQ(events.ending().step, "check");
    svc.set_bootroom(0);
    svc.SMS_Deinit();
    events.clear();
    r = download::run_download(p, ctx);
    EXPECT_EQ(r.user_error, "Please open the com first.");
    EXPECT_EQ(events.ending().kind, JobErrorKind::Port);
    ctx.observer = nullptr;
}
