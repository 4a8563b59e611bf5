// The JSON report members every step-run boot-ROM job shares (upgrade, dump,
// block): ok, error, failed_step, cancelled, warnings, phases and transfer,
// each on a line of its own that begins with the indent.
#pragma once

#include "BootLink.h"
#include "JsonText.h"
#include "StepRunner.h"

#include <cstdio>
#include <string>

namespace station {

// A number as the reports write it ("%g").
inline std::string report_number(double v)
{
    char num[64];
    std::snprintf(num, sizeof(num), "%g", v);
    return num;
}

// The shared members; `w` is what the job put on the line. The last member
// ends without a comma or line end.
template <class Result>
std::string step_members(const Result& r, const bootlink::WireStats& w, const std::string& indent)
{
    using kv_json::quoted;
    std::string s;
    s += indent + "\"ok\": " + (r.ok ? "true" : "false") + ",\n";
    s += indent + "\"error\": " + quoted(r.ok ? "" : r.error) + ",\n";
    s += indent + "\"failed_step\": " + quoted(r.failed_step()) + ",\n";
    s += indent + "\"cancelled\": " + (r.cancelled ? "true" : "false") + ",\n";
    s += indent + "\"warnings\": [";
    for (size_t i = 0; i < r.warnings.size(); ++i)
        s += (i ? ", " : "") + quoted(r.warnings[i]);
    s += "],\n" + indent + "\"phases\": {";
    for (size_t i = 0; i < r.phases.size(); ++i)
        s += (i ? ", " : "") + quoted(r.phases[i].first) + ": " + report_number(r.phases[i].second);
    s += "},\n" + indent + "\"transfer\": {\"payload_bytes\": " + std::to_string(w.payload_bytes) +
         ", \"wire_bytes\": " + std::to_string(w.wire_bytes()) + ", \"seconds\": " + report_number(w.seconds) +
         ", \"retries\": " + std::to_string(w.retries) + "}";
    return s;
}

}  // namespace station
