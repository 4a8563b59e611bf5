#include "Platform.h"

#include "ByteOrder.h"

namespace bootlink {

namespace {

constexpr uint32_t kDdrLoad = 0x80008000u;  // Dogwood and Elm clients run here
constexpr uint32_t kCedarLoad = 0x80100000u;  // Cedar clients run here

// clang-format off
constexpr Platform kPlatforms[kProjectTypes] = {
    {0, "Base",           Family::Base,    115200, BringUp::None,             "",
     "upgclient.bin",       ProgramLoad::Header,      0,          false, 30500, DumpPath::Shell,  false},
    {1, "Alder",          Family::Alder,   38400,  BringUp::AlderBootInit,    "boot_init.img",
     "upgclient_alder.bin", ProgramLoad::AlderBlocks, 0,          false, 10000, DumpPath::Client, true},
    {2, "Dogwood-400",    Family::Dogwood, 115200, BringUp::DdrCalibration,   "chip_ddrconf_dogwood_400.txt",
     "upgclient_dg.bin",    ProgramLoad::Header,      kDdrLoad,   false, 30500, DumpPath::Client, false},
    {3, "Dogwood-333",    Family::Dogwood, 115200, BringUp::DdrCalibration,   "chip_ddrconf_dogwood_333.txt",
     "upgclient_dg.bin",    ProgramLoad::Header,      kDdrLoad,   false, 30500, DumpPath::Client, false},
    {4, "Elm-DDR2",       Family::Elm,     115200, BringUp::CacheCalibration, "ddr2_cache_cal.img",
     "upgclient_elm.bin",   ProgramLoad::Header,      kDdrLoad,   false, 30500, DumpPath::Client, false},
    {5, "Elm-DDR3",       Family::Elm,     115200, BringUp::CacheCalibration, "ddr3_cache_cal.img",
     "upgclient_elm.bin",   ProgramLoad::Header,      kDdrLoad,   false, 30500, DumpPath::Client, false},
    {6, "Cedar-DDR2",     Family::Cedar,   38400,  BringUp::CedarBootInit,    "btinit_ddr2_cedar.img",
     "upgclient_cedar.bin", ProgramLoad::Header,      kCedarLoad, true,  31500, DumpPath::Client, false},
    {7, "Cedar-DDR3",     Family::Cedar,   38400,  BringUp::CedarBootInit,    "btinit_ddr3_cedar.img",
     "upgclient_cedar.bin", ProgramLoad::Header,      kCedarLoad, true,  31500, DumpPath::Client, false},
};
// clang-format on

}  // namespace

const Platform* find_platform(int type)
{
    if (type < 0 || type >= kProjectTypes)
        return nullptr;
    return &kPlatforms[type];
}

const Platform& platform(int type)
{
    const Platform* p = find_platform(type);
    return p ? *p : kPlatforms[0];
}

std::string list_text(const Platform& p) { return std::to_string(p.type) + ": " + p.name; }

std::vector<uint8_t> load_header(const Platform& p, uint32_t program_len)
{
    std::vector<uint8_t> h;
    if (p.client_load != ProgramLoad::Header)
        return h;
    kv::append_le32(h, program_len);
    kv::append_le32(h, p.load_address);
    kv::append_le32(h, p.load_address);
    if (p.header_repeats_length)
        kv::append_le32(h, program_len);
    return h;
}

const std::vector<int>& all_project_types()
{
    static const std::vector<int> v = {0, 1, 2, 3, 4, 5, 6, 7};
    return v;
}

const std::vector<int>& block_upgrade_types()
{
    static const std::vector<int> v = {0, 1, 2, 6, 7};
    return v;
}

const std::vector<int>& front_panel_types()
{
    static const std::vector<int> v = {0, 1, 2};
    return v;
}

int type_at(const std::vector<int>& view, int position)
{
    if (position < 0 || static_cast<size_t>(position) >= view.size())
        return -1;
    return view[static_cast<size_t>(position)];
}

}  // namespace bootlink
