// The boot ROM, the DDR and DMA model and the program loads, driven by hand.
#include "HostHarness.h"
#include "StbSim.h"
#include "WaitUntil.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>

using harness::Bytes;
using harness::Host;

namespace {

stbsim::Options quick(int platform)
{
    stbsim::Options o;
    o.platform = platform;
    o.flash_size = 256 * 1024;
    o.burn_ms = 0;
    o.announce_ms = 20;
    o.client_ready_ms = 0;  // the raw exchanges here talk at once
    o.burn_ready_ms = 0;
    o.cedar_ready_period_ms = 20;
    o.alder_ready_delay_ms = 100;
    o.alder_ready_period_ms = 1500;
    o.ack_timeout_ms = 3000;
    return o;
}

struct Rig {
    explicit Rig(stbsim::Options o, int baud = 115200) : box(std::move(o))
    {
        std::string err;
        started = box.start(&err);
        EXPECT_TRUE(started) << err;
        host = std::make_unique<Host>(box.port_path(), baud);
        EXPECT_TRUE(host->ok());
    }
    // Reset, take the sync byte, talk once (a harmless write) and let the
    // announcements that crossed it go by.
    bool sync()
    {
        box.reset();
        if (!host->wait_for('R', 3000))
            return false;
        host->write_word(0xA0F00000, 0);
        host->recv_quiet(80);
        return true;
    }
    stbsim::Simulator box;
    bool started = false;
    std::unique_ptr<Host> host;
};

// Header the host puts ahead of a client for project types 0 and 2 to 5.
Bytes client_header(uint32_t len, uint32_t addr)
{
    Bytes h;
    harness::put32(h, len);
    harness::put32(h, addr);
    harness::put32(h, addr);
    return h;
}

Bytes client_image() { return harness::standin(0x10, "test upgrade client"); }

bool client_answers(Host& h)
{
    h.recv_quiet(50);
    const std::string banner = "KESTREL P2P UPG";
    h.send(harness::command('P', Bytes(banner.begin(), banner.end())));
    Bytes r = h.recv(17, 2000);
    return r == Bytes{'O', 'O', 'K', 'E', 'S', 'T', 'R', 'E', 'L', ' ', 'P', '2', 'P', ' ', 'U', 'P', 'G'};
}

// Calibrated values for the default window of range 2: rising latch, delay 17, read-add 4.
void program_ddr(Host& h, uint32_t delay, uint32_t read_add)
{
    h.write_word(0xBFD700A4, 0x33000000);
    h.write_word(0xBFD70038, read_add << 16);
    h.write_word(0xBFD70050, delay << 16);
}

}  // namespace

TEST(StbsimBootRom, AnnouncesAfterResetUntilTheHostTalks)
{
    Rig rig(quick(0));
    EXPECT_EQ(rig.box.program(), "idle");
    EXPECT_TRUE(rig.host->recv(1, 200).empty()) << "a box nobody reset stays quiet";
    rig.box.reset();
    Bytes r = rig.host->recv(3, 2000);
    EXPECT_EQ(r, (Bytes{'R', 'R', 'R'}));
    rig.host->write_word(0xA0000000, 1);
    rig.host->recv_quiet(60);
    EXPECT_TRUE(rig.host->recv(1, 200).empty()) << "announcements go on after the host talked";
    EXPECT_EQ(rig.box.counters().resets, 1u);
}

