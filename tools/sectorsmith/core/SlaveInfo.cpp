#include "SlaveInfo.h"

#include "ByteOrder.h"

#include <cstdio>

namespace sectorsmith {

const SlaveEntry* SlaveInfo::find(uint8_t id) const
{
    for (const SlaveEntry& e : entries)
        if (e.id == id)
            return &e;
    return nullptr;
}

std::string SlaveInfo::list_text() const
{
    std::string s;
    for (const SlaveEntry& e : entries) {
        char id[8];
        std::snprintf(id, sizeof id, "0x%02X", e.id);
        s += (s.empty() ? "" : ", ") + std::string(id) + (e.name.empty() ? "" : " " + e.name);
    }
    return s.empty() ? "none" : s;
}

bool parse_slave_info(const uint8_t* data, size_t len, SlaveInfo* out, std::string* error)
{
    out->entries.clear();
    if (len > kSlaveInfoMax) {
        *error = "the slave info of " + std::to_string(len) + " bytes is larger than the " +
                 std::to_string(kSlaveInfoMax) + " bytes of the record";
        return false;
    }
    if (len < kSlaveInfoHeader) {
        *error = "the slave info of " + std::to_string(len) + " bytes is shorter than its header";
        return false;
    }
    kv::ByteReader in(data, len);
    in.seek(16);
    const size_t n = in.le16();
    if (n > kMaxSlaveEntries) {
        *error = "the slave info lists " + std::to_string(n) + " blocks, more than the " +
                 std::to_string(kMaxSlaveEntries) + " the record holds";
        return false;
    }
    if (kSlaveInfoHeader + n * kSlaveEntrySize > len) {
        *error =
            "the slave info lists " + std::to_string(n) + " blocks but carries only " + std::to_string(len) + " bytes";
        return false;
    }
    in.seek(kSlaveInfoHeader);
    for (size_t i = 0; i < n; ++i) {
        kv::ByteReader e = in.sub(kSlaveEntrySize);
        SlaveEntry s;
        s.id = e.u8();
        e.skip(3);
        s.offset = e.le32();
        s.size = e.le32();
        // The name: the rest of the entry, up to its first zero.
        for (char c = 0; e.remaining() > 0 && (c = char(e.u8())) != 0;)
            s.name.push_back(c);
        out->entries.push_back(std::move(s));
    }
    return true;
}

}  // namespace sectorsmith
