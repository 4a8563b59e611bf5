#include "UpgClient.h"

#include "ByteOrder.h"
#include "KvBasicLog.h"
#include "kvcrc.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace bootlink {

namespace {
const char* const kSrc = "UpgClient";

#define FAIL(...) BL_FAIL(ctx, kSrc, __VA_ARGS__)

int cancelled_at(JobContext& ctx, int line, const char* msg)
{
    ctx.reset_cancel();
    return fail_at(ctx, kSrc, line, Outcome::Cancelled, "%s", msg);
}

int receive_failed(JobContext& ctx, int line)
{
    static const char msg[] = "Receiving Data failed,please com\n";
    log_data_at(kSrc, line, msg, sizeof msg);  // 34 bytes, the zero counted
    ctx.last_error = "Receiving Data failed,please com";
    ctx.outcome = failure_outcome(ctx);
    return 0;
}

int send_timeout(JobContext& ctx, size_t len, int given_ms) { return send_timeout_ms(ctx, len, given_ms); }

struct PhaseTimer {
    WireStats& st;
    int64_t t0 = now_ms();
    explicit PhaseTimer(WireStats& s) : st(s) { st = WireStats{}; }
    ~PhaseTimer() { st.seconds = double(now_ms() - t0) / 1000.0; }
};
}  // namespace

// ---- frames -------------------------------------------------------------------

std::vector<uint8_t> build_command_frame(uint8_t letter, const uint8_t* payload, size_t n)
{
    if (n > 255)
        n = 255;  // the length is one byte; callers never pass more
    std::vector<uint8_t> f;
    f.reserve(7 + n);
    f.push_back(0x23);
    f.push_back(letter);
    f.push_back(uint8_t(n));
    f.insert(f.end(), payload, payload + n);
    kv::append_le32(f, kv::crc32(f.data() + 1, 2 + n));
    return f;
}

std::vector<uint8_t> build_data_frame(uint16_t sequence, const uint8_t* data, size_t n)
{
    std::vector<uint8_t> f;
    f.reserve(8 + n);
    f.push_back(0x23);
    f.push_back(0x2A);
    kv::append_be16(f, sequence);
    f.insert(f.end(), data, data + n);
    kv::append_le32(f, kv::crc32(data, n));
    return f;
}

std::vector<uint8_t> build_alder_block(uint16_t block_number, const uint8_t* payload, size_t n)
{
    n = std::min<size_t>(n, 128);
    std::vector<uint8_t> f;
    f.reserve(5 + n);
    f.push_back(0x23);
    kv::append_le16(f, block_number);
    f.push_back(uint8_t(n));
    uint8_t x = 0;
    for (size_t i = 0; i < n; ++i) {
        f.push_back(payload[i]);
        x ^= payload[i];
    }
    f.push_back(x);
    return f;
}

std::vector<uint8_t> build_shell_read(uint32_t offset, uint32_t len)
{
    std::vector<uint8_t> f{0x23, 0x03, 0x00, 0x00, 0x00};
    kv::append_le32(f, 8);
    kv::append_le32(f, 0x08000000u + offset);
    kv::append_le32(f, len + 4);
    return f;
}

bool shell_reply_matches(const uint8_t* h, uint32_t offset, uint32_t len)
{
    return h[2] == 0x00 && kv::get_le32(h + 3) == 0x08000000u + offset && kv::get_le16(h + 7) == uint16_t(len);
}

// ---- client images -------------------------------------------------------------

std::vector<uint8_t> client_image_header(int project_type, uint32_t image_len)
{
    const Platform* p = find_platform(project_type);
    return p ? load_header(*p, image_len) : std::vector<uint8_t>{};
}

uint64_t padded_image_size(uint64_t len) { return (len + 0xFFFFu) & ~uint64_t(0xFFFFu); }

