// What a station writes to the line database while it works: job rows and
// code reservations, safe to call from every port's thread. When the
// database goes away mid-run, job records go into a local spool (each line
// fsync'd) and reach the database when it is back, in order and once; no
// code is reserved meanwhile.
#pragma once

#include "CodeSeries.h"
#include "JobRecords.h"
#include "LineUrl.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace line {

class Recorder {
public:
    // Connects, brings the schema up to date and sends what an earlier run
    // left in the spool. `spool_path` is where records wait while the
    // database is away; a second process on the same path takes PATH.2 and
    // so on. Null with `error` set when the database cannot be
    // reached: the caller refuses to start (no box touched).
    static std::unique_ptr<Recorder> open(const std::string& url, const std::string& spool_path, std::string* error);
    ~Recorder();

    // Fills in the job's id (and its start time) and writes the row.
    void job_started(JobStart& job);
    void job_ended(const std::string& id, const JobEnd& end);

    // Takes the series' next code for a box; fails (status Unavailable) while
    // records wait in the spool or the database cannot be reached.
    Reservation reserve(const std::string& series, const std::string& station, const std::string& port,
                        const std::string& job_id, const NextCode& next);
    // Takes a code the station was given by hand, line-wide (claim_code);
    // fails (Unavailable) as reserve() does.
    Reservation claim(const std::string& code, const std::string& station, const std::string& port,
                      const std::string& job_id);
    // "" when the line has the series, else why not (it has none of that
    // name, or the database cannot say).
    std::string check_series(const std::string& series);
    void code_ended(const std::string& code, bool burnt);
    void give_back(const std::string& code);
    // The state the line holds for a code ("" when none or unreachable).
    std::string code_state(const std::string& code);

    // Records waiting for the database.
    size_t spooled() const;
    std::string where() const;
    const std::string& spool_path() const { return spool_path_; }

private:
    Recorder(std::unique_ptr<Connection> db, std::string spool_path);
    struct Op;
    void submit(const Op& op);  // with the lock held
    bool flush_spool();  // with the lock held; true when the spool is empty
    bool apply(const Op& op);  // true when written (or refused for good)
    Reservation spooling() const;

    mutable std::mutex mu_;
    std::unique_ptr<Connection> db_;
    std::string spool_path_;
    size_t spooled_ = 0;
    intptr_t spool_lock_ = -1;
};

}  // namespace line
