// Writes a small new-type flash image with an embedded configuration script,
// and a settings file, for the command-line test: make_sample DIR
#include "ImageBuilder.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_sample DIR\n");
        return 2;
    }
    std::string dir = argv[1];
    const std::string script = "CFGHEADER=toolcfg\n"
                               "SHEETID=3\n"
                               "SHEETINFO=Name][Value][Min][Max]\n"
                               "BLOCKINFO=sys]\n"
                               "OFFSET=0\n"
                               "INDEX=30\n"
                               "[volume][2][0][8][0][100],[mode][0][8][4],[label][1][16][64]\n";
    std::vector<uint8_t> gz;
    tessel::gzip_compress(reinterpret_cast<const uint8_t*>(script.data()), script.size(), &gz);
    std::vector<uint8_t> sys(16, 0);
    sys[0] = 40;
    sys[1] = 0xF3;
    std::memcpy(sys.data() + 2, "BOX", 3);
    std::string version = "V1.2.3 sample";
    tb::Dmh d;
    d.addr = 0x20000;
    d.blocks.push_back({0x01, "toolcfg", 0x1000, gz});
    d.blocks.push_back({0x30, "sys", 0x2000, sys});
    d.blocks.push_back({0x02, "ssdata", 0x3000, std::vector<uint8_t>(version.begin(), version.end())});
    d.blocks.push_back({0xA4, "kernel", 0x10000, tb::bytes(0x800, 4)});
    d.blocks.back().ncrc = true;
    auto img = tb::build(0x80000, {d});
    tb::spit(dir + "/sample.bin", img.data(), img.size());
    const std::string ini = "[Tessel]\nNew_ucakey=false\nBISS_MAX_KEYINFOS=4\n";
    tb::spit(dir + "/corvane.ini", ini.data(), ini.size());
    std::vector<uint8_t> bad = img;
    bad.push_back(0);
    tb::spit(dir + "/odd.bin", bad.data(), bad.size());
    return 0;
}
