#include "BootLink.h"
#include "FileOps.h"

#include "AtomicFile.h"

#include "KvBasicCfgIni.h"
#include "KvBasicLog.h"
#include "Platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace bootlink {

CSerialMonitorSerivce* JobContext::service() const { return svc ? svc : kv::current_serial_service(); }

void JobContext::pause(int ms) const
{
    double scaled = double(ms) * (pause_scale < 0 ? 0.0 : pause_scale);
    if (scaled >= 1.0)
        std::this_thread::sleep_for(std::chrono::milliseconds(int64_t(scaled)));
}

std::string JobContext::file_path(const std::string& name) const
{
    if (root_dir.empty())
        return CKvBasicCfgIni::path_in_root(name);
    return kv::path_text(kv::file_path(root_dir) / kv::file_path(name));
}

JobContext& default_context()
{
    thread_local JobContext ctx;
    return ctx;
}

int64_t now_ms() { return kv::monotonic_ms(); }

int port_open(CSerialMonitorSerivce* svc)
{
    if (!svc)
        return 0;
    serialport_config_tag cfg;
    if (!svc->SMS_GetCurSvcParam(nullptr, nullptr, &cfg))
        return 0;
    std::vector<int> open = svc->SMS_IsPortOpen();
    if (cfg.port_index < 0 || size_t(cfg.port_index) >= open.size())
        return 0;
    return open[size_t(cfg.port_index)] == 1 ? 1 : 0;
}

int line_send(JobContext& ctx, const void* data, size_t len, int timeout_ms, WireStats* st)
{
    CSerialMonitorSerivce* svc = ctx.service();
    if (!svc || !port_open(svc))
        return 0;
    if (len == 0)
        return 1;
    uint32_t sent = 0;
    int ok = svc->SMS_Send(data, uint32_t(len), &sent, timeout_ms, -1);
    if (st)
        st->wire_out += sent;
    return (ok && sent == len) ? 1 : 0;
}

int send_timeout_ms(JobContext& ctx, size_t len, int floor_ms)
{
    int baud = line_baud(ctx);
    if (baud <= 0)
        baud = kClientBaud;
    uint64_t need = uint64_t(len) * 10u * 1000u * 2u / uint64_t(baud) + 1000u;
    return int(std::min<uint64_t>(std::max<uint64_t>(need, uint64_t(std::max(floor_ms, 0))), 3600000u));
}

int line_recv(JobContext& ctx, void* buf, size_t cap, uint32_t* got, int timeout_ms, WireStats* st)
{
    *got = 0;
    CSerialMonitorSerivce* svc = ctx.service();
    if (!svc || cap == 0)
        return 0;
    int ok = svc->SMS_Receive(buf, uint32_t(cap), got, timeout_ms, -1);
    if (*got > cap)  // never trust a count beyond the buffer
        *got = uint32_t(cap);
    if (st)
        st->wire_in += *got;
    return ok ? 1 : 0;
}

size_t line_collect(JobContext& ctx, uint8_t* buf, size_t n, const ReadPlan& plan, bool* read_failed, WireStats* st)
{
    if (read_failed)
        *read_failed = false;
    const int64_t deadline = now_ms() + plan.bound_ms();
    size_t have = 0;
    int empty = 0;
    for (int i = 0; have < n; ++i) {
        int budget = i == 0 ? plan.first_ms : plan.again_ms;
        const int64_t left = deadline - now_ms();
        if (i > 0 && left <= 0)
            break;
        if (left < budget)
            budget = int(std::max<int64_t>(left, 0));
        if (i > 0 && plan.again_msg)
            kv_console_printf("%s", plan.again_msg);
        uint32_t got = 0;
        if (!line_recv(ctx, buf + have, n - have, &got, budget, st)) {
            if (read_failed)
                *read_failed = true;
            return have;
        }
        have += got;
        if (got == 0 && (i > 0 || plan.first_counts) && ++empty >= plan.max_empty)
            break;
    }
    return have;
}

size_t line_collect_reply(JobContext& ctx, uint8_t* buf, size_t n, const ReadPlan& plan, bool* read_failed)
{
    size_t have = line_collect(ctx, buf, n, plan, read_failed);
    if (!ctx.announcement_may_trail || have < n || n == 0)
        return have;
    ctx.announcement_may_trail = false;
    CSerialMonitorSerivce* svc = ctx.service();
    const uint8_t sync = svc ? svc->sync_byte() : uint8_t('R');
    // The box's reply goes out in one burst: when a byte follows right
    // behind what we took for the reply, the leading sync byte was an
    // announcement that crossed our first bytes on the line.
    constexpr int kBehindMs = 100;
    for (int k = 0; k < 4 && buf[0] == sync; ++k) {
        uint8_t next = 0;
        uint32_t got = 0;
        line_recv(ctx, &next, 1, &got, kBehindMs);
        if (got == 0)
            break;
        std::memmove(buf, buf + 1, n - 1);
        buf[n - 1] = next;
    }
    return have;
}

size_t line_drain(JobContext& ctx, size_t chunk, int timeout_ms, int max_ms, WireStats* st)
{
    std::vector<uint8_t> buf(chunk ? chunk : 1);
    size_t total = 0;
    int64_t start = now_ms();
    for (;;) {
        uint32_t got = 0;
        if (!line_recv(ctx, buf.data(), buf.size(), &got, timeout_ms, st) || got == 0)
            break;
        total += got;
        if (now_ms() - start > max_ms)
            break;
    }
    return total;
}