int DownloadUpgClientImage(int project_type, JobContext& ctx, const std::string& image_name)
{
    const Platform* p = find_platform(project_type);
    if (!p)
        return FAIL("DownloadUpgClientImage: unknown project type %d\n", project_type);
    const std::string name = image_name.empty() ? p->client_file : image_name;
    if (p->client_load == ProgramLoad::AlderBlocks)
        return DownloadUpgClientImage_Alder(ctx, name);
    std::vector<uint8_t> img;
    if (!read_file(ctx.file_path(name), &img) || img.empty() || img.size() > 0x7FFFFFFFu)
        return FAIL("\nRead file failed!!\n");
    std::vector<uint8_t> buf = load_header(*p, uint32_t(img.size()));
    buf.insert(buf.end(), img.begin(), img.end());
    int timeout = send_timeout(ctx, buf.size(), p->program_send_timeout_ms);
    CSerialMonitorSerivce* svc = ctx.service();
    if (!svc || !port_open(svc))
        return fail_at(ctx, kSrc, __LINE__, Outcome::PortLost, "\nSend file failed!!\n");
    uint32_t sent = 0;
    int ok = svc->SMS_Send(buf.data(), uint32_t(buf.size()), &sent, timeout, -1);
    if (!ok && sent == 0)
        return FAIL("\nSend file failed!!\n");
    if (sent != buf.size())
        return FAIL("\nSend file not complete!!\n");
    return 1;
}

int DownloadUpgClientImage_Alder(JobContext& ctx, const std::string& image_name)
{
    std::vector<uint8_t> img;
    if (!read_file(ctx.file_path(image_name), &img) || img.empty())
        return FAIL("\nRead file failed!!\n");
    const size_t blocks = (img.size() + 127) / 128;
    if (blocks > 0xFFFF)
        return FAIL("the Alder client is too large for 16-bit block numbers\n");
    BL_LOG(kSrc, "start send alder upgclient\n");
    int64_t t0 = now_ms();
    for (size_t i = 0; i < blocks; ++i) {
        const uint16_t number = uint16_t(blocks - i);
        const size_t off = i * 128;
        std::vector<uint8_t> frame =
            build_alder_block(number, img.data() + off, std::min<size_t>(128, img.size() - off));
        bool done = false;
        for (int attempt = 1; attempt <= 10 && !done; ++attempt) {
            if (attempt > 1)
                BL_LOG(kSrc, "%d times retransmission!\n", attempt - 1);
            if (!line_send(ctx, frame.data(), frame.size(), 10000))
                return FAIL("serial port send data failed\n");
            if (attempt > 1)
                ctx.pause(1000);
            uint8_t r[2] = {0, 0};
            uint32_t got = 0;
            line_recv(ctx, r, 2, &got, 1000);
            if (got == 2 && kv::get_le16(r) == uint16_t(number - 1))
                done = true;
        }
        if (!done)
            return FAIL("transmission failed!\n");
    }
    BL_LOG(kSrc, "DownloadUpgClientImage_Alder success, cost time %dms\n", int(now_ms() - t0));
    return 1;
}

// ---- commands ---------------------------------------------------------------

bool command_until_oo(JobContext& ctx, const std::vector<uint8_t>& frame,
                      const std::function<bool(const uint8_t* reply)>& other)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (!line_send(ctx, frame.data(), frame.size(), 1000))
            continue;
        uint8_t r[2] = {0, 0};
        uint32_t got = 0;
        line_recv(ctx, r, 2, &got, 1000);
        if (got == 2 && r[0] == 'O' && r[1] == 'O')
            return true;
        if (other && !other(r))
            return false;
    }
    return false;
}

int UpgClientTest(JobContext& ctx)
{
    BL_LOG(kSrc, "Start to check serial...\n");
    line_drain(ctx, 5120, 3000);
    const uint8_t* banner = reinterpret_cast<const uint8_t*>(kClientBanner);
    std::vector<uint8_t> frame = build_command_frame('P', banner, 15);
    bool accepted = command_until_oo(ctx, frame, [&](const uint8_t* r) {
        if (r[0] == 0) {
            BL_LOG(kSrc, "!! UpgClientTest FAIL: Can not receive any responses from STB!!\n");
        } else if (r[0] != 'O') {
            uint8_t drop[2];
            uint32_t got = 0;
            line_recv(ctx, drop, 2, &got, 1000);
        }
        return true;
    });
    if (!accepted)
        return FAIL("!! UpgClientTest FAIL: RSP error!!\n");
    uint8_t b[15] = {};
    if (line_collect(ctx, b, 15, ReadPlan{1000, 1000, 5, true}) != 15)
        return FAIL("!! UpgClientTest FAIL: Receive failed !!\n");
    if (std::memcmp(b, kClientBanner, 15) != 0)
        return FAIL("!! UpgClientTest FAIL!!\n");
    return 1;
}

