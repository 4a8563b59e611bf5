#include "ImageCommands.h"

#include "Workbook.h"

namespace tessel {

namespace {

// Where the settings file is, when it is missing: the likely cause of a
// workbook step that failed.
std::string ini_hint(const std::string& ini)
{
    std::string path;
    if (settings_file_state(ini, &path) == SettingsFile::Found)
        return "";
    return "\nsettings file: " + path + " (--ini names another)";
}

StepResult failed(const std::string& message, JobErrorKind kind = JobErrorKind::Failed) { return {kind, message}; }

StepResult save_flash(LoadedImage& l, const std::string& out)
{
    if (l.core.save_new_flash(l.img.bytes.data(), (uint32_t)l.img.bytes.size(), out) != 0)
        return core_failure(l.core);
    return {};
}

}  // namespace

StepResult write_image_workbook(LoadedImage& l, const std::string& out, const std::string& ini)
{
    l.core.set_workbook_path(out);
    if (l.core.generate_xls_fie(&l.node) != 1)
        return failed("Wrong binary file, can not create xls! (" + l.core.last_message() + ")" + ini_hint(ini));
    return {};
}

StepResult build_from_workbook(LoadedImage& l, const std::string& workbook, const std::string& out,
                               const std::string& ini)
{
    wb::Workbook book;
    std::string err;
    if (!wb::read_workbook(workbook, &book, &err))
        return failed("error open excel  file " + workbook + " (" + err + ")", JobErrorKind::Input);
    // The key sheets were written when their blocks exist.
    l.core.set_key_sheets(book.find("ucaskey") && l.core.get_block_info_by_name("ucaskey", 7),
                          book.find("crypto") && l.core.get_block_info_by_name("crypto", 6));
    l.core.set_workbook_path(workbook);
    if (l.core.read_xls_file(&l.node) != 0)
        return failed("xls file error,can not create new flash (" + l.core.last_message() + ")" + ini_hint(ini));
    return save_flash(l, out);
}

StepResult save_image_block(LoadedImage& l, const std::string& name, uint8_t id, const std::string& out)
{
    if (l.core.save_block(l.img.bytes.data(), (uint32_t)l.img.bytes.size(), name, id, out) != 0)
        return core_failure(l.core);
    return {};
}

StepResult load_image_block(LoadedImage& l, const std::string& name, uint8_t id, const std::string& file,
                            const std::string& out)
{
    if (l.core.load_block(name, id, file) != 0)
        return core_failure(l.core, JobErrorKind::Input);
    return save_flash(l, out);
}

StepResult export_config_area(LoadedImage& l, const std::string& out)
{
    if (l.core.export_config_area(l.img.bytes, out) != 0)
        return core_failure(l.core);
    return {};
}

}  // namespace tessel
