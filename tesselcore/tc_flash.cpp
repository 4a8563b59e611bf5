// Flash images: the DMH scan, the block look-ups, the rebuild, single blocks
// and the script of the "toolcfg" block.
#include "Tesselcore.h"

#include "Workbook.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <unistd.h>

using namespace tessel;

namespace {

// Positions of valid DMH headers (is_dmh_header). memmem finds the marker at
// memory speed.
template <typename Fn>
void for_each_dmh(const uint8_t* image, uint32_t len, Fn fn)
{
    const uint8_t* p = image;
    const uint8_t* end = image + len;
    while (p < end) {
        const void* hit = memmem(p, (size_t)(end - p), kDmhMarker, sizeof kDmhMarker);
        if (!hit)
            return;
        const auto* h = static_cast<const uint8_t*>(hit);
        uint32_t pos = (uint32_t)(h - image);
        if (is_dmh_header(image, len, pos))
            if (!fn(pos))
                return;
        p = h + 1;
    }
}

}  // namespace

int CTesselcore::scan_flash(const uint8_t* image, uint32_t len, tag_dmh_block_node* node)
{
    if (!image || !node)
        return 0;
    std::memset(node, 0, sizeof *node);
    // A first look: how many entries, and how much data they would copy.
    bool found = false;
    uint32_t entries = 0;
    uint64_t total = 0;
    for_each_dmh(image, len, [&](uint32_t p) {
        found = true;
        const uint32_t n = dmh_entry_count(image + p);
        entries += n;
        for (uint32_t k = 0; k < n && entries <= kMaxBlocks; ++k)
            if ((uint64_t)p + kDmhHeaderSize + kEntrySize * (k + 1) <= len)
                total += rd32(image + p + kDmhHeaderSize + kEntrySize * k + 8);
        return entries <= kMaxBlocks;
    });
    // No DMH, or more entries than the table holds: not an image of the new
    // type; the caller reads it in the old layout.
    if (!found || entries > kMaxBlocks)
        return 0;
    // Blocks may overlap, but their copies together stay within twice the
    // image: entries that each span the whole image are refused before
    // anything is copied.
    if (total > 2 * (uint64_t)len) {
        show("ERROR!! the blocks of this image overlap: together they are too large (%llu bytes, more than twice "
             "the image's %u)!",
             (unsigned long long)total, len);
        return -5;
    }

    auto* table = static_cast<tag_dmh_block_info_local*>(
        Debug_malloc("scan_flash", kMaxBlocks * sizeof(tag_dmh_block_info_local)));
    if (!table) {
        show("no memery!");
        return -1;
    }
    uint32_t count = 0;
    uint8_t seq = 0;
    uint32_t sdram = 0;
    int rc = 1;
    for_each_dmh(image, len, [&](uint32_t p) {
        ++seq;
        sdram = rd32(image + p + 16);
        uint32_t n = dmh_entry_count(image + p);
        if ((uint64_t)p + kDmhHeaderSize + (uint64_t)kEntrySize * n > len) {
            show("ERROR!! the DMH at 0x%x lists %u blocks beyond the end of the image!", p, n);
            rc = -5;
            return false;
        }
        for (uint32_t k = 0; k < n; ++k) {
            tag_dmh_block_info_local& r = table[count];
            std::memcpy(r.entry, image + p + kDmhHeaderSize + kEntrySize * k, kEntrySize);
            r.dmh_addr = p;
            r.index_in_dmh = k;
            r.dmh_seq = seq;
            uint64_t start = (uint64_t)p + entry_offset(r);
            uint32_t size = entry_size(r);
            if (start + size > len) {
                show("ERROR!! block [%s] id[0x%x] (offset 0x%x, size 0x%x) lies outside the image!",
                     entry_name(r).c_str(), entry_id(r), entry_offset(r), size);
                rc = -5;
                return false;
            }
            r.data = static_cast<uint8_t*>(Debug_malloc("scan_flash", size));
            if (!r.data) {
                show("no memery!");
                rc = -1;
                return false;
            }
            std::memcpy(r.data, image + start, size);
            ++count;
        }
        return true;
    });
    node->count = (uint16_t)count;
    node->image_len = len;
    node->working = table;
    if (rc != 1) {
        free_block_node(node);
        return rc;
    }
    node->pristine = static_cast<tag_dmh_block_info_local*>(
        Debug_malloc("scan_flash", kMaxBlocks * sizeof(tag_dmh_block_info_local)));
    if (!node->pristine) {
        free_block_node(node);
        show("no memery!");
        return -1;
    }
    std::memcpy(node->pristine, table, kMaxBlocks * sizeof(tag_dmh_block_info_local));
    // The pristine table keeps the entries; the data belongs to the working table.
    for (uint32_t i = 0; i < kMaxBlocks; ++i)
        node->pristine[i].data = nullptr;
    m_sdram_size = sdram;
    m_node = node;
    m_src_image = image;
    m_src_len = len;
    m_scanned_dmh.clear();
    for (uint32_t i = 0; i < count; ++i)
        m_scanned_dmh.push_back(table[i].dmh_addr);
    return 1;
}

