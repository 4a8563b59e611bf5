// Code series of the line database counted as the bar-code page counts its
// generated codes, so a series and a page given the same start agree code
// for code.
#pragma once

#include "CodeSeries.h"

#include <string>

namespace stampa {

// The code after `code` under a series' rule (stampa::next_code).
bool series_next_code(const std::string& code, const line::SeriesRule& rule, std::string* next, std::string* why);

// A generated series checked as the page checks its start code: step 1 to 4,
// the start a number in its base that fits the width. "" when it is fine.
std::string check_series(line::SeriesSpec& spec);

}  // namespace stampa
