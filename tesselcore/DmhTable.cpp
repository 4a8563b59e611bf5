// The DMH scan, the block look-ups, the rebuild and single blocks.
#include "DmhTable.h"

#include "AtomicFile.h"

#include "KvBasicCfgIni.h"
#include "Workbook.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tessel {

const char kDmhMarker[12] = {'*', '^', '_', '^', '*', 'D', 'M', '(', '^', 'o', '^', ')'};

bool is_dmh_header(const uint8_t* image, size_t len, size_t pos)
{
    if (!image || pos > len || len - pos < kDmhHeaderSize)
        return false;
    kv::ByteReader h = kv::ByteReader(image, len).view(pos, kDmhHeaderSize);
    if (std::memcmp(h.take(sizeof kDmhMarker), kDmhMarker, sizeof kDmhMarker) != 0)
        return false;
    h.seek(26);
    return h.u8() == kEntrySize;
}

bool entry_is_ncrc(const tag_dmh_block_info_local& r) { return std::memcmp(r.entry + 12, "NCRC", 4) == 0; }

static std::string field_text(const uint8_t* p, size_t n)
{
    size_t len = 0;
    while (len < n && p[len] != 0)
        ++len;
    return std::string(reinterpret_cast<const char*>(p), len);
}

std::string entry_name(const tag_dmh_block_info_local& r) { return field_text(r.entry + 24, 8); }
std::string entry_version(const tag_dmh_block_info_local& r) { return field_text(r.entry + 16, 8); }
std::string entry_time(const tag_dmh_block_info_local& r) { return field_text(r.entry + 32, 12); }

void* block_alloc(size_t size) { return std::calloc(1, size ? size : 1); }

void block_free(void* p) { std::free(p); }

bool write_file_atomic(const std::string& path, const uint8_t* data, size_t len, bool* opened)
{
    kv::AtomicFile f;
    std::string error;
    *opened = f.open(path, error);
    return *opened && f.write(data, len) && f.commit(error);
}

namespace {

// The fields of a DMH header the scan needs.
struct DmhHeader {
    uint32_t sdram = 0;
    uint32_t count = 0;  // entries that follow the header
};

DmhHeader read_dmh_header(kv::ByteReader h)
{
    DmhHeader d;
    h.seek(16);
    d.sdram = h.le32();
    h.seek(24);
    d.count = h.u8();
    return d;
}

// The first `needle` in [p, end), or null: memchr runs to each candidate
// first byte at memory speed (portable, unlike memmem).
const uint8_t* find_bytes(const uint8_t* p, const uint8_t* end, const uint8_t* needle, size_t n)
{
    while (static_cast<size_t>(end - p) >= n) {
        const auto* c = static_cast<const uint8_t*>(std::memchr(p, needle[0], static_cast<size_t>(end - p) - n + 1));
        if (!c)
            return nullptr;
        if (std::memcmp(c, needle, n) == 0)
            return c;
        p = c + 1;
    }
    return nullptr;
}

// Positions of valid DMH headers (is_dmh_header).
template <typename Fn>
void for_each_dmh(const uint8_t* image, uint32_t len, Fn fn)
{
    const uint8_t* p = image;
    const uint8_t* end = image + len;
    while (p < end) {
        const uint8_t* h = find_bytes(p, end, reinterpret_cast<const uint8_t*>(kDmhMarker), sizeof kDmhMarker);
        if (!h)
            return;
        uint32_t pos = (uint32_t)(h - image);
        if (is_dmh_header(image, len, pos))
            if (!fn(pos))
                return;
        p = h + 1;
    }
}

bool name_matches(const tag_dmh_block_info_local& r, const char* name, size_t length)
{
    char want[8] = {};
    if (length > 8)
        length = 8;
    for (size_t i = 0; name && i < sizeof want && name[i]; ++i)
        want[i] = name[i];
    return std::memcmp(r.entry + 24, want, length) == 0;
}

}  // namespace

DmhTable::DmhTable(Report& report) : m_report(report) { CKvBasicCfgIni::crc_setup_fast_lut(m_crc_table); }

void DmhTable::set_image(const uint8_t* image, uint32_t len)
{
    m_src.image = image;
    m_src.len = len;
}

