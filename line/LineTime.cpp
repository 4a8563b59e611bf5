#include "LineTime.h"

#include <cstdio>
#include <ctime>

namespace line {

std::string utc_text(std::chrono::system_clock::time_point t)
{
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(t.time_since_epoch()).count();
    const std::time_t secs = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms % 1000));
    return buf;
}

}  // namespace line

namespace line {

bool parse_utc(const std::string& text, double* seconds)
{
    std::tm tm{};
    int ms = 0;
    char sep = 'T';
    const int n = std::sscanf(text.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d.%3d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &sep,
                              &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &ms);
    if (n != 3 && n < 6)
        return false;
    if (n > 3 && sep != 'T' && sep != ' ')
        return false;
    if (tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 ||
        tm.tm_sec > 60)
        return false;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    *seconds = static_cast<double>(timegm(&tm)) + ms / 1000.0;
    return true;
}

}  // namespace line
