// corvane-cli stampa: a production run of the bar-code tool. For each box it
// asks for the reset, burns the code, logs it and goes on with the next code
// until the count or the code file ends, or Ctrl+C.
#include "CliCommand.h"
#include "ExitStatus.h"
#include "JobConsole.h"
#include "JsonText.h"
#include "StampaCli.h"

#include "BurnLog.h"
#include "StampaPage.h"
#include "StampaPass.h"

#include "KvBasicCfgIni.h"
#include "KvBasicLog.h"
#include "KvWorkThread.h"
#include "SerialMonitorService.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <thread>

namespace {

using stampa_cli::StampaOptions;
using stampa_cli::outcome_name;
using stampa_cli::write_report;

std::atomic<bool> g_interrupted{false};

extern "C" void on_stampa_sigint(int)
{
    g_interrupted = true;
}

// The page of a command-line run: codes from the cursor, one line per box.
class CliHost : public stampa::IPassHost {
public:
    CliHost(stampa::CodeCursor& codes, const StampaOptions& o) : m_codes(codes), m_o(o) {}

    std::string bar_code() override { return m_codes.current(); }
    bool confirm_overwrite(const std::atomic<bool>&) override
    {
        kv_console_printf("the STB has been burned code%s\n", m_o.overwrite ? ": burning over it (--overwrite)" : "");
        return m_o.overwrite;
    }
    bool confirm_reuse(const std::string& code, const std::atomic<bool>&) override
    {
        return stampa_cli::reuse_allowed(m_o, code);
    }
    stampa::CodeResult advance_code() override { return m_codes.advance(); }
    void pass_ended(const stampa::PassResult& r) override
    {
        std::lock_guard<std::mutex> l(m_mutex);
        ++m_boxes;
        std::printf("box %d: %s %s (%.1f s)%s%s\n", m_boxes, r.code.c_str(), outcome_name(r), r.seconds,
                    r.error.empty() ? "" : ": ", r.error.c_str());
        std::fflush(stdout);
    }

private:
    stampa::CodeCursor& m_codes;
    const StampaOptions& m_o;
    std::mutex m_mutex;
    int m_boxes = 0;
};

class StatusPrinter : public IJobObserver {
public:
    void OnStatus(const std::string& text) override
    {
        std::lock_guard<std::mutex> l(m_mutex);
        if (text.empty() || text == m_last)
            return;
        m_last = text;
        std::printf("[status] %s\n", text.c_str());
        std::fflush(stdout);
    }

private:
    std::mutex m_mutex;
    std::string m_last;
};

// One production line on one port: every box through `svc`, codes from
// `codes`, results into `log`. Nothing global but the interrupt flag, so
// several lines can run side by side on their own services.
std::vector<stampa::PassResult> run_line(CSerialMonitorSerivce& svc, const stampa::PassConfig& cfg, int max_burns,
                                         stampa::CodeCursor& codes, stampa::BurnLog& log, const StampaOptions& o,
                                         const std::atomic<bool>& interrupt)
{
    CliHost host(codes, o);
    StatusPrinter status;
    stampa::StampaRun run(svc, cfg, log, host, status);
    run.set_max_burns(max_burns);
    CKvWorkThread thread;
    thread.Attach([&]() -> uint32_t { return run.Run(&thread); });
    if (!thread.Start(1)) {
        std::fprintf(stderr, "error: cannot start the job thread\n");
        return {};
    }
    while (thread.IsRunning()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (interrupt.load())
            run.Stop();
    }
    thread.Detach();
    return run.results();
}

int run_stampa(const StampaOptions& o)
{
    stampa_cli::Setup setup;
    if (int rc = stampa_cli::prepare(o, setup))
        return rc;
    const stampa::PlatformInfo& info = *setup.info;
    stampa::BurnLog& log = *setup.log;
    stampa::CodeCursor& codes = setup.codes;
    const stampa::PassConfig& cfg = setup.cfg;

    CSerialMonitorSerivce* svc = kv::current_serial_service();
    kv::log_set_fallback(kv::LogFallback::FileOnly);
    int listener = kv::log_add_listener([](int kind, const std::string& text) {
        if (kind != 4) {
            std::fwrite(text.data(), 1, text.size(), stdout);
            std::fflush(stdout);
        }
    });
    struct Cleanup {
        int id;
        ~Cleanup()
        {
            kv::log_remove_listener(id);
            kv::log_set_fallback(kv::LogFallback::StdoutAndFile);
        }
    } cleanup{listener};
    if (!pause_scale_allowed(o.pause_scale, o.port))
        return cli_exit::kUsage;
    int port_index = -1;
    if (int rc = open_job_port(svc, o.port, o.baud, &port_index))
        return rc;
    if (!stampa_cli::start_allowed(o, setup)) {
        svc->SMS_ClosePort(port_index);
        return cli_exit::kFailed;
    }
    int max_burns = cfg.input == stampa::InputType::Auto ? o.count : 0;
    std::printf("Burning on %s (%s): reset each box when asked; Ctrl+C stops.\n", o.port.c_str(), info.key);
    std::fflush(stdout);
    auto old = std::signal(SIGINT, on_stampa_sigint);
    std::vector<stampa::PassResult> results = run_line(*svc, cfg, max_burns, codes, log, o, g_interrupted);
    std::signal(SIGINT, old);
    svc->SMS_ClosePort(port_index);

    int burnt = 0;
    for (const auto& r : results)
        burnt += r.ok();
    std::printf("%zu boxes: %d burnt, %zu not\n", results.size(), burnt, results.size() - size_t(burnt));
    write_report(o.report, o, results);
    return cli_exit::of(stampa::ending(results));
}

}  // namespace

static CliCommandRegistrar reg_stampa([](CLI::App& app) {
    auto o = std::make_shared<StampaOptions>();
    auto* sub = app.add_subcommand("stampa", "Burn bar codes (serial numbers) into boxes, one box after another");
    stampa_cli::add_options(sub, *o, false);
    sub->footer("Exit status 0 only when every box was burnt and logged. A code already in the log is refused "
                "before any box is touched, a code logged Failed as well (its box may hold it; --reuse-failed "
                "CODE burns it again). With several ports every port is a line of its own and the codes "
                "are shared: no code goes to two boxes.");
    sub->callback([o] {
        if (o->code.empty() && o->start.empty() && o->code_file.empty()) {
            std::fprintf(stderr, "error: give --code, --start or --code-file\n");
            throw CLI::RuntimeError(cli_exit::kUsage);
        }
        std::vector<std::string> ports;
        if (!stampa_cli::ports_of(*o, &ports))
            throw CLI::RuntimeError(cli_exit::kUsage);
        o->port = ports[0];
        int rc = ports.size() > 1 ? stampa_cli::run_lines(*o, ports, nullptr) : run_stampa(*o);
        if (rc)
            throw CLI::RuntimeError(rc);
    });
});