DmhScan DmhTable::scan(const uint8_t* image, uint32_t len, tag_dmh_block_node* node)
{
    if (!image || !node)
        return DmhScan::absent;
    std::memset(node, 0, sizeof *node);
    // A first look: how many entries, and how much data they would copy.
    const kv::ByteReader img(image, len);
    bool found = false;
    uint32_t entries = 0;
    uint64_t total = 0;
    for_each_dmh(image, len, [&](uint32_t p) {
        found = true;
        kv::ByteReader dmh = img.view(p, len - p);
        const uint32_t n = read_dmh_header(dmh.sub(kDmhHeaderSize)).count;
        entries += n;
        for (uint32_t k = 0; k < n && entries <= kMaxBlocks && dmh.remaining() >= kEntrySize; ++k) {
            kv::ByteReader e = dmh.sub(kEntrySize);
            e.skip(8);
            total += e.le32();
        }
        return entries <= kMaxBlocks;
    });
    // No DMH, or more entries than the table holds: not an image of the new
    // type; the caller reads it in the old layout.
    if (!found || entries > kMaxBlocks)
        return DmhScan::absent;
    // Blocks may overlap, but their copies together stay within twice the
    // image: entries that each span the whole image are refused before
    // anything is copied.
    if (total > 2 * (uint64_t)len) {
        m_report.show("ERROR!! the blocks of this image overlap: together they are too large (%llu bytes, more "
                      "than twice the image's %u)!",
                      (unsigned long long)total, len);
        return DmhScan::damaged;
    }
    auto* table = static_cast<tag_dmh_block_info_local*>(block_alloc(kMaxBlocks * sizeof(tag_dmh_block_info_local)));
    if (!table) {
        m_report.show("no memery!");
        return DmhScan::no_memory;
    }
    uint32_t count = 0;
    DmhScan result = DmhScan::found;
    const bool copied = copy_blocks(image, len, table, &count, &result);
    node->count = (uint16_t)count;
    node->image_len = len;
    node->working = table;
    if (!copied) {
        free_node(node);
        return result;
    }
    node->pristine = static_cast<tag_dmh_block_info_local*>(block_alloc(kMaxBlocks * sizeof(tag_dmh_block_info_local)));
    if (!node->pristine) {
        free_node(node);
        m_report.show("no memery!");
        return DmhScan::no_memory;
    }
    std::memcpy(node->pristine, table, kMaxBlocks * sizeof(tag_dmh_block_info_local));
    // The pristine table keeps the entries; the data belongs to the working table.
    for (uint32_t i = 0; i < kMaxBlocks; ++i)
        node->pristine[i].data = nullptr;
    m_src.node = node;
    set_image(image, len);
    m_src.scanned.clear();
    for (uint32_t i = 0; i < count; ++i)
        m_src.scanned.push_back(table[i].dmh_addr);
    return DmhScan::found;
}

// The entries of every DMH into `table`, each with a copy of its data.
bool DmhTable::copy_blocks(const uint8_t* image, uint32_t len, tag_dmh_block_info_local* table, uint32_t* count,
                           DmhScan* result)
{
    const kv::ByteReader img(image, len);
    uint8_t seq = 0;
    uint32_t sdram = 0;
    for_each_dmh(image, len, [&](uint32_t p) {
        ++seq;
        const DmhHeader h = read_dmh_header(img.view(p, kDmhHeaderSize));
        sdram = h.sdram;
        const uint32_t n = h.count;
        if ((uint64_t)p + kDmhHeaderSize + (uint64_t)kEntrySize * n > len) {
            m_report.show("ERROR!! the DMH at 0x%x lists %u blocks beyond the end of the image!", p, n);
            *result = DmhScan::damaged;
            return false;
        }
        kv::ByteReader list = img.view(p + kDmhHeaderSize, size_t(kEntrySize) * n);
        for (uint32_t k = 0; k < n; ++k) {
            tag_dmh_block_info_local& r = table[*count];
            list.bytes(r.entry, kEntrySize);
            r.dmh_addr = p;
            r.index_in_dmh = k;
            r.dmh_seq = seq;
            uint64_t start = (uint64_t)p + entry_offset(r);
            uint32_t size = entry_size(r);
            if (start + size > len) {
                m_report.show("ERROR!! block [%s] id[0x%x] (offset 0x%x, size 0x%x) lies outside the image!",
                              entry_name(r).c_str(), entry_id(r), entry_offset(r), size);
                *result = DmhScan::damaged;
                return false;
            }
            r.data = static_cast<uint8_t*>(block_alloc(size));
            if (!r.data) {
                m_report.show("no memery!");
                *result = DmhScan::no_memory;
                return false;
            }
            img.view(size_t(start), size).bytes(r.data, size);
            ++*count;
        }
        return true;
    });
    if (*result != DmhScan::found)
        return false;
    m_src.sdram = sdram;
    return true;
}

void DmhTable::free_node(tag_dmh_block_node* node)
{
    if (!node)
        return;
    if (node->working)
        for (uint32_t i = 0; i < kMaxBlocks; ++i)
            block_free(node->working[i].data);
    block_free(node->working);
    block_free(node->pristine);
    std::memset(node, 0, sizeof *node);
    if (m_src.node == node) {
        m_src.node = nullptr;
        set_image(nullptr, 0);
        m_src.scanned.clear();
    }
}

