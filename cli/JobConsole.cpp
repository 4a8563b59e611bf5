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

bool pause_scale_allowed(double scale, const std::string& port)
{
    if (scale == 1.0 || kv::is_virtual_stb_port(port))
        return true;
    std::fprintf(stderr,
                 "error: --pause-scale is for a virtual STB only, and %s is not the port of a running stbsim: "
                 "a real box needs its pauses\n",
                 port.c_str());
    return false;
}

int open_job_port(CSerialMonitorSerivce* svc, const std::string& port, int baud, int* index)
{
    if (!svc || !svc->SMS_Init()) {
        std::fprintf(stderr, "error: the serial service did not start\n");
        return cli_exit::kPort;
    }
    serialport_config_tag cfg;
    cfg.port_index = svc->SMS_AddPort(port);
    cfg.baud_rate = baud;
    if (cfg.port_index < 0 || !svc->SMS_OpenPort(cfg)) {
        std::fprintf(stderr, "error: cannot open %s: %s\n", port.c_str(), svc->last_error().c_str());
        return cli_exit::kPort;
    }
    if (index)
        *index = cfg.port_index;
    return cli_exit::kOk;
}

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
