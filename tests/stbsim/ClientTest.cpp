// The upgrade client and "shell.img": transfer, burn, dump, slave info,
// block upgrade and the faults, driven by hand-built frames.
#include "HostHarness.h"
#include "StbSim.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>

using harness::Bytes;
using harness::Host;

namespace {

constexpr uint32_t kFlash = 256 * 1024;

stbsim::Options quick()
{
    stbsim::Options o;
    o.platform = 0;
    o.flash_size = kFlash;
    o.burn_ms = 0;
    o.announce_ms = 20;
    o.client_ready_ms = 0;  // the raw exchanges here talk at once
    o.burn_ready_ms = 0;
    o.ack_timeout_ms = 3000;
    return o;
}

Bytes random_bytes(size_t n, unsigned seed)
{
    std::mt19937 g(seed);
    Bytes b(n);
    for (auto& x : b)
        x = static_cast<uint8_t>(g() % 7 == 0 ? g() : 0x20 + g() % 16);  // compresses, but not to nothing
    return b;
}

// A box with a running upgrade client (project type 0) and a host talking to it.
struct ClientRig {
    explicit ClientRig(stbsim::Options o = quick()) : box(std::move(o))
    {
        std::string err;
        EXPECT_TRUE(box.start(&err)) << err;
        host = std::make_unique<Host>(box.port_path());
        box.reset();
        EXPECT_TRUE(host->wait_for('R', 3000));
        host->write_word(0xA0F00000, 0);
        host->recv_quiet(80);
        Bytes img = harness::standin(0x10, "test upgrade client");
        Bytes load;
        harness::put32(load, static_cast<uint32_t>(img.size()));
        harness::put32(load, 0);
        harness::put32(load, 0);
        load.insert(load.end(), img.begin(), img.end());
        host->send(load);
        EXPECT_TRUE(box.wait_for_program("upgrade-client", 2000));
    }

    Bytes cmd(uint8_t letter, const Bytes& payload, size_t reply, int timeout = 1000)
    {
        host->send(harness::command(letter, payload));
        return host->recv(reply, timeout);
    }

    Bytes slave_report(uint8_t id, uint32_t size)
    {
        Bytes p = {0x01, id};
        harness::put32(p, size);
        return cmd('R', p, 2);
    }

    Bytes transfer_header(uint8_t id, uint8_t kind, uint32_t len)
    {
        Bytes p = {id, kind};
        harness::put32(p, len);
        return cmd('S', p, 2);
    }

    // Sends the data in 1024-byte frames, each at most 4 times. Returns the
    // number of resends, or -1 when a frame was never accepted.
    int send_data(const Bytes& data, std::vector<Bytes>* odd_replies = nullptr)
    {
        int resends = 0;
        uint16_t seq = 0;
        for (size_t off = 0; off < data.size(); off += 1024, ++seq) {
            size_t len = std::min<size_t>(1024, data.size() - off);
            bool ok = false;
            for (int attempt = 0; attempt < 4 && !ok; ++attempt) {
                if (attempt)
                    ++resends;
                host->send(harness::data_frame(seq, data.data() + off, len));
                Bytes r = host->recv(3, reply_timeout);
                if (r.size() == 3 && r[0] == 'O' && ((r[1] << 8) | r[2]) >= seq) {
                    ok = true;
                    continue;
                }
                if (odd_replies)
                    odd_replies->push_back(r);
                if (!r.empty() && r[0] == 'E')
                    host->recv(2, 500);  // an error reply carries two more bytes
                else
                    host->recv_quiet(50);
            }
            if (!ok)
                return -1;
        }
        return resends;
    }

    // 'T', then progress until 'F' or 'E'. Returns the final byte (0: none);
    // `verify` receives the two reply bytes.
    uint8_t burn(Bytes* verify, std::vector<int>* progress)
    {
        *verify = cmd('T', {}, 2, 2000);
        if (*verify != Bytes{'O', 'O'})
            return 0;
        for (;;) {
            Bytes b = host->recv(1, 5000);
            if (b.empty())
                return 0;
            if (b[0] == 'B') {
                Bytes p = host->recv(1, 1000);
                if (p.empty())
                    return 0;
                progress->push_back(p[0]);
            } else if (b[0] == 'F' || b[0] == 'E') {
                return b[0];
            }
        }
    }