size_t drain_after_announcement(JobContext& ctx, size_t chunk, int timeout_ms)
{
    CSerialMonitorSerivce* svc = ctx.service();
    const uint8_t sync = svc ? svc->sync_byte() : uint8_t('R');
    std::vector<uint8_t> buf(chunk ? chunk : 1);
    size_t total = 0;
    const int64_t start = now_ms();
    for (;;) {
        uint32_t got = 0;
        if (!line_recv(ctx, buf.data(), buf.size(), &got, timeout_ms) || got == 0)
            break;
        total += got;
        if (std::all_of(buf.begin(), buf.begin() + got, [&](uint8_t b) { return b == sync; }))
            break;
        if (now_ms() - start > 20000)
            break;
    }
    return total;
}

int line_set_baud(JobContext& ctx, int baud)
{
    CSerialMonitorSerivce* svc = ctx.service();
    if (!svc)
        return 0;
    serialport_config_tag cfg;
    if (!svc->SMS_GetCurSvcParam(nullptr, nullptr, &cfg))
        return 0;
    if (cfg.baud_rate == baud && port_open(svc))
        return 1;
    cfg.baud_rate = baud;
    return svc->SMS_ChangeBaudrate(cfg) ? 1 : 0;
}

int line_baud(JobContext& ctx)
{
    CSerialMonitorSerivce* svc = ctx.service();
    serialport_config_tag cfg;
    if (!svc || !port_open(svc) || !svc->SMS_GetCurSvcParam(nullptr, nullptr, &cfg))
        return 0;
    return cfg.baud_rate;
}

JobErrorKind error_kind(Outcome o)
{
    switch (o) {
    case Outcome::Ok: return JobErrorKind::None;
    case Outcome::Cancelled: return JobErrorKind::Cancelled;
    case Outcome::NoBox: return JobErrorKind::NoBox;
    case Outcome::PortLost: return JobErrorKind::Port;
    case Outcome::Failed: break;
    }
    return JobErrorKind::Failed;
}

Outcome wait_for_boot_rom(JobContext& ctx, int64_t limit_ms)
{
    CSerialMonitorSerivce* svc = ctx.service();
    if (!svc)
        return Outcome::PortLost;
    ctx.waiting_for_box(true);
    const int waited = svc->SMS_WaitAnnouncement(limit_ms, ctx.cancel);
    ctx.waiting_for_box(false);
    switch (waited) {
    case 1: ctx.announcement_may_trail = true; return Outcome::Ok;
    case 0: return Outcome::NoBox;
    case -1: return Outcome::Cancelled;
    default: return Outcome::PortLost;
    }
}

LineRestore::LineRestore(JobContext& ctx) : m_ctx(ctx), m_baud(line_baud(ctx)) {}

LineRestore::~LineRestore()
{
    CSerialMonitorSerivce* svc = m_ctx.service();
    if (!svc)
        return;
    svc->m_RawLink = 0;
    if (m_baud > 0 && line_baud(m_ctx) != m_baud)
        line_set_baud(m_ctx, m_baud);
    svc->SMS_StartSvc();
}

int read_file(const std::string& path, std::vector<uint8_t>* out)
{
    out->clear();
    std::ifstream f(kv::file_path(path), std::ios::binary);
    if (!f)
        return 0;
    f.seekg(0, std::ios::end);
    std::streamoff len = f.tellg();
    if (len < 0)
        return 0;
    f.seekg(0, std::ios::beg);
    out->resize(size_t(len));
    if (len > 0 && !f.read(reinterpret_cast<char*>(out->data()), len)) {
        out->clear();
        return 0;
    }
    return 1;
}

int write_file_atomic(const std::string& path, const uint8_t* data, size_t len)
{
    return kv::write_file_atomic(path, data, len) ? 1 : 0;
}

namespace {
// A log line of at most 1023 bytes.
std::string vformat(const char* format, va_list ap)
{
    char buf[1024];
    int n = std::vsnprintf(buf, sizeof buf, format, ap);
    return n < 0 ? std::string() : std::string(buf);
}
}  // namespace

Outcome failure_outcome(JobContext& ctx)
{
    CSerialMonitorSerivce* svc = ctx.service();
    return svc && svc->line_lost() ? Outcome::PortLost : Outcome::Failed;
}

int fail_at(JobContext& ctx, const char* source, int line, Outcome why, const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    std::string e = vformat(format, ap);
    va_end(ap);
    log_at(source, line, "%s", e.c_str());
    e.erase(std::remove(e.begin(), e.end(), '\n'), e.end());
    ctx.last_error = e;
    ctx.outcome = why == Outcome::Failed ? failure_outcome(ctx) : why;
    return 0;
}

void warn_at(JobContext& ctx, const char* source, int line, const std::string& msg)
{
    log_at(source, line, "%s\n", msg.c_str());
    ctx.warnings.push_back(msg);
}

void log_at(const char* source, int line, const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    std::string text = vformat(format, ap);
    va_end(ap);
    LogStoreFileLine(source, line);
    kv_console_printf("%s", text.c_str());
}

void log_data_at(const char* source, int line, const char* text, size_t count)
{
    LogStoreFileLine(source, line);
    WriteConsleData(text, count);
}

}  // namespace bootlink
