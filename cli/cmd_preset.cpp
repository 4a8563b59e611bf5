// corvane-cli preset: a preset-data image from a channel-list workbook, the
// same generation and report line as the "PresetData" tab.
#include "CliCommand.h"
#include "ExitStatus.h"

#include "PresetRun.h"

#include <cstdio>
#include <new>
#include <string>

static int run_preset(const presetta::PresetRunRequest& request)
{
    const presetta::PresetRunOutcome o = presetta::RunPresetGeneration(request);
    for (const std::string& e : o.errors)
        std::fprintf(stderr, "%s\n", e.c_str());
    if (o.kind != JobErrorKind::None)
        return cli_exit::of(o.kind);
    std::printf("%s\n", o.report.c_str());
    for (const auto& n : o.notes)
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
            rc = run_preset({opts->input, opts->output, rows->count() == 0, opts->rows, opts->code_page});
        } catch (const std::bad_alloc&) {
            std::fprintf(stderr, "no memery!\n");
            rc = cli_exit::kFailed;
        }
        if (rc)
            throw CLI::RuntimeError(rc);
    });
});
