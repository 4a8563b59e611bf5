// Times in the line database: UTC, ISO 8601 with milliseconds
// ("2026-12-09T18:44:21.123Z"), so that text order is time order.
#pragma once

#include <chrono>
#include <string>

namespace line {

std::string utc_text(std::chrono::system_clock::time_point t);
inline std::string utc_now() { return utc_text(std::chrono::system_clock::now()); }

}  // namespace line

namespace line {

// Seconds since the epoch of a time written by utc_text() (or "YYYY-MM-DD",
// "YYYY-MM-DDTHH:MM[:SS]" with an optional Z); false when it is not one.
bool parse_utc(const std::string& text, double* seconds);

}  // namespace line
