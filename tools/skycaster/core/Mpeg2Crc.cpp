#include "Mpeg2Crc.h"

#include "ByteOrder.h"

#include <array>

namespace ota {
namespace {

// Eight tables: table k holds the CRC of a byte followed by k zero bytes, so
// that eight bytes are folded in per step.
struct Tables {
    std::array<std::array<uint32_t, 256>, 8> t{};
    Tables()
    {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i << 24;
            for (int b = 0; b < 8; ++b)
                c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
            t[0][i] = c;
        }
        for (size_t k = 1; k < t.size(); ++k)
            for (uint32_t i = 0; i < 256; ++i)
                t[k][i] = (t[k - 1][i] << 8) ^ t[0][t[k - 1][i] >> 24];
    }
};

const Tables& tables()
{
    static const Tables tab;
    return tab;
}

}  // namespace

uint32_t mpeg2_crc32(const uint8_t* data, size_t len, uint32_t crc)
{
    const auto& t = tables().t;
    while (len >= 8) {
        const uint32_t a = crc ^ kv::get_be32(data);
        const uint32_t b = kv::get_be32(data + 4);
        crc = t[7][a >> 24] ^ t[6][(a >> 16) & 0xFF] ^ t[5][(a >> 8) & 0xFF] ^ t[4][a & 0xFF] ^ t[3][b >> 24] ^
              t[2][(b >> 16) & 0xFF] ^ t[1][(b >> 8) & 0xFF] ^ t[0][b & 0xFF];
        data += 8;
        len -= 8;
    }
    while (len--)
        crc = (crc << 8) ^ t[0][((crc >> 24) ^ *data++) & 0xFF];
    return crc;
}

}  // namespace ota
