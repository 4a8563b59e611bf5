// The Alder boot-init image: the ready announcement on the new rate, then
// the client loader that takes the client block by block.
#include "ProgramKit.h"

#include <ByteOrder.h>
#include <Platform.h>
#include <kvcrc.h>

#include <algorithm>
#include <cstring>

namespace stbsim {

namespace {

// The init image announces itself on the new rate and tells the host it is
// ready, then keeps quiet so that the host sees the line go still. Returns
// the host's first byte, or a negative value.
int announce_ready(Box& b)
{
    int c = b.get_clean(b.opt.alder_ready_delay_ms);
    for (int i = 0; c < 0 && i < b.opt.alder_ready_repeats; ++i) {
        b.put("R");
        c = b.get_clean(500);
        if (c >= 0)
            break;
        b.put("bootinit_ready");
        c = b.get_clean(std::max(1, b.opt.alder_ready_period_ms - 500));
    }
    return c;
}

// The client loader's block-by-block download: blocks count down to 1.
struct BlockLoad {
    std::vector<uint8_t> image;
    uint32_t expect = 0;  // block number wanted next; 0: no download running
    uint64_t frames = 0;

    // The block number to answer block `n` with.
    uint32_t take_block(Box& b, uint32_t n, const uint8_t* pay, size_t len)
    {
        if (expect != 0 && n == expect + 1) {
            b.count([](Counters& y) { ++y.alder_retransmissions; });
            return n - 1;  // our answer got lost; the block is in already
        }
        if (expect == 0 || n > expect + 1) {
            image.clear();
            expect = n;
        }
        if (n != expect)
            return expect;
        image.insert(image.end(), pay, pay + len);
        expect = n - 1;
        return n - 1;
    }

    // One block frame after its '#'; true when the last block is in.
    bool frame(Box& b);
};

bool BlockLoad::frame(Box& b)
{
    uint8_t h[3];
    if (!b.get_n(h, 3, 1000)) {
        b.trace("client block frame broke off");
        return false;
    }
    uint32_t n = kv::get_le16(h);
    size_t len = h[2];
    if (n == 0 || len == 0 || len > 128) {
        b.trace("refused: block frame %u with %zu bytes", n, len);
        b.drain_quiet(200);
        return false;
    }
    uint8_t pay[129];
    if (!b.get_n(pay, len + 1, 1000)) {
        b.trace("client block %u broke off", n);
        return false;
    }
    ++frames;
    b.count([](Counters& x) { ++x.alder_blocks; });
    uint8_t x = 0;
    for (size_t i = 0; i < len; ++i)
        x ^= pay[i];
    Reaction re = react(b, FaultOn::Block, frames, -1);
    if (re.lost)
        return false;
    bool good = x == pay[len] && !fault(b, FaultKind::Crc, FaultOn::Block, frames);
    uint32_t answer = n;  // on a failed check: send it again
    if (!good)
        b.trace("block %u: XOR check failed", n);
    else
        answer = take_block(b, n, pay, len);
    if (!re.drop) {
        b.pause(re.delay_ms);
        b.reply({static_cast<uint8_t>(answer), static_cast<uint8_t>(answer >> 8)});
    }
    return good && answer == 0 && n == 1;
}

}  // namespace

Next run_alder_init(Box& b)
{
    b.set_prog(Prog::AlderInit);
    b.in_session = true;
    b.set_rate(115200);
    b.mem.set_ddr_ready(true);
    int pending = announce_ready(b);
    b.set_prog(Prog::ClientLoader);
    BlockLoad load;
    for (;;) {
        int c = take(b, pending);
        if (c < 0)
            continue;
        if (c == 'C') {
            // A client sent raw: it carries the stand-in header.
            std::vector<uint8_t> img{static_cast<uint8_t>(c)};
            StandinHeader h;
            if (read_standin(b, img, &h))
                return Next{Prog::Loaded, std::move(img)};
            continue;
        }
        if (c != '#') {
            b.trace("client loader: 0x%02X ignored", c);
            continue;
        }
        if (load.frame(b)) {
            b.trace("client of %zu bytes loaded block by block", load.image.size());
            return Next{Prog::Loaded, std::move(load.image)};
        }
    }
}

}  // namespace stbsim