TEST(StbsimBootRom, WriteThenReadBackAWordAndRegisters)
{
    Rig rig(quick(0));
    ASSERT_TRUE(rig.sync());
    Host& h = *rig.host;
    uint32_t v = 0;
    h.write_word(0xBFD70014, 1);
    ASSERT_TRUE(h.read_word(0xBFD70014, &v));
    EXPECT_EQ(v, 1u);
    EXPECT_EQ(rig.box.peek(0xBFD70014), 1u);
    // The strap register is read-only and configurable.
    rig.box.set_strap(0x0A);
    h.write_word(0xBFEDC024, 0);
    ASSERT_TRUE(h.read_word(0xBFEDC024, &v));
    EXPECT_EQ(v, 0x0Au);
    // Calibration status: done bits and the value in bits 16-21 once started.
    ASSERT_TRUE(h.read_word(0xBFD70044, &v));
    EXPECT_EQ(v & 0x11, 0u);
    h.write_word(0xBFD70040, 0x03010020);
    ASSERT_TRUE(h.read_word(0xBFD70044, &v));
    EXPECT_EQ(v, 0x00120011u);
    h.write_word(0xBFD70048, 0x13010010);
    ASSERT_TRUE(h.read_word(0xBFD7004C, &v));
    EXPECT_EQ(v, 0x00050011u);
    // Setting bit 8 afterwards is not a new start; the status stays.
    h.write_word(0xBFD70048, 0x13010110);
    ASSERT_TRUE(h.read_word(0xBFD70048, &v));
    EXPECT_EQ(v, 0x13010110u);
}

TEST(StbsimBootRom, CalibrationThatNeverFinishes)
{
    auto o = quick(0);
    o.clock_cal_ok = false;
    o.dll_ok = false;
    Rig rig(o);
    ASSERT_TRUE(rig.sync());
    uint32_t v = 1;
    rig.host->write_word(0xBFD70040, 0x03010020);
    rig.host->write_word(0xBFD70048, 0x13010010);
    ASSERT_TRUE(rig.host->read_word(0xBFD70044, &v));
    EXPECT_EQ(v & 0x11, 0u);
    ASSERT_TRUE(rig.host->read_word(0xBFD7004C, &v));
    EXPECT_EQ(v & 0x11, 0u);
}

TEST(StbsimBootRom, DdrReadsBackOnlyInsideTheCalibratedWindow)
{
    Rig rig(quick(2));
    ASSERT_TRUE(rig.sync());
    Host& h = *rig.host;
    uint32_t v = 0;
    h.write_word(0xA0000100, 0x5555AAAA);
    ASSERT_TRUE(h.read_word(0xA0000100, &v));
    EXPECT_NE(v & 0xFFFF, 0xAAAAu) << "uncalibrated DDR must not read back in the low lane";
    EXPECT_NE(v & 0xFFFF0000, 0x55550000u) << "nor in the high lane";
    EXPECT_FALSE(rig.box.ddr_ok());

    for (uint32_t delay : {10u, 17u, 25u}) {
        program_ddr(h, delay, 4);
        ASSERT_TRUE(h.read_word(0xA0000100, &v));
        EXPECT_EQ(v, 0x5555AAAAu) << "delay " << delay;
    }
    EXPECT_TRUE(rig.box.ddr_ok());
    EXPECT_EQ((rig.box.peek(0xBFD70050) >> 16) & 0x3F, 25u);
    for (auto [delay, rd] : {std::pair{9u, 4u}, {26u, 4u}, {17u, 5u}}) {
        program_ddr(h, delay, rd);
        ASSERT_TRUE(h.read_word(0xA0000100, &v));
        EXPECT_NE(v, 0x5555AAAAu) << "delay " << delay << " read-add " << rd;
    }
    // Range 0 (neither latch): its own window and read-add value.
    h.write_word(0xBFD700A4, 0);
    h.write_word(0xBFD70038, 3u << 16);
    h.write_word(0xBFD70050, 5u << 16);
    ASSERT_TRUE(h.read_word(0xA0000100, &v));
    EXPECT_EQ(v, 0x5555AAAAu);
    // A window set to nothing never passes.
    rig.box.set_ddr_window(0, {});
    ASSERT_TRUE(h.read_word(0xA0000100, &v));
    EXPECT_NE(v, 0x5555AAAAu);
}