int UpgUserLimit(int mode, JobContext& ctx)
{
    if (mode != 1 && mode != 2)
        return FAIL("!! UpgUserLimit FAIL: mode %d is neither 1 nor 2!!\n", mode);
    BL_LOG(kSrc, "Start to configure user limit...\n");
    const uint8_t payload = mode == 1 ? 0xEE : 0x00;
    std::vector<uint8_t> frame = build_command_frame('e', &payload, 1);
    if (!command_until_oo(ctx, frame))
        return FAIL("!! UpgUserLimit FAIL: RSP error!!\n");
    uint8_t b = 0;
    uint32_t got = 0;
    line_recv(ctx, &b, 1, &got, 1000);
    if (got != 1)
        return FAIL("!! UpgUserLimit FAIL: Receive failed !!\n");
    if (b != payload)
        return FAIL("!! UpgUserLimit FAIL!!\n");
    return 1;
}

int UpgSlaveReport(uint32_t image_size, JobContext& ctx, uint8_t block_id)
{
    std::vector<uint8_t> payload{0x01, block_id};
    kv::append_le32(payload, image_size);
    std::vector<uint8_t> frame = build_command_frame('R', payload);
    if (!line_send(ctx, frame.data(), frame.size(), 1000))
        return FAIL("Slave report: the command could not be sent\n");
    ctx.pause(1000);
    uint8_t r[2] = {0, 0};
    uint32_t got = 0;
    if (!line_recv(ctx, r, 2, &got, 2000) || got < 2)
        return FAIL("Slave report: no reply from the client\n");
    if (r[0] != 'O' || r[1] != 'O')
        BL_LOG(kSrc, "Slave report Error!\n");
    return 1;
}

namespace {

// Sends one data frame and reads its 3-byte reply.
FrameReply send_data_frame(JobContext& ctx, const std::vector<uint8_t>& frame, uint16_t seq)
{
    WireStats& st = ctx.transfer;
    if (!line_send(ctx, frame.data(), frame.size(), 2000, &st)) {
        FAIL("TRANSFER: a data frame could not be sent\n");
        return FrameReply::Failed;
    }
    // The first read takes three seconds, the rest is read again with
    // one-second reads until the fifth brings nothing.
    uint8_t r[3] = {0, 0, 0};
    bool read_failed = false;
    size_t have = line_collect(ctx, r, 3, ReadPlan{3000, 1000, 5}, &read_failed, &st);
    if (have < 3) {
        FAIL(read_failed ? "TRANSFER: recv rsp error\n" : "Receiving crc failed,please checking com\n");
        return FrameReply::Failed;
    }
    if (r[0] == 'O') {
        if (kv::get_be16(r + 1) >= seq)
            return FrameReply::Accepted;
        BL_LOG(kSrc, "TRANSFER: SEQ ERROR, RETRY ... \n");
    } else if (r[0] == 'E') {
        uint8_t drop[2];
        uint32_t got = 0;
        line_recv(ctx, drop, 2, &got, 1000, &st);
        BL_LOG(kSrc, "TRANSFER: RSP ERROR code:%d\n", r[2]);
    } else {
        // Out of step with the client: drop what is pending before the
        // frame goes again.
        line_drain(ctx, 256, 50, 2000, &st);
    }
    return FrameReply::Again;
}

}  // namespace

