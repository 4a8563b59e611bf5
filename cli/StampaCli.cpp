#include "StampaCli.h"

#include "ExitStatus.h"
#include "MultiPort.h"
#include "JsonText.h"

#include "KvBasicCfgIni.h"
#include "KvBasicLog.h"
#include "LineCodes.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <unistd.h>

namespace stampa_cli {

namespace {

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

}  // namespace

void add_options(CLI::App* sub, StampaOptions& o, bool station)
{
    multiport::add_port_options(sub, o.ports);
    sub->add_option("--platform", o.platform, "Chip platform of the boxes")
        ->required()
        ->check(CLI::IsMember({"alder", "birch", "cedar", "dogwood"}, CLI::ignore_case));
    sub->add_option("--log", o.log, "Burn log (created with its first line when new; FILE.bak is kept)")->required();
    CLI::Option* code = station ? nullptr : sub->add_option("--code", o.code, "Burn this one code (one port only)");
    auto* start = sub->add_option("--start", o.start, "First code of a run of generated codes");
    auto* file = sub->add_option("--code-file", o.code_file,
                                 "Codes from a file, one per line (a first line holding \"BoxID\" is a heading); "
                                 "codes already in the log are skipped at the start");
    auto* series = sub->add_option("--series", o.series,
                                   "Draw the codes from this code series of the line database (corvane-cli line "
                                   "series add): each is reserved before its burn, line-wide");
    if (code)
        code->excludes(start, file, series);
    start->excludes(file, series);
    file->excludes(series);
    multiport::add_line_options(sub, o.line);
    if (station) {
        o.count = 0;
        sub->add_option("--journal", o.journal,
                        "Append every box's result to this file as one JSON line: port, box (its number on the "
                        "port), start, end (UTC), result (ok, failed or cancelled), outcome, code, error");
    } else {
        sub->add_option("--count", o.count, "With --start or --series: the number of codes to burn (over all ports)")
            ->capture_default_str()
            ->check(CLI::PositiveNumber)
            ->excludes(file);
    }
    sub->add_option("--step", o.step, "With --start: the step between codes")
        ->capture_default_str()
        ->check(CLI::Range(1, 4))
        ->needs(start);
    sub->add_option("--base", o.base, "With --start: dec or hex codes")
        ->capture_default_str()
        ->check(CLI::IsMember({"dec", "hex"}))
        ->needs(start);
    sub->add_option("--width", o.width,
                    "Characters burnt and width of generated codes (default: the length of --code or --start; a "
                    "code file's codes may not be longer)")
        ->check(CLI::Range(1, 255));
    sub->add_flag("--overwrite", o.overwrite, "Cedar: burn over a code the box already holds");
    sub->add_option("--reuse-failed", o.reuse,
                    "Burn CODE again although the log holds it as Failed (a box whose burn failed may hold it); "
                    "a code logged Success is never burnt twice");
    if (!station) {
        sub->add_option("--report", o.report,
                        "Write a JSON report: every box with its code, result and seconds (and its port when "
                        "several are given)");
        sub->add_option("--reset-timeout", o.reset_timeout_s, "Seconds to wait for each box's reset (0: for ever)")
            ->capture_default_str()
            ->check(CLI::NonNegativeNumber);
    }
    sub->add_option("--pause-scale", o.pause_scale,
                    "Scale of the fixed pauses: 1 on real boxes; lower only on the port of a running virtual STB "
                    "(stbsim), refused on any other")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 1.0));
    sub->add_option("--baud", o.baud, "Line rate")
        ->capture_default_str()
        ->check(CLI::IsMember(kv::supported_baud_rates()));
}

bool ports_of(const StampaOptions& o, std::vector<std::string>* ports)
{
    std::string err;
    if (multiport::collect_ports(o.ports, ports, &err))
        return true;
    std::fprintf(stderr, "error: %s\n", err.c_str());
    return false;
}

