// corvane-cli station upgrade / station stampa: a production station that
// takes box after box on every port until Ctrl+C (UpgradeStation.h, and the
// stampa lines of StampaCli.h).
#include "CliCommand.h"
#include "ExitStatus.h"
#include "StampaCli.h"
#include "StationJournal.h"
#include "UpgradeOptions.h"
#include "UpgradeStation.h"

#include <cstdio>

static CliCommandRegistrar reg_station([](CLI::App& app) {
    auto* station = app.add_subcommand("station", "A production station: flash box after box on every port");
    station->require_subcommand(1);
    auto so = std::make_shared<upgrade_cli::StationSettings>();
    auto* sub = station->add_subcommand("upgrade", "Upgrade every box that is reset on any of the ports");
    upgrade_cli::add_common(sub, so->common, false);
    sub->add_option("--user-limit", so->user_limit, "User-limit mode sent to the upgrade client (1 or 2)")
        ->capture_default_str()
        ->check(CLI::IsMember({1, 2}));
    sub->add_option("--journal", so->journal,
                    "Append every box's result to this file as one JSON line: port, box (its number on the port), "
                    "start, end (UTC), result (ok, failed or cancelled), error, failed_step");
    sub->add_option("IMAGE", so->image, "Flash image (padded with zeros to a multiple of 64 KiB)")
        ->required()
        ->check(CLI::ExistingFile);
    sub->footer("Runs until Ctrl+C. Exit status 0 when no box failed.");
    sub->callback([so] {
        reflasher::UpgJobParams p;
        int rc = upgrade_cli::upgrade_params(so->image, so->user_limit, &p);
        if (rc == cli_exit::kOk)
            rc = upgrade_cli::run_station(*so, std::move(p));
        if (rc)
            throw CLI::RuntimeError(rc);
    });

    auto st = std::make_shared<stampa_cli::StampaOptions>();
    auto* burn = station->add_subcommand("stampa", "Burn bar codes into every box that is reset on any of the ports");
    stampa_cli::add_options(burn, *st, true);
    burn->footer("Runs until Ctrl+C or until the codes run out; no code goes to two boxes, and a box that fails "
                 "leaves its code to the next box on its port. Exit status 0 when no box failed.");
    burn->callback([st] {
        if (st->start.empty() && st->code_file.empty() && st->series.empty()) {
            std::fprintf(stderr, "error: give --start, --code-file or --series\n");
            throw CLI::RuntimeError(cli_exit::kUsage);
        }
        std::vector<std::string> ports;
        if (!stampa_cli::ports_of(*st, &ports))
            throw CLI::RuntimeError(cli_exit::kUsage);
        station::Journal journal;
        std::string err;
        if (!st->journal.empty() && !journal.open(st->journal, &err)) {
            std::fprintf(stderr, "error: %s\n", err.c_str());
            throw CLI::RuntimeError(cli_exit::kInput);
        }
        int rc = stampa_cli::run_lines(*st, ports, &journal);
        if (rc)
            throw CLI::RuntimeError(rc);
    });
});
