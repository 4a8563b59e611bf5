#include "BlockClient.h"

#include "ByteOrder.h"
#include "KvBasicLog.h"
#include "UpgClient.h"
#include "kvcrc.h"

#include <algorithm>
#include <cstring>

namespace sectorsmith {

namespace {

#define LOG(...) BL_LOG(kSrc, __VA_ARGS__)
#define FAIL(...) BL_FAIL(ctx, kSrc, __VA_ARGS__)

int cancelled(bootlink::JobContext& ctx, int line, const char* msg)
{
    ctx.progress(0);
    ctx.status("");
    ctx.reset_cancel();
    return bootlink::fail_at(ctx, kSrc, line, bootlink::Outcome::Cancelled, "%s", msg);
}

// Reads one reply byte; true when it came and is `want`.
bool reply_byte(bootlink::JobContext& ctx, uint8_t want, int timeout_ms, bootlink::WireStats* st = nullptr)
{
    uint8_t b = 0;
    uint32_t got = 0;
    bootlink::line_recv(ctx, &b, 1, &got, timeout_ms, st);
    return got == 1 && b == want;
}

bool reply_oo(bootlink::JobContext& ctx, int first_ms, int second_ms, bootlink::WireStats* st = nullptr)
{
    return reply_byte(ctx, 'O', first_ms, st) && reply_byte(ctx, 'O', second_ms, st);
}

// One slave-info exchange. 1 the record passed its CRC, -1 try again,
// 0 refused for good.
int slave_info_once(bootlink::JobContext& ctx, const ClientTraits& t, std::vector<uint8_t>& rec)
{
    const uint8_t c = 'C';
    std::vector<uint8_t> frame = bootlink::build_command_frame('Q', &c, 1);
    if (!bootlink::line_send(ctx, frame.data(), frame.size(), 1000) || !reply_oo(ctx, 2000, 2000))
        return -1;
    uint8_t l4[4] = {};
    if (bootlink::line_collect(ctx, l4, 4, bootlink::ReadPlan{1000, 1000, 1}) != 4)
        return -1;
    const uint32_t len = kv::get_le32(l4);
    if (len > kSlaveInfoMax) {
        // Never read into the record past its end, nor hold what a
        // hostile length asks for.
        bootlink::line_drain(ctx, 512, 300);
        FAIL("(block upg)Slave info of %u bytes is larger than the %zu bytes of the record, can not upgrade\n", len,
             kSlaveInfoMax);
        return 0;
    }
    if (t.slow_slave_info)
        ctx.pause(2000);
    rec.assign(len + 4, 0);
    if (bootlink::line_collect(ctx, rec.data(), rec.size(), bootlink::ReadPlan{1000, 1000, 1}) != rec.size())
        return -1;
    if (kv::crc32(rec.data(), len) != kv::get_le32(rec.data() + len)) {
        LOG("(block upg)Get Slave Info Error,  CRC error!\n");
        return -1;
    }
    rec.resize(len);
    return 1;
}

}  // namespace

int block_client_test(bootlink::JobContext& ctx)
{
    LOG("(block upg)Start to check serial...\n");
    bootlink::line_drain(ctx, 512, 3000);
    const uint8_t* banner = reinterpret_cast<const uint8_t*>(bootlink::kClientBanner);
    std::vector<uint8_t> frame = bootlink::build_command_frame('P', banner, 15);
    if (!bootlink::command_until_oo(ctx, frame))
        return FAIL("(block upg)!! UpgClientTest FAIL: RSP error!!\n");
    uint8_t b[15] = {};
    if (bootlink::line_collect(ctx, b, 15, bootlink::ReadPlan{1000, 1000, 5, true}) != 15)
        return FAIL("(block upg)!! UpgClientTest FAIL: Receive failed !!\n");
    if (std::memcmp(b, bootlink::kClientBanner, 15) != 0)
        return FAIL("(block upg)!! UpgClientTest FAIL!!\n");
    LOG("(block upg)!! UpgClientTest SUCCESS!!\n");
    return 1;
}

int get_slave_info(bootlink::JobContext& ctx, const ClientTraits& t, SlaveInfo* out)
{
    std::vector<uint8_t> rec;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (ctx.cancelled())
            return cancelled(ctx, __LINE__, "BLOCK UPG Canceled by user!\n");
        if (attempt > 0)
            bootlink::line_drain(ctx, 256, 300);  // what is left of a broken reply
        int r = slave_info_once(ctx, t, rec);
        if (r == 0)
            return 0;
        if (r < 0)
            continue;
        std::string why;
        if (!parse_slave_info(rec.data(), rec.size(), out, &why))
            return FAIL("(block upg)Get Slave Info ERROR: %s, can not upgrade\n", why.c_str());
        LOG("(block upg)Get Slave Info OK!\n");
        return 1;
    }
    return FAIL("(block upg)Get Slave Info ERROR!\n");
}

