// The upgrade client end to end: every project type brought up from its boot
// ROM, the image transferred, burnt and read back, and the retry paths of the
// protocol under the virtual STB's faults.
#include "BootInit.h"
#include "Gzip.h"
#include "LineTestSupport.h"
#include "UpgClient.h"

#include <filesystem>
#include <random>

using namespace bootlink;

namespace {

std::vector<uint8_t> test_image(size_t len, unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(len);
    for (size_t i = 0; i < len; ++i)
        v[i] = (i / 4096) % 3 == 0 ? uint8_t(rng()) : uint8_t(i / 512);
    return v;
}

stbsim::Options box_for(int type, uint32_t flash = 1 << 20)
{
    stbsim::Options o;
    o.platform = type;
    o.flash_size = flash;
    return o;
}

}  // namespace

class Client : public LineTest {
protected:
    // Brings the box from reset to a running, tested upgrade client, the way
    // the upgrade job does. 1 on success.
    int bring_up(int type)
    {
        if (type == 1 || type == 6 || type == 7) {
            svc.m_RawLink = 1;
            line_drain(ctx, 256, 300);
            if (type != 1)
                svc.SMS_FlushComData(300);
            line_set_baud(ctx, 38400);
            ctx.pause(200);
            box->reset();
            int ok = type == 1 ? boot_init(ctx) : boot_init_cedar(type, ctx);
            line_set_baud(ctx, 115200);
            if (!ok)
                return 0;
            ctx.pause(2000);
            if (type == 1) {
                // The boot init prints "bootinit_ready" when the client may come.
                std::string seen;
                int64_t t0 = now_ms();
                while (seen.find("bootinit_ready") == std::string::npos && since(t0) < 20) {
                    uint8_t b[256];
                    uint32_t got = 0;
                    svc.SMS_Receive(b, sizeof b, &got, 1000);
                    seen.append(reinterpret_cast<char*>(b), got);
                }
                if (seen.find("bootinit_ready") == std::string::npos)
                    return 0;
                if (!DownloadUpgClientImage_Alder(ctx))
                    return 0;
            } else if (!DownloadUpgClientImage(type, ctx)) {
                return 0;
            }
        } else {
            if (!reset_and_sync())
                return 0;
            if (type >= 2 && type <= 5) {
                line_drain(ctx, 256, 300);
                keep_going = true;
                if (!calibrate_ddr(type, ctx))
                    return 0;
                ctx.pause(1000);
            }
            if (!DownloadUpgClientImage(type, ctx))
                return 0;
        }
        ctx.pause(5000);
        return UpgClientTest(ctx);
    }

    // A box whose flash holds `image`, reset and running "shell.img".
    void shell_ready(const std::vector<uint8_t>& image)
    {
        open(box_for(0));
        ASSERT_TRUE(box->write_flash(0, image));
        ASSERT_TRUE(reset_and_sync());
        ASSERT_EQ(1, send_shell_image(ctx));
    }

    // The rest of an upgrade: user limit, size, transfer, burn, finish.
    int upgrade(const std::vector<uint8_t>& image, int type)
    {
        std::vector<uint8_t> padded = image;
        padded.resize(size_t(padded_image_size(image.size())), 0);
        std::vector<uint8_t> gz;
        if (!gzip_compress(padded.data(), padded.size(), &gz, GzipEffort::Fast))
            return 0;
        return UpgUserLimit(1, ctx) && UpgSlaveReport(uint32_t(padded.size()), ctx) &&
               UpgTransfer(gz.data(), gz.size(), ctx) && UpgBurn(ctx) &&
               UpgFinish(ctx, type == 1 || type == 6 || type == 7);
    }
};

// ---- every project type ------------------------------------------------------

class ClientByType : public Client, public ::testing::WithParamInterface<int> {};