void CTesselcore::free_block_node(tag_dmh_block_node* node)
{
    if (!node)
        return;
    if (node->working)
        for (uint32_t i = 0; i < kMaxBlocks; ++i)
            Debug_free(node->working[i].data);
    Debug_free(node->working);
    Debug_free(node->pristine);
    std::memset(node, 0, sizeof *node);
    if (m_node == node) {
        m_node = nullptr;
        m_src_image = nullptr;
        m_src_len = 0;
        m_scanned_dmh.clear();
    }
}

int CTesselcore::read_old_layout(const uint8_t* image, size_t len, tessel_old_image_t* out)
{
    if (!image || !out || len < 36) {
        show("Wrong bin file!");
        return -1;
    }
    tessel_old_image_t info;
    info.header_pos = rd32(image + 8);
    info.cfg_offset = rd32(image + 28);
    info.cfg_size = rd32(image + 32);
    uint64_t h = info.header_pos;
    if (h > len || info.cfg_size > len || h + 12 > len) {
        show("Wrong bin file!");
        return -1;
    }
    const uint8_t* hp = image + h;
    info.sdram_size = hp[0] + 65536u * hp[2];
    info.flash_size = hp[4] + 65536u * hp[6];
    if (info.flash_size != len) {
        show("Wrong bin file!");
        return -1;
    }
    uint32_t n = hp[8];
    if (n > kMaxBlocks) {
        show("Too many blocks!");
        return -1;
    }
    if (h + 12 + (uint64_t)kEntrySize * n > len) {
        show("Wrong bin file!");
        return -1;
    }
    for (uint32_t k = 0; k < n; ++k)
        info.entries.emplace_back(hp + 12 + kEntrySize * k, hp + 12 + kEntrySize * (k + 1));
    *out = std::move(info);
    return 0;
}

tag_dmh_block_info_local* CTesselcore::get_block_info_by_id(uint8_t id)
{
    if (m_node && m_node->working)
        for (uint32_t i = 0; i < m_node->count; ++i)
            if (entry_id(m_node->working[i]) == id)
                return &m_node->working[i];
    show("ERROR!! can not find block id[0x%x]in dmh!", id);
    return nullptr;
}

static bool name_matches(const tag_dmh_block_info_local& r, const char* name, size_t length)
{
    char want[8] = {};
    if (length > 8)
        length = 8;
    for (size_t i = 0; name && i < sizeof want && name[i]; ++i)
        want[i] = name[i];
    return std::memcmp(r.entry + 24, want, length) == 0;
}

tag_dmh_block_info_local* CTesselcore::get_block_info_by_name(const char* name, size_t length)
{
    if (m_node && m_node->working)
        for (uint32_t i = 0; i < m_node->count; ++i)
            if (name_matches(m_node->working[i], name, length))
                return &m_node->working[i];
    return nullptr;
}

tag_dmh_block_info_local* CTesselcore::get_block_info_by_name_id(const char* name, size_t length, uint8_t id)
{
    if (m_node && m_node->working)
        for (uint32_t i = 0; i < m_node->count; ++i)
            if (name_matches(m_node->working[i], name, length) && entry_id(m_node->working[i]) == id)
                return &m_node->working[i];
    char shown[9] = {};
    if (name)
        std::strncpy(shown, name, length < 8 ? length : 8);
    show("ERROR!! can not find block [%s] id[0x%x]in dmh!", shown, id);
    return nullptr;
}

uint32_t CTesselcore::get_next_dmh_addr(uint32_t start_index)
{
    if (!m_node || !m_node->working || start_index >= m_node->count)
        return 0;
    uint32_t first = m_node->working[start_index].dmh_addr;
    for (uint32_t i = start_index; i < m_node->count; ++i)
        if (m_node->working[i].dmh_addr != first)
            return m_node->working[i].dmh_addr;
    return 0;
}

int CTesselcore::block_index(const tag_dmh_block_info_local* r) const
{
    if (!m_node || !m_node->working || r < m_node->working || r >= m_node->working + m_node->count)
        return -1;
    return (int)(r - m_node->working);
}

