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

#include "KvBasicLog.h"
#include "Tesselcore.h"
#include "Workbook.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>

namespace {

struct Loaded {
    CTesselcore core;
    tessel_image_t img;
    tag_dmh_block_node node{};
    ~Loaded() { core.free_block_node(&node); }
};

int fail(const std::string& text, int status = cli_exit::kFailed)
{
    std::fprintf(stderr, "%s\n", text.c_str());
    return status;
}

// The core's message, and the reason underneath it when there is one.
int fail_core(const CTesselcore& core, int status = cli_exit::kFailed)
{
    if (!core.last_detail().empty())
        std::fprintf(stderr, "%s\n", core.last_detail().c_str());
    return fail(core.last_message(), status);
}

// Options every sub-command shares.
struct Common {
    std::string ini;
    std::string code_page;
};

// Reads and checks the image and runs the scan (Pre-Parse). 0 or an exit status.
int load_image(const std::string& path, Loaded* l, const Common& c)
{
    if (!c.ini.empty())
        l->core.set_ini_path(c.ini);
    if (!c.code_page.empty()) {
        kv::CodePage cp(c.code_page);
        if (!cp.valid())
            return fail("Error: unknown code page " + c.code_page, cli_exit::kUsage);
        l->core.set_code_page(cp);
    }
    if (l->core.load_image(path, &l->img, &l->node) != 0)
        return fail_core(l->core, cli_exit::kInput);
    return 0;
}

int need_new(const Loaded& l)
{
    return l.img.is_new ? 0 : fail("Error: the image has no DMH header of the new type", cli_exit::kInput);
}

int read_script(Loaded* l, const std::string& script)
{
    if (script.empty()) {
        if (l->core.parse_flash(l->img.bytes.data(), (uint32_t)l->img.bytes.size()) != 0)
            return fail("Wrong binary file, can not parse it! (" + l->core.last_message() + ")", cli_exit::kInput);
    }
    if (l->core.read_config_script(script) != 0)
        return fail("Wrong binary file, script error! (" + l->core.last_message() + ")", cli_exit::kInput);
    return 0;
}

int cmd_info(const std::string& path, const Common& c)
{
    Loaded l;
    if (int rc = load_image(path, &l, c))
        return rc;
    const tessel_image_t& img = l.img;
    std::printf("Image type:       %s\n", img.is_new ? "new (DMH)" : "old");
    std::printf("SDRAM Size:       0x%X\n", img.sdram_size);
    std::printf("Flash Size:       0x%X\n", img.flash_size);
    std::printf("Block Number:     %u\n", img.block_count);
    std::printf("Software Version: %s\n", img.version.c_str());
    if (!img.is_new)
        std::printf("Config Area:      0x%X, 0x%X bytes\n", img.old.cfg_offset, img.old.cfg_size);
    std::printf("ID  Size      CRC       Name      Version   Time          Offset%s\n", img.is_new ? "    DMH" : "");
    for (const tessel_block_row_t& r : CTesselcore::describe_blocks(img, l.node)) {
        std::printf("%02X  %8X  %08X  %-8s  %-8s  %-12s  %8X", r.id, r.size, r.crc, r.name.c_str(), r.version.c_str(),
                    r.time.c_str(), r.offset);
        if (img.is_new)
            std::printf("  %u@0x%X", r.dmh_seq, r.dmh_addr);
        std::printf("\n");
    }
    return 0;
}

std::string ini_hint(const Loaded& l, const std::string& ini)
{
    if (l.core.last_message() != "Can not find this file,check it pls.")
        return "";
    return "\nsettings file: " + (ini.empty() ? CKvBasicCfgIni::path_in_root("corvane.ini") : ini) +
           " (--ini names another)";
}

int cmd_workbook(const std::string& image, const std::string& script, const std::string& out, const Common& c)
{
    Loaded l;
    if (int rc = load_image(image, &l, c))
        return rc;
    if (int rc = need_new(l))
        return rc;
    if (int rc = read_script(&l, script))
        return rc;
    l.core.set_workbook_path(out);
    if (l.core.generate_xls_fie(&l.node) != 1)
        return fail("Wrong binary file, can not create xls! (" + l.core.last_message() + ")" + ini_hint(l, c.ini));
    std::printf("%s\n", out.c_str());
    return 0;
}

int cmd_build(const std::string& image, const std::string& workbook, const std::string& script,
              const std::string& out, const Common& c)
{
    Loaded l;
    if (int rc = load_image(image, &l, c))
        return rc;
    if (int rc = need_new(l))
        return rc;
    if (int rc = read_script(&l, script))
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
        return fail("xls file error,can not create new flash (" + l.core.last_message() + ")" + ini_hint(l, c.ini));
    if (l.core.save_new_flash(l.img.bytes.data(), (uint32_t)l.img.bytes.size(), out) != 0)
        return fail_core(l.core);
    std::printf("%s\n", l.core.last_message().c_str());
    return 0;
}

bool parse_id(const std::string& text, uint8_t* id)
{
    try {
        size_t used = 0;
        unsigned long v = std::stoul(text, &used, 0);
        if (used != text.size() || v > 0xFF)
            return false;
        *id = (uint8_t)v;
        return true;
    } catch (...) {
        return false;
    }
}

// The block commands: a block id and a new-layout image. 0 when both are good.
int load_for_block(const std::string& image, const std::string& id_text, uint8_t* id, Loaded* l)
{
    if (!parse_id(id_text, id))
        return fail("Error: bad block id " + id_text, cli_exit::kUsage);
    if (int rc = load_image(image, l, Common{}))
        return rc;
    return need_new(*l);
}

int cmd_block_save(const std::string& image, const std::string& name, const std::string& id_text,
                   const std::string& out)
{
    uint8_t id = 0;
    Loaded l;
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
    Loaded l;
    if (int rc = load_for_block(image, id_text, &id, &l))
        return rc;
    if (l.core.load_block(name, id, file) != 0)
        return fail_core(l.core, cli_exit::kInput);
    if (l.core.save_new_flash(l.img.bytes.data(), (uint32_t)l.img.bytes.size(), out) != 0)
        return fail_core(l.core);
    std::printf("%s\n", l.core.last_message().c_str());
    return 0;
}

int cmd_export(const std::string& image, const std::string& out)
{
    Loaded l;
    if (int rc = load_image(image, &l, Common{}))
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