int prepare(const StampaOptions& o, Setup& s)
{
    stampa::Platform platform;
    if (!stampa::platform_from_key(o.platform, &platform)) {
        std::fprintf(stderr, "error: unknown platform %s\n", o.platform.c_str());
        return cli_exit::kUsage;
    }
    s.info = &stampa::platform_info(platform);
    stampa::StampaSettings settings = stampa::StampaSettings::load();
    s.log = std::make_unique<stampa::BurnLog>(
        o.log, s.info->quoted_log_line ? stampa::BurnLog::Format::Quoted : stampa::BurnLog::Format::Plain,
        platform == stampa::Platform::Cedar && settings.print_ca_id);
    s.cfg.platform = platform;
    s.cfg.pause_scale = o.pause_scale;
    s.cfg.reset_timeout_ms = o.reset_timeout_s * 1000;
    s.cfg.client_path = CKvBasicCfgIni::path_in_root(stampa::kBirchClientFile);
    int rc = cli_exit::kOk;
    if (!o.series.empty()) {
        // The series hands out the codes: the burn takes each whole unless --width says otherwise.
        s.cfg.input = stampa::InputType::Auto;
        s.cfg.width = o.width >= 0 ? o.width : 0;
        return rc;
    }
    prepare_codes(o, *s.info, s.codes, *s.log, &s.cfg.input, &s.cfg.width, &rc);
    return rc;
}

const char* outcome_name(const stampa::PassResult& r)
{
    switch (r.outcome) {
    case stampa::Outcome::Success: return r.logged ? "Success" : "Success, not logged";
    case stampa::Outcome::Failed: return "Failed";
    case stampa::Outcome::Refused: return "Refused";
    case stampa::Outcome::Cancelled: return "Cancelled";
    case stampa::Outcome::NoBox: return "No box";
    case stampa::Outcome::PortLost: return "Port lost";
    }
    return "?";
}

void write_report(const std::string& path, const StampaOptions& o, const std::vector<stampa::PassResult>& results,
                  const std::vector<std::string>* ports)
{
    if (path.empty())
        return;
    std::ofstream f(path);
    bool ok = !results.empty();
    for (const auto& r : results)
        ok = ok && r.ok();
    f << "{\n  \"platform\": " << kv_json::quoted(o.platform) << ",\n  \"log\": " << kv_json::quoted(o.log)
      << ",\n  \"ok\": " << (ok ? "true" : "false") << ",\n  \"boxes\": [";
    for (size_t i = 0; i < results.size(); ++i) {
        const auto& r = results[i];
        f << (i ? "," : "") << "\n    {";
        if (ports)
            f << "\"port\": " << kv_json::quoted((*ports)[i]) << ", ";
        f << "\"code\": " << kv_json::quoted(r.code) << ", \"result\": " << kv_json::quoted(outcome_name(r))
          << ", \"logged\": " << (r.logged ? "true" : "false") << ", \"seconds\": " << r.seconds
          << ", \"error\": " << kv_json::quoted(r.error) << "}";
    }
    f << "\n  ]\n}\n";
    if (!f)
        std::fprintf(stderr, "error: cannot write the report %s\n", path.c_str());
}

bool start_allowed(const StampaOptions& o, const Setup& s)
{
    if (!o.series.empty())  // each code is checked as it is reserved
        return true;
    bool reusable = false;
    const std::string code = s.codes.current();
    std::string refused =
        stampa::start_check(*s.info, s.cfg.input, s.cfg.width, code, true, *s.log, o.reuse, &reusable);
    if (refused.empty())
        return true;
    std::fprintf(stderr, "error: %s (%s)\n", refused.c_str(), code.c_str());
    if (reusable)
        std::fprintf(stderr, "The log holds %s as Failed: a box may hold it. --reuse-failed %s burns it again.\n",
                     code.c_str(), code.c_str());
    return false;
}

bool reuse_allowed(const StampaOptions& o, const std::string& code)
{
    const bool yes = !o.reuse.empty() && o.reuse == code;
    kv_console_printf("%s is logged as Failed: %s\n", code.c_str(),
                      yes ? "burning it again (--reuse-failed)" : "refused (--reuse-failed names another code)");
    return yes;
}

// ---- several lines ----------------------------------------------------------

namespace {

using stampa::LineCodes;

// One port's line: its page (codes from the pool), its status (for the
// console, and to know whether it waits for a box) and its results.
class Line : public stampa::IPassHost, public IJobObserver {
public:
    Line(multiport::Box& box, LineCodes& pool, const StampaOptions& o, station::Journal* journal,
         multiport::MultiConsole& console)
        : m_box(box), m_pool(pool), m_o(o), m_journal(journal), m_console(console)
    {}

