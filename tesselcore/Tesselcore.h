// The configuration core: flash-image block tables (DMH headers and their
// 48-byte entries), the configuration script carried in the "toolcfg" block,
// the workbook round trip and the compression of the "preset" block.
//
// Qt-free. Operations return 0 on success and negative codes on failure (the
// workbook writer and the compressors 1 / 0); every failure leaves its text in
// last_message() and on the log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "ByteOrder.h"
#include "CodePage.h"
#include "KvBasicCfgIni.h"

class CRedirect;
namespace wb {
struct Workbook;
struct Sheet;
struct Cell;
struct XlsxSheet;
struct XlsxBook;
}  // namespace wb

// ---------------------------------------------------------------------------
// Block table

// One block of a new-type image. `entry` is the 48-byte entry as it stands in
// the image; the accessors in namespace tessel read and write its fields.
struct tag_dmh_block_info_local {
    uint8_t entry[48];
    uint32_t dmh_addr;      // image offset of the DMH header listing the block
    uint32_t index_in_dmh;  // position of the entry in its DMH, from 0
    uint8_t dmh_seq;        // ordinal of the DMH in image order, from 1
    uint8_t* data;          // `size` bytes, owned by the working record
};

struct tag_dmh_block_node {
    uint16_t count;
    uint32_t image_len;
    tag_dmh_block_info_local* pristine;  // the entries as scanned (data pointers cleared)
    tag_dmh_block_info_local* working;   // the table every edit goes to
};

// Old-layout image header and its entries.
struct tessel_old_image_t {
    uint32_t header_pos = 0;
    uint32_t sdram_size = 0;
    uint32_t flash_size = 0;
    uint32_t cfg_offset = 0;
    uint32_t cfg_size = 0;
    std::vector<std::vector<uint8_t>> entries;  // 48 bytes each
};

// A flash image as Pre-Parse finds it: its bytes, its layout and what the
// header shows. The block table of a new-type image is kept apart (a
// tag_dmh_block_node) because the core's look-ups work on it.
struct tessel_image_t {
    std::vector<uint8_t> bytes;
    bool is_new = false;
    uint32_t sdram_size = 0;
    uint32_t flash_size = 0;
    uint32_t block_count = 0;
    std::string version;     // software version: the start of the "ssdata" block, printable
    tessel_old_image_t old;  // old layout: header and entries
};

// One line of the block list.
struct tessel_block_row_t {
    uint8_t id = 0;
    uint32_t size = 0, crc = 0, offset = 0;
    std::string name, version, time;  // printable ASCII, others as '.'
    uint32_t dmh_addr = 0;            // new layout only
    uint8_t dmh_seq = 0;
};

// ---------------------------------------------------------------------------
// Configuration script tree

struct cus_config_sheet_info {
    char text[30];
    cus_config_sheet_info* next;
};

struct cus_config_item {
    char name[20];
    int32_t type;      // 0 number, 2 number in [min, max], anything else text
    uint32_t bit_len;
    uint32_t bit_off;  // from the block's offset
    int32_t min;
    int32_t max;
    char text[1024];      // the note of an EM 1 block
    char text_value[20];  // current value of a text item
    uint64_t value;       // current value of a number item
    cus_config_item* next;
};

struct cus_config_block {
    char name[9];
    uint8_t em;
    uint8_t id;
    int32_t offset;
    cus_config_item* items;
    cus_config_block* next;
};

struct cus_config_sheet_t {
    char name[8];
    cus_config_sheet_info* infos;
    cus_config_block* blocks;
};

// Line kinds of a hardware-info file.
enum tag_line_type { LINE_COMMENT = 0, LINE_SEPARATOR = 1, LINE_PANEL_START = 2, LINE_LED_START = 3, LINE_OTHER = 4 };

