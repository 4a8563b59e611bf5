// The dockable "Output" pane: one tab "KvConsle" with the console, fed by the
// log server. The server thread never touches the console: it queues records
// and the pane applies them on the user-interface thread, a slice at a time,
// so a flood of log lines never freezes the window.
#pragma once

#include "LogServer.h"

#include <QDockWidget>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

class QTabWidget;
class CKvConsleListBox;

class COutputWnd : public QDockWidget {
    Q_OBJECT
public:
    explicit COutputWnd(QWidget* parent = nullptr);
    ~COutputWnd() override;

    // Starts the log server. 1 on success; 0 with the reason in *error (the
    // pane works without it: tools then log to standard output and the file).
    int StartServer(corvane::LogServer::Options options, std::string* error = nullptr);
    void StopServer();
    corvane::LogServer* Server() { return m_server.get(); }

    CKvConsleListBox* Console() const { return m_console; }
    QTabWidget* Tabs() const { return m_tabs; }

    // Called by the server thread for each record to show.
    void Enqueue(const kv::LogRecord& rec);
    // Applies everything queued so far (tests; the event loop does it itself).
    void DrainAll();
    size_t Pending() const;
    // The longest single piece of console work on the user-interface thread
    // so far, in milliseconds (benchmarks).
    qint64 LongestSliceMs() const { return m_longestSliceMs; }

private:
    void drainSlice();

    QTabWidget* m_tabs = nullptr;
    CKvConsleListBox* m_console = nullptr;
    std::unique_ptr<corvane::LogServer> m_server;

    mutable std::mutex m_mutex;
    std::condition_variable m_drained;
    std::deque<kv::LogRecord> m_queue;
    size_t m_queuedBytes = 0;
    bool m_posted = false;
    bool m_closing = false;
    qint64 m_longestSliceMs = 0;
};
