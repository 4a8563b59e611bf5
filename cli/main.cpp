// corvane-cli: the tools' jobs without a window, for production lines and scripts.
#include "CliCommand.h"

#include "ExitStatus.h"
#include "KvBasicLog.h"
#include "ProgramFolders.h"
#include "SerialMonitorService.h"

#include <cstdio>
#include <functional>
#include <string>

std::vector<CliSetup>& cli_registry()
{
    static std::vector<CliSetup> registry;
    return registry;
}

namespace {

// An input file that is not there is a bad input file, also when the option's
// own check finds it before the command runs.
bool names_missing_file(const CLI::ParseError& e)
{
    const std::string what = e.what();
    return dynamic_cast<const CLI::ValidationError*>(&e) &&
           (what.find("File does not exist") != std::string::npos ||
            what.find("is actually a directory") != std::string::npos);
}

}  // namespace

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
    // Every --help ends with the one table of exit statuses.
    app.footer(cli_exit::kHelpFooter);
    std::function<void(CLI::App*)> add_footer = [&](CLI::App* parent) {
        for (CLI::App* sub : parent->get_subcommands({})) {
            const std::string own = sub->get_footer();
            sub->footer(own.empty() ? cli_exit::kHelpFooter : own + "\n" + cli_exit::kHelpFooter);
            add_footer(sub);
        }
    };
    add_footer(&app);

    // An installed program keeps its settings and STB-side files in a
    // per-user data folder, made on first use.
    std::string dataError;
    if (!kv::prepare_data_directory(&dataError))
        std::fprintf(stderr, "corvane-cli: %s\n", dataError.c_str());

    int rc = cli_exit::kOk;
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        rc = app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        rc = app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        rc = app.exit(e);
    } catch (const CLI::RuntimeError& e) {
        rc = e.get_exit_code();  // a command's own result
    } catch (const CLI::ParseError& e) {
        app.exit(e);  // prints the message
        rc = names_missing_file(e) ? cli_exit::kInput : cli_exit::kUsage;
    }
    service.SMS_Deinit();
    kv::set_current_serial_service(nullptr);
    return rc;
}
