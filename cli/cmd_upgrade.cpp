// corvane-cli upgrade / dump: the "UPG" tool's jobs without a window.
#include "CliCommand.h"
#include "ExitStatus.h"
#include "MultiPort.h"
#include "UpgradeOptions.h"

#include "UpgJob.h"

#include <cstdio>

namespace {

using upgrade_cli::CommonOptions;

// The UPG job on every port, each box on its own service and thread; a dump
// writes a file per box when there are several.
int run_ports(CommonOptions o, reflasher::UpgJobParams params, const line::JobStart& label)
{
    std::vector<std::string> ports;
    std::vector<int> types;
    if (!upgrade_cli::ports_of(o, &ports, &types))
        return cli_exit::kUsage;
    if (!multiport::BoxRun::pauses_allowed(ports, o.pause_scale))
        return cli_exit::kUsage;
    const bool is_dump = params.kind == reflasher::JobKind::Dump;
    if (ports.size() > 1 && !upgrade_cli::compress_once(params))
        return cli_exit::kInput;
    std::vector<std::string> outputs;
    for (const std::string& p : ports)
        outputs.push_back(ports.size() > 1 && is_dump ? multiport::path_for_port(params.dump_path, p)
                                                      : params.dump_path);
    upgrade_cli::BootJob<reflasher::UpgJobResult> job;
    job.label = label;
    job.types = types;
    job.run = [&](multiport::Box& box) {
        reflasher::UpgJobParams p = params;
        p.dump_path = outputs[box.index];
        p.project_type = types[box.index];
        p.reset_wait_ms = upgrade_cli::reset_wait_ms(o);
        return upgrade_cli::run_on_box(box, std::move(p), o);
    };
    job.members = [&](const reflasher::UpgJobResult& r, size_t i, const std::string& indent) {
        // "transfer" covers the data frames of an upgrade or the chunks of a dump.
        const std::string out =
            ports.size() > 1 && is_dump ? indent + "\"output\": " + kv_json::quoted(outputs[i]) + ",\n" : std::string();
        return out + upgrade_cli::result_members(r, is_dump, indent);
    };
    job.port_failed = [](reflasher::UpgJobResult& r, const std::string& why) {
        r.failed = reflasher::Step::Check;
        r.outcome = bootlink::Outcome::PortLost;
        r.error = why;
    };
    std::vector<reflasher::UpgJobResult> results;
    return upgrade_cli::run_boot_job(o, ports, job, &results);
}

constexpr const char* kSeveralPorts =
    "Several ports: the boxes run at once, each on its own thread; a terminal shows a progress line per box, "
    "other output is one line per event beginning with [PORT]. Ports may be serial devices or "
    "rfc2217://HOST:PORT and socket://HOST:PORT.";

struct UpgradeOptions {
    CommonOptions common;
    int user_limit = 1;
    std::string image;
};

struct DumpOptions {
    CommonOptions common;
    std::string size = "512K";
    std::string output;
};

}  // namespace

static CliCommandRegistrar reg_upgrade([](CLI::App& app) {
    auto opts = std::make_shared<UpgradeOptions>();
    auto* sub = app.add_subcommand("upgrade", "Upgrade the whole flash of an STB from an image file");
    upgrade_cli::add_common(sub, opts->common);
    sub->add_option("--user-limit", opts->user_limit, "User-limit mode sent to the upgrade client (1 or 2)")
        ->capture_default_str()
        ->check(CLI::IsMember({1, 2}));
    sub->add_option("IMAGE", opts->image, "Flash image (padded with zeros to a multiple of 64 KiB)")
        ->required()
        ->check(CLI::ExistingFile);
    sub->footer("Exit status 0 only when the STB confirmed the burn; with several ports, only when every box did.\n" +
                std::string(kSeveralPorts));
    sub->callback([opts] {
        reflasher::UpgJobParams p;
        int rc = upgrade_cli::upgrade_params(opts->image, opts->user_limit, &p);
        if (rc == cli_exit::kOk)
            rc = run_ports(opts->common, std::move(p), multiport::job_label("upg", "upgrade", opts->image));
        if (rc)
            throw CLI::RuntimeError(rc);
    });
});

static CliCommandRegistrar reg_dump([](CLI::App& app) {
    auto opts = std::make_shared<DumpOptions>();
    auto* sub = app.add_subcommand("dump", "Dump the flash of an STB into a file");
    upgrade_cli::add_common(sub, opts->common);
    sub->add_option("--size", opts->size, "Dump size: 512K, 1M, 2M, 4M or 8M")
        ->capture_default_str()
        ->check(CLI::IsMember({"512K", "1M", "2M", "4M", "8M"}));
    sub->add_option("OUTPUT", opts->output,
                    "The dump file (written only when the dump is complete). With several ports each box has its "
                    "own: {port} in the name is replaced by the port's name, or -PORT goes before the extension")
        ->required();
    sub->footer("Project type 0 dumps through \"shell.img\"; the others through the upgrade client. The output file\n"
                "is replaced only by a complete dump whose every chunk passed its CRC.\n" +
                std::string(kSeveralPorts));
    sub->callback([opts] {
        reflasher::UpgJobParams p;
        p.kind = reflasher::JobKind::Dump;
        p.dump_size = reflasher::kDumpSizes[reflasher::dump_size_index(opts->size)];
        p.dump_path = opts->output;
        int rc = run_ports(opts->common, std::move(p), multiport::job_label("upg", "dump"));
        if (rc)
            throw CLI::RuntimeError(rc);
    });
});