    // The whole-flash upgrade: padded image, gzip, report, transfer, burn.
    uint8_t upgrade(const Bytes& image, int* resends = nullptr)
    {
        Bytes gz = harness::gzip(image);
        if (slave_report(0xFF, static_cast<uint32_t>(image.size())) != Bytes{'O', 'O'})
            return 0;
        if (transfer_header(0xFF, 'Z', static_cast<uint32_t>(gz.size())) != Bytes{'O', 'O'})
            return 0;
        int r = send_data(gz);
        if (resends)
            *resends = r;
        if (r < 0)
            return 0;
        Bytes v;
        std::vector<int> progress;
        return burn(&v, &progress);
    }

    // The dump exchange; false on a protocol error. Chunks whose CRC does not
    // match are asked again (status 1), at most 5 times.
    bool dump(uint32_t size, Bytes* out, int* asked_again)
    {
        *asked_again = 0;
        Bytes p;
        harness::put32(p, size);
        if (cmd(0x60, p, 1) != Bytes{'O'})
            return false;
        out->clear();
        uint16_t seq = 0;
        for (uint32_t off = 0; off < size; off += 3072, seq = static_cast<uint16_t>((seq + 1) % 0xFFFF)) {
            size_t len = std::min<size_t>(3072, size - off);
            const Bytes ack = {0x00, static_cast<uint8_t>(seq >> 8), static_cast<uint8_t>(seq)};
            for (int attempt = 0;; ++attempt) {
                if (attempt > 5)
                    return false;
                Bytes head = host->recv(4, 2000);
                if (head != Bytes{'#', '*', ack[1], ack[2]})
                    return false;
                host->send(ack);
                Bytes chunk = host->recv(len, 3000);
                if (chunk.size() != len)
                    return false;
                host->send(ack);
                Bytes crc = host->recv(4, 2000);
                if (crc.size() != 4)
                    return false;
                if (harness::get32(crc.data()) == harness::frame_crc(chunk)) {
                    host->send(ack);
                    out->insert(out->end(), chunk.begin(), chunk.end());
                    break;
                }
                ++*asked_again;
                host->send(Bytes{0x01, ack[1], ack[2]});
            }
        }
        return true;
    }

    stbsim::Simulator box;
    std::unique_ptr<Host> host;
    int reply_timeout = 1500;
};

}  // namespace

TEST(StbsimClient, TestUserLimitAndUnknownOrBrokenCommands)
{
    ClientRig rig;
    const std::string banner = "KESTREL P2P UPG";
    Bytes r = rig.cmd('P', Bytes(banner.begin(), banner.end()), 17);
    ASSERT_EQ(r.size(), 17u);
    EXPECT_EQ(std::string(r.begin() + 2, r.end()), banner);
    EXPECT_EQ(rig.cmd('e', {0xEE}, 3), (Bytes{'O', 'O', 0xEE}));
    EXPECT_EQ(rig.cmd('e', {0x00}, 3), (Bytes{'O', 'O', 0x00}));
    // A command with a broken CRC is not answered; the next good one is.
    Bytes bad = harness::command('P', Bytes(banner.begin(), banner.end()));
    bad.back() ^= 1;
    rig.host->send(bad);
    EXPECT_TRUE(rig.host->recv(1, 300).empty());
    EXPECT_EQ(rig.cmd('Z', {}, 1, 300).size(), 0u) << "unknown command";
    EXPECT_EQ(rig.cmd('e', {0xEE}, 3), (Bytes{'O', 'O', 0xEE}));
}

TEST(StbsimClient, WholeTransferBurnAndDumpReturnTheImage)
{
    ClientRig rig;
    Bytes image = random_bytes(kFlash, 1);
    int resends = -2;
    EXPECT_EQ(rig.upgrade(image, &resends), 'F');
    EXPECT_EQ(resends, 0);
    EXPECT_EQ(rig.box.flash(), image);
    EXPECT_EQ(rig.box.counters().burns, 1u);

    Bytes dumped;
    int again = -1;
    ASSERT_TRUE(rig.dump(kFlash, &dumped, &again));
    EXPECT_EQ(again, 0);
    EXPECT_EQ(dumped, image);

    // A dump larger than the flash reads erased bytes past its end.
    ASSERT_TRUE(rig.dump(kFlash + 100, &dumped, &again));
    ASSERT_EQ(dumped.size(), kFlash + 100u);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), dumped.begin()));
    EXPECT_EQ(dumped.back(), 0xFF);

    EXPECT_EQ(rig.cmd('U', {}, 1), (Bytes{'O'}));
    EXPECT_TRUE(rig.box.wait_for_program("idle", 1000));
}

