// The CRC-32 of MPEG-2 sections: polynomial 0x04C11DB7 processed most
// significant bit first, register preset 0xFFFFFFFF, no final complement.
// A section whose last four bytes hold this CRC (big-endian) gives 0 when the
// CRC is run over the whole section, CRC included.
//
// Not the CRC of the boxes' serial frames (devicelink/kvcrc.h): that one is
// the reflected polynomial.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ota {

uint32_t mpeg2_crc32(const uint8_t* data, size_t len, uint32_t crc = 0xFFFFFFFFu);

}  // namespace ota