TEST_P(ClientByType, UpgradeWritesTheFlashAndADumpReadsItBack)
{
    const int type = GetParam();
    open(box_for(type));
    ASSERT_EQ(1, bring_up(type)) << log.text();
    auto image = test_image(100000, unsigned(type));
    ASSERT_EQ(1, upgrade(image, type)) << log.text();
    auto flash = box->flash();
    ASSERT_GE(flash.size(), 131072u);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
    EXPECT_TRUE(std::all_of(flash.begin() + 100000, flash.begin() + 131072, [](uint8_t b) { return b == 0; }));
    EXPECT_TRUE(log.has("\nBurning flash OK!\n\n"));
    EXPECT_GT(ctx.transfer.payload_bytes, 0u);
    EXPECT_GT(ctx.transfer.wire_out, ctx.transfer.payload_bytes);

    // A dump of what was written, through the client (or "shell.img" for type 0).
    log.clear();
    std::vector<uint8_t> dump;
    std::string out = path("dump.bin");
    if (type == 0) {
        ASSERT_TRUE(reset_and_sync());
        ASSERT_EQ(1, send_shell_image(ctx));
        ASSERT_EQ(1, ShellReadDump(0x80000, &dump, out, ctx)) << log.text();
    } else {
        ASSERT_EQ(1, bring_up(type)) << log.text();
        ASSERT_EQ(1, UpgDump(0x80000, &dump, out, ctx)) << log.text();
    }
    EXPECT_TRUE(std::equal(dump.begin(), dump.end(), flash.begin()));
    std::vector<uint8_t> file;
    ASSERT_EQ(1, read_file(out, &file));
    EXPECT_EQ(dump, file);
    EXPECT_EQ(0x80000u, ctx.dump.payload_bytes);
    EXPECT_TRUE(log.has("Start Dumping Flash...\n"));
}

INSTANTIATE_TEST_SUITE_P(ProjectTypes, ClientByType, ::testing::Range(0, 8));

// ---- transfer ------------------------------------------------------------------

TEST_F(Client, FrameRetriesSequenceErrorsAndAnEmptyImage)
{
    open(box_for(0));
    ASSERT_EQ(1, bring_up(0));
    ASSERT_EQ(1, UpgUserLimit(1, ctx));

    // Nothing to send: no data frame, success.
    uint64_t frames0 = box->counters().frames_received;
    uint8_t none = 0;
    EXPECT_EQ(1, UpgTransfer(&none, 0, ctx));
    EXPECT_EQ(frames0, box->counters().frames_received);
    EXPECT_TRUE(log.has("\nEnd downloading\n"));

    // A bad CRC answered with 'E' and its code, and a stale acknowledgement:
    // both frames go again and the transfer goes through.
    auto data = test_image(8 * 1024 + 100, 9);
    ASSERT_TRUE(box->add_fault("crc:frame=3"));
    ASSERT_TRUE(box->add_fault("seq:frame=6"));
    ASSERT_EQ(1, UpgSlaveReport(uint32_t(data.size()), ctx));
    ASSERT_EQ(1, UpgTransfer(data.data(), data.size(), ctx)) << log.text();
    EXPECT_TRUE(log.has("TRANSFER: RSP ERROR code:"));
    EXPECT_TRUE(log.has("TRANSFER: SEQ ERROR, RETRY ... \n"));
    EXPECT_EQ(2u, ctx.transfer.retries);
    EXPECT_EQ(data.size(), ctx.transfer.payload_bytes);
    EXPECT_EQ(100, obs.max_progress);
    EXPECT_EQ("Transferring: 8292/8292", obs.last_status);
}

TEST_F(Client, AFrameRefusedFourTimesFailsTheTransfer)
{
    open(box_for(0));
    ASSERT_EQ(1, bring_up(0));
    auto data = test_image(5000, 4);
    ASSERT_TRUE(box->add_fault("crc:every=1,times=4"));
    ASSERT_EQ(1, UpgSlaveReport(uint32_t(data.size()), ctx));
    EXPECT_EQ(0, UpgTransfer(data.data(), data.size(), ctx));
    EXPECT_EQ(4, log.count("TRANSFER: RSP ERROR code:"));
    EXPECT_EQ(4u, box->counters().frames_received);  // 4 tries of the first frame, no more
}

TEST_F(Client, ALateReplyIsWaitedForAndCancelStopsBetweenFrames)
{
    open(box_for(0));
    ASSERT_EQ(1, bring_up(0));
    auto data = test_image(20 * 1024, 5);
    ASSERT_TRUE(box->add_fault("delay:frame=2,ms=4500"));
    ASSERT_EQ(1, UpgSlaveReport(uint32_t(data.size()), ctx));
    ASSERT_EQ(1, UpgTransfer(data.data(), data.size(), ctx)) << log.text();
    EXPECT_EQ(0u, ctx.transfer.retries);

    obs.on_progress = [&](int p) {
        if (p >= 20 && p < 100)
            cancel = true;
    };
    ASSERT_EQ(1, UpgSlaveReport(uint32_t(data.size()), ctx));
    EXPECT_EQ(0, UpgTransfer(data.data(), data.size(), ctx));
    EXPECT_TRUE(log.has("UPG Canceled by user, while transfering\n"));
    EXPECT_FALSE(cancel.load());  // the event is reset
    EXPECT_EQ(0, obs.last_progress);
}