TEST(StbsimClient, BurnProgressCountsUpAndEndsWithF)
{
    ClientRig rig;
    Bytes image = random_bytes(64 * 1024, 2);
    Bytes gz = harness::gzip(image);
    ASSERT_EQ(rig.slave_report(0xFF, 64 * 1024), (Bytes{'O', 'O'}));
    ASSERT_EQ(rig.transfer_header(0xFF, 'Z', static_cast<uint32_t>(gz.size())), (Bytes{'O', 'O'}));
    ASSERT_EQ(rig.send_data(gz), 0);
    Bytes v;
    std::vector<int> progress;
    EXPECT_EQ(rig.burn(&v, &progress), 'F');
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.front(), 0);
    EXPECT_EQ(progress.back(), 100);
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    Bytes flash = rig.box.flash();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
    EXPECT_EQ(flash[64 * 1024], 0xFF) << "the rest of the flash is untouched";
}

TEST(StbsimClient, VerificationFailsForBadImages)
{
    ClientRig rig;
    Bytes image = random_bytes(8192, 3);
    Bytes gz = harness::gzip(image);
    Bytes v;
    std::vector<int> progress;

    // Announced size differs from what the stream inflates to.
    ASSERT_EQ(rig.slave_report(0xFF, 65536), (Bytes{'O', 'O'}));
    ASSERT_EQ(rig.transfer_header(0xFF, 'Z', static_cast<uint32_t>(gz.size())), (Bytes{'O', 'O'}));
    ASSERT_EQ(rig.send_data(gz), 0);
    EXPECT_EQ(rig.burn(&v, &progress), 0);
    EXPECT_EQ(v, (Bytes{'E', 0x0E}));

    // Not a gzip stream at all.
    ASSERT_EQ(rig.slave_report(0xFF, 8192), (Bytes{'O', 'O'}));
    ASSERT_EQ(rig.transfer_header(0xFF, 'Z', 8192), (Bytes{'O', 'O'}));
    ASSERT_EQ(rig.send_data(image), 0);
    EXPECT_EQ(rig.burn(&v, &progress), 0);
    EXPECT_EQ(v, (Bytes{'E', 0x0E}));

    // A stream cut short.
    Bytes cut(gz.begin(), gz.end() - 10);
    ASSERT_EQ(rig.slave_report(0xFF, 8192), (Bytes{'O', 'O'}));
    ASSERT_EQ(rig.transfer_header(0xFF, 'Z', static_cast<uint32_t>(cut.size())), (Bytes{'O', 'O'}));
    ASSERT_EQ(rig.send_data(cut), 0);
    EXPECT_EQ(rig.burn(&v, &progress), 0);
    EXPECT_EQ(v, (Bytes{'E', 0x0E}));

    // Burn ordered before all data came.
    ASSERT_EQ(rig.slave_report(0xFF, 8192), (Bytes{'O', 'O'}));
    ASSERT_EQ(rig.transfer_header(0xFF, 'Z', static_cast<uint32_t>(gz.size())), (Bytes{'O', 'O'}));
    EXPECT_EQ(rig.burn(&v, &progress), 0);
    EXPECT_EQ(v, (Bytes{'E', 0x0E}));

    EXPECT_EQ(rig.box.counters().verify_failures, 4u);
    EXPECT_EQ(rig.box.counters().burns, 0u);
    EXPECT_EQ(rig.box.flash(), Bytes(kFlash, 0xFF)) << "nothing was written";
}

