// Synthetic flash images for the configuration-core suites.
#pragma once

#include "Tesselcore.h"
#include "kvcrc.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ScratchDir.h"

#include <unistd.h>

namespace tb {

struct Block {
    uint8_t id = 0;
    std::string name;
    uint32_t offset = 0;  // from the DMH header
    std::vector<uint8_t> data;
    bool ncrc = false;
    uint32_t size_override = 0;  // nonzero: entry size differs from data
};

struct Dmh {
    uint32_t addr = 0;
    uint32_t sdram = 0x04000000;
    uint8_t entry_size_byte = 48;
    std::vector<Block> blocks;
};

inline void put32(uint8_t* p, uint32_t v) { tessel::wr32(p, v); }

inline std::vector<uint8_t> build(size_t len, const std::vector<Dmh>& dmhs)
{
    std::vector<uint8_t> img(len, 0xFF);
    for (const auto& d : dmhs) {
        uint8_t* h = img.data() + d.addr;
        std::memset(h, 0, 28);
        std::memcpy(h, tessel::kDmhMarker, 12);
        put32(h + 12, 0x11223344);
        put32(h + 16, d.sdram);
        h[24] = (uint8_t)d.blocks.size();
        h[26] = d.entry_size_byte;
        for (size_t k = 0; k < d.blocks.size(); ++k) {
            const Block& b = d.blocks[k];
            uint8_t* e = h + 28 + 48 * k;
            std::memset(e, 0, 48);
            e[0] = b.id;
            e[1] = 0xA5;  // kept as found
            put32(e + 4, b.offset);
            put32(e + 8, b.size_override ? b.size_override : (uint32_t)b.data.size());
            if (b.ncrc)
                std::memcpy(e + 12, "NCRC", 4);
            else
                put32(e + 12, kv::crc32(b.data.data(), b.data.size()));
            std::memcpy(e + 16, "v1.0", 4);
            std::strncpy(reinterpret_cast<char*>(e + 24), b.name.c_str(), 8);
            std::memcpy(e + 32, "20261207", 8);
            put32(e + 44, 0xCAFEF00D);
            if ((size_t)d.addr + b.offset + b.data.size() <= len && !b.data.empty())
                std::memcpy(img.data() + d.addr + b.offset, b.data.data(), b.data.size());
        }
    }
    return img;
}

inline std::vector<uint8_t> bytes(size_t n, uint8_t seed)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = (uint8_t)(seed + i * 7);
    return v;
}

class ScratchDir : public testsupport::ScratchDir {
public:
    ScratchDir() : testsupport::ScratchDir("corvane-tessel") {}
};

inline std::vector<uint8_t> slurp(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline void spit(const std::string& path, const void* data, size_t len)
{
    std::ofstream f(path, std::ios::binary);
    f.write(static_cast<const char*>(data), (std::streamsize)len);
}

using testsupport::run_python;

// A node that frees itself.
struct Node {
    CTesselcore& core;
    tag_dmh_block_node n{};
    explicit Node(CTesselcore& c) : core(c) {}
    ~Node() { core.free_block_node(&n); }
};

}  // namespace tb