// ---- client test, burn -----------------------------------------------------------

TEST_F(Client, ClientTestRetriesASilentClientAndBurnReportsFailures)
{
    open(box_for(0));
    ASSERT_TRUE(reset_and_sync());
    ASSERT_EQ(1, DownloadUpgClientImage(0, ctx));
    ASSERT_TRUE(box->add_fault("drop:cmd=P"));
    EXPECT_EQ(1, UpgClientTest(ctx)) << log.text();
    EXPECT_TRUE(log.has("!! UpgClientTest FAIL: Can not receive any responses from STB!!\n"));

    EXPECT_EQ(0, UpgUserLimit(3, ctx));
    ASSERT_EQ(1, UpgUserLimit(2, ctx));
    auto image = test_image(65536, 1);
    std::vector<uint8_t> gz;
    ASSERT_EQ(1, gzip_compress(image.data(), image.size(), &gz, GzipEffort::Fast));
    ASSERT_EQ(1, UpgSlaveReport(65536, ctx));
    ASSERT_EQ(1, UpgTransfer(gz.data(), gz.size(), ctx));
    ASSERT_TRUE(box->add_fault("burn:at=40"));
    EXPECT_EQ(0, UpgBurn(ctx));
    EXPECT_TRUE(log.has("\nFailed to erase or write flash!!\n\n"));
    EXPECT_FALSE(log.has("Burning flash OK"));
}

TEST_F(Client, AFailedVerificationEndsTheBurn)
{
    open(box_for(0));
    ASSERT_EQ(1, bring_up(0));
    auto image = test_image(65536, 2);
    std::vector<uint8_t> gz;
    ASSERT_EQ(1, gzip_compress(image.data(), image.size(), &gz, GzipEffort::Fast));
    ASSERT_EQ(1, UpgSlaveReport(65536, ctx));
    ASSERT_EQ(1, UpgTransfer(gz.data(), gz.size(), ctx));
    ASSERT_TRUE(box->add_fault("verify"));
    EXPECT_EQ(0, UpgBurn(ctx));
    EXPECT_TRUE(log.has("\nVerification is failed!!\n\n"));
}

// ---- Alder client ------------------------------------------------------------------

TEST_F(Client, AnAlderClientOf128kBytesGoesInKBlocksAndABadBlockIsResent)
{
    open(box_for(1));
    // A client of exactly 40 blocks.
    std::string text(40 * 128 - stbsim::kStandinHeaderSize, 'a');
    auto client = stbsim::make_standin(stbsim::kKindUpgClient, text);
    ASSERT_EQ(40u * 128u, client.size());
    put_file("upgclient_alder.bin", client);
    ASSERT_TRUE(box->add_fault("crc:block=3"));
    ASSERT_EQ(1, bring_up(1)) << log.text();
    EXPECT_EQ(41u, box->counters().alder_blocks);  // 40 and one resent
    EXPECT_TRUE(log.has("1 times retransmission!\n"));
    EXPECT_TRUE(log.has("DownloadUpgClientImage_Alder success, cost time "));
}

// ---- dumps -----------------------------------------------------------------------

TEST_F(Client, ACorruptedDumpChunkIsTakenAgainWithoutAdvancing)
{
    open(box_for(2));
    auto image = test_image(200000, 8);
    ASSERT_TRUE(box->write_flash(0, image));
    ASSERT_EQ(1, bring_up(2)) << log.text();
    ASSERT_TRUE(box->add_fault("dump:chunk=2"));
    std::vector<uint8_t> dump;
    ASSERT_EQ(1, UpgDump(0x80000, &dump, path("d.bin"), ctx)) << log.text();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), dump.begin()));
    EXPECT_EQ(1, log.count("Retransmitting,please wait...\n"));
    EXPECT_EQ(1u, box->counters().dump_retransmissions);
    EXPECT_EQ(1u, ctx.dump.retries);
    EXPECT_FALSE(log.has("(dumping)Receive CMD error!"));
}

