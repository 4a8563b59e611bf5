// corvane-cli tessel old: the customer configuration of an old-layout image.
//
//   tessel old IMAGE SCRIPT                       lists items, fields and values
//   tessel old IMAGE SCRIPT [--set ITEM.FIELD=VALUE]... [--file ITEM=PATH]...
//                           [--configs FILE] [--abs-key FILE]
//                           [--flash-address HEX --byte HEX] -o OUT.bin
#include "cmd_tessel_old.h"

#include "CliCommand.h"
#include "ExitStatus.h"
#include "OldLayoutSteps.h"

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

// 0, or the step's message printed and its exit status.
int status_of(const tessel::StepResult& r) { return r.ok() ? 0 : fail(r.message, cli_exit::of(r.kind)); }

int run_old(const OldArgs& a)
{
    CTesselcore core;
    tessel_image_t img;
    if (int rc = status_of(tessel::load_old_image(core, a.image, a.code_page, &img)))
        return rc;
    std::vector<uint8_t>& image = img.bytes;
    CTesselOldConfig cfg(&core);
    if (cfg.read_script(a.script, image.size()) != 0)
        return fail(cfg.last_message(), cli_exit::kInput);

    const bool changes =
        !a.sets.empty() || !a.files.empty() || !a.configs.empty() || !a.abs_key.empty() || !a.address.empty();
    if (a.output.empty()) {
        if (changes)
            return fail("Please select output file!", cli_exit::kUsage);
        std::fputs(tessel::old_config_listing(cfg, image).c_str(), stdout);
        return 0;
    }
    if (int rc = status_of(tessel::apply_field_settings(cfg, a.sets, image)))
        return rc;
    tessel::old_generate_t req;
    req.output = a.output;
    if (int rc = status_of(tessel::add_block_files(cfg, a.files, &req)))
        return rc;
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
