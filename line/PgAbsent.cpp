// Builds without the PostgreSQL client (the Windows build): a postgres:// line
// database is refused with a clear reason; SQLite and the spool still work.
#include "Database.h"

namespace line {

std::unique_ptr<Connection> open_postgres(const std::string& uri, std::string* error, bool)
{
    if (error)
        *error = "the line database " + uri + " is unavailable: this build has no PostgreSQL client";
    return nullptr;
}

}  // namespace line
