// The command frame the STB-side clients take: '#', letter, length, payload,
// CRC-32 of letter, length and payload (little-endian).
#include "SimInternal.h"

#include <kvcrc.h>

#include <algorithm>

namespace stbsim {

bool read_command_frame(Box& b, int letter, const char* who, CommandFrame* out)
{
    const int n = b.get(1000);
    if (n < 0) {
        b.trace("%s: command broke off", who);
        return false;
    }
    uint8_t buf[2 + 255 + 4];
    buf[0] = static_cast<uint8_t>(letter);
    buf[1] = static_cast<uint8_t>(n);
    if (!b.get_n(buf + 2, static_cast<size_t>(n) + 4, 1000)) {
        b.trace("%s: command '%c' broke off", who, letter);
        return false;
    }
    const uint8_t* crc = buf + 2 + n;
    if (kv::crc32(buf, 2 + static_cast<size_t>(n)) != (crc[0] | crc[1] << 8 | crc[2] << 16 | uint32_t(crc[3]) << 24)) {
        b.trace("%s: command 0x%02X with a bad CRC ignored", who, letter);
        return false;
    }
    out->letter = static_cast<uint8_t>(letter);
    out->len = static_cast<size_t>(n);
    std::copy(buf + 2, buf + 2 + n, out->payload);
    b.trace("%s: command '%c' (0x%02X), %d payload bytes", who, letter >= 0x20 && letter < 0x7F ? letter : '?',
            letter, n);
    return true;
}

}  // namespace stbsim
