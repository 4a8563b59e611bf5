#include "LineText.h"

#include "JsonText.h"

#include <cstdio>

namespace line {

namespace {

std::string csv_field(const std::string& s)
{
    if (s.find_first_of(",\"\r\n") == std::string::npos)
        return s;
    std::string o = "\"";
    for (char c : s)
        o += c == '"' ? std::string("\"\"") : std::string(1, c);
    return o + "\"";
}

std::string number(double v, const char* fmt = "%.3f")
{
    char buf[48];
    std::snprintf(buf, sizeof buf, fmt, v);
    return buf;
}

// Rows of named text fields in the chosen form; `numeric` fields go into
// JSON without quotes (null when empty).
std::string rows_text(const std::vector<std::string>& names, const std::vector<std::vector<std::string>>& rows,
                      const std::vector<bool>& numeric, TextForm form)
{
    std::string out;
    if (form == TextForm::Json) {
        out = "[";
        for (size_t r = 0; r < rows.size(); ++r) {
            out += r ? ",\n {" : "\n {";
            for (size_t i = 0; i < names.size(); ++i) {
                const std::string& v = rows[r][i];
                out += (i ? ", " : "") + json_string(names[i]) + ": " +
                       (numeric[i] ? (v.empty() ? std::string("null") : v) : json_string(v));
            }
            out += "}";
        }
        return out + (rows.empty() ? "]\n" : "\n]\n");
    }
    const char* sep = form == TextForm::Csv ? "," : "  ";
    for (size_t i = 0; i < names.size(); ++i)
        out += (i ? sep : "") + names[i];
    out += "\n";
    for (const auto& row : rows) {
        for (size_t i = 0; i < row.size(); ++i)
            out += (i ? sep : "") + (form == TextForm::Csv ? csv_field(row[i]) : (row[i].empty() ? "-" : row[i]));
        out += "\n";
    }
    return out;
}

const std::vector<std::string> kJobNames = {"id",           "station",     "port",         "tool",       "kind",
                                            "project_type", "image",       "image_sha256", "started_at", "ended_at",
                                            "outcome",      "failed_step", "error",        "code",       "seconds"};

std::vector<std::vector<std::string>> job_rows(const std::vector<JobRow>& jobs)
{
    std::vector<std::vector<std::string>> rows;
    for (const JobRow& j : jobs)
        rows.push_back({j.id, j.station, j.port, j.tool, j.kind, j.project_type, j.image_name, j.image_sha256,
                        j.started_at, j.ended_at, j.outcome, j.failed_step, j.error, j.code, j.seconds});
    return rows;
}

std::vector<std::string> station_row(const StationFigures& s)
{
    return {s.station.empty() ? "total" : s.station,
            std::to_string(s.done),
            std::to_string(s.failed),
            std::to_string(s.cancelled),
            std::to_string(s.running),
            number(s.yield, "%.4f"),
            number(s.per_hour, "%.1f"),
            s.last_end};
}

const std::vector<std::string> kStationNames = {"station", "done",  "failed",   "cancelled",
                                                "running", "yield", "per_hour", "last_box"};
const std::vector<bool> kStationNumeric = {false, true, true, true, true, true, true, false};

}  // namespace

std::string json_string(const std::string& s) { return kv_json::quoted(s); }

std::string jobs_text(const std::vector<JobRow>& jobs, TextForm form)
{
    std::vector<bool> numeric(kJobNames.size(), false);
    numeric[5] = numeric[14] = true;
    return rows_text(kJobNames, job_rows(jobs), numeric, form);
}

std::string figures_text(const LineFigures& f, TextForm form)
{
    std::vector<std::vector<std::string>> stations;
    for (const StationFigures& s : f.stations)
        stations.push_back(station_row(s));
    std::vector<std::vector<std::string>> failures;
    for (const StepFailures& s : f.failures)
        failures.push_back({s.tool, s.step, std::to_string(s.count)});
    const std::vector<std::string> failure_names = {"tool", "step", "count"};
    const std::vector<bool> failure_numeric = {false, false, true};
    if (form == TextForm::Json) {
        std::string total = rows_text(kStationNames, {station_row(f.total)}, kStationNumeric, form);
        total = total.substr(total.find('{'), total.rfind('}') - total.find('{') + 1);
        return "{\"stations\": " + rows_text(kStationNames, stations, kStationNumeric, form) + ", \"total\": " + total +
               ",\n\"failures\": " + rows_text(failure_names, failures, failure_numeric, form) +
               ", \"last\": " + jobs_text(f.last, form) + "}\n";
    }
    stations.push_back(station_row(f.total));
    std::string out = rows_text(kStationNames, stations, kStationNumeric, form);
    out += "\n" + rows_text(failure_names, failures, failure_numeric, form);
    if (form == TextForm::Table)
        out += "\nlast boxes\n";
    else
        out += "\n";
    return out + jobs_text(f.last, form);
}

std::string codes_text(const std::vector<CodeRow>& codes, TextForm form)
{
    std::vector<std::vector<std::string>> rows;
    for (const CodeRow& c : codes)
        rows.push_back({c.series, c.code, c.state, c.station, c.port, c.job_id, c.reserved_at, c.ended_at});
    return rows_text({"series", "code", "state", "station", "port", "job", "reserved_at", "ended_at"}, rows,
                     std::vector<bool>(8, false), form);
}

}  // namespace line