    // The line's first code; false when none is left for it.
    bool first_code(std::string* why) { return take(why); }
    // The line ends: a code no burn frame carried goes back, and a pass
    // begun and not ended is recorded as cancelled.
    void finish();
    void attach(stampa::StampaRun* run)
    {
        std::lock_guard<std::mutex> l(m_mutex);
        m_run = run;
    }
    // First Ctrl+C of a station: no further box; a line that waits stops now.
    void stop_after_pass()
    {
        std::lock_guard<std::mutex> l(m_mutex);
        m_stopAfter = true;
        if (m_run && m_waiting)
            m_run->Stop();
    }
    void stop_now()
    {
        std::lock_guard<std::mutex> l(m_mutex);
        m_stopAfter = true;
        if (m_run)
            m_run->Stop();
    }
    const std::vector<stampa::PassResult>& results() const { return m_results; }
    // The line stopped because the line database refused its code.
    bool refused() const { return m_refused; }

    // IPassHost
    std::string bar_code() override
    {
        begin_pass();
        return m_code;
    }
    bool confirm_overwrite(const std::atomic<bool>&) override
    {
        kv_console_printf("the STB has been burned code%s\n", m_o.overwrite ? ": burning over it (--overwrite)" : "");
        return m_o.overwrite;
    }
    bool confirm_reuse(const std::string& code, const std::atomic<bool>&) override { return reuse_allowed(m_o, code); }
    stampa::CodeResult advance_code() override
    {
        stampa::CodeResult r;
        r.ok = take(&r.message);
        r.code = m_code;
        return r;
    }
    void pass_ended(const stampa::PassResult& r) override;

    // IJobObserver
    void OnStatus(const std::string& text) override { m_box.view.OnStatus(text); }
    void OnWaitingForBox(bool waiting) override
    {
        {
            std::lock_guard<std::mutex> l(m_mutex);
            m_waiting = waiting;
            if (m_waiting && m_stopAfter && m_run)
                m_run->Stop();
        }
        m_box.view.OnWaitingForBox(waiting);
    }
    void OnResult(const JobResult& r) override { m_box.view.OnResult(r); }
    void OnProgress(int percent) override { m_box.view.OnProgress(percent); }
    void OnPhase(const std::string& name) override { m_box.view.OnPhase(name); }

private:
    bool take(std::string* why);
    stampa::Taker taker();
    void begin_pass();
    void record_pass(const stampa::PassResult& r);
    void give_back_unsent(const stampa::PassResult& r);

