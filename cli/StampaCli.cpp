#include "StampaCli.h"

#include "ExitStatus.h"
#include "MultiPort.h"
#include "RunOptions.h"

#include "LineCodes.h"
#include "ProductionLine.h"

#include <cstdio>
#include <unistd.h>

namespace stampa_cli {

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

namespace {

// A line's console: its box's view and line on the run's console, the
// station's journal and the port's running count.
class BoxLineConsole : public stampa::LineConsole {
public:
    BoxLineConsole(multiport::Box& box, multiport::MultiConsole& console, station::Journal* journal)
        : m_box(box), m_console(console), m_journal(journal)
    {}
    IJobObserver& view() override { return m_box.view; }
    void event(const std::string& text) override { m_console.event(m_box.index, text); }
    bool journal(const std::string& json) override { return m_journal->append(json); }
    std::string count(bool ok, bool counted) override
    {
        (ok ? m_count.done : m_count.failed) += counted ? 1 : 0;
        m_box.view.set_counts(m_count.done, m_count.failed, m_count.per_hour());
        return m_count.text();
    }

private:
    multiport::Box& m_box;
    multiport::MultiConsole& m_console;
    station::Journal* m_journal;
    station::LineCount m_count;
};

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
    stampa::Setup s;
    if (int rc = cli_exit::of(stampa::prepare(o, s)))
        return rc;
    if (!stampa::start_allowed(o, s))
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
    stampa::LineCodes pool(s.codes, s.cfg.input == stampa::InputType::Auto ? o.count : 0, link.recorder.get(), o.series);
    const bool station = journal != nullptr;
    // One port is a run of one box, printed as a single job.
    multiport::MultiConsole console(ports, ::isatty(STDOUT_FILENO) != 0, ports.size() == 1 && !station);
    auto boxes = multiport::make_boxes(ports, console);
    std::vector<std::unique_ptr<BoxLineConsole>> consoles;
    std::vector<std::unique_ptr<stampa::ProductionLine>> lines;
    for (auto& b : boxes) {
        link.attach(*b, multiport::job_label("stampa", "burn"), false);  // a row per pass, written by its line
        consoles.push_back(std::make_unique<BoxLineConsole>(*b, console, journal));
        lines.push_back(std::make_unique<stampa::ProductionLine>(
            stampa::LineSeat{b->port, b->station, b->recorder, &b->trace, b->label}, pool, o, station,
            *consoles.back()));
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
        [&](multiport::Box& box) { return lines[box.index]->run(box.svc, &box.thread, s.cfg, *s.log); },
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
    stampa::write_report(o.report, o, all, console.one_box() ? nullptr : &on);
    return multiport::combined_status(boxes, station ? false : interrupted);
}

}  // namespace stampa_cli
