// A test's line database read with SQLite itself.
#pragma once

#include <sqlite3.h>
#include <unistd.h>

#include <string>

namespace linetest {

// The first column of the first row `sql` gives; "" when none (or no file yet).
inline std::string line_value(const std::string& path, const char* sql)
{
    std::string value;
    sqlite3* db = nullptr;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW &&
        sqlite3_column_text(st, 0))
        value = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    sqlite3_finalize(st);
    sqlite3_close(db);
    return value;
}

#define LINETEST_JOB "tool || ' ' || kind || ' ' || outcome || ' ' || station || ' ' || port"

// "tool kind outcome station port" of the last job row.
inline std::string last_job(const std::string& path)
{
    return line_value(path, "SELECT " LINETEST_JOB " FROM job ORDER BY rowid DESC");
}

// What last_job says of a job `what` ("tool kind outcome") on `port` of this host.
inline std::string job_here(const std::string& what, const std::string& port)
{
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    return what + " " + host + " " + port;
}

}  // namespace linetest