uint32_t CTesselcore::scanned_dmh_addr(uint32_t index) const
{
    return index < m_scanned_dmh.size() ? m_scanned_dmh[index] : m_node->working[index].dmh_addr;
}

int CTesselcore::write_dmh_info(uint8_t* out, uint32_t out_len, uint32_t index)
{
    if (!m_node || !m_node->working || index >= m_node->count || !m_src_image)
        return -1;
    const tag_dmh_block_info_local& rec = m_node->working[index];
    uint64_t at = rec.dmh_addr;
    uint32_t src = scanned_dmh_addr(index);
    uint32_t k = 0;
    for (uint32_t i = 0; i < m_node->count; ++i)
        if (m_node->working[i].dmh_seq == rec.dmh_seq)
            ++k;
    if (at + kDmhHeaderSize + (uint64_t)kEntrySize * k > out_len || (uint64_t)src + kDmhHeaderSize > m_src_len)
        return -1;
    std::memcpy(out + at, m_src_image + src, kDmhHeaderSize);
    k = 0;
    for (uint32_t i = 0; i < m_node->count; ++i)
        if (m_node->working[i].dmh_seq == rec.dmh_seq)
            std::memcpy(out + at + kDmhHeaderSize + kEntrySize * k++, m_node->working[i].entry, kEntrySize);
    return 0;
}

int CTesselcore::rebuild_flash(const uint8_t* image, uint32_t len, std::vector<uint8_t>* out)
{
    if (!m_node || !m_node->working || !image || !out) {
        show("Error: no flash loaded.");
        return -1;
    }
    if (image != m_src_image) {
        m_src_image = image;
        m_src_len = len;
    }
    std::vector<uint8_t> buf(image, image + len);
    tag_dmh_block_info_local* t = m_node->working;
    uint32_t n = m_node->count;
    uint32_t g = 0;
    uint64_t e = 0, c = 0;
    for (uint32_t j = 0; j < n; ++j) {
        tag_dmh_block_info_local& r = t[j];
        uint32_t size = entry_size(r);
        if (!entry_is_ncrc(r))
            wr32(r.entry + 12, CKvBasicCfgIni::crc_fast_calculate(m_crc_table, 0xFFFFFFFFu, r.data, size));
        uint8_t id = entry_id(r);
        if ((id == 0xA4 || id == 0xA8) && (entry_offset(r) & 0xFFFFu) != 0) {
            uint64_t aligned = ((uint64_t)entry_offset(r) + 0xFFFFu) & ~(uint64_t)0xFFFFu;
            if (aligned > 0xFFFFFFFFu) {
                show("Error: file too large, out of range.");
                return -1;
            }
            set_entry_offset(r, (uint32_t)aligned);
        }
        if (r.dmh_seq != g) {
            ++g;
            if (g == 2 && e > get_next_dmh_addr(0)) {
                show("Error: bootloader out of range");
                return -1;
            }
            if (j != 0) {
                if (write_dmh_info(buf.data(), len, j - 1) != 0) {
                    show("Error: file too large, out of range.");
                    return -1;
                }
                c = e;
            }
            e = 0;
        }
        if (r.dmh_addr < c) {
            if (c > 0xFFFFFFFFu) {
                show("Error: file too large, out of range.");
                return -1;
            }
            r.dmh_addr = (uint32_t)c;
        }
        uint64_t pos = (uint64_t)r.dmh_addr + entry_offset(r);
        e = pos + size;
        if (j + 1 < n) {
            tag_dmh_block_info_local& nx = t[j + 1];
            if ((uint64_t)nx.dmh_addr + entry_offset(nx) < e) {
                if (e - nx.dmh_addr > 0xFFFFFFFFu) {
                    show("Error: file too large, out of range.");
                    return -1;
                }
                set_entry_offset(nx, (uint32_t)(e - nx.dmh_addr));
            }
        }
        if (pos + size > len) {
            show("Error: file too large, out of range.");
            return -1;
        }
        if (size)
            std::memcpy(buf.data() + pos, r.data, size);
    }
    if (n > 0 && write_dmh_info(buf.data(), len, n - 1) != 0) {
        show("Error: file too large, out of range.");
        return -1;
    }
    out->swap(buf);
    return 0;
}

int CTesselcore::save_new_flash(const uint8_t* image, uint32_t len, const std::string& path)
{
    std::vector<uint8_t> out;
    if (rebuild_flash(image, len, &out) != 0)
        return -1;
    bool opened = false;
    if (!write_file_atomic(path, out.data(), out.size(), &opened)) {
        show(opened ? "Error: Generate new flash failed" : "Error: Open file failed!Please select a empty file");
        return -1;
    }
    show("The New Flash File Created Successful!");
    return 0;
}

