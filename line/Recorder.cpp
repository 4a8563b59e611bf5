#include "Recorder.h"

#include "FileOps.h"
#include "KvBasicLog.h"
#include "LineTime.h"
#include "Schema.h"

#include <cstdio>
#include <fstream>
#include <vector>

namespace line {

// One record as the spool keeps it: a kind and its fields, one line, tabs
// between fields, with \\ \t \n \r escaped.
struct Recorder::Op {
    std::string kind;  // "start", "end", "code"
    std::vector<std::string> f;
};

namespace {

std::string escape(const std::string& s)
{
    std::string o;
    for (char c : s) {
        switch (c) {
        case '\\': o += "\\\\"; break;
        case '\t': o += "\\t"; break;
        case '\n': o += "\\n"; break;
        case '\r': o += "\\r"; break;
        default: o += c;
        }
    }
    return o;
}

std::vector<std::string> split_line(const std::string& line)
{
    std::vector<std::string> out(1);
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == '\t') {
            out.emplace_back();
        } else if (c == '\\' && i + 1 < line.size()) {
            const char n = line[++i];
            out.back() += n == 't' ? '\t' : n == 'n' ? '\n' : n == 'r' ? '\r' : n;
        } else {
            out.back() += c;
        }
    }
    return out;
}

long long num(const std::string& s) { return s.empty() ? -1 : std::atoll(s.c_str()); }

// Each process takes a spool of its own, so that two stations on one PC never
// replay or rewrite each other's: the first of PATH, PATH.2, PATH.3 ... whose
// lock it holds. The lock's descriptor stays open while the recorder lives.
intptr_t lock_spool(const std::string& base, std::string* path)
{
    for (int n = 1; n <= 64; ++n) {
        const std::string p = n == 1 ? base : base + "." + std::to_string(n);
        const intptr_t lock = kv::try_lock_file(p + ".lock");
        if (lock >= 0) {
            *path = p;
            return lock;
        }
    }
    *path = base;  // no lock to be had: the spool still works, unshared or not
    return -1;
}

}  // namespace

Recorder::Recorder(std::unique_ptr<Connection> db, std::string spool_path)
    : db_(std::move(db)), spool_path_(std::move(spool_path))
{}

Recorder::~Recorder()
{
    kv::unlock_file(spool_lock_);
}

std::unique_ptr<Recorder> Recorder::open(const std::string& url, const std::string& spool_path, std::string* error)
{
    std::unique_ptr<Connection> db = open_database(url, error);
    if (!db)
        return nullptr;
    const DbStatus s = migrate(*db);
    if (!s.ok()) {
        if (error)
            *error = s.message;
        return nullptr;
    }
    std::string own;
    const intptr_t lock_fd = lock_spool(spool_path, &own);
    std::unique_ptr<Recorder> r(new Recorder(std::move(db), own));
    r->spool_lock_ = lock_fd;
    std::lock_guard<std::mutex> lock(r->mu_);
    r->flush_spool();
    return r;
}

bool Recorder::apply(const Op& op)
{
    DbStatus s;
    const auto& f = op.f;
    if (op.kind == "start" && f.size() >= 11) {
        JobStart j{f[0], f[1], f[2], f[3], f[4], static_cast<int>(num(f[5])), f[6], num(f[7]), f[8], f[9], f[10]};
        s = record_job_start(*db_, j);
    } else if (op.kind == "end" && f.size() >= 10) {
        JobEnd e{f[1], f[2], f[3], f[4], f[5], num(f[6]), f[7].empty() ? -1 : std::atof(f[7].c_str()), f[8]};
        s = record_job_end(*db_, f[0], e);
    } else if (op.kind == "code" && f.size() >= 2) {
        s = f[1] == "free" ? give_back_code(*db_, f[0]) : end_code(*db_, f[0], f[1] == "burnt");
    } else {
        WriteLog(64, "line: a spooled record of kind '%s' is not understood; it is left out\n", op.kind.c_str());
        return true;
    }
    if (s.code == DbCode::Unavailable)
        return false;
    if (!s.ok())  // refused for good (a schema rule): kept in the log, not retried for ever
        WriteLog(64, "line: the line database refused a record: %s\n", s.message.c_str());
    return true;
}

