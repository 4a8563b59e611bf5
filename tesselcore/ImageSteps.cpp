#include "ImageSteps.h"

#include "KvBasicCfgIni.h"

#include <cstdio>

namespace tessel {

StepResult core_failure(const CTesselcore& core, JobErrorKind kind)
{
    StepResult r{kind, core.last_message()};
    if (!core.last_detail().empty())
        r.message = core.last_detail() + "\n" + r.message;
    return r;
}

StepResult load_image_file(const std::string& path, const std::string& ini, const std::string& code_page,
                           LoadedImage* l)
{
    if (!ini.empty())
        l->core.set_ini_path(ini);
    if (!code_page.empty()) {
        kv::CodePage cp(code_page);
        if (!cp.valid())
            return {JobErrorKind::Usage, "Error: unknown code page " + code_page};
        l->core.set_code_page(cp);
    }
    if (l->core.load_image(path, &l->img, &l->node) != 0)
        return core_failure(l->core, JobErrorKind::Input);
    return {};
}

StepResult need_new_layout(const LoadedImage& l)
{
    if (l.img.is_new)
        return {};
    return {JobErrorKind::Input, "Error: the image has no DMH header of the new type"};
}

StepResult read_image_script(LoadedImage* l, const std::string& script)
{
    if (script.empty() && l->core.parse_flash(l->img.bytes.data(), (uint32_t)l->img.bytes.size()) != 0)
        return {JobErrorKind::Input, "Wrong binary file, can not parse it! (" + l->core.last_message() + ")"};
    if (l->core.read_config_script(script) != 0)
        return {JobErrorKind::Input, "Wrong binary file, script error! (" + l->core.last_message() + ")"};
    return {};
}

namespace {

template <class... Args>
void append(std::string* out, const char* format, Args... args)
{
    char line[512];
    std::snprintf(line, sizeof line, format, args...);
    *out += line;
}

}  // namespace

std::string image_info_text(const LoadedImage& l)
{
    const tessel_image_t& img = l.img;
    std::string t;
    append(&t, "Image type:       %s\n", img.is_new ? "new (DMH)" : "old");
    append(&t, "SDRAM Size:       0x%X\n", img.sdram_size);
    append(&t, "Flash Size:       0x%X\n", img.flash_size);
    append(&t, "Block Number:     %u\n", img.block_count);
    t += "Software Version: " + img.version + "\n";
    if (!img.is_new)
        append(&t, "Config Area:      0x%X, 0x%X bytes\n", img.old.cfg_offset, img.old.cfg_size);
    append(&t, "ID  Size      CRC       Name      Version   Time          Offset%s\n", img.is_new ? "    DMH" : "");
    for (const tessel_block_row_t& r : CTesselcore::describe_blocks(img, l.node)) {
        append(&t, "%02X  %8X  %08X  %-8s  %-8s  %-12s  %8X", r.id, r.size, r.crc, r.name.c_str(), r.version.c_str(),
               r.time.c_str(), r.offset);
        if (img.is_new)
            append(&t, "  %u@0x%X", r.dmh_seq, r.dmh_addr);
        t += "\n";
    }
    return t;
}

SettingsFile settings_file_state(const std::string& ini, std::string* path)
{
    const std::string p = ini.empty() ? CKvBasicCfgIni::path_in_root("corvane.ini") : ini;
    if (path)
        *path = p;
    CKvBasicCfgIni file;
    return p.size() < 4096 && file.SetFileName(p) ? SettingsFile::Found : SettingsFile::Missing;
}

bool parse_block_id(const std::string& text, uint8_t* id)
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

}  // namespace tessel
