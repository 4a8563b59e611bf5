#include "StampaLink.h"

#include "BootLink.h"
#include "KvBasicLog.h"
#include "UpgClient.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <thread>
#include <utility>

namespace stampa {

namespace {

constexpr int kSliceMs = 100;
constexpr size_t kEchoBuffer = 300;
constexpr int kEchoBoundMs = 60000;

std::string vformat(const char* format, va_list ap)
{
    char buf[1024];
    int n = std::vsnprintf(buf, sizeof buf, format, ap);
    return n < 0 ? std::string() : std::string(buf, std::min<size_t>(size_t(n), sizeof buf - 1));
}

std::string trimmed(std::string s)
{
    while (!s.empty() && (s.back() == '\n' || s.back() == '!'))
        s.pop_back();
    while (!s.empty() && s.front() == '\n')
        s.erase(s.begin());
    return s;
}

bool contains_bytes(const uint8_t* hay, size_t n, const std::string& needle)
{
    if (needle.empty() || needle.size() > n)
        return false;
    return std::search(hay, hay + n, needle.begin(), needle.end()) != hay + n;
}

}  // namespace

// ---- BoxLine ----------------------------------------------------------------

BoxLine::BoxLine(CSerialMonitorSerivce& svc, const std::atomic<bool>& stop, const char* source, IJobObserver* observer,
                 double pause_scale)
    : m_svc(svc), m_stop(stop), m_source(source), m_observer(observer), m_scale(pause_scale)
{}

int BoxLine::send(const void* data, size_t len, int timeout_ms)
{
    uint32_t sent = 0;
    return m_svc.SMS_Send(data, static_cast<uint32_t>(len), &sent, timeout_ms) == 1 && sent == len ? 1 : 0;
}

size_t BoxLine::recv(void* buf, size_t cap, int timeout_ms, bool* failed)
{
    auto* p = static_cast<uint8_t*>(buf);
    size_t got = 0;
    const int64_t end = bootlink::now_ms() + timeout_ms;
    do {
        if (stopped())
            break;
        int64_t left = end - bootlink::now_ms();
        int slice = static_cast<int>(std::clamp<int64_t>(left, 1, kSliceMs));
        uint32_t n = 0;
        if (m_svc.SMS_Receive(p + got, static_cast<uint32_t>(cap - got), &n, slice) != 1) {
            if (failed)
                *failed = true;
            break;
        }
        got += n;
    } while (got < cap && bootlink::now_ms() < end);
    return got;
}

size_t BoxLine::collect(uint8_t* buf, size_t n, int first_ms, int again_ms, int max_empty, const char* again_msg)
{
    size_t got = recv(buf, n, first_ms);
    for (int empty = 0; got < n && empty < max_empty && !stopped();) {
        size_t more = recv(buf + got, n - got, again_ms);
        got += more;
        empty += more == 0;
        if (again_msg)
            log(__LINE__, "%s", again_msg);
    }
    return got;
}

size_t BoxLine::drain(size_t chunk, int timeout_ms, int max_ms)
{
    std::vector<uint8_t> buf(chunk);
    size_t total = 0;
    const int64_t end = bootlink::now_ms() + max_ms;
    while (!stopped() && bootlink::now_ms() < end) {
        bool failed = false;
        size_t n = recv(buf.data(), chunk, timeout_ms, &failed);
        total += n;
        if (n == 0 || failed)
            break;
    }
    return total;
}

bool BoxLine::pause(int ms)
{
    const int64_t end = bootlink::now_ms() + static_cast<int64_t>(ms * m_scale);
    while (!stopped()) {
        int64_t left = end - bootlink::now_ms();
        if (left <= 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min<int64_t>(left, kSliceMs)));
    }
    return false;
}

void BoxLine::status(const std::string& text)
{
    if (!m_observer)
        return;
    if (std::exchange(m_waiting, false))
        m_observer->OnWaitingForBox(false);
    m_observer->OnStatus(text);
}

