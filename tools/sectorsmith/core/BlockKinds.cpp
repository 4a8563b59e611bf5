#include "BlockKinds.h"

#include <cstdlib>

namespace sectorsmith {

namespace {

const FileDialogKind kBin{"bin", "BIN files(*.bin)|*.bin|All   files   (*.*)|*.*||"};
const FileDialogKind kImg{"img", "IMG files(*.img)|*.img|All   files   (*.*)|*.*||"};
const FileDialogKind kM2v{"m2v", "M2V files(*.m2v)|*.m2v|All   files   (*.*)|*.*||"};
const FileDialogKind kJpg{"jpg", "JPG files(*.jpg)|*.jpg|All   files   (*.*)|*.*||"};

}  // namespace

const std::vector<BlockKind>& block_kinds()
{
    static const std::vector<BlockKind> kinds = {
        {"Application", "Burn into a img file.", "application", &kImg, 0x88},
        {"Flash", "Burn into a flash binary file.", "", &kBin, kWholeFlashId},
        {"Back Logo", "Burn into a logo.m2v file.", "back-logo", &kM2v, 0x94},
        {"Dbase", "Burn into a preset binary file.", "dbase", &kBin, 0x9C},
        {"Key", "Burn into a ucaskey binary file.", "key", &kBin, 0xAC},
        {"Radio Logo", "Burn into a radio.m2v file.", "radio-logo", &kM2v, 0x95},
        {"SSDATA", "Burn into a ssdata binary file.", "ssdata", &kBin, 0x98},
        {"IR", "Burn into a IR1 binary file.", "ir", &kBin, 0xAE},
        {"Start Logo", "Burn into a jpg file.", "start-logo", &kJpg, 0x93},
    };
    return kinds;
}

const BlockKind* find_kind(uint8_t id)
{
    for (const BlockKind& k : block_kinds())
        if (k.id == id)
            return &k;
    return nullptr;
}

const BlockKind* find_kind(const std::string& cli_name)
{
    for (const BlockKind& k : block_kinds())
        if (*k.cli_name && cli_name == k.cli_name)
            return &k;
    return nullptr;
}

bool kind_enabled(const BlockKind& kind, const bootlink::Platform& p)
{
    using bootlink::Family;
    switch (kind.id) {
    case 0xAC: return p.family != Family::Alder;
    case 0x98:
    case 0xAE: return p.family == Family::Alder;
    case 0x93: return p.family == Family::Dogwood || p.family == Family::Cedar;
    default: return true;
    }
}

bool parse_block(const std::string& text, uint8_t* id, std::string* error)
{
    if (const BlockKind* k = find_kind(text)) {
        *id = k->id;
        return true;
    }
    char* end = nullptr;
    unsigned long v = text.empty() ? 0 : std::strtoul(text.c_str(), &end, 0);
    if (text.empty() || text[0] == '-' || !end || *end != '\0' || v > 0xFF) {
        std::string names;
        for (const BlockKind& k : block_kinds())
            if (*k.cli_name)
                names += std::string(names.empty() ? "" : ", ") + k.cli_name;
        *error = "unknown block \"" + text + "\": give one of " + names + " or an ID such as 0x88";
        return false;
    }
    if (v == kWholeFlashId) {
        *error = "0xFF is the whole flash: use --flash IMAGE";
        return false;
    }
    *id = uint8_t(v);
    return true;
}

const std::vector<int>& project_types() { return bootlink::block_upgrade_types(); }

}  // namespace sectorsmith
