#include "Database.h"

#include "LineUrl.h"

#include <cerrno>
#include <cstdlib>

namespace line {

namespace {

std::unique_ptr<Connection> open_any(const std::string& url, std::string* error, bool read_only)
{
    const std::string bad = check_database_url(url);
    if (!bad.empty()) {
        if (error)
            *error = bad;
        return nullptr;
    }
    return is_sqlite_url(url) ? open_sqlite(sqlite_path(url), error, read_only)
                              : open_postgres(url, error, read_only);
}

}  // namespace

std::unique_ptr<Connection> open_database(const std::string& url, std::string* error)
{
    return open_any(url, error, false);
}

std::unique_ptr<Connection> open_database_read_only(const std::string& url, std::string* error)
{
    return open_any(url, error, true);
}

std::string text_of(const Value& v) { return v ? *v : std::string(); }

long long int_of(const Value& v)
{
    if (!v || v->empty())
        return 0;
    errno = 0;
    char* end = nullptr;
    const long long n = std::strtoll(v->c_str(), &end, 10);
    return errno || (end && *end && *end != '.') ? 0 : n;
}

}  // namespace line
