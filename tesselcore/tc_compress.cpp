// gzip (zlib) and .lzma (liblzma) in process.
#include "Tesselcore.h"

#include <lzma.h>
#include <zlib.h>

#include <cstring>

namespace tessel {

bool gzip_compress(const uint8_t* in, size_t len, std::vector<uint8_t>* out)
{
    z_stream zs{};
    if (deflateInit2(&zs, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) != Z_OK)
        return false;
    out->assign(deflateBound(&zs, (uLong)len) + 32, 0);
    zs.next_in = const_cast<Bytef*>(in);
    zs.avail_in = (uInt)len;
    zs.next_out = out->data();
    zs.avail_out = (uInt)out->size();
    int rc = deflate(&zs, Z_FINISH);
    size_t produced = zs.total_out;
    deflateEnd(&zs);
    if (rc != Z_STREAM_END)
        return false;
    out->resize(produced);
    return true;
}

bool gzip_decompress(const uint8_t* in, size_t len, std::vector<uint8_t>* out, size_t max_out)
{
    out->clear();
    if (len < 18 || in[0] != 0x1F || in[1] != 0x8B)
        return false;
    z_stream zs{};
    if (inflateInit2(&zs, 15 + 32) != Z_OK)
        return false;
    zs.next_in = const_cast<Bytef*>(in);
    zs.avail_in = (uInt)len;
    uint8_t chunk[65536];
    bool ok = false;
    for (;;) {
        zs.next_out = chunk;
        zs.avail_out = sizeof chunk;
        int rc = inflate(&zs, Z_NO_FLUSH);
        size_t got = sizeof chunk - zs.avail_out;
        if (out->size() + got > max_out)
            break;
        out->insert(out->end(), chunk, chunk + got);
        if (rc == Z_STREAM_END) {
            // Further members (as `cat a.gz b.gz` makes) follow; trailing
            // zero padding is allowed.
            size_t left = zs.avail_in;
            const uint8_t* rest = zs.next_in;
            size_t zeros = 0;
            while (zeros < left && rest[zeros] == 0)
                ++zeros;
            if (zeros == left) {
                ok = true;
                break;
            }
            if (inflateReset(&zs) != Z_OK)
                break;
            continue;
        }
        if (rc != Z_OK)
            break;
        if (zs.avail_in == 0 && got == 0)
            break;  // truncated
    }
    inflateEnd(&zs);
    if (!ok)
        out->clear();
    return ok;
}

bool lzma_alone_compress(const uint8_t* in, size_t len, std::vector<uint8_t>* out)
{
    lzma_options_lzma opt;
    if (lzma_lzma_preset(&opt, 6))
        return false;
    // The dictionary need not exceed the data; a small one spares the
    // decoder's memory on the box.
    uint32_t dict = 4096;
    while (dict < len && dict < (8u << 20))
        dict <<= 1;
    opt.dict_size = dict;
    opt.ext_flags = 0;  // no end marker: the header carries the size
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_stream strm = LZMA_STREAM_INIT;
    if (lzma_raw_encoder(&strm, filters) != LZMA_OK)
        return false;
    out->assign(13, 0);
    (*out)[0] = (uint8_t)((opt.pb * 5 + opt.lp) * 9 + opt.lc);
    wr32(out->data() + 1, dict);
    wr32(out->data() + 5, (uint32_t)len);
    wr32(out->data() + 9, (uint32_t)((uint64_t)len >> 32));
    strm.next_in = in;
    strm.avail_in = len;
    uint8_t chunk[65536];
    lzma_ret rc;
    do {
        strm.next_out = chunk;
        strm.avail_out = sizeof chunk;
        rc = lzma_code(&strm, LZMA_FINISH);
        out->insert(out->end(), chunk, chunk + (sizeof chunk - strm.avail_out));
    } while (rc == LZMA_OK);
    lzma_end(&strm);
    if (rc != LZMA_STREAM_END) {
        out->clear();
        return false;
    }
    return true;
}

bool lzma_alone_decompress(const uint8_t* in, size_t len, std::vector<uint8_t>* out, size_t max_out)
{
    out->clear();
    if (len < 13)
        return false;
    lzma_stream strm = LZMA_STREAM_INIT;
    if (lzma_alone_decoder(&strm, 1u << 30) != LZMA_OK)
        return false;
    strm.next_in = in;
    strm.avail_in = len;
    uint8_t chunk[65536];
    bool ok = false;
    for (;;) {
        strm.next_out = chunk;
        strm.avail_out = sizeof chunk;
        lzma_ret rc = lzma_code(&strm, LZMA_FINISH);
        size_t got = sizeof chunk - strm.avail_out;
        if (out->size() + got > max_out)
            break;
        out->insert(out->end(), chunk, chunk + got);
        if (rc == LZMA_STREAM_END) {
            ok = true;
            break;
        }
        if (rc != LZMA_OK)
            break;
    }
    lzma_end(&strm);
    if (!ok)
        out->clear();
    return ok;
}

}  // namespace tessel

int CTesselcore::compress_data(std::vector<uint8_t>* out, const uint8_t* in, size_t in_len)
{
    if (!out || (!in && in_len) || !tessel::lzma_alone_compress(in, in_len, out)) {
        show("error to open output file!");
        return 0;
    }
    return 1;
}

int CTesselcore::uncompress_data(std::vector<uint8_t>* out, const uint8_t* in, size_t in_len, size_t max_out)
{
    if (!out || !in || !tessel::lzma_alone_decompress(in, in_len, out, max_out)) {
        show("error to open output file!");
        return 0;
    }
    return 1;
}

int CTesselcore::compress_data(uint8_t* out, uint32_t* out_len, const uint8_t* in, uint32_t in_len)
{
    std::vector<uint8_t> v;
    if (!out_len || !compress_data(&v, in, in_len))
        return 0;
    if (v.size() > *out_len) {
        show("error to open output file!");
        return 0;
    }
    std::memcpy(out, v.data(), v.size());
    *out_len = (uint32_t)v.size();
    return 1;
}

int CTesselcore::uncompress_data(uint8_t* out, uint32_t* out_len, const uint8_t* in, uint32_t in_len)
{
    std::vector<uint8_t> v;
    if (!out_len || !uncompress_data(&v, in, in_len, *out_len))
        return 0;
    std::memcpy(out, v.data(), v.size());
    *out_len = (uint32_t)v.size();
    return 1;
}
