// gzip (bootlink's encoder, zlib to unpack) and .lzma (liblzma) in process; the "preset" block packed.
#include "TesselCompress.h"

#include "ByteOrder.h"
#include "Gzip.h"

#include <lzma.h>
#include <zlib.h>

#include <cstring>

namespace tessel {

bool gzip_compress(const uint8_t* in, size_t len, std::vector<uint8_t>* out)
{
    return bootlink::gzip_compress(in, len, out) == 1;
}

unpack_t gzip_unpack(const uint8_t* in, size_t len, std::vector<uint8_t>* out, size_t max_out)
{
    out->clear();
    if (len < 18 || in[0] != 0x1F || in[1] != 0x8B)
        return unpack_t::damaged;
    z_stream zs{};
    if (inflateInit2(&zs, 15 + 16) != Z_OK)
        return unpack_t::damaged;
    zs.next_in = const_cast<Bytef*>(in);
    zs.avail_in = (uInt)len;
    uint8_t chunk[65536];
    unpack_t result = unpack_t::damaged;
    for (;;) {
        zs.next_out = chunk;
        zs.avail_out = sizeof chunk;
        int rc = inflate(&zs, Z_NO_FLUSH);
        size_t got = sizeof chunk - zs.avail_out;
        if (out->size() + got > max_out) {
            result = unpack_t::too_large;
            break;
        }
        out->insert(out->end(), chunk, chunk + got);
        if (rc == Z_STREAM_END) {
            // Another member (as `cat a.gz b.gz` makes) follows only when
            // its magic does; anything else behind a member is padding.
            if (zs.avail_in < 2 || zs.next_in[0] != 0x1F || zs.next_in[1] != 0x8B) {
                result = unpack_t::ok;
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
    if (result != unpack_t::ok)
        out->clear();
    return result;
}

bool gzip_decompress(const uint8_t* in, size_t len, std::vector<uint8_t>* out, size_t max_out)
{
    return gzip_unpack(in, len, out, max_out) == unpack_t::ok;
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
    kv::put_le32(out->data() + 1, dict);
    kv::put_le32(out->data() + 5, (uint32_t)len);
    kv::put_le32(out->data() + 9, (uint32_t)((uint64_t)len >> 32));
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

unpack_t lzma_alone_unpack(const uint8_t* in, size_t len, std::vector<uint8_t>* out, size_t max_out)
{
    out->clear();
    if (len < 13)
        return unpack_t::damaged;
    // The header: properties, dictionary size, uncompressed size (all ones:
    // unknown, the stream then ends with a marker).
    uint8_t head[13];
    std::memcpy(head, in, 13);
    const uint64_t declared = (uint64_t)kv::get_le32(head + 5) | ((uint64_t)kv::get_le32(head + 9) << 32);
    if (declared != UINT64_MAX && declared > max_out)
        return unpack_t::too_large;
    // A dictionary larger than the whole output is never used beyond the
    // output's size; the decoder is given no more than that.
    uint64_t room = 4096;
    while (room < max_out && room < (1u << 30))
        room <<= 1;
    if (kv::get_le32(head + 1) > room)
        kv::put_le32(head + 1, (uint32_t)room);
    lzma_stream strm = LZMA_STREAM_INIT;
    if (lzma_alone_decoder(&strm, room + (64u << 20)) != LZMA_OK)
        return unpack_t::damaged;
    // Feeds one piece: `more` while the decoder wants further input.
    enum class step_t { more, done, damaged, too_large };
    uint8_t chunk[65536];
    auto feed = [&](const uint8_t* p, size_t n, lzma_action action) {
        strm.next_in = p;
        strm.avail_in = n;
        for (;;) {
            strm.next_out = chunk;
            strm.avail_out = sizeof chunk;
            const lzma_ret rc = lzma_code(&strm, action);
            const size_t got = sizeof chunk - strm.avail_out;
            if (out->size() + got > max_out)
                return step_t::too_large;
            out->insert(out->end(), chunk, chunk + got);
            if (rc == LZMA_STREAM_END)
                return step_t::done;
            if (rc != LZMA_OK)
                return step_t::damaged;
            if (strm.avail_in == 0 && got == 0)
                return action == LZMA_RUN ? step_t::more : step_t::damaged;  // truncated at the end
        }
    };
    // The (possibly capped) header first, then the stream behind it.
    step_t st = feed(head, sizeof head, LZMA_RUN);
    if (st == step_t::more)
        st = feed(in + 13, len - 13, LZMA_FINISH);
    lzma_end(&strm);
    const unpack_t result = st == step_t::done        ? unpack_t::ok
                            : st == step_t::too_large ? unpack_t::too_large
                                                      : unpack_t::damaged;
    if (result != unpack_t::ok)
        out->clear();
    return result;
}

bool lzma_alone_decompress(const uint8_t* in, size_t len, std::vector<uint8_t>* out, size_t max_out)
{
    return lzma_alone_unpack(in, len, out, max_out) == unpack_t::ok;
}

bool pack_preset(std::vector<uint8_t>* out, const uint8_t* in, size_t in_len, Report& report)
{
    if (!out || (!in && in_len) || !lzma_alone_compress(in, in_len, out)) {
        report.show("error to open output file!");
        return false;
    }
    return true;
}

bool unpack_preset(std::vector<uint8_t>* out, const uint8_t* in, size_t in_len, size_t max_out, Report& report)
{
    const unpack_t r = out && in ? lzma_alone_unpack(in, in_len, out, max_out) : unpack_t::damaged;
    if (r != unpack_t::ok) {
        report.show("error to open output file!");
        report.detail(r == unpack_t::too_large
                          ? "the unpacked data is too large (more than " + std::to_string(max_out) + " bytes)"
                          : std::string("the packed data is damaged"));
        return false;
    }
    return true;
}

}  // namespace tessel
