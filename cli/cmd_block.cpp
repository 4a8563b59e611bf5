// corvane-cli block / slave-info: the "UPGBLOCK" tool's job without a window.
#include "CliCommand.h"
#include "ExitStatus.h"
#include "MultiPort.h"
#include "StepReport.h"
#include "UpgradeOptions.h"

#include "BlockKinds.h"
#include "BlockText.h"
#include "BlockUpgJob.h"
#include "BootLink.h"

#include <cstdio>
#include <memory>
#include <unistd.h>

namespace {

struct BlockCliOptions {
    upgrade_cli::CommonOptions common;
    // block
    std::string block;
    std::string file;
    std::string flash;
    bool no_size_check = false;
    // slave-info
    bool json = false;
};

void add_common(CLI::App* sub, BlockCliOptions& o)
{
    upgrade_cli::add_common(sub, o.common, sectorsmith::project_types(),
                            "ok, error, failed_step, phases {name: seconds}, transfer {payload_bytes, wire_bytes, "
                            "seconds}, blocks (what the box listed)",
                            CLI::IsMember(sectorsmith::project_types()));
}

// One box's report members, each line beginning with `indent`.
std::string result_members(const sectorsmith::BlockJobResult& r, const std::string& indent)
{
    std::string s = station::step_members(r, r.transfer, indent) + ",\n" + indent +
                    "\"announced_size\": " + std::to_string(r.announced_size) + ",\n" + indent +
                    "\"sent_size\": " + std::to_string(r.sent_size);
    if (r.have_slave)
        s += ",\n" + indent + "\"blocks\": " + sectorsmith::blocks_json(r.slave, indent);
    return s;
}

// The block job on every port; the results in `*results`. `one_port`: the
// command takes one box only.
int run_block_ports(const BlockCliOptions& bo, const sectorsmith::BlockJobParams& params, bool say_ok,
                    std::vector<sectorsmith::BlockJobResult>* results, const line::JobStart& label,
                    bool one_port = false)
{
    const upgrade_cli::CommonOptions& o = bo.common;
    std::vector<std::string> ports;
    std::vector<int> types;
    if (!upgrade_cli::ports_of(o, &ports, &types, sectorsmith::project_types()))
        return cli_exit::kUsage;
    if (one_port && ports.size() > 1) {
        std::fprintf(stderr, "error: slave-info lists the blocks of one box: give one port\n");
        return cli_exit::kUsage;
    }
    if (!multiport::BoxRun::pauses_allowed(ports, o.pause_scale))
        return cli_exit::kUsage;
    upgrade_cli::BootJob<sectorsmith::BlockJobResult> job;
    job.say_ok = say_ok;
    job.label = label;
    job.types = types;
    job.run = [&](multiport::Box& box) {
        bootlink::JobContext ctx = upgrade_cli::box_context(box, o.pause_scale);
        sectorsmith::BlockJobParams p = params;
        p.project_type = types[box.index];
        p.reset_wait_ms = upgrade_cli::reset_wait_ms(o);
        sectorsmith::BlockUpgJob run(std::move(p), ctx, &box.thread);
        return run.Run();
    };
    job.members = [](const sectorsmith::BlockJobResult& r, size_t, const std::string& indent) {
        return result_members(r, indent);
    };
    job.port_failed = [](sectorsmith::BlockJobResult& r, const std::string& why) {
        r.failed = sectorsmith::Step::Check;
        r.outcome = bootlink::Outcome::PortLost;
        r.error = why;
    };
    return upgrade_cli::run_boot_job(o, ports, job, results);
}

bool read_input(const std::string& path, std::vector<uint8_t>* out)
{
    if (!bootlink::read_file(path, out)) {
        std::fprintf(stderr, "error: cannot read %s\n", path.c_str());
        return false;
    }
    if (out->empty()) {
        std::fprintf(stderr, "error: %s is empty\n", path.c_str());
        return false;
    }
    return true;
}

}  // namespace

