// Images as a whole: loading and checking (Pre-Parse), the block list, the
// export of the configuration area; files written in one piece.
#include "Tesselcore.h"

#include "Workbook.h"

#include <cstdio>
#include <cstring>
#include <new>

using namespace tessel;

namespace tessel {

bool write_file_atomic(const std::string& path, const uint8_t* data, size_t len, bool* opened)
{
    const std::string tmp = path + ".part";
    FILE* f = std::fopen(tmp.c_str(), "wb");
    *opened = f != nullptr;
    if (!f)
        return false;
    bool ok = len == 0 || std::fwrite(data, 1, len, f) == len;
    ok = (std::fclose(f) == 0) && ok;
    if (ok && std::rename(tmp.c_str(), path.c_str()) != 0)
        ok = false;
    if (!ok)
        std::remove(tmp.c_str());
    return ok;
}

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
    tessel_block_row_t row;
    row.id = e[0];
    row.offset = rd32(e + 4);
    row.size = rd32(e + 8);
    row.crc = rd32(e + 12);
    row.version = printable_field(e + 16, 8);
    row.name = printable_field(e + 24, 8);
    row.time = printable_field(e + 32, 12);
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
        show("%s", too_large ? "Wrong binary file!" : "Failed to open the flash file!");
        detail(why);
        return -1;
    }
    return load_image_bytes(std::move(bytes), img, node);
}

int CTesselcore::load_image_bytes(std::vector<uint8_t> bytes, tessel_image_t* img, tag_dmh_block_node* node)
{
    if (!img || !node)
        return -1;
    if (!image_length_ok(bytes.size())) {
        show("Wrong binary file!");
        return -1;
    }
    tessel_image_t loaded;
    loaded.bytes = std::move(bytes);
    // A failed load leaves the core on the image it had.
    tag_dmh_block_node* const prev_node = m_node;
    const uint8_t* const prev_image = m_src_image;
    const uint32_t prev_len = m_src_len, prev_sdram = m_sdram_size;
    std::vector<uint32_t> prev_dmh = m_scanned_dmh;
    auto give_up = [&](tag_dmh_block_node* scanned) {
        m_node = nullptr;
        free_block_node(scanned);
        m_node = prev_node;
        m_src_image = prev_image;
        m_src_len = prev_len;
        m_sdram_size = prev_sdram;
        m_scanned_dmh.swap(prev_dmh);
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
        show("no memery!");
        return give_up(&scanned);
    }
    // The new image replaces the old one only now; the look-ups follow it
    // (its bytes keep their place when the object moves).
    m_node = nullptr;  // so that freeing the old table keeps the new scan's state
    free_block_node(node);
    *node = scanned;
    *img = std::move(loaded);
    m_node = img->is_new ? node : nullptr;
    m_src_image = img->is_new ? img->bytes.data() : nullptr;
    m_src_len = img->is_new ? (uint32_t)img->bytes.size() : 0;
    return 0;
}

// What the header shows: SDRAM and flash size, block count, software version.
int CTesselcore::read_header(tessel_image_t* img, const tag_dmh_block_node& scanned)
{
    tessel_image_t& loaded = *img;
    const uint8_t* data = loaded.bytes.data();
    const uint32_t len = (uint32_t)loaded.bytes.size();
    if (loaded.is_new) {
        loaded.sdram_size = m_sdram_size;
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
            if (printable_field(e.data() + 24, 8) == "ssdata") {
                const uint64_t off = rd32(e.data() + 4), size = rd32(e.data() + 8);
                if (off < len)
                    loaded.version = version_text(data + off, (size_t)std::min<uint64_t>(size, len - off));
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
        show("Please select a file to be exported!");
        return -1;
    }
    const uint64_t off = image.size() >= 36 ? rd32(image.data() + 28) : 0;
    const uint64_t size = image.size() >= 36 ? rd32(image.data() + 32) : 0;
    bool opened = false;
    if (image.size() < 36 || off + size > image.size() ||
        !write_file_atomic(path, image.data() + off, (size_t)size, &opened)) {
        show("Create a file failed!");
        return -1;
    }
    show("Create a file successfully!");
    return 0;
}