tag_dmh_block_info_local* DmhTable::by_id(uint8_t id)
{
    tag_dmh_block_node* n = m_src.node;
    if (n && n->working)
        for (uint32_t i = 0; i < n->count; ++i)
            if (entry_id(n->working[i]) == id)
                return &n->working[i];
    m_report.show("ERROR!! can not find block id[0x%x]in dmh!", id);
    return nullptr;
}

tag_dmh_block_info_local* DmhTable::by_name(const char* name, size_t length)
{
    tag_dmh_block_node* n = m_src.node;
    if (n && n->working)
        for (uint32_t i = 0; i < n->count; ++i)
            if (name_matches(n->working[i], name, length))
                return &n->working[i];
    return nullptr;
}

tag_dmh_block_info_local* DmhTable::by_name_id(const char* name, size_t length, uint8_t id)
{
    tag_dmh_block_node* n = m_src.node;
    if (n && n->working)
        for (uint32_t i = 0; i < n->count; ++i)
            if (name_matches(n->working[i], name, length) && entry_id(n->working[i]) == id)
                return &n->working[i];
    char shown[9] = {};
    if (name)
        std::strncpy(shown, name, length < 8 ? length : 8);
    m_report.show("ERROR!! can not find block [%s] id[0x%x]in dmh!", shown, id);
    return nullptr;
}

uint32_t DmhTable::next_dmh_addr(uint32_t start_index) const
{
    const tag_dmh_block_node* n = m_src.node;
    if (!n || !n->working || start_index >= n->count)
        return 0;
    uint32_t first = n->working[start_index].dmh_addr;
    for (uint32_t i = start_index; i < n->count; ++i)
        if (n->working[i].dmh_addr != first)
            return n->working[i].dmh_addr;
    return 0;
}

uint32_t DmhTable::scanned_dmh_addr(uint32_t index) const
{
    return index < m_src.scanned.size() ? m_src.scanned[index] : m_src.node->working[index].dmh_addr;
}

// Writes the DMH of record `index` into `out` (out_len bytes); the header
// bytes come from the source image at the DMH's scanned position.
bool DmhTable::write_dmh(uint8_t* out, uint32_t out_len, uint32_t index)
{
    const tag_dmh_block_node* n = m_src.node;
    if (!n || !n->working || index >= n->count || !m_src.image)
        return false;
    const tag_dmh_block_info_local& rec = n->working[index];
    uint64_t at = rec.dmh_addr;
    uint32_t src = scanned_dmh_addr(index);
    uint32_t k = 0;
    for (uint32_t i = 0; i < n->count; ++i)
        if (n->working[i].dmh_seq == rec.dmh_seq)
            ++k;
    if (at + kDmhHeaderSize + (uint64_t)kEntrySize * k > out_len || (uint64_t)src + kDmhHeaderSize > m_src.len)
        return false;
    std::memcpy(out + at, m_src.image + src, kDmhHeaderSize);
    k = 0;
    for (uint32_t i = 0; i < n->count; ++i)
        if (n->working[i].dmh_seq == rec.dmh_seq)
            std::memcpy(out + at + kDmhHeaderSize + kEntrySize * k++, n->working[i].entry, kEntrySize);
    return true;
}

bool DmhTable::rebuild(const uint8_t* image, uint32_t len, std::vector<uint8_t>* out)
{
    if (!m_src.node || !m_src.node->working || !image || !out) {
        m_report.show("Error: no flash loaded.");
        return false;
    }
    if (image != m_src.image)
        set_image(image, len);
    std::vector<uint8_t> buf(image, image + len);
    if (!rebuild_into(m_src.node->working, m_src.node->count, len, &buf))
        return false;
    out->swap(buf);
    return true;
}

