#include "BlockText.h"

#include "BlockKinds.h"
#include "JsonText.h"

#include <cstdio>

namespace sectorsmith {

std::string hex_id(unsigned id)
{
    char b[8];
    std::snprintf(b, sizeof b, "0x%02X", id);
    return b;
}

std::string blocks_json(const SlaveInfo& s, const std::string& indent)
{
    using kv_json::quoted;
    std::string o = "[";
    for (size_t i = 0; i < s.entries.size(); ++i) {
        const SlaveEntry& e = s.entries[i];
        const BlockKind* k = find_kind(e.id);
        o += std::string(i ? "," : "") + "\n" + indent + "  {\"id\": " + quoted(hex_id(e.id)) +
             ", \"kind\": " + quoted(k ? k->cli_name : "") + ", \"name\": " + quoted(e.name) +
             ", \"offset\": " + std::to_string(e.offset) + ", \"size\": " + std::to_string(e.size) + "}";
    }
    return o + (s.entries.empty() ? "]" : "\n" + indent + "]");
}

std::string blocks_table(const SlaveInfo& s)
{
    char line[160];
    std::snprintf(line, sizeof line, "%-6s %-12s %-10s %-10s %s\n", "ID", "KIND", "OFFSET", "SIZE", "NAME");
    std::string o = line;
    for (const SlaveEntry& e : s.entries) {
        const BlockKind* k = find_kind(e.id);
        std::snprintf(line, sizeof line, "%-6s %-12s 0x%08X 0x%08X ", hex_id(e.id).c_str(), k ? k->cli_name : "-",
                      e.offset, e.size);
        o += line + e.name + "\n";
    }
    return o;
}

}  // namespace sectorsmith
