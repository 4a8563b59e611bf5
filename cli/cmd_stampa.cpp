// corvane-cli stampa: a production run of the bar-code tool. For each box it
// asks for the reset, burns the code, logs it and goes on with the next code
// until the count or the code file ends, or Ctrl+C.
#include "CliCommand.h"
#include "ExitStatus.h"
#include "JobConsole.h"
#include "JsonText.h"

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

std::atomic<bool> g_interrupted{false};

extern "C" void on_stampa_sigint(int)
{
    g_interrupted = true;
}

struct StampaOptions {
    std::string port;
    std::string platform;
    std::string log;
    std::string code;
    std::string start;
    int count = 1;
    int step = 1;
    std::string base = "dec";
    std::string code_file;
    int width = -1;
    bool overwrite = false;
    std::string report;
    int reset_timeout_s = 0;
    double pause_scale = 1.0;
    int baud = 115200;
};

// What the command line knows of one box.
struct BoxReport {
    std::string code;
    stampa::PassResult result;
};

const char* outcome_name(const stampa::PassResult& r)
{
    switch (r.outcome) {
    case stampa::Outcome::Success: return r.logged ? "Success" : "Success, not logged";
    case stampa::Outcome::Failed: return "Failed";
    case stampa::Outcome::Refused: return "Refused";
    case stampa::Outcome::Cancelled: return "Cancelled";
    case stampa::Outcome::NoBox: return "No box";
    }
    return "?";
}

// The page of a command-line run: codes from the cursor, one line per box.
class CliHost : public stampa::IPassHost {
public:
    CliHost(stampa::CodeCursor& codes, bool overwrite) : m_codes(codes), m_overwrite(overwrite) {}

