// In-process gzip for the images that go over the line compressed.
//
// The output is a standard single-member gzip stream (RFC 1952) that
// "gzip -d" accepts. The encoder tries libdeflate and zlib at their strongest
// levels and, at GzipEffort::Max, zopfli as well, and keeps the smallest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bootlink {

enum class GzipEffort {
    Fast,  // libdeflate level 12 and zlib level 9: well ahead of common gzip encoders, fast
    Max,  // also zopfli (slow: roughly a second per 100 KiB); the smaller wins
    Auto,  // Max for inputs up to 2 MiB, Fast beyond
};

// Compresses `len` bytes. 1 on success.
int gzip_compress(const uint8_t* data, size_t len, std::vector<uint8_t>* out, GzipEffort effort = GzipEffort::Auto);

// Decompresses a gzip stream (all members), refusing output beyond `max_out`.
// 1 on success; 0 with *error set on a damaged or truncated stream.
int gzip_decompress(const uint8_t* data, size_t len, std::vector<uint8_t>* out, size_t max_out = size_t(1) << 30,
                    std::string* error = nullptr);

}  // namespace bootlink
