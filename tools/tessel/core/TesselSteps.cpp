#include "TesselSteps.h"

#include "KvBasicCfgIni.h"

#include <cstdio>

namespace tessel {

bool internal_mode_from_settings()
{
    CKvBasicCfgIni ini;
    if (!ini.SetFileName(CKvBasicCfgIni::path_in_root("corvane.ini")))
        return false;
    std::string v;
    for (char c : ini.GetValue("Tessel", "Internal_tool_control"))
        if (c != ' ')
            v += c;
    return v == "1";
}

std::vector<std::string> block_row_cells(const tessel_block_row_t& r)
{
    char id[8], size[16], crc[16];
    std::snprintf(id, sizeof id, "%02X", r.id);
    std::snprintf(size, sizeof size, "%X", r.size);
    std::snprintf(crc, sizeof crc, "%08X", r.crc);
    return {id, size, crc, r.name, r.version, r.time};
}

std::string write_new_workbook(CTesselcore& core, tag_dmh_block_node* node, const uint8_t* image, uint32_t len,
                               const std::string& script)
{
    if (script.empty() && core.parse_flash(image, len) != 0)
        return "Wrong binary file, can not parse it!";
    if (core.read_config_script(script) != 0)
        return "Wrong binary file, script error!";
    if (core.generate_xls_fie(node) == 0)
        return "Wrong binary file, can not create xls!";
    return {};
}

}  // namespace tessel