// The blocks of the working table laid out again in `buf`: CRCs updated,
// the A4/A8 blocks on 64 KiB, a block that would overlap the one before it
// moved behind it, every DMH written with its entries.
bool DmhTable::rebuild_into(tag_dmh_block_info_local* t, uint32_t n, uint32_t len, std::vector<uint8_t>* buf)
{
    auto too_large = [&] {
        m_report.show("Error: file too large, out of range.");
        return false;
    };
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
            if (aligned > 0xFFFFFFFFu)
                return too_large();
            set_entry_offset(r, (uint32_t)aligned);
        }
        if (r.dmh_seq != g) {
            ++g;
            if (g == 2 && e > next_dmh_addr(0)) {
                m_report.show("Error: bootloader out of range");
                return false;
            }
            if (j != 0) {
                if (!write_dmh(buf->data(), len, j - 1))
                    return too_large();
                c = e;
            }
            e = 0;
        }
        if (r.dmh_addr < c) {
            if (c > 0xFFFFFFFFu)
                return too_large();
            r.dmh_addr = (uint32_t)c;
        }
        uint64_t pos = (uint64_t)r.dmh_addr + entry_offset(r);
        e = pos + size;
        if (j + 1 < n) {
            tag_dmh_block_info_local& nx = t[j + 1];
            if ((uint64_t)nx.dmh_addr + entry_offset(nx) < e) {
                if (e - nx.dmh_addr > 0xFFFFFFFFu)
                    return too_large();
                set_entry_offset(nx, (uint32_t)(e - nx.dmh_addr));
            }
        }
        if (pos + size > len)
            return too_large();
        if (size)
            std::memcpy(buf->data() + pos, r.data, size);
    }
    if (n > 0 && !write_dmh(buf->data(), len, n - 1))
        return too_large();
    return true;
}

bool DmhTable::save_image(const uint8_t* image, uint32_t len, const std::string& path)
{
    std::vector<uint8_t> out;
    if (!rebuild(image, len, &out))
        return false;
    bool opened = false;
    if (!write_file_atomic(path, out.data(), out.size(), &opened)) {
        m_report.show(opened ? "Error: Generate new flash failed"
                             : "Error: Open file failed!Please select a empty file");
        return false;
    }
    m_report.show("The New Flash File Created Successful!");
    return true;
}

const tag_dmh_block_info_local* DmhTable::pristine_block(const std::string& name, uint8_t id, uint32_t* index) const
{
    for (uint32_t i = 0; i < m_src.node->count; ++i) {
        const tag_dmh_block_info_local& r = m_src.node->pristine[i];
        if (name_matches(r, name.c_str(), 8) && entry_id(r) == id) {
            *index = i;
            return &r;
        }
    }
    return nullptr;
}

bool DmhTable::save_block(const uint8_t* image, uint32_t len, const std::string& name, uint8_t id,
                          const std::string& path)
{
    if (path.empty()) {
        m_report.show("Please select output file!");
        return false;
    }
    uint32_t index = 0;
    const tag_dmh_block_info_local* r =
        m_src.node && m_src.node->pristine && image ? pristine_block(name, id, &index) : nullptr;
    const uint64_t start = r ? (uint64_t)r->dmh_addr + entry_offset(*r) : 0;
    const uint32_t size = r ? entry_size(*r) : 0;
    if (!r || start + size > len) {
        m_report.show("Save failed! Block name or ID can not find in flash!");
        return false;
    }
    bool opened = false;
    if (!write_file_atomic(path, kv::ByteReader(image, len).view(size_t(start), size).peek(), size, &opened)) {
        m_report.show(opened ? "error to write block bin  file " : "error to save block bin  file ");
        return false;
    }
    m_report.show("The Block have been saved!");
    return true;
}

bool DmhTable::load_block(const std::string& name, uint8_t id, const std::string& path)
{
    if (path.empty()) {
        m_report.show("Please select load file!");
        return false;
    }
    uint32_t i = 0;
    if (!m_src.node || !m_src.node->pristine || !pristine_block(name, id, &i)) {
        m_report.show("Load failed! Block name or ID can not find in flash!");
        return false;
    }
    // A regular file of at most the flash's length: a device or a FIFO is never read.
    std::vector<uint8_t> bytes;
    std::string why;
    if (!wb::read_regular_file(path, m_src.node->image_len, &bytes, &why)) {
        const bool too_large = why.find("too large") != std::string::npos;
        m_report.show("%s",
                      too_large ? "The load file is larger than the flash!" : "error to open load block bin  file ");
        m_report.detail(why);
        return false;
    }
    if (bytes.empty()) {
        m_report.show("The load file is 0 bytes!");
        return false;
    }
    if (!replace_data(&m_src.node->working[i], std::move(bytes), false))
        return false;
    m_report.show("The Block have been loaded!");
    return true;
}

bool DmhTable::replace_data(tag_dmh_block_info_local* r, std::vector<uint8_t> bytes, bool keep_size)
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
    auto* buf = static_cast<uint8_t*>(block_alloc(bytes.size()));
    if (!buf) {
        m_report.show("no memery!");
        return false;
    }
    if (!bytes.empty())
        std::memcpy(buf, bytes.data(), bytes.size());
    block_free(r->data);
    r->data = buf;
    set_entry_size(*r, (uint32_t)bytes.size());
    return true;
}

}  // namespace tessel
