// corvane-cli line: the line database's code series and records.
#include "CliCommand.h"
#include "ExitStatus.h"

#include "CodeSeries.h"
#include "LineReport.h"
#include "LineText.h"
#include "LineTime.h"
#include "LineUrl.h"
#include "Schema.h"
#include "SeriesCodes.h"
#include "StampaCodes.h"

#include <cstdio>
#include <memory>
#include <string>

namespace {

struct LineOptions {
    std::string db, since, station, series, state, start, base = "dec", code_file, code;
    int step = 1, width = 0, limit = 50;
    bool json = false, csv = false;
};

line::TextForm form_of(const LineOptions& o)
{
    return o.json ? line::TextForm::Json : o.csv ? line::TextForm::Csv : line::TextForm::Table;
}

// The database these commands read and write; null (the status in `rc`)
// when it cannot be used.
std::unique_ptr<line::Connection> connect(const LineOptions& o, int* rc)
{
    const line::DbChoice c = line::choose_database(o.db, false);
    if (!c.ok()) {
        std::fprintf(stderr, "Error: %s\n", c.error.c_str());
        *rc = cli_exit::kUsage;
        return nullptr;
    }
    std::string error;
    auto db = line::open_database(c.url, &error);
    const line::DbStatus s = db ? line::migrate(*db) : line::DbStatus{line::DbCode::Unavailable, error};
    if (!s.ok()) {
        std::fprintf(stderr, "Error: %s\n", s.message.c_str());
        *rc = cli_exit::kDatabase;
        return nullptr;
    }
    return db;
}

int finish(const line::DbStatus& s)
{
    if (s.ok())
        return cli_exit::kOk;
    std::fprintf(stderr, "Error: %s\n", s.message.c_str());
    return s.code == line::DbCode::Unavailable ? cli_exit::kDatabase : cli_exit::kFailed;
}

int run_series_add(const LineOptions& o)
{
    line::SeriesSpec spec;
    spec.name = o.series;
    spec.start = o.start;
    spec.step = o.step;
    spec.hex = o.base == "hex";
    spec.width = o.width;
    if (!o.code_file.empty()) {
        std::string message;
        if (!stampa::read_code_file(o.code_file, &spec.file_codes, &message) || spec.file_codes.empty()) {
            std::fprintf(stderr, "Error: %s: %s\n", o.code_file.c_str(),
                         message.empty() ? "no codes" : message.c_str());
            return cli_exit::kInput;
        }
        spec.code_file = o.code_file;
    }
    if (const std::string bad = stampa::check_series(spec); !bad.empty()) {
        std::fprintf(stderr, "Error: %s\n", bad.c_str());
        return cli_exit::kUsage;
    }
    int rc = 0;
    auto db = connect(o, &rc);
    if (!db)
        return rc;
    const line::DbStatus s = line::add_series(*db, spec);
    if (s.ok() && spec.file_codes.empty())
        std::printf("series %s: from %s, step %d, %s, width %d\n", spec.name.c_str(), spec.start.c_str(), spec.step,
                    o.base.c_str(), spec.width);
    else if (s.ok())
        std::printf("series %s: %zu codes of %s\n", spec.name.c_str(), spec.file_codes.size(), o.code_file.c_str());
    return finish(s);
}

int run_codes(const LineOptions& o)
{
    int rc = 0;
    auto db = connect(o, &rc);
    if (!db)
        return rc;
    std::vector<line::CodeRow> codes;
    const line::DbStatus s = line::list_codes(*db, o.series, o.state, &codes);
    if (s.ok())
        std::fputs(line::codes_text(codes, form_of(o)).c_str(), stdout);
    return finish(s);
}

int run_release(const LineOptions& o)
{
    int rc = 0;
    auto db = connect(o, &rc);
    if (!db)
        return rc;
    std::string was;
    const line::DbStatus s = line::release_code(*db, o.code, &was);
    if (s.ok())
        std::printf("%s was %s; it is free for the next box\n", o.code.c_str(), was.c_str());
    return finish(s);
}

int run_jobs(const LineOptions& o, bool report)
{
    double t = 0;
    if (!o.since.empty() && !line::parse_utc(o.since, &t)) {
        std::fprintf(stderr, "Error: --since %s is not a UTC time like 2026-12-09T08:00\n", o.since.c_str());
        return cli_exit::kUsage;
    }
    int rc = 0;
    auto db = connect(o, &rc);
    if (!db)
        return rc;
    line::JobFilter f{o.since, o.station, o.limit};
    line::DbStatus s;
    if (report) {
        line::LineFigures figures;
        s = line::line_figures(*db, f, 10, &figures);
        if (s.ok())
            std::fputs(line::figures_text(figures, form_of(o)).c_str(), stdout);
    } else {
        std::vector<line::JobRow> jobs;
        s = line::list_jobs(*db, f, &jobs);
        if (s.ok())
            std::fputs(line::jobs_text(jobs, form_of(o)).c_str(), stdout);
    }
    return finish(s);
}

void common(CLI::App* sub, LineOptions* o)
{
    sub->add_option("--db", o->db,
                    "the line database: sqlite:PATH or postgresql://USER@HOST:PORT/DB "
                    "(else $CORVANE_DB, [Line] Database, sqlite:<data folder>/corvane-line.db)");
    sub->footer(cli_exit::kHelpFooter);
}

void forms(CLI::App* sub, LineOptions* o)
{
    auto* json = sub->add_flag("--json", o->json, "JSON instead of a table");
    sub->add_flag("--csv", o->csv, "CSV instead of a table")->excludes(json);
}

void filters(CLI::App* sub, LineOptions* o)
{
    sub->add_option("--since", o->since, "only jobs started since this UTC time (2026-12-09T08:00)");
    sub->add_option("--station", o->station, "only this station's jobs");
}

template <class F>
void on_run(CLI::App* sub, F fn)
{
    sub->callback([fn] {
        if (const int rc = fn())
            throw CLI::RuntimeError(rc);
    });
}

CliCommandRegistrar reg([](CLI::App& app) {
    auto* lineapp = app.add_subcommand("line", "the line database: code series, codes and job records");
    lineapp->require_subcommand(1);
    auto o = std::make_shared<LineOptions>();

    auto* series = lineapp->add_subcommand("series", "code series that stations draw serial numbers from");
    series->require_subcommand(1);
    auto* add = series->add_subcommand("add", "a new code series: generated codes or a code file's list");
    add->add_option("name", o->series, "the series' name")->required();
    auto* start = add->add_option("--start", o->start, "the first code");
    add->add_option("--step", o->step, "1 to 4 (default 1)")->check(CLI::Range(1, 4));
    add->add_option("--base", o->base, "dec or hex (default dec)")->check(CLI::IsMember({"dec", "hex"}));
    add->add_option("--width", o->width, "characters of a code, padded with 0 (default: the start's own)");
    add->add_option("--code-file", o->code_file, "a code file: one code per line")->excludes(start);
    common(add, o.get());
    on_run(add, [o] { return run_series_add(*o); });

    auto* codes = lineapp->add_subcommand("codes", "the codes issued from a series");
    codes->add_option("--series", o->series, "the series (default: every series)");
    codes->add_option("--state", o->state, "free, reserved, burnt or failed")
        ->check(CLI::IsMember({"free", "reserved", "burnt", "failed"}));
    forms(codes, o.get());
    common(codes, o.get());
    on_run(codes, [o] { return run_codes(*o); });

    auto* release = lineapp->add_subcommand("release", "give a failed or abandoned code back after checking its box");
    release->add_option("code", o->code, "the code")->required();
    common(release, o.get());
    on_run(release, [o] { return run_release(*o); });

    auto* jobs = lineapp->add_subcommand("jobs", "the job records, newest first");
    filters(jobs, o.get());
    jobs->add_option("--limit", o->limit, "at most this many (default 50)")->check(CLI::PositiveNumber);
    forms(jobs, o.get());
    common(jobs, o.get());
    on_run(jobs, [o] { return run_jobs(*o, false); });

    auto* report = lineapp->add_subcommand("report", "per station and in total: done, failed, yield, boxes per hour, "
                                                     "failures by step, the last boxes");
    filters(report, o.get());
    forms(report, o.get());
    common(report, o.get());
    on_run(report, [o] { return run_jobs(*o, true); });
});

}  // namespace
