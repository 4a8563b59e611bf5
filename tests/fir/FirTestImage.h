// Flash images for the front-panel suites, written byte by byte: DMH headers
// with their marker and 48-byte entries, block data at chosen offsets, and a
// configuration script packed by the gzip program itself. CRCs come from
// zlib, not from our own CRC code.
#pragma once

#include "ScratchDir.h"

#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace firtest {

struct Block {
    uint8_t id = 0;
    uint32_t offset = 0;  // from the DMH header
    std::vector<uint8_t> data;
    bool ncrc = false;
};

inline void le16(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void le32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}
inline uint32_t rd32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

// The box's CRC: the register starts at all ones and is not complemented at
// the end, i.e. the complement of the textbook CRC-32.
inline uint32_t box_crc(const uint8_t* data, size_t len) { return ~uint32_t(crc32(0L, data, uInt(len))); }

// Writes a DMH at `at` and its blocks; every CRC field starts wrong (0xDEADBEEF)
// unless `good_crc`.
inline void put_dmh(std::vector<uint8_t>& img, size_t at, const std::vector<Block>& blocks, bool good_crc = false)
{
    uint8_t* h = img.data() + at;
    std::memcpy(h, "*^_^*DM(^o^)", 12);
    le32(h + 12, 0);
    le32(h + 16, 0x04000000);
    le16(h + 24, uint32_t(blocks.size()));
    le16(h + 26, 48);
    for (size_t k = 0; k < blocks.size(); ++k) {
        const Block& b = blocks[k];
        uint8_t* e = h + 28 + 48 * k;
        std::memset(e, 0, 48);
        e[0] = b.id;
        le32(e + 4, b.offset);
        le32(e + 8, uint32_t(b.data.size()));
        if (b.ncrc)
            std::memcpy(e + 12, "NCRC", 4);
        else
            le32(e + 12, good_crc ? box_crc(b.data.data(), b.data.size()) : 0xDEADBEEF);
        std::memcpy(e + 24, "fir", 3);
        std::memcpy(img.data() + at + b.offset, b.data.data(), b.data.size());
    }
}

inline std::vector<uint8_t> slurp(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline void spit(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// The script packed by "gzip -n -9".
inline std::vector<uint8_t> gzip_text(const testsupport::ScratchDir& dir, const std::string& text)
{
    const std::string plain = dir.file("script.cfg");
    std::ofstream(plain, std::ios::binary) << text;
    std::system(("gzip -n -9 -f '" + plain + "'").c_str());
    return slurp(plain + ".gz");
}

// A script naming `ir1`, `ir2` and `fp` keys, with the usual header. Item
// lines hold up to eight items.
inline std::string script_text(int ir1, int ir2, int fp, const std::string& header = "CFGHEADER=toolcfg")
{
    std::string s = "//front panel keys\r\n" + header + "\r\nSHEETID=2\r\nBLOCKINFO=[IRKEY]\r\nINDEX=E0\r\n";
    auto items = [&](const std::string& prefix, int n) {
        for (int i = 0; i < n; i += 8) {
            s += "##";
            for (int k = i; k < n && k < i + 8; ++k)
                s += (k > i ? "," : "") + ("[" + prefix + std::to_string(k) + "][0][" + std::to_string(8 * k) + "][8]");
            s += ";\r\n";
        }
    };
    items("1_KEY", ir1);
    items("2_KEY", ir2);
    items("KEY_", fp);
    return s;
}

}  // namespace firtest
