#include "LineReport.h"

#include "LineTime.h"

#include <algorithm>
#include <map>

namespace line {

namespace {

const char* kWhere = " WHERE ($1 = '' OR started_at >= $1) AND ($2 = '' OR station = $2)";

void finish(StationFigures& s)
{
    const long long judged = s.done + s.failed;
    s.yield = judged ? static_cast<double>(s.done) / static_cast<double>(judged) : 0;
    double a = 0, b = 0;
    if (parse_utc(s.first_start, &a) && parse_utc(s.last_end, &b)) {
        const double hours = std::max((b - a) / 3600.0, 1.0 / 60);  // at least a minute
        s.per_hour = static_cast<double>(judged) / hours;
    }
}

void add_into(StationFigures& total, const StationFigures& s)
{
    total.done += s.done;
    total.failed += s.failed;
    total.cancelled += s.cancelled;
    total.running += s.running;
    if (total.first_start.empty() || (!s.first_start.empty() && s.first_start < total.first_start))
        total.first_start = s.first_start;
    total.last_end = std::max(total.last_end, s.last_end);
}

}  // namespace

DbStatus list_jobs(Connection& db, const JobFilter& f, std::vector<JobRow>* out)
{
    std::vector<Row> rows;
    DbStatus s = db.exec(std::string("SELECT id, station, port, tool, kind, project_type, image_name, image_sha256,"
                                     " started_at, ended_at, outcome, failed_step, error, code, seconds FROM job") +
                             kWhere + " ORDER BY started_at DESC, id LIMIT CAST($3 AS INTEGER)",
                         {f.since, f.station, std::to_string(std::max(f.limit, 0))}, &rows);
    for (const Row& r : rows) {
        JobRow j;
        std::string* fields[] = {&j.id,           &j.station,     &j.port,         &j.tool,       &j.kind,
                                 &j.project_type, &j.image_name,  &j.image_sha256, &j.started_at, &j.ended_at,
                                 &j.outcome,      &j.failed_step, &j.error,        &j.code,       &j.seconds};
        for (size_t i = 0; i < r.size() && i < std::size(fields); ++i)
            *fields[i] = text_of(r[i]);
        out->push_back(std::move(j));
    }
    return s;
}

DbStatus line_figures(Connection& db, const JobFilter& f, size_t last_count, LineFigures* out)
{
    std::vector<Row> rows;
    DbStatus s = db.exec(std::string("SELECT station, outcome, COUNT(*), MIN(started_at),"
                                     " MAX(COALESCE(ended_at, started_at)) FROM job") +
                             kWhere + " GROUP BY station, outcome ORDER BY station",
                         {f.since, f.station}, &rows);
    if (!s.ok())
        return s;
    std::map<std::string, StationFigures> by_station;
    for (const Row& r : rows) {
        StationFigures& st = by_station[text_of(r[0])];
        st.station = text_of(r[0]);
        const std::string outcome = text_of(r[1]);
        const long long n = int_of(r[2]);
        (outcome == "ok"          ? st.done
         : outcome == "failed"    ? st.failed
         : outcome == "cancelled" ? st.cancelled
                                  : st.running) += n;
        if (st.first_start.empty() || text_of(r[3]) < st.first_start)
            st.first_start = text_of(r[3]);
        st.last_end = std::max(st.last_end, text_of(r[4]));
    }
    for (auto& [name, st] : by_station) {
        finish(st);
        add_into(out->total, st);
        out->stations.push_back(st);
    }
    finish(out->total);
    s = step_failures(db, f, &out->failures);
    if (!s.ok())
        return s;
    JobFilter last = f;
    last.limit = static_cast<int>(last_count);
    return list_jobs(db, last, &out->last);
}

DbStatus step_failures(Connection& db, const JobFilter& f, std::vector<StepFailures>* out)
{
    std::vector<Row> rows;
    DbStatus s = db.exec(std::string("SELECT tool, COALESCE(failed_step, ''), COUNT(*) FROM job") + kWhere +
                             " AND outcome = 'failed' GROUP BY tool, COALESCE(failed_step, '')"
                             " ORDER BY COUNT(*) DESC, tool",
                         {f.since, f.station}, &rows);
    for (const Row& r : rows)
        out->push_back({text_of(r[0]), text_of(r[1]), int_of(r[2])});
    return s;
}

DbStatus hourly_counts(Connection& db, const JobFilter& f, std::vector<HourCount>* out)
{
    std::vector<Row> rows;
    DbStatus s = db.exec("SELECT station, SUBSTR(ended_at, 1, 13), outcome, COUNT(*) FROM job"
                         " WHERE ended_at >= $1 AND ($2 = '' OR station = $2) AND outcome IN ('ok', 'failed')"
                         " GROUP BY station, SUBSTR(ended_at, 1, 13), outcome",
                         {f.since, f.station}, &rows);
    std::map<std::pair<std::string, std::string>, HourCount> by_hour;
    for (const Row& r : rows) {
        HourCount& h = by_hour[{text_of(r[0]), text_of(r[1])}];
        h.station = text_of(r[0]);
        h.hour = text_of(r[1]);
        (text_of(r[2]) == "ok" ? h.done : h.failed) += int_of(r[3]);
    }
    for (auto& [key, h] : by_hour)
        out->push_back(h);
    return s;
}

namespace {

DbStatus texts_by_station(Connection& db, const std::string& sql, const JobFilter& f, StationTexts* out)
{
    std::vector<Row> rows;
    DbStatus s = db.exec(sql, {f.since, f.station}, &rows);
    for (const Row& r : rows)
        (*out)[text_of(r[0])].push_back(text_of(r[1]));
    for (auto& [station, texts] : *out)  // byte order, whatever the server's collation
        std::sort(texts.begin(), texts.end());
    return s;
}

}  // namespace

DbStatus station_ports(Connection& db, const JobFilter& f, StationTexts* out)
{
    return texts_by_station(db, std::string("SELECT DISTINCT station, port FROM job") + kWhere, f, out);
}

DbStatus end_times(Connection& db, const JobFilter& f, StationTexts* out)
{
    return texts_by_station(db, std::string("SELECT station, ended_at FROM job") + kWhere + " AND ended_at IS NOT NULL",
                            f, out);
}

double usual_gap(const std::vector<std::string>& times)
{
    std::vector<double> gaps;
    double before = -1;
    for (const std::string& text : times) {
        double t = 0;
        if (!parse_utc(text, &t))
            continue;
        if (before >= 0)
            gaps.push_back(t - before);
        before = t;
    }
    if (gaps.empty())
        return -1;
    std::sort(gaps.begin(), gaps.end());
    const size_t n = gaps.size();
    return n % 2 ? gaps[n / 2] : (gaps[n / 2 - 1] + gaps[n / 2]) / 2;
}

DbStatus job_state(Connection& db, std::string* state)
{
    std::vector<Row> rows;
    DbStatus s = db.exec("SELECT COUNT(*), MAX(started_at), MAX(ended_at) FROM job", {}, &rows);
    state->clear();
    for (const Row& r : rows)
        for (const Value& v : r)
            *state += text_of(v) + "|";
    return s;
}

}  // namespace line
