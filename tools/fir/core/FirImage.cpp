#include "FirImage.h"
#include "FileOps.h"

#include "BootLink.h"
#include "ByteOrder.h"
#include "Tesselcore.h"
#include "kvcrc.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>

namespace fir {

namespace {

constexpr size_t kStep = 0x10000;
const char* const kWrongImage = "Wrong binary file!";

std::string hex(size_t v)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%zX", v);
    return buf;
}

struct Dmh {
    size_t pos = 0;
    uint32_t count = 0;
};

// A block an entry lists.
struct BlockRef {
    size_t entry_pos = 0;
    uint8_t id = 0;
    size_t data_pos = 0;
    uint32_t size = 0;
};

enum class DmhCheck { None, Ok, Damaged };

// The header is read as the configuration tool reads it (tesselcore): the
// marker, entry count byte 24, entry size byte 26 equal to 48.
DmhCheck dmh_at(const std::vector<uint8_t>& img, size_t pos, Dmh* d)
{
    if (!tessel::is_dmh_header(img.data(), img.size(), pos))
        return DmhCheck::None;
    d->pos = pos;
    d->count = kv::ByteReader(img).view(pos + 24, 1).u8();
    if (pos + tessel::kDmhHeaderSize + uint64_t(d->count) * tessel::kEntrySize > img.size())
        return DmhCheck::Damaged;
    return DmhCheck::Ok;
}

FirResult damaged(size_t pos)
{
    return FirResult::Fail(kWrongImage, "the block table (DMH) at " + hex(pos) + " runs past its bounds");
}

// The first DMH at a byte position from `from` to `to`.
FirResult search_dmh(const std::vector<uint8_t>& img, size_t from, size_t to, Dmh* d)
{
    for (size_t pos = from; pos <= to && pos < img.size(); ++pos) {
        DmhCheck c = dmh_at(img, pos, d);
        if (c == DmhCheck::Ok)
            return FirResult::Ok();
        if (c == DmhCheck::Damaged)
            return damaged(pos);
    }
    return FirResult::Fail(kWrongImage, "no block table (DMH) within bytes " + hex(from) + " to " + hex(to));
}

// Calls fn(dmh) for the DMHs at 0, 64 KiB, 128 KiB, ... up to the image's end
// until fn returns false.
template <typename Fn>
FirResult walk_steps(const std::vector<uint8_t>& img, Fn fn)
{
    for (size_t pos = 0; pos < img.size(); pos += kStep) {
        Dmh d;
        DmhCheck c = dmh_at(img, pos, &d);
        if (c == DmhCheck::Damaged)
            return damaged(pos);
        if (c == DmhCheck::Ok && !fn(d))
            break;
    }
    return FirResult::Ok();
}

// The DMH's entries whose id satisfies `want`, in entry order.
template <typename Want>
FirResult collect(const std::vector<uint8_t>& img, const Dmh& d, Want want, std::vector<BlockRef>* refs)
{
    for (size_t k = 0; k < d.count; ++k) {
        BlockRef r;
        r.entry_pos = d.pos + tessel::kDmhHeaderSize + k * tessel::kEntrySize;
        kv::ByteReader e = kv::ByteReader(img).view(r.entry_pos, tessel::kEntrySize);
        r.id = e.u8();
        if (!want(r.id))
            continue;
        e.skip(3);
        const uint32_t offset = e.le32();
        r.data_pos = d.pos + size_t(offset);
        r.size = e.le32();
        if (uint64_t(d.pos) + offset + r.size > img.size())
            return FirResult::Fail(kWrongImage,
                                   "block " + hex(r.id) + " listed at " + hex(r.entry_pos) + " lies outside the image");
        refs->push_back(r);
    }
    return FirResult::Ok();
}

bool is_panel_block(uint8_t id) { return id == kBlockIr1 || id == kBlockIr2 || id == kBlockFp || id == kBlockConfig; }

// Alder: DMHs at 64 KiB steps up to the one at which every panel block has
// been seen (one DMH may list all four).
FirResult locate_alder_blocks(const std::vector<uint8_t>& img, std::vector<BlockRef>* refs)
{
    FirResult res;
    FirResult walked = walk_steps(img, [&](const Dmh& d) {
        res = collect(img, d, is_panel_block, refs);
        if (!res.ok)
            return false;
        for (uint8_t id : {kBlockIr1, kBlockIr2, kBlockFp, kBlockConfig}) {
            bool seen = false;
            for (const BlockRef& r : *refs)
                seen = seen || r.id == id;
            if (!seen)
                return true;
        }
        return false;
    });
    if (!walked.ok)
        return walked;
    if (!res.ok)
        return res;
    int keys = 0;
    for (uint8_t id : {kBlockIr1, kBlockIr2, kBlockFp})
        for (const BlockRef& r : *refs)
            if (r.id == id) {
                ++keys;
                break;
            }
    if (keys < 3)
        return FirResult::Fail(kWrongImage, "only " + std::to_string(keys) +
                                                " of the three key blocks (0xAF, 0xB1, 0xB0) were found");
    return FirResult::Ok();
}

FirResult locate_panel_blocks(Platform p, const std::vector<uint8_t>& img, std::vector<BlockRef>* refs)
{
    refs->clear();
    if (p == Platform::Alder)
        return locate_alder_blocks(img, refs);
    Dmh d;
    FirResult res = search_dmh(img, 0, 1023, &d);
    if (!res.ok)
        return res;
    return collect(img, d, is_panel_block, refs);
}

bool is_script(uint8_t id) { return id == kBlockScript; }

// Alder and Dogwood: the script of the first DMH at a 64 KiB step that lists one.
FirResult locate_script(const std::vector<uint8_t>& img, BlockRef* script)
{
    std::vector<BlockRef> found;
    FirResult res;
    FirResult walked = walk_steps(img, [&](const Dmh& d) {
        res = collect(img, d, is_script, &found);
        return res.ok && found.empty();
    });
    if (!walked.ok)
        return walked;
    if (!res.ok)
        return res;
    if (found.empty())
        return FirResult::Fail(kWrongImage, "no configuration script block (0xFE) was found");
    *script = found.back();
    return FirResult::Ok();
}

FirResult run_script_step(const std::vector<uint8_t>& img, const BlockRef& ref, ParsedImage* out)
{
    std::string text;
    const kv::ByteReader packed = kv::ByteReader(img).view(ref.data_pos, ref.size);
    if (!packed.ok() || unpack_script(packed.peek(), ref.size, &text) != kScriptOk)
        return FirResult::Fail(kWrongImage, "the configuration script (block 0xFE) cannot be unpacked");
    if (read_key_names(text, &out->names, &out->notes) != kScriptOk)
        return FirResult::Fail(kWrongImage, "the configuration script has no \"CFGHEADER=toolcfg\" line");
    return FirResult::Ok();
}

// The base platform needs the DMH within 0x10000 to 0x103FF, not its script:
// the key counts are fixed, so an image whose script block is missing or
// cannot be read still opens, without key names (the key page says so).
FirResult read_base_script(const std::vector<uint8_t>& img, ParsedImage* out)
{
    Dmh d;
    FirResult res = search_dmh(img, 0x10000, 0x103FF, &d);
    if (!res.ok)
        return res;
    std::vector<BlockRef> found;
    res = collect(img, d, is_script, &found);
    if (res.ok && found.empty())
        res = FirResult::Fail(kWrongImage, "no configuration script block (0xFE) was found");
    if (res.ok)
        res = run_script_step(img, found.back(), out);
    if (!res.ok) {
        out->names = KeyNames();
        out->script_ok = false;
        out->notes.push_back(res.detail + "; the key names are missing");
    }
    return FirResult::Ok();
}

FirResult read_script(Platform p, const std::vector<uint8_t>& img, ParsedImage* out)
{
    if (p == Platform::Base)
        return read_base_script(img, out);
    BlockRef script;
    FirResult res = locate_script(img, &script);
    return res.ok ? run_script_step(img, script, out) : res;
}

KeyTable table_of(uint8_t id)
{
    return id == kBlockIr1 ? KeyTable::Ir1 : id == kBlockIr2 ? KeyTable::Ir2 : KeyTable::Fp;
}

int key_count(const KeyCounts& c, KeyTable t) { return t == KeyTable::Ir1 ? c.ir1 : t == KeyTable::Ir2 ? c.ir2 : c.fp; }

// The bytes a block must hold for the record, and where its parts lie.
struct Layout {
    size_t needed = 0;
    size_t codes_at = 0;
    size_t user_at = 0;
    bool has_user = false;
};

Layout layout_of(const BlockRef& r, Platform p, const KeyCounts& counts)
{
    Layout l;
    if (r.id == kBlockConfig) {
        l.needed = traits(p).config_size;
        return l;
    }
    const size_t n = size_t(key_count(counts, table_of(r.id)));
    l.has_user = r.id != kBlockFp;
    const bool first = traits(p).user_code_first;
    l.codes_at = l.has_user && first ? 2 : 0;
    l.user_at = first ? 0 : n;
    l.needed = n + (l.has_user ? 2 : 0);
    return l;
}

FirResult check_sizes(const std::vector<BlockRef>& refs, Platform p, const KeyCounts& counts)
{
    for (const BlockRef& r : refs) {
        size_t needed = layout_of(r, p, counts).needed;
        if (r.size < needed)
            return FirResult::Fail(kWrongImage, "block " + hex(r.id) + " holds " + std::to_string(r.size) + " bytes, " +
                                                    std::to_string(needed) + " are needed");
    }
    return FirResult::Ok();
}

void read_block(kv::ByteReader data, const BlockRef& r, Platform p, const KeyCounts& counts, CPanelRecord* rec)
{
    if (r.id == kBlockConfig) {
        data.bytes(rec->config(), rec->config_size());
        return;
    }
    const Layout l = layout_of(r, p, counts);
    const KeyTable t = table_of(r.id);
    const int n = key_count(counts, t);
    kv::ByteReader codes = data.view(l.codes_at, size_t(n));
    for (int i = 0; i < n; ++i)
        rec->set_key_code(t, i, codes.u8());
    if (l.has_user) {
        kv::ByteReader user = data.view(l.user_at, 2);
        rec->set_user_code(t, traits(p).user_code_first ? user.le16() : user.be16());
    }
    rec->set_count(t, static_cast<uint16_t>(n));
}

void write_block(uint8_t* data, const BlockRef& r, Platform p, const KeyCounts& counts, const CPanelRecord& rec)
{
    if (r.id == kBlockConfig) {
        std::memcpy(data, rec.config(), rec.config_size());
        return;
    }
    const Layout l = layout_of(r, p, counts);
    const KeyTable t = table_of(r.id);
    const int n = key_count(counts, t);
    for (int i = 0; i < n; ++i)
        data[l.codes_at + i] = rec.key_code(t, i);
    if (!l.has_user)
        return;
    if (traits(p).user_code_first)
        kv::put_le16(data + l.user_at, rec.user_code(t));
    else
        kv::put_be16(data + l.user_at, rec.user_code(t));
}

}  // namespace

