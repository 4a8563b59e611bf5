#include "LogServer.h"

#include "KvBasicCfgIni.h"

#include <cerrno>
#include <cstring>

namespace corvane {

LogServer::LogServer() : LogServer(Options()) {}

LogServer::LogServer(Options options) : m_opt(std::move(options))
{
    std::string folder = m_opt.log_folder.empty() ? CKvBasicCfgIni::get_cur_root_directory() : m_opt.log_folder;
    m_file = std::make_unique<kv::DailyLogFile>(folder, m_opt.clock);
}

LogServer::~LogServer() { Stop(); }

std::string LogServer::CurrentLogFile() const { return m_file->current_path(); }

int LogServer::Start(Sink sink, std::string* error)
{
    auto fail = [&](const std::string& why) {
        if (error)
            *error = why;
        return 0;
    };
    if (m_listener.IsOpen())
        return fail("the log server already runs");

    std::string why;
    m_socketPath = m_opt.socket_path.empty() ? kv::log_socket_path(&why) : m_opt.socket_path;
    if (m_socketPath.empty())
        return fail(why.empty() ? std::string("no folder for the log socket") : why);
    if (!m_listener.Open(m_socketPath, &why))
        return fail(why);

    m_sink = std::move(sink);
    m_running = true;
    m_thread.Attach([this] { return Loop(); });
    if (!m_thread.Start(1)) {
        m_running = false;
        m_listener.Close();
        return fail("the log server thread did not start");
    }
    return 1;
}

void LogServer::Stop()
{
    if (!m_listener.IsOpen())
        return;
    m_running = false;
    m_listener.Wake();
    m_thread.Stop(1);
    m_thread.Detach();
    m_listener.Close();
}

uint32_t LogServer::Loop()
{
    uint8_t buf[4096];
    while (m_running) {
        size_t n = 0;
        switch (m_listener.Next(buf, sizeof(buf), &n, m_opt.read_timeout_ms)) {
        case platform::LogListener::Take::Stopped:
            return 0;
        case platform::LogListener::Take::Silent:
            m_dropped++;
            break;
        case platform::LogListener::Take::Gone:
            break;
        case platform::LogListener::Take::Message:
            if (n >= kv::kLogRecordLimit) {
                m_received++;
                m_dropped++;
            } else {
                HandleMessage(buf, n);
            }
            break;
        }
    }
    return 0;
}

bool LogServer::HandleMessage(const uint8_t* data, size_t len)
{
    // Counted once the record has been dealt with (file and console), so a
    // watcher of the count sees its effects.
    struct CountOnExit {
        std::atomic<uint64_t>& n;
        ~CountOnExit() { n++; }
    } counted{m_received};
    kv::LogRecord rec;
    if (len < kv::kLogHeaderSize || len >= kv::kLogRecordLimit || !kv::decode_log_record(data, len, &rec)) {
        m_dropped++;
        return false;
    }
    if (!rec.text.empty() && !m_file->append(rec.text.data(), rec.text.size())) {
        std::string path = m_file->current_path();
        if (path != m_failedLogPath) {
            m_failedLogPath = path;
            if (m_sink) {
                kv::LogRecord note;
                note.kind = kv::kLogKindInsertText;
                note.text = "Log file " + path + " cannot be written: " + std::strerror(errno) + "\n";
                m_sink(note);
            }
        }
    } else if (!rec.text.empty()) {
        m_failedLogPath.clear();
    }
    if (m_sink && (rec.kind == kv::kLogKindInsertText || rec.kind == kv::kLogKindAppendBytes) && !rec.text.empty())
        m_sink(rec);
    return true;
}

}  // namespace corvane
