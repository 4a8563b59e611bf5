#include "OtaSettings.h"

#include "KvBasicCfgIni.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <strings.h>

namespace ota {

const char* project_name(int project)
{
    static const char* const names[] = {"DVBS", "ABS", "DSMCC"};
    return project >= 0 && project < 3 ? names[project] : "";
}

std::string ota_setting(const CKvBasicCfgIni& ini, const std::string& key, const std::string& fallback)
{
    std::string v = ini.GetValue(kSettingsSection, key);
    if (v.empty())
        return fallback;
    v.resize(std::min(v.size(), kMaxSettingLength));
    v.erase(std::remove(v.begin(), v.end(), ' '), v.end());
    return v.empty() ? fallback : v;
}

std::vector<std::string> split_list(const std::string& text)
{
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t comma = std::min(text.find(',', start), text.size());
        out.push_back(text.substr(start, comma - start));
        start = comma + 1;
    }
    return out;
}

OtaStreamerSettings read_ota_settings(const CKvBasicCfgIni& ini)
{
    OtaStreamerSettings s;
    for (const auto& name : split_list(ota_setting(ini, "Project_list", kDefaultProjectList)))
        for (int p = kProjectDvbs; p <= kProjectDsmcc; ++p)
            if (strcasecmp(name.c_str(), project_name(p)) == 0 &&
                std::find(s.projects.begin(), s.projects.end(), p) == s.projects.end())
                s.projects.push_back(p);
    const auto ids = split_list(ota_setting(ini, "Upg_mode_id", kDefaultModeIds));
    const auto names = split_list(ota_setting(ini, "Upg_mode_name", kDefaultModeNames));
    for (size_t i = 0; i < std::min(ids.size(), names.size()); ++i) {
        if (ids[i].empty() || names[i].empty())
            continue;
        char* end = nullptr;
        const unsigned long id = std::strtoul(ids[i].c_str(), &end, 16);
        if (end && *end == '\0' && id <= 0xFF)
            s.modes.push_back({static_cast<uint8_t>(id), names[i]});
    }
    return s;
}

}  // namespace ota
