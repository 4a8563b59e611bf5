// The configuration core: flash-image block tables (DMH headers and their
// 48-byte entries), the configuration script carried in the "toolcfg" block,
// the workbook round trip, hardware-info files and the compression of the
// "preset" block, each in a part of its own (DmhTable, ConfigScript,
// WorkbookExport / WorkbookImport, HwInfoParser, TesselCompress); the
// old-layout configuration is OldLayoutConfig.
//
// CTesselcore is the façade the views, the command line and the front-panel
// tool use: it owns one of each part and keeps the codes its callers test.
// Operations return 0 on success and negative codes on failure (the workbook
// writer and the compressors 1 / 0); every failure leaves its text in
// last_message() and on the log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ByteOrder.h"
#include "CodePage.h"
#include "ConfigScript.h"
#include "DmhTable.h"
#include "HwInfo.h"
#include "KvBasicCfgIni.h"
#include "PresetWorkbook.h"
#include "TesselCompress.h"
#include "TesselReport.h"

class CRedirect;

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
    std::string version;  // software version: the start of the "ssdata" block, printable
    tessel_old_image_t old;  // old layout: header and entries
};

// One line of the block list.
struct tessel_block_row_t {
    uint8_t id = 0;
    uint32_t size = 0, crc = 0, offset = 0;
    std::string name, version, time;  // printable ASCII, others as '.'
    uint32_t dmh_addr = 0;  // new layout only
    uint8_t dmh_seq = 0;
};

namespace tessel {

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
    void free_block_node(tag_dmh_block_node* node) { m_dmh.free_node(node); }
    // The table the look-ups work on (set by scan_flash and the imports).
    void set_block_node(tag_dmh_block_node* node) { m_dmh.set_node(node); }
    uint32_t sdram_size() const { return m_dmh.sdram_size(); }
    // Old layout: 0, or -1 with "Wrong bin file!" / "Too many blocks!".
    int read_old_layout(const uint8_t* image, size_t len, tessel_old_image_t* out);

    tag_dmh_block_info_local* get_block_info_by_id(uint8_t id) { return m_dmh.by_id(id); }
    tag_dmh_block_info_local* get_block_info_by_name(const char* name, size_t length)
    {
        return m_dmh.by_name(name, length);
    }
    tag_dmh_block_info_local* get_block_info_by_name_id(const char* name, size_t length, uint8_t id)
    {
        return m_dmh.by_name_id(name, length, id);
    }
    uint32_t get_next_dmh_addr(uint32_t start_index) const { return m_dmh.next_dmh_addr(start_index); }

    // Unpacks the script of the "toolcfg" block into memory: 0, -3 no such
    // block, -8 the block cannot be unpacked.
    int parse_flash(const uint8_t* image, uint32_t len);
    const std::string& script_text() const { return m_script.unpacked(); }

    // Builds the new image from the working table: 0, or -1 with the message.
    int rebuild_flash(const uint8_t* image, uint32_t len, std::vector<uint8_t>* out)
    {
        return m_dmh.rebuild(image, len, out) ? 0 : -1;
    }
    // rebuild_flash and writes the file (never half a file).
    int save_new_flash(const uint8_t* image, uint32_t len, const std::string& path)
    {
        return m_dmh.save_image(image, len, path) ? 0 : -1;
    }
    // Single blocks, found by name (8 bytes) and id.
    int save_block(const uint8_t* image, uint32_t len, const std::string& name, uint8_t id, const std::string& path)
    {
        return m_dmh.save_block(image, len, name, id, path) ? 0 : -1;
    }
    int load_block(const std::string& name, uint8_t id, const std::string& path)
    {
        return m_dmh.load_block(name, id, path) ? 0 : -1;
    }

    // --- script ------------------------------------------------------------
    void generator_init() { m_script.clear(); }
    // Reads the script at `path`, or the one parse_flash unpacked when `path`
    // is empty: 0, -6 cannot open, -7 bad script.
    int read_config_script(const std::string& path);
    int read_config_script_text(const std::string& text) { return m_script.read_text(text) ? 0 : -7; }
    cus_config_sheet_t* sheet_slot(int slot) { return m_script.sheet(slot); }  // 0..2
    const std::vector<uint8_t>& ir_numbers() const { return m_script.ir_numbers(); }

