// The configuration script parser against a fixed block table.
#include "Tesselcore.h"
#include "smoke.h"

#include <cstring>
#include <string>

static const std::vector<uint8_t>& image()
{
    static std::vector<uint8_t> img = [] {
        std::vector<uint8_t> v(8192, 0x5A);
        std::memcpy(v.data(), tessel::kDmhMarker, 12);
        v[24] = 2;
        v[26] = 48;
        for (int k = 0; k < 2; ++k) {
            uint8_t* e = v.data() + 28 + 48 * k;
            std::memset(e, 0, 48);
            e[0] = k ? 0xE0 : 0x30;
            tessel::wr32(e + 4, 0x400 + 0x400 * k);
            tessel::wr32(e + 8, 0x100);
            std::memcpy(e + 24, k ? "ir" : "sys", k ? 2 : 3);
        }
        tessel::wr32(v.data() + 0x800, 3);
        return v;
    }();
    return img;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CTesselcore core;
    tag_dmh_block_node node{};
    const auto& img = image();
    core.scan_flash(img.data(), (uint32_t)img.size(), &node);
    core.read_config_script_text(std::string(reinterpret_cast<const char*>(data), size));
    core.free_block_node(&node);
    return 0;
}

std::vector<std::vector<uint8_t>> fuzz_seeds()
{
    std::string s = "CFGHEADER=toolcfg\nSHEETID=3\nSHEETINFO=Name][Value]\nBLOCKINFO=sys]\nOFFSET=4\nEM=1\nINDEX=30\n"
                    "##[a][0][3][2][note],[b][2][8][16][0][100][n],[c][1][96][64][t]##\n"
                    "SHEETID=2\nBLOCKINFO=ir]\nINDEX=e0\n[k][0][0][8] [l][0][0][8];\n";
    return {std::vector<uint8_t>(s.begin(), s.end())};
}
