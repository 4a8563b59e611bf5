// Synthetic old-layout images: a block header with its 48-byte entries and a
// configuration area, for the tessel suites.
#pragma once

#include "Tesselcore.h"
#include "kvcrc.h"

#include <cstring>
#include <string>
#include <vector>

namespace oi {

struct Block {
    uint8_t id = 0;
    uint8_t byte1 = 0;  // 1: starts on 64 KiB, the first such block begins the reserved tail
    uint32_t offset = 0;
    std::vector<uint8_t> data;
    std::string name;
    bool ncrc = false;
    std::string version = "v1";
};

struct Layout {
    uint32_t len = 0x80000;
    uint32_t header_pos = 0x100;
    uint32_t cfg_offset = 0x400;
    uint32_t cfg_size = 0x400;
    std::vector<Block> blocks;
};

inline std::vector<uint8_t> pattern(size_t n, uint8_t seed)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = (uint8_t)(seed + i * 13);
    return v;
}

inline uint8_t* entry(std::vector<uint8_t>& img, const Layout& l, size_t k)
{
    return img.data() + l.header_pos + 12 + 48 * k;
}

inline std::vector<uint8_t> build(const Layout& l)
{
    std::vector<uint8_t> img(l.len, 0xFF);
    std::memset(img.data(), 0, 64);
    tessel::wr32(img.data() + 8, l.header_pos);
    tessel::wr32(img.data() + 28, l.cfg_offset);
    tessel::wr32(img.data() + 32, l.cfg_size);
    uint8_t* h = img.data() + l.header_pos;
    std::memset(h, 0, 12 + 48 * l.blocks.size());
    h[0] = 0x00;  // SDRAM 64 MiB: 0 + 65536 * 0x400 does not fit a byte; 32 MiB = 512 * 65536
    h[2] = 0x80;  // 0x80 * 65536 = 8 MiB
    h[4] = (uint8_t)(l.len % 65536);
    h[6] = (uint8_t)(l.len / 65536);
    h[8] = (uint8_t)l.blocks.size();
    for (size_t k = 0; k < l.blocks.size(); ++k) {
        const Block& b = l.blocks[k];
        uint8_t* e = h + 12 + 48 * k;
        e[0] = b.id;
        e[1] = b.byte1;
        tessel::wr32(e + 4, b.offset);
        tessel::wr32(e + 8, (uint32_t)b.data.size());
        if (b.ncrc)
            std::memcpy(e + 12, "NCRC", 4);
        else
            tessel::wr32(e + 12, kv::crc32(b.data.data(), b.data.size()));
        std::strncpy(reinterpret_cast<char*>(e + 16), b.version.c_str(), 8);
        std::strncpy(reinterpret_cast<char*>(e + 24), b.name.c_str(), 8);
        std::memcpy(e + 32, "202612071200", 12);
        if (!b.data.empty())
            std::memcpy(img.data() + b.offset, b.data.data(), b.data.size());
    }
    std::memset(img.data() + l.cfg_offset, 0, l.cfg_size);
    return img;
}

}  // namespace oi
