// corvane-cli tessel: the configuration tool without a window.
//
//   tessel info IMAGE
//   tessel workbook IMAGE [--script FILE] -o FILE.xlsx
//   tessel build IMAGE WORKBOOK [--script FILE] -o OUT.bin
//   tessel block save IMAGE --name NAME --id ID -o FILE
//   tessel block load IMAGE --name NAME --id ID --file FILE -o OUT.bin
//   tessel export IMAGE -o FILE          (configuration area of an old-layout image)
//   tessel old IMAGE SCRIPT                       lists items, fields and values
//   tessel old IMAGE SCRIPT [--set ITEM.FIELD=VALUE]... [--file ITEM=PATH]...
//                           [--configs FILE] [--abs-key FILE]
//                           [--flash-address HEX --byte HEX] -o OUT.bin
#include "CliCommand.h"
#include "ExitStatus.h"

#include "ImageCommands.h"
#include "OldImageEdit.h"
#include "KvBasicLog.h"

#include <cstdio>
#include <functional>
#include <memory>

namespace {

using tessel::LoadedImage;
using tessel::StepResult;

int fail(const std::string& text, int status = cli_exit::kFailed)
{
    std::fprintf(stderr, "%s\n", text.c_str());
    return status;
}

// 0, or the step's message printed and its exit status.
int status_of(const StepResult& r) { return r.ok() ? 0 : fail(r.message, cli_exit::of(r.kind)); }

// Options every sub-command shares.
struct Common {
    std::string ini;
    std::string code_page;
};

// The image loaded, with a new-layout header and its script read when `script_too`.
int load(const std::string& path, LoadedImage* l, const Common& c, bool script_too = false,
         const std::string& script = {})
{
    StepResult r = tessel::load_image_file(path, c.ini, c.code_page, l);
    if (r.ok() && script_too)
        r = tessel::need_new_layout(*l);
    if (r.ok() && script_too)
        r = tessel::read_image_script(l, script);
    return status_of(r);
}

int cmd_info(const std::string& path, const Common& c)
{
    LoadedImage l;
    if (int rc = load(path, &l, c))
        return rc;
    std::fputs(tessel::image_info_text(l).c_str(), stdout);
    return 0;
}

// 0 with the core's last message printed, or the step's message printed
// and its exit status.
int told(const LoadedImage& l, const StepResult& r)
{
    if (int rc = status_of(r))
        return rc;
    std::printf("%s\n", l.core.last_message().c_str());
    return 0;
}

int cmd_workbook(const std::string& image, const std::string& script, const std::string& out, const Common& c)
{
    LoadedImage l;
    if (int rc = load(image, &l, c, true, script))
        return rc;
    if (int rc = status_of(tessel::write_image_workbook(l, out, c.ini)))
        return rc;
    std::printf("%s\n", out.c_str());
    return 0;
}

int cmd_build(const std::string& image, const std::string& workbook, const std::string& script, const std::string& out,
              const Common& c)
{
    LoadedImage l;
    if (int rc = load(image, &l, c, true, script))
        return rc;
    return told(l, tessel::build_from_workbook(l, workbook, out, c.ini));
}

// The block commands: a block id and a new-layout image. 0 when both are good.
int load_for_block(const std::string& image, const std::string& id_text, uint8_t* id, LoadedImage* l)
{
    if (!tessel::parse_block_id(id_text, id))
        return fail("Error: bad block id " + id_text, cli_exit::kUsage);
    if (int rc = load(image, l, Common{}))
        return rc;
    return status_of(tessel::need_new_layout(*l));
}

int cmd_block_save(const std::string& image, const std::string& name, const std::string& id_text,
                   const std::string& out)
{
    uint8_t id = 0;
    LoadedImage l;
    if (int rc = load_for_block(image, id_text, &id, &l))
        return rc;
    return told(l, tessel::save_image_block(l, name, id, out));
}

int cmd_block_load(const std::string& image, const std::string& name, const std::string& id_text,
                   const std::string& file, const std::string& out)
{
    uint8_t id = 0;
    LoadedImage l;
    if (int rc = load_for_block(image, id_text, &id, &l))
        return rc;
    return told(l, tessel::load_image_block(l, name, id, file, out));
}

int cmd_export(const std::string& image, const std::string& out)
{
    LoadedImage l;
    if (int rc = load(image, &l, Common{}))
        return rc;
    return told(l, tessel::export_config_area(l, out));
}

// Runs a command; an allocation that fails becomes a message and a status.
void run(const std::function<int()>& command)
{
    int rc;
    try {
        rc = command();
    } catch (const std::bad_alloc&) {
        rc = fail("no memery!");
    }
    if (rc)
        throw CLI::RuntimeError(rc);
}

// tessel old: the customer configuration of an old-layout image.
int cmd_old(const tessel::OldEdit& a)
{
    tessel::OldEditText text;
    if (int rc = status_of(tessel::run_old_edit(a, &text)))
        return rc;
    for (const auto& w : text.warnings)
        std::fprintf(stderr, "%s\n", w.c_str());
    std::fputs(text.out.c_str(), stdout);
    return 0;
}

void add_old_command(CLI::App* tessel)
{
    static tessel::OldEdit a;
    auto* old = tessel->add_subcommand(
        "old", "Customer configuration of an old-layout image: list the script's fields, or edit and generate");
    old->add_option("IMAGE", a.image, "Old-layout flash image")->required();
    old->add_option("SCRIPT", a.script, "Configuration script (usually named after the software version)")->required();
    old->add_option("--set", a.sets, "ITEM.FIELD=VALUE: set a field (number, choice value or text)");
    old->add_option("--file", a.files, "ITEM=PATH: fill an item's block from a file (hardware-info file for EM 2)");
    old->add_option("--configs", a.configs, "Customer configuration file replacing the configuration area");
    old->add_option("--abs-key", a.abs_key, "ABS key file (.pub)");
    old->add_option("--flash-address", a.address, "Expert byte edit: flash address (hexadecimal)");
    old->add_option("--byte", a.byte, "Expert byte edit: byte value (hexadecimal)");
    old->add_option("-o,--output", a.output, "New image to write (without it the fields are listed)");
    old->add_option("--code-page", a.code_page,
                    "Code page of the box's texts (default: corvane.ini [STB] CodePage, else WINDOWS-1252)");
    old->callback([] { run([] { return cmd_old(a); }); });
}

}  // namespace

