// Times in the line database: UTC, ISO 8601 with milliseconds
// ("2026-12-09T18:44:21.123Z"), so that text order is time order.
#pragma once

#include <chrono>
#include <string>

namespace line {

std::string utc_text(std::chrono::system_clock::time_point t);
inline std::string utc_now() { return utc_text(std::chrono::system_clock::now()); }

}  // namespace line