void BoxLine::waiting_for_box()
{
    m_waiting = true;
    if (m_observer)
        m_observer->OnWaitingForBox(true);
}

std::string BoxLine::vlog(int line, const char* format, va_list ap)
{
    std::string text = vformat(format, ap);
    LogStoreFileLine(m_source, line);
    kv_console_printf("%s", text.c_str());
    return text;
}

void BoxLine::log(int line, const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    vlog(line, format, ap);
    va_end(ap);
}

void BoxLine::fail(int line, const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    m_error = trimmed(vlog(line, format, ap));
    va_end(ap);
}

// ---- frames -------------------------------------------------------------------

std::vector<uint8_t> client_test_frame()
{
    return bootlink::build_command_frame('P', reinterpret_cast<const uint8_t*>(bootlink::kClientBanner), 15);
}

std::vector<uint8_t> burn_chunk_frame(const std::string& chars, uint8_t offset)
{
    std::vector<uint8_t> payload = {static_cast<uint8_t>(chars.size()), offset, 0x00};
    payload.insert(payload.end(), chars.begin(), chars.end());
    return bootlink::build_command_frame('p', payload);
}

std::vector<uint8_t> burn_code_frame(const std::string& code)
{
    std::vector<uint8_t> payload = {static_cast<uint8_t>(code.size()), 0x00, 0x00};
    payload.insert(payload.end(), code.begin(), code.end());
    return bootlink::build_command_frame('X', payload);
}

std::vector<uint8_t> burnt_query_frame() { return bootlink::build_command_frame(0x80, {0x02, 0x00, 0x00}); }

// ---- sync -----------------------------------------------------------------------

bool is_sync(SyncKind kind, const uint8_t* bytes, size_t n)
{
    const std::string word = kSyncWord;
    switch (kind) {
    case SyncKind::AnyRotation:
        if (n != 4)
            return false;
        for (size_t r = 0; r < 4; ++r)
            if (std::memcmp((word.substr(r) + word.substr(0, r)).data(), bytes, 4) == 0)
                return true;
        return false;
    case SyncKind::Within8:
        for (size_t at = 0; at <= 4 && at + 4 <= n; ++at)
            if (std::memcmp(bytes + at, kSyncWord, 4) == 0)
                return true;
        return false;
    case SyncKind::Exact: return n == 4 && std::memcmp(bytes, kSyncWord, 4) == 0;
    case SyncKind::BootRom: return false;
    }
    return false;
}

SyncResult sync_resident(BoxLine& line, SyncKind kind, int64_t deadline_ms)
{
    const size_t want = kind == SyncKind::Within8 ? 8 : 4;
    const int timeout = kind == SyncKind::Within8 ? 300 : 100;
    const uint8_t feedback = kSyncFeedback;
    for (;;) {
        if (line.stopped())
            return SyncResult::Stopped;
        if (deadline_ms && bootlink::now_ms() > deadline_ms) {
            line.set_error("no box announced itself");
            return SyncResult::TimedOut;
        }
        uint8_t buf[8];
        bool failed = false;
        size_t got = line.recv(buf, want, timeout, &failed);
        if (failed) {
            line.fail(__LINE__, "read from the port failed: %s\n", line.svc().last_error().c_str());
            return SyncResult::Failed;
        }
        if (!is_sync(kind, buf, got))
            continue;
        if (kind == SyncKind::Within8)
            line.log(__LINE__, "Got sync byte!\nStart sending client...\n");
        else
            line.log(__LINE__, "Got sync byte!\n");
        line.status("Sync with slave, please wait...");
        if (kind != SyncKind::AnyRotation) {
            if (line.send(&feedback, 1, 10))
                return SyncResult::Synced;
            continue;  // the box keeps announcing; answer the next word
        }
        for (int attempt = 0; attempt < 9; ++attempt)
            if (line.send(&feedback, 1, 10))
                return SyncResult::Synced;
        line.fail(__LINE__, "send sync feedback failed!!\n");
        return SyncResult::Failed;
    }
}

