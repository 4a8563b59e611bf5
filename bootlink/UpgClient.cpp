#include "UpgClient.h"

#include <functional>

#include "KvBasicLog.h"
#include "kvcrc.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

namespace bootlink {

namespace {
const char* const kSrc = "UpgClient";

void put32(std::vector<uint8_t>& v, uint32_t x) {
    for (int i = 0; i < 4; ++i)
        v.push_back(uint8_t(x >> (8 * i)));
}
uint32_t get32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Logs `msg` with its source line and keeps it (without line feeds) as the
// context's last error. Returns 0.
int fail_at(JobContext& ctx, int line, const char* msg) {
    log_at(kSrc, line, "%s", msg);
    std::string e = msg;
    e.erase(std::remove(e.begin(), e.end(), '\n'), e.end());
    ctx.last_error = e;
    return 0;
}
#define FAIL(msg) fail_at(ctx, __LINE__, msg)

void log_receive_failed() {
    static const char msg[] = "Receiving Data failed,please com\n";
    log_data_at(kSrc, __LINE__, msg, sizeof msg);  // 34 bytes, the zero counted
}

// Time-out for sending `len` bytes: the given one, or twice the time the
// bytes need on the line when that is longer (a large client at a slow rate).
int send_timeout(JobContext& ctx, size_t len, int given_ms) {
    int baud = 115200;
    serialport_config_tag cfg;
    if (CSerialMonitorSerivce* svc = ctx.service(); svc && svc->SMS_GetCurSvcParam(nullptr, nullptr, &cfg) &&
                                                    cfg.baud_rate > 0)
        baud = cfg.baud_rate;
    uint64_t need = uint64_t(len) * 10u * 1000u * 2u / uint64_t(baud) + 1000u;
    return int(std::min<uint64_t>(std::max<uint64_t>(need, uint64_t(given_ms)), 3600000u));
}

struct PhaseTimer {
    WireStats& st;
    int64_t t0 = now_ms();
    explicit PhaseTimer(WireStats& s) : st(s) { st = WireStats{}; }
    ~PhaseTimer() { st.seconds = double(now_ms() - t0) / 1000.0; }
};
}  // namespace

// ---- frames -------------------------------------------------------------------

std::vector<uint8_t> build_command_frame(uint8_t letter, const uint8_t* payload, size_t n) {
    if (n > 255)
        n = 255;  // the length is one byte; callers never pass more
    std::vector<uint8_t> f;
    f.reserve(7 + n);
    f.push_back(0x23);
    f.push_back(letter);
    f.push_back(uint8_t(n));
    f.insert(f.end(), payload, payload + n);
    put32(f, kv::crc32(f.data() + 1, 2 + n));
    return f;
}

std::vector<uint8_t> build_data_frame(uint16_t sequence, const uint8_t* data, size_t n) {
    std::vector<uint8_t> f;
    f.reserve(8 + n);
    f.push_back(0x23);
    f.push_back(0x2A);
    f.push_back(uint8_t(sequence >> 8));
    f.push_back(uint8_t(sequence));
    f.insert(f.end(), data, data + n);
    put32(f, kv::crc32(data, n));
    return f;
}

std::vector<uint8_t> build_alder_block(uint16_t block_number, const uint8_t* payload, size_t n) {
    n = std::min<size_t>(n, 128);
    std::vector<uint8_t> f;
    f.reserve(5 + n);
    f.push_back(0x23);
    f.push_back(uint8_t(block_number));
    f.push_back(uint8_t(block_number >> 8));
    f.push_back(uint8_t(n));
    uint8_t x = 0;
    for (size_t i = 0; i < n; ++i) {
        f.push_back(payload[i]);
        x ^= payload[i];
    }
    f.push_back(x);
    return f;
}

std::vector<uint8_t> build_shell_read(uint32_t offset, uint32_t len) {
    std::vector<uint8_t> f{0x23, 0x03, 0x00, 0x00, 0x00};
    put32(f, 8);
    put32(f, 0x08000000u + offset);
    put32(f, len + 4);
    return f;
}

// ---- client images -------------------------------------------------------------

const char* client_image_name(int t) {
    switch (t) {
    case 0: return "upgclient.bin";
    case 1: return "upgclient_alder.bin";
    case 2:
    case 3: return "upgclient_dg.bin";
    case 4:
    case 5: return "upgclient_elm.bin";
    case 6:
    case 7: return "upgclient_cedar.bin";
    default: return "";
    }
}

std::vector<uint8_t> client_image_header(int t, uint32_t len) {
    std::vector<uint8_t> h;
    if (t == 6 || t == 7) {
        put32(h, len);
        put32(h, 0x80100000u);
        put32(h, 0x80100000u);
        put32(h, len);
    } else if (t >= 2 && t <= 5) {
        put32(h, len);
        put32(h, 0x80008000u);
        put32(h, 0x80008000u);
    } else if (t == 0) {
        put32(h, len);
        put32(h, 0);
        put32(h, 0);
    }
    return h;
}

uint64_t padded_image_size(uint64_t len) { return (len + 0xFFFFu) & ~uint64_t(0xFFFFu); }

int DownloadUpgClientImage(int project_type, JobContext& ctx, const std::string& image_name) {
    if (project_type == 1)
        return DownloadUpgClientImage_Alder(ctx, image_name.empty() ? client_image_name(1) : image_name);
    if (project_type < 0 || project_type >= 8)
        return FAIL("DownloadUpgClientImage: unknown project type\n");
    std::string name = image_name.empty() ? client_image_name(project_type) : image_name;
    std::vector<uint8_t> img;
    if (!read_file(ctx.file_path(name), &img) || img.empty() || img.size() > 0x7FFFFFFFu)
        return FAIL("\nRead file failed!!\n");
    std::vector<uint8_t> buf = client_image_header(project_type, uint32_t(img.size()));
    buf.insert(buf.end(), img.begin(), img.end());
    int timeout = send_timeout(ctx, buf.size(), (project_type == 6 || project_type == 7) ? 31500 : 30500);
    CSerialMonitorSerivce* svc = ctx.service();
    if (!svc || !port_open(svc))
        return FAIL("\nSend file failed!!\n");
    uint32_t sent = 0;
    int ok = svc->SMS_Send(buf.data(), uint32_t(buf.size()), &sent, timeout, -1);
    if (!ok && sent == 0)
        return FAIL("\nSend file failed!!\n");
    if (sent != buf.size())
        return FAIL("\nSend file not complete!!\n");
    return 1;
}

int DownloadUpgClientImage_Alder(JobContext& ctx, const std::string& image_name) {
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
        std::vector<uint8_t> frame = build_alder_block(number, img.data() + off, std::min<size_t>(128, img.size() - off));
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
            if (got == 2 && uint16_t(r[0] | r[1] << 8) == uint16_t(number - 1))
                done = true;
        }
        if (!done)
            return FAIL("transmission failed!\n");
    }
    BL_LOG(kSrc, "DownloadUpgClientImage_Alder success, cost time %dms\n", int(now_ms() - t0));
    return 1;
}

