// corvane-cli tessel old: the customer configuration of an old-layout image.
//
//   tessel old IMAGE SCRIPT                       lists items, fields and values
//   tessel old IMAGE SCRIPT [--set ITEM.FIELD=VALUE]... [--file ITEM=PATH]...
//                           [--configs FILE] [--abs-key FILE]
//                           [--flash-address HEX --byte HEX] -o OUT.bin
#include "cmd_tessel_old.h"

#include "CliCommand.h"
#include "ExitStatus.h"
#include "KvBasicLog.h"
#include "Tesselcore.h"
#include "OldLayoutConfig.h"

#include <cstdio>
#include <new>

namespace {

struct OldArgs {
    std::string image, script, output, configs, abs_key, address, byte, code_page;
    std::vector<std::string> sets, files;
};

int fail(const std::string& text, int status = cli_exit::kFailed)
{
    std::fprintf(stderr, "%s\n", text.c_str());
    return status;
}

std::string choices_text(const KV_DYNAMIC_FIELD& f)
{
    auto c = tessel::dynamic_field_choices(f);
    std::string s;
    for (size_t i = 0; i < c.size() && i < 12; ++i)
        s += (i ? ", " : "") + std::to_string(c[i]);
    if (c.size() > 12)
        s += ", ... " + std::to_string(c.back());
    return s;
}

void list(CTesselOldConfig& cfg, const std::vector<uint8_t>& image)
{
    int n = 0;
    for (KV_DYNAMIC_ITEM* it = cfg.items(); it; it = it->next, ++n) {
        const char* what = it->em == 1 ? "  (block from a file: --file)"
                           : it->em == 2 ? "  (block from a hardware-info file: --file)"
                                         : "";
        std::printf("[%d] %-19s id 0x%02X  em %u  offset 0x%X  fields %u%s\n", n, it->name, it->id, it->em,
                    it->offset, it->field_count, what);
        for (KV_DYNAMIC_FIELD* f = it->fields; f; f = f->next) {
            tessel::old_field_value_t v;
            std::string shown;
            if (cfg.read_field(it, f, image.data(), image.size(), &v) != 0)
                shown = "(" + cfg.last_message() + ")";
            else if (tessel::field_kind(f->type) == tessel::FieldKind::number)
                shown = std::to_string(v.value);
            else if (tessel::field_kind(f->type) == tessel::FieldKind::choice)
                shown = std::to_string(v.value) + (v.choice < 0 ? "  (not a choice)" : "") + "  [" +
                        choices_text(*f) + "]";
            else
                shown = "\"" + cfg.screen_text(v) + "\"";
            const tessel::FieldKind kind = tessel::field_kind(f->type);
            const char* type = kind == tessel::FieldKind::number ? "number" : kind == tessel::FieldKind::choice ? "choice" : "text";
            std::printf("    %-19s %-6s bits %u+%-4u = %s\n", f->name, type, f->bit_off, f->bit_len,
                        shown.c_str());
            if (it->em == 3 && f->desc[0])
                std::printf("        %s\n", f->desc);
        }
    }
}

int run_old(const OldArgs& a)
{
    CTesselcore core;
    if (!a.code_page.empty()) {
        kv::CodePage cp(a.code_page);
        if (!cp.valid())
            return fail("Error: unknown code page " + a.code_page, cli_exit::kUsage);
        core.set_code_page(cp);
    }
    tessel_image_t img;
    tag_dmh_block_node node{};
    const int loaded = core.load_image(a.image, &img, &node);
    core.free_block_node(&node);
    if (loaded != 0)
        return fail(core.last_message(), cli_exit::kInput);
    if (img.is_new)
        return fail("Error: the image has DMH headers; it is not of the old layout", cli_exit::kInput);
    std::vector<uint8_t>& image = img.bytes;
    CTesselOldConfig cfg(&core);
    if (cfg.read_script(a.script, image.size()) != 0)
        return fail(cfg.last_message(), cli_exit::kInput);

    const bool changes = !a.sets.empty() || !a.files.empty() || !a.configs.empty() || !a.abs_key.empty() ||
                         !a.address.empty();
    if (a.output.empty()) {
        if (changes)
            return fail("Please select output file!", cli_exit::kUsage);
        list(cfg, image);
        return 0;
    }

    for (const std::string& s : a.sets) {
        size_t dot = s.find('.'), eq = s.find('=');
        if (dot == std::string::npos || eq == std::string::npos || dot > eq)
            return fail("Error: --set takes ITEM.FIELD=VALUE, not " + s, cli_exit::kUsage);
        KV_DYNAMIC_ITEM* it = cfg.find_item(s.substr(0, dot));
        KV_DYNAMIC_FIELD* fl = CTesselOldConfig::find_field(it, s.substr(dot + 1, eq - dot - 1));
        if (!it || !fl)
            return fail("Error: no field " + s.substr(0, eq) + " in the script", cli_exit::kUsage);
        if (cfg.set_field_from_text(it, fl, s.substr(eq + 1), image.data(), image.size()) != 0 ||
            cfg.update_crc(it, image.data(), image.size()) != 0)
            return fail(cfg.last_message());
    }

    tessel::old_generate_t req;
    req.output = a.output;
    for (const std::string& s : a.files) {
        size_t eq = s.find('=');
        KV_DYNAMIC_ITEM* it = eq == std::string::npos ? nullptr : cfg.find_item(s.substr(0, eq));
        if (!it || (it->em != 1 && it->em != 2))
            return fail("Error: --file takes ITEM=PATH for an item filled from a file, not " + s, cli_exit::kUsage);
        req.files.emplace_back(it, s.substr(eq + 1));
    }
    req.configs = a.configs;
    req.abs_key = a.abs_key;
    req.expert = !a.address.empty();
    req.flash_address = a.address;
    req.byte_value = a.byte;
    if (cfg.generate(req, &image) != 0)
        return fail(cfg.last_message());
    for (const auto& w : cfg.warnings())
        std::fprintf(stderr, "%s\n", w.c_str());
    std::printf("%s\n", cfg.last_message().c_str());
    return 0;
}

}  // namespace

void add_tessel_old_command(CLI::App* tessel)
{
    static OldArgs a;
    auto* old = tessel->add_subcommand(
        "old", "Customer configuration of an old-layout image: list the script's fields, or edit and generate");
    old->add_option("IMAGE", a.image, "Old-layout flash image")->required();
    old->add_option("SCRIPT", a.script, "Configuration script (usually named after the software version)")
        ->required();
    old->add_option("--set", a.sets, "ITEM.FIELD=VALUE: set a field (number, choice value or text)");
    old->add_option("--file", a.files, "ITEM=PATH: fill an item's block from a file (hardware-info file for EM 2)");
    old->add_option("--configs", a.configs, "Customer configuration file replacing the configuration area");
    old->add_option("--abs-key", a.abs_key, "ABS key file (.pub)");
    old->add_option("--flash-address", a.address, "Expert byte edit: flash address (hexadecimal)");
    old->add_option("--byte", a.byte, "Expert byte edit: byte value (hexadecimal)");
    old->add_option("-o,--output", a.output, "New image to write (without it the fields are listed)");
    old->add_option("--code-page", a.code_page,
                    "Code page of the box's texts (default: corvane.ini [STB] CodePage, else WINDOWS-1252)");
    old->callback([] {
        int rc;
        try {
            rc = run_old(a);
        } catch (const std::bad_alloc&) {
            rc = fail("no memery!");
        }
        if (rc)
            throw CLI::RuntimeError(rc);
    });
}
