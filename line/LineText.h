// The line database's records as the command line and the dashboard give
// them: JSON, CSV (RFC 4180) and plain text tables.
#pragma once

#include "CodeSeries.h"
#include "LineReport.h"

#include <string>
#include <vector>

namespace line {

enum class TextForm { Table, Json, Csv };

std::string jobs_text(const std::vector<JobRow>& jobs, TextForm form);
std::string figures_text(const LineFigures& f, TextForm form);
std::string codes_text(const std::vector<CodeRow>& codes, TextForm form);

std::string json_string(const std::string& s);

}  // namespace line
