#include "Database.h"

#include <libpq-fe.h>

#include <cstring>

namespace line {

namespace {

class PgConnection : public Connection {
public:
    PgConnection(PGconn* c, std::string uri) : conn_(c), uri_(std::move(uri)) {}
    ~PgConnection() override { PQfinish(conn_); }

    Dialect dialect() const override { return Dialect::Postgres; }
    std::string where() const override { return uri_; }

    DbStatus exec(const std::string& sql, const std::vector<Value>& params, std::vector<Row>* rows) override
    {
        if (PQstatus(conn_) != CONNECTION_OK) {
            // A server that went away and came back: one new connection,
            // never inside a transaction that was lost with the old one.
            PQreset(conn_);
            if (PQstatus(conn_) != CONNECTION_OK)
                return {DbCode::Unavailable, "the line database " + uri_ + " is unavailable: " + error_text()};
        }
        std::vector<const char*> values;
        values.reserve(params.size());
        for (const Value& v : params)
            values.push_back(v ? v->c_str() : nullptr);
        PGresult* res = PQexecParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(),
                                     nullptr, nullptr, 0);
        const ExecStatusType st = res ? PQresultStatus(res) : PGRES_FATAL_ERROR;
        DbStatus out;
        if (st == PGRES_TUPLES_OK && rows) {
            for (int r = 0; r < PQntuples(res); ++r) {
                Row row;
                for (int c = 0; c < PQnfields(res); ++c)
                    row.emplace_back(PQgetisnull(res, r, c) ? Value() : Value(PQgetvalue(res, r, c)));
                rows->push_back(std::move(row));
            }
        } else if (st != PGRES_TUPLES_OK && st != PGRES_COMMAND_OK) {
            const char* state = res ? PQresultErrorField(res, PG_DIAG_SQLSTATE) : nullptr;
            out.message = error_text() + " (" + uri_ + ")";
            if (state && std::strcmp(state, "23505") == 0)
                out.code = DbCode::Conflict;
            else if (PQstatus(conn_) != CONNECTION_OK || (state && std::strncmp(state, "08", 2) == 0) ||
                     (state && std::strncmp(state, "57P", 3) == 0))
                out.code = DbCode::Unavailable;
            else
                out.code = DbCode::Error;
        }
        PQclear(res);
        return out;
    }

    DbStatus begin_write() override { return exec("BEGIN", {}, nullptr); }

private:
    std::string error_text() const
    {
        std::string e = PQerrorMessage(conn_);
        while (!e.empty() && (e.back() == '\n' || e.back() == ' '))
            e.pop_back();
        return e;
    }

    PGconn* conn_;
    std::string uri_;
};

// Why a connection that demands TLS failed in a libpq built without it (the
// Windows build); empty when TLS is not the reason.
std::string missing_tls(PGconn* c)
{
    if (!c || PQsslAttribute(nullptr, "library"))
        return {};
    std::string mode;
    PQconninfoOption* opts = PQconninfo(c);
    for (PQconninfoOption* o = opts; o && o->keyword; ++o)
        if (std::strcmp(o->keyword, "sslmode") == 0 && o->val)
            mode = o->val;
    PQconninfoFree(opts);
    if (mode != "require" && mode != "verify-ca" && mode != "verify-full")
        return {};
    return "sslmode=" + mode + " needs TLS and this build has no TLS (no OpenSSL); only sslmode=disable, allow or "
           "prefer can connect";
}

}  // namespace

std::unique_ptr<Connection> open_postgres(const std::string& uri, std::string* error, bool read_only)
{
    // A server that does not answer is given up after a few seconds; the
    // URI's own connect_timeout, when it has one, comes later and wins. A
    // reader's session (a reset one too) refuses every write.
    const char* keys[] = {"connect_timeout", "options", "dbname", nullptr};
    const char* values[] = {"5", read_only ? "-c default_transaction_read_only=on" : "", uri.c_str(), nullptr};
    PGconn* c = PQconnectdbParams(keys, values, 1);
    if (!c || PQstatus(c) != CONNECTION_OK) {
        if (error) {
            std::string e = missing_tls(c);
            if (e.empty())
                e = c ? PQerrorMessage(c) : "out of memory";
            while (!e.empty() && (e.back() == '\n' || e.back() == ' '))
                e.pop_back();
            *error = "the line database " + uri + " is unavailable: " + e;
        }
        PQfinish(c);
        return nullptr;
    }
    PQsetNoticeProcessor(
        c, [](void*, const char*) {}, nullptr);
    return std::make_unique<PgConnection>(c, uri);
}

}  // namespace line