static CliCommandRegistrar reg([](CLI::App& app) {
    auto* tessel = app.add_subcommand("tessel", "Configuration blocks of flash images: show, workbook, build");
    tessel->require_subcommand(1);

    // The core's own lines go to the day's log; this command prints its results.
    tessel->preparse_callback([](size_t) { kv::log_set_fallback(kv::LogFallback::FileOnly); });

    auto* info = tessel->add_subcommand("info", "Show the header and the block table of an image");
    static std::string image, script, out, workbook, name, id, file;
    static Common common;
    auto common_options = [](CLI::App* sub) {
        sub->add_option("--ini", common.ini, "Settings file (default: corvane.ini in the program folder)");
        sub->add_option("--code-page", common.code_page,
                        "Code page of the box's texts (default: corvane.ini [STB] CodePage, else WINDOWS-1252; "
                        "GBK for Chinese-market boxes)");
    };
    info->add_option("IMAGE", image, "Flash image")->required();
    info->callback([] { run([] { return cmd_info(image, common); }); });

    auto* wbk = tessel->add_subcommand("workbook", "Write the configuration of an image as a workbook (.xlsx)");
    wbk->add_option("IMAGE", image, "Flash image")->required();
    wbk->add_option("--script", script, "Configuration script to use instead of the image's own");
    wbk->add_option("-o,--output", out, "Workbook to write")->required();
    common_options(wbk);
    wbk->callback([] { run([] { return cmd_workbook(image, script, out, common); }); });

    auto* build = tessel->add_subcommand("build", "Build a new image from an image and its edited workbook");
    build->add_option("IMAGE", image, "Flash image")->required();
    build->add_option("WORKBOOK", workbook, "Edited workbook (.xlsx or .xls)")->required();
    build->add_option("--script", script, "Configuration script to use instead of the image's own");
    build->add_option("-o,--output", out, "New image to write")->required();
    common_options(build);
    build->callback([] { run([] { return cmd_build(image, workbook, script, out, common); }); });

    auto* block = tessel->add_subcommand("block", "Save or load a single block");
    block->require_subcommand(1);
    auto* save = block->add_subcommand("save", "Write one block's bytes to a file");
    save->add_option("IMAGE", image, "Flash image")->required();
    save->add_option("--name", name, "Block name")->required();
    save->add_option("--id", id, "Block id, e.g. 0x30")->required();
    save->add_option("-o,--output", out, "File to write")->required();
    save->callback([] { run([] { return cmd_block_save(image, name, id, out); }); });
    auto* load = block->add_subcommand("load", "Replace one block by a file and write the new image");
    load->add_option("IMAGE", image, "Flash image")->required();
    load->add_option("--name", name, "Block name")->required();
    load->add_option("--id", id, "Block id, e.g. 0x30")->required();
    load->add_option("--file", file, "The block's new bytes")->required();
    load->add_option("-o,--output", out, "New image to write")->required();
    load->callback([] { run([] { return cmd_block_load(image, name, id, file, out); }); });

    auto* exp = tessel->add_subcommand("export", "Write the configuration area of an old-layout image");
    exp->add_option("IMAGE", image, "Flash image")->required();
    exp->add_option("-o,--output", out, "File to write")->required();
    exp->callback([] { run([] { return cmd_export(image, out); }); });

    add_old_command(tessel);
});
