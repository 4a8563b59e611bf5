#include "UpgradeOptions.h"

#include "RunOptions.h"

namespace upgrade_cli {

namespace {

// "0 and 1 ..., 2 Dogwood-400, ...": the project types of the platform table.
std::string project_type_help()
{
    std::string h = "Project type:";
    for (int type : bootlink::all_project_types())
        h += std::string(type ? ", " : " ") + bootlink::list_text(bootlink::platform(type));
    return h;
}

}  // namespace

void add_common(CLI::App* sub, CommonOptions& o, bool one_run)
{
    add_common(sub, o, bootlink::all_project_types(),
               one_run ? "ok, error, failed_step, phases {name: seconds}, transfer {payload_bytes, wire_bytes, "
                         "seconds}; with several ports {ok, boxes: [{port, ok, error, failed_step, phases, "
                         "transfer, ...}]}"
                       : "",
               CLI::Range(0, bootlink::kProjectTypes - 1));
    sub->get_option("--project-type")
        ->description(project_type_help() +
                      ". Once for every port, or once per port in the order of the ports; a line of "
                      "--ports-from may name its port's type after the port");
}

void add_common(CLI::App* sub, CommonOptions& o, const std::vector<int>& types, const std::string& report,
                const CLI::Validator& type_check)
{
    multiport::add_port_options(sub, o.ports);
    multiport::add_line_options(sub, o.line);
    std::string help = "Project type:";
    for (int type : types)
        help += std::string(help.size() > 13 ? ", " : " ") + bootlink::list_text(bootlink::platform(type));
    sub->add_option("--project-type", o.project_types,
                    help + ". Once for every port, or once per port in the order of the ports")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->check(type_check);
    sub->add_option("--baud", o.baud, "Line rate outside boot-ROM work")
        ->capture_default_str()
        ->check(CLI::IsMember(kv::supported_baud_rates()));
    sub->add_option("--pause-scale", o.pause_scale,
                    "Scale of the fixed pauses of the exchanges: 1 on real hardware; lower only on the port of a "
                    "running virtual STB (stbsim), refused on any other")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 1.0));
    if (report.empty())
        return;
    sub->add_option("--report", o.report, "Write a JSON report: " + report);
    sub->add_option("--reset-timeout", o.reset_timeout_s,
                    "Seconds to wait for the STB's reset (its boot ROM's sync byte); 0 waits for ever")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
}

}  // namespace upgrade_cli
