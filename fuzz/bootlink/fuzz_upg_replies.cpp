// The upgrade client's replies as the host reads them. An in-memory line
// stands where the port would be: what the host sends goes nowhere, and its
// reads take the fuzz input. The first byte picks the exchange; the rest is
// what the box sends, as arrivals: a length byte and that many bytes, a
// length of 0 being a read that brings nothing. When the input ends the line
// goes away, so every exchange ends at once.
#include "BlockClient.h"
#include "SerialLine.h"
#include "SerialMonitorService.h"
#include "UpgClient.h"
#include "kvcrc.h"
#include "smoke.h"

#include <cstdlib>
#include <cstring>

namespace {

struct Input {
    const uint8_t* at = nullptr;
    const uint8_t* end = nullptr;
    size_t left = 0;  // of the current arrival
};
Input g_in;

class FuzzLine : public kv::SerialLine {
public:
    bool configure(const serialport_config_tag&, std::string*) override { return true; }
    bool read(uint8_t* buf, size_t cap, size_t* got, int, const std::atomic<bool>*) override
    {
        *got = 0;
        while (*got < cap) {
            if (g_in.left == 0 && !next_arrival())
                return !gone();
            take(buf, cap, got);
        }
        return true;
    }
    bool read_some(uint8_t* buf, size_t cap, size_t* got, int) override
    {
        *got = 0;
        if (g_in.left == 0 && !next_arrival())
            return !gone();
        take(buf, cap, got);
        return true;
    }
    bool write(const uint8_t*, size_t len, size_t* sent, int) override
    {
        *sent = gone() ? 0 : len;
        return !gone();
    }
    bool flush_input() override
    {
        g_in.at += g_in.left;
        g_in.left = 0;
        return !gone();
    }
    std::string error() const override { return gone() ? "the fuzz input ended" : ""; }

private:
    static bool gone() { return g_in.at >= g_in.end && g_in.left == 0; }
    // False when the arrival is a read that brings nothing, or none is left.
    static bool next_arrival()
    {
        if (g_in.at >= g_in.end)
            return false;
        const size_t n = *g_in.at++;
        g_in.left = std::min<size_t>(n, size_t(g_in.end - g_in.at));
        return g_in.left > 0;
    }
    static void take(uint8_t* buf, size_t cap, size_t* got)
    {
        const size_t n = std::min(cap - *got, g_in.left);
        std::memcpy(buf + *got, g_in.at, n);
        *got += n;
        g_in.at += n;
        g_in.left -= n;
    }
};

std::unique_ptr<kv::SerialLine> open_fuzz_line(const std::string& name, std::string*)
{
    if (name != "fuzz:line")
        return nullptr;
    return std::make_unique<FuzzLine>();
}

constexpr uint32_t kDumpSize = 100;
const std::vector<uint8_t> kImage(1500, 0x5A);

void run(int exchange, bootlink::JobContext& ctx)
{
    std::vector<uint8_t> dump;
    sectorsmith::SlaveInfo info;
    switch (exchange) {
    case 0: bootlink::UpgClientTest(ctx) && bootlink::UpgUserLimit(1, ctx); break;
    case 1:
        bootlink::UpgSlaveReport(0x10000, ctx) && bootlink::UpgTransfer(kImage.data(), kImage.size(), ctx);
        break;
    case 2: bootlink::UpgBurn(ctx) && bootlink::UpgFinish(ctx, false); break;
    case 3:
        if (bootlink::UpgDump(kDumpSize, &dump, "", ctx) && dump.size() != kDumpSize)
            std::abort();
        break;
    case 4:
        if (bootlink::ShellReadDump(kDumpSize, &dump, "", ctx) && dump.size() != kDumpSize)
            std::abort();
        break;
    case 5:
        sectorsmith::block_client_test(ctx) && sectorsmith::get_slave_info(ctx, {}, &info) &&
            sectorsmith::block_prepare(ctx, {}, 0x88, 0x2000);
        break;
    default:
        sectorsmith::block_transfer(ctx, 0x88, 'N', kImage.data(), kImage.size()) && sectorsmith::block_burn(ctx);
        break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    static CSerialMonitorSerivce* svc = [] {
        kv::set_line_opener(open_fuzz_line);
        auto* s = new CSerialMonitorSerivce;
        s->SMS_AddPort("fuzz:line");
        return s;
    }();
    g_in = Input{data + 1, data + size, 0};
    serialport_config_tag cfg;
    cfg.port_index = svc->SMS_FindPort("fuzz:line");
    if (!svc->SMS_OpenPort(cfg))
        std::abort();
    bootlink::JobContext ctx;
    ctx.svc = svc;
    ctx.pause_scale = 0;
    run(data[0] % 7, ctx);
    svc->SMS_ClosePort(cfg.port_index);
    return 0;
}

namespace {

// A box's replies, arrival by arrival.
struct Replies {
    std::vector<uint8_t> bytes;
    Replies& add(const std::vector<uint8_t>& a)
    {
        for (size_t i = 0; i < a.size(); i += 255) {
            const size_t n = std::min<size_t>(255, a.size() - i);
            bytes.push_back(uint8_t(n));
            bytes.insert(bytes.end(), a.begin() + long(i), a.begin() + long(i + n));
        }
        return *this;
    }
    Replies& quiet()
    {
        bytes.push_back(0);
        return *this;
    }
    Replies& crc_of(const std::vector<uint8_t>& a)
    {
        const uint32_t c = kv::crc32(a.data(), a.size());
        return add({uint8_t(c), uint8_t(c >> 8), uint8_t(c >> 16), uint8_t(c >> 24)});
    }
};

std::vector<uint8_t> text(const char* s) { return std::vector<uint8_t>(s, s + std::strlen(s)); }

}  // namespace

std::vector<std::vector<uint8_t>> fuzz_seeds()
{
    const std::vector<uint8_t> oo = text("OO"), banner = text(bootlink::kClientBanner), chunk(kDumpSize, 0x33);
    std::vector<uint8_t> record(20 + 48, 0);
    record[16] = 1;
    record[20] = 0x88;
    const uint32_t rlen = uint32_t(record.size());
    Replies r[7];
    r[0].quiet().add(oo).add(banner).add(oo).add({0xEE});
    r[1].add(oo).add(oo).add({'O', 0, 0}).add({'O', 0, 1});
    r[2].add(oo).add({'B', 10, 'B', 80, 'F'}).quiet().add({'O'}).quiet();
    r[3].add({'O', '#', '*', 0, 0}).add(chunk).crc_of(chunk).quiet();
    const std::vector<uint8_t> shell{0x23, 0x83, 0, 0, 0, 0, 8, uint8_t(kDumpSize), 0};
    std::vector<uint8_t> reply = shell;
    reply.insert(reply.end(), chunk.begin(), chunk.end());
    r[4].add(reply).crc_of(chunk).quiet();
    r[5].quiet().add(oo).add(banner).add(oo).add({uint8_t(rlen), 0, 0, 0}).add(record).crc_of(record).quiet().add(oo);
    r[6].quiet().add(oo).quiet().add({'O', 0, 0}).add({'O', 0, 1}).add(oo).add({'B', 50, 'B', 90, 'F'}).quiet().quiet();
    std::vector<std::vector<uint8_t>> seeds;
    for (int k = 0; k < 7; ++k) {
        seeds.push_back(r[k].bytes);
        seeds.back().insert(seeds.back().begin(), uint8_t(k));
    }
    return seeds;
}