TEST(StbsimClient, ImageLargerThanItsRoomIsRefusedBeforeAnythingIsErased)
{
    ClientRig rig;
    Bytes before = random_bytes(kFlash, 4);
    ASSERT_TRUE(rig.box.write_flash(0, before));
    Bytes image = random_bytes(kFlash + 65536, 4);
    Bytes gz = harness::gzip(image);
    ASSERT_EQ(rig.slave_report(0xFF, static_cast<uint32_t>(image.size())), (Bytes{'O', 'O'}));
    ASSERT_EQ(rig.transfer_header(0xFF, 'Z', static_cast<uint32_t>(gz.size())), (Bytes{'O', 'O'}));
    ASSERT_EQ(rig.send_data(gz), 0);
    Bytes v;
    std::vector<int> progress;
    EXPECT_EQ(rig.burn(&v, &progress), 0);
    EXPECT_EQ(v, (Bytes{'E', 0x0E}));
    // A block image larger than its block likewise.
    auto blocks = rig.box.blocks();
    ASSERT_FALSE(blocks.empty());
    Bytes big(blocks[0].size + 1, 0x11);
    ASSERT_EQ(rig.slave_report(blocks[0].id, static_cast<uint32_t>(big.size())), (Bytes{'O', 'O'}));
    ASSERT_EQ(rig.transfer_header(blocks[0].id, 'N', static_cast<uint32_t>(big.size())), (Bytes{'O', 'O'}));
    ASSERT_EQ(rig.send_data(big), 0);
    EXPECT_EQ(rig.burn(&v, &progress), 0);
    EXPECT_EQ(v, (Bytes{'E', 0x0E}));
    EXPECT_EQ(rig.box.flash(), before);
    EXPECT_EQ(rig.box.counters().burns, 0u);
}

TEST(StbsimClient, SlaveInfoListsTheBlocks)
{
    auto o = quick();
    ASSERT_TRUE(stbsim::parse_blocks("0x88:0x0:0x10000:app, 0x94:0x10000:0x8000:logo", &o.blocks, nullptr));
    ClientRig rig(o);
    Bytes head = rig.cmd('Q', {'C'}, 6);
    ASSERT_EQ(head.size(), 6u);
    EXPECT_EQ(head[0], 'O');
    EXPECT_EQ(head[1], 'O');
    uint32_t len = harness::get32(head.data() + 2);
    ASSERT_EQ(len, 20u + 2 * 48);
    Bytes rec = rig.host->recv(len, 1000);
    Bytes crc = rig.host->recv(4, 1000);
    ASSERT_EQ(rec.size(), len);
    ASSERT_EQ(crc.size(), 4u);
    EXPECT_EQ(harness::get32(crc.data()), harness::frame_crc(rec));
    EXPECT_EQ(rec[16] | (rec[17] << 8), 2);
    EXPECT_EQ(rec[20], 0x88);
    EXPECT_EQ(rec[20 + 48], 0x94);
}

TEST(StbsimClient, BlockUpgradeReplacesOneBlockOnly)
{
    ClientRig rig;  // default blocks for 256 KiB
    auto blocks = rig.box.blocks();
    auto it = std::find_if(blocks.begin(), blocks.end(), [](const auto& b) { return b.id == 0x94; });
    ASSERT_NE(it, blocks.end());
    Bytes before = random_bytes(kFlash, 5);
    ASSERT_TRUE(rig.box.write_flash(0, before));
    Bytes logo = random_bytes(1025, 6);  // two frames: 1024 and 1
    ASSERT_LE(logo.size(), it->size);
    ASSERT_EQ(rig.slave_report(0x94, static_cast<uint32_t>(logo.size())), (Bytes{'O', 'O'}));
    ASSERT_EQ(rig.transfer_header(0x94, 'N', static_cast<uint32_t>(logo.size())), (Bytes{'O', 'O'}));
    ASSERT_EQ(rig.send_data(logo), 0);
    EXPECT_EQ(rig.box.counters().frames_accepted, 2u);
    Bytes v;
    std::vector<int> progress;
    EXPECT_EQ(rig.burn(&v, &progress), 'F');
    Bytes after = rig.box.flash();
    Bytes expect = before;
    std::fill(expect.begin() + it->offset, expect.begin() + it->offset + it->size, 0xFF);
    std::copy(logo.begin(), logo.end(), expect.begin() + it->offset);
    EXPECT_EQ(after, expect);

    // A block that is not in the list cannot be burnt.
    ASSERT_EQ(rig.slave_report(0x77, 10), (Bytes{'O', 'O'}));
    ASSERT_EQ(rig.transfer_header(0x77, 'N', 10), (Bytes{'O', 'O'}));
    ASSERT_EQ(rig.send_data(Bytes(10, 1)), 0);
    EXPECT_EQ(rig.burn(&v, &progress), 0);
    EXPECT_EQ(v, (Bytes{'E', 0x0E}));
}