    std::string bar_code() override { return m_codes.current(); }
    bool confirm_overwrite(const std::atomic<bool>&) override
    {
        kv_console_printf("the STB has been burned code%s\n", m_overwrite ? ": burning over it (--overwrite)" : "");
        return m_overwrite;
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
    bool m_overwrite;
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

void write_report(const std::string& path, const StampaOptions& o, const std::vector<stampa::PassResult>& results)
{
    if (path.empty())
        return;
    std::ofstream f(path);
    bool ok = !results.empty();
    for (const auto& r : results)
        ok = ok && r.ok();
    f << "{\n  \"platform\": " << cli_json::quoted(o.platform) << ",\n  \"log\": " << cli_json::quoted(o.log)
      << ",\n  \"ok\": " << (ok ? "true" : "false") << ",\n  \"boxes\": [";
    for (size_t i = 0; i < results.size(); ++i) {
        const auto& r = results[i];
        f << (i ? "," : "") << "\n    {\"code\": " << cli_json::quoted(r.code)
          << ", \"result\": " << cli_json::quoted(outcome_name(r)) << ", \"logged\": " << (r.logged ? "true" : "false")
          << ", \"seconds\": " << r.seconds << ", \"error\": " << cli_json::quoted(r.error) << "}";
    }
    f << "\n  ]\n}\n";
    if (!f)
        std::fprintf(stderr, "error: cannot write the report %s\n", path.c_str());
}

int exit_status(const std::vector<stampa::PassResult>& results)
{
    int rc = results.empty() ? cli_exit::kFailed : cli_exit::kOk;
    for (const auto& r : results) {
        if (r.outcome == stampa::Outcome::Cancelled)
            return cli_exit::kInterrupted;
        if (r.outcome == stampa::Outcome::NoBox)
            return cli_exit::kNoBox;
        if (!r.ok())
            rc = cli_exit::kFailed;
    }
    return rc;
}

// The codes of the run; a usage or input error sets *rc.
bool prepare_codes(const StampaOptions& o, const stampa::PlatformInfo& info, stampa::CodeCursor& codes,
                   stampa::BurnLog& log, stampa::InputType* input, int* width, int* rc)
{
    using stampa::InputType;
    *input = !o.code.empty() ? InputType::Manual : !o.start.empty() ? InputType::Auto : InputType::File;
    const std::string& first = *input == InputType::Manual ? o.code : o.start;
    *width = o.width >= 0 ? o.width : *input == InputType::File ? 0 : static_cast<int>(first.size());
    codes.configure(*input, *width, o.step, o.base == "hex" ? stampa::Base::Hex : stampa::Base::Decimal);
    std::string message;
    if (*input == InputType::File) {
        std::vector<std::string> list;
        if (!stampa::read_code_file(o.code_file, &list, &message)) {
            std::fprintf(stderr, "error: %s (%s)\n", message.c_str(), o.code_file.c_str());
            *rc = cli_exit::kInput;
            return false;
        }
        codes.set_codes(std::move(list));
    }
    stampa::CodeResult r = stampa::configure_check(info, *input, *width, first, codes, log);
    if (!r.ok) {
        std::fprintf(stderr, "error: %s\n", r.message.c_str());
        *rc = *input == InputType::File ? cli_exit::kInput : cli_exit::kUsage;
        return false;
    }
    return true;
}

// One production line on one port: every box through `svc`, codes from
// `codes`, results into `log`. Nothing global but the interrupt flag, so
// several lines can run side by side on their own services.
std::vector<stampa::PassResult> run_line(CSerialMonitorSerivce& svc, const stampa::PassConfig& cfg, int max_burns,
                                         stampa::CodeCursor& codes, stampa::BurnLog& log, bool overwrite,
                                         const std::atomic<bool>& interrupt)
{
    CliHost host(codes, overwrite);
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
    stampa::Platform platform;
    if (!stampa::platform_from_key(o.platform, &platform)) {
        std::fprintf(stderr, "error: unknown platform %s\n", o.platform.c_str());
        return cli_exit::kUsage;
    }
    const stampa::PlatformInfo& info = stampa::platform_info(platform);
    stampa::StampaSettings settings = stampa::StampaSettings::load();
    stampa::BurnLog log(o.log, info.quoted_log_line ? stampa::BurnLog::Format::Quoted : stampa::BurnLog::Format::Plain,
                        platform == stampa::Platform::Cedar && settings.print_ca_id);
    stampa::CodeCursor codes;
    stampa::PassConfig cfg;
    cfg.platform = platform;
    cfg.pause_scale = o.pause_scale;
    cfg.reset_timeout_ms = o.reset_timeout_s * 1000;
    cfg.client_path = CKvBasicCfgIni::path_in_root(stampa::kBirchClientFile);
    int rc = cli_exit::kOk;
    if (!prepare_codes(o, info, codes, log, &cfg.input, &cfg.width, &rc))
        return rc;

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
    serialport_config_tag port;
    port.port_index = svc->SMS_Init() ? svc->SMS_AddPort(o.port) : -1;
    port.baud_rate = o.baud;
    if (port.port_index < 0 || !svc->SMS_OpenPort(port)) {
        std::fprintf(stderr, "error: cannot open %s: %s\n", o.port.c_str(), svc->last_error().c_str());
        return cli_exit::kPort;
    }
    std::string refused = stampa::start_check(info, cfg.input, cfg.width, codes.current(), true, log);
    if (!refused.empty()) {
        std::fprintf(stderr, "error: %s (%s)\n", refused.c_str(), codes.current().c_str());
        svc->SMS_ClosePort(port.port_index);
        return cli_exit::kFailed;
    }
    int max_burns = cfg.input == stampa::InputType::Auto ? o.count : 0;
    std::printf("Burning on %s (%s): reset each box when asked; Ctrl+C stops.\n", o.port.c_str(), info.key);
    std::fflush(stdout);
    auto old = std::signal(SIGINT, on_stampa_sigint);
    std::vector<stampa::PassResult> results = run_line(*svc, cfg, max_burns, codes, log, o.overwrite, g_interrupted);
    std::signal(SIGINT, old);
    svc->SMS_ClosePort(port.port_index);

    int burnt = 0;
    for (const auto& r : results)
        burnt += r.ok();
    std::printf("%zu boxes: %d burnt, %zu not\n", results.size(), burnt, results.size() - size_t(burnt));
    write_report(o.report, o, results);
    return exit_status(results);
}

}  // namespace

static CliCommandRegistrar reg_stampa([](CLI::App& app) {
    auto o = std::make_shared<StampaOptions>();
    auto* sub = app.add_subcommand("stampa", "Burn bar codes (serial numbers) into boxes, one box after another");
    sub->add_option("--port", o->port, "Serial device or pseudo-terminal of the boxes")->required();
    sub->add_option("--platform", o->platform, "Chip platform of the boxes")
        ->required()
        ->check(CLI::IsMember({"alder", "birch", "cedar", "dogwood"}, CLI::ignore_case));
    sub->add_option("--log", o->log, "Burn log (created with its first line when new; FILE.bak is kept)")->required();
    auto* code = sub->add_option("--code", o->code, "Burn this one code");
    auto* start = sub->add_option("--start", o->start, "First code of a run of generated codes");
    auto* file = sub->add_option("--code-file", o->code_file,
                                 "Codes from a file, one per line (a first line holding \"BoxID\" is a heading); "
                                 "codes already in the log are skipped at the start");
    code->excludes(start, file);
    start->excludes(file);
    sub->add_option("--count", o->count, "With --start: the number of codes to burn")
        ->capture_default_str()
        ->check(CLI::PositiveNumber)
        ->needs(start);
    sub->add_option("--step", o->step, "With --start: the step between codes")
        ->capture_default_str()
        ->check(CLI::Range(1, 4))
        ->needs(start);
    sub->add_option("--base", o->base, "With --start: dec or hex codes")
        ->capture_default_str()
        ->check(CLI::IsMember({"dec", "hex"}))
        ->needs(start);
    sub->add_option("--width", o->width,
                    "Characters burnt and width of generated codes (default: the length of --code or --start; a "
                    "code file's codes may not be longer)")
        ->check(CLI::Range(1, 255));
    sub->add_flag("--overwrite", o->overwrite, "Cedar: burn over a code the box already holds");
    sub->add_option("--report", o->report, "Write a JSON report: every box with its code, result and seconds");
    sub->add_option("--reset-timeout", o->reset_timeout_s, "Seconds to wait for each box's reset (0: for ever)")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    sub->add_option("--pause-scale", o->pause_scale,
                    "Scale of the fixed pauses: 1 on real boxes; lower only on the port of a running virtual STB (stbsim), refused on any other")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 1.0));
    sub->add_option("--baud", o->baud, "Line rate")->capture_default_str()->check(
        CLI::IsMember(kv::supported_baud_rates()));
    sub->footer("Exit status 0 only when every box was burnt and logged. A code already in the log is refused "
                "before any box is touched.");
    sub->callback([o] {
        if (o->code.empty() && o->start.empty() && o->code_file.empty()) {
            std::fprintf(stderr, "error: give --code, --start or --code-file\n");
            throw CLI::RuntimeError(cli_exit::kUsage);
        }
        int rc = run_stampa(*o);
        if (rc)
            throw CLI::RuntimeError(rc);
    });
});