int CTesselcore::save_block(const uint8_t* image, uint32_t len, const std::string& name, uint8_t id,
                            const std::string& path)
{
    if (path.empty()) {
        show("Please select output file!");
        return -1;
    }
    if (!m_node || !m_node->pristine || !image) {
        show("Save failed! Block name or ID can not find in flash!");
        return -1;
    }
    for (uint32_t i = 0; i < m_node->count; ++i) {
        const tag_dmh_block_info_local& r = m_node->pristine[i];
        if (!name_matches(r, name.c_str(), 8) || entry_id(r) != id)
            continue;
        uint64_t start = (uint64_t)r.dmh_addr + entry_offset(r);
        uint32_t size = entry_size(r);
        if (start + size > len) {
            show("Save failed! Block name or ID can not find in flash!");
            return -1;
        }
        bool opened = false;
        if (!write_file_atomic(path, image + start, size, &opened)) {
            show(opened ? "error to write block bin  file " : "error to save block bin  file ");
            return -1;
        }
        show("The Block have been saved!");
        return 0;
    }
    show("Save failed! Block name or ID can not find in flash!");
    return -1;
}

int CTesselcore::load_block(const std::string& name, uint8_t id, const std::string& path)
{
    if (path.empty()) {
        show("Please select load file!");
        return -1;
    }
    if (!m_node || !m_node->pristine) {
        show("Load failed! Block name or ID can not find in flash!");
        return -1;
    }
    for (uint32_t i = 0; i < m_node->count; ++i) {
        const tag_dmh_block_info_local& r = m_node->pristine[i];
        if (!name_matches(r, name.c_str(), 8) || entry_id(r) != id)
            continue;
        // A regular file of at most the flash's length: a device or a FIFO is never read.
        std::vector<uint8_t> bytes;
        std::string why;
        if (!wb::read_regular_file(path, m_node->image_len, &bytes, &why)) {
            const bool too_large = why.find("too large") != std::string::npos;
            show("%s", too_large ? "The load file is larger than the flash!" : "error to open load block bin  file ");
            detail(why);
            return -1;
        }
        if (bytes.empty()) {
            show("The load file is 0 bytes!");
            return -1;
        }
        auto* buf = static_cast<uint8_t*>(Debug_malloc("load_block", bytes.size()));
        if (!buf) {
            show("no memery!");
            return -1;
        }
        std::memcpy(buf, bytes.data(), bytes.size());
        const long flen = (long)bytes.size();
        tag_dmh_block_info_local& w = m_node->working[i];
        Debug_free(w.data);
        w.data = buf;
        set_entry_size(w, (uint32_t)flen);
        show("The Block have been loaded!");
        return 0;
    }
    show("Load failed! Block name or ID can not find in flash!");
    return -1;
}

int CTesselcore::parse_flash(const uint8_t* image, uint32_t len)
{
    m_script.clear();
    tag_dmh_block_info_local* r = get_block_info_by_name("toolcfg", 7);
    if (!r)
        return -3;
    uint64_t start = (uint64_t)r->dmh_addr + entry_offset(*r);
    uint32_t size = entry_size(*r);
    std::vector<uint8_t> text;
    const unpack_t u = image && start + size <= len ? gzip_unpack(image + start, size, &text, kMaxScriptSize)
                                                   : unpack_t::damaged;
    if (u == unpack_t::too_large) {
        show("ERROR!! the script of block [toolcfg] is too large (more than %zu bytes unpacked)!", kMaxScriptSize);
        return -8;
    }
    if (u != unpack_t::ok) {
        show("ERROR!! can not unpack the script of block [toolcfg]!");
        return -8;
    }
    m_script.assign(text.begin(), text.end());
    return 0;
}

bool CTesselcore::replace_data(tag_dmh_block_info_local* r, std::vector<uint8_t> bytes, bool keep_size)
{
    uint32_t size = entry_size(*r);
    if (keep_size) {
        // The block keeps its size: fewer bytes leave the rest as it was,
        // more bytes are cut at the block's size.
        size_t n = bytes.size() < size ? bytes.size() : size;
        if (n)
            std::memcpy(r->data, bytes.data(), n);
        return true;
    }
    auto* buf = static_cast<uint8_t*>(Debug_malloc("replace_data", bytes.size()));
    if (!buf) {
        show("no memery!");
        return false;
    }
    if (!bytes.empty())
        std::memcpy(buf, bytes.data(), bytes.size());
    Debug_free(r->data);
    r->data = buf;
    set_entry_size(*r, (uint32_t)bytes.size());
    return true;
}