    // --- hardware-info files -------------------------------------------------
    static int get_line_type(const char* text) { return tessel::HwInfoParser::line_type(text); }
    // panel: 40 bytes, led: 200 bytes. 0, or -1 with its message.
    int hw_info_parser(uint8_t* panel, uint8_t* led, const std::string& path)
    {
        return (path.empty() ? m_hw.parse_text(panel, led, path) : m_hw.parse_file(panel, led, path)) ? 0 : -1;
    }
    int hw_info_parser_text(uint8_t* panel, uint8_t* led, const std::string& text)
    {
        return m_hw.parse_text(panel, led, text) ? 0 : -1;
    }

    // --- workbook ----------------------------------------------------------
    // The workbook is "preset.xlsx" in the current directory unless set.
    void set_workbook_path(const std::string& path) { m_set.xls_path = path; }
    const std::string& workbook_path() const { return m_set.xls_path; }
    // Settings file; "corvane.ini" in the program folder unless set.
    void set_ini_path(const std::string& path) { m_set.ini_path = path; }
    // The box's code page: text items go into the blocks in it and come out
    // of them through it. From corvane.ini ([STB] CodePage) unless set.
    void set_code_page(const kv::CodePage& cp) { m_set.code_page = cp; }
    const kv::CodePage& code_page() const { return m_set.code_page; }
    // Whether the workbook carries the key sheets (set by generate_xls_fie;
    // set it when importing a workbook written by an earlier session).
    void set_key_sheets(bool ucaskey, bool crypto)
    {
        m_set.ucaskey_sheet = ucaskey;
        m_set.crypto_sheet = crypto;
    }
    bool ucaskey_sheet_written() const { return m_set.ucaskey_sheet; }
    bool crypto_sheet_written() const { return m_set.crypto_sheet; }

    // Writes the workbook: 1, or 0 with the message.
    int generate_xls_fie(tag_dmh_block_node* node);
    // Imports the workbook into the block data: 0, or -1 with the message.
    // A failed import leaves the working table as it was before.
    int read_xls_file(tag_dmh_block_node* node);

    // Cell name of (column, row), both from 1: "A1", "Z3", "AA7", "ZZ9", ...
    // False (and nothing written) for column or row 0.
    static bool get_cellpos_by_index(int column, int row, std::string* out)
    {
        return tessel::cell_position(column, row, out);
    }

    // .lzma compression of the "preset" block: 1, or 0 with the message.
    int compress_data(std::vector<uint8_t>* out, const uint8_t* in, size_t in_len)
    {
        return tessel::pack_preset(out, in, in_len, m_report) ? 1 : 0;
    }
    int uncompress_data(std::vector<uint8_t>* out, const uint8_t* in, size_t in_len,
                        size_t max_out = tessel::kPresetBufferSize)
    {
        return tessel::unpack_preset(out, in, in_len, max_out, m_report) ? 1 : 0;
    }
    // Buffer form: *out_len holds the room of `out` on entry and the size of
    // the result on success.
    int compress_data(uint8_t* out, uint32_t* out_len, const uint8_t* in, uint32_t in_len);
    int uncompress_data(uint8_t* out, uint32_t* out_len, const uint8_t* in, uint32_t in_len);

    const std::string& last_message() const { return m_report.message(); }
    // The reason underneath the last message, when there is one (an
    // operating-system error, the workbook reader's own words).
    const std::string& last_detail() const { return m_report.reason(); }

private:
    int read_header(tessel_image_t* img, const tag_dmh_block_node& scanned);

    tessel::Report m_report;
    tessel::WorkbookSettings m_set;
    tessel::DmhTable m_dmh{m_report};
    tessel::ConfigScript m_script{m_report, m_dmh, m_set.code_page};
    tessel::HwInfoParser m_hw{m_report};
};
