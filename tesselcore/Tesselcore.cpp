// The façade: images as a whole (loading and checking for Pre-Parse, the
// block list, the export of the configuration area) and the parts behind it.
#include "Tesselcore.h"

#include "Workbook.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <unistd.h>

#include "WorkbookExport.h"
#include "WorkbookImport.h"

using namespace tessel;

namespace tessel {

std::string printable_field(const uint8_t* p, size_t n)
{
    std::string s;
    for (size_t i = 0; i < n && p[i]; ++i)
        s += (p[i] >= 0x20 && p[i] < 0x7F) ? (char)p[i] : '.';
    return s;
}

}  // namespace tessel

namespace {

// The software version: the first 30 characters of the "ssdata" block.
std::string version_text(const uint8_t* data, size_t size)
{
    std::string v = printable_field(data, size < 30 ? size : 30);
    while (!v.empty() && v.back() == ' ')
        v.pop_back();
    return v;
}

tessel_block_row_t entry_row(const uint8_t* e)
{
    kv::ByteReader in(e, kEntrySize);
    tessel_block_row_t row;
    row.id = in.u8();
    in.skip(3);
    row.offset = in.le32();
    row.size = in.le32();
    row.crc = in.le32();
    row.version = printable_field(in.take(8), 8);
    row.name = printable_field(in.take(8), 8);
    row.time = printable_field(in.take(12), 12);
    return row;
}

}  // namespace

int CTesselcore::load_image(const std::string& path, tessel_image_t* img, tag_dmh_block_node* node)
{
    // Lengths are whole multiples of 512 KiB; anything else is not read at
    // all (nor anything the 32-bit entries cannot address).
    std::vector<uint8_t> bytes;
    std::string why;
    if (!wb::read_regular_file(path, 0xFFF80000u, &bytes, &why)) {
        const bool too_large = why.find("too large") != std::string::npos;
        m_report.show("%s", too_large ? "Wrong binary file!" : "Failed to open the flash file!");
        m_report.detail(why);
        return -1;
    }
    return load_image_bytes(std::move(bytes), img, node);
}

int CTesselcore::load_image_bytes(std::vector<uint8_t> bytes, tessel_image_t* img, tag_dmh_block_node* node)
{
    if (!img || !node)
        return -1;
    if (!image_length_ok(bytes.size())) {
        m_report.show("Wrong binary file!");
        return -1;
    }
    tessel_image_t loaded;
    loaded.bytes = std::move(bytes);
    // A failed load leaves the core on the image it had.
    tessel::DmhTable::Source prev = m_dmh.source();
    auto give_up = [&](tag_dmh_block_node* scanned) {
        m_dmh.set_node(nullptr);
        m_dmh.free_node(scanned);
        m_dmh.restore(prev);
        return -1;
    };
    tag_dmh_block_node scanned{};
    const int scan = scan_flash(loaded.bytes.data(), (uint32_t)loaded.bytes.size(), &scanned);
    if (scan < 0)
        return give_up(&scanned);
    loaded.is_new = scan == 1;
    try {
        if (read_header(&loaded, scanned) != 0)
            return give_up(&scanned);
    } catch (const std::bad_alloc&) {
        m_report.show("no memery!");
        return give_up(&scanned);
    }
    // The new image replaces the old one only now; the look-ups follow it
    // (its bytes keep their place when the object moves).
    m_dmh.set_node(nullptr);  // so that freeing the old table keeps the new scan's state
    m_dmh.free_node(node);
    *node = scanned;
    *img = std::move(loaded);
    m_dmh.set_node(img->is_new ? node : nullptr);
    m_dmh.set_image(img->is_new ? img->bytes.data() : nullptr, img->is_new ? (uint32_t)img->bytes.size() : 0);
    return 0;
}

// What the header shows: SDRAM and flash size, block count, software version.
int CTesselcore::read_header(tessel_image_t* img, const tag_dmh_block_node& scanned)
{
    tessel_image_t& loaded = *img;
    const uint8_t* data = loaded.bytes.data();
    const uint32_t len = (uint32_t)loaded.bytes.size();
    if (loaded.is_new) {
        loaded.sdram_size = m_dmh.sdram_size();
        loaded.flash_size = len;
        loaded.block_count = scanned.count;
        for (uint32_t i = 0; i < scanned.count; ++i)
            if (std::memcmp(scanned.working[i].entry + 24, "ssdata", 6) == 0) {
                loaded.version = version_text(scanned.working[i].data, entry_size(scanned.working[i]));
                break;
            }
    } else {
        if (read_old_layout(data, len, &loaded.old) != 0)
            return -1;
        loaded.sdram_size = loaded.old.sdram_size;
        loaded.flash_size = loaded.old.flash_size;
        loaded.block_count = (uint32_t)loaded.old.entries.size();
        for (const auto& e : loaded.old.entries)
            if (const tessel_block_row_t row = entry_row(e.data()); row.name == "ssdata") {
                const uint64_t off = row.offset, size = row.size;
                if (off < len) {
                    const size_t n = (size_t)std::min<uint64_t>(size, len - off);
                    loaded.version = version_text(kv::ByteReader(data, len).view(off, n).peek(), n);
                }
                break;
            }
    }
    return 0;
}

