#include "OtaRecords.h"

#include <cctype>
#include <cstdlib>

namespace ota {

bool parse_hex(const std::string& text, uint32_t& value)
{
    const size_t i = text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0 ? 2 : 0;
    if (i >= text.size() || text.size() - i > 8)
        return false;
    for (size_t k = i; k < text.size(); ++k)
        if (!std::isxdigit(static_cast<unsigned char>(text[k])))
            return false;
    value = static_cast<uint32_t>(std::strtoul(text.c_str() + i, nullptr, 16));
    return true;
}

bool dsmcc_info_from_dvbs(const dvbs_upg_info_t& d, dsmcc_upg_info_t& out, std::string& error)
{
    if (d.oui > 0xFFFFFF)
        error = "OUI beyond 24 bits";
    else if (d.sw_model_id > 0xFFFF)
        error = "SW model id beyond 16 bits";
    else if (d.hw_model_id > 0xFFFF)
        error = "HW model id beyond 16 bits";
    if (!error.empty())
        return false;
    out = dsmcc_upg_info_t{};
    out.oui = d.oui;
    out.sw_version = d.sw_version;
    out.hw_version = d.hw_version;
    out.sw_model_id = static_cast<uint16_t>(d.sw_model_id);
    out.hw_model_id = static_cast<uint16_t>(d.hw_model_id);
    out.upg_mode_id = d.upg_mode_id;
    out.sn_start = 0;
    out.sn_end = 0xFFFFFFFFu;
    return true;
}

}  // namespace ota
