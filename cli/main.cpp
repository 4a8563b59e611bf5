// corvane-cli: the tools' jobs without a window, for production lines and scripts.
#include "CliCommand.h"
#include "Console.h"

#include "ExitStatus.h"
#include "KvBasicLog.h"
#include "ProgramFolders.h"
#include "SerialMonitorService.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

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
    return dynamic_cast<const CLI::ValidationError*>(&e) && (what.find("File does not exist") != std::string::npos ||
                                                             what.find("is actually a directory") != std::string::npos);
}

// Edits (insertions, deletions, substitutions, swaps of neighbours) between
// two words, ignoring case.
size_t edit_distance(const std::string& a, const std::string& b)
{
    auto lower = [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); };
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i)
        d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j)
        d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t same = lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + same});
            if (i > 1 && j > 1 && lower(a[i - 1]) == lower(b[j - 2]) && lower(a[i - 2]) == lower(b[j - 1]))
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

// The command of `level` nearest to `word`, or "" when none is near: a few
// edits away, or begun by the word.
std::string nearest_command(const CLI::App& level, const std::string& word, std::string* all)
{
    std::string best;
    size_t best_score = std::max<size_t>(2, word.size() / 3) + 1;
    for (const CLI::App* sub : level.get_subcommands([](const CLI::App* s) { return !s->get_group().empty(); })) {
        const std::string& name = sub->get_name();
        *all += (all->empty() ? "" : ", ") + name;
        size_t score = edit_distance(word, name);
        if (word.size() >= 2 && name.compare(0, word.size(), word) == 0)
            score = std::min<size_t>(score, 1);
        if (score < best_score) {
            best_score = score;
            best = name;
        }
    }
    return best;
}

// A word where a command must stand that names none: CLI11 would only say
// that a command is required, or show the top help for `nosuch --help`.
// Walks the command words and the options before them as far as it can tell
// them apart; true (after the message) when such a word was found.
bool reports_unknown_command(const CLI::App& app, int argc, char** argv)
{
    const CLI::App* level = &app;
    std::string path = app.get_name().empty() ? "corvane-cli" : app.get_name();
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--")
            return false;
        if (word.size() > 1 && word[0] == '-') {
            const size_t eq = word.find('=');
            const CLI::Option* opt = level->get_option_no_throw(word.substr(0, eq));
            if (!opt || opt->get_items_expected_min() != opt->get_items_expected_max())
                return false;  // left to the parser
            if (eq == std::string::npos)
                i += opt->get_items_expected_min();
            continue;
        }
        if (level->get_require_subcommand_min() == 0)
            return false;
        const auto subs = level->get_subcommands([&](const CLI::App* s) { return s->check_name(word); });
        if (!subs.empty()) {
            level = subs.front();
            path += " " + word;
            continue;
        }
        std::string all;
        const std::string near = nearest_command(*level, word, &all);
        std::fprintf(stderr, "%s: unknown command \"%s\".", path.c_str(), word.c_str());
        if (!near.empty())
            std::fprintf(stderr, " Did you mean \"%s\"?\n", near.c_str());
        else
            std::fprintf(stderr, "\nCommands: %s.\n", all.c_str());
        std::fprintf(stderr, "Run %s --help for more information.\n", path.c_str());
        return true;
    }
    return false;
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
    std::vector<std::string> args = kv::utf8_command_line(argc, argv);
    std::vector<char*> utf8_argv;
    for (std::string& a : args)
        utf8_argv.push_back(a.data());
    utf8_argv.push_back(nullptr);
    if (reports_unknown_command(app, static_cast<int>(args.size()), utf8_argv.data()))
        return cli_exit::kUsage;
    try {
        app.parse(static_cast<int>(args.size()), utf8_argv.data());
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
