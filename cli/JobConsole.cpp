#include "JobConsole.h"

#include "ExitStatus.h"
#include "KvBasicLog.h"
#include "KvWorkThread.h"
#include "SerialMonitorService.h"
#include "VirtualPorts.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

ConsoleLog::ConsoleLog(ConsoleObserver& console)
{
    kv::log_set_fallback(kv::LogFallback::FileOnly);
    m_listener = kv::log_add_listener([&console](int kind, const std::string& text) {
        if (kind != 4)
            console.log(text);
    });
}

ConsoleLog::~ConsoleLog()
{
    kv::log_remove_listener(m_listener);
    kv::log_set_fallback(kv::LogFallback::StdoutAndFile);
}

namespace {

std::atomic<bool> g_sigint{false};

extern "C" void note_sigint(int)
{
    g_sigint = true;
}

}  // namespace

bool run_until_done(CKvWorkThread& thread, const std::function<void()>& on_interrupt, bool* interrupted)
{
    if (interrupted)
        *interrupted = false;
    g_sigint = false;
    auto old = std::signal(SIGINT, note_sigint);
    if (!thread.Start(1)) {
        std::signal(SIGINT, old);
        return false;
    }
    while (thread.IsRunning()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (g_sigint.exchange(false)) {
            if (interrupted)
                *interrupted = true;
            on_interrupt();
        }
    }
    thread.Detach();
    std::signal(SIGINT, old);
    return true;
}
