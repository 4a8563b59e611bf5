#include "StampaPlatform.h"

#include <algorithm>
#include <cctype>

namespace stampa {

namespace {

const PlatformInfo kPlatforms[] = {
    {Platform::Alder, "Alder", "StampaAlder", "StampaAlder", SyncKind::AnyRotation, 12, false, false, "BurningInfo.csv",
     "BurningInfo.csv", 0, kDefaultWidth},
    {Platform::Birch, "Birch", "CStampaBirchCommon", "StampaBirchCommon", SyncKind::BootRom, -1, false, false, "", "",
     0, 12},
    {Platform::Dogwood, "Dogwood", "CStampaDogwood", "StampaDogwood", SyncKind::Exact, 0, false, false,
     "BurningInfo_Dogwood.csv", "BurningInfo_Dogwood.csv", 0, kDefaultWidth},
    {Platform::Cedar, "Cedar", "CStampaCedar", "StampaCedar", SyncKind::Within8, 0, true, true, "BurningInfo_cedar.csv",
     "BurningInfo_Cedar.csv", 32, kDefaultWidth},
};

std::string lower(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

const PlatformInfo& platform_info(Platform p) { return kPlatforms[static_cast<int>(p)]; }

bool platform_from_key(const std::string& key, Platform* out)
{
    for (const PlatformInfo& i : kPlatforms) {
        if (lower(key) == lower(i.key)) {
            *out = i.id;
            return true;
        }
    }
    return false;
}

std::string platform_name(Platform p) { return lower(platform_info(p).key); }

std::vector<Platform> parse_project_types(const std::string& value)
{
    std::string v;
    for (char c : value)
        if (!std::isspace(static_cast<unsigned char>(c)))
            v += c;
    std::vector<Platform> out;
    size_t at = 0;
    while (at <= v.size() && !v.empty()) {
        size_t comma = v.find(',', at);
        std::string key = v.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        Platform p;
        if (platform_from_key(key, &p))
            out.push_back(p);
        if (comma == std::string::npos)
            break;
        at = comma + 1;
    }
    if (out.empty())
        out = {Platform::Alder, Platform::Birch};
    return out;
}

const std::vector<std::string>& input_type_names()
{
    static const std::vector<std::string> names = {"Manual", "Scan", "Auto", "File"};
    return names;
}

}  // namespace stampa