namespace tessel {

// Script lines carry their fields in brackets, "[a][b]...": takes the text of
// the bracket at *pos and moves *pos past it. False when no whole bracket
// stands there.
bool next_bracket(const std::string& line, size_t* pos, std::string* out);

// A whole number in `base` (10 or 16; "0x" is allowed before base-16 digits),
// blanks around it ignored. False for anything else or an overflow.
bool parse_long(const std::string& text, int base, long long* out);

constexpr size_t kEntrySize = 48;
constexpr size_t kDmhHeaderSize = 28;
constexpr size_t kMaxBlocks = 64;
constexpr uint32_t kImageUnit = 0x80000;  // image lengths are multiples of 512 KiB
constexpr size_t kPresetBufferSize = 2u << 20;
constexpr size_t kMaxScriptSize = 16u << 20;      // the "toolcfg" script, unpacked
constexpr size_t kMaxHwInfoFile = 1u << 20;       // a hardware-info file
constexpr size_t kMaxBissKeyInfos = (0xFFFF - 12) / 28;  // "ucaskey" records the key header can count
constexpr size_t kHwInfoBufferSize = 5120;
constexpr size_t kPanelRecordSize = 40;
constexpr size_t kLedMapSize = 200;
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
std::string entry_name(const tag_dmh_block_info_local& r);     // up to 8 characters
std::string entry_version(const tag_dmh_block_info_local& r);  // up to 8
std::string entry_time(const tag_dmh_block_info_local& r);     // up to 12

// Little-endian bit fields: bit n lies in byte n / 8 at bit n % 8. False when
// the field does not lie inside `size` bytes or is longer than 64 bits.
bool read_bits(const uint8_t* data, size_t size, uint64_t bit_pos, uint32_t bit_len, uint64_t* value);
bool write_bits(uint8_t* data, size_t size, uint64_t bit_pos, uint32_t bit_len, uint64_t value);

// A key byte from a cell: a number cell holds two decimal digits packed in one
// byte (12 -> 0x12); a text cell is hexadecimal when one of its first two
// characters is a letter a-f (either case), decimal otherwise. False when the
// cell is not a byte in that sense.
bool key_byte_from_cell(const wb::Cell& cell, uint8_t* out);

// In-process gzip (the "toolcfg" block) and the .lzma format of `lzma e`
// (LZMA-alone: properties, dictionary size, real uncompressed size, then the
// stream without an end marker). Decompression stops beyond max_out.
enum class unpack_t { ok, damaged, too_large };
bool gzip_compress(const uint8_t* in, size_t len, std::vector<uint8_t>* out);
// Bytes after the last member that do not start another one (an erased
// block's 0xFF, padding) are ignored, as gzip itself does.
unpack_t gzip_unpack(const uint8_t* in, size_t len, std::vector<uint8_t>* out, size_t max_out);
bool gzip_decompress(const uint8_t* in, size_t len, std::vector<uint8_t>* out, size_t max_out);
bool lzma_alone_compress(const uint8_t* in, size_t len, std::vector<uint8_t>* out);
// The dictionary size of the header is capped to what max_out bytes can
// need, so a hostile header cannot make the decoder take gigabytes.
unpack_t lzma_alone_unpack(const uint8_t* in, size_t len, std::vector<uint8_t>* out, size_t max_out);
bool lzma_alone_decompress(const uint8_t* in, size_t len, std::vector<uint8_t>* out, size_t max_out);

// Writes a file in one piece: a temporary beside it, renamed when whole, so
// a failed write never leaves half a file. *opened tells whether the
// temporary could be created.
bool write_file_atomic(const std::string& path, const uint8_t* data, size_t len, bool* opened);

// Printable ASCII of a fixed text field, up to its first NUL; other bytes as '.'.
std::string printable_field(const uint8_t* p, size_t n);

}  // namespace tessel

// ---------------------------------------------------------------------------

class CTesselcore {
public:
    CTesselcore();
    ~CTesselcore();
    CTesselcore(const CTesselcore&) = delete;
    CTesselcore& operator=(const CTesselcore&) = delete;

    // Memory of images, tables and block data. `tag` names the caller.
    static void* Debug_malloc(const char* tag, size_t size);
    static void Debug_free(void* p);

