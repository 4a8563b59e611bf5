#include "DashboardApi.h"

#include "JsonText.h"
#include "LineReport.h"
#include "LineTime.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <functional>

namespace dashboard {

namespace {

constexpr double kShiftHours = 8;
constexpr int kHourBuckets = 8;
constexpr double kQuietAtLeast = 120;  // seconds: a station is never quiet sooner

std::string utc_of(double seconds)
{
    using namespace std::chrono;
    return line::utc_text(system_clock::time_point(milliseconds(static_cast<long long>(std::llround(seconds * 1000)))));
}

std::string text_or_null(const std::string& s) { return s.empty() ? "null" : kv_json::quoted(s); }

std::string number(double v, const char* fmt = "%.3f")
{
    char buf[48];
    std::snprintf(buf, sizeof buf, fmt, v);
    return buf;
}

// A number stored as text, or null when it is none.
std::string number_or_null(const std::string& s)
{
    char* end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    return s.empty() || *end || !std::isfinite(v) ? "null" : number(v);
}

const std::string* param(const Params& p, const char* name)
{
    const auto it = p.find(name);
    return it == p.end() ? nullptr : &it->second;
}

std::string parse_since(const std::string* since, double now, std::string* out)
{
    if (!since || since->empty()) {
        *out = utc_of(now - kShiftHours * 3600);
        return "";
    }
    double t = 0;
    if (since->size() > 1 && since->back() == 'h') {
        const std::string hours = since->substr(0, since->size() - 1);
        char* end = nullptr;
        const double h = std::strtod(hours.c_str(), &end);
        if (hours.find_first_not_of("0123456789.") == std::string::npos && !*end && h > 0 && h <= 24 * 366) {
            *out = utc_of(now - h * 3600);
            return "";
        }
    } else if (since->size() <= 32 && line::parse_utc(*since, &t)) {
        *out = utc_of(t);
        return "";
    }
    return "since must be a UTC time like 2026-12-09T08:00:00Z or a number of hours like 8h";
}

Reply failed(const line::DbStatus& s)
{
    return {s.code == line::DbCode::Unavailable ? 503 : 500, error_json("database unavailable: " + s.message)};
}

// The reply of one API call: the parameters checked, then `answer` fills
// the body (or gives the database's failure).
Reply answer_query(const Params& p, double now, const std::function<line::DbStatus(const Query&, std::string*)>& answer)
{
    Query q;
    if (const std::string bad = parse_query(p, now, &q); !bad.empty())
        return {400, error_json(bad)};
    std::string body;
    const line::DbStatus s = answer(q, &body);
    return s.ok() ? Reply{200, body} : failed(s);
}

line::JobFilter filter_of(const Query& q) { return {q.since, q.station, q.limit}; }

// The figures a station and the total share, without the closing brace.
std::string figures_json(const line::StationFigures& s, const std::string& last_box_at)
{
    return "{\"station\": " + kv_json::quoted(s.station) + ", \"done\": " + std::to_string(s.done) +
           ", \"failed\": " + std::to_string(s.failed) + ", \"cancelled\": " + std::to_string(s.cancelled) +
           ", \"running\": " + std::to_string(s.running) + ", \"yield\": " + number(s.yield, "%.4f") +
           ", \"per_hour\": " + number(s.per_hour, "%.2f") + ", \"last_box_at\": " + text_or_null(last_box_at);
}

// A station's tile: its figures, how long it has been quiet against its
// usual pace, and its ports.
std::string station_json(const line::StationFigures& s, const std::vector<std::string>& ends,
                         const std::vector<std::string>& ports, double now)
{
    const std::string last = ends.empty() ? "" : ends.back();
    double t = 0;
    const bool have_last = line::parse_utc(last, &t);
    const double quiet_for = have_last ? std::floor(std::max(0.0, now - t)) : 0;
    const double gap = line::usual_gap(ends);
    const bool quiet = have_last && gap >= 0 && quiet_for > std::max(3 * gap, kQuietAtLeast);
    std::string out = figures_json(s, last) + ", \"quiet_seconds\": " +
                      (have_last ? number(quiet_for, "%.0f") : "null") +
                      ", \"usual_gap_seconds\": " + (gap >= 0 ? number(gap, "%.1f") : "null") +
                      ", \"quiet\": " + (quiet ? "true" : "false") + ", \"ports\": [";
    for (size_t i = 0; i < ports.size(); ++i)
        out += (i ? ", " : "") + kv_json::quoted(ports[i]);
    return out + "]}";
}

// The last whole hours ending with the current one, oldest first, per station.
line::DbStatus hourly_json(line::Connection& db, const Query& q, const std::vector<line::StationFigures>& stations,
                           double now, std::string* out)
{
    const double first = std::floor(now / 3600) * 3600 - (kHourBuckets - 1) * 3600.0;
    std::vector<line::HourCount> counts;
    const line::DbStatus s = line::hourly_counts(db, {utc_of(first), q.station, 0}, &counts);
    std::map<std::pair<std::string, std::string>, const line::HourCount*> by_hour;
    for (const line::HourCount& h : counts)
        by_hour[{h.station, h.hour}] = &h;
    *out = "[";
    for (size_t i = 0; i < stations.size(); ++i) {
        *out += std::string(i ? ",\n  " : "\n  ") + "{\"station\": " + kv_json::quoted(stations[i].station) +
                ", \"hours\": [";
        for (int b = 0; b < kHourBuckets; ++b) {
            const std::string hour = utc_of(first + b * 3600.0);
            const auto it = by_hour.find({stations[i].station, hour.substr(0, 13)});
            *out += std::string(b ? ", " : "") + "{\"hour\": " + kv_json::quoted(hour) + ", \"done\": " +
                    std::to_string(it == by_hour.end() ? 0 : it->second->done) + ", \"failed\": " +
                    std::to_string(it == by_hour.end() ? 0 : it->second->failed) + "}";
        }
        *out += "]}";
    }
    *out += "]";
    return s;
}

line::DbStatus summary_json(line::Connection& db, const Query& q, double now, std::string* body)
{
    line::LineFigures figures;
    line::StationTexts ends, ports;
    const line::JobFilter f = filter_of(q);
    line::DbStatus s = line::line_figures(db, f, 0, &figures);
    if (s.ok())
        s = line::end_times(db, f, &ends);
    if (s.ok())
        s = line::station_ports(db, f, &ports);
    std::string hourly;
    if (s.ok())
        s = hourly_json(db, q, figures.stations, now, &hourly);
    std::string last_any, stations;
    for (size_t i = 0; i < figures.stations.size(); ++i) {
        const std::string& name = figures.stations[i].station;
        const std::vector<std::string>& mine = ends[name];
        if (!mine.empty())
            last_any = std::max(last_any, mine.back());
        stations += std::string(i ? ",\n  " : "\n  ") + station_json(figures.stations[i], mine, ports[name], now);
    }
    *body = "{\"generated_at\": " + kv_json::quoted(utc_of(now)) + ", \"since\": " + kv_json::quoted(q.since) +
            ",\n \"total\": " + figures_json(figures.total, last_any) + "},\n \"stations\": [" + stations +
            "],\n \"hourly\": " + hourly + "}\n";
    return s;
}

}  // namespace

std::string error_json(const std::string& message) { return "{\"error\": " + kv_json::quoted(message) + "}"; }

std::string parse_query(const Params& p, double now, Query* q)
{
    if (std::string bad = parse_since(param(p, "since"), now, &q->since); !bad.empty())
        return bad;
    if (const std::string* station = param(p, "station")) {
        if (station->size() > 200)
            return "station names one station: at most 200 characters";
        for (unsigned char c : *station)
            if (c < 0x20 || c == 0x7f)
                return "station may not hold control characters";
        q->station = *station;
    }
    if (const std::string* limit = param(p, "limit")) {
        const bool digits = !limit->empty() && limit->size() <= 4 &&
                            limit->find_first_not_of("0123456789") == std::string::npos;
        const int n = digits ? std::atoi(limit->c_str()) : 0;
        if (n < 1 || n > 1000)
            return "limit must be a whole number from 1 to 1000";
        q->limit = n;
    }
    return "";
}

Reply jobs(line::Connection& db, const Params& p, double now)
{
    return answer_query(p, now, [&db](const Query& q, std::string* body) {
        std::vector<line::JobRow> rows;
        const line::DbStatus s = line::list_jobs(db, filter_of(q), &rows);
        *body = "{\"jobs\": [";
        for (size_t i = 0; i < rows.size(); ++i) {
            const line::JobRow& j = rows[i];
            *body += std::string(i ? ",\n " : "\n ") + "{\"id\": " + text_or_null(j.id) +
                     ", \"station\": " + text_or_null(j.station) + ", \"port\": " + text_or_null(j.port) +
                     ", \"tool\": " + text_or_null(j.tool) + ", \"kind\": " + text_or_null(j.kind) +
                     ", \"code\": " + text_or_null(j.code) + ", \"image_name\": " + text_or_null(j.image_name) +
                     ", \"outcome\": " + text_or_null(j.outcome) + ", \"failed_step\": " +
                     text_or_null(j.failed_step) + ", \"error\": " + text_or_null(j.error) +
                     ", \"started_at\": " + text_or_null(j.started_at) + ", \"ended_at\": " +
                     text_or_null(j.ended_at) + ", \"seconds\": " + number_or_null(j.seconds) + "}";
        }
        *body += "]}\n";
        return s;
    });
}

Reply summary(line::Connection& db, const Params& p, double now)
{
    return answer_query(p, now,
                        [&db, now](const Query& q, std::string* body) { return summary_json(db, q, now, body); });
}

Reply failures(line::Connection& db, const Params& p, double now)
{
    return answer_query(p, now, [&db](const Query& q, std::string* body) {
        std::vector<line::StepFailures> rows;
        const line::DbStatus s = line::step_failures(db, filter_of(q), &rows);
        *body = "{\"failures\": [";
        for (size_t i = 0; i < rows.size(); ++i)
            *body += std::string(i ? ", " : "") + "{\"tool\": " + kv_json::quoted(rows[i].tool) +
                     ", \"step\": " + kv_json::quoted(rows[i].step) + ", \"count\": " +
                     std::to_string(rows[i].count) + "}";
        *body += "]}\n";
        return s;
    });
}

}  // namespace dashboard
