#include "Database.h"
#include "FileOps.h"

#include <sqlite3.h>

#include <filesystem>

namespace line {

namespace {

// Parameters are written $1, $2 ... as PostgreSQL takes them; SQLite numbers
// them the same way as ?1, ?2 ...
std::string numbered_params(const std::string& sql)
{
    std::string out = sql;
    for (size_t i = 0; i + 1 < out.size(); ++i) {
        if (out[i] == '\'') {  // leave literals alone
            const size_t end = out.find('\'', i + 1);
            if (end == std::string::npos)
                break;
            i = end;
        } else if (out[i] == '$' && out[i + 1] >= '0' && out[i + 1] <= '9') {
            out[i] = '?';
        }
    }
    return out;
}

class SqliteConnection : public Connection {
public:
    SqliteConnection(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}
    ~SqliteConnection() override { sqlite3_close_v2(db_); }

    Dialect dialect() const override { return Dialect::Sqlite; }
    std::string where() const override { return "sqlite:" + path_; }

    DbStatus exec(const std::string& sql, const std::vector<Value>& params, std::vector<Row>* rows) override
    {
        sqlite3_stmt* st = nullptr;
        const std::string text = numbered_params(sql);
        if (sqlite3_prepare_v2(db_, text.c_str(), static_cast<int>(text.size()), &st, nullptr) != SQLITE_OK)
            return failure(sqlite3_errcode(db_));
        for (size_t i = 0; i < params.size(); ++i) {
            const int idx = static_cast<int>(i + 1);
            if (params[i])
                sqlite3_bind_text(st, idx, params[i]->data(), static_cast<int>(params[i]->size()), SQLITE_TRANSIENT);
            else
                sqlite3_bind_null(st, idx);
        }
        int rc;
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
            if (!rows)
                continue;
            Row row;
            for (int c = 0; c < sqlite3_column_count(st); ++c) {
                if (sqlite3_column_type(st, c) == SQLITE_NULL) {
                    row.emplace_back(std::nullopt);
                } else {
                    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(st, c));
                    row.emplace_back(std::string(p, static_cast<size_t>(sqlite3_column_bytes(st, c))));
                }
            }
            rows->push_back(std::move(row));
        }
        const int ext = sqlite3_extended_errcode(db_);
        sqlite3_finalize(st);
        return rc == SQLITE_DONE ? DbStatus{} : failure(ext);
    }

    DbStatus begin_write() override { return exec("BEGIN IMMEDIATE", {}, nullptr); }

private:
    DbStatus failure(int code) const
    {
        DbStatus s;
        s.message = std::string(sqlite3_errmsg(db_)) + " (" + where() + ")";
        if (code == SQLITE_CONSTRAINT_UNIQUE || code == SQLITE_CONSTRAINT_PRIMARYKEY)
            s.code = DbCode::Conflict;
        else if ((code & 0xff) == SQLITE_CANTOPEN || (code & 0xff) == SQLITE_IOERR || (code & 0xff) == SQLITE_BUSY)
            s.code = DbCode::Unavailable;
        else
            s.code = DbCode::Error;
        return s;
    }

    sqlite3* db_;
    std::string path_;
};

}  // namespace

std::unique_ptr<Connection> open_sqlite(const std::string& path, std::string* error, bool read_only)
{
    std::error_code ec;
    const std::filesystem::path p = kv::file_path(path);
    if (p.has_parent_path() && !read_only)
        std::filesystem::create_directories(p.parent_path(), ec);
    sqlite3* db = nullptr;
    const int flags = read_only ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    const int rc = sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_FULLMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        if (error)
            *error =
                "cannot open the line database sqlite:" + path + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
        sqlite3_close_v2(db);
        return nullptr;
    }
    // Several stations' processes share the file: wait for one another's
    // writes rather than fail, and keep readers out of the writers' way.
    sqlite3_busy_timeout(db, 15000);
    auto conn = std::make_unique<SqliteConnection>(db, path);
    if (read_only)
        return conn;  // the writers chose the journal mode
    DbStatus s = conn->exec("PRAGMA journal_mode=WAL", {}, nullptr);
    if (s.ok())
        s = conn->exec("PRAGMA foreign_keys=ON", {}, nullptr);
    if (!s.ok()) {
        if (error)
            *error = "cannot use the line database: " + s.message;
        return nullptr;
    }
    return conn;
}

}  // namespace line