// ---- exchanges ---------------------------------------------------------------------

bool client_test(BoxLine& line, bool cost_time)
{
    const int64_t t0 = bootlink::now_ms();
    line.log(__LINE__, "Start to check serial...\n");
    line.drain(5120, 3000);
    const std::vector<uint8_t> frame = client_test_frame();
    bool answered = false;
    for (int attempt = 0; attempt < 3 && !answered && !line.stopped(); ++attempt) {
        uint8_t rsp[2] = {0, 0};
        if (line.send(frame.data(), frame.size(), 1000) && line.recv(rsp, 2, 2000) == 2)
            answered = rsp[0] == 'O' && rsp[1] == 'O';
    }
    if (!answered) {
        line.fail(__LINE__, "!! UpgClientTest FAIL: RSP error!!\n");
        return false;
    }
    uint8_t banner[15];
    size_t got = line.recv(banner, sizeof banner, 1000);
    if (got < sizeof banner) {
        line.fail(__LINE__, "!! UpgClientTest FAIL: Receive failed !!\n");
        return false;
    }
    if (!contains_bytes(banner, got, bootlink::kClientBanner)) {
        line.fail(__LINE__, "!! UpgClientTest FAIL!!\n");
        return false;
    }
    if (cost_time)
        line.log(__LINE__, "upgclient test finished, cost time %dms\n", int(bootlink::now_ms() - t0));
    else
        line.log(__LINE__, "upgclient test finished.\n");
    return true;
}

namespace {

// Reads the echo of one chunk into `buf` (300 bytes): reads of up to n+15
// bytes until n+5 have come or the chunk stands in what came. A box may take
// its time to write its flash, so a read that brings nothing does not end it:
// only the minute a burn may last, a lost line or Stop do. Returns the bytes
// received.
size_t read_echo(BoxLine& line, const std::string& chars, uint8_t* buf, int64_t burn_began)
{
    const size_t n = chars.size();
    size_t got = 0;
    while (got < n + 5 && got < kEchoBuffer && !line.stopped() && !contains_bytes(buf, got, chars)) {
        if (bootlink::now_ms() - burn_began > kEchoBoundMs) {
            line.log(__LINE__, "do not get right stampa feedback\n!!");
            break;
        }
        line.pause(10);
        size_t want = std::min(n + 15, kEchoBuffer - got);
        bool failed = false;
        got += line.recv(buf + got, want, 2000, &failed);
        if (failed)
            break;
    }
    return got;
}

bool burn_one_chunk(BoxLine& line, const std::string& chars, uint8_t offset, uint8_t* echo, int64_t began)
{
    const std::vector<uint8_t> frame = burn_chunk_frame(chars, offset);
    bool sent = false;
    for (int attempt = 0; attempt < 4 && !sent && !line.stopped(); ++attempt)
        sent = line.send(frame.data(), frame.size(), 1000);
    if (!sent) {
        line.fail(__LINE__, "send burn stampa command failed!!\n");
        return false;
    }
    uint8_t first = 0;
    if (line.recv(&first, 1, 1000) != 1) {
        line.fail(__LINE__, "no feedback to the burn command!!\n");
        return false;
    }
    if (first != 'O') {
        line.fail(__LINE__, "error feedback,rsp = %x\n", first);
        return false;
    }
    uint8_t rsp[3] = {0, 0, 0};
    if (line.recv(rsp, 3, 2000) != 3) {
        line.fail(__LINE__, "no answer to the burn command!!\n");
        return false;
    }
    if (rsp[0] != 'O') {
        line.fail(__LINE__, "ERROR CODE:%d\n", rsp[2]);
        return false;
    }
    std::memset(echo, 0, kEchoBuffer);
    size_t got = read_echo(line, chars, echo, began);
    if (!contains_bytes(echo, got, chars)) {
        line.fail(__LINE__, "%s\n", chars.c_str());
        line.set_error("the box did not echo " + chars);
        return false;
    }
    // Whatever the box printed after the echo must not be taken for the
    // reply to the next chunk.
    line.drain(256, 20, 1000);
    return true;
}

}  // namespace