TEST(StbsimClient, FramesOutOfTurnAndResentFrames)
{
    ClientRig rig;
    Bytes data = random_bytes(3000, 7);
    ASSERT_EQ(rig.transfer_header(0xFF, 'Z', 3000), (Bytes{'O', 'O'}));
    // Frame 1 before frame 0: answered with the last accepted number (none yet: 0xFFFF).
    rig.host->send(harness::data_frame(1, data.data() + 1024, 1024));
    EXPECT_EQ(rig.host->recv(3, 1000), (Bytes{'O', 0xFF, 0xFF}));
    rig.host->send(harness::data_frame(0, data.data(), 1024));
    EXPECT_EQ(rig.host->recv(3, 1000), (Bytes{'O', 0x00, 0x00}));
    // Frame 0 again (the host lost the answer): acknowledged, not stored twice.
    rig.host->send(harness::data_frame(0, data.data(), 1024));
    EXPECT_EQ(rig.host->recv(3, 1000), (Bytes{'O', 0x00, 0x00}));
    EXPECT_EQ(rig.box.counters().retransmissions, 1u);
    EXPECT_EQ(rig.box.counters().frames_accepted, 1u);
    // A data frame without a transfer announced is refused.
    ClientRig fresh;
    fresh.host->send(harness::data_frame(0, data.data(), 1024));
    EXPECT_TRUE(fresh.host->recv(1, 500).empty());
}

TEST(StbsimFaults, CrcSeqDropAndDelayOnDataFrames)
{
    auto o = quick();
    o.faults = {"crc:frame=2", "seq:frame=4", "drop:frame=6", "delay:frame=8,ms=400"};
    ClientRig rig(o);
    Bytes image = random_bytes(kFlash, 8);
    Bytes gz = harness::gzip(image);
    ASSERT_GT(gz.size(), 8u * 1024) << "the image must span enough frames";
    ASSERT_EQ(rig.slave_report(0xFF, kFlash), (Bytes{'O', 'O'}));
    ASSERT_EQ(rig.transfer_header(0xFF, 'Z', static_cast<uint32_t>(gz.size())), (Bytes{'O', 'O'}));
    std::vector<Bytes> odd;
    int resends = rig.send_data(gz, &odd);
    ASSERT_EQ(resends, 3);
    ASSERT_EQ(odd.size(), 3u);
    EXPECT_EQ(odd[0], (Bytes{'E', 0x00, 0x01})) << "CRC error reply";
    EXPECT_EQ(odd[1], (Bytes{'O', 0x00, 0x01})) << "frame 3 (seq 2) acknowledged as seq 1";
    EXPECT_TRUE(odd[2].empty()) << "dropped reply";
    auto c = rig.box.counters();
    EXPECT_EQ(c.crc_errors, 1u);
    EXPECT_EQ(c.retransmissions, 2u) << "after the wrong number and the dropped reply the frame came again";
    EXPECT_EQ(c.faults_fired, 4u);
    Bytes v;
    std::vector<int> progress;
    EXPECT_EQ(rig.burn(&v, &progress), 'F');
    EXPECT_EQ(rig.box.flash(), image);
}

TEST(StbsimFaults, EveryNthFrameFailsItsCrc)
{
    auto o = quick();
    o.faults = {"crc:every=3"};
    ClientRig rig(o);
    Bytes image = random_bytes(kFlash, 9);
    int resends = 0;
    EXPECT_EQ(rig.upgrade(image, &resends), 'F');
    EXPECT_GE(resends, 2);
    EXPECT_EQ(rig.box.flash(), image);
}

