// Stations of one line reserving codes from one series at once: each
// station is a thread with a connection of its own, as a station process
// has. Prints reservations per second by the number of stations, and per box
// the time the database adds to its job (start row, reservation, the code's
// ending, the end row), median and 99th percentile.
#include "CodeSeries.h"
#include "JobRecords.h"
#include "Schema.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

bool next_code(const std::string& code, const line::SeriesRule& rule, std::string* next, std::string*)
{
    std::string n = std::to_string(std::stoll(code) + rule.step);
    *next = std::string(code.size() > n.size() ? code.size() - n.size() : 0, '0') + n;
    return true;
}

struct Round {
    double per_second = 0;
    double median_ms = 0, p99_ms = 0;
    int errors = 0;
};

// One box's job as a station records it: every statement its own transaction.
bool one_box(line::Connection& db, const std::string& series, const std::string& station)
{
    line::JobStart j;
    j.id = line::new_job_id();
    j.station = station;
    j.port = "/dev/ttyUSB0";
    j.tool = "stampa";
    j.kind = "burn";
    if (!line::record_job_start(db, j).ok())
        return false;
    line::Reservation r = line::reserve_code(db, series, station, j.port, j.id, next_code);
    if (!r.status.ok() || !line::end_code(db, r.code, true).ok())
        return false;
    line::JobEnd e;
    e.outcome = "ok";
    e.code = r.code;
    return line::record_job_end(db, j.id, e).ok();
}

// Station s draws from series[s % series.size()]: one series for all, or one each.
Round run(const std::string& url, const std::vector<std::string>& series, int stations, int boxes_each)
{
    std::vector<std::vector<double>> times(static_cast<size_t>(stations));
    std::atomic<int> errors{0};
    std::vector<std::thread> threads;
    const auto t0 = Clock::now();
    for (int s = 0; s < stations; ++s)
        threads.emplace_back([&, s] {
            std::string err;
            auto db = line::open_database(url, &err);
            const std::string name = "bench-" + std::to_string(s);
            if (!db || !line::ensure_station(*db, name).ok()) {
                errors += boxes_each;
                return;
            }
            for (int b = 0; b < boxes_each; ++b) {
                const auto a = Clock::now();
                if (!one_box(*db, series[size_t(s) % series.size()], name))
                    ++errors;
                times[size_t(s)].push_back(std::chrono::duration<double, std::milli>(Clock::now() - a).count());
            }
        });
    for (auto& t : threads)
        t.join();
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    std::vector<double> all;
    for (auto& v : times)
        all.insert(all.end(), v.begin(), v.end());
    std::sort(all.begin(), all.end());
    Round r;
    r.errors = errors;
    r.per_second = secs > 0 ? double(all.size()) / secs : 0;
    if (!all.empty()) {
        r.median_ms = all[all.size() / 2];
        r.p99_ms = all[std::min(all.size() - 1, all.size() * 99 / 100)];
    }
    return r;
}

int bench(const std::string& url, int boxes_each)
{
    std::string err;
    auto db = line::open_database(url, &err);
    if (!db || !line::migrate(*db).ok()) {
        std::fprintf(stderr, "line_bench: %s: %s\n", url.c_str(), err.c_str());
        return 1;
    }
    // Stations sharing one series queue on its row; stations with a series
    // each do not: the difference between the two is the lock wait.
    std::printf("%s\n%-9s %-7s %14s %12s %12s %7s\n", db->where().c_str(), "stations", "series", "reservations/s",
                "median ms", "p99 ms", "errors");
    int failed = 0;
    for (int n : {1, 2, 4, 8})
        for (bool shared : {true, false}) {
            if (n == 1 && !shared)
                continue;
            std::vector<std::string> names;
            for (int k = 0; k < (shared ? 1 : n); ++k) {
                line::SeriesSpec spec;
                spec.name = "bench-" + line::new_job_id().substr(0, 12);
                spec.start = std::to_string(n * 10 + k + 1) + "00000000";
                if (!line::add_series(*db, spec).ok()) {
                    std::fprintf(stderr, "line_bench: cannot add the series\n");
                    return 1;
                }
                names.push_back(spec.name);
            }
            const Round r = run(url, names, n, boxes_each);
            std::printf("%-9d %-7s %14.0f %12.2f %12.2f %7d\n", n, shared ? "one" : "each", r.per_second, r.median_ms,
                        r.p99_ms, r.errors);
            failed += r.errors;
        }
    return failed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: line_bench URL [URL...]   (postgresql://... or sqlite:PATH)\n");
        return 2;
    }
    int rc = 0;
    for (int i = 1; i < argc; ++i)
        rc |= bench(argv[i], 200);
    return rc;
}