    // --- images and the block table ---------------------------------------
    static bool image_length_ok(size_t len) { return len > 0 && len % tessel::kImageUnit == 0; }
    // Pre-Parse: reads the image file, checks its length, scans it and reads
    // the header of its layout. 0, or -1 with "Failed to open the flash
    // file!", "Wrong binary file!", "no memery!", "Wrong bin file!", "Too many
    // blocks!" or the scan's own message; `img` and `node` are then left as
    // they were. `node` must be empty; on success the look-ups work on it
    // (new layout) and on img->bytes, which must stay where they are (moving
    // the object keeps them).
    int load_image(const std::string& path, tessel_image_t* img, tag_dmh_block_node* node);
    int load_image_bytes(std::vector<uint8_t> bytes, tessel_image_t* img, tag_dmh_block_node* node);
    // The block list of a loaded image, one row per block (at most 64).
    static std::vector<tessel_block_row_t> describe_blocks(const tessel_image_t& img, const tag_dmh_block_node& node);
    // Export: the configuration area (offset at image offset 28, size at 32)
    // written to `path` in one piece. 0 with "Create a file successfully!",
    // or -1 with "Create a file failed!".
    int export_config_area(const std::vector<uint8_t>& image, const std::string& path);
    // Fills `node` from a new-type image: 1 new type, 0 not new (no DMH
    // header, or more than 64 entries in all: read it in the old layout), -5
    // an entry that does not lie inside the image or blocks that together
    // hold more than twice the image. `node` must be empty (zeroed or freed).
    int scan_flash(const uint8_t* image, uint32_t len, tag_dmh_block_node* node);
    bool is_new_flash_type(const uint8_t* image, uint32_t len, tag_dmh_block_node* node)
    {
        return scan_flash(image, len, node) == 1;
    }
    // Frees every record's data and both tables; the node becomes empty.
    void free_block_node(tag_dmh_block_node* node);
    // The table the look-ups work on (set by scan_flash and the imports).
    void set_block_node(tag_dmh_block_node* node) { m_node = node; }
    uint32_t sdram_size() const { return m_sdram_size; }
    // Old layout: 0, or -1 with "Wrong bin file!" / "Too many blocks!".
    int read_old_layout(const uint8_t* image, size_t len, tessel_old_image_t* out);

    tag_dmh_block_info_local* get_block_info_by_id(uint8_t id);
    tag_dmh_block_info_local* get_block_info_by_name(const char* name, size_t length);
    tag_dmh_block_info_local* get_block_info_by_name_id(const char* name, size_t length, uint8_t id);
    uint32_t get_next_dmh_addr(uint32_t start_index);
    // Writes the DMH of record `index` into `out` (out_len bytes); the header
    // bytes come from the source image at the DMH's scanned position.
    int write_dmh_info(uint8_t* out, uint32_t out_len, uint32_t index);

    // Unpacks the script of the "toolcfg" block into memory: 0, -3 no such
    // block, -8 the block cannot be unpacked.
    int parse_flash(const uint8_t* image, uint32_t len);
    const std::string& script_text() const { return m_script; }

    // Builds the new image from the working table: 0, or -1 with the message.
    int rebuild_flash(const uint8_t* image, uint32_t len, std::vector<uint8_t>* out);
    // rebuild_flash and writes the file (never half a file).
    int save_new_flash(const uint8_t* image, uint32_t len, const std::string& path);
    // Single blocks, found by name (8 bytes) and id.
    int save_block(const uint8_t* image, uint32_t len, const std::string& name, uint8_t id, const std::string& path);
    int load_block(const std::string& name, uint8_t id, const std::string& path);

    // --- script ------------------------------------------------------------
    void generator_init();
    // Reads the script at `path`, or the one parse_flash unpacked when `path`
    // is empty: 0, -6 cannot open, -7 bad script.
    int read_config_script(const std::string& path);
    int read_config_script_text(const std::string& text);
    cus_config_sheet_t* sheet_slot(int slot);  // 0..2
    const std::vector<uint8_t>& ir_numbers() const { return m_ir_nums; }

    cus_config_block* block_new();
    cus_config_item* item_new();
    cus_config_sheet_info* info_new();
    void free_sheet(cus_config_sheet_t* sheet);