    multiport::Box& m_box;
    LineCodes& m_pool;
    const StampaOptions& m_o;
    station::Journal* m_journal;
    multiport::MultiConsole& m_console;
    std::string m_code;
    std::mutex m_mutex;
    stampa::StampaRun* m_run = nullptr;
    bool m_waiting = false;
    bool m_stopAfter = false;
    std::vector<stampa::PassResult> m_results;
    station::LineCount m_count;
    std::string m_nextJob;  // the id of the job the code was reserved for
    bool m_holding = false;  // a code is taken that no burn frame carried yet
    bool m_refused = false;  // the line database refused a code the line was to burn
};

stampa::Taker Line::taker()
{
    return {m_box.station, m_box.port, m_nextJob,
            [this] {
                std::lock_guard<std::mutex> l(m_mutex);
                return m_stopAfter;
            },
            [this](const std::string& text) { m_console.event(m_box.index, "waiting: " + text); }};
}

bool Line::take(std::string* why)
{
    m_nextJob = line::new_job_id();
    m_holding = m_pool.take(&m_code, why, taker(), &m_refused);
    if (m_holding)
        begin_pass();  // the row stands from the reservation on: a station killed now leaves it running
    return m_holding;
}

// A pass's row in the line database begins with its code's reservation, or,
// for a pass that tries the same code again, when it first asks for it.
void Line::begin_pass()
{
    if (!m_box.recorder || m_box.trace.active())
        return;
    line::JobStart j = m_box.label;
    j.id = std::exchange(m_nextJob, std::string());  // empty for a pass that tries its code again
    j.code = m_code;
    m_box.trace.begin(m_box.recorder, j);
}

void Line::record_pass(const stampa::PassResult& r)
{
    if (r.code_sent) {
        m_holding = false;
        if (m_box.recorder)
            m_box.recorder->code_ended(m_code, r.outcome == stampa::Outcome::Success);
    }
    if (!m_box.trace.active())
        return;
    using stampa::Outcome;
    const JobErrorKind kind = r.ok()                            ? JobErrorKind::None
                              : r.outcome == Outcome::Cancelled ? JobErrorKind::Cancelled
                              : r.outcome == Outcome::NoBox     ? JobErrorKind::NoBox
                              : r.outcome == Outcome::PortLost  ? JobErrorKind::Port
                                                                : JobErrorKind::Failed;
    if (kind != JobErrorKind::None)
        m_box.trace.OnResult(JobResult::failure(kind, r.error, outcome_name(r)));
    m_box.trace.set_code(m_code);
    m_box.trace.end(kind);
}

// A pass that ended before any burn frame carried its code gives the code
// back at once; a line that goes on takes its next box's code afresh, and
// stops when it cannot (it never burns a code it does not hold).
void Line::give_back_unsent(const stampa::PassResult& r)
{
    using stampa::Outcome;
    if (r.code_sent || !m_holding || !m_box.recorder)
        return;
    m_pool.give_back(m_code);
    m_holding = false;
    if (r.outcome == Outcome::Cancelled || r.outcome == Outcome::NoBox || r.outcome == Outcome::PortLost)
        return;  // the run ends
    m_nextJob = line::new_job_id();
    std::string why;
    m_holding = m_pool.take_again(&m_code, &why, taker(), &m_refused);
    if (m_holding) {
        begin_pass();
        return;
    }
    m_console.event(m_box.index, "no code left for this port: " + why);
    std::lock_guard<std::mutex> l(m_mutex);
    if (m_run)
        m_run->Stop();
}

void Line::finish()
{
    if (m_box.trace.active())
        m_box.trace.end(JobErrorKind::Cancelled);
    if (m_holding)
        m_pool.give_back(m_code);
    m_holding = false;
}

void Line::pass_ended(const stampa::PassResult& r)
{
    bool no_box;
    {
        std::lock_guard<std::mutex> l(m_mutex);
        // Stopped while it waited for a box: no box was there.
        no_box = m_waiting && r.outcome == stampa::Outcome::Cancelled;
        if (m_stopAfter && m_run)
            m_run->Stop();
    }
    if (r.code_sent && r.outcome != stampa::Outcome::Success)
        m_pool.spent_unburnt();
    record_pass(r);
    give_back_unsent(r);
    if (no_box && m_journal)
        return;
    m_results.push_back(r);
    const int n = static_cast<int>(m_results.size());
    const std::string end = station::utc_now();
    (r.ok() ? m_count.done : m_count.failed) += r.outcome == stampa::Outcome::Cancelled ? 0 : 1;
    if (m_journal) {
        const std::string start =
            station::utc_text(std::chrono::system_clock::now() - std::chrono::milliseconds(int64_t(r.seconds * 1000)));
        const char* word = r.ok() ? "ok" : r.outcome == stampa::Outcome::Cancelled ? "cancelled" : "failed";
        if (!m_journal->append("{\"port\": " + kv_json::quoted(m_box.port) + ", \"box\": " + std::to_string(n) +
                               ", \"start\": " + kv_json::quoted(start) + ", \"end\": " + kv_json::quoted(end) +
                               ", \"result\": " + kv_json::quoted(word) + ", \"error\": " + kv_json::quoted(r.error) +
                               ", \"outcome\": " + kv_json::quoted(outcome_name(r)) +
                               ", \"code\": " + kv_json::quoted(r.code) + "}"))
            m_console.event(m_box.index, "error: the journal line of box " + std::to_string(n) + " was not written");
        m_box.view.set_counts(m_count.done, m_count.failed, m_count.per_hour());
    }
    char secs[32];
    std::snprintf(secs, sizeof(secs), "%.1f s", r.seconds);
    m_console.event(m_box.index, "box " + std::to_string(n) + ": " + r.code + " " + outcome_name(r) + " (" + secs +
                                     ")" + (r.error.empty() ? "" : ": " + r.error) +
                                     (m_journal ? " [" + m_count.text() + "]" : ""));
}

JobErrorKind line_ending(const Line& line, bool station)
{
    if (line.refused())
        return JobErrorKind::Failed;
    if (!station)
        return stampa::ending(line.results());
    for (const auto& r : line.results()) {
        if (r.outcome == stampa::Outcome::Cancelled || r.stopped)
            return JobErrorKind::Cancelled;
        if (r.outcome == stampa::Outcome::PortLost)
            return JobErrorKind::Port;
    }
    for (const auto& r : line.results())
        if (!r.ok())
            return JobErrorKind::Failed;
    return JobErrorKind::None;
}

}  // namespace

