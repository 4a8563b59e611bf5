#include "StampaCli.h"

#include "RunOptions.h"

#include <cstdio>

namespace stampa_cli {

void add_options(CLI::App* sub, StampaOptions& o, bool station)
{
    multiport::add_port_options(sub, o.ports);
    sub->add_option("--platform", o.platform, "Chip platform of the boxes")
        ->required()
        ->check(CLI::IsMember({"alder", "birch", "cedar", "dogwood"}, CLI::ignore_case));
    sub->add_option("--log", o.log, "Burn log (created with its first line when new; FILE.bak is kept)")->required();
    CLI::Option* code = station ? nullptr : sub->add_option("--code", o.code, "Burn this one code (one port only)");
    auto* start = sub->add_option("--start", o.start, "First code of a run of generated codes");
    auto* file = sub->add_option("--code-file", o.code_file,
                                 "Codes from a file, one per line (a first line holding \"BoxID\" is a heading); "
                                 "codes already in the log are skipped at the start");
    auto* series = sub->add_option("--series", o.series,
                                   "Draw the codes from this code series of the line database (corvane-cli line "
                                   "series add): each is reserved before its burn, line-wide");
    if (code)
        code->excludes(start, file, series);
    start->excludes(file, series);
    file->excludes(series);
    multiport::add_line_options(sub, o.line);
    if (station) {
        o.count = 0;
        sub->add_option("--journal", o.journal,
                        "Append every box's result to this file as one JSON line: port, box (its number on the "
                        "port), start, end (UTC), result (ok, failed or cancelled), outcome, code, error");
    } else {
        sub->add_option("--count", o.count, "With --start or --series: the number of codes to burn (over all ports)")
            ->capture_default_str()
            ->check(CLI::PositiveNumber)
            ->excludes(file);
    }
    sub->add_option("--step", o.step, "With --start: the step between codes")
        ->capture_default_str()
        ->check(CLI::Range(1, 4))
        ->needs(start);
    sub->add_option("--base", o.base, "With --start: dec or hex codes")
        ->capture_default_str()
        ->check(CLI::IsMember({"dec", "hex"}))
        ->needs(start);
    sub->add_option("--width", o.width,
                    "Characters burnt and width of generated codes (default: the length of --code or --start; a "
                    "code file's codes may not be longer)")
        ->check(CLI::Range(1, 255));
    sub->add_flag("--overwrite", o.overwrite, "Cedar: burn over a code the box already holds");
    sub->add_option("--reuse-failed", o.reuse,
                    "Burn CODE again although the log holds it as Failed (a box whose burn failed may hold it); "
                    "a code logged Success is never burnt twice");
    if (!station) {
        sub->add_option("--report", o.report,
                        "Write a JSON report: every box with its code, result and seconds (and its port when "
                        "several are given)");
        sub->add_option("--reset-timeout", o.reset_timeout_s, "Seconds to wait for each box's reset (0: for ever)")
            ->capture_default_str()
            ->check(CLI::NonNegativeNumber);
    }
    sub->add_option("--pause-scale", o.pause_scale,
                    "Scale of the fixed pauses: 1 on real boxes; lower only on the port of a running virtual STB "
                    "(stbsim), refused on any other")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 1.0));
    sub->add_option("--baud", o.baud, "Line rate")
        ->capture_default_str()
        ->check(CLI::IsMember(kv::supported_baud_rates()));
}

bool ports_of(const StampaOptions& o, std::vector<std::string>* ports)
{
    std::string err;
    if (multiport::collect_ports(o.ports, ports, &err))
        return true;
    std::fprintf(stderr, "error: %s\n", err.c_str());
    return false;
}

}  // namespace stampa_cli
