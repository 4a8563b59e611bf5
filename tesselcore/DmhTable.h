// The block table of a new-type flash image: the DMH headers with their
// 48-byte entries, the block data they list, the look-ups by id and name,
// the rebuild of the image from the edited table and single blocks saved and
// loaded.
//
// Qt-free. Operations return true on success and false on failure with the
// text in the Report; look-ups return null when nothing matches; the scan
// says what it found.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ByteOrder.h"
#include "TesselReport.h"

// One block of a new-type image. `entry` is the 48-byte entry as it stands in
// the image; the accessors in namespace tessel read and write its fields.
struct tag_dmh_block_info_local {
    uint8_t entry[48];
    uint32_t dmh_addr;  // image offset of the DMH header listing the block
    uint32_t index_in_dmh;  // position of the entry in its DMH, from 0
    uint8_t dmh_seq;  // ordinal of the DMH in image order, from 1
    uint8_t* data;  // `size` bytes, owned by the working record
};

struct tag_dmh_block_node {
    uint16_t count;
    uint32_t image_len;
    tag_dmh_block_info_local* pristine;  // the entries as scanned (data pointers cleared)
    tag_dmh_block_info_local* working;  // the table every edit goes to
};

namespace tessel {

constexpr size_t kEntrySize = 48;
constexpr size_t kDmhHeaderSize = 28;
constexpr size_t kMaxBlocks = 64;
constexpr uint32_t kImageUnit = 0x80000;  // image lengths are multiples of 512 KiB
extern const char kDmhMarker[12];  // "*^_^*DM(^o^)"

// A DMH header is 28 bytes: the marker, three words (the second the SDRAM
// size), then the entry count in byte 24 and the entry size in byte 26, one
// byte each; bytes 25 and 27 are fields of their own, kept as found. A header
// counts only when it lies whole in the image and its entry size is 48. Both
// the configuration tool and the front-panel tool read DMHs through these.
bool is_dmh_header(const uint8_t* image, size_t len, size_t pos);
inline uint32_t dmh_entry_count(const uint8_t* header) { return header[24]; }
inline uint32_t dmh_entry_size(const uint8_t* header) { return header[26]; }

// Little-endian 32-bit fields of images and entries (the tree's byte helpers).
inline uint32_t rd32(const uint8_t* p) { return kv::get_le32(p); }
inline void wr32(uint8_t* p, uint32_t v) { kv::put_le32(p, v); }

inline uint8_t entry_id(const tag_dmh_block_info_local& r) { return r.entry[0]; }
inline uint32_t entry_offset(const tag_dmh_block_info_local& r) { return rd32(r.entry + 4); }
inline void set_entry_offset(tag_dmh_block_info_local& r, uint32_t v) { wr32(r.entry + 4, v); }
inline uint32_t entry_size(const tag_dmh_block_info_local& r) { return rd32(r.entry + 8); }
inline void set_entry_size(tag_dmh_block_info_local& r, uint32_t v) { wr32(r.entry + 8, v); }
inline uint32_t entry_crc(const tag_dmh_block_info_local& r) { return rd32(r.entry + 12); }
bool entry_is_ncrc(const tag_dmh_block_info_local& r);
std::string entry_name(const tag_dmh_block_info_local& r);  // up to 8 characters
std::string entry_version(const tag_dmh_block_info_local& r);  // up to 8
std::string entry_time(const tag_dmh_block_info_local& r);  // up to 12

// Memory of tables and block data (zeroed; never null for a size of 0).
void* block_alloc(size_t size);
void block_free(void* p);

// Writes a file in one piece: a temporary beside it, renamed when whole, so
// a failed write never leaves half a file. *opened tells whether the
// temporary could be created.
bool write_file_atomic(const std::string& path, const uint8_t* data, size_t len, bool* opened);

// What a scan found: a new-type table, no new-type image (no DMH header, or
// more than 64 entries in all: read it in the old layout), an image whose
// entries do not lie inside it, or no memory.
enum class DmhScan { found, absent, damaged, no_memory };

class DmhTable {
public:
    explicit DmhTable(Report& report);

    // Fills `node` (which must be empty) from the image; on `found` the
    // look-ups work on it and the DMH headers are copied from `image`.
    DmhScan scan(const uint8_t* image, uint32_t len, tag_dmh_block_node* node);
    // Frees every record's data and both tables; the node becomes empty.
    void free_node(tag_dmh_block_node* node);

    // The table the look-ups work on and the image its headers come from.
    struct Source {
        tag_dmh_block_node* node = nullptr;
        const uint8_t* image = nullptr;
        uint32_t len = 0;
        uint32_t sdram = 0;
        std::vector<uint32_t> scanned;  // dmh_addr of every record as scanned
    };
    const Source& source() const { return m_src; }
    void restore(Source src) { m_src = std::move(src); }
    void set_node(tag_dmh_block_node* node) { m_src.node = node; }
    void set_image(const uint8_t* image, uint32_t len);
    tag_dmh_block_node* node() const { return m_src.node; }
    uint32_t sdram_size() const { return m_src.sdram; }

    tag_dmh_block_info_local* by_id(uint8_t id);
    tag_dmh_block_info_local* by_name(const char* name, size_t length);
    tag_dmh_block_info_local* by_name_id(const char* name, size_t length, uint8_t id);
    uint32_t next_dmh_addr(uint32_t start_index) const;
    // The data of record `r` replaced by `bytes`; with keep_size the block
    // keeps its size (fewer bytes leave the rest, more are cut).
    bool replace_data(tag_dmh_block_info_local* r, std::vector<uint8_t> bytes, bool keep_size);

    // Builds the new image from the working table.
    bool rebuild(const uint8_t* image, uint32_t len, std::vector<uint8_t>* out);
    // rebuild and writes the file (never half a file).
    bool save_image(const uint8_t* image, uint32_t len, const std::string& path);
    // Single blocks, found by name (8 bytes) and id.
    bool save_block(const uint8_t* image, uint32_t len, const std::string& name, uint8_t id, const std::string& path);
    bool load_block(const std::string& name, uint8_t id, const std::string& path);

private:
    bool copy_blocks(const uint8_t* image, uint32_t len, tag_dmh_block_info_local* table, uint32_t* count,
                     DmhScan* result);
    bool rebuild_into(tag_dmh_block_info_local* t, uint32_t n, uint32_t len, std::vector<uint8_t>* buf);
    bool write_dmh(uint8_t* out, uint32_t out_len, uint32_t index);
    uint32_t scanned_dmh_addr(uint32_t index) const;
    const tag_dmh_block_info_local* pristine_block(const std::string& name, uint8_t id, uint32_t* index) const;

    Report& m_report;
    Source m_src;
    uint32_t m_crc_table[256];
};

}  // namespace tessel
