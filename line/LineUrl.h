// Where the line database is: --db URL, then $CORVANE_DB, then
// "[Line] Database" in corvane.ini, then sqlite:<data folder>/corvane-line.db.
// The word "off" in any of them records nothing.
#pragma once

#include <string>

namespace line {

struct DbChoice {
    bool off = false;  // --no-db: nothing is recorded
    std::string url;  // "sqlite:PATH" or a libpq URI
    std::string error;  // a refused URL, with the reason
    bool ok() const { return error.empty(); }
};

// `flag` is the --db value ("" when not given). A PostgreSQL URL may not carry
// a password: it would show in the process list and the shell history, so
// passwords come from ~/.pgpass (or $PGPASSFILE).
DbChoice choose_database(const std::string& flag, bool no_db);

// Checks one URL as the choice above does; "" when it is fine.
std::string check_database_url(const std::string& url);

bool is_sqlite_url(const std::string& url);
std::string sqlite_path(const std::string& url);

}  // namespace line
