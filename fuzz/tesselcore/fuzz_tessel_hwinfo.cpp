// The hardware-info parser.
#include "Tesselcore.h"
#include "smoke.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CTesselcore core;
    uint8_t panel[tessel::kPanelRecordSize], led[tessel::kLedMapSize];
    core.hw_info_parser_text(panel, led, std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}

std::vector<std::vector<uint8_t>> fuzz_seeds()
{
    std::string s = "x\npanel starts\n01, 02,\t03,##\n// c\nled starts\n{'0', 0x3f},{' ', 0},\n----\n{'a',7},##\n";
    return {std::vector<uint8_t>(s.begin(), s.end())};
}