int block_prepare(bootlink::JobContext& ctx, const ClientTraits& t, uint8_t id, uint32_t length)
{
    std::vector<uint8_t> payload{0x01, id};
    kv::append_le32(payload, length);
    std::vector<uint8_t> frame = bootlink::build_command_frame('R', payload);
    const bool whole = id == 0xFF;
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (ctx.cancelled())
            return cancelled(ctx, __LINE__, "BLOCK UPG Canceled by user!\n");
        bootlink::line_drain(ctx, 512, 1000);
        if (!bootlink::line_send(ctx, frame.data(), frame.size(), 1000))
            continue;
        if (whole)
            ctx.pause(1000);
        if (reply_oo(ctx, 1000, whole || !t.slow_slave_info ? 1000 : 2000))
            return 1;
    }
    return FAIL("(block upg)The client did not take the prepare command\n");
}

namespace {

using bootlink::FrameReply;

// One attempt at a data packet: send, read the 3-byte reply. This client's
// packets are never given up on before their fourth try.
FrameReply send_packet(bootlink::JobContext& ctx, const std::vector<uint8_t>& frame, uint16_t seq)
{
    bootlink::WireStats& st = ctx.transfer;
    if (!bootlink::line_send(ctx, frame.data(), frame.size(), 2000, &st))
        return FrameReply::Again;
    uint8_t r[3] = {0, 0, 0};
    uint32_t got = 0;
    bootlink::line_recv(ctx, r, 3, &got, 3000, &st);
    if (got < 3)
        return FrameReply::Again;
    if (r[0] == 'O') {
        if (kv::get_be16(r + 1) >= seq)
            return FrameReply::Accepted;
        LOG("(block upg)TRANSFER: SEQ ERROR, RETRY ... \n");
    } else if (r[0] == 'E') {
        LOG("(block upg)TRANSFER: RSP ERROR, RETRY ... \n");
        bootlink::line_drain(ctx, 512, 100, 2000, &st);  // the rest of the error reply
    } else {
        bootlink::line_drain(ctx, 512, 100, 2000, &st);
    }
    return FrameReply::Again;
}

int transfer_header(bootlink::JobContext& ctx, uint8_t id, uint8_t kind, uint32_t len)
{
    std::vector<uint8_t> payload{id, kind};
    kv::append_le32(payload, len);
    std::vector<uint8_t> frame = bootlink::build_command_frame('S', payload);
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (ctx.cancelled())
            return cancelled(ctx, __LINE__, "BLOCK UPG Canceled by user, while transfering\n");
        bootlink::line_drain(ctx, 512, 1000, 20000, &ctx.transfer);
        if (bootlink::line_send(ctx, frame.data(), frame.size(), 1000, &ctx.transfer) &&
            reply_oo(ctx, 1000, 1000, &ctx.transfer))
            return 1;
    }
    return FAIL("(block upg)The client did not take the transfer header\n");
}

}  // namespace

int block_transfer(bootlink::JobContext& ctx, uint8_t id, uint8_t kind, const uint8_t* data, size_t len)
{
    ctx.transfer = bootlink::WireStats{};
    const int64_t t0 = bootlink::now_ms();
    struct Timer {
        bootlink::JobContext& c;
        int64_t t0;
        ~Timer() { c.transfer.seconds = double(bootlink::now_ms() - t0) / 1000.0; }
    } timer{ctx, t0};
    bootlink::WireStats& st = ctx.transfer;
    if ((len + bootlink::kDataFrameBytes - 1) / bootlink::kDataFrameBytes > bootlink::kMaxTransferFrames)
        return FAIL("(block upg)The data is larger than one transfer can carry (64 MiB)\n");
    LOG("\n(block upg)Prepare to download...\n");
    if (!transfer_header(ctx, id, kind, uint32_t(len)))
        return 0;
    LOG("\n(block upg)Start to download...\n");
    bootlink::line_drain(ctx, 512, 500, 20000, &st);
    ctx.pause(500);
    static const bootlink::FrameLoop loop{kSrc,
                                          "BLOCK UPG Canceled by user, while transfering\n",
                                          "(block upg)TRANSFER: packet %zu was not accepted after 4 tries\n",
                                          send_packet,
                                          200,
                                          true};
    if (!bootlink::send_frames(ctx, data, len, loop))
        return 0;
    LOG("\n(block upg)End downloading\n");
    return 1;
}