    // --- hardware-info files -------------------------------------------------
    static int get_line_type(const char* text);
    // panel: 40 bytes, led: 200 bytes. 0, or -1 with its message.
    int hw_info_parser(uint8_t* panel, uint8_t* led, const std::string& path);
    int hw_info_parser_text(uint8_t* panel, uint8_t* led, const std::string& text);
    int fill_panel_info(uint8_t* panel);
    int fill_led_bitmap(uint8_t* led);

    // --- workbook ----------------------------------------------------------
    // The workbook is "preset.xlsx" in the current directory unless set.
    void set_workbook_path(const std::string& path) { m_xls_path = path; }
    const std::string& workbook_path() const { return m_xls_path; }
    // Settings file; "corvane.ini" in the program folder unless set.
    void set_ini_path(const std::string& path) { m_ini_path = path; }
    void set_redirect(CRedirect* r) { m_redirect = r; }
    // The box's code page: text items go into the blocks in it and come out
    // of them through it. From corvane.ini ([STB] CodePage) unless set.
    void set_code_page(const kv::CodePage& cp) { m_code_page = cp; }
    const kv::CodePage& code_page() const { return m_code_page; }
    // Whether the workbook carries the key sheets (set by generate_xls_fie;
    // set it when importing a workbook written by an earlier session).
    void set_key_sheets(bool ucaskey, bool crypto)
    {
        m_ucaskey_sheet = ucaskey;
        m_crypto_sheet = crypto;
    }
    bool ucaskey_sheet_written() const { return m_ucaskey_sheet; }
    bool crypto_sheet_written() const { return m_crypto_sheet; }

    // Writes the workbook: 1, or 0 with the message.
    int generate_xls_fie(tag_dmh_block_node* node);
    // Imports the workbook into the block data: 0, or -1 with the message.
    // A failed import leaves the working table as it was before.
    int read_xls_file(tag_dmh_block_node* node);

    // Cell name of (column, row), both from 1: "A1", "Z3", "AA7", "ZZ9", ...
    // False (and nothing written) for column or row 0.
    static bool get_cellpos_by_index(int column, int row, std::string* out);
    static void get_max_rows_cols(int* rows, int* cols, const wb::Sheet& sheet);

    // .lzma compression of the "preset" block: 1, or 0 with the message.
    int compress_data(std::vector<uint8_t>* out, const uint8_t* in, size_t in_len);
    int uncompress_data(std::vector<uint8_t>* out, const uint8_t* in, size_t in_len,
                        size_t max_out = tessel::kPresetBufferSize);
    // Buffer form: *out_len holds the room of `out` on entry and the size of
    // the result on success.
    int compress_data(uint8_t* out, uint32_t* out_len, const uint8_t* in, uint32_t in_len);
    int uncompress_data(uint8_t* out, uint32_t* out_len, const uint8_t* in, uint32_t in_len);

    static void ResetSheetCount() { m_sheetCount = 0; }
    static void SheetCountIncrease() { ++m_sheetCount; }
    static int m_sheetCount;

