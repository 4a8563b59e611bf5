// The dashboard's JSON API: a request's parameters, the line database's
// figures for them, and the JSON the page reads. No sockets here.
#pragma once

#include "Database.h"

#include <map>
#include <string>

namespace dashboard {

using Params = std::multimap<std::string, std::string>;  // a request's query, decoded

struct Reply {
    int status = 200;
    std::string body;  // JSON
};

// What a request asks for: jobs started since `since` (UTC text), of one
// station ("" for all), at most `limit` of them.
struct Query {
    std::string since;
    std::string station;
    int limit = 50;
};

// `since` is a UTC time or a number of hours back ("8h"; 8 hours when
// absent), `limit` 1 to 1000 (50 when absent). "" when the parameters are
// good, else the message of a 400. `now` is seconds since the epoch.
std::string parse_query(const Params& p, double now, Query* q);

Reply summary(line::Connection& db, const Params& p, double now);
Reply jobs(line::Connection& db, const Params& p, double now);
Reply failures(line::Connection& db, const Params& p, double now);

// {"error": message}
std::string error_json(const std::string& message);

}  // namespace dashboard
