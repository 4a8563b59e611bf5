#include "PanelCommands.h"

#include "ByteOrder.h"
#include "UpgClient.h"
#include "kvcrc.h"

#include <algorithm>

namespace fir {

int second_reply_ms(PanelCommand c)
{
    return c == PanelCommand::AnnounceRecord || c == PanelCommand::AnnounceConfig ? 3000 : 1000;
}

std::vector<uint8_t> announce_payload(uint32_t value)
{
    std::vector<uint8_t> p = {0xFF, 0x4E};
    kv::append_le32(p, value);
    return p;
}

std::vector<uint8_t> panel_command_frame(PanelCommand c, const std::vector<uint8_t>& payload)
{
    return bootlink::build_command_frame(static_cast<uint8_t>(c), payload);
}

std::vector<uint8_t> panel_data_frame(const uint8_t* data, size_t n)
{
    std::vector<uint8_t> f(2 + n);
    f[0] = 0x23;
    f[1] = 0x2A;
    std::copy(data, data + n, f.begin() + 2);
    kv::append_le32(f, kv::crc32(data, n));
    return f;
}

}  // namespace fir
