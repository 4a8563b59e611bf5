#include "BootRomWords.h"

#include "BootRom.h"
#include "ByteOrder.h"

namespace download {

namespace {
constexpr const char* kSrc = "DialogDownload";
}

int BootRomWords::write(uint32_t address, uint32_t value)
{
    std::vector<uint8_t> f = bootlink::build_write_instruction(address, value);
    if (!bootlink::line_send(m_ctx, f.data(), f.size(), m_writeTimeout)) {
        BL_LOG(kSrc, "write:send_instruct error\n");
        return 0;
    }
    return 1;
}

int BootRomWords::read(uint32_t address, uint32_t* value)
{
    if (m_drainBeforeRead) {
        // An announcement that crossed the first instructions is no reply.
        m_drainBeforeRead = false;
        bootlink::line_drain(m_ctx, 256, 300);
    }
    std::vector<uint8_t> f = bootlink::build_read_instruction(address);
    if (!bootlink::line_send(m_ctx, f.data(), f.size(), 500)) {
        BL_LOG(kSrc, "addr_read:send_instruct erro \n");
        return 0;
    }
    uint8_t reply[4] = {};
    uint32_t got = 0;
    if (!bootlink::line_recv(m_ctx, reply, sizeof reply, &got, 1000)) {
        BL_LOG(kSrc, "addr_read:pSerialMonitorSvc->SMS_Receive erro \n");
        return 0;
    }
    if (got == 0) {
        BL_LOG(kSrc, "addr_read: no reply from the STB to the read of 0x%08X\n", address);
        return 0;
    }
    *value = kv::get_le32(reply);
    return 1;
}

void BootRomWords::settle()
{
    bootlink::line_drain(m_ctx, 256, 300);
    m_ctx.announcement_may_trail = true;
    m_drainBeforeRead = true;
}

}  // namespace download