bool burn_chunks(BoxLine& line, const std::string& code, int first_offset, bool* sent)
{
    const int64_t began = bootlink::now_ms();
    uint8_t echo[kEchoBuffer];
    size_t chunks = (code.size() + kChunkChars - 1) / kChunkChars;
    for (size_t i = 0; i < chunks; ++i) {
        if (line.stopped())
            return false;
        std::string chars = code.substr(i * kChunkChars, kChunkChars);
        uint8_t offset = static_cast<uint8_t>(first_offset + static_cast<int>(i) * kChunkChars);
        if (sent)
            *sent = true;
        if (!burn_one_chunk(line, chars, offset, echo, began))
            return false;
    }
    return chunks > 0;
}

bool box_holds_code(BoxLine& line)
{
    const std::vector<uint8_t> frame = burnt_query_frame();
    uint8_t any = 0, rsp[3] = {0, 0, 0};
    if (!line.send(frame.data(), frame.size(), 1000) || line.recv(&any, 1, 1000) != 1 || line.recv(rsp, 3, 1000) != 3)
        return false;
    return rsp[0] == 'O' && rsp[1] == 0x80 && rsp[2] == 0x01;
}

namespace {

// The time-out of a send of `len` bytes: at least `given_ms`, and twice the
// bytes' time on the line (ten bits a byte) and a second when that is longer.
int send_timeout(CSerialMonitorSerivce& svc, size_t len, int given_ms)
{
    serialport_config_tag cfg;
    int baud = svc.SMS_GetCurSvcParam(nullptr, nullptr, &cfg) ? cfg.baud_rate : 0;
    if (baud <= 0)
        baud = 115200;
    const uint64_t need = uint64_t(len) * 10u * 1000u * 2u / uint64_t(baud) + 1000u;
    return int(std::min<uint64_t>(std::max<uint64_t>(need, uint64_t(given_ms)), 3600000u));
}

}  // namespace

bool download_client(BoxLine& line, const std::string& path)
{
    std::vector<uint8_t> image;
    if (!bootlink::read_file(path, &image) || image.empty()) {
        line.fail(__LINE__, "Download Upg Client Image Failed!\n");
        line.set_error("cannot read the client " + path);
        return false;
    }
    std::vector<uint8_t> all = bootlink::client_image_header(0, static_cast<uint32_t>(image.size()));
    all.insert(all.end(), image.begin(), image.end());
    if (!line.send(all.data(), all.size(), send_timeout(line.svc(), all.size(), 10500))) {
        line.fail(__LINE__, "Download Upg Client Image Failed!\n");
        return false;
    }
    return true;
}

bool burn_whole_code(BoxLine& line, const std::string& code)
{
    const std::vector<uint8_t> frame = burn_code_frame(code);
    if (!line.send(frame.data(), frame.size(), 1000)) {
        line.fail(__LINE__, "send burn stampa command failed!!\n");
        return false;
    }
    uint8_t ok1 = 0, ok2 = 0;
    if (line.recv(&ok1, 1, 5000) != 1 || ok1 != 'O' || line.recv(&ok2, 1, 2000) != 1 || ok2 != 'O') {
        line.fail(__LINE__, "error feedback,rsp = %x %x\n", ok1, ok2);
        return false;
    }
    std::vector<uint8_t> echo(code.size());
    size_t got = line.collect(echo.data(), echo.size(), 2000, 2000, 5, "Receiving Data again,please wait...\n");
    if (got < echo.size()) {
        line.fail(__LINE__, "Receiving Data failed,please checking com\n");
        return false;
    }
    line.drain(10, 100);
    if (std::memcmp(echo.data(), code.data(), code.size()) != 0) {
        line.fail(__LINE__, "Burning Stampa failed!!!\n");
        return false;
    }
    line.log(__LINE__, "Burning Stampa successfully!!!\n");
    return true;
}

}  // namespace stampa
