#include "ModulePayload.h"
#include "FileOps.h"

#include "Mpeg2Crc.h"

#include <cstdio>
#include <zlib.h>

namespace ota {

bool load_flash_image(const std::string& path, std::vector<uint8_t>& out, std::string& error)
{
    out.clear();
    FILE* f = kv::open_file(path, "rb");
    if (!f) {
        error = "Can't open file";
        return false;
    }
    // One byte more than the limit tells a too-big file without reading it all.
    std::vector<uint8_t> data(size_t(kMaxImageSize) + 1);
    const size_t got = std::fread(data.data(), 1, data.size(), f);
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) {
        error = "Can't open file";
        return false;
    }
    if (got > kMaxImageSize) {
        error = "The binary file size is too big";
        return false;
    }
    data.resize(got);
    out = std::move(data);
    return true;
}

bool make_payload(const uint8_t* data, size_t len, bool compress, uint32_t offset, OtaPayload& out, std::string& error,
                  bool borrow)
{
    out = OtaPayload{};
    if (len == 0 || len > kMaxImageSize) {
        error = len ? "The binary file size is too big" : "The binary file is empty";
        return false;
    }
    out.original_size = static_cast<uint32_t>(len);
    out.original_crc = mpeg2_crc32(data, len);
    out.flash_offset = offset;
    out.compressed = compress;
    if (!compress && borrow) {
        out.borrowed = data;
        out.borrowed_size = len;
        return true;
    }
    if (!compress) {
        out.data.assign(data, data + len);
        return true;
    }
    uLongf packed = compressBound(static_cast<uLong>(len));
    out.data.resize(packed);
    if (compress2(out.data.data(), &packed, data, static_cast<uLong>(len), Z_BEST_COMPRESSION) != Z_OK) {
        error = "Compressing the image failed";
        out.data.clear();
        return false;
    }
    out.data.resize(packed);
    return true;
}

bool zlib_unpack(const uint8_t* data, size_t len, size_t expected, std::vector<uint8_t>& out)
{
    out.assign(expected, 0);
    z_stream zs{};
    if (inflateInit(&zs) != Z_OK)
        return false;
    zs.next_in = const_cast<Bytef*>(data);
    zs.avail_in = static_cast<uInt>(len);
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(expected);
    const int rc = inflate(&zs, Z_FINISH);
    const bool ok = rc == Z_STREAM_END && zs.total_out == expected;
    inflateEnd(&zs);
    return ok;
}

bool split_layout(size_t image_len, SplitLayout& out)
{
    if (image_len == 0 || image_len > kMaxImageSize || image_len % kFlashSectorSize)
        return false;
    uint32_t left = static_cast<uint32_t>(image_len / kFlashSectorSize);
    if (left < kSplitParts)
        return false;
    uint32_t offset = 0;
    for (int i = 0; i < kSplitParts; ++i) {
        const uint32_t sectors = (left + (kSplitParts - i) - 1) / (kSplitParts - i);
        out[i] = {offset * kFlashSectorSize, sectors * kFlashSectorSize};
        offset += sectors;
        left -= sectors;
    }
    return true;
}

}  // namespace ota
