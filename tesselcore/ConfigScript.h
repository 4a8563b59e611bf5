// The configuration script carried (gzip-packed) in the "toolcfg" block:
// sheets of blocks, each block's items with their bit or text fields, and the
// items' current values read from the block bytes. The workbook export and
// import work on the tree it builds.
//
// Qt-free. Operations return true on success and false on failure with the
// text in the Report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "CodePage.h"
#include "DmhTable.h"
#include "TesselReport.h"

struct cus_config_sheet_info {
    char text[30];
    cus_config_sheet_info* next;
};

struct cus_config_item {
    char name[20];
    int32_t type;  // as the script gives it: see tessel::field_kind
    uint32_t bit_len;
    uint32_t bit_off;  // from the block's offset
    int32_t min;
    int32_t max;
    char text[1024];  // the note of an EM 1 block
    char text_value[20];  // current value of a text item
    uint64_t value;  // current value of a number item
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

namespace tessel {

constexpr size_t kMaxScriptSize = 16u << 20;  // the "toolcfg" script, unpacked

// What a field of a script holds, by its type number: 0 a number, 2 a number
// in [min, max] (a choice among its values), anything else a text.
enum class FieldKind { number, choice, text };
constexpr FieldKind field_kind(int32_t type)
{
    return type == 0 ? FieldKind::number : type == 2 ? FieldKind::choice : FieldKind::text;
}
constexpr bool holds_number(int32_t type) { return field_kind(type) != FieldKind::text; }

// Script lines carry their fields in brackets, "[a][b]...": takes the text of
// the bracket at *pos and moves *pos past it. False when no whole bracket
// stands there.
bool next_bracket(const std::string& line, size_t* pos, std::string* out);

// A whole number in `base` (10 or 16; "0x" is allowed before base-16 digits),
// blanks around it ignored. False for anything else or an overflow.
bool parse_long(const std::string& text, int base, long long* out);

// The lines of a text, without their line ends (CR, LF, trailing NULs).
std::vector<std::string> split_lines(const std::string& text);

// Little-endian bit fields: bit n lies in byte n / 8 at bit n % 8. False when
// the field does not lie inside `size` bytes or is longer than 64 bits.
bool read_bits(const uint8_t* data, size_t size, uint64_t bit_pos, uint32_t bit_len, uint64_t* value);
bool write_bits(uint8_t* data, size_t size, uint64_t bit_pos, uint32_t bit_len, uint64_t value);

class ConfigScript {
public:
    // Items take their values from the blocks of `dmh`; text values are cut
    // so that they never end in half a character of `code_page`.
    ConfigScript(Report& report, DmhTable& dmh, const kv::CodePage& code_page);
    ~ConfigScript() { clear(); }
    ConfigScript(const ConfigScript&) = delete;
    ConfigScript& operator=(const ConfigScript&) = delete;

    // Unpacks the script of the "toolcfg" block `r` of `image`.
    bool unpack(const uint8_t* image, uint32_t len, const tag_dmh_block_info_local& r);
    void forget_unpacked() { m_script.clear(); }
    const std::string& unpacked() const { return m_script; }
    // The text of the script file at `path`, or the unpacked one for an empty path.
    bool source_text(const std::string& path, std::string* text);
    // Builds the tree from a script text (the old tree is dropped first).
    bool read_text(const std::string& text);
    // Drops the tree and the IR tables.
    void clear();

    cus_config_sheet_t* sheet(int slot) { return slot >= 0 && slot < 3 ? &m_sheets[slot] : nullptr; }
    const std::vector<uint8_t>& ir_numbers() const { return m_ir_nums; }

private:
    bool fail(const std::string& why);
    bool parse_line(const std::string& raw, int* slot, cus_config_block** block);
    bool parse_block_field(const std::string& word, const std::string& line, cus_config_block* block);
    bool parse_block_info(const std::string& line, int slot, cus_config_block** block);
    bool read_sheet_info(const std::string& line, int slot);
    bool parse_item_line(const std::string& line, cus_config_block* block);
    bool parse_item(const std::string& line, size_t* pos, cus_config_block* block, cus_config_item** made,
                    std::string* item_name);
    bool read_item_value(cus_config_item* it, const std::string& name, const cus_config_block* block,
                         const tag_dmh_block_info_local& r, int count);
    bool read_ir_numbers(const tag_dmh_block_info_local* r);
    template <typename T>
    T* record_new();
    static void free_sheet(cus_config_sheet_t* sheet);

    Report& m_report;
    DmhTable& m_dmh;
    const kv::CodePage& m_code_page;
    cus_config_sheet_t m_sheets[3];
    std::string m_script;
    std::vector<uint8_t> m_ir_nums;
    std::vector<uint8_t> m_ir_values;  // value bytes of the IR block being read
};

}  // namespace tessel