std::vector<tessel_block_row_t> CTesselcore::describe_blocks(const tessel_image_t& img, const tag_dmh_block_node& node)
{
    std::vector<tessel_block_row_t> rows;
    if (img.is_new) {
        for (uint32_t i = 0; i < node.count && i < kMaxBlocks && node.working; ++i) {
            tessel_block_row_t row = entry_row(node.working[i].entry);
            row.dmh_addr = node.working[i].dmh_addr;
            row.dmh_seq = node.working[i].dmh_seq;
            rows.push_back(row);
        }
    } else {
        for (size_t i = 0; i < img.old.entries.size() && i < kMaxBlocks; ++i)
            rows.push_back(entry_row(img.old.entries[i].data()));
    }
    return rows;
}

int CTesselcore::export_config_area(const std::vector<uint8_t>& image, const std::string& path)
{
    if (path.empty()) {
        m_report.show("Please select a file to be exported!");
        return -1;
    }
    kv::ByteReader in(image);
    in.seek(28);
    const uint64_t off = in.le32(), size = in.le32();  // zeros in an image shorter than 36 bytes
    bool opened = false;
    if (image.size() < 36 || off + size > image.size() ||
        !write_file_atomic(path, in.view(off, (size_t)size).peek(), (size_t)size, &opened)) {
        m_report.show("Create a file failed!");
        return -1;
    }
    m_report.show("Create a file successfully!");
    return 0;
}

CTesselcore::CTesselcore()
{
    char cwd[4096];
    std::string dir = getcwd(cwd, sizeof cwd) ? cwd : ".";
    m_set.xls_path = dir + (dir.empty() || dir.back() != '/' ? "/" : "") + "preset.xlsx";
}

CTesselcore::~CTesselcore() { generator_init(); }

int CTesselcore::scan_flash(const uint8_t* image, uint32_t len, tag_dmh_block_node* node)
{
    switch (m_dmh.scan(image, len, node)) {
    case DmhScan::found: return 1;
    case DmhScan::absent: return 0;
    case DmhScan::damaged: return -5;
    case DmhScan::no_memory: break;
    }
    return -1;
}

int CTesselcore::read_old_layout(const uint8_t* image, size_t len, tessel_old_image_t* out)
{
    if (!image || !out || len < 36) {
        m_report.show("Wrong bin file!");
        return -1;
    }
    kv::ByteReader in(image, len);
    tessel_old_image_t info;
    in.seek(8);
    info.header_pos = in.le32();
    in.seek(28);
    info.cfg_offset = in.le32();
    info.cfg_size = in.le32();
    uint64_t h = info.header_pos;
    if (h > len || info.cfg_size > len || h + 12 > len) {
        m_report.show("Wrong bin file!");
        return -1;
    }
    // A size: its first byte plus 65536 times its third.
    kv::ByteReader hp = in.view(h, len - h);
    auto size_field = [&hp]() {
        const uint32_t lo = hp.u8();
        hp.skip(1);
        const uint32_t hi = hp.u8();
        hp.skip(1);
        return lo + 65536u * hi;
    };
    info.sdram_size = size_field();
    info.flash_size = size_field();
    if (info.flash_size != len) {
        m_report.show("Wrong bin file!");
        return -1;
    }
    uint32_t n = hp.u8();
    if (n > kMaxBlocks) {
        m_report.show("Too many blocks!");
        return -1;
    }
    if (h + 12 + (uint64_t)kEntrySize * n > len) {
        m_report.show("Wrong bin file!");
        return -1;
    }
    hp.seek(12);
    for (uint32_t k = 0; k < n; ++k)
        info.entries.push_back(hp.bytes(kEntrySize));
    *out = std::move(info);
    return 0;
}

int CTesselcore::parse_flash(const uint8_t* image, uint32_t len)
{
    m_script.forget_unpacked();
    const tag_dmh_block_info_local* r = m_dmh.by_name("toolcfg", 7);
    if (!r)
        return -3;
    return m_script.unpack(image, len, *r) ? 0 : -8;
}

int CTesselcore::read_config_script(const std::string& path)
{
    std::string text;
    if (!m_script.source_text(path, &text))
        return -6;
    return read_config_script_text(text);
}

int CTesselcore::generate_xls_fie(tag_dmh_block_node* node)
{
    if (node)
        m_dmh.set_node(node);
    if (!m_dmh.node() || !m_dmh.node()->working) {
        m_report.show("ERROR!! no flash loaded!");
        return 0;
    }
    return tessel::WorkbookExport(m_report, m_dmh, m_script, m_set).write() ? 1 : 0;
}

int CTesselcore::read_xls_file(tag_dmh_block_node* node)
{
    if (node)
        m_dmh.set_node(node);
    if (!m_dmh.node() || !m_dmh.node()->working) {
        m_report.show("ERROR!! no flash loaded!");
        return -1;
    }
    return tessel::WorkbookImport(m_report, m_dmh, m_script, m_hw, m_set).read() ? 0 : -1;
}

int CTesselcore::compress_data(uint8_t* out, uint32_t* out_len, const uint8_t* in, uint32_t in_len)
{
    std::vector<uint8_t> v;
    if (!out_len || !compress_data(&v, in, in_len))
        return 0;
    if (v.size() > *out_len) {
        m_report.show("error to open output file!");
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
