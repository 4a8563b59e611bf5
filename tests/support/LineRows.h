// The job rows of a test's line database, read with SQLite itself.
#pragma once

#include <sqlite3.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace linetest {

struct JobRow {
    std::string tool, kind, outcome, station, port, code;
    // "tool kind outcome": what a test waits for.
    std::string summary() const { return tool + " " + kind + " " + outcome; }
};

// The rows in the order they were written; none while the file is not there.
inline std::vector<JobRow> job_rows(const std::string& path)
{
    std::vector<JobRow> rows;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* st = nullptr;
        const char* sql = "SELECT tool, kind, outcome, station, port, code FROM job ORDER BY rowid";
        if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK) {
            auto text = [st](int i) {
                const unsigned char* t = sqlite3_column_text(st, i);
                return t ? std::string(reinterpret_cast<const char*>(t)) : std::string();
            };
            while (sqlite3_step(st) == SQLITE_ROW)
                rows.push_back({text(0), text(1), text(2), text(3), text(4), text(5)});
        }
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return rows;
}

// The summary of the last row, "" when there is none.
inline std::string last_job(const std::string& path)
{
    std::vector<JobRow> rows = job_rows(path);
    return rows.empty() ? std::string() : rows.back().summary();
}

inline std::string host_name()
{
    char host[256] = {};
    return ::gethostname(host, sizeof host - 1) == 0 ? host : "";
}

}  // namespace linetest
