// corvane-cli: the tools' jobs without a window, for production lines and scripts.
#include "CliCommand.h"

#include "KvBasicLog.h"
#include "SerialMonitorService.h"

#include <cstdio>

std::vector<CliSetup>& cli_registry()
{
    static std::vector<CliSetup> registry;
    return registry;
}

int main(int argc, char** argv)
{
    CLI::App app{"corvane-cli: Corvane's set-top-box tools on the command line"};
    app.require_subcommand(1);
    app.set_version_flag("--version", "corvane-cli 1.0");

    // One serial service per process, as in the host; commands that need a
    // port open it themselves.
    CSerialMonitorSerivce service;
    kv::set_current_serial_service(&service);

    for (auto& setup : cli_registry())
        setup(app);

    int rc = 0;
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        rc = app.exit(e);
    }
    service.SMS_Deinit();
    kv::set_current_serial_service(nullptr);
    return rc;
}
