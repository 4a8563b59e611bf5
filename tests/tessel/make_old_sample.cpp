// Writes an old-layout image, its script named after the software version,
// a logo file and a key file: make_old_sample DIR
#include "OldImage.h"

#include <cstdio>
#include <fstream>

static void put(const std::string& path, const std::vector<uint8_t>& b)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), (long)b.size());
}

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_old_sample DIR\n");
        return 2;
    }
    std::string dir = argv[1];
    oi::Layout l;
    std::string version = "V1.2.3";
    std::vector<uint8_t> ss(version.begin(), version.end());
    ss.resize(32, 0);
    std::vector<uint8_t> settings(16, 0);
    settings[0] = 40;
    settings[1] = 0x05;
    std::memcpy(settings.data() + 2, "BOX", 3);
    l.blocks.push_back({0x20, 1, 0x70000, oi::pattern(0x100, 1), "tail"});
    l.blocks.push_back({0x02, 0, 0x1000, ss, "ssdata"});
    l.blocks.push_back({0x10, 0, 0x1020, oi::pattern(100, 2), "logo"});
    l.blocks.push_back({0x30, 0, 0x1084, settings, "settings"});
    l.blocks.push_back({0x12, 1, 0x10000, oi::pattern(0x200, 4), "kernel", true});
    put(dir + "/old.bin", oi::build(l));
    const std::string script = "FLASH=512K\n"
                               "ID=0x30\nEM=0\nname=settings\nOFFSET=0\n"
                               "##[volume][0][0][8],[mode][2][8][4][0][10][5],[label][1][16][48]##\n"
                               "ID=0x10\nEM=1\nname=logo\n";
    std::ofstream(dir + "/V1.2.3") << script;
    put(dir + "/logo.bin", oi::pattern(150, 9));
    put(dir + "/key.pub", oi::pattern(198, 3));
    put(dir + "/key199.pub", oi::pattern(199, 3));
    return 0;
}
