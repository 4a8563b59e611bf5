// Customer configuration of old-layout images: the old script (items with
// their bit and text fields), the fields' current values in the image, field
// edits and the "Generate" step (block replacement, configuration import, key
// import, single-byte edit).
//
// Qt-free. Operations return 0 on success and -1 on failure with the text in
// last_message(); nothing throws.
#pragma once

#include "Tesselcore.h"

#include <cstdint>
#include <string>
#include <vector>

constexpr uint32_t KV_MAX_DYNAMIC_FIELDS = 100;
constexpr size_t KV_FIELD_TEXT_MAX = 40;  // bytes a text field may cover

struct KV_DYNAMIC_FIELD {
    uint16_t control_id;
    char name[20];
    uint8_t type;  // as the script gives it: see tessel::field_kind
    uint32_t bit_off;  // from the item's offset x 8
    uint32_t bit_len;
    uint32_t value;
    char text[KV_FIELD_TEXT_MAX + 1];
    char desc[1024];  // items with em 3
    int32_t first, last, step;  // a choice: first, first + step, ... up to last
    KV_DYNAMIC_FIELD* prev;
    KV_DYNAMIC_FIELD* next;
};

struct KV_DYNAMIC_ITEM {
    uint16_t control_id;  // 0xFFFF until a dialog gives the item a control
    uint8_t id;  // block id; 0 is the configuration area
    char name[20];
    uint8_t em;  // 0/3 fields, 1 file, 2 hardware-info file
    uint32_t offset;  // within the block (or the configuration area)
    uint32_t field_count;
    KV_DYNAMIC_FIELD* fields;
    KV_DYNAMIC_ITEM* prev;
    KV_DYNAMIC_ITEM* next;
};

// First item of the list `any` belongs to; null for null.
KV_DYNAMIC_ITEM* GetDynamicItemHeader(KV_DYNAMIC_ITEM* any);
// First field of the list `any` belongs to (walking prev links).
KV_DYNAMIC_FIELD* GetDynamicFieldHeader(KV_DYNAMIC_FIELD* any);
// Frees an item's fields.
void FreeDynamicField(KV_DYNAMIC_ITEM* item);

namespace tessel {

// The choices of a type-2 field, in order. Empty when the range is unusable.
std::vector<int32_t> dynamic_field_choices(const KV_DYNAMIC_FIELD& f);
// "2M", "1M", "512K" or a decimal number; false for anything else.
bool parse_flash_size(const std::string& text, uint64_t* out);

// What "Generate" is asked to do. Paths may be empty (step skipped).
struct old_generate_t {
    std::string output;
    std::vector<std::pair<const KV_DYNAMIC_ITEM*, std::string>> files;  // items with em 1 or 2
    std::string configs;
    std::string abs_key;
    bool expert = false;
    std::string flash_address;  // hexadecimal, empty: no byte edit
    std::string byte_value;  // hexadecimal
};

// A field's current value as shown by the field editor.
struct old_field_value_t {
    uint32_t value = 0;
    std::string text;  // a text field's bytes up to its first NUL, in the box's code page
    std::string bytes;  // every byte the text field covers
    int choice = -1;  // type 2: position of the value among the choices, -1 none
};

}  // namespace tessel

class CTesselOldConfig {
public:
    // `core` parses hardware-info files; it is not owned.
    explicit CTesselOldConfig(CTesselcore* core);
    ~CTesselOldConfig();
    CTesselOldConfig(const CTesselOldConfig&) = delete;
    CTesselOldConfig& operator=(const CTesselOldConfig&) = delete;

    // Reads the script at `path` against an image of `image_len` bytes: 0, or -1.
    int read_script(const std::string& path, uint64_t image_len);
    int read_script_text(const std::string& text, uint64_t image_len);

    KV_DYNAMIC_ITEM* items() const { return m_items; }
    uint32_t item_count() const { return m_item_count; }
    KV_DYNAMIC_ITEM* find_item(const std::string& name) const;
    static KV_DYNAMIC_FIELD* find_field(const KV_DYNAMIC_ITEM* item, const std::string& name);
    // Frees the whole item list and resets the item counter.
    void FreeDynamicItem();

    // Image offset of the item's first byte and the end of the region its
    // fields may touch (the block, or the image for the configuration area).
    int item_region(const KV_DYNAMIC_ITEM* item, const uint8_t* image, size_t len, uint64_t* base, uint64_t* end);
    // Current value of a field, read from the image.
    int read_field(const KV_DYNAMIC_ITEM* item, const KV_DYNAMIC_FIELD* field, const uint8_t* image, size_t len,
                   tessel::old_field_value_t* out);
    // Writes a number (types 0 and 2) or a text (other types) into the image;
    // every bit outside the field stays. The item's CRC is not touched.
    int write_number(const KV_DYNAMIC_ITEM* item, const KV_DYNAMIC_FIELD* field, uint32_t value, uint8_t* image,
                     size_t len);
    int write_text(const KV_DYNAMIC_ITEM* item, const KV_DYNAMIC_FIELD* field, const std::string& text, uint8_t* image,
                   size_t len);
    // Recomputes the CRC of the item's block entry unless it holds "NCRC".
    int update_crc(const KV_DYNAMIC_ITEM* item, uint8_t* image, size_t len);
    // A text field's value as the screen shows it (UTF-8, through the box's
    // code page). A field the user leaves as shown is not written back, so
    // that it keeps its bytes, whatever they are.
    std::string screen_text(const tessel::old_field_value_t& v) const;
    // Sets a field from a text typed by the user (UTF-8): a number, a choice
    // value or, for a text field, the text in the box's code page (refused,
    // naming the field, when the code page cannot hold a character of it).
    int set_field_from_text(const KV_DYNAMIC_ITEM* item, KV_DYNAMIC_FIELD* field, const std::string& text,
                            uint8_t* image, size_t len);

    // The Generate step on `image` (changed only when every step succeeds),
    // then the whole image written to req.output.
    int generate(const tessel::old_generate_t& req, std::vector<uint8_t>* image);

    const std::string& last_message() const { return m_message; }
    // Warnings of the last generate() that did not stop it.
    const std::vector<std::string>& warnings() const { return m_warnings; }
    uint32_t crc(const uint8_t* data, size_t len) const;

private:
    int fail(const char* format, ...) __attribute__((format(printf, 2, 3)));
    int add_item(uint8_t id);
    int parse_field_line(const std::string& line, size_t start, bool* open);
    int read_script_keyword(const std::string& line, uint64_t image_len, bool* open);
    int load_block_files(const tessel::old_generate_t& req, std::vector<uint8_t>* img, tessel_old_image_t& old,
                         uint64_t tail_start);
    int apply_patches(const tessel::old_generate_t& req, std::vector<uint8_t>* img, const tessel_old_image_t& old);
    int replace_block(const KV_DYNAMIC_ITEM* item, const std::vector<uint8_t>& bytes, std::vector<uint8_t>* img,
                      tessel_old_image_t& old, uint64_t tail_start);
    int write_cfg_data(const KV_DYNAMIC_ITEM* item, const std::vector<uint8_t>& bytes, std::vector<uint8_t>* img,
                       const tessel_old_image_t& old);

    CTesselcore* m_core;
    KV_DYNAMIC_ITEM* m_items = nullptr;
    KV_DYNAMIC_ITEM* m_current = nullptr;
    uint32_t m_item_count = 0;
    uint32_t m_crc_table[256];
    std::string m_message;
    std::vector<std::string> m_warnings;
};
