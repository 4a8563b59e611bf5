#include "StampaLines.h"

#include "ExitStatus.h"

#include "LineCodes.h"
#include "ProductionLine.h"

#include <cstdio>
#include <memory>
#include <unistd.h>

namespace stampa_cli {

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