TEST(StbsimBootRom, DmaCopiesAndClearsItsBusyBitAfterTheDelay)
{
    auto o = quick(2);
    o.dma_delay_ms = 150;
    Rig rig(o);
    ASSERT_TRUE(rig.sync());
    Host& h = *rig.host;
    program_ddr(h, 17, 4);
    for (uint32_t i = 0; i < 32; ++i)
        h.write_word(0xAAAAAAA0 + 4 * i, 0x1000 + i);
    h.write_word(0xBFD00054, 0xAAAAAAA0 & 0x0FFFFFFF);
    h.write_word(0xBFD00058, 0xA5555550 & 0x0FFFFFFF);
    h.write_word(0xBFD0005C, 0x00010080);
    h.write_word(0xBFD00064, 2);
    uint32_t v = 0;
    ASSERT_TRUE(h.read_word(0xBFD00064, &v));
    EXPECT_TRUE(v & 0x80000000u) << "busy right after the start";
    testsupport::wait_until([&] { return h.read_word(0xBFD00064, &v) && !(v & 0x80000000u); }, 10000);
    ASSERT_TRUE(h.read_word(0xBFD00064, &v));
    EXPECT_FALSE(v & 0x80000000u);
    for (uint32_t i = 0; i < 32; ++i) {
        ASSERT_TRUE(h.read_word(0xA5555550 + 4 * i, &v));
        EXPECT_EQ(v, 0x1000 + i);
    }
    // 0x80 bytes and no more.
    EXPECT_NE(rig.box.peek(0xA5555550 + 0x80), 0x1000u + 32);
    EXPECT_EQ(rig.box.counters().dma_starts, 1u);

    rig.box.set_dma_delay(-1);
    h.write_word(0xBFD00064, 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(h.read_word(0xBFD00064, &v));
    EXPECT_TRUE(v & 0x80000000u) << "a DMA told never to finish stays busy";
}

TEST(StbsimBootRom, ReadAnsweredInPiecesAndDroppedReads)
{
    Rig rig(quick(0));
    ASSERT_TRUE(rig.box.add_fault("split:read=1,pieces=1+3,gap=150"));
    ASSERT_TRUE(rig.box.add_fault("drop:read=2"));
    ASSERT_TRUE(rig.sync());
    Host& h = *rig.host;
    h.write_word(0xBFD70014, 0x11223344);
    Bytes f = {'#', 0x04};
    harness::put32(f, 0xBFD70014);
    h.send(f);
    Bytes first = h.recv(4, 100);
    EXPECT_EQ(first, (Bytes{0x44})) << "one byte first, the rest after the gap";
    Bytes rest = h.recv(3, 1000);
    EXPECT_EQ(rest, (Bytes{0x33, 0x22, 0x11}));
    uint32_t v;
    EXPECT_FALSE(h.read_word(0xBFD70014, &v, 300)) << "the second read goes unanswered";
    ASSERT_TRUE(h.read_word(0xBFD70014, &v));
    EXPECT_EQ(v, 0x11223344u);
    EXPECT_EQ(rig.box.counters().faults_fired, 2u);
}

TEST(StbsimBootRom, BytesAtTheWrongRateAreLineNoise)
{
    // Project type 1 talks at 38400 Bd until its boot init runs.
    Rig rig(quick(1), 115200);
    rig.box.reset();
    Bytes seen = rig.host->recv(4, 1000);
    ASSERT_FALSE(seen.empty());
    for (uint8_t b : seen)
        EXPECT_NE(b, 'R') << "an announcement at 38400 Bd cannot be read at 115200 Bd";
    uint32_t v;
    rig.host->read_word(0xBFD70014, &v, 300);
    EXPECT_EQ(rig.box.counters().word_reads, 0u) << "an instruction at the wrong rate is not understood";
    EXPECT_GT(rig.box.counters().noise_bytes, 0u);
    EXPECT_EQ(rig.box.baud(), 38400);
    EXPECT_EQ(rig.box.program(), "boot-rom");
    rig.host->set_baud(38400);
    EXPECT_TRUE(rig.host->wait_for('R', 1000)) << "noise does not stop the announcements";
}

TEST(StbsimLoad, OnePieceClientForProjectType0)
{
    Rig rig(quick(0));
    ASSERT_TRUE(rig.sync());
    Bytes img = client_image();
    Bytes load = client_header(static_cast<uint32_t>(img.size()), 0);
    load.insert(load.end(), img.begin(), img.end());
    rig.host->send(load);
    ASSERT_TRUE(rig.box.wait_for_program("upgrade-client", 2000));
    EXPECT_TRUE(rig.host->recv(1, 200).empty()) << "a loaded client keeps quiet until asked";
    EXPECT_TRUE(client_answers(*rig.host));
}

TEST(StbsimLoad, WrongClientHeaderIsRefused)
{
    Rig rig(quick(0));
    ASSERT_TRUE(rig.sync());
    Bytes img = client_image();
    Bytes load = client_header(static_cast<uint32_t>(img.size()), 0x80008000);  // the Dogwood header
    load.insert(load.end(), img.begin(), img.end());
    rig.host->send(load);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(rig.box.program(), "boot-rom");
    uint32_t v;
    rig.host->write_word(0xA0000010, 7);
    ASSERT_TRUE(rig.host->read_word(0xA0000010, &v)) << "the boot ROM still answers";
    EXPECT_EQ(v, 7u);
}

TEST(StbsimLoad, DogwoodClientRunsOnlyInWorkingDdr)
{
    Bytes img = client_image();
    Bytes load = client_header(static_cast<uint32_t>(img.size()), 0x80008000);
    load.insert(load.end(), img.begin(), img.end());
    {
        Rig rig(quick(2));
        ASSERT_TRUE(rig.sync());
        rig.host->send(load);
        ASSERT_TRUE(rig.box.wait_for_program("crashed", 2000));
        EXPECT_FALSE(client_answers(*rig.host));
    }
    {
        Rig rig(quick(3));
        ASSERT_TRUE(rig.sync());
        program_ddr(*rig.host, 17, 4);
        rig.host->send(load);
        ASSERT_TRUE(rig.box.wait_for_program("upgrade-client", 2000));
        EXPECT_TRUE(client_answers(*rig.host));
    }
}

TEST(StbsimLoad, ElmCacheCalibrationThenClient)
{
    Rig rig(quick(4));
    ASSERT_TRUE(rig.sync());
    rig.host->send(harness::standin(3, "cache calibration"));
    Bytes got = rig.host->recv(40, 2000);
    std::string s(got.begin(), got.end());
    EXPECT_NE(s.find("SEND_UPG"), std::string::npos) << s;
    EXPECT_TRUE(rig.box.ddr_ok());
    Bytes img = client_image();
    Bytes load = client_header(static_cast<uint32_t>(img.size()), 0x80008000);
    load.insert(load.end(), img.begin(), img.end());
    rig.host->send(load);
    ASSERT_TRUE(rig.box.wait_for_program("upgrade-client", 2000));
    rig.host->recv_quiet(100);
    EXPECT_TRUE(client_answers(*rig.host));
}

TEST(StbsimLoad, CedarBootInitSwitchesTo115200ThenTakesTheClient)
{
    Rig rig(quick(6), 38400);
    rig.box.reset();
    ASSERT_TRUE(rig.host->wait_for('R', 2000));
    rig.host->send(Bytes{0x00});
    rig.host->send(harness::standin(2, "Cedar DDR2 boot init"));
    ASSERT_TRUE(rig.box.wait_for_program("cedar-init", 2000));
    EXPECT_EQ(rig.box.baud(), 115200);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    rig.host->set_baud(115200);
    rig.host->recv_quiet(10, 60);  // what crossed the switch is noise
    Bytes got = rig.host->recv(30, 1000);
    std::string s(got.begin(), got.end());
    EXPECT_NE(s.find("SEND_UPG"), std::string::npos) << s;

    // 512 bytes: the length begins with a 0x00, which is no wake byte now.
    Bytes img = harness::standin(0x10, std::string(512 - 20, 'c'));
    Bytes load;
    harness::put32(load, static_cast<uint32_t>(img.size()));
    harness::put32(load, 0x80100000);
    harness::put32(load, 0x80100000);
    harness::put32(load, static_cast<uint32_t>(img.size()));
    load.insert(load.end(), img.begin(), img.end());
    rig.host->send(load);
    ASSERT_TRUE(rig.box.wait_for_program("upgrade-client", 2000));
    rig.host->recv_quiet(100);
    EXPECT_TRUE(client_answers(*rig.host));
}

TEST(StbsimLoad, AlderBootInitHandshakeAndBlockwiseClient)
{
    auto o = quick(1);
    o.faults = {"crc:block=2"};
    Rig rig(o, 38400);
    Host& h = *rig.host;
    rig.box.reset();
    ASSERT_TRUE(h.wait_for('R', 2000));
    h.recv(1, 50);  // the host drops one byte before the header
    // A byte that does not begin the header is answered with 'R': start again.
    h.send(Bytes{'X'});
    EXPECT_EQ(h.recv(1, 300), (Bytes{'R'}));
    Bytes init = harness::standin(1, "Alder boot init");
    for (size_t i = 0; i < 20; ++i) {
        h.send(&init[i], 1);
        ASSERT_EQ(h.recv(1, 300), (Bytes{'.'})) << "header byte " << i;
    }
    Bytes tail;
    for (size_t i = 20; i < init.size(); ++i) {
        h.send(&init[i], 1);
        Bytes a = h.recv(1, 300);
        ASSERT_EQ(a, (Bytes{'.'})) << "image byte " << i;
    }
    EXPECT_EQ(h.recv(1, 300), (Bytes{'"'}));
    h.set_baud(115200);
    ASSERT_TRUE(rig.box.wait_for_program("alder-init", 1000));
    ASSERT_TRUE(h.wait_for('R', 2000)) << "the init image announces itself at 115200 Bd";
    Bytes ready = h.recv_quiet(700, 3000);
    EXPECT_EQ(std::string(ready.begin(), ready.end()), "bootinit_ready");

    // Block-wise client: block numbers count down, the reply is the next number.
    Bytes img = harness::standin(0x10, std::string(300, 'c'));  // 320 bytes: 3 blocks
    uint16_t n = static_cast<uint16_t>((img.size() + 127) / 128);
    size_t off = 0;
    int resent = 0;
    while (n > 0) {
        size_t len = std::min<size_t>(128, img.size() - off);
        Bytes f = {'#', static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(len)};
        uint8_t x = 0;
        for (size_t i = 0; i < len; ++i) {
            f.push_back(img[off + i]);
            x ^= img[off + i];
        }
        f.push_back(x);
        h.send(f);
        Bytes r = h.recv(2, 1000);
        ASSERT_EQ(r.size(), 2u);
        uint16_t got = static_cast<uint16_t>(r[0] | (r[1] << 8));
        if (got != n - 1) {
            ASSERT_LT(++resent, 3);
            continue;
        }
        off += len;
        --n;
    }
    EXPECT_EQ(resent, 1) << "the XOR fault on the second block asks for it again";
    ASSERT_TRUE(rig.box.wait_for_program("upgrade-client", 2000));
    EXPECT_TRUE(client_answers(h));
    EXPECT_EQ(rig.box.counters().alder_blocks, 4u);
}

TEST(StbsimLoad, AlderRawClientCarriesItsOwnHeader)
{
    auto o = quick(1);
    o.alder_ready_delay_ms = 20;
    if (getenv("STBSIM_TRACE"))
        o.trace = true;
    Rig rig(o, 38400);
    Host& h = *rig.host;
    rig.box.reset();
    ASSERT_TRUE(h.wait_for('R', 2000));
    Bytes init = harness::standin(1, "Alder boot init");
    h.send(init);  // the box does not need the bytes one at a time
    size_t dots = 0;
    bool quote = false;
    for (Bytes b; !quote && !(b = h.recv(1, 1000)).empty();) {
        dots += b[0] == '.';
        quote = b[0] == '"';
    }
    EXPECT_TRUE(quote);
    EXPECT_EQ(dots, init.size()) << "one '.' for every byte kept";
    h.set_baud(115200);
    ASSERT_TRUE(h.wait_for('R', 2000));
    h.recv_quiet(700, 3000);
    h.send(client_image());
    ASSERT_TRUE(rig.box.wait_for_program("upgrade-client", 2000));
    EXPECT_TRUE(client_answers(h));
}

TEST(StbsimLoad, ProgramWithoutStandinHeaderIsRefusedAsNoise)
{
    Rig rig(quick(0));
    ASSERT_TRUE(rig.sync());
    Bytes shell = harness::standin(4, "shell");
    shell[12] ^= 0xFF;  // CRC no longer matches
    rig.host->send(shell);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_EQ(rig.box.program(), "boot-rom");
    uint32_t v;
    rig.host->write_word(0xA0000020, 9);
    ASSERT_TRUE(rig.host->read_word(0xA0000020, &v));
    EXPECT_EQ(v, 9u);
}

TEST(StbsimLoad, AutoResetServesAWaitingHost)
{
    auto o = quick(0);
    o.auto_reset_ms = 150;
    Rig rig(o);
    EXPECT_TRUE(rig.host->wait_for('R', 2000)) << "quiet outside a session: the box resets itself";
    EXPECT_GE(rig.box.counters().resets, 1u);
}

TEST(StbsimBootRom, ScanOverClockDelaysFindsTheConfiguredWindow)
{
    Rig rig(quick(2));
    ASSERT_TRUE(rig.sync());
    Host& h = *rig.host;
    h.write_word(0xA0000200, 0x0000FFFF);
    // For each latch combination, the delays at which some read-add value reads back.
    int first[4] = {-1, -1, -1, -1}, last[4] = {-1, -1, -1, -1}, read_add[4] = {0, 0, 0, 0};
    for (int range = 0; range < 4; ++range) {
        bool rising = range >> 1, negative = range & 1;
        h.write_word(0xBFD700A4, rising ? 0x33330000 : 0x00330000);
        for (uint32_t t = 0; t < 32; ++t) {
            h.write_word(0xBFD70050, t << 16);
            for (uint32_t a = 2; a <= 7; ++a) {
                h.write_word(0xBFD70038, (a << 16) | (negative ? 0xF00u : 0u));
                uint32_t v = 0;
                ASSERT_TRUE(h.read_word(0xA0000200, &v));
                if (v == 0x0000FFFF) {
                    if (first[range] < 0)
                        first[range] = static_cast<int>(t);
                    last[range] = static_cast<int>(t);
                    read_add[range] = static_cast<int>(a);
                    break;
                }
            }
        }
    }
    EXPECT_EQ(first[0], 3);
    EXPECT_EQ(last[0], 8);
    EXPECT_EQ(read_add[0], 3);
    EXPECT_EQ(first[1], 5);
    EXPECT_EQ(last[1], 12);
    EXPECT_EQ(first[2], 10);
    EXPECT_EQ(last[2], 25);
    EXPECT_EQ(read_add[2], 4);
    EXPECT_EQ(first[3], -1) << "range 3 never passes by default";
}

TEST(StbsimBootRom, HostMayCloseAndReopenThePort)
{
    Rig rig(quick(0));
    ASSERT_TRUE(rig.sync());
    rig.host.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    rig.host = std::make_unique<Host>(rig.box.port_path());
    uint32_t v = 0;
    rig.host->write_word(0xA0000040, 0x1234);
    ASSERT_TRUE(rig.host->read_word(0xA0000040, &v));
    EXPECT_EQ(v, 0x1234u);
    EXPECT_TRUE(rig.box.running());
}

TEST(StbsimBootRom, AbandonedSessionResetsAfterItsQuietTime)
{
    auto o = quick(0);
    o.auto_reset_ms = 100;
    o.session_quiet_ms = 400;
    Rig rig(o);
    ASSERT_TRUE(rig.host->wait_for('R', 2000));
    rig.host->write_word(0xA0000000, 1);  // the host talks: a session begins
    rig.host->recv_quiet(60);
    EXPECT_TRUE(rig.host->recv(1, 250).empty()) << "inside a session the short quiet does not reset";
    EXPECT_TRUE(rig.host->wait_for('R', 2000)) << "the abandoned session ends in a reset";
    EXPECT_GE(rig.box.counters().resets, 2u);
}

TEST(StbsimBootRom, TraceShowsWhatTheBoxSawAndDid)
{
    auto o = quick(0);
    auto lines = std::make_shared<std::vector<std::string>>();
    auto m = std::make_shared<std::mutex>();
    o.trace = true;
    o.trace_sink = [lines, m](const std::string& l) {
        std::lock_guard<std::mutex> g(*m);
        lines->push_back(l);
    };
    Rig rig(o);
    ASSERT_TRUE(rig.sync());
    uint32_t v;
    rig.host->write_word(0xBFD70014, 5);
    ASSERT_TRUE(rig.host->read_word(0xBFD70014, &v));
    rig.box.stop();
    std::string all;
    for (const auto& l : *lines)
        all += l + "\n";
    EXPECT_NE(all.find("reset"), std::string::npos) << all;
    EXPECT_NE(all.find("write 0xBFD70014 := 0x00000005"), std::string::npos) << all;
    EXPECT_NE(all.find("read 0xBFD70014 -> 0x00000005"), std::string::npos) << all;
    EXPECT_NE(all.find("23 04 14 00 d7 bf"), std::string::npos) << all;
    EXPECT_NE(all.find("tx 05 00 00 00"), std::string::npos) << all;
}

TEST(StbsimBootRom, PlaysTheBoxOnASerialDevice)
{
    // A pseudo-terminal pair stands in for a null-modem cable: the box opens
    // the slave as its device, the host talks on the master.
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    termios t{};
    tcgetattr(master, &t);
    cfmakeraw(&t);
    tcsetattr(master, TCSANOW, &t);
    auto o = quick(0);
    o.device = ::ptsname(master);
    stbsim::Simulator box(o);
    std::string err;
    ASSERT_TRUE(box.start(&err)) << err;
    EXPECT_EQ(box.port_path(), o.device);
    box.reset();
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    bool sync = false;
    while (!sync && std::chrono::steady_clock::now() < end) {
        uint8_t c;
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 50) > 0 && ::read(master, &c, 1) == 1)
            sync = c == 'R';
    }
    EXPECT_TRUE(sync);
    box.stop();
    ::close(master);
}

