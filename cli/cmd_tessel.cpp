// corvane-cli tessel: the configuration tool without a window.
//
//   tessel info IMAGE
//   tessel workbook IMAGE [--script FILE] -o FILE.xlsx
//   tessel build IMAGE WORKBOOK [--script FILE] -o OUT.bin
//   tessel block save IMAGE --name NAME --id ID -o FILE
//   tessel block load IMAGE --name NAME --id ID --file FILE -o OUT.bin
//   tessel export IMAGE -o FILE          (configuration area of an old-layout image)
#include "CliCommand.h"
#include "cmd_tessel_old.h"

#include "KvBasicLog.h"
#include "Tesselcore.h"
#include "Workbook.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

namespace {

struct Loaded {
    CTesselcore core;
    std::vector<uint8_t> image;
    tag_dmh_block_node node{};
    bool is_new = false;
    ~Loaded() { core.free_block_node(&node); }
};

int fail(const std::string& text)
{
    std::fprintf(stderr, "%s\n", text.c_str());
    return 1;
}

// Reads and checks the image, runs the scan. 0 or an exit code.
int load_image(const std::string& path, Loaded* l, const std::string& ini)
{
    if (!ini.empty())
        l->core.set_ini_path(ini);
    std::ifstream f(path, std::ios::binary);
    if (!f)
        return fail("Failed to open the flash file!");
    l->image.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    if (!CTesselcore::image_length_ok(l->image.size()) || l->image.size() > 0xFFFFFFFFu)
        return fail("Wrong binary file!");
    int rc = l->core.scan_flash(l->image.data(), (uint32_t)l->image.size(), &l->node);
    if (rc < 0)
        return fail(l->core.last_message());
    l->is_new = rc == 1;
    return 0;
}

int need_new(const Loaded& l)
{
    return l.is_new ? 0 : fail("Error: the image has no DMH header of the new type");
}

int read_script(Loaded* l, const std::string& script)
{
    if (script.empty()) {
        if (l->core.parse_flash(l->image.data(), (uint32_t)l->image.size()) != 0)
            return fail("Wrong binary file, can not parse it!");
    }
    if (l->core.read_config_script(script) != 0)
        return fail("Wrong binary file, script error! (" + l->core.last_message() + ")");
    return 0;
}

std::string fixed(const uint8_t* p, size_t n)
{
    std::string s;
    for (size_t i = 0; i < n && p[i]; ++i)
        s += (p[i] >= 0x20 && p[i] < 0x7F) ? (char)p[i] : '.';
    return s;
}

void print_row(const uint8_t* e)
{
    std::printf("%02X  %8X  %08X  %-8s  %-8s  %-12s  %8X\n", e[0], tessel::rd32(e + 8), tessel::rd32(e + 12),
                fixed(e + 24, 8).c_str(), fixed(e + 16, 8).c_str(), fixed(e + 32, 12).c_str(), tessel::rd32(e + 4));
}

int cmd_info(const std::string& path)
{
    Loaded l;
    if (int rc = load_image(path, &l, ""))
        return rc;
    if (l.is_new) {
        std::string version;
        if (auto* ss = l.core.get_block_info_by_name("ssdata", 6))
            version = fixed(ss->data, std::min<uint32_t>(30, tessel::entry_size(*ss)));
        std::printf("Image type:       new (DMH)\n");
        std::printf("SDRAM Size:       0x%X\n", l.core.sdram_size());
        std::printf("Flash Size:       0x%X\n", l.node.image_len);
        std::printf("Block Number:     %u\n", l.node.count);
        std::printf("Software Version: %s\n", version.c_str());
        std::printf("ID  Size      CRC       Name      Version   Time          Offset    DMH\n");
        for (uint32_t i = 0; i < l.node.count; ++i) {
            const auto& r = l.node.working[i];
            std::printf("%02X  %8X  %08X  %-8s  %-8s  %-12s  %8X  %u@0x%X\n", r.entry[0], tessel::entry_size(r),
                        tessel::entry_crc(r), fixed(r.entry + 24, 8).c_str(), fixed(r.entry + 16, 8).c_str(),
                        fixed(r.entry + 32, 12).c_str(), tessel::entry_offset(r), r.dmh_seq, r.dmh_addr);
        }
        return 0;
    }
    tessel_old_image_t old;
    if (l.core.read_old_layout(l.image.data(), l.image.size(), &old) != 0)
        return fail(l.core.last_message());
    std::printf("Image type:       old\n");
    std::printf("SDRAM Size:       0x%X\n", old.sdram_size);
    std::printf("Flash Size:       0x%X\n", old.flash_size);
    std::printf("Block Number:     %zu\n", old.entries.size());
    std::printf("Config Area:      0x%X, 0x%X bytes\n", old.cfg_offset, old.cfg_size);
    std::printf("ID  Size      CRC       Name      Version   Time          Offset\n");
    for (const auto& e : old.entries)
        print_row(e.data());
    return 0;
}

std::string ini_hint(const Loaded& l, const std::string& ini)
{
    if (l.core.last_message() != "Can not find this file,check it pls.")
        return "";
    return "\nsettings file: " + (ini.empty() ? CKvBasicCfgIni::path_in_root("corvane.ini") : ini) +
           " (--ini names another)";
}

int cmd_workbook(const std::string& image, const std::string& script, const std::string& out, const std::string& ini)
{
    Loaded l;
    if (int rc = load_image(image, &l, ini))
        return rc;
    if (int rc = need_new(l))
        return rc;
    if (int rc = read_script(&l, script))
        return rc;
    l.core.set_workbook_path(out);
    if (l.core.generate_xls_fie(&l.node) != 1)
        return fail("Wrong binary file, can not create xls! (" + l.core.last_message() + ")" + ini_hint(l, ini));
    std::printf("%s\n", out.c_str());
    return 0;
}

int cmd_build(const std::string& image, const std::string& workbook, const std::string& script,
              const std::string& out, const std::string& ini)
{
    Loaded l;
    if (int rc = load_image(image, &l, ini))
        return rc;
    if (int rc = need_new(l))
        return rc;
    if (int rc = read_script(&l, script))
        return rc;
    wb::Workbook book;
    std::string err;
    if (!wb::read_workbook(workbook, &book, &err))
        return fail("error open excel  file " + workbook + " (" + err + ")");
    // The key sheets were written when their blocks exist.
    l.core.set_key_sheets(book.find("ucaskey") && l.core.get_block_info_by_name("ucaskey", 7),
                          book.find("crypto") && l.core.get_block_info_by_name("crypto", 6));
    l.core.set_workbook_path(workbook);
    if (l.core.read_xls_file(&l.node) != 0)
        return fail("xls file error,can not create new flash (" + l.core.last_message() + ")" + ini_hint(l, ini));
    if (l.core.save_new_flash(l.image.data(), (uint32_t)l.image.size(), out) != 0)
        return fail(l.core.last_message());
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
        return fail("Error: bad block id " + id_text);
    if (int rc = load_image(image, l, ""))
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
    if (l.core.save_block(l.image.data(), (uint32_t)l.image.size(), name, id, out) != 0)
        return fail(l.core.last_message());
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
        return fail(l.core.last_message());
    if (l.core.save_new_flash(l.image.data(), (uint32_t)l.image.size(), out) != 0)
        return fail(l.core.last_message());
    std::printf("%s\n", l.core.last_message().c_str());
    return 0;
}

int cmd_export(const std::string& image, const std::string& out)
{
    Loaded l;
    if (int rc = load_image(image, &l, ""))
        return rc;
    const auto& img = l.image;
    uint64_t off = tessel::rd32(img.data() + 28), size = tessel::rd32(img.data() + 32);
    if (off + size > img.size())
        return fail("Create a file failed!");
    std::ofstream f(out, std::ios::binary);
    f.write(reinterpret_cast<const char*>(img.data() + off), (std::streamsize)size);
    f.close();
    if (!f)
        return fail("Create a file failed!");
    std::printf("Create a file successfully!\n");
    return 0;
}

void run(int rc)
{
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
    static std::string image, script, out, ini, workbook, name, id, file;
    info->add_option("IMAGE", image, "Flash image")->required();
    info->callback([] { run(cmd_info(image)); });

    auto* wbk = tessel->add_subcommand("workbook", "Write the configuration of an image as a workbook (.xlsx)");
    wbk->add_option("IMAGE", image, "Flash image")->required();
    wbk->add_option("--script", script, "Configuration script to use instead of the image's own");
    wbk->add_option("-o,--output", out, "Workbook to write")->required();
    wbk->add_option("--ini", ini, "Settings file (default: corvane.ini in the program folder)");
    wbk->callback([] { run(cmd_workbook(image, script, out, ini)); });

    auto* build = tessel->add_subcommand("build", "Build a new image from an image and its edited workbook");
    build->add_option("IMAGE", image, "Flash image")->required();
    build->add_option("WORKBOOK", workbook, "Edited workbook (.xlsx or .xls)")->required();
    build->add_option("--script", script, "Configuration script to use instead of the image's own");
    build->add_option("-o,--output", out, "New image to write")->required();
    build->add_option("--ini", ini, "Settings file (default: corvane.ini in the program folder)");
    build->callback([] { run(cmd_build(image, workbook, script, out, ini)); });

    auto* block = tessel->add_subcommand("block", "Save or load a single block");
    block->require_subcommand(1);
    auto* save = block->add_subcommand("save", "Write one block's bytes to a file");
    save->add_option("IMAGE", image, "Flash image")->required();
    save->add_option("--name", name, "Block name")->required();
    save->add_option("--id", id, "Block id, e.g. 0x30")->required();
    save->add_option("-o,--output", out, "File to write")->required();
    save->callback([] { run(cmd_block_save(image, name, id, out)); });
    auto* load = block->add_subcommand("load", "Replace one block by a file and write the new image");
    load->add_option("IMAGE", image, "Flash image")->required();
    load->add_option("--name", name, "Block name")->required();
    load->add_option("--id", id, "Block id, e.g. 0x30")->required();
    load->add_option("--file", file, "The block's new bytes")->required();
    load->add_option("-o,--output", out, "New image to write")->required();
    load->callback([] { run(cmd_block_load(image, name, id, file, out)); });

    auto* exp = tessel->add_subcommand("export", "Write the configuration area of an old-layout image");
    exp->add_option("IMAGE", image, "Flash image")->required();
    exp->add_option("-o,--output", out, "File to write")->required();
    exp->callback([] { run(cmd_export(image, out)); });

    add_tessel_old_command(tessel);
});
