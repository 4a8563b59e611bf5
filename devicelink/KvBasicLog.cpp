#include "KvBasicLog.h"

#include "KvBasicCfgIni.h"
#include "KvLogRecord.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <vector>

namespace {

struct LogState {
    std::mutex mutex;  // listeners, clock, fallback file
    std::map<int, kv::LogListener> listeners;
    int next_id = 1;
    std::function<long long()> clock;
    kv::LogFallback fallback = kv::LogFallback::StdoutAndFile;
};

LogState& state()
{
    static LogState s;
    return s;
}

struct SourceLine {
    std::string file;
    int line = 0;
};
thread_local SourceLine t_source;
thread_local std::string t_tag;

// The socket's path, checked once per runtime folder: the folder's
// ownership and mode are verified when it is first used, not on every line.
std::string socket_path_cached()
{
    static std::mutex m;
    static std::string runtime, path;
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    std::string now = xdg ? xdg : "";
    std::lock_guard<std::mutex> l(m);
    if (path.empty() || now != runtime) {
        runtime = now;
        path = kv::log_socket_path();
    }
    return path;
}

void fallback_write(int kind, const std::string& text)
{
    LogState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.fallback == kv::LogFallback::None || kind == kv::kLogKindClear || text.empty())
        return;
    if (s.fallback == kv::LogFallback::StdoutAndFile) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    }
    kv::DailyLogFile file(CKvBasicCfgIni::get_cur_root_directory(), s.clock);
    file.append(text.data(), text.size());
}

void emit(int kind, std::string text)
{
    LogState& s = state();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        for (auto& [id, fn] : s.listeners)
            fn(kind, text);
    }
    kv::LogRecord rec;
    rec.kind = kind;
    rec.pid = static_cast<int>(::getpid());
    rec.source = t_source.file;
    rec.line = t_source.line;
    t_source = SourceLine();
    rec.text = std::move(text);

    // The records of one call stay together, whatever other threads log.
    static std::mutex send_mutex;
    std::lock_guard<std::mutex> send_lock(send_mutex);
    std::string path = socket_path_cached();
    bool sent = false;
    if (!path.empty()) {
        auto records = kv::encode_log_records(rec);
        sent = true;
        for (size_t i = 0; i < records.size(); ++i) {
            if (!kv::send_log_record(path, records[i])) {
                // The host went away part-way: the rest goes to the fallback.
                if (i == 0) {
                    sent = false;
                } else {
                    size_t done = 0;
                    for (size_t k = 0; k < i; ++k)
                        done += records[k].size() - kv::kLogHeaderSize - 1;
                    fallback_write(kind, rec.text.substr(done));
                }
                break;
            }
        }
    }
    if (!sent)
        fallback_write(kind, rec.text);
}

std::string vformat(const char* format, va_list ap)
{
    va_list ap2;
    va_copy(ap2, ap);
    char small[512];
    int n = std::vsnprintf(small, sizeof(small), format, ap);
    std::string out;
    if (n < 0) {
        out = format;
    } else if (static_cast<size_t>(n) < sizeof(small)) {
        out.assign(small, static_cast<size_t>(n));
    } else {
        out.resize(static_cast<size_t>(n) + 1);
        std::vsnprintf(out.data(), out.size(), format, ap2);
        out.resize(static_cast<size_t>(n));
    }
    va_end(ap2);
    return out;
}

}  // namespace

void kv_console_printf(const char* format, ...)
{
    if (!format)
        return;
    va_list ap;
    va_start(ap, format);
    emit(kv::kLogKindAppendBytes, vformat(format, ap));
    va_end(ap);
}

void WriteConsleData(const void* bytes, size_t length)
{
    if (!bytes)
        return;
    // Callers sometimes count the terminating zero, and what the STB prints
    // may hold zero bytes: those are left out, nothing after them is lost.
    const char* p = static_cast<const char*>(bytes);
    std::string text;
    text.reserve(length);
    for (size_t i = 0; i < length; ++i)
        if (p[i] != '\0')
            text += p[i];
    emit(kv::kLogKindAppendBytes, std::move(text));
}

void LogStoreFileLine(const wchar_t* file, int line)
{
    std::string narrow;
    if (file)
        for (const wchar_t* w = file; *w; ++w)
            narrow += (*w < 0x80) ? static_cast<char>(*w) : '?';
    t_source.file = narrow;
    t_source.line = line;
}

void LogStoreFileLine(const char* file, int line)
{
    t_source.file = file ? file : "";
    t_source.line = line;
}

void ClearConsle() { emit(kv::kLogKindClear, std::string()); }

void WriteLog(int /*level*/, const char* format, ...)
{
    if (!format)
        return;
    va_list ap;
    va_start(ap, format);
    emit(kv::kLogKindAppendBytes, vformat(format, ap));
    va_end(ap);
}

namespace kv {

void log_set_fallback(LogFallback mode)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    state().fallback = mode;
}

int log_add_listener(LogListener fn)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    int id = state().next_id++;
    state().listeners[id] = std::move(fn);
    return id;
}

void log_remove_listener(int id)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    state().listeners.erase(id);
}

void log_set_thread_tag(const std::string& tag) { t_tag = tag; }

const std::string& log_thread_tag() { return t_tag; }

void log_set_clock(std::function<long long()> now_seconds)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    state().clock = std::move(now_seconds);
}

}  // namespace kv
