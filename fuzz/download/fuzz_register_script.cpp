// The register scripts of a DDR configuration text ("chip_ddrconf"): the
// sections the calibration reads, and its settings.
#include "BootInit.h"
#include "BootRom.h"
#include "smoke.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (const char* section : {"#INIT_REGS#", "#CONFIG_REGS#", "#CONFIG_SETTING#"}) {
        bootlink::RegisterList list;
        if (!bootlink::parse_register_list(text, section, &list))
            continue;
        if (list.count() > bootlink::kMaxRegisterEntries)
            std::abort();
        for (const auto& e : list.entries) {
            uint32_t v = 0;
            if (e.name.size() > bootlink::kMaxRegisterName || bootlink::find_register(list, e.name, &v) != 0)
                std::abort();  // every entry's name is kept and found
        }
    }
    bootlink::DdrSettings settings;
    bootlink::read_ddr_settings(text, &settings);
    return 0;
}

std::vector<std::vector<uint8_t>> fuzz_seeds()
{
    const std::string s = "// chip\r\n#CONFIG_SETTING#\r\nCALIBRATION_METHOD=1\r\nSCAN_MODE=0\r\nNO_CALIBRATION=0\r\n"
                          "DEVICE_SELECT=2\r\nCLOCK_OFFSET=fffffffe\r\nRDCLK_DLY_MAX=20\r\n#INIT_REGS#\r\n"
                          "bfd70014=1\r\nsleep=10\r\n/bfd70018=2\r\n#CONFIG_REGS#\nbfd7001c=ffff\n\n#END#\n";
    return {std::vector<uint8_t>(s.begin(), s.end())};
}