namespace {

// The burn progress as this tool reads it: 'B' and a percentage, 'F' at the
// end; every other byte is ignored ('E' too: this client's progress carries
// no failure report, a failed burn falls silent and times out).
//
// The percentage 70 is the byte 'F', so an 'F' ends the burn only when it
// cannot be a percentage out of place. It can when a 'B' came before it:
// a 'B' whose percentage is still owed makes the next byte that percentage,
// a lost 'B' leaves its percentage standing alone, and a garbled 'B' has its
// percentage right behind it. An 'F' ends the burn when
//   - no 'B' came at all (a small block burnt without a report), or
//   - no progress follows it: the line stays quiet behind it (below 70 %
//     for longer than the progress has paused so far), or what follows is
//     the client's console text, not a percentage nor a 'B' with one.
class BlockBurn : public bootlink::BurnWatch {
public:
    explicit BlockBurn(bootlink::JobContext& ctx) : BurnWatch(ctx, kSrc, "(block upg)", "") {}
    // Reads the next byte (one put back first); -1 when none came in time.
    int next(int timeout_ms) override;
    // Takes one byte: 1 when it ends the burn, -1 go on.
    int take(uint8_t b) override { return ends_burn(b) ? 1 : -1; }

private:
    bool ends_burn(uint8_t b);
    bool progress_follows();
    bool percentage_after(uint8_t b);
    int settle_ms() const;

    bool m_saw_b = false;
    bool m_owed = false;  // a 'B' came, its percentage not yet
    int m_back = -1;  // a byte read ahead
};

int BlockBurn::next(int timeout_ms)
{
    if (m_back >= 0) {
        const int b = m_back;
        m_back = -1;
        return b;
    }
    return BurnWatch::next(timeout_ms);
}

// Behind an 'F' at 70 % or less it may be the percentage of a lost 'B': the
// next report is awaited for twice the longest pause so far.
int BlockBurn::settle_ms() const
{
    constexpr int kSettleMs = 100;
    if (m_pct > 'F')
        return kSettleMs;
    return int(std::clamp<int64_t>(2 * m_longest_gap, kSettleMs, 20000));
}

// A byte that came right behind an 'F': a percentage not below the last
// one, followed by quiet or by more progress (a 'B', an 'F', a higher
// percentage), is the percentage of a garbled 'B'.
bool BlockBurn::percentage_after(uint8_t b)
{
    if (b > 100 || int(b) < m_pct)
        return false;
    const int after = next(settle_ms());
    const bool report_after = after < 0 || after == 'B' || after == 'F' || (after <= 100 && after >= b);
    if (!report_after)
        return false;  // console text: "\r\n" and the like
    m_back = after;
    BL_LOG(kSrc, "(block upg)burn: a percentage right after 'F', taken as a garbled 'B'\n");
    report(b);
    return true;
}

bool BlockBurn::progress_follows()
{
    const int b = next(settle_ms());
    if (b < 0)
        return false;
    if (b != 'B')
        return percentage_after(uint8_t(b));
    uint8_t pct = 0;
    uint32_t got = 0;
    bootlink::line_recv(m_ctx, &pct, 1, &got, 1000);
    if (got != 1 || pct > 100 || int(pct) < m_pct)
        return false;  // console text that begins with 'B'
    BL_LOG(kSrc, "(block upg)burn: more progress after 'F', taken as the percentage of a lost 'B'\n");
    if (m_pct < 'F')
        report('F');
    report(pct);
    return true;
}

bool BlockBurn::ends_burn(uint8_t b)
{
    if (m_owed && b != 'B') {
        m_owed = false;
        if (b <= 100)
            report(b);  // the percentage of the 'B' before, late
        return false;
    }
    m_owed = false;
    if (b == 'B') {
        m_saw_b = true;
        const int pct = next(1000);
        if (pct < 0)
            m_owed = true;
        else if (pct <= 100)
            report(pct);
        return false;
    }
    if (b == 'F')
        return !m_saw_b || !progress_follows();
    return false;
}

}  // namespace

int block_burn(bootlink::JobContext& ctx)
{
    LOG("\n(block upg)Verify burning flash...\n");
    ctx.pause(5000);
    std::vector<uint8_t> frame = bootlink::build_command_frame('T');
    if (!bootlink::command_until_oo(ctx, frame))
        return FAIL("(block upg)The client did not take the burn command\n");
    LOG("(block upg)Start burning flash, DONOT POWOFF!\n");
    BlockBurn burn(ctx);
    return bootlink::follow_burn(ctx, burn,
                                 bootlink::BurnLoop{"BLOCK UPG Canceled by user, while burning\n", true, true});
}

int block_reboot(bootlink::JobContext& ctx)
{
    LOG("\n(block upg)Rebooting...\n");
    std::vector<uint8_t> frame = bootlink::build_command_frame('U');
    if (!bootlink::line_send(ctx, frame.data(), frame.size(), 1000))
        return FAIL("(block upg)The reboot command could not be sent\n");
    return 1;
}

}  // namespace sectorsmith