TEST_F(Client, AChunkFailingSixTimesFailsTheDumpAndKeepsTheOlderFile)
{
    open(box_for(2));
    ASSERT_EQ(1, bring_up(2)) << log.text();
    ASSERT_TRUE(box->add_fault("dump:every=1"));
    std::string out = path("d.bin");
    put_file("d.bin", {1, 2, 3});  // an older dump the user keeps
    const auto files_before = std::distance(std::filesystem::directory_iterator(dir), {});
    std::vector<uint8_t> dump;
    EXPECT_EQ(0, UpgDump(0x80000, &dump, out, ctx));
    EXPECT_EQ(5, log.count("Retransmitting,please wait...\n"));
    std::vector<uint8_t> kept;
    ASSERT_EQ(1, read_file(out, &kept));
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 3}), kept);
    // No temporary left beside it.
    EXPECT_EQ(files_before, std::distance(std::filesystem::directory_iterator(dir), {}));
}

TEST_F(Client, ShellDumpRetakesACorruptedChunk)
{
    auto image = test_image(0x80000, 12);
    shell_ready(image);
    ASSERT_TRUE(box->add_fault("dump:chunk=3"));
    std::vector<uint8_t> dump;
    ASSERT_EQ(1, ShellReadDump(0x80000, &dump, "", ctx)) << log.text();
    EXPECT_EQ(image, dump);
    EXPECT_EQ(1u, ctx.dump.retries);
    EXPECT_EQ("", obs.last_status);
}

TEST_F(Client, APacedBootInitWaitsForTheClosingQuote)
{
    open(box_for(1));
    line_set_baud(ctx, 38400);
    box->reset();
    ASSERT_EQ(1, boot_init(ctx, kAlderBootImage, BootInitMode::Paced)) << log.text();
    EXPECT_FALSE(log.has("boot init finished."));
    // An image the boot ROM does not take (no valid header) is not confirmed.
    auto bad = stbsim::make_standin(stbsim::kKindBootInitAlder, "panel");
    bad[0] = 'X';
    put_file("bad_init.img", bad);
    box->reset();
    EXPECT_EQ(0, boot_init(ctx, "bad_init.img", BootInitMode::Paced));
}

TEST_F(Client, SilenceEndsTheClientTestAndTheTransferWithinTheirBounds)
{
    open(box_for(0));
    ASSERT_EQ(1, bring_up(0));
    // Three unanswered client tests: the third one ends it.
    ASSERT_TRUE(box->add_fault("drop:cmd=P,times=3"));
    int64_t t0 = now_ms();
    EXPECT_EQ(0, UpgClientTest(ctx));
    EXPECT_LT(since(t0), 15.0);
    EXPECT_EQ(3, log.count("Can not receive any responses from STB"));
    EXPECT_TRUE(log.has("!! UpgClientTest FAIL: RSP error!!\n"));

    // A data frame that is never answered: the first read and five more, then the end.
    auto data = test_image(4096, 6);
    ASSERT_EQ(1, UpgSlaveReport(uint32_t(data.size()), ctx));
    ASSERT_TRUE(box->add_fault("drop:frame=2"));
    t0 = now_ms();
    EXPECT_EQ(0, UpgTransfer(data.data(), data.size(), ctx));
    double s = since(t0);
    EXPECT_GE(s, 7.5);
    EXPECT_LT(s, 12.0);
    EXPECT_TRUE(log.has("Receiving crc failed,please checking com\n"));
}

// ---- a box that misbehaves in ways the protocol cannot see ------------------

TEST_F(Client, AFastAnnouncerLeavesEveryWordReadCorrect)
{
    // The boot ROM repeats its 'R' every 50 ms, and the last one crosses the
    // host's first instruction on the line.
    stbsim::Options o = box_for(2);
    o.faults = {"announce:ms=50"};
    open(o);
    box->reset();
    ASSERT_EQ(Outcome::Ok, wait_for_boot_rom(ctx, 5000));
    drain_after_announcement(ctx, 256, 300);  // ends though the box keeps announcing
    const uint32_t values[] = {0x11223352, 0x52525252, 0x00000052, 0xCAFEF00D};
    for (uint32_t x : values) {
        ASSERT_EQ(1, write(0xBFD70054, x, ctx));
        uint32_t v = 0;
        ASSERT_EQ(1, addr_read(0xBFD70054, &v, ctx)) << log.text();
        EXPECT_EQ(x, v);
    }
}