int run_lines(const StampaOptions& o, const std::vector<std::string>& ports, station::Journal* journal)
{
    if (!o.code.empty() && ports.size() > 1) {
        std::fprintf(stderr, "error: --code burns one box: give --start or --code-file for several ports\n");
        return cli_exit::kUsage;
    }
    for (const std::string& p : ports)
        if (!multiport::pause_scale_allowed(o.pause_scale, p))
            return cli_exit::kUsage;
    Setup s;
    if (int rc = prepare(o, s))
        return rc;
    if (!start_allowed(o, s))
        return cli_exit::kFailed;
    multiport::LineLink link;
    if (int rc = link.open(o.line, o.journal))
        return rc;
    if (!o.series.empty() && !link.recorder) {
        std::fprintf(stderr, "error: --series draws its codes from the line database: it cannot go with --no-db\n");
        return cli_exit::kUsage;
    }
    if (!o.series.empty())
        if (const std::string why = link.recorder->check_series(o.series); !why.empty()) {
            std::fprintf(stderr, "error: %s\n", why.c_str());
            return cli_exit::kUsage;
        }
    LineCodes pool(s.codes, s.cfg.input == stampa::InputType::Auto ? o.count : 0, link.recorder.get(), o.series);
    const bool station = journal != nullptr;
    // One port is a run of one box, printed as a single job.
    multiport::MultiConsole console(ports, ::isatty(STDOUT_FILENO) != 0, ports.size() == 1 && !station);
    auto boxes = multiport::make_boxes(ports, console);
    std::vector<std::unique_ptr<Line>> lines;
    for (auto& b : boxes) {
        link.attach(*b, multiport::job_label("stampa", "burn"), false);  // a row per pass, written by its line
        lines.push_back(std::make_unique<Line>(*b, pool, o, journal, console));
    }
    const std::string where = console.one_box() ? ports[0] : std::to_string(ports.size()) + " ports";
    console.note(std::string("Burning on ") + where + " (" + s.info->key +
                 "): reset each box when asked; Ctrl+C stops" +
                 (station ? " taking boxes and lets running passes finish; a second Ctrl+C cancels them." : "."));
    multiport::InterruptPlan plan;
    plan.first = [&](multiport::Box& b) { station ? lines[b.index]->stop_after_pass() : lines[b.index]->stop_now(); };
    plan.again = [&](multiport::Box& b) { lines[b.index]->stop_now(); };
    bool interrupted = multiport::run_boxes(
        boxes, o.baud,
        [&](multiport::Box& box) {
            Line& line = *lines[box.index];
            std::string why;
            if (!line.first_code(&why)) {
                console.event(box.index, "no code left for this port: " + why);
                return line.refused() ? JobErrorKind::Failed : JobErrorKind::None;
            }
            stampa::StampaRun run(box.svc, s.cfg, *s.log, line, line);
            line.attach(&run);
            run.Run(&box.thread);
            line.attach(nullptr);
            line.finish();
            return line_ending(line, station);
        },
        console, plan);

    std::vector<stampa::PassResult> all;
    std::vector<std::string> on;
    for (size_t i = 0; i < lines.size(); ++i)
        for (const auto& r : lines[i]->results()) {
            all.push_back(r);
            on.push_back(ports[i]);
        }
    int burnt = 0;
    for (const auto& r : all)
        burnt += r.ok();
    std::printf("%zu boxes: %d burnt, %zu not\n", all.size(), burnt, all.size() - size_t(burnt));
    write_report(o.report, o, all, console.one_box() ? nullptr : &on);
    return multiport::combined_status(boxes, station ? false : interrupted);
}

}  // namespace stampa_cli
