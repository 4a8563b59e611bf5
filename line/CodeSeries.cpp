#include "CodeSeries.h"

#include "LineTime.h"

namespace line {

namespace {

constexpr int kSkipLimit = 100000;  // codes of other series passed over in one draw

DbStatus fail(Connection& db, DbStatus s)
{
    db.rollback();
    return s;
}

// Takes the series' first free code (given back or from its file); "" when none.
DbStatus take_free(Connection& db, const std::string& series_id, const std::vector<Value>& who, std::string* code)
{
    std::vector<Row> rows;
    DbStatus s = db.exec("SELECT id, code FROM code WHERE series_id = $1 AND state = 'free' ORDER BY seq LIMIT 1",
                         {series_id}, &rows);
    if (!s.ok() || rows.empty())
        return s;
    s = db.exec("UPDATE code SET state = 'reserved', station = $2, port = $3, job_id = $4, reserved_at = $5,"
                " ended_at = NULL WHERE id = $1",
                {rows[0][0], who[0], who[1], who[2], who[3]});
    if (s.ok())
        *code = text_of(rows[0][1]);
    return s;
}

struct Series {
    std::string id;
    SeriesRule rule;
    bool from_file = false;
    Value next_code;
    long long next_seq = 0;
};

DbStatus find_series(Connection& db, const std::string& name, Series* out, bool* found, bool for_update = true)
{
    std::vector<Row> rows;
    const char* lock = for_update && db.dialect() == Dialect::Postgres ? " FOR UPDATE" : "";
    DbStatus s = db.exec(std::string("SELECT id, step, base, width, code_file, next_code, next_seq FROM code_series"
                                     " WHERE name = $1") +
                             lock,
                         {name}, &rows);
    *found = s.ok() && !rows.empty();
    if (!*found)
        return s;
    const Row& r = rows[0];
    out->id = text_of(r[0]);
    out->rule = {static_cast<int>(int_of(r[1])), text_of(r[2]) == "hex", static_cast<int>(int_of(r[3]))};
    out->from_file = r[4].has_value();
    out->next_code = r[5];
    out->next_seq = int_of(r[6]);
    return s;
}

// Draws the series' next generated code, passing over codes another series
// already holds (the line-wide unique key refuses them).
Reservation draw_generated(Connection& db, Series& se, const std::vector<Value>& who, const NextCode& next)
{
    Reservation r;
    for (int skipped = 0; se.next_code && skipped < kSkipLimit; ++skipped) {
        const std::string code = *se.next_code;
        std::vector<Row> got;
        r.status =
            db.exec("INSERT INTO code (series_id, seq, code, state, station, port, job_id, reserved_at)"
                    " VALUES ($1, $2, $3, 'reserved', $4, $5, $6, $7) ON CONFLICT (code) DO NOTHING RETURNING id",
                    {se.id, std::to_string(se.next_seq), code, who[0], who[1], who[2], who[3]}, &got);
        if (!r.status.ok())
            return r;
        std::string following, why;
        se.next_code = next(code, se.rule, &following, &why) ? Value(following) : Value();
        ++se.next_seq;
        if (!got.empty()) {
            r.code = code;
            break;
        }
    }
    r.status = db.exec("UPDATE code_series SET next_code = $2, next_seq = $3 WHERE id = $1",
                       {se.id, se.next_code, std::to_string(se.next_seq)});
    return r;
}

// PostgreSQL, many stations on one series: no lock is held across round
// trips. A free code is taken in one statement (rows another station is
// taking are skipped); a generated code by moving the series on with a
// compare-and-set of its sequence number, then entering the code, each its
// own statement. A station that dies between the two leaves a number never
// issued, never one issued twice: the code's unique key is the guard.
Reservation reserve_unlocked(Connection& db, const std::string& series, const std::vector<Value>& who,
                             const NextCode& next)
{
    Reservation r;
    Series se;
    bool found = false;
    r.status = find_series(db, series, &se, &found, false);
    if (r.status.ok() && !found)
        r.status = {DbCode::Error, "the line has no code series named " + series};
    std::vector<Row> got;
    if (r.status.ok())
        r.status = db.exec("UPDATE code SET state = 'reserved', station = $2, port = $3, job_id = $4, reserved_at = $5,"
                           " ended_at = NULL WHERE id = (SELECT id FROM code WHERE series_id = $1 AND state = 'free'"
                           " ORDER BY seq LIMIT 1 FOR UPDATE SKIP LOCKED) RETURNING code",
                           {se.id, who[0], who[1], who[2], who[3]}, &got);
    for (int tries = 0; r.status.ok() && got.empty() && !se.from_file && se.next_code && tries < kSkipLimit; ++tries) {
        const std::string code = *se.next_code;
        std::string following, why;
        const Value after = next(code, se.rule, &following, &why) ? Value(following) : Value();
        r.status = db.exec("UPDATE code_series SET next_code = $2, next_seq = $3 WHERE id = $1 AND next_seq = $4"
                           " RETURNING id",
                           {se.id, after, std::to_string(se.next_seq + 1), std::to_string(se.next_seq)}, &got);
        if (r.status.ok() && got.empty()) {  // another station moved it on: read where it is now
            r.status = find_series(db, series, &se, &found, false);
            continue;
        }
        got.clear();
        if (r.status.ok())
            r.status = db.exec("INSERT INTO code (series_id, seq, code, state, station, port, job_id, reserved_at)"
                               " VALUES ($1, $2, $3, 'reserved', $4, $5, $6, $7) ON CONFLICT (code) DO NOTHING"
                               " RETURNING code",
                               {se.id, std::to_string(se.next_seq), code, who[0], who[1], who[2], who[3]}, &got);
        se.next_code = after;  // a code another series holds is passed over
        ++se.next_seq;
    }
    if (r.status.ok() && !got.empty())
        r.code = text_of(got[0][0]);
    else if (r.status.ok()) {
        r.exhausted = true;
        r.status = {DbCode::Error, "the code series " + series + " has no code left"};
    }
    return r;
}

}  // namespace

DbStatus add_series(Connection& db, const SeriesSpec& spec)
{
    DbStatus s = db.begin_write();
    if (!s.ok())
        return s;
    const bool from_file = !spec.file_codes.empty() || !spec.code_file.empty();
    std::vector<Row> rows;
    s = db.exec("INSERT INTO code_series (name, first_code, step, base, width, code_file, next_code, next_seq,"
                " created_at) VALUES ($1, $2, $3, $4, $5, $6, $7, 0, $8) RETURNING id",
                {spec.name, from_file ? Value() : Value(spec.start), std::to_string(spec.step),
                 spec.hex ? "hex" : "dec", std::to_string(spec.width), from_file ? Value(spec.code_file) : Value(),
                 from_file ? Value() : Value(spec.start), utc_now()},
                &rows);
    if (s.code == DbCode::Conflict)
        s.message = "a code series named " + spec.name + " exists already";
    if (!s.ok() || rows.empty())
        return fail(db, s.ok() ? DbStatus{DbCode::Error, "the new series has no id"} : s);
    for (size_t i = 0; i < spec.file_codes.size(); ++i) {
        s = db.exec("INSERT INTO code (series_id, seq, code, state) VALUES ($1, $2, $3, 'free')",
                    {rows[0][0], std::to_string(i), spec.file_codes[i]});
        if (s.code == DbCode::Conflict)
            s.message = "the code " + spec.file_codes[i] + " of " + spec.code_file + " is in the line already";
        if (!s.ok())
            return fail(db, s);
    }
    return db.commit();
}

DbStatus series_exists(Connection& db, const std::string& name, bool* found)
{
    Series se;
    return find_series(db, name, &se, found);
}

Reservation reserve_code(Connection& db, const std::string& series, const std::string& station, const std::string& port,
                         const std::string& job_id, const NextCode& next)
{
    const std::vector<Value> who = {station, port, job_id.empty() ? Value() : Value(job_id), utc_now()};
    if (db.dialect() == Dialect::Postgres)
        return reserve_unlocked(db, series, who, next);
    Reservation r;
    r.status = db.begin_write();
    if (!r.status.ok())
        return r;
    Series se;
    bool found = false;
    r.status = find_series(db, series, &se, &found);
    if (r.status.ok() && !found)
        r.status = {DbCode::Error, "the line has no code series named " + series};
    if (r.status.ok())
        r.status = take_free(db, se.id, who, &r.code);
    if (r.status.ok() && r.code.empty() && !se.from_file)
        r = draw_generated(db, se, who, next);
    if (r.status.ok() && r.code.empty()) {
        r.exhausted = true;
        r.status = {DbCode::Error, "the code series " + series + " has no code left"};
    }
    if (!r.status.ok()) {
        db.rollback();
        return r;
    }
    r.status = db.commit();
    if (!r.status.ok())
        r.code.clear();
    return r;
}

namespace {

// The series of the codes stations are given by hand, from a start code or a
// code file of their own: a list, never a source of generated codes.
constexpr const char* kGivenSeries = "(given to stations)";

DbStatus given_series(Connection& db, std::string* id)
{
    Series se;
    bool found = false;
    DbStatus s = find_series(db, kGivenSeries, &se, &found);
    if (s.ok() && !found) {
        std::vector<Row> rows;
        s = db.exec("INSERT INTO code_series (name, step, base, width, code_file, next_seq, created_at)"
                    " VALUES ($1, 1, 'dec', 0, $1, 0, $2) ON CONFLICT (name) DO NOTHING",
                    {kGivenSeries, utc_now()});
        if (s.ok())
            s = find_series(db, kGivenSeries, &se, &found);
    }
    *id = se.id;
    return s;
}

}  // namespace

Reservation claim_code(Connection& db, const std::string& code, const std::string& station, const std::string& port,
                       const std::string& job_id)
{
    Reservation r;
    r.code = code;
    r.status = db.begin_write();
    std::string series_id;
    if (r.status.ok())
        r.status = given_series(db, &series_id);
    const Value job = job_id.empty() ? Value() : Value(job_id);
    std::vector<Row> got;
    if (r.status.ok())
        r.status = db.exec("INSERT INTO code (series_id, seq, code, state, station, port, job_id, reserved_at)"
                           " VALUES ($1, 0, $2, 'reserved', $3, $4, $5, $6) ON CONFLICT (code) DO NOTHING RETURNING id",
                           {series_id, code, station, port, job, utc_now()}, &got);
    if (r.status.ok() && got.empty()) {
        // The line holds it: a code given back is free to take, any other may sit in a box.
        r.status = db.exec("UPDATE code SET state = 'reserved', station = $2, port = $3, job_id = $4,"
                           " reserved_at = $5, ended_at = NULL WHERE code = $1 AND state = 'free' RETURNING id",
                           {code, station, port, job, utc_now()}, &got);
        std::string state;
        if (r.status.ok() && got.empty() && (r.status = line::code_state(db, code, &state)).ok())
            r.status = {DbCode::Conflict, "the line database holds " + code + " as " + state + ": a box may hold it"};
    }
    if (!r.status.ok()) {
        db.rollback();
        r.code.clear();
        return r;
    }
    r.status = db.commit();
    if (!r.status.ok())
        r.code.clear();
    return r;
}

DbStatus end_code(Connection& db, const std::string& code, bool burnt)
{
    return db.exec("UPDATE code SET state = $2, ended_at = $3 WHERE code = $1 AND state = 'reserved'",
                   {code, burnt ? "burnt" : "failed", utc_now()});
}

DbStatus give_back_code(Connection& db, const std::string& code)
{
    return db.exec("UPDATE code SET state = 'free', station = NULL, port = NULL, job_id = NULL, reserved_at = NULL"
                   " WHERE code = $1 AND state = 'reserved'",
                   {code});
}

DbStatus release_code(Connection& db, const std::string& code, std::string* was)
{
    DbStatus s = code_state(db, code, was);
    if (!s.ok())
        return s;
    if (was->empty())
        return {DbCode::Error, "the line holds no code " + code};
    if (*was == "burnt")
        return {DbCode::Error, "the code " + code + " is burnt into a box; it is not given back"};
    if (*was == "free")
        return {};
    return db.exec("UPDATE code SET state = 'free', station = NULL, port = NULL, job_id = NULL, reserved_at = NULL,"
                   " ended_at = NULL WHERE code = $1 AND state IN ('failed', 'reserved')",
                   {code});
}

DbStatus list_codes(Connection& db, const std::string& series, const std::string& state, std::vector<CodeRow>* out)
{
    std::vector<Row> rows;
    DbStatus s = db.exec("SELECT s.name, c.code, c.state, c.station, c.port, c.job_id, c.reserved_at, c.ended_at"
                         " FROM code c JOIN code_series s ON s.id = c.series_id"
                         " WHERE ($1 = '' OR s.name = $1) AND ($2 = '' OR c.state = $2) ORDER BY s.name, c.seq",
                         {series, state}, &rows);
    for (const Row& r : rows)
        out->push_back({text_of(r[0]), text_of(r[1]), text_of(r[2]), text_of(r[3]), text_of(r[4]), text_of(r[5]),
                        text_of(r[6]), text_of(r[7])});
    return s;
}

DbStatus code_state(Connection& db, const std::string& code, std::string* state)
{
    std::vector<Row> rows;
    DbStatus s = db.exec("SELECT state FROM code WHERE code = $1", {code}, &rows);
    *state = rows.empty() ? "" : text_of(rows[0][0]);
    return s;
}

}  // namespace line