// ---- commands ---------------------------------------------------------------

namespace {

// Sends a command frame, at most three times, until the client answers "OO".
// `other` sees any other reply and returns false to give up at once.
bool command_until_oo(JobContext& ctx, const std::vector<uint8_t>& frame,
                      const std::function<bool(const uint8_t* reply)>& other = {}) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (!line_send(ctx, frame.data(), frame.size(), 1000))
            continue;
        uint8_t r[2] = {0, 0};
        line_collect(ctx, r, 2, 1000, 1000, 1);
        if (r[0] == 'O' && r[1] == 'O')
            return true;
        if (other && !other(r))
            return false;
    }
    return false;
}

}  // namespace

int UpgClientTest(JobContext& ctx) {
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
    if (line_collect(ctx, b, 15, 1000, 1000, 5) != 15)
        return FAIL("!! UpgClientTest FAIL: Receive failed !!\n");
    if (std::memcmp(b, kClientBanner, 15) != 0)
        return FAIL("!! UpgClientTest FAIL!!\n");
    return 1;
}

int UpgUserLimit(int mode, JobContext& ctx) {
    if (mode != 1 && mode != 2) {
        BL_LOG(kSrc, "!! UpgUserLimit FAIL: mode %d is neither 1 nor 2!!\n", mode);
        ctx.last_error = "unknown user-limit mode";
        return 0;
    }
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

int UpgSlaveReport(uint32_t image_size, JobContext& ctx, uint8_t block_id) {
    std::vector<uint8_t> payload{0x01, block_id};
    put32(payload, image_size);
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

int UpgTransfer(const uint8_t* data, size_t len, JobContext& ctx, uint8_t block_id, uint8_t kind) {
    PhaseTimer timer(ctx.transfer);
    WireStats& st = ctx.transfer;
    const size_t frames = (len + kDataFrameBytes - 1) / kDataFrameBytes;
    if (frames > kMaxTransferFrames || len > 0xFFFFFFFFu)
        return FAIL("TRANSFER: the image is larger than one transfer can carry (64 MiB)\n");
    BL_LOG(kSrc, "\nPrepare to download...\n");
    std::vector<uint8_t> payload{block_id, kind};
    put32(payload, uint32_t(len));
    std::vector<uint8_t> cmd = build_command_frame('S', payload);
    if (!line_send(ctx, cmd.data(), cmd.size(), 1000, &st))
        return FAIL("TRANSFER: the command could not be sent\n");
    uint8_t r[3] = {0, 0, 0};
    uint32_t got = 0;
    if (!line_recv(ctx, r, 2, &got, 1000, &st) || got < 2)
        return FAIL("TRANSFER: no reply to the transfer command\n");
    if (r[0] != 'O' || r[1] != 'O')
        BL_LOG(kSrc, "CMD TRANSFER: RESPONSE ERROR!\n");

    BL_LOG(kSrc, "\nStart downloading data...\n");
    size_t sent = 0;
    for (size_t seq = 0; sent < len; ++seq) {
        if (ctx.cancelled()) {
            BL_LOG(kSrc, "UPG Canceled by user, while transfering\n");
            ctx.progress(0);
            ctx.reset_cancel();
            ctx.last_error = "UPG Canceled by user, while transfering";
            return 0;
        }
        const size_t n = std::min(kDataFrameBytes, len - sent);
        const uint16_t wire_seq = uint16_t(seq);
        std::vector<uint8_t> frame = build_data_frame(wire_seq, data + sent, n);
        bool accepted = false;
        for (int attempt = 0; attempt < 4 && !accepted; ++attempt) {
            if (attempt > 0)
                ++st.retries;
            if (!line_send(ctx, frame.data(), frame.size(), 2000, &st))
                return FAIL("TRANSFER: a data frame could not be sent\n");
            bool read_failed = false;
            r[0] = r[1] = r[2] = 0;
            if (!line_recv(ctx, r, 3, &got, 3000, &st))
                return FAIL("TRANSFER: recv rsp error\n");
            size_t have = got;
            if (have < 3) {
                have += line_collect(ctx, r + have, 3 - have, 1000, 1000, 5, nullptr, &read_failed, &st);
                if (have < 3) {
                    if (read_failed)
                        return FAIL("TRANSFER: recv rsp error\n");
                    return FAIL("Receiving crc failed,please checking com\n");
                }
            }
            if (r[0] == 'O') {
                const uint16_t ack = uint16_t(r[1] << 8 | r[2]);
                if (ack >= wire_seq)
                    accepted = true;
                else
                    BL_LOG(kSrc, "TRANSFER: SEQ ERROR, RETRY ... \n");
            } else if (r[0] == 'E') {
                uint8_t drop[2];
                line_recv(ctx, drop, 2, &got, 1000, &st);
                BL_LOG(kSrc, "TRANSFER: RSP ERROR code:%d\n", r[2]);
            } else {
                // Out of step with the client: drop what is pending before
                // the frame goes again.
                line_drain(ctx, 256, 50, 2000, &st);
            }
        }
        if (!accepted) {
            BL_LOG(kSrc, "TRANSFER: frame %zu was not accepted after 4 tries\n", seq);
            ctx.last_error = "TRANSFER: a data frame was not accepted after 4 tries";
            return 0;
        }
        sent += n;
        st.payload_bytes = sent;
        ctx.progress(int(uint64_t(sent) * 100 / len));
        ctx.status("Transferring: " + std::to_string(sent) + "/" + std::to_string(len));
    }
    ctx.progress(100);
    ctx.progress(0);
    BL_LOG(kSrc, "\nEnd downloading\n");
    return 1;
}

int UpgBurn(JobContext& ctx) {
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
    // Bytes other than the progress marks are ignored, but only for as long
    // as a silent client would be waited for: the 20 s restart on progress.
    int64_t last_progress = now_ms();
    for (;;) {
        if (ctx.cancelled()) {
            ctx.reset_cancel();
            return FAIL("UPG Canceled by user, while burning\n");
        }
        uint8_t b = 0;
        uint32_t got = 0;
        line_recv(ctx, &b, 1, &got, 20000);
        if (got == 0 || now_ms() - last_progress > 20000)
            return FAIL("Receive burn info timeout!\n");
        if (b == 'B') {
            uint8_t pct = 0;
            line_recv(ctx, &pct, 1, &got, 1000);
            if (got == 1) {
                int p = std::min<int>(pct, 100);
                ctx.progress(p);
                ctx.status("Burning: " + std::to_string(p) + "/100");
                last_progress = now_ms();
            }
        } else if (b == 'F') {
            break;
        } else if (b == 'E') {
            return FAIL("\nFailed to erase or write flash!!\n\n");
        }
    }
    ctx.progress(100);
    ctx.status("Burning: 100/100");
    BL_LOG(kSrc, "\nBurning flash OK!\n\n");
    ctx.progress(0);
    ctx.status("");
    if (CSerialMonitorSerivce* svc = ctx.service())
        svc->set_upg(0);
    return 1;
}

int UpgFinish(JobContext& ctx, bool restart_service) {
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
        return FAIL("UpgFinish: the client did not acknowledge the finish\n");
    return 1;
}

// ---- dumps ---------------------------------------------------------------------

namespace {
void remove_quietly(const std::string& path) {
    if (path.empty())
        return;
    std::error_code ec;
    std::filesystem::remove(path, ec);
}

int finish_dump(const std::vector<uint8_t>& buf, const std::string& path, JobContext& ctx) {
    if (!path.empty() && !write_file_atomic(path, buf.data(), buf.size())) {
        remove_quietly(path);
        BL_LOG(kSrc, "(dumping)the dump file %s could not be written\n", path.c_str());
        ctx.last_error = "the dump file could not be written";
        return 0;
    }
    ctx.progress(0);
    ctx.status("");
    return 1;
}
}  // namespace

int UpgDump(uint32_t size, std::vector<uint8_t>* out, const std::string& path, JobContext& ctx) {
    int ok = 0;
    {
        PhaseTimer timer(ctx.dump);
        WireStats& st = ctx.dump;
        std::vector<uint8_t>& buf = *out;
        buf.assign(size, 0);
        ok = [&]() -> int {
            std::vector<uint8_t> payload;
            put32(payload, size);
            std::vector<uint8_t> cmd = build_command_frame(0x60, payload);
            if (!line_send(ctx, cmd.data(), cmd.size(), 1000, &st))
                return FAIL("(dumping)the dump command could not be sent\n");
            uint8_t o = 0;
            uint32_t got = 0;
            line_recv(ctx, &o, 1, &got, 2000, &st);
            if (got != 1 || o != 'O')
                return FAIL("(dumping)the client did not accept the dump command\n");
            BL_LOG(kSrc, "Start Dumping Flash...\n");

            uint32_t received = 0;
            for (uint32_t index = 0; received < size; ++index) {
                const uint16_t seq = uint16_t(index % 0xFFFFu);
                const uint8_t hi = uint8_t(seq >> 8), lo = uint8_t(seq);
                const uint32_t n = std::min<uint32_t>(uint32_t(kDumpChunk), size - received);
                uint8_t* chunk = buf.data() + received;
                bool kept = false;
                for (int attempt = 0; !kept; ++attempt) {
                    if (ctx.cancelled()) {
                        ctx.reset_cancel();
                        return FAIL("DUMP Canceled by user!\n");
                    }
                    uint8_t h[4] = {0, 0, 0, 0};
                    bool rf = false;
                    size_t have = line_collect(ctx, h, 4, 10000, 1000, 1, nullptr, &rf, &st);
                    if (have < 4) {
                        BL_LOG(kSrc, "(dumping)Receive CMD error!\n");
                        kv_console_printf("len1 = %d ", int(have));
                        ctx.last_error = "(dumping)Receive CMD error!";
                        return 0;
                    }
                    if (h[0] != '#' || h[1] != '*') {
                        BL_LOG(kSrc, "(dumping)Receive CMD error!,cmd[0] = %x,cmd[1] = %x\n", h[0], h[1]);
                        ctx.last_error = "(dumping)Receive CMD error!";
                        return 0;
                    }
                    if (h[2] != hi || h[3] != lo) {
                        BL_LOG(kSrc, "(dumping)Receive CMD error!,cmd[2] = %x,cmd[3] = %x\n", h[2], h[3]);
                        ctx.last_error = "(dumping)Receive CMD error!";
                        return 0;
                    }
                    const uint8_t ack[3] = {0x00, hi, lo};
                    if (!line_send(ctx, ack, 3, 1000, &st))
                        return FAIL("(dumping)Send CMD error first!\n");
                    have = line_collect(ctx, chunk, n, 10000, 10000, 5, "Receiving Data again,please wait...\n", &rf,
                                        &st);
                    if (rf && have == 0)
                        return FAIL("(dumping)receive data error 6K!\n");
                    if (have < n) {
                        log_receive_failed();
                        ctx.last_error = "Receiving Data failed,please com";
                        return 0;
                    }
                    if (!line_send(ctx, ack, 3, 1000, &st))
                        return FAIL("(dumping)Send CMD error second!\n");
                    uint8_t c[4] = {0, 0, 0, 0};
                    have = line_collect(ctx, c, 4, 3000, 1000, 5, nullptr, &rf, &st);
                    if (have < 4) {
                        if (rf) {
                            kv_console_printf("len2 = %d ", int(have));
                            ctx.last_error = "(dumping)receiving the chunk CRC failed";
                            return 0;
                        }
                        return FAIL("Receiving crc failed,please checking com\n");
                    }
                    if (get32(c) == kv::crc32(chunk, n)) {
                        if (!line_send(ctx, ack, 3, 1000, &st))
                            return FAIL("(dumping)Send CMD error third!\n");
                        kept = true;
                        break;
                    }
                    if (attempt >= kDumpChunkRetries) {
                        BL_LOG(kSrc, "(dumping)chunk %u failed its CRC %d times, dump abandoned\n", index,
                               attempt + 1);
                        ctx.last_error = "(dumping)a chunk failed its CRC 6 times";
                        return 0;
                    }
                    line_drain(ctx, 256, 300, 20000, &st);
                    BL_LOG(kSrc, "Retransmitting,please wait...\n");
                    ++st.retries;
                    const uint8_t nak[3] = {0x01, hi, lo};
                    if (!line_send(ctx, nak, 3, 1000, &st))
                        return FAIL("(dumping)Send CMD error third!\n");
                }
                received += n;
                st.payload_bytes = received;
                ctx.progress(int(uint64_t(received) * 100 / size));
            }
            return 1;
        }();
    }
    if (!ok) {
        remove_quietly(path);
        return 0;
    }
    return finish_dump(*out, path, ctx);
}

int send_shell_image(JobContext& ctx, const std::string& image_name) {
    std::vector<uint8_t> img;
    if (!read_file(ctx.file_path(image_name), &img) || img.empty())
        return FAIL("sending shell.img Failed\n");
    if (!line_send(ctx, img.data(), img.size(), send_timeout(ctx, img.size(), 10000)))
        return FAIL("sending shell.img Failed\n");
    line_drain(ctx, 512, 3000);
    return 1;
}

int ShellReadDump(uint32_t size, std::vector<uint8_t>* out, const std::string& path, JobContext& ctx) {
    int ok = 0;
    {
        PhaseTimer timer(ctx.dump);
        WireStats& st = ctx.dump;
        std::vector<uint8_t>& buf = *out;
        buf.assign(size, 0);
        ok = [&]() -> int {
            BL_LOG(kSrc, "Start Dumping Flash...\n");
            std::vector<uint8_t> reply(kShellChunk + 13);
            uint32_t received = 0;
            while (received < size) {
                const uint32_t n = std::min<uint32_t>(uint32_t(kShellChunk), size - received);
                bool kept = false;
                for (int attempt = 0; !kept; ++attempt) {
                    if (ctx.cancelled()) {
                        ctx.reset_cancel();
                        return FAIL("DUMP Canceled by user!\n");
                    }
                    if (attempt > kDumpChunkRetries) {
                        BL_LOG(kSrc, "(dumping)the chunk at 0x%x failed %d times, dump abandoned\n", received, attempt);
                        ctx.last_error = "(dumping)a chunk failed 6 times";
                        return 0;
                    }
                    if (attempt > 0)
                        ++st.retries;
                    std::vector<uint8_t> req = build_shell_read(received, n);
                    if (!line_send(ctx, req.data(), req.size(), 2000, &st))
                        return FAIL("(dumping)send error\n");
                    const size_t want = n + 13;
                    bool rf = false;
                    size_t have = line_collect(ctx, reply.data(), want, 2000, 10000, 5,
                                               "Receiving Data again,please wait...\n", &rf, &st);
                    if (have < want) {
                        if (!rf)
                            log_receive_failed();
                        line_drain(ctx, 512, 300, 20000, &st);
                        continue;
                    }
                    if (get32(reply.data() + 9 + n) != kv::crc32(reply.data() + 9, n)) {
                        line_drain(ctx, 512, 300, 20000, &st);
                        continue;
                    }
                    std::memcpy(buf.data() + received, reply.data() + 9, n);
                    kept = true;
                }
                received += n;
                st.payload_bytes = received;
                ctx.progress(int(uint64_t(received) * 100 / size));
                ctx.status("Dumping: " + std::to_string(received) + "/" + std::to_string(size));
            }
            return 1;
        }();
    }
    if (!ok) {
        remove_quietly(path);
        return 0;
    }
    return finish_dump(*out, path, ctx);
}

}  // namespace bootlink
