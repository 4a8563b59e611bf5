// Sample images of the three platforms for the front-panel suites.
#pragma once

#include "FirImage.h"
#include "FirTestImage.h"

namespace firtest {

using fir::kBlockConfig;
using fir::kBlockFp;
using fir::kBlockIr1;
using fir::kBlockIr2;
using fir::kBlockScript;

inline testsupport::ScratchDir& scratch()
{
    static testsupport::ScratchDir dir("corvane-fir");
    return dir;
}

inline std::vector<uint8_t> codes(size_t n, uint8_t seed)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = uint8_t(seed + 3 * i);
    return v;
}

// N codes and the user code big-endian after them, or little-endian before them.
inline std::vector<uint8_t> key_block(size_t n, uint8_t seed, uint16_t user, bool user_first)
{
    std::vector<uint8_t> v = codes(n, seed);
    if (user_first) {
        v.insert(v.begin(), {uint8_t(user), uint8_t(user >> 8)});
    } else {
        v.push_back(uint8_t(user >> 8));
        v.push_back(uint8_t(user));
    }
    return v;
}

inline std::vector<uint8_t> config_block(size_t n) { return codes(n, 0x40); }

inline Block script_block(uint32_t offset, const std::string& text)
{
    return {kBlockScript, offset, gzip_text(scratch(), text)};
}

// Base platform: key blocks listed by a DMH at `dmh`, the script by one at 0x10020.
inline std::vector<uint8_t> base_image(size_t dmh = 0x100, bool with_config = true,
                                       const std::string& script = script_text(62, 62, 9))
{
    std::vector<uint8_t> img(0x20000, 0xFF);
    std::vector<Block> blocks = {{kBlockIr1, 0x1000, key_block(60, 1, 0x12AB, false)},
                                 {kBlockIr2, 0x1100, key_block(60, 2, 0x34CD, false)},
                                 {kBlockFp, 0x1200, codes(9, 3)}};
    if (with_config)
        blocks.push_back({kBlockConfig, 0x1400, config_block(464)});
    put_dmh(img, dmh, blocks);
    put_dmh(img, 0x10020, {script_block(0x200, script)});
    return img;
}

// Alder: the script in the DMH at 0, the key blocks in DMHs at 64 KiB steps.
inline std::vector<uint8_t> alder_image(bool all_in_one = false, bool drop_fp = false)
{
    std::vector<uint8_t> img(0x40000, 0xFF);
    put_dmh(img, 0, {script_block(0x400, script_text(7, 6, 3))});
    Block ir1{kBlockIr1, 0x100, key_block(5, 10, 0xBEEF, true)};
    Block ir2{kBlockIr2, 0x200, key_block(4, 20, 0x1234, true)};
    Block fp{kBlockFp, 0x300, codes(3, 30)};
    Block cfg{kBlockConfig, 0x400, config_block(464)};
    if (all_in_one) {
        put_dmh(img, 0x20000, {ir1, ir2, fp, cfg});
    } else {
        put_dmh(img, 0x10000, {ir1, ir2});
        if (drop_fp)
            put_dmh(img, 0x20000, {cfg});
        else
            put_dmh(img, 0x20000, {fp, cfg});
    }
    return img;
}

inline std::vector<uint8_t> dogwood_image()
{
    std::vector<uint8_t> img(0x30000, 0xFF);
    put_dmh(img, 0x200,
            {{kBlockIr1, 0x1000, key_block(4, 40, 0x0102, false)},
             {kBlockIr2, 0x1100, key_block(3, 50, 0x0304, false)},
             {kBlockFp, 0x1200, codes(2, 60)},
             {kBlockConfig, 0x1400, config_block(480)}});
    put_dmh(img, 0x20000, {script_block(0x100, script_text(6, 5, 2))});
    return img;
}

}  // namespace firtest
