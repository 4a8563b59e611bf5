#include "UpgradeRun.h"
#include "FileOps.h"

#include "ExitStatus.h"
#include "StepReport.h"

#include "Gzip.h"

#include <algorithm>
#include <cstdio>

namespace upgrade_cli {

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
    std::string s = station::step_members(r, wire_of(r, is_dump), indent);
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
    std::ofstream f(kv::file_path(path));
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