FirResult read_image_file(const std::string& path, std::vector<uint8_t>* out)
{
    std::error_code ec;
    const auto size = std::filesystem::file_size(kv::file_path(path), ec);
    if (ec || !std::filesystem::is_regular_file(kv::file_path(path), ec))
        return FirResult::Fail("Failed to open the flash file!", path);
    if (size == 0 || size > kMaxImageSize)
        return FirResult::Fail(kWrongImage, size == 0 ? "the file is empty" : "the file is larger than 256 MiB");
    try {
        if (!bootlink::read_file(path, out))
            return FirResult::Fail("Failed to open the flash file!", path);
    } catch (const std::bad_alloc&) {
        return FirResult::Fail("no memery!");
    }
    if (out->size() != size)
        return FirResult::Fail(kWrongImage, "the file could not be read whole");
    return FirResult::Ok();
}

FirResult parse_image(Platform p, std::vector<uint8_t> image, ParsedImage* out)
{
    ParsedImage parsed;
    parsed.platform = p;
    parsed.record = CPanelRecord::ForPlatform(p);
    if (p == Platform::Base)
        parsed.record.preset_default_slots();

    FirResult res = read_script(p, image, &parsed);
    if (!res.ok)
        return res;
    parsed.counts = traits(p).fixed_key_counts ? KeyCounts{60, 60, 9} : counts_from_names(parsed.names);

    std::vector<BlockRef> refs;
    res = locate_panel_blocks(p, image, &refs);
    if (res.ok)
        res = check_sizes(refs, p, parsed.counts);
    if (!res.ok)
        return res;
    bool have_config = false;
    for (const BlockRef& r : refs) {
        read_block(kv::ByteReader(image).view(r.data_pos, r.size), r, p, parsed.counts, &parsed.record);
        have_config = have_config || r.id == kBlockConfig;
    }
    if (!have_config)
        return FirResult::Fail(kWrongImage, "the configuration block (0xBC) was not found");
    parsed.image = std::move(image);
    *out = std::move(parsed);
    return FirResult::Ok();
}