int UpgTransfer(const uint8_t* data, size_t len, JobContext& ctx, uint8_t block_id, uint8_t kind)
{
    PhaseTimer timer(ctx.transfer);
    WireStats& st = ctx.transfer;
    const size_t frames = (len + kDataFrameBytes - 1) / kDataFrameBytes;
    if (frames > kMaxTransferFrames || len > 0xFFFFFFFFu)
        return FAIL("TRANSFER: the image is larger than one transfer can carry (64 MiB)\n");
    BL_LOG(kSrc, "\nPrepare to download...\n");
    std::vector<uint8_t> payload{block_id, kind};
    kv::append_le32(payload, uint32_t(len));
    std::vector<uint8_t> cmd = build_command_frame('S', payload);
    if (!line_send(ctx, cmd.data(), cmd.size(), 1000, &st))
        return FAIL("TRANSFER: the command could not be sent\n");
    uint8_t r[2] = {0, 0};
    uint32_t got = 0;
    if (!line_recv(ctx, r, 2, &got, 1000, &st) || got < 2)
        return FAIL("TRANSFER: no reply to the transfer command\n");
    if (r[0] != 'O' || r[1] != 'O')
        BL_LOG(kSrc, "CMD TRANSFER: RESPONSE ERROR!\n");

    BL_LOG(kSrc, "\nStart downloading data...\n");
    static const FrameLoop loop{kSrc, "UPG Canceled by user, while transfering\n",
                                "TRANSFER: frame %zu was not accepted after 4 tries\n", send_data_frame};
    if (!send_frames(ctx, data, len, loop))
        return 0;
    BL_LOG(kSrc, "\nEnd downloading\n");
    return 1;
}

BurnProgress::BurnProgress(JobContext& ctx) : BurnWatch(ctx, kSrc, "", "\n") {}

int BurnProgress::take(uint8_t b)
{
    if (b == 'B') {
        uint8_t pct = 0;
        uint32_t got = 0;
        line_recv(m_ctx, &pct, 1, &got, 1000);
        if (got == 1 && pct <= 100)
            report(pct);
        return -1;
    }
    if (b == 'F') {
        // Percentages only rise: once 70 has been reported an 'F' cannot
        // be one. Before that it may be the percentage 70 of a 'B' that
        // got lost, and the burn goes on.
        if (m_pct < 'F') {
            BL_LOG(kSrc, "burn: 'F' before 70%%, taken as the progress 70%% of a lost 'B'\n");
            report('F');
            return -1;
        }
        // A finished client falls silent; a 'B' garbled into an 'F' has
        // its percentage right behind it.
        uint8_t next = 0;
        uint32_t got = 0;
        line_recv(m_ctx, &next, 1, &got, kSettleMs);
        if (got == 0)
            return 1;
        BL_LOG(kSrc, "burn: more progress after 'F', taken as a garbled 'B'\n");
        if (next <= 100)
            report(next);
        return -1;
    }
    if (b == 'E')
        return BL_FAIL(m_ctx, kSrc, "\nFailed to erase or write flash!!\n\n");
    return -1;
}

int UpgBurn(JobContext& ctx)
{
    kv_console_printf("\nVerify burning flash...");
    ctx.pause(5000);
    std::vector<uint8_t> frame = build_command_frame('T');
    bool verify_failed = false;
    bool accepted = command_until_oo(ctx, frame, [&](const uint8_t* r) {
        verify_failed = r[1] == 0x0E;
        return !verify_failed;
    });
    if (verify_failed)
        return FAIL("\nVerification is failed!!\n\n");
    if (!accepted)
        return FAIL("\nThe client did not accept the burn command!!\n");
    BL_LOG(kSrc, "\nStart burning flash, DONOT POWOFF!\n");
    BurnProgress burn(ctx);
    return follow_burn(ctx, burn, BurnLoop{"UPG Canceled by user, while burning\n"});
}

int UpgFinish(JobContext& ctx, bool restart_service)
{
    std::vector<uint8_t> frame = build_command_frame('U');
    int ok = line_send(ctx, frame.data(), frame.size(), 1000);
    uint8_t b = 0;
    uint32_t got = 0;
    if (ok)
        line_recv(ctx, &b, 1, &got, 1000);
    if (restart_service)
        if (CSerialMonitorSerivce* svc = ctx.service())
            svc->SMS_StartSvc();
    if (!ok)
        return FAIL("UpgFinish: the command could not be sent\n");
    if (got != 1 || b != 'O')
        warn_at(ctx, kSrc, __LINE__, "UpgFinish: the client did not acknowledge the finish (the burn was confirmed)");
    return 1;
}

// ---- dumps ---------------------------------------------------------------------

