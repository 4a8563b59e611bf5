// corvane-cli preset: a preset-data image from a channel-list workbook, the
// same generation and report line as the "PresetData" tab.
#include "CliCommand.h"

#include "PresetData.h"

#include <cstdio>
#include <string>

// Without a row count, every row of the list.
static int run_preset(const std::string& input, const std::string& output, bool all_rows, int rows)
{
    const presetta::InputCheck check = presetta::CheckInput(input);
    if (!check.ok) {
        std::fprintf(stderr, "%s\n", check.message.c_str());
        if (!check.detail.empty())
            std::fprintf(stderr, "%s\n", check.detail.c_str());
        return 1;
    }
    if (all_rows)
        rows = check.max_rows;
    const presetta::CreateOutcome res = presetta::CreatePresetData(input, output, rows, check.max_rows);
    if (!res.ok) {
        std::fprintf(stderr, "%s\n", res.message.c_str());
        return 1;
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
        std::string input, output;
        int rows = 0;
    };
    auto opts = std::make_shared<Opts>();
    sub->add_option("INPUT", opts->input, "Channel-list workbook (.xls or .xlsx)")->required();
    sub->add_option("-o,--output", opts->output, "Preset-data image to write (.bin)")->required();
    auto* rows = sub->add_option("--rows", opts->rows,
                                 "Rows to convert, the two heading rows included (3 to the largest; default: all)");
    sub->callback([opts, rows] {
        int rc = run_preset(opts->input, opts->output, rows->count() == 0, opts->rows);
        if (rc)
            throw CLI::RuntimeError(rc);
    });
});
