#include "OldLayoutSteps.h"

#include <cstdio>

namespace tessel {

StepResult load_old_image(CTesselcore& core, const std::string& path, const std::string& code_page, tessel_image_t* img)
{
    if (!code_page.empty()) {
        kv::CodePage cp(code_page);
        if (!cp.valid())
            return {JobErrorKind::Usage, "Error: unknown code page " + code_page};
        core.set_code_page(cp);
    }
    tag_dmh_block_node node{};
    const int loaded = core.load_image(path, img, &node);
    core.free_block_node(&node);
    if (loaded != 0)
        return {JobErrorKind::Input, core.last_message()};
    if (img->is_new)
        return {JobErrorKind::Input, "Error: the image has DMH headers; it is not of the old layout"};
    return {};
}

namespace {

std::string choices_text(const KV_DYNAMIC_FIELD& f)
{
    auto c = dynamic_field_choices(f);
    std::string s;
    for (size_t i = 0; i < c.size() && i < 12; ++i)
        s += (i ? ", " : "") + std::to_string(c[i]);
    if (c.size() > 12)
        s += ", ... " + std::to_string(c.back());
    return s;
}

std::string field_line(CTesselOldConfig& cfg, KV_DYNAMIC_ITEM* it, KV_DYNAMIC_FIELD* f,
                       const std::vector<uint8_t>& image)
{
    old_field_value_t v;
    std::string shown;
    const FieldKind kind = field_kind(f->type);
    if (cfg.read_field(it, f, image.data(), image.size(), &v) != 0)
        shown = "(" + cfg.last_message() + ")";
    else if (kind == FieldKind::number)
        shown = std::to_string(v.value);
    else if (kind == FieldKind::choice)
        shown = std::to_string(v.value) + (v.choice < 0 ? "  (not a choice)" : "") + "  [" + choices_text(*f) + "]";
    else
        shown = "\"" + cfg.screen_text(v) + "\"";
    const char* type = kind == FieldKind::number ? "number" : kind == FieldKind::choice ? "choice" : "text";
    char head[160];
    std::snprintf(head, sizeof head, "    %-19s %-6s bits %u+%-4u = ", f->name, type, f->bit_off, f->bit_len);
    std::string line = head + shown + "\n";
    if (it->em == 3 && f->desc[0])
        line += std::string("        ") + f->desc + "\n";
    return line;
}

}  // namespace

std::string old_config_listing(CTesselOldConfig& cfg, const std::vector<uint8_t>& image)
{
    std::string text;
    int n = 0;
    for (KV_DYNAMIC_ITEM* it = cfg.items(); it; it = it->next, ++n) {
        const char* what = it->em == 1   ? "  (block from a file: --file)"
                           : it->em == 2 ? "  (block from a hardware-info file: --file)"
                                         : "";
        char head[256];
        std::snprintf(head, sizeof head, "[%d] %-19s id 0x%02X  em %u  offset 0x%X  fields %u", n, it->name, it->id,
                      it->em, it->offset, it->field_count);
        text += head + std::string(what) + "\n";
        for (KV_DYNAMIC_FIELD* f = it->fields; f; f = f->next)
            text += field_line(cfg, it, f, image);
    }
    return text;
}

StepResult apply_field_settings(CTesselOldConfig& cfg, const std::vector<std::string>& sets,
                                std::vector<uint8_t>& image)
{
    for (const std::string& s : sets) {
        size_t dot = s.find('.'), eq = s.find('=');
        if (dot == std::string::npos || eq == std::string::npos || dot > eq)
            return {JobErrorKind::Usage, "Error: --set takes ITEM.FIELD=VALUE, not " + s};
        KV_DYNAMIC_ITEM* it = cfg.find_item(s.substr(0, dot));
        KV_DYNAMIC_FIELD* fl = CTesselOldConfig::find_field(it, s.substr(dot + 1, eq - dot - 1));
        if (!it || !fl)
            return {JobErrorKind::Usage, "Error: no field " + s.substr(0, eq) + " in the script"};
        if (cfg.set_field_from_text(it, fl, s.substr(eq + 1), image.data(), image.size()) != 0 ||
            cfg.update_crc(it, image.data(), image.size()) != 0)
            return {JobErrorKind::Failed, cfg.last_message()};
    }
    return {};
}

StepResult add_block_files(CTesselOldConfig& cfg, const std::vector<std::string>& files, old_generate_t* req)
{
    for (const std::string& s : files) {
        size_t eq = s.find('=');
        KV_DYNAMIC_ITEM* it = eq == std::string::npos ? nullptr : cfg.find_item(s.substr(0, eq));
        if (!it || (it->em != 1 && it->em != 2))
            return {JobErrorKind::Usage, "Error: --file takes ITEM=PATH for an item filled from a file, not " + s};
        req->files.emplace_back(it, s.substr(eq + 1));
    }
    return {};
}

}  // namespace tessel
