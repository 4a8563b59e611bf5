// corvane-cli tessel: the configuration tool without a window.
//
//   tessel info IMAGE
//   tessel workbook IMAGE [--script FILE] -o FILE.xlsx
//   tessel build IMAGE WORKBOOK [--script FILE] -o OUT.bin
//   tessel block save IMAGE --name NAME --id ID -o FILE
//   tessel block load IMAGE --name NAME --id ID --file FILE -o OUT.bin
//   tessel export IMAGE -o FILE          (configuration area of an old-layout image)
#include "CliCommand.h"
#include "ExitStatus.h"
#include "cmd_tessel_old.h"

#include "ImageSteps.h"
#include "KvBasicLog.h"
#include "Workbook.h"

#include <cstdio>
#include <cstring>
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

int fail_core(const CTesselcore& core, JobErrorKind kind = JobErrorKind::Failed)
{
    return status_of(tessel::core_failure(core, kind));
}

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

// Where the settings file is, when it is missing: the likely cause of a
// workbook step that failed.
std::string ini_hint(const std::string& ini)
{
    std::string path;
    if (tessel::settings_file_state(ini, &path) == tessel::SettingsFile::Found)
        return "";
    return "\nsettings file: " + path + " (--ini names another)";
}

int cmd_workbook(const std::string& image, const std::string& script, const std::string& out, const Common& c)
{
    LoadedImage l;
    if (int rc = load(image, &l, c, true, script))
        return rc;
    l.core.set_workbook_path(out);
    if (l.core.generate_xls_fie(&l.node) != 1)
        return fail("Wrong binary file, can not create xls! (" + l.core.last_message() + ")" + ini_hint(c.ini));
    std::printf("%s\n", out.c_str());
    return 0;
}

int cmd_build(const std::string& image, const std::string& workbook, const std::string& script, const std::string& out,
              const Common& c)
{
    LoadedImage l;
    if (int rc = load(image, &l, c, true, script))
        return rc;
    wb::Workbook book;
    std::string err;
    if (!wb::read_workbook(workbook, &book, &err))
        return fail("error open excel  file " + workbook + " (" + err + ")", cli_exit::kInput);
    // The key sheets were written when their blocks exist.
    l.core.set_key_sheets(book.find("ucaskey") && l.core.get_block_info_by_name("ucaskey", 7),
                          book.find("crypto") && l.core.get_block_info_by_name("crypto", 6));
    l.core.set_workbook_path(workbook);
    if (l.core.read_xls_file(&l.node) != 0)
        return fail("xls file error,can not create new flash (" + l.core.last_message() + ")" + ini_hint(c.ini));
    if (l.core.save_new_flash(l.img.bytes.data(), (uint32_t)l.img.bytes.size(), out) != 0)
        return fail_core(l.core);
    std::printf("%s\n", l.core.last_message().c_str());
    return 0;
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
    if (l.core.save_block(l.img.bytes.data(), (uint32_t)l.img.bytes.size(), name, id, out) != 0)
        return fail_core(l.core);
    std::printf("%s\n", l.core.last_message().c_str());
    return 0;
}

int cmd_block_load(const std::string& image, const std::string& name, const std::string& id_text,
                   const std::string& file, const std::string& out)
{
    uint8_t id = 0;
    LoadedImage l;
    if (int rc = load_for_block(image, id_text, &id, &l))
        return rc;
    if (l.core.load_block(name, id, file) != 0)
        return fail_core(l.core, JobErrorKind::Input);
    if (l.core.save_new_flash(l.img.bytes.data(), (uint32_t)l.img.bytes.size(), out) != 0)
        return fail_core(l.core);
    std::printf("%s\n", l.core.last_message().c_str());
    return 0;
}

int cmd_export(const std::string& image, const std::string& out)
{
    LoadedImage l;
    if (int rc = load(image, &l, Common{}))
        return rc;
    if (l.core.export_config_area(l.img.bytes, out) != 0)
        return fail_core(l.core);
    std::printf("%s\n", l.core.last_message().c_str());
    return 0;
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

    add_tessel_old_command(tessel);
});
