#include "PanelRecord.h"

#include "ByteOrder.h"

#include <algorithm>
#include <cstring>

namespace fir {

namespace {

const uint32_t kDefaultFpSlots[9] = {0x00010048, 0x00110008, 0x00120002, 0x00130001, 0x00140041,
                                     0x00100042, 0x00150010, 0x005C00FF, 0x005D00FF};

const uint32_t kDefaultIrSlots[34] = {
    0x0001000A, 0x00020019, 0x00030012, 0x00050000, 0x00060001, 0x00070002, 0x00080003, 0x00090004, 0x000A0005,
    0x000B0006, 0x000C0007, 0x000D0008, 0x000E0009, 0x001B0014, 0x0004001C, 0x0011000B, 0x00130011, 0x0010000D,
    0x00140010, 0x0012000E, 0x00150016, 0x000F001F, 0x0018001E, 0x00190013, 0x00220040, 0x00230042, 0x00250041,
    0x00240043, 0x00270044, 0x001F0017, 0x002F001D, 0x002A001B, 0x002B0045, 0x002C0046};

// Logical numbers of the default IR slots 34 to 59, whose key code is 0xFF.
const uint16_t kDefaultIrUnassigned[26] = {0x1C, 0x1E, 0x17, 0x1A, 0x48, 0x58, 0x16, 0x5A, 0x5B,
                                           0x5C, 0x5D, 0x56, 0x60, 0x54, 0x61, 0x62, 0x63, 0x5E,
                                           0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x59, 0x6A};

}  // namespace

int slot_capacity(KeyTable t) { return t == KeyTable::Fp ? kFpSlots : kIrSlots; }

CPanelRecord::CPanelRecord(bool long_form)
    : m_long(long_form), m_bytes(long_form ? kLongRecordSize : kShortRecordSize, 0)
{}

void CPanelRecord::clear() { std::fill(m_bytes.begin(), m_bytes.end(), 0); }

bool CPanelRecord::assign(const uint8_t* bytes, size_t len)
{
    if (len != m_bytes.size())
        return false;
    std::memcpy(m_bytes.data(), bytes, len);
    return true;
}

size_t CPanelRecord::slot_offset(KeyTable t) const { return config_size() + 512 * static_cast<size_t>(t); }

uint32_t CPanelRecord::slot(KeyTable t, int i) const
{
    if (i < 0 || i >= slot_capacity(t))
        return 0;
    return kv::ByteReader(m_bytes).view(slot_offset(t) + 4 * size_t(i), 4).le32();
}

void CPanelRecord::set_slot(KeyTable t, int i, uint32_t word)
{
    if (i >= 0 && i < slot_capacity(t))
        kv::put_le32(m_bytes.data() + slot_offset(t) + 4 * i, word);
}

void CPanelRecord::set_key_code(KeyTable t, int i, uint8_t code)
{
    if (i >= 0 && i < slot_capacity(t))
        m_bytes[slot_offset(t) + 4 * i] = code;
}

uint16_t CPanelRecord::count(KeyTable t) const
{
    return kv::ByteReader(m_bytes).view(counts_offset() + 2 * static_cast<size_t>(t), 2).le16();
}

void CPanelRecord::set_count(KeyTable t, uint16_t n)
{
    kv::put_le16(m_bytes.data() + counts_offset() + 2 * static_cast<size_t>(t), n);
}

uint16_t CPanelRecord::user_code(KeyTable t) const
{
    if (t == KeyTable::Fp)
        return 0;
    return kv::ByteReader(m_bytes).view(counts_offset() + 6 + 2 * static_cast<size_t>(t), 2).le16();
}

void CPanelRecord::set_user_code(KeyTable t, uint16_t code)
{
    if (t != KeyTable::Fp)
        kv::put_le16(m_bytes.data() + counts_offset() + 6 + 2 * static_cast<size_t>(t), code);
}

void CPanelRecord::set_led_map(const uint8_t map[kLedMapSize])
{
    std::memcpy(m_bytes.data() + kLedMapOffset, map, kLedMapSize);
}

void CPanelRecord::preset_default_slots()
{
    for (int i = 0; i < 9; ++i)
        set_slot(KeyTable::Fp, i, kDefaultFpSlots[i]);
    for (KeyTable t : {KeyTable::Ir1, KeyTable::Ir2}) {
        for (int i = 0; i < 34; ++i)
            set_slot(t, i, kDefaultIrSlots[i]);
        for (int i = 0; i < 26; ++i)
            set_slot(t, 34 + i, uint32_t(kDefaultIrUnassigned[i]) << 16 | 0xFF);
    }
}

}  // namespace fir
