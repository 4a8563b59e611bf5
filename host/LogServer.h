// The server side of the log socket "Default Log Window".
//
// Tools send every log line as one record over its own connection (see
// KvLogRecord.h). The server takes one connection at a time: it reads the one
// record, answers with an empty message, closes the connection, appends the
// text to the day's log file and hands the record to the console. Records
// below 36 or from 2048 bytes are dropped unseen.
//
// The socket lies in the per-user folder of kv::log_socket_dir(), mode 0700,
// so no other local user can connect to it or read what the tools log. On
// Windows it is the named pipe \\.\pipe\Default Log Window in message mode
// (platform/LogListener.h holds both).
//
// No Qt here: the output pane supplies the sink that moves records onto its
// own thread.
#pragma once

#include "KvLogRecord.h"
#include "KvWorkThread.h"
#include "LogListener.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace corvane {

class LogServer {
public:
    // Called on the server thread with every record of kind 2 (insert text)
    // or 3 (append bytes), in the order they came. Kind 4 (clear request)
    // leaves the console as it is; other kinds only reach the file.
    using Sink = std::function<void(const kv::LogRecord&)>;

    struct Options {
        std::string socket_path;  // empty: kv::log_socket_path()
        std::string log_folder;  // empty: the program folder
        std::function<long long()> clock;  // seconds since the epoch; empty: time()
        int read_timeout_ms = 1000;  // a client that connects and stays silent is dropped after this
    };

    LogServer();
    explicit LogServer(Options options);
    ~LogServer();
    LogServer(const LogServer&) = delete;
    LogServer& operator=(const LogServer&) = delete;

    // Binds the socket and starts the server thread. 1 on success; 0 with the
    // reason in *error. A stale socket left by a crashed host is replaced; a
    // socket another live server answers on is left alone (failure).
    int Start(Sink sink, std::string* error = nullptr);
    // Stops the thread, closes and removes the socket. Safe to call twice.
    void Stop();
    bool IsRunning() const { return m_listener.IsOpen(); }

    // What the server thread does with one received message: file, then sink.
    // False when the message was dropped (size or text length out of bounds).
    bool HandleMessage(const uint8_t* data, size_t len);

    std::string SocketPath() const { return m_socketPath; }
    std::string CurrentLogFile() const;
    uint64_t Received() const { return m_received.load(); }
    uint64_t Dropped() const { return m_dropped.load(); }

private:
    uint32_t Loop();

    Options m_opt;
    std::string m_socketPath;
    Sink m_sink;
    std::unique_ptr<kv::DailyLogFile> m_file;
    std::string m_failedLogPath;  // the file we last failed to write (told once)
    platform::LogListener m_listener;
    CKvWorkThread m_thread;
    std::atomic<bool> m_running{false};
    std::atomic<uint64_t> m_received{0};
    std::atomic<uint64_t> m_dropped{0};
};

}  // namespace corvane
