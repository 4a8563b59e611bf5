#include "LineUrl.h"

#include "KvBasicCfgIni.h"
#include "ProgramFolders.h"
#include "Text.h"

#include <cstdlib>

namespace line {

namespace {

bool starts_with(const std::string& s, const char* p) { return s.rfind(p, 0) == 0; }

bool is_postgres_url(const std::string& url)
{
    return starts_with(url, "postgresql://") || starts_with(url, "postgres://");
}

// "user:secret@host" in the authority part, or a password= parameter.
bool carries_password(const std::string& url)
{
    const size_t scheme = url.find("://");
    const size_t from = scheme == std::string::npos ? 0 : scheme + 3;
    const size_t end = url.find_first_of("/?", from);
    const std::string authority = url.substr(from, end == std::string::npos ? std::string::npos : end - from);
    const size_t at = authority.rfind('@');
    if (at != std::string::npos && authority.substr(0, at).find(':') != std::string::npos)
        return true;
    const size_t q = url.find('?');
    if (q == std::string::npos)
        return false;
    const std::string query = "&" + url.substr(q + 1);
    return query.find("&password=") != std::string::npos;
}

}  // namespace

bool is_sqlite_url(const std::string& url) { return starts_with(url, "sqlite:"); }

std::string sqlite_path(const std::string& url)
{
    std::string p = url.substr(7);
    if (starts_with(p, "//"))  // sqlite:///abs/path as well as sqlite:/abs/path
        p = p.substr(2);
    return p;
}

std::string check_database_url(const std::string& url)
{
    if (is_sqlite_url(url))
        return sqlite_path(url).empty() ? "the database URL " + url + " names no file" : "";
    if (is_postgres_url(url)) {
        if (carries_password(url))
            return "the database URL carries a password; put it in ~/.pgpass instead";
        return "";
    }
    return "the database URL " + url + " is neither sqlite:PATH nor postgresql://USER@HOST:PORT/DB";
}

DbChoice choose_database(const std::string& flag, bool no_db)
{
    DbChoice c;
    if (no_db) {
        c.off = true;
        return c;
    }
    c.url = kv::trimmed(flag);
    if (c.url.empty()) {
        const char* env = std::getenv("CORVANE_DB");
        c.url = env ? kv::trimmed(env) : "";
    }
    if (c.url.empty()) {
        CKvBasicCfgIni ini;
        ini.SetFileName(CKvBasicCfgIni::path_in_root("corvane.ini"));
        c.url = kv::trimmed(ini.GetValue("Line", "Database"));
    }
    if (c.url == "off") {  // a station that keeps no line record
        c.off = true;
        c.url.clear();
        return c;
    }
    if (c.url.empty())
        c.url = "sqlite:" + kv::data_directory() + "/corvane-line.db";
    c.error = check_database_url(c.url);
    return c;
}

}  // namespace line
