#include "OldImageEdit.h"

#include "OldLayoutSteps.h"

namespace tessel {

StepResult run_old_edit(const OldEdit& a, OldEditText* text)
{
    CTesselcore core;
    tessel_image_t img;
    if (StepResult r = load_old_image(core, a.image, a.code_page, &img); !r.ok())
        return r;
    std::vector<uint8_t>& image = img.bytes;
    CTesselOldConfig cfg(&core);
    if (cfg.read_script(a.script, image.size()) != 0)
        return {JobErrorKind::Input, cfg.last_message()};

    const bool changes =
        !a.sets.empty() || !a.files.empty() || !a.configs.empty() || !a.abs_key.empty() || !a.address.empty();
    if (a.output.empty()) {
        if (changes)
            return {JobErrorKind::Usage, "Please select output file!"};
        text->out = old_config_listing(cfg, image);
        return {};
    }
    if (StepResult r = apply_field_settings(cfg, a.sets, image); !r.ok())
        return r;
    old_generate_t req;
    req.output = a.output;
    if (StepResult r = add_block_files(cfg, a.files, &req); !r.ok())
        return r;
    req.configs = a.configs;
    req.abs_key = a.abs_key;
    req.expert = !a.address.empty();
    req.flash_address = a.address;
    req.byte_value = a.byte;
    if (cfg.generate(req, &image) != 0)
        return {JobErrorKind::Failed, cfg.last_message()};
    text->warnings = cfg.warnings();
    text->out = cfg.last_message() + "\n";
    return {};
}

}  // namespace tessel
