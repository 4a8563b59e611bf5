// The DMH scan, the script unpacking and the rebuild on arbitrary images.
#include "Tesselcore.h"
#include "smoke.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > (1u << 20))
        return 0;
    CTesselcore core;
    tag_dmh_block_node node{};
    int rc = core.scan_flash(data, (uint32_t)size, &node);
    if (rc == 1) {
        core.parse_flash(data, (uint32_t)size);
        std::vector<uint8_t> out;
        core.rebuild_flash(data, (uint32_t)size, &out);
    } else {
        tessel_old_image_t old;
        core.read_old_layout(data, size, &old);
    }
    core.free_block_node(&node);
    return 0;
}

std::vector<std::vector<uint8_t>> fuzz_seeds()
{
    std::vector<uint8_t> img(4096, 0xFF);
    std::memcpy(img.data() + 64, tessel::kDmhMarker, 12);
    img[64 + 24] = 2;
    img[64 + 26] = 48;
    for (int k = 0; k < 2; ++k) {
        uint8_t* e = img.data() + 64 + 28 + 48 * k;
        std::memset(e, 0, 48);
        e[0] = (uint8_t)(0xA4 + k);
        tessel::wr32(e + 4, 0x200 + 0x100 * k);
        tessel::wr32(e + 8, 0x80);
        std::memcpy(e + 24, k ? "toolcfg" : "sys", k ? 7 : 3);
    }
    std::string s = "CFGHEADER=toolcfg\n";
    std::vector<uint8_t> gz;
    tessel::gzip_compress(reinterpret_cast<const uint8_t*>(s.data()), s.size(), &gz);
    std::memcpy(img.data() + 64 + 0x300, gz.data(), gz.size());
    tessel::wr32(img.data() + 64 + 28 + 48 + 8, (uint32_t)gz.size());
    std::vector<uint8_t> old(1024, 0);
    tessel::wr32(old.data() + 8, 0x40);
    old[0x40 + 5] = 0x04;  // flash size 1024
    old[0x40 + 8] = 1;
    return {img, old};
}
