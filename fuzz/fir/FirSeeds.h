// Seed images and records for the front-panel targets: a DMH with the key
// and configuration blocks near the start, and one with the packed script at
// 64 KiB, as the tool's images hold them.
#pragma once

#include "FirImage.h"
#include "TesselCompress.h"

#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

namespace firseed {

inline void le32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

struct Block {
    uint8_t id;
    std::vector<uint8_t> data;
};

// A DMH at the start of `out` and its blocks after it, with the box's CRCs
// (the complement of zlib's CRC-32).
inline std::vector<uint8_t> dmh(const std::vector<Block>& blocks)
{
    size_t at = 28 + 48 * blocks.size();
    std::vector<uint8_t> out(at, 0);
    std::memcpy(out.data(), "*^_^*DM(^o^)", 12);
    out[24] = uint8_t(blocks.size());
    out[26] = 48;
    for (size_t k = 0; k < blocks.size(); ++k) {
        uint8_t* e = out.data() + 28 + 48 * k;
        e[0] = blocks[k].id;
        le32(e + 4, uint32_t(at));
        le32(e + 8, uint32_t(blocks[k].data.size()));
        le32(e + 12, ~uint32_t(crc32(0L, blocks[k].data.data(), uInt(blocks[k].data.size()))));
        std::memcpy(out.data() + 28 + 48 * k + 24, "fir", 3);
        at += blocks[k].data.size();
    }
    for (const Block& b : blocks)
        out.insert(out.end(), b.data.begin(), b.data.end());
    return out;
}

inline std::string script(int ir, int fp)
{
    std::string s = "CFGHEADER=toolcfg\r\nSHEETID=2\r\nBLOCKINFO=[IRKEY]\r\n";
    auto items = [&](const std::string& prefix, int n) {
        s += "##";
        for (int k = 0; k < n; ++k)
            s += (k ? "," : "") + ("[" + prefix + std::to_string(k) + "][0][" + std::to_string(8 * k) + "][8]");
        s += ";\r\n";
    };
    items("1_K", ir);
    items("2_K", ir);
    items("KEY_", fp);
    return s;
}

// The two DMH parts of an image of platform `p` (the low one at 0, the
// script's at 64 KiB).
inline std::pair<std::vector<uint8_t>, std::vector<uint8_t>> image_parts(fir::Platform p)
{
    const bool base = p == fir::Platform::Base;
    const int ir = base ? 60 : 6, fp = base ? 9 : 4;
    std::vector<uint8_t> ir1(size_t(ir) + 2, 0), fpk(size_t(fp), 0), cfg(fir::traits(p).config_size, 0x11);
    for (int i = 0; i < ir; ++i)
        ir1[size_t(i)] = uint8_t(i * 3);
    const std::vector<uint8_t> ir2 = ir1;
    const std::string text = script(base ? 62 : ir + 2, fp);
    std::vector<uint8_t> gz;
    tessel::gzip_compress(reinterpret_cast<const uint8_t*>(text.data()), text.size(), &gz);
    return {dmh({{fir::kBlockIr1, ir1}, {fir::kBlockIr2, ir2}, {fir::kBlockFp, fpk}, {fir::kBlockConfig, cfg}}),
            dmh({{fir::kBlockScript, gz}})};
}

}  // namespace firseed
