#include "StationJournal.h"

#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace station {

std::string utc_now() { return utc_text(std::chrono::system_clock::now()); }

std::string utc_text(std::chrono::system_clock::time_point now)
{
    using namespace std::chrono;
    std::time_t t = system_clock::to_time_t(now);
    int ms = static_cast<int>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char b[96];
    std::snprintf(b, sizeof(b), "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
    return b;
}

Journal::~Journal()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool Journal::open(const std::string& path, std::string* error)
{
    m_fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (m_fd < 0)
        *error = "cannot open the journal " + path;
    return m_fd >= 0;
}

bool Journal::append(const std::string& line)
{
    std::lock_guard<std::mutex> l(m_mutex);
    if (m_fd < 0)
        return true;
    const std::string text = line + "\n";
    // One write: an appended line is never interleaved with another.
    ssize_t n = ::write(m_fd, text.data(), text.size());
    ::fdatasync(m_fd);
    return n == static_cast<ssize_t>(text.size());
}

double LineCount::per_hour() const
{
    double h = std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count() / 3600.0;
    return h > 0 ? (done + failed) / h : 0.0;
}

std::string LineCount::text() const
{
    char b[96];
    std::snprintf(b, sizeof(b), "done %d, failed %d, %.1f boxes/h", done, failed, per_hour());
    return b;
}

}  // namespace station
