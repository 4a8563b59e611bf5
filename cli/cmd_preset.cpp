// corvane-cli preset: a preset-data image from a channel-list workbook, the
// same generation and report line as the "PresetData" tab.
#include "CliCommand.h"
#include "ExitStatus.h"

#include "PresetData.h"

#include <cstdio>
#include <new>
#include <string>

// Without a row count, every row of the list.
static int run_preset(const std::string& input, const std::string& output, bool all_rows, int rows,
                      const std::string& code_page)
{
    kv::CodePage cp = code_page.empty() ? kv::CodePage::from_settings() : kv::CodePage(code_page);
    if (!cp.valid()) {
        std::fprintf(stderr, "Error: unknown code page %s\n", code_page.c_str());
        return cli_exit::kUsage;
    }
    const presetta::InputCheck check = presetta::CheckInput(input);
    if (!check.ok) {
        std::fprintf(stderr, "%s\n", check.message.c_str());
        if (!check.detail.empty())
            std::fprintf(stderr, "%s\n", check.detail.c_str());
        return cli_exit::kInput;
    }
    if (all_rows)
        rows = check.max_rows;
    const presetta::CreateOutcome res = presetta::CreatePresetData(input, output, rows, check.max_rows, cp);
    if (!res.ok) {
        std::fprintf(stderr, "%s\n", res.message.c_str());
        return rows < presetta::kMinRows || rows > check.max_rows ? cli_exit::kUsage : cli_exit::kFailed;
    }
    std::printf("%s\n", res.message.c_str());
    for (const auto& n : res.notes)
        std::fprintf(stderr, "warning: %s\n", n.c_str());
    return 0;
}

static CliCommandRegistrar reg([](CLI::App& app) {
    auto* sub = app.add_subcommand("preset", "Generate a preset-data image (satellites, transponders, programs) "
                                             "from the sheet \"Sheet1\" of an .xls or .xlsx workbook");
    struct Opts {
        std::string input, output, code_page;
        int rows = 0;
    };
    auto opts = std::make_shared<Opts>();
    sub->add_option("INPUT", opts->input, "Channel-list workbook (.xls or .xlsx)")->required();
    sub->add_option("-o,--output", opts->output, "Preset-data image to write (.bin)")->required();
    auto* rows = sub->add_option("--rows", opts->rows,
                                 "Rows to convert, the two heading rows included (3 to the largest; default: all)");
    sub->add_option("--code-page", opts->code_page,
                    "Code page of the names (default: corvane.ini [STB] CodePage, else WINDOWS-1252; GBK for "
                    "Chinese-market boxes)");
    sub->callback([opts, rows] {
        int rc;
        try {
            rc = run_preset(opts->input, opts->output, rows->count() == 0, opts->rows, opts->code_page);
        } catch (const std::bad_alloc&) {
            std::fprintf(stderr, "no memery!\n");
            rc = cli_exit::kFailed;
        }
        if (rc)
            throw CLI::RuntimeError(rc);
    });
});
