// What goes into a module: the image bytes raw or zlib-compressed, with the
// CRC and size a receiver checks them against; and the split of an image into
// three parts.
#pragma once

#include "OtaRecords.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ota {

inline constexpr uint32_t kFlashSectorSize = 0x10000;  // 64 KiB
inline constexpr int kSplitParts = 3;

// Reads a flash image whole: "Can't open file" when it cannot be read, "The
// binary file size is too big" above 16 MiB (nothing is read then).
bool load_flash_image(const std::string& path, std::vector<uint8_t>& out, std::string& error);

// Fills `out` from `len` bytes at `data` (which lie at `offset` in the image):
// zlib-compressed (the DSM-CC compressed-module form) when `compress`, else a
// copy, or with `borrow` the bytes themselves. False with a message on failure.
bool make_payload(const uint8_t* data, size_t len, bool compress, uint32_t offset, OtaPayload& out, std::string& error,
                  bool borrow = false);

// Unpacks a zlib stream that must give exactly `expected` bytes.
bool zlib_unpack(const uint8_t* data, size_t len, size_t expected, std::vector<uint8_t>& out);

// The three parts of a split image, as offset and length. An image splits when
// it is a whole number of 64 KiB flash sectors, at least three: the sectors are
// shared out in order, the earlier parts taking the odd ones.
struct SplitPart {
    uint32_t offset = 0;
    uint32_t length = 0;
};
using SplitLayout = std::array<SplitPart, kSplitParts>;
bool split_layout(size_t image_len, SplitLayout& out);

}  // namespace ota
