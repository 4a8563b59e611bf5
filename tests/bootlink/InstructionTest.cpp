// Boot-ROM instructions against the virtual STB.
#include "BootRom.h"
#include "LineTestSupport.h"

using namespace bootlink;

namespace {
stbsim::Options dogwood()
{
    stbsim::Options o;
    o.platform = 2;
    o.flash_size = 1 << 20;
    return o;
}
}  // namespace

class Instructions : public LineTest {};

TEST_F(Instructions, ReadAssemblesRepliesThatComeInPieces)
{
    open(dogwood());
    ASSERT_TRUE(reset_and_sync());
    box->poke(0xBFD70200, 0x11223344);
    uint32_t v = 0;
    ASSERT_EQ(1, addr_read(0xBFD70200, &v, ctx));
    EXPECT_EQ(0x11223344u, v);
    int n = 0;
    for (const char* pieces : {"1+3", "2+2", "1+1+1+1"}) {
        box->poke(0xBFD70204, 0xCAFE0000u + uint32_t(++n));
        ASSERT_TRUE(box->add_fault(std::string("split:every=1,pieces=") + pieces + ",gap=300"));
        v = 0;
        EXPECT_EQ(1, addr_read(0xBFD70204, &v, ctx)) << pieces;
        EXPECT_EQ(0xCAFE0000u + uint32_t(n), v) << pieces;
        box->clear_faults();
    }
    EXPECT_FALSE(log.has("Receiving Data failed"));
}

TEST_F(Instructions, AShortReplyFailsOnlyAtTheFifthEmptyRead)
{
    open(dogwood());
    ASSERT_TRUE(reset_and_sync());
    box->poke(0xBFD70208, 0x55667788);
    // Second half 3.5 s late: four empty reads, then it comes.
    ASSERT_TRUE(box->add_fault("split:every=1,pieces=2+2,gap=3500"));
    uint32_t v = 0;
    EXPECT_EQ(1, addr_read(0xBFD70208, &v, ctx));
    EXPECT_EQ(0x55667788u, v);
    box->clear_faults();
    // Second half 8 s late: the fifth empty read, about 6 s in, ends it.
    ASSERT_TRUE(box->add_fault("split:every=1,pieces=2+2,gap=8000"));
    int64_t t0 = now_ms();
    EXPECT_EQ(0, addr_read(0xBFD70208, &v, ctx));
    double s = since(t0);
    EXPECT_GE(s, 5.5);
    EXPECT_LT(s, 8.0);
    EXPECT_EQ(1, log.count("Receiving Data failed,please com\n"));
}

TEST_F(Instructions, ScriptsWriteAddressesAndSleepWithoutSending)
{
    open(dogwood());
    ASSERT_TRUE(reset_and_sync());
    RegisterList l;
    ASSERT_EQ(1, parse_register_list("#INIT_REGS#\nbfd70038=00f0000a\nsleep=12c\n0xBFD700A8=3\nnot_an_address=1\n",
                                     "#INIT_REGS#", &l));
    uint64_t writes0 = box->counters().word_writes;
    int64_t t0 = now_ms();
    EXPECT_EQ(1, run_register_script(l, ctx));
    EXPECT_GE(since(t0), 0.29);
    // Let the box take in the last bytes.
    uint32_t v = 0;
    ASSERT_EQ(1, addr_read(0xBFD70038, &v, ctx));
    EXPECT_EQ(0x00f0000au, v);
    EXPECT_EQ(3u, box->peek(0xBFD700A8));
    EXPECT_EQ(2u, box->counters().word_writes - writes0);
    EXPECT_TRUE(log.has("not_an_address"));
}

TEST_F(Instructions, ADmaThatNeverFinishesEndsAfterAboutASecond)
{
    open(dogwood());
    ASSERT_TRUE(reset_and_sync());
    box->set_dma_delay(-1);
    int64_t t0 = now_ms();
    dma_transfer(0xAAAAAAA0, 0xA5555550, ctx);
    double s = since(t0);
    EXPECT_GE(s, 0.99);
    EXPECT_LT(s, 2.5);
    EXPECT_GE(log.count("dma_transfer failed!\n"), 2);
    EXPECT_EQ(0x0AAAAAA0u, box->peek(0xBFD00054));
    EXPECT_EQ(0x05555550u, box->peek(0xBFD00058));
    EXPECT_EQ(0x00010080u, box->peek(0xBFD0005C));
}

TEST_F(Instructions, AClosedPortIsASendFailure)
{
    open(dogwood());
    ASSERT_TRUE(reset_and_sync());
    serialport_config_tag cfg;
    int count = 0;
    std::vector<serialport_info_tag> info;
    svc.SMS_GetCurSvcParam(&count, &info, &cfg);
    svc.SMS_ClosePort(cfg.port_index);
    uint32_t v = 0;
    EXPECT_EQ(0, addr_read(0xA0000000, &v, ctx));
    EXPECT_EQ(0, write(0xA0000000, 1, ctx));
    EXPECT_TRUE(log.has("addr_read:send_instruct erro \n"));
    EXPECT_TRUE(log.has("write:send_instruct error\n"));
}