static CliCommandRegistrar reg_block([](CLI::App& app) {
    auto o = std::make_shared<BlockCliOptions>();
    auto* sub = app.add_subcommand("block", "Replace one block of an STB's flash, or the whole flash (UPGBLOCK)");
    add_common(sub, *o);
    auto* block = sub->add_option("--block", o->block,
                                  "The block: application, back-logo, dbase, key, radio-logo, ssdata, ir, start-logo, "
                                  "or an ID such as 0x88");
    auto* file = sub->add_option("FILE", o->file, "The block's new contents")->check(CLI::ExistingFile);
    auto* flash = sub->add_option("--flash", o->flash, "Rewrite the whole flash from this image (sent compressed)")
                      ->check(CLI::ExistingFile);
    sub->add_flag("--no-size-check", o->no_size_check,
                  "Do not refuse a file larger than the block's size in the box's slave info (for a client that "
                  "fills entry bytes 8-11 with something else)");
    flash->excludes(block)->excludes(file);
    block->needs(file);
    file->needs(block);
    sub->footer("The box's upgrade client lists the blocks its flash holds; a block it does not list is refused\n"
                "before anything is written. Exit status 0 only when the box confirmed the burn; with several\n"
                "ports (each box on its own thread, its lines beginning with [PORT]), only when every box did.");
    sub->callback([o] {
        if (o->flash.empty() && o->block.empty())
            throw CLI::ValidationError("block", "give --block NAME FILE or --flash IMAGE");
        sectorsmith::BlockJobParams p;
        p.check_block_size = !o->no_size_check;
        std::string err;
        if (!o->flash.empty()) {
            p.block_id = sectorsmith::kWholeFlashId;
        } else if (!sectorsmith::parse_block(o->block, &p.block_id, &err)) {
            std::fprintf(stderr, "error: %s\n", err.c_str());
            throw CLI::RuntimeError(cli_exit::kUsage);
        }
        const std::string& path = o->flash.empty() ? o->file : o->flash;
        if (!read_input(path, &p.image))
            throw CLI::RuntimeError(cli_exit::kInput);
        std::printf("%s: %zu bytes for %s\n", path.c_str(), p.image.size(),
                    o->flash.empty() ? ("block " + sectorsmith::hex_id(p.block_id)).c_str() : "the whole flash");
        std::vector<sectorsmith::BlockJobResult> results;
        const line::JobStart label = multiport::job_label("upgblock", o->flash.empty() ? "block" : "flash", path);
        int rc = run_block_ports(*o, p, true, &results, label);
        if (rc)
            throw CLI::RuntimeError(rc);
    });
});

static CliCommandRegistrar reg_slave_info([](CLI::App& app) {
    auto o = std::make_shared<BlockCliOptions>();
    auto* sub =
        app.add_subcommand("slave-info", "List the blocks an STB's flash holds (its upgrade client's slave info)");
    add_common(sub, *o);
    sub->add_flag("--json", o->json, "Print the list as JSON");
    sub->callback([o] {
        sectorsmith::BlockJobParams p;
        p.slave_info_only = true;
        std::vector<sectorsmith::BlockJobResult> results;
        // With --json the list alone goes to standard output, the log to standard error.
        std::fflush(stdout);
        const int saved = o->json ? ::dup(STDOUT_FILENO) : -1;
        if (saved >= 0)
            ::dup2(STDERR_FILENO, STDOUT_FILENO);
        int rc = run_block_ports(*o, p, false, &results, multiport::job_label("upgblock", "slave-info"), true);
        std::fflush(stdout);
        const sectorsmith::BlockJobResult r = results.empty() ? sectorsmith::BlockJobResult{} : results[0];
        if (saved >= 0) {
            // Standard output stays on standard error: console text the
            // box sends late must not land in the list.
            if (r.have_slave) {
                const std::string list = sectorsmith::blocks_json(r.slave, "") + "\n";
                for (size_t done = 0; done < list.size();) {
                    const ssize_t n = ::write(saved, list.data() + done, list.size() - done);
                    if (n <= 0)
                        break;
                    done += size_t(n);
                }
            }
            ::close(saved);
        } else if (r.have_slave) {
            std::fputs(sectorsmith::blocks_table(r.slave).c_str(), stdout);
        }
        if (rc)
            throw CLI::RuntimeError(rc);
    });
});
