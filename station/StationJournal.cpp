#include "StationJournal.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace station {

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