TEST_F(Client, ALostOrGarbledBurnProgressByteNeverPassesForTheEnd)
{
    stbsim::Options o = box_for(0);
    o.burn_ms = 1100;  // a progress report every 100 ms
    open(o);
    auto image = test_image(65536, 9);
    std::vector<uint8_t> gz;
    ASSERT_EQ(1, gzip_compress(image.data(), image.size(), &gz, GzipEffort::Fast));
    // 'B' lost before 70 (the byte 'F'), the percentage lost before 30, and a
    // 'B' that arrives as 'F' after 70.
    for (const char* fault : {"lose:at=70", "lose:at=30,byte=1", "garble:at=80"}) {
        SCOPED_TRACE(fault);
        ASSERT_EQ(1, bring_up(0)) << log.text();
        ASSERT_TRUE(box->add_fault(fault));
        ASSERT_EQ(1, UpgSlaveReport(uint32_t(image.size()), ctx));
        ASSERT_EQ(1, UpgTransfer(gz.data(), gz.size(), ctx));
        ASSERT_EQ(1, UpgBurn(ctx)) << log.text();
        // Taken as finished only once the box had written everything.
        auto flash = box->flash();
        EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
        ASSERT_EQ(1, UpgFinish(ctx, false));
    }
    EXPECT_TRUE(log.has("taken as the progress 70% of a lost 'B'"));
    EXPECT_TRUE(log.has("taken as a garbled 'B'"));
}

TEST_F(Client, ABurnThatStopsAdvancingIsGivenUp)
{
    stbsim::Options o = box_for(0);
    o.faults = {"stuck:at=50,ms=100"};  // "B 50" again and again
    open(o);
    ASSERT_EQ(1, bring_up(0)) << log.text();
    auto image = test_image(65536, 10);
    std::vector<uint8_t> gz;
    ASSERT_EQ(1, gzip_compress(image.data(), image.size(), &gz, GzipEffort::Fast));
    ASSERT_EQ(1, UpgSlaveReport(uint32_t(image.size()), ctx));
    ASSERT_EQ(1, UpgTransfer(gz.data(), gz.size(), ctx));
    ctx.limits.burn_stall_ms = 1500;
    EXPECT_EQ(0, UpgBurn(ctx));
    EXPECT_EQ(Outcome::Failed, ctx.outcome);
    EXPECT_TRUE(log.has("Burning flash stopped at 50% for 1 s"));
    EXPECT_FALSE(log.has("Burning flash OK!"));
}

TEST_F(Client, ATricklingBannerEndsWithinItsBound)
{
    open(box_for(0));
    ASSERT_TRUE(reset_and_sync());
    ASSERT_EQ(1, DownloadUpgClientImage(0, ctx));
    // "OO" and the 15-byte banner, one byte every 700 ms: 12 s in all, while
    // five one-second reads that bring nothing allow five.
    ASSERT_TRUE(box->add_fault("trickle:cmd=P,ms=700"));
    EXPECT_EQ(0, UpgClientTest(ctx));
    EXPECT_TRUE(log.has("!! UpgClientTest FAIL: Receive failed !!\n"));
}

TEST_F(Client, AShellReplyForAnotherAddressIsAskedAgain)
{
    auto image = test_image(0x20000, 13);
    shell_ready(image);
    ASSERT_TRUE(box->add_fault("addr:times=2"));  // the next chunk's data, with its true CRC
    std::vector<uint8_t> dump;
    ASSERT_EQ(1, ShellReadDump(0x20000, &dump, "", ctx)) << log.text();
    EXPECT_EQ(image, dump);
    EXPECT_EQ(2u, ctx.dump.retries);
}

TEST_F(Client, TheBootInitWaitsForTheConfiguredSyncByte)
{
    stbsim::Options o = box_for(6);
    o.sync_byte = 'S';
    open(o, 38400);
    svc.set_sync_byte('S');  // [SerialSvc] SyncByte = S
    box->reset();
    ASSERT_EQ(1, boot_init_cedar(6, ctx)) << log.text();
    EXPECT_TRUE(log.has("boot init run successfully.\n"));
}
