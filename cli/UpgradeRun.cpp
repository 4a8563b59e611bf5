#include "UpgradeRun.h"

#include "ExitStatus.h"
#include "JsonText.h"

#include "Gzip.h"


#include <algorithm>
#include <cstdio>

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

bool ports_of(const CommonOptions& o, std::vector<std::string>* ports, std::vector<int>* types,
              const std::vector<int>& allowed)
{
    std::string err;
    if (multiport::ports_with_types(o.ports, o.project_types, allowed, ports, types, &err))
        return true;
    std::fprintf(stderr, "error: %s\n", err.c_str());
    return false;
}

int64_t reset_wait_ms(const CommonOptions& o)
{
    // Any number of seconds is taken; beyond a few years it means "for ever".
    constexpr int64_t kForever = int64_t(100) * 365 * 24 * 3600;
    return std::min(o.reset_timeout_s, kForever) * 1000;
}

const bootlink::WireStats& wire_of(const reflasher::UpgJobResult& r, bool is_dump)
{
    return is_dump ? r.dump : r.transfer;
}

std::string result_members(const reflasher::UpgJobResult& r, bool is_dump, const std::string& indent)
{
    using kv_json::quoted;
    const bootlink::WireStats& w = wire_of(r, is_dump);
    std::string s;
    s += indent + "\"ok\": " + (r.ok ? "true" : "false") + ",\n";
    s += indent + "\"error\": " + quoted(r.ok ? "" : r.error) + ",\n";
    s += indent + "\"failed_step\": " + quoted(r.failed_step()) + ",\n";
    s += indent + "\"cancelled\": " + (r.cancelled ? "true" : "false") + ",\n";
    s += indent + "\"warnings\": [";
    for (size_t i = 0; i < r.warnings.size(); ++i)
        s += (i ? ", " : "") + quoted(r.warnings[i]);
    s += "],\n" + indent + "\"phases\": {";
    char num[64];
    for (size_t i = 0; i < r.phases.size(); ++i) {
        std::snprintf(num, sizeof(num), "%g", r.phases[i].second);
        s += (i ? ", " : "") + quoted(r.phases[i].first) + ": " + num;
    }
    std::snprintf(num, sizeof(num), "%g", w.seconds);
    s += "},\n" + indent + "\"transfer\": {\"payload_bytes\": " + std::to_string(w.payload_bytes) +
         ", \"wire_bytes\": " + std::to_string(w.wire_bytes()) + ", \"seconds\": " + num +
         ", \"retries\": " + std::to_string(w.retries) + "}";
    if (r.compressed_size)
        s += ",\n" + indent + "\"compressed_bytes\": " + std::to_string(r.compressed_size) + ",\n" + indent +
             "\"announced_size\": " + std::to_string(r.announced_size);
    return s;
}

bootlink::JobContext box_context(multiport::Box& box, double pause_scale)
{
    bootlink::JobContext ctx;
    ctx.observer = &box.view;
    ctx.cancel = &box.cancel;
    ctx.keep_going = &box.keep_going;
    ctx.svc = &box.svc;
    ctx.pause_scale = pause_scale;
    return ctx;
}

void write_report(const std::string& path, const std::string& body)
{
    if (path.empty())
        return;
    std::ofstream f(path);
    f << body;
    if (!f)
        std::fprintf(stderr, "cannot write the report %s\n", path.c_str());
}

std::string outcome_line(const reflasher::UpgJobResult& r)
{
    if (r.ok)
        return "OK";
    return std::string("FAILED at ") + r.failed_step() + ": " + r.error;
}

int upgrade_params(const std::string& image, int user_limit, reflasher::UpgJobParams* params)
{
    params->kind = reflasher::JobKind::Upgrade;
    params->user_limit_mode = user_limit;
    std::string err;
    if (!reflasher::load_padded_image(image, &params->image, &err)) {
        std::fprintf(stderr, "error: %s\n", err.c_str());
        return cli_exit::kInput;
    }
    std::printf("Image %s: %zu bytes after padding to 64 KiB\n", image.c_str(), params->image.size());
    return cli_exit::kOk;
}

bool compress_once(reflasher::UpgJobParams& params)
{
    if (params.kind != reflasher::JobKind::Upgrade)
        return true;
    auto gz = std::make_shared<std::vector<uint8_t>>();
    if (!bootlink::gzip_compress(params.image.data(), params.image.size(), gz.get()) || gz->empty()) {
        std::fprintf(stderr, "error: the image could not be compressed\n");
        return false;
    }
    std::printf("Compressed once for every box: %zu bytes\n", gz->size());
    params.compressed = std::move(gz);
    return true;
}

reflasher::UpgJobResult run_on_box(multiport::Box& box, reflasher::UpgJobParams params, const CommonOptions& o)
{
    bootlink::JobContext ctx = box_context(box, o.pause_scale);
    reflasher::UpgJob job(std::move(params), ctx, &box.thread);
    return job.Run();
}

}  // namespace upgrade_cli
