// CRC-32 shared by every tool and by the STB-side clients' frames.
//
// Reflected polynomial 0xEDB88320, table driven. The register starts with the
// value the caller passes (0xFFFFFFFF everywhere in this system) and the result
// is returned as it stands, without the final complement of the textbook CRC-32.
// The textbook CRC-32 of "123456789" is 0xCBF43926; ours with start 0xFFFFFFFF
// is its complement, 0x340BC6D9.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv {

// Fills `table` with the 256 entries of the reflected table.
void crc_setup_fast_lut(uint32_t table[256]);

// Runs `len` bytes through the register, starting from `start`.
uint32_t crc_fast_calculate(const uint32_t table[256], uint32_t start, const void* data, size_t len);

// The same with a built-in table; start 0xFFFFFFFF unless told otherwise.
uint32_t crc32(const void* data, size_t len, uint32_t start = 0xFFFFFFFFu);

}  // namespace kv
