#include "BootRomWords.h"

#include "BootRom.h"
#include "ByteOrder.h"

namespace download {

namespace {
constexpr const char* kSrc = "DialogDownload";
constexpr uint32_t kStrapRegister = 0xBFEDC024;  // read-only: reading it changes nothing
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
    std::vector<uint8_t> f = bootlink::build_read_instruction(kStrapRegister);
    bootlink::line_send(m_ctx, f.data(), f.size(), 500);
    bootlink::line_drain(m_ctx, 256, 300);
}

}  // namespace download
