// corvane-cli fir: the front-panel, hardware, key and LED configuration of a
// flash image, as the "Customization" tab reads and writes it.
//
//   fir show   --platform P IMAGE              the panel record as JSON
//   fir set    --platform P IMAGE -o OUT ...   page files and fields written back
//   fir export --platform P IMAGE --fp F ...   one page file from the image
//   fir send, learn-keys, learn-led             with a live box (cmd_fir_panel.cpp)
#include "CliCommand.h"
#include "ExitStatus.h"
#include "cmd_fir_panel.h"

#include "ImageEdits.h"
#include "KvBasicLog.h"

#include <cstdio>
#include <map>
#include <memory>

using namespace fir;

namespace {

// The step's result: its message (and detail) on standard error when it
// failed, else on standard output when `say_ok`; its exit status.
int report(const EditStep& step, bool say_ok = true)
{
    if (!step.ok()) {
        std::fprintf(stderr, "%s\n", step.result.message.c_str());
        if (!step.result.detail.empty())
            std::fprintf(stderr, "%s\n", step.result.detail.c_str());
    } else if (say_ok) {
        std::printf("%s\n", step.result.message.c_str());
    }
    return cli_exit::of(step.kind);
}

int load(const std::string& platform, const std::string& image, Platform* p, ParsedImage* parsed)
{
    if (int rc = report(load_platform_image(platform, image, p, parsed), false))
        return rc;
    for (const std::string& n : parsed->notes)
        std::fprintf(stderr, "warning: %s\n", n.c_str());
    return cli_exit::kOk;
}

int cmd_show(const std::string& platform, const std::string& image)
{
    Platform p;
    ParsedImage parsed;
    if (int rc = load(platform, image, &p, &parsed))
        return rc;
    std::fputs(panel_record_json(parsed, p, box_captions()).c_str(), stdout);
    return cli_exit::kOk;
}

struct SetOptions {
    std::string platform, image, output;
    std::map<PageFile, std::string> files;
    std::vector<std::string> sets;
};

int cmd_set(const SetOptions& o)
{
    Platform p;
    ParsedImage parsed;
    if (int rc = load(o.platform, o.image, &p, &parsed))
        return rc;
    return report(write_edited_image(parsed, p, o.files, o.sets, o.output));
}

int cmd_export(const std::string& platform, const std::string& image, PageFile kind, const std::string& path)
{
    Platform p;
    ParsedImage parsed;
    if (int rc = load(platform, image, &p, &parsed))
        return rc;
    return report(write_one_page_file(parsed, p, kind, path));
}

void run(int rc)
{
    if (rc)
        throw CLI::RuntimeError(rc);
}

const std::pair<PageFile, const char*> kFileOptions[] = {
    {PageFile::Fp, "--fp"},   {PageFile::Hw, "--hw"},   {PageFile::FpKey, "--fpkey"},
    {PageFile::Ir1, "--ir1"}, {PageFile::Ir2, "--ir2"}, {PageFile::Led, "--led"},
};

std::string file_help(PageFile kind, const char* verb)
{
    return std::string(verb) + " a ." + page_file_extension(kind) + " page file";
}

}  // namespace

static CliCommandRegistrar reg([](CLI::App& app) {
    auto* firc = app.add_subcommand("fir", "Front panel, hardware options, key and LED maps of a flash image");
    firc->require_subcommand(1);
    firc->preparse_callback([](size_t) { kv::log_set_fallback(kv::LogFallback::FileOnly); });
    const char* platform_help = "Chip platform: base, alder or dogwood";

    auto opts = std::make_shared<SetOptions>();
    auto* show = firc->add_subcommand("show", "Print the panel record of an image as JSON");
    show->add_option("--platform", opts->platform, platform_help)->required();
    show->add_option("IMAGE", opts->image, "Flash image")->required();
    show->callback([opts] { run(cmd_show(opts->platform, opts->image)); });

    auto* set = firc->add_subcommand("set", "Write page files and fields back into an image");
    set->add_option("--platform", opts->platform, platform_help)->required();
    set->add_option("IMAGE", opts->image, "Flash image")->required();
    set->add_option("-o,--output", opts->output, "New image to write")->required();
    auto paths = std::make_shared<std::map<PageFile, std::string>>();
    for (const auto& [kind, flag] : kFileOptions)
        set->add_option(flag, (*paths)[kind], file_help(kind, "Load"));
    set->add_option("--set", opts->sets, "field=value, e.g. clock_pos=12 or language.English=checked (repeatable)")
        ->allow_extra_args(false);
    set->callback([opts, paths] {
        for (const auto& [kind, path] : *paths)
            if (!path.empty())
                opts->files[kind] = path;
        run(cmd_set(*opts));
    });

    auto* exp = firc->add_subcommand("export", "Write one page file from an image");
    exp->add_option("--platform", opts->platform, platform_help)->required();
    exp->add_option("IMAGE", opts->image, "Flash image")->required();
    auto targets = std::make_shared<std::map<PageFile, std::string>>();
    std::vector<CLI::Option*> group;
    for (const auto& [kind, flag] : kFileOptions)
        group.push_back(exp->add_option(flag, (*targets)[kind], file_help(kind, "Write")));
    for (CLI::Option* g : group)
        for (CLI::Option* other : group)
            if (g != other)
                g->excludes(other);
    exp->callback([opts, targets] {
        int n = 0;
        for (const auto& [kind, path] : *targets)
            if (!path.empty()) {
                ++n;
                run(cmd_export(opts->platform, opts->image, kind, path));
            }
        if (n == 0) {
            std::fprintf(stderr, "Name one page file: --fp, --hw, --fpkey, --ir1, --ir2 or --led\n");
            run(cli_exit::kUsage);
        }
    });

    add_fir_panel_commands(firc);
});
