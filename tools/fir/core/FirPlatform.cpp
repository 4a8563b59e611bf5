#include "FirPlatform.h"

#include <cctype>

namespace fir {

namespace {

const PlatformTraits kTraits[kPlatformCount] = {
    {"base", "Base platform", 464, 1564, false, true, false, "fir.bin", 10500, 0},
    {"alder", "Alder", 464, 1564, true, false, true, "fir_alder.bin", 10500, 1},
    {"dogwood", "Dogwood", 480, 1580, false, false, true, "fir_dg.bin", 50000, 2},
};

}  // namespace

const PlatformTraits& traits(Platform p) { return kTraits[static_cast<int>(p)]; }

bool platform_from_index(int index, Platform* out)
{
    if (index < 0 || index >= kPlatformCount)
        return false;
    *out = static_cast<Platform>(index);
    return true;
}

bool platform_from_name(std::string_view name, Platform* out)
{
    for (int i = 0; i < kPlatformCount; ++i) {
        std::string_view id = kTraits[i].id;
        if (id.size() != name.size())
            continue;
        bool same = true;
        for (size_t k = 0; k < id.size() && same; ++k)
            same = std::tolower(static_cast<unsigned char>(name[k])) == id[k];
        if (same) {
            *out = static_cast<Platform>(i);
            return true;
        }
    }
    return false;
}

}  // namespace fir