FirResult load_image(Platform p, const std::string& path, ParsedImage* out)
{
    std::vector<uint8_t> image;
    FirResult res = read_image_file(path, &image);
    if (!res.ok)
        return res;
    return parse_image(p, std::move(image), out);
}

FirResult generate_image(const ParsedImage& parsed, const CPanelRecord& record, std::vector<uint8_t>* out)
{
    const Platform p = parsed.platform;
    if (record.size() != traits(p).record_size || parsed.image.empty())
        return FirResult::Fail("Save Data Failed!!", "no image of this platform has been parsed");
    std::vector<BlockRef> refs;
    FirResult res = locate_panel_blocks(p, parsed.image, &refs);
    if (res.ok)
        res = check_sizes(refs, p, parsed.counts);
    if (!res.ok)
        return FirResult::Fail("Save Data Failed!!", res.detail);
    std::vector<uint8_t> img = parsed.image;
    for (const BlockRef& r : refs) {
        uint8_t* data = img.data() + r.data_pos;
        write_block(data, r, p, parsed.counts, record);
        uint8_t* crc = img.data() + r.entry_pos + 12;
        if (std::memcmp(crc, "NCRC", 4) != 0)
            kv::put_le32(crc, kv::crc32(data, r.size));
    }
    *out = std::move(img);
    return FirResult::Ok("Save Data Success!");
}

}  // namespace fir
