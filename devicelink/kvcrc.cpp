#include "kvcrc.h"

namespace kv {

void crc_setup_fast_lut(uint32_t table[256])
{
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1u) ? (0xEDB88320u ^ (c >> 1)) : (c >> 1);
        table[i] = c;
    }
}

uint32_t crc_fast_calculate(const uint32_t table[256], uint32_t start, const void* data, size_t len)
{
    const auto* p = static_cast<const uint8_t*>(data);
    uint32_t c = start;
    for (size_t i = 0; i < len; ++i)
        c = table[(c ^ p[i]) & 0xFFu] ^ (c >> 8);
    return c;
}

namespace {
struct BuiltinTable {
    uint32_t t[256];
    BuiltinTable() { crc_setup_fast_lut(t); }
};
}  // namespace

uint32_t crc32(const void* data, size_t len, uint32_t start)
{
    static const BuiltinTable table;
    return crc_fast_calculate(table.t, start, data, len);
}

}  // namespace kv
