// corvane-cli stampa: a production run of the bar-code tool. For each box it
// asks for the reset, burns the code, logs it and goes on with the next code
// until the count or the code file ends, or Ctrl+C. One port is a run of one
// box of the runner stampa_cli::run_lines.
#include "CliCommand.h"
#include "ExitStatus.h"
#include "StampaCli.h"

#include <cstdio>

static CliCommandRegistrar reg_stampa([](CLI::App& app) {
    auto o = std::make_shared<stampa_cli::StampaOptions>();
    auto* sub = app.add_subcommand("stampa", "Burn bar codes (serial numbers) into boxes, one box after another");
    stampa_cli::add_options(sub, *o, false);
    sub->footer("Exit status 0 only when every box was burnt and logged. A code already in the log is refused "
                "before any box is touched, a code logged Failed as well (its box may hold it; --reuse-failed "
                "CODE burns it again). With several ports every port is a line of its own and the codes "
                "are shared: no code goes to two boxes.");
    sub->callback([o] {
        if (o->code.empty() && o->start.empty() && o->code_file.empty() && o->series.empty()) {
            std::fprintf(stderr, "error: give --code, --start, --code-file or --series\n");
            throw CLI::RuntimeError(cli_exit::kUsage);
        }
        std::vector<std::string> ports;
        if (!stampa_cli::ports_of(*o, &ports))
            throw CLI::RuntimeError(cli_exit::kUsage);
        o->port = ports[0];
        int rc = stampa_cli::run_lines(*o, ports, nullptr);
        if (rc)
            throw CLI::RuntimeError(rc);
    });
});