TEST(StbsimFaults, VerifyAndBurnFaults)
{
    auto o = quick();
    o.faults = {"verify", "burn:at=40"};
    ClientRig rig(o);
    Bytes image = random_bytes(65536, 10);
    Bytes gz = harness::gzip(image);
    Bytes v;
    std::vector<int> progress;
    ASSERT_EQ(rig.slave_report(0xFF, 65536), (Bytes{'O', 'O'}));
    ASSERT_EQ(rig.transfer_header(0xFF, 'Z', static_cast<uint32_t>(gz.size())), (Bytes{'O', 'O'}));
    ASSERT_EQ(rig.send_data(gz), 0);
    EXPECT_EQ(rig.burn(&v, &progress), 0);
    EXPECT_EQ(v, (Bytes{'E', 0x0E}));
    // The transfer still stands; the second burn passes verification and then fails its write.
    EXPECT_EQ(rig.burn(&v, &progress), 'E');
    EXPECT_EQ(v, (Bytes{'O', 'O'}));
    ASSERT_FALSE(progress.empty());
    EXPECT_LT(progress.back(), 40);
    EXPECT_EQ(rig.box.counters().burn_failures, 1u);
}

TEST(StbsimFaults, CorruptDumpChunkIsSentAgain)
{
    auto o = quick();
    o.faults = {"dump:chunk=2"};
    ClientRig rig(o);
    Bytes image = random_bytes(kFlash, 11);
    ASSERT_TRUE(rig.box.write_flash(0, image));
    Bytes dumped;
    int again = 0;
    ASSERT_TRUE(rig.dump(16 * 1024, &dumped, &again));
    EXPECT_EQ(again, 1);
    EXPECT_EQ(dumped, Bytes(image.begin(), image.begin() + 16 * 1024));
    EXPECT_EQ(rig.box.counters().dump_retransmissions, 1u);
}

TEST(StbsimFaults, ResetInTheMiddleOfATransfer)
{
    auto o = quick();
    o.announce_ms = 300;
    o.faults = {"reset:frame=3"};
    ClientRig rig(o);
    rig.reply_timeout = 200;
    Bytes gz = harness::gzip(random_bytes(kFlash, 12));
    ASSERT_EQ(rig.transfer_header(0xFF, 'Z', static_cast<uint32_t>(gz.size())), (Bytes{'O', 'O'}));
    EXPECT_EQ(rig.send_data(gz), -1);
    EXPECT_EQ(rig.box.counters().resets, 2u);
    EXPECT_EQ(rig.box.program(), "boot-rom");
}

TEST(StbsimFaults, StallLosesWhatArrivesAndDropOnACommand)
{
    auto o = quick();
    o.faults = {"stall:cmd=e,ms=400", "drop:cmd=P"};
    ClientRig rig(o);
    const std::string banner = "KESTREL P2P UPG";
    EXPECT_TRUE(rig.cmd('P', Bytes(banner.begin(), banner.end()), 17, 300).empty());
    EXPECT_EQ(rig.cmd('P', Bytes(banner.begin(), banner.end()), 17).size(), 17u);
    EXPECT_TRUE(rig.cmd('e', {0xEE}, 3, 200).empty());
    EXPECT_TRUE(rig.cmd('e', {0xEE}, 3, 100).empty()) << "sent during the stall: lost";
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_EQ(rig.cmd('e', {0xEE}, 3), (Bytes{'O', 'O', 0xEE}));
}

TEST(StbsimShell, ShellReadReturnsFlashChunksWithTheirCrc)
{
    auto o = quick();
    o.faults = {"dump:chunk=2"};
    stbsim::Simulator box(o);
    ASSERT_TRUE(box.start(nullptr));
    Bytes image = random_bytes(kFlash, 13);
    ASSERT_TRUE(box.write_flash(0, image));
    Host h(box.port_path());
    box.reset();
    ASSERT_TRUE(h.wait_for('R', 2000));
    h.write_word(0xA0F00000, 0);
    h.recv_quiet(80);
    h.send(harness::standin(4, "shell"));
    ASSERT_TRUE(box.wait_for_program("shell", 2000));
    EXPECT_TRUE(h.recv(1, 300).empty()) << "the shell keeps quiet after loading";
    for (uint32_t off : {0u, 4096u, kFlash - 4096u}) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            Bytes q = {0x23, 0x03, 0, 0, 0};
            harness::put32(q, 8);
            harness::put32(q, 0x08000000 + off);
            harness::put32(q, 4096 + 4);
            h.send(q);
            Bytes r = h.recv(4096 + 13, 2000);
            ASSERT_EQ(r.size(), 4096u + 13);
            Bytes chunk(r.begin() + 9, r.begin() + 9 + 4096);
            bool crc_ok = harness::get32(r.data() + 9 + 4096) == harness::frame_crc(chunk);
            if (off == 4096 && attempt == 0) {
                EXPECT_FALSE(crc_ok) << "the second chunk is corrupted once";
                continue;
            }
            EXPECT_TRUE(crc_ok);
            EXPECT_EQ(chunk, Bytes(image.begin() + off, image.begin() + off + 4096));
            break;
        }
    }
    EXPECT_EQ(box.counters().shell_reads, 4u);
}

