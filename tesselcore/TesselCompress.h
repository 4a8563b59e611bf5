// In-process gzip (the "toolcfg" block) and the .lzma format of `lzma e`
// (LZMA-alone: properties, dictionary size, real uncompressed size, then the
// stream without an end marker), and the "preset" block packed in the latter.
//
// Qt-free. Decompression stops beyond max_out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "TesselReport.h"

namespace tessel {

constexpr size_t kPresetBufferSize = 2u << 20;

enum class unpack_t { ok, damaged, too_large };
bool gzip_compress(const uint8_t* in, size_t len, std::vector<uint8_t>* out);
// Bytes after the last member that do not start another one (an erased
// block's 0xFF, padding) are ignored, as gzip itself does.
unpack_t gzip_unpack(const uint8_t* in, size_t len, std::vector<uint8_t>* out, size_t max_out);
bool gzip_decompress(const uint8_t* in, size_t len, std::vector<uint8_t>* out, size_t max_out);
bool lzma_alone_compress(const uint8_t* in, size_t len, std::vector<uint8_t>* out);
// The dictionary size of the header is capped to what max_out bytes can
// need, so a hostile header cannot make the decoder take gigabytes.
unpack_t lzma_alone_unpack(const uint8_t* in, size_t len, std::vector<uint8_t>* out, size_t max_out);
bool lzma_alone_decompress(const uint8_t* in, size_t len, std::vector<uint8_t>* out, size_t max_out);

// The "preset" block: .lzma packed and unpacked; true, or false with the
// message (and the reason) in `report`.
bool pack_preset(std::vector<uint8_t>* out, const uint8_t* in, size_t in_len, Report& report);
bool unpack_preset(std::vector<uint8_t>* out, const uint8_t* in, size_t in_len, size_t max_out, Report& report);

}  // namespace tessel