bool Recorder::flush_spool()
{
    std::ifstream in(kv::file_path(spool_path_), std::ios::binary);
    if (!in) {
        spooled_ = 0;
        return true;
    }
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);)
        if (!l.empty())
            lines.push_back(l);
    in.close();
    size_t done = 0;
    for (; done < lines.size(); ++done) {
        std::vector<std::string> parts = split_line(lines[done]);
        Op op{parts[0], std::vector<std::string>(parts.begin() + 1, parts.end())};
        if (!apply(op))
            break;
    }
    if (done == lines.size()) {
        // Written, every one: the spool goes. A crash before this line sends
        // them again, which the records' own keys make harmless.
        std::remove(spool_path_.c_str());
        spooled_ = 0;
        return true;
    }
    std::string rest;
    for (size_t i = done; i < lines.size(); ++i)
        rest += lines[i] + "\n";
    const std::string tmp = spool_path_ + ".tmp";
    if (FILE* out = kv::open_file(tmp, "wb")) {
        std::fwrite(rest.data(), 1, rest.size(), out);
        kv::sync_file(out);
        std::fclose(out);
        kv::replace_file(tmp, spool_path_);
    }
    spooled_ = lines.size() - done;
    return false;
}

void Recorder::submit(const Op& op)
{
    if (flush_spool() && apply(op))
        return;
    std::string line = escape(op.kind);
    for (const std::string& f : op.f)
        line += "\t" + escape(f);
    line += "\n";
    if (!kv::append_to_file(spool_path_, line, true))
        WriteLog(64,
                 "line: the line database is unavailable and the spool %s cannot be written; the record is lost: %s",
                 spool_path_.c_str(), line.c_str());
    else
        ++spooled_;
}

void Recorder::job_started(JobStart& j)
{
    if (j.id.empty())
        j.id = new_job_id();
    if (j.started_at.empty())
        j.started_at = utc_now();
    std::lock_guard<std::mutex> lock(mu_);
    submit(
        {"start",
         {j.id, j.station, j.port, j.tool, j.kind, j.project_type < 0 ? "" : std::to_string(j.project_type),
          j.image_name, j.image_size < 0 ? "" : std::to_string(j.image_size), j.image_sha256, j.started_at, j.code}});
}

void Recorder::job_ended(const std::string& id, const JobEnd& e)
{
    char secs[32] = "";
    if (e.seconds >= 0)
        std::snprintf(secs, sizeof secs, "%.3f", e.seconds);
    std::lock_guard<std::mutex> lock(mu_);
    submit({"end",
            {id, e.outcome, e.failed_step, e.error, e.ended_at.empty() ? utc_now() : e.ended_at, e.code,
             e.bytes < 0 ? "" : std::to_string(e.bytes), secs, e.report, ""}});
}

// While records wait in the spool the database is taken as away: no code is
// handed out that it could not record.
Reservation Recorder::spooling() const
{
    Reservation r;
    r.status = {DbCode::Unavailable,
                "the line database " + db_->where() + " is unavailable: no code is reserved until it is back"};
    return r;
}

Reservation Recorder::reserve(const std::string& series, const std::string& station, const std::string& port,
                              const std::string& job_id, const NextCode& next)
{
    std::lock_guard<std::mutex> lock(mu_);
    if (!flush_spool())
        return spooling();
    Reservation r = reserve_code(*db_, series, station, port, job_id, next);
    if (r.status.code == DbCode::Unavailable)
        r.status.message += " (no code is reserved until it is back)";
    return r;
}

Reservation Recorder::claim(const std::string& code, const std::string& station, const std::string& port,
                            const std::string& job_id)
{
    std::lock_guard<std::mutex> lock(mu_);
    if (!flush_spool())
        return spooling();
    return claim_code(*db_, code, station, port, job_id);
}

std::string Recorder::check_series(const std::string& series)
{
    std::lock_guard<std::mutex> lock(mu_);
    bool found = false;
    const DbStatus s = series_exists(*db_, series, &found);
    if (!s.ok())
        return s.message;
    return found ? std::string() : "the line has no code series named " + series;
}

void Recorder::code_ended(const std::string& code, bool burnt)
{
    std::lock_guard<std::mutex> lock(mu_);
    submit({"code", {code, burnt ? "burnt" : "failed"}});
}

void Recorder::give_back(const std::string& code)
{
    std::lock_guard<std::mutex> lock(mu_);
    submit({"code", {code, "free"}});
}

std::string Recorder::code_state(const std::string& code)
{
    std::lock_guard<std::mutex> lock(mu_);
    std::string state;
    line::code_state(*db_, code, &state);
    return state;
}

size_t Recorder::spooled() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return spooled_;
}

std::string Recorder::where() const { return db_->where(); }

}  // namespace line
