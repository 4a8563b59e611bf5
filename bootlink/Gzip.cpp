#include "Gzip.h"

#include <libdeflate.h>
#include <zlib.h>
#include <zopfli/zopfli.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace bootlink {

namespace {

int gzip_libdeflate(const uint8_t* data, size_t len, std::vector<uint8_t>* out)
{
    libdeflate_compressor* c = libdeflate_alloc_compressor(12);
    if (!c)
        return 0;
    size_t bound = libdeflate_gzip_compress_bound(c, len);
    out->resize(bound);
    size_t n = libdeflate_gzip_compress(c, data, len, out->data(), bound);
    libdeflate_free_compressor(c);
    if (n == 0)
        return 0;
    out->resize(n);
    return 1;
}

int gzip_zlib(const uint8_t* data, size_t len, std::vector<uint8_t>* out)
{
    z_stream zs{};
    if (deflateInit2(&zs, 9, Z_DEFLATED, 16 + MAX_WBITS, 9, Z_DEFAULT_STRATEGY) != Z_OK)
        return 0;
    out->resize(deflateBound(&zs, uLong(len)) + 32);
    zs.next_in = const_cast<Bytef*>(data);
    zs.avail_in = uInt(len);
    zs.next_out = out->data();
    zs.avail_out = uInt(out->size());
    int rc = deflate(&zs, Z_FINISH);
    size_t n = zs.total_out;
    deflateEnd(&zs);
    if (rc != Z_STREAM_END)
        return 0;
    out->resize(n);
    return 1;
}

int gzip_zopfli(const uint8_t* data, size_t len, std::vector<uint8_t>* out)
{
    ZopfliOptions opt;
    ZopfliInitOptions(&opt);
    // Fewer iterations on larger inputs keep the time in bounds; the gain
    // of more iterations is a fraction of a percent.
    opt.numiterations = len <= (256u << 10) ? 15 : len <= (1u << 20) ? 8 : 4;
    // zopfli's default cap of 15 blocks a split stays: without it a flash
    // image comes out about 1.5 % smaller but takes four to five times as
    // long, more than the shorter transfer gives back at 115200 baud.
    unsigned char* buf = nullptr;
    size_t n = 0;
    ZopfliCompress(&opt, ZOPFLI_FORMAT_GZIP, data, len, &buf, &n);
    if (!buf)
        return 0;
    out->assign(buf, buf + n);
    std::free(buf);
    return 1;
}

}  // namespace

int gzip_compress(const uint8_t* data, size_t len, std::vector<uint8_t>* out, GzipEffort effort)
{
    static const uint8_t empty = 0;
    if (!data)
        data = &empty;
    if (!gzip_libdeflate(data, len, out))
        return 0;
    // zlib's strongest setting now and then wins on long runs (erased or
    // zeroed flash); it costs little.
    if (len <= 0x7FFFFFFFu) {
        std::vector<uint8_t> z;
        if (gzip_zlib(data, len, &z) && z.size() < out->size())
            out->swap(z);
    }
    bool max = effort == GzipEffort::Max || (effort == GzipEffort::Auto && len <= (2u << 20));
    if (max) {
        std::vector<uint8_t> z;
        if (gzip_zopfli(data, len, &z) && z.size() < out->size())
            out->swap(z);
    }
    return 1;
}

int gzip_decompress(const uint8_t* data, size_t len, std::vector<uint8_t>* out, size_t max_out, std::string* error)
{
    out->clear();
    auto fail = [&](const char* why) {
        if (error)
            *error = why;
        out->clear();
        return 0;
    };
    if (len < 18)
        return fail("not a gzip stream: too short");
    size_t pos = 0;
    std::vector<uint8_t> chunk(1 << 16);
    while (pos < len) {
        z_stream zs{};
        if (inflateInit2(&zs, 16 + MAX_WBITS) != Z_OK)
            return fail("decompressor could not start");
        zs.next_in = const_cast<Bytef*>(data + pos);
        zs.avail_in = uInt(std::min<size_t>(len - pos, 0x7FFFFFFF));
        int rc = Z_OK;
        while (rc != Z_STREAM_END) {
            zs.next_out = chunk.data();
            zs.avail_out = uInt(chunk.size());
            rc = inflate(&zs, Z_NO_FLUSH);
            if (rc != Z_OK && rc != Z_STREAM_END) {
                inflateEnd(&zs);
                return fail(rc == Z_BUF_ERROR ? "gzip stream truncated" : "gzip stream damaged");
            }
            size_t produced = chunk.size() - zs.avail_out;
            if (out->size() + produced > max_out) {
                inflateEnd(&zs);
                return fail("gzip stream expands beyond the allowed size");
            }
            out->insert(out->end(), chunk.data(), chunk.data() + produced);
            if (rc == Z_OK && zs.avail_in == 0 && produced == 0) {
                inflateEnd(&zs);
                return fail("gzip stream truncated");
            }
        }
        pos += zs.total_in;
        inflateEnd(&zs);
        // Trailing zero padding after the last member is tolerated.
        size_t rest = pos;
        while (rest < len && data[rest] == 0)
            ++rest;
        if (rest == len)
            break;
    }
    return 1;
}

}  // namespace bootlink
