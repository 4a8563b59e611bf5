// The panel record: everything the four pages edit, in the byte layout the
// panel program on the box receives and the page files hold.
//
//   configuration   0      464 / 480 bytes, a copy of block 0xBC; bytes 32
//                          to 287 hold the LED map
//   IR1 key slots   C      128 x 4     (C = configuration size)
//   IR2 key slots   C+512  128 x 4
//   front-panel     C+1024 16 x 4
//   counts          C+1088 IR1, IR2, front panel, u16 each
//   user codes      C+1094 IR1, IR2, u16 each
//   padding         C+1098 2 zero bytes
//
// A key slot is a little-endian word: byte 0 the key code that goes into the
// flash block, byte 1 zero, bytes 2 and 3 the logical key number that ties the
// slot to a key name. All numbers of the record are little-endian.
#pragma once

#include "FirPlatform.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fir {

enum class KeyTable { Ir1 = 0, Ir2 = 1, Fp = 2 };

constexpr size_t kShortConfigSize = 464;
constexpr size_t kLongConfigSize = 480;
constexpr size_t kShortRecordSize = 1564;
constexpr size_t kLongRecordSize = 1580;
constexpr size_t kLedMapOffset = 32;
constexpr size_t kLedMapSize = 256;
constexpr int kIrSlots = 128;
constexpr int kFpSlots = 16;

// Slots of a table: 128 for the IR tables, 16 for the front panel.
int slot_capacity(KeyTable t);

class CPanelRecord {
public:
    // The 1564-byte form, or the 1580-byte form when `long_form`.
    explicit CPanelRecord(bool long_form = false);
    static CPanelRecord ForPlatform(Platform p) { return CPanelRecord(traits(p).record_size == kLongRecordSize); }

    bool long_form() const { return m_long; }
    size_t size() const { return m_bytes.size(); }
    size_t config_size() const { return m_long ? kLongConfigSize : kShortConfigSize; }
    uint8_t* data() { return m_bytes.data(); }
    const uint8_t* data() const { return m_bytes.data(); }
    uint8_t* config() { return m_bytes.data(); }
    const uint8_t* config() const { return m_bytes.data(); }
    const std::vector<uint8_t>& bytes() const { return m_bytes; }

    // Zeroes every byte ("Clear").
    void clear();
    // Takes a whole record of this form; false (nothing changed) for another size.
    bool assign(const uint8_t* bytes, size_t len);

    // Slot i of a table (0 <= i < slot_capacity); out of range reads 0 and
    // writes nothing.
    uint32_t slot(KeyTable t, int i) const;
    void set_slot(KeyTable t, int i, uint32_t word);
    uint8_t key_code(KeyTable t, int i) const { return static_cast<uint8_t>(slot(t, i)); }
    void set_key_code(KeyTable t, int i, uint8_t code);
    uint16_t logical_key(KeyTable t, int i) const { return static_cast<uint16_t>(slot(t, i) >> 16); }

    uint16_t count(KeyTable t) const;
    void set_count(KeyTable t, uint16_t n);
    // The front-panel table has no user code: 0, and writes are ignored.
    uint16_t user_code(KeyTable t) const;
    void set_user_code(KeyTable t, uint16_t code);

    const uint8_t* led_map() const { return m_bytes.data() + kLedMapOffset; }
    void set_led_map(const uint8_t map[kLedMapSize]);

    // The key slots the base platform starts from: front-panel slots 0 to 8
    // and IR1 and IR2 slots 0 to 59.
    void preset_default_slots();

private:
    size_t slot_offset(KeyTable t) const;
    size_t counts_offset() const { return config_size() + 1088; }

    bool m_long;
    std::vector<uint8_t> m_bytes;
};

}  // namespace fir
