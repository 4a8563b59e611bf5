#include "StationJournal.h"

#include "FileOps.h"

#include <cstdio>

namespace station {

Journal::~Journal()
{
    kv::close_file(m_fd);
}

bool Journal::open(const std::string& path, std::string* error)
{
    m_fd = kv::open_append(path);
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
    return kv::append_data_synced(m_fd, text);
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
