// What the station commands share: the journal of every box (one JSON line
// each, appended whole and synced), the time stamps in it, and the running
// count of a port.
#pragma once

#include "LineTime.h"

#include <cstdint>
#include <chrono>
#include <mutex>
#include <string>

namespace station {

// A time in UTC, "2026-05-04T10:11:12.345Z"; and now.
using line::utc_now;
using line::utc_text;

// One JSON line per box, appended whole and synced, so that a crash or a
// power cut loses no recorded box. Without a path nothing is written.
class Journal {
public:
    Journal() = default;
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    bool open(const std::string& path, std::string* error);
    // False when the line did not go whole into the file.
    bool append(const std::string& line);

private:
    std::mutex m_mutex;
    intptr_t m_fd = -1;
};

// The running count of one port: boxes done, boxes failed, boxes an hour.
struct LineCount {
    int done = 0;
    int failed = 0;
    std::chrono::steady_clock::time_point since = std::chrono::steady_clock::now();

    double per_hour() const;
    std::string text() const;  // "done 3, failed 1, 41.2 boxes/h"
};

}  // namespace station
