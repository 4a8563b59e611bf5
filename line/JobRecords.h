// One row per job in the line database: written when the job starts
// (outcome "running") and completed when it ends.
#pragma once

#include "Database.h"

#include <string>

namespace line {

struct JobStart {
    std::string id;  // made by new_job_id() when empty
    std::string station;
    std::string port;
    std::string tool;  // "upg", "upgblock", "download", "stampa", "panel" ...
    std::string kind;  // "upgrade", "dump", "block", "calibrate", "burn", "send" ...
    int project_type = -1;  // -1: none
    std::string image_name;  // the file's name, without its folder
    long long image_size = -1;  // -1: no image
    std::string image_sha256;  // lower-case hex
    std::string started_at;  // utc_now() when empty
    std::string code;  // stampa: the code burnt
};

struct JobEnd {
    std::string outcome;  // "ok", "failed" or "cancelled"
    std::string failed_step;
    std::string error;
    std::string ended_at;  // utc_now() when empty
    std::string code;  // stampa: kept when empty
    long long bytes = -1;  // bytes moved, -1: none
    double seconds = -1;  // the job's time, -1: none
    std::string report;  // the --report JSON: phase times and transfer figures
};

// The start row of a job of `tool`, of `kind`, on the file `image` (may be
// empty): the file's name, size and SHA-256, left empty when it cannot be read.
JobStart job_on(const std::string& tool, const std::string& kind, const std::string& image = {});

// A new job's id: 32 random lower-case hex digits (unique line-wide).
std::string new_job_id();

// Each is one idempotent statement: a record written twice (a spool replayed
// after a lost answer) stands once.
DbStatus ensure_station(Connection& db, const std::string& station);
DbStatus record_job_start(Connection& db, const JobStart& job);
DbStatus record_job_end(Connection& db, const std::string& id, const JobEnd& end);

// The SHA-256 of a file in lower-case hex, and its size; false when it
// cannot be read.
bool file_digest(const std::string& path, std::string* sha256, long long* size);
// Lower-case hex of `n` bytes.
std::string digest_hex(const unsigned char* p, size_t n);

}  // namespace line
