// Reading the line database back: job records and the per-station figures
// of `corvane-cli line report` (and the dashboard).
#pragma once

#include "Database.h"

#include <map>
#include <string>
#include <vector>

namespace line {

struct JobFilter {
    std::string since;  // UTC ISO 8601; "" for all
    std::string station;  // "" for every station
    int limit = 1000;
};

struct JobRow {
    std::string id, station, port, tool, kind, project_type, image_name, image_sha256, started_at, ended_at, outcome,
        failed_step, error, code, seconds;
};

// Newest first.
DbStatus list_jobs(Connection& db, const JobFilter& f, std::vector<JobRow>* out);

struct StationFigures {
    std::string station;
    long long done = 0;  // outcome ok
    long long failed = 0;
    long long cancelled = 0;
    long long running = 0;
    double yield = 0;  // done / (done + failed); 0 when neither
    double per_hour = 0;  // boxes ended per hour between the first start and the last end
    std::string first_start, last_end;
};

struct StepFailures {
    std::string tool, step;
    long long count = 0;
};

struct LineFigures {
    std::vector<StationFigures> stations;  // by name
    StationFigures total;  // station ""
    std::vector<StepFailures> failures;  // most first
    std::vector<JobRow> last;  // the last boxes, newest first
};

DbStatus line_figures(Connection& db, const JobFilter& f, size_t last_count, LineFigures* out);

// Failed jobs counted by tool and step, most first.
DbStatus step_failures(Connection& db, const JobFilter& f, std::vector<StepFailures>* out);

// Jobs that ended ok or failed, by station and the hour they ended in
// ("2026-12-09T18"), from `from` on (f.since is that time; f.limit unused).
struct HourCount {
    std::string station, hour;
    long long done = 0, failed = 0;
};
DbStatus hourly_counts(Connection& db, const JobFilter& f, std::vector<HourCount>* out);

// Per station: the distinct ports of its jobs (sorted), and the end times of
// its ended jobs (oldest first).
using StationTexts = std::map<std::string, std::vector<std::string>>;
DbStatus station_ports(Connection& db, const JobFilter& f, StationTexts* out);
DbStatus end_times(Connection& db, const JobFilter& f, StationTexts* out);

// The median gap in seconds between consecutive times (oldest first); -1
// for fewer than two.
double usual_gap(const std::vector<std::string>& times);

// What changes whenever a job starts or ends: the job count and the newest
// start and end.
DbStatus job_state(Connection& db, std::string* state);

}  // namespace line