namespace {

// Runs a dump body, then writes the file: only a complete dump replaces what
// is at `path`.
int run_dump(uint32_t size, std::vector<uint8_t>* out, const std::string& path, JobContext& ctx,
             const std::function<int(std::vector<uint8_t>&)>& body)
{
    int ok = 0;
    {
        PhaseTimer timer(ctx.dump);
        out->assign(size, 0);
        ok = body(*out);
    }
    if (!ok)
        return 0;
    if (!path.empty() && !write_file_atomic(path, out->data(), out->size()))
        return FAIL("(dumping)the dump file %s could not be written\n", path.c_str());
    ctx.progress(0);
    ctx.status("");
    return 1;
}

// One chunk of an upgrade-client dump. 1 kept, 0 failed, -1 its CRC differed.
int dump_chunk(JobContext& ctx, uint16_t seq, uint8_t* chunk, uint32_t n)
{
    WireStats& st = ctx.dump;
    const uint8_t hi = uint8_t(seq >> 8), lo = uint8_t(seq);
    uint8_t h[4] = {0, 0, 0, 0};
    bool rf = false;
    size_t have = line_collect(ctx, h, 4, ReadPlan{10000, 1000, 1}, &rf, &st);
    if (have < 4) {
        FAIL("(dumping)Receive CMD error!\n");
        kv_console_printf("len1 = %d ", int(have));
        return 0;
    }
    if (h[0] != '#' || h[1] != '*')
        return FAIL("(dumping)Receive CMD error!,cmd[0] = %x,cmd[1] = %x\n", h[0], h[1]);
    if (h[2] != hi || h[3] != lo)
        return FAIL("(dumping)Receive CMD error!,cmd[2] = %x,cmd[3] = %x\n", h[2], h[3]);
    const uint8_t ack[3] = {0x00, hi, lo};
    if (!line_send(ctx, ack, 3, 1000, &st))
        return FAIL("(dumping)Send CMD error first!\n");
    have = line_collect(ctx, chunk, n, ReadPlan{10000, 10000, 5, false, "Receiving Data again,please wait...\n"}, &rf,
                        &st);
    if (rf && have == 0)
        return FAIL("(dumping)receive data error 6K!\n");
    if (have < n)
        return receive_failed(ctx, __LINE__);
    if (!line_send(ctx, ack, 3, 1000, &st))
        return FAIL("(dumping)Send CMD error second!\n");
    uint8_t c[4] = {0, 0, 0, 0};
    have = line_collect(ctx, c, 4, ReadPlan{3000, 1000, 5}, &rf, &st);
    if (have < 4) {
        if (!rf)
            return FAIL("Receiving crc failed,please checking com\n");
        kv_console_printf("len2 = %d ", int(have));
        return FAIL("(dumping)receiving the chunk CRC failed\n");
    }
    if (kv::get_le32(c) != kv::crc32(chunk, n))
        return -1;
    if (!line_send(ctx, ack, 3, 1000, &st))
        return FAIL("(dumping)Send CMD error third!\n");
    return 1;
}

// Asks the client for the chunk again after a CRC mismatch.
int ask_chunk_again(JobContext& ctx, uint16_t seq)
{
    line_drain(ctx, 256, 300, 20000, &ctx.dump);
    BL_LOG(kSrc, "Retransmitting,please wait...\n");
    ++ctx.dump.retries;
    const uint8_t nak[3] = {0x01, uint8_t(seq >> 8), uint8_t(seq)};
    if (!line_send(ctx, nak, 3, 1000, &ctx.dump))
        return FAIL("(dumping)Send CMD error third!\n");
    return 1;
}

int client_dump_body(uint32_t size, std::vector<uint8_t>& buf, JobContext& ctx)
{
    std::vector<uint8_t> payload;
    kv::append_le32(payload, size);
    std::vector<uint8_t> cmd = build_command_frame(0x60, payload);
    if (!line_send(ctx, cmd.data(), cmd.size(), 1000, &ctx.dump))
        return FAIL("(dumping)the dump command could not be sent\n");
    uint8_t o = 0;
    uint32_t got = 0;
    line_recv(ctx, &o, 1, &got, 2000, &ctx.dump);
    if (got != 1 || o != 'O')
        return FAIL("(dumping)the client did not accept the dump command\n");
    BL_LOG(kSrc, "Start Dumping Flash...\n");
    uint32_t received = 0;
    for (uint32_t index = 0; received < size; ++index) {
        const uint16_t seq = uint16_t(index % 0xFFFFu);
        const uint32_t n = std::min<uint32_t>(uint32_t(kDumpChunk), size - received);
        for (int attempt = 0;; ++attempt) {
            if (ctx.cancelled())
                return cancelled_at(ctx, __LINE__, "DUMP Canceled by user!\n");
            int r = dump_chunk(ctx, seq, buf.data() + received, n);
            if (r == 1)
                break;
            if (r == 0)
                return 0;
            if (attempt >= kDumpChunkRetries)
                return FAIL("(dumping)chunk %u failed its CRC %d times, dump abandoned\n", index, attempt + 1);
            if (!ask_chunk_again(ctx, seq))
                return 0;
        }
        received += n;
        ctx.dump.payload_bytes = received;
        ctx.bytes(received, size);
        ctx.progress(int(uint64_t(received) * 100 / size));
    }
    return 1;
}

// One "shell.img" read. 1 kept, 0 failed, -1 to be asked again.
int shell_chunk(JobContext& ctx, uint32_t offset, uint8_t* out, uint32_t n, std::vector<uint8_t>& reply)
{
    WireStats& st = ctx.dump;
    std::vector<uint8_t> req = build_shell_read(offset, n);
    if (!line_send(ctx, req.data(), req.size(), 2000, &st))
        return FAIL("(dumping)send error\n");
    const size_t want = kShellReplyHeader + n + 4;
    bool rf = false;
    size_t have = line_collect(ctx, reply.data(), want,
                               ReadPlan{2000, 10000, 5, false, "Receiving Data again,please wait...\n"}, &rf, &st);
    bool good = have == want;
    if (!good && !rf)
        receive_failed(ctx, __LINE__);
    // A reply for another address or with a bad status is no answer to this
    // request, however good its CRC.
    good = good && shell_reply_matches(reply.data(), offset, n) &&
           kv::get_le32(reply.data() + kShellReplyHeader + n) == kv::crc32(reply.data() + kShellReplyHeader, n);
    if (!good) {
        line_drain(ctx, 512, 300, 20000, &st);
        return -1;
    }
    std::memcpy(out, reply.data() + kShellReplyHeader, n);
    return 1;
}

int shell_dump_body(uint32_t size, std::vector<uint8_t>& buf, JobContext& ctx)
{
    BL_LOG(kSrc, "Start Dumping Flash...\n");
    std::vector<uint8_t> reply(kShellReplyHeader + kShellChunk + 4);
    uint32_t received = 0;
    while (received < size) {
        const uint32_t n = std::min<uint32_t>(uint32_t(kShellChunk), size - received);
        for (int attempt = 0;; ++attempt) {
            if (ctx.cancelled())
                return cancelled_at(ctx, __LINE__, "DUMP Canceled by user!\n");
            if (attempt > kDumpChunkRetries)
                return FAIL("(dumping)the chunk at 0x%x failed %d times, dump abandoned\n", received, attempt);
            if (attempt > 0)
                ++ctx.dump.retries;
            int r = shell_chunk(ctx, received, buf.data() + received, n, reply);
            if (r == 1)
                break;
            if (r == 0)
                return 0;
        }
        received += n;
        ctx.dump.payload_bytes = received;
        ctx.bytes(received, size);
        ctx.progress(int(uint64_t(received) * 100 / size));
        ctx.status("Dumping: " + std::to_string(received) + "/" + std::to_string(size));
    }
    return 1;
}

}  // namespace

int UpgDump(uint32_t size, std::vector<uint8_t>* out, const std::string& path, JobContext& ctx)
{
    return run_dump(size, out, path, ctx, [&](std::vector<uint8_t>& buf) { return client_dump_body(size, buf, ctx); });
}

int send_shell_image(JobContext& ctx, const std::string& image_name)
{
    std::vector<uint8_t> img;
    if (!read_file(ctx.file_path(image_name), &img) || img.empty())
        return FAIL("sending shell.img Failed\n");
    if (!line_send(ctx, img.data(), img.size(), send_timeout(ctx, img.size(), 10000)))
        return FAIL("sending shell.img Failed\n");
    line_drain(ctx, 512, 3000);
    return 1;
}

int ShellReadDump(uint32_t size, std::vector<uint8_t>* out, const std::string& path, JobContext& ctx)
{
    return run_dump(size, out, path, ctx, [&](std::vector<uint8_t>& buf) { return shell_dump_body(size, buf, ctx); });
}

}  // namespace bootlink