TEST(StbsimBootRom, AnnouncementsMayBeBounded)
{
    auto o = quick(0);
    o.announce_limit_ms = 200;
    Rig rig(o);
    rig.box.reset();
    ASSERT_TRUE(rig.host->wait_for('R', 1000));
    ASSERT_TRUE(rig.box.wait_for_program("idle", 2000));
    rig.host->recv_quiet(60);
    EXPECT_TRUE(rig.host->recv(1, 200).empty()) << "the box booted its firmware and fell quiet";
}

bool harness_set_custom_rate(int fd, int baud);

TEST(StbsimBootRom, RatesSetOutsideTheStandardListAreSeen)
{
    Rig rig(quick(0));
    ASSERT_TRUE(harness_set_custom_rate(rig.host->fd, 114000));  // within a UART's tolerance of 115200
    ASSERT_TRUE(rig.sync());
    uint32_t v = 0;
    rig.host->write_word(0xA0000300, 42);
    ASSERT_TRUE(rig.host->read_word(0xA0000300, &v));
    EXPECT_EQ(v, 42u);
    ASSERT_TRUE(harness_set_custom_rate(rig.host->fd, 56000));
    uint64_t before = rig.box.counters().word_reads;
    rig.host->read_word(0xA0000300, &v, 300);
    EXPECT_EQ(rig.box.counters().word_reads, before) << "56000 Bd against 115200 Bd is noise";
    EXPECT_GT(rig.box.counters().noise_bytes, 0u);
}