TEST(StbsimFlash, FlashFileIsKeptBetweenRunsAndChecked)
{
    auto dir = std::filesystem::temp_directory_path() / ("stbsim-flash-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::string path = (dir / "flash.bin").string();
    Bytes image = random_bytes(kFlash, 14);
    {
        auto o = quick();
        o.flash_path = path;
        ClientRig rig(o);
        EXPECT_EQ(rig.upgrade(image), 'F');
    }
    EXPECT_EQ(std::filesystem::file_size(path), kFlash);
    {
        auto o = quick();
        o.flash_path = path;
        o.flash_size = 0;  // take the file's size
        stbsim::Simulator box(o);
        ASSERT_TRUE(box.start(nullptr));
        EXPECT_EQ(box.flash(), image);
    }
    {
        auto o = quick();
        o.flash_path = path;
        o.flash_size = kFlash * 2;
        stbsim::Simulator box(o);
        std::string err;
        EXPECT_FALSE(box.start(&err));
        EXPECT_NE(err.find("not the"), std::string::npos) << err;
    }
    std::filesystem::remove_all(dir);
}

TEST(StbsimLine, PacingFollowsTheLineRate)
{
    auto o = quick();
    o.speed = 1;
    ClientRig rig(o);
    auto t0 = std::chrono::steady_clock::now();
    Bytes dumped;
    int again = 0;
    ASSERT_TRUE(rig.dump(6144, &dumped, &again));
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    // 6144 bytes plus headers and CRCs at 115200 Bd take at least half a second.
    EXPECT_GT(s, 0.5);
    rig.box.set_speed(0);
    EXPECT_EQ(dumped.size(), 6144u);
}

TEST(StbsimRobustness, GarbageNeitherCrashesNorWedgesTheBox)
{
    std::mt19937 g(99);
    auto garbage = [&](size_t n) {
        Bytes b(n);
        for (auto& x : b)
            x = static_cast<uint8_t>(g() % 5 == 0 ? '#' : g());  // plenty of frame starts
        return b;
    };
    // Into the upgrade client: afterwards it still answers.
    ClientRig rig;
    for (int round = 0; round < 3; ++round) {
        rig.host->send(garbage(8000));
        rig.host->recv_quiet(1300, 20000);
        const std::string banner = "KESTREL P2P UPG";
        Bytes r = rig.cmd('P', Bytes(banner.begin(), banner.end()), 17, 2000);
        EXPECT_EQ(r.size(), 17u) << "round " << round;
    }
    // Into the boot ROM of every project type: a reset brings it back.
    for (int type = 0; type < 8; ++type) {
        auto o = quick();
        o.platform = type;
        o.announce_ms = 300;
        stbsim::Simulator box(o);
        ASSERT_TRUE(box.start(nullptr));
        int baud = (type == 1 || type == 6 || type == 7) ? 38400 : 115200;
        Host h(box.port_path(), baud);
        box.reset();
        ASSERT_TRUE(h.wait_for('R', 2000)) << type;
        h.send(garbage(4000));
        h.recv_quiet(300, 3000);
        box.reset();
        ASSERT_TRUE(h.wait_for('R', 2000)) << type;
        h.write_word(0xBFD70014, 0x77);
        h.recv_quiet(100);
        uint32_t v = 0;
        ASSERT_TRUE(h.read_word(0xBFD70014, &v)) << type;
        EXPECT_EQ(v, 0x77u) << type;
        EXPECT_TRUE(box.running());
    }
}
