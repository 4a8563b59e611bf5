#include "JobRecords.h"

#include "LineTime.h"

#include <cstdio>
#include <fstream>
#include <random>

namespace line {

namespace {

Value opt(const std::string& s) { return s.empty() ? Value() : Value(s); }
Value opt_num(long long n) { return n < 0 ? Value() : Value(std::to_string(n)); }

Value opt_seconds(double s)
{
    if (s < 0)
        return Value();
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", s);
    return Value(buf);
}


}  // namespace

std::string digest_hex(const unsigned char* p, size_t n)
{
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

std::string new_job_id()
{
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    unsigned char b[16];
    for (int i = 0; i < 16; i += 8) {
        const uint64_t v = rng();
        for (int k = 0; k < 8; ++k)
            b[i + k] = static_cast<unsigned char>(v >> (8 * k));
    }
    return digest_hex(b, sizeof b);
}

DbStatus ensure_station(Connection& db, const std::string& station)
{
    const std::string now = utc_now();
    return db.exec("INSERT INTO station (name, first_seen, last_seen) VALUES ($1, $2, $2) "
                   "ON CONFLICT (name) DO UPDATE SET last_seen = excluded.last_seen",
                   {station, now});
}

DbStatus record_job_start(Connection& db, const JobStart& j)
{
    DbStatus s = ensure_station(db, j.station);
    if (!s.ok())
        return s;
    return db.exec("INSERT INTO job (id, station, port, tool, kind, project_type, image_name, image_size,"
                   " image_sha256, started_at, outcome, code) "
                   "VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, 'running', $11) ON CONFLICT (id) DO NOTHING",
                   {j.id, j.station, j.port, j.tool, j.kind, opt_num(j.project_type), opt(j.image_name),
                    opt_num(j.image_size), opt(j.image_sha256), j.started_at.empty() ? utc_now() : j.started_at,
                    opt(j.code)});
}

DbStatus record_job_end(Connection& db, const std::string& id, const JobEnd& e)
{
    return db.exec("UPDATE job SET outcome = $2, failed_step = $3, error = $4, ended_at = $5,"
                   " code = COALESCE($6, code), bytes = $7, seconds = $8, report = $9 WHERE id = $1",
                   {id, e.outcome, opt(e.failed_step), opt(e.error), e.ended_at.empty() ? utc_now() : e.ended_at,
                    opt(e.code), opt_num(e.bytes), opt_seconds(e.seconds), opt(e.report)});
}

JobStart job_on(const std::string& tool, const std::string& kind, const std::string& image)
{
    JobStart j;
    j.tool = tool;
    j.kind = kind;
    if (image.empty())
        return j;
    const size_t slash = image.find_last_of("/\\");
    j.image_name = slash == std::string::npos ? image : image.substr(slash + 1);
    if (!file_digest(image, &j.image_sha256, &j.image_size)) {
        j.image_sha256.clear();
        j.image_size = -1;
    }
    return j;
}

}  // namespace line
