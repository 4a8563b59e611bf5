#include "BootLink.h"

#include "KvBasicCfgIni.h"
#include "KvBasicLog.h"

#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

namespace bootlink {

CSerialMonitorSerivce* JobContext::service() const {
    return svc ? svc : kv::current_serial_service();
}

void JobContext::pause(int ms) const {
    double scaled = double(ms) * (pause_scale < 0 ? 0.0 : pause_scale);
    if (scaled >= 1.0)
        std::this_thread::sleep_for(std::chrono::milliseconds(int64_t(scaled)));
}

std::string JobContext::file_path(const std::string& name) const {
    if (root_dir.empty())
        return CKvBasicCfgIni::path_in_root(name);
    return (std::filesystem::path(root_dir) / name).string();
}

JobContext& default_context() {
    thread_local JobContext ctx;
    return ctx;
}

int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int port_open(CSerialMonitorSerivce* svc) {
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

int line_send(JobContext& ctx, const void* data, size_t len, int timeout_ms, WireStats* st) {
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

int line_recv(JobContext& ctx, void* buf, size_t cap, uint32_t* got, int timeout_ms, WireStats* st) {
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

size_t line_collect(JobContext& ctx, uint8_t* buf, size_t n, int first_ms, int again_ms, int max_empty,
                    const char* again_msg, bool* read_failed, WireStats* st) {
    if (read_failed)
        *read_failed = false;
    size_t have = 0;
    uint32_t got = 0;
    if (!line_recv(ctx, buf, n, &got, first_ms, st)) {
        if (read_failed)
            *read_failed = true;
        return 0;
    }
    have = got;
    int empty = 0;
    while (have < n) {
        if (again_msg)
            kv_console_printf("%s", again_msg);
        if (!line_recv(ctx, buf + have, n - have, &got, again_ms, st)) {
            if (read_failed)
                *read_failed = true;
            return have;
        }
        if (got == 0 && ++empty >= max_empty)
            return have;
        have += got;
    }
    return have;
}

size_t line_drain(JobContext& ctx, size_t chunk, int timeout_ms, int max_ms, WireStats* st) {
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

int line_set_baud(JobContext& ctx, int baud) {
    CSerialMonitorSerivce* svc = ctx.service();
    if (!svc)
        return 0;
    serialport_config_tag cfg;
    if (!svc->SMS_GetCurSvcParam(nullptr, nullptr, &cfg))
        return 0;
    cfg.baud_rate = baud;
    return svc->SMS_ChangeBaudrate(cfg) ? 1 : 0;
}

int read_file(const std::string& path, std::vector<uint8_t>* out) {
    out->clear();
    std::ifstream f(path, std::ios::binary);
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

int write_file_atomic(const std::string& path, const uint8_t* data, size_t len) {
    std::string tmp = path + ".part";
    {
        std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
        if (!f)
            return 0;
        if (len && !f.write(reinterpret_cast<const char*>(data), std::streamsize(len))) {
            f.close();
            std::error_code ec;
            std::filesystem::remove(tmp, ec);
            return 0;
        }
        f.flush();
        if (!f) {
            f.close();
            std::error_code ec;
            std::filesystem::remove(tmp, ec);
            return 0;
        }
    }
    std::error_code ec;
    std::filesystem::rename(tmp, path, ec);
    if (ec) {
        std::filesystem::remove(tmp, ec);
        return 0;
    }
    return 1;
}

void log_at(const char* source, int line, const char* format, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, format);
    int n = std::vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    if (n < 0)
        return;
    LogStoreFileLine(source, line);
    kv_console_printf("%s", buf);
}

void log_data_at(const char* source, int line, const char* text, size_t count) {
    LogStoreFileLine(source, line);
    WriteConsleData(text, count);
}

}  // namespace bootlink
