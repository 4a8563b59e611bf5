// The line database: one small interface over the two servers a line uses,
// SQLite (one PC, the default) and PostgreSQL (a line of stations). Every
// value goes in as a bound parameter, never spliced into the SQL text.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace line {

using Value = std::optional<std::string>;  // text, or SQL NULL
using Row = std::vector<Value>;

enum class Dialect { Sqlite, Postgres };

// What a statement came to. `Unavailable` is a server that cannot be reached
// (or went away); `Conflict` a unique key that refused a row.
enum class DbCode { Ok, Conflict, Unavailable, Error };

struct DbStatus {
    DbCode code = DbCode::Ok;
    std::string message;
    bool ok() const { return code == DbCode::Ok; }
};

class Connection {
public:
    virtual ~Connection() = default;
    virtual Dialect dialect() const = 0;
    // One statement; parameters are written $1, $2 ... in either dialect.
    // Rows returned are appended to `rows` when given.
    virtual DbStatus exec(const std::string& sql, const std::vector<Value>& params = {},
                          std::vector<Row>* rows = nullptr) = 0;
    // A transaction that writes: SQLite takes its write lock at once, so two
    // processes never both read a value they then both change.
    virtual DbStatus begin_write() = 0;
    DbStatus commit() { return exec("COMMIT"); }
    void rollback() { exec("ROLLBACK"); }
    // Where it is, for messages (never with a password).
    virtual std::string where() const = 0;
};

// Opens `url` ("sqlite:PATH" or a libpq "postgresql://..." URI). SQLite
// creates its file (and folder) on first use. Null with `error` set when the
// database cannot be opened.
std::unique_ptr<Connection> open_database(const std::string& url, std::string* error);

// The same, for a reader that never writes: an SQLite file must exist (it is
// opened read-only), a PostgreSQL session refuses writes.
std::unique_ptr<Connection> open_database_read_only(const std::string& url, std::string* error);

std::unique_ptr<Connection> open_sqlite(const std::string& path, std::string* error, bool read_only = false);
std::unique_ptr<Connection> open_postgres(const std::string& uri, std::string* error, bool read_only = false);

// A value of a row as text ("" for NULL) or a number (0 for NULL or junk).
std::string text_of(const Value& v);
long long int_of(const Value& v);

}  // namespace line
