// What the device commands of corvane-cli share: the console that prints a
// job's log lines, status and progress (a bar on a terminal, plain lines
// otherwise), the JSON string escape of their reports, and Ctrl+C while a
// job runs on its worker thread.
#pragma once

#include "JobObserver.h"
#include "MultiPort.h"

#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <unistd.h>

using multiport::open_job_port;
using multiport::pause_scale_allowed;

class CKvWorkThread;
class CSerialMonitorSerivce;

// Prints the job's log lines, status and progress: a bar on a terminal,
// plain lines otherwise.
class ConsoleObserver : public IJobObserver {
public:
    ConsoleObserver() : m_tty(::isatty(STDOUT_FILENO) != 0) {}

    void log(const std::string& text)
    {
        std::lock_guard<std::mutex> l(m_mutex);
        clear_bar();
        std::fwrite(text.data(), 1, text.size(), stdout);
        if (!text.empty() && text.back() != '\n')
            m_openLine = true;
        else
            m_openLine = false;
        draw_bar();
        std::fflush(stdout);
    }
    void OnStatus(const std::string& text) override
    {
        std::lock_guard<std::mutex> l(m_mutex);
        if (text == m_status)
            return;
        m_status = text;
        if (!m_tty && !text.empty() && text.rfind("Transferring", 0) != 0 && text.rfind("Burning", 0) != 0 &&
            text.rfind("Dumping", 0) != 0) {
            std::printf("[status] %s\n", text.c_str());
            std::fflush(stdout);
        }
        redraw();
    }
    void OnProgress(int percent) override
    {
        std::lock_guard<std::mutex> l(m_mutex);
        if (percent == m_percent)
            return;
        m_percent = percent;
        if (!m_tty) {
            int step = percent / 10;
            if (percent > 0 && step != m_lastStep) {
                m_lastStep = step;
                std::printf("[progress] %s %d%%\n", m_phase.c_str(), percent);
                std::fflush(stdout);
            }
            if (percent == 0)
                m_lastStep = -1;
            return;
        }
        redraw();
    }
    void OnPhase(const std::string& name) override
    {
        std::lock_guard<std::mutex> l(m_mutex);
        m_phase = name;
        m_lastStep = -1;
        clear_bar();
        std::printf("== %s\n", name.c_str());
        draw_bar();
        std::fflush(stdout);
    }
    void done()
    {
        std::lock_guard<std::mutex> l(m_mutex);
        clear_bar();
        std::fflush(stdout);
    }

private:
    void redraw()
    {
        clear_bar();
        draw_bar();
        std::fflush(stdout);
    }
    void clear_bar()
    {
        if (m_tty && m_barShown) {
            std::printf("\r\033[K");
            m_barShown = false;
        }
    }
    void draw_bar()
    {
        if (!m_tty || m_percent <= 0 || m_openLine)
            return;
        int filled = m_percent * 30 / 100;
        std::printf("[%.*s%*s] %3d%% %s", filled, "##############################", 30 - filled, "", m_percent,
                    m_status.c_str());
        m_barShown = true;
    }

    std::mutex m_mutex;
    bool m_tty;
    bool m_barShown = false;
    bool m_openLine = false;
    int m_percent = 0;
    int m_lastStep = -1;
    std::string m_status;
    std::string m_phase;
};
// Routes the process's log lines to a console for as long as it lives (the
// daily log file still gets them; standard output only through the console).
class ConsoleLog {
public:
    explicit ConsoleLog(ConsoleObserver& console);
    ~ConsoleLog();
    ConsoleLog(const ConsoleLog&) = delete;
    ConsoleLog& operator=(const ConsoleLog&) = delete;

private:
    int m_listener;
};

// Starts `thread` (its function attached) and waits for it to end; every
// Ctrl+C meanwhile calls `on_interrupt` on this thread. False when the
// thread did not start. Returns whether Ctrl+C was pressed in `*interrupted`.
bool run_until_done(CKvWorkThread& thread, const std::function<void()>& on_interrupt, bool* interrupted = nullptr);