    const std::string& last_message() const { return m_message; }
    // The reason underneath the last message, when there is one (an
    // operating-system error, the workbook reader's own words).
    const std::string& last_detail() const { return m_detail; }

private:
    void show(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void detail(const std::string& why);
    bool load_settings(bool* new_ucakey, int* biss_max);
    bool biss_max_ok(int biss_max);
    int block_index(const tag_dmh_block_info_local* r) const;
    int read_header(tessel_image_t* img, const tag_dmh_block_node& scanned);
    bool replace_data(tag_dmh_block_info_local* r, std::vector<uint8_t> bytes, bool keep_size);
    uint32_t scanned_dmh_addr(uint32_t index) const;

    int parse_script_line(const std::string& line, int* slot, cus_config_block** block);
    int parse_item_line(const std::string& line, cus_config_block* block);
    bool read_sheet_info(const std::string& line, int slot);
    int getIRNum(const tag_dmh_block_info_local* r);
    int getItemValue(int i) const;

    int import_sheets(const wb::Workbook& book, bool new_ucakey, int biss_max);
    cus_config_block* select_block(int slot, const std::string& name, std::map<std::string, int>* seen);
    int read_config_sheet(const wb::Sheet& sheet, int slot);
    int read_sys_sheet(const wb::Sheet& sheet) { return read_config_sheet(sheet, 1); }
    int read_path_sheet(const wb::Sheet& sheet);
    int read_new_IR_sheet(const wb::Sheet& sheet, size_t* row, cus_config_block* block, tag_dmh_block_info_local* r);
    int write_number_item(const wb::Cell& cell, const cus_config_block* block, cus_config_item* it,
                          tag_dmh_block_info_local* r);
    int write_text_item(const wb::Cell& cell, const std::string& where, const cus_config_block* block,
                        cus_config_item* it, tag_dmh_block_info_local* r);
    int load_block_file(const std::string& path, const cus_config_block* block, tag_dmh_block_info_local* r);
    int load_hw_info_file(const std::string& path, const cus_config_block* block, tag_dmh_block_info_local* r);
    // A text of the script or of a block as the workbook shows it.
    std::string screen_text(const char* box_text) const;
    int read_program_sheet(const wb::Sheet& sheet);
    int read_ucaskey_sheet(const wb::Sheet& sheet);
    int read_crypto_sheet(const wb::Sheet& sheet);
    int read_key_sheet(const wb::Sheet& sheet, const char* name, size_t rec_len, size_t id_at, bool hex_ids,
                       size_t last_col, size_t key_at);
    int read_new_ucaskey_head(const wb::Sheet* ucaskey, const wb::Sheet* crypto, int biss_max, std::vector<uint8_t>* buf);
    int read_new_ucaskey_sheet(const wb::Sheet& sheet, std::vector<uint8_t>* buf);
    int read_new_crypto_sheet(const wb::Sheet& sheet, int biss_max, std::vector<uint8_t>* buf);
    int write_key_bytes(const char* block_name, const std::vector<uint8_t>& built);

    int showPresetSheet(wb::XlsxSheet* sheet);
    int ParseBlockData(wb::XlsxSheet* sheet, int slot);
    int showNewIRSheet(wb::XlsxSheet* sheet, size_t* row, cus_config_block* block);
    int showUcaskeySheet(wb::XlsxSheet* sheet, const uint8_t* data, uint32_t size);
    int showCryptoSheet(wb::XlsxSheet* sheet, const uint8_t* data, uint32_t size);
    int showKeySheet(wb::XlsxSheet* sheet, const uint8_t* data, uint32_t size, size_t rec_len, size_t id_at,
                     int keys, size_t key_at);
    int showNewUcaskeySheet(wb::XlsxSheet* sheet, const uint8_t* data, uint32_t size, int biss_max);
    int showNewCryptoSheet(wb::XlsxSheet* sheet, const uint8_t* data, uint32_t size, int biss_max);
    static void fill_row_color(size_t row, size_t last_col, int color_index, wb::XlsxSheet* sheet);

    cus_config_sheet_t m_sheets[3];
    std::string m_xls_path;
    std::string m_ini_path;
    CRedirect* m_redirect = nullptr;
    const uint8_t* m_src_image = nullptr;  // image the DMH headers are copied from
    uint32_t m_src_len = 0;
    tag_dmh_block_node* m_node = nullptr;
    std::vector<uint32_t> m_scanned_dmh;   // dmh_addr of every record as scanned
    CKvBasicCfgIni m_ini;
    std::vector<uint8_t> m_ir_nums;
    std::vector<uint8_t> m_ir_values;      // value bytes of the IR block being read
    uint32_t m_sdram_size = 0;
    uint32_t m_crc_table[256];
    std::string m_script;
    bool m_ucaskey_sheet = false;
    bool m_crypto_sheet = false;
    kv::CodePage m_code_page = kv::CodePage::from_settings();
    std::vector<std::string> m_hw_lines;   // line reader of the hardware-info parser
    size_t m_hw_pos = 0;
    std::string m_message;
    std::string m_detail;
};
