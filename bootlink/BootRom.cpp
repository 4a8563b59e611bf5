#include "BootRom.h"

#include "ByteOrder.h"
#include "KvBasicLog.h"

#include <cstdlib>
#include <cstring>
#include <thread>

namespace bootlink {

namespace {
const char* const kSrc = "BootRom";
}  // namespace

std::vector<uint8_t> build_read_instruction(uint32_t address)
{
    std::vector<uint8_t> v{0x23, 0x04};
    kv::append_le32(v, address);
    return v;
}

std::vector<uint8_t> build_write_instruction(uint32_t address, uint32_t value)
{
    std::vector<uint8_t> v{0x23, 0x01};
    kv::append_le32(v, address);
    kv::append_le32(v, value);
    return v;
}

int addr_read(uint32_t address, uint32_t* value, JobContext& ctx)
{
    std::vector<uint8_t> ins = build_read_instruction(address);
    if (!line_send(ctx, ins.data(), ins.size(), 500)) {
        kv_console_printf("addr_read:send_instruct erro \n");
        return 0;
    }
    // The first read may be short; the rest is read again with one-second
    // reads until the fifth brings nothing.
    uint8_t reply[4] = {0, 0, 0, 0};
    bool read_failed = false;
    size_t have = line_collect_reply(ctx, reply, 4, ReadPlan{1000, 1000, 5}, &read_failed);
    if (read_failed && have == 0) {
        kv_console_printf("addr_read:pSerialMonitorSvc->SMS_Receive erro \n");
        return 0;
    }
    if (have < 4) {
        static const char msg[] = "Receiving Data failed,please com\n";
        log_data_at(kSrc, __LINE__, msg, sizeof msg);  // 34 bytes, the zero counted
        return 0;
    }
    *value = kv::get_le32(reply);
    return 1;
}

int write(uint32_t address, uint32_t value, JobContext& ctx)
{
    std::vector<uint8_t> ins = build_write_instruction(address, value);
    if (!line_send(ctx, ins.data(), ins.size(), 500)) {
        kv_console_printf("write:send_instruct error\n");
        return 0;
    }
    return 1;
}

void dma_transfer(uint32_t source, uint32_t destination, JobContext& ctx)
{
    dma_transfer_status(source, destination, ctx);
}

int dma_transfer_status(uint32_t source, uint32_t destination, JobContext& ctx)
{
    write(0xBFD00054u, source & 0x0FFFFFFFu, ctx);
    write(0xBFD00058u, destination & 0x0FFFFFFFu, ctx);
    write(0xBFD0005Cu, 0x00010080u, ctx);
    write(0xBFD00064u, 2u, ctx);
    int64_t first = now_ms();
    uint32_t v = 0;
    bool answered = false;
    for (;;) {
        // A failed read says nothing about the engine; keep polling within
        // the same one-second bound rather than take it for done.
        int ok = addr_read(0xBFD00064u, &v, ctx);
        answered = answered || ok;
        if (ok && !(v & 0x80000000u))
            return 1;
        if (ok)
            kv_console_printf("dma_transfer failed!\n");
        if (now_ms() - first > 1000)
            return answered ? 0 : -1;
    }
}

int run_register_script(const RegisterList& list, JobContext& ctx)
{
    int all = 1;
    for (const RegisterEntry& e : list.entries) {
        if (e.name == "sleep") {
            uint32_t ms = e.value;
            if (ms > kMaxScriptSleepMs) {
                BL_LOG(kSrc, "register script: sleep of %u ms cut to %u ms\n", ms, kMaxScriptSleepMs);
                ms = kMaxScriptSleepMs;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            continue;
        }
        const char* s = e.name.c_str();
        char* end = nullptr;
        unsigned long long addr = std::strtoull(s, &end, 16);
        if (end == s) {
            BL_LOG(kSrc, "register script: \"%s\" is no address, entry skipped\n", s);
            continue;
        }
        if (!write(uint32_t(addr), e.value, ctx))
            all = 0;
    }
    return all;
}

int parse_register_list(const std::string& text, const std::string& section, RegisterList* out)
{
    out->entries.clear();
    bool collecting = false;
    size_t pos = 0;
    const size_t n = text.size();
    while (pos < n) {
        size_t eol = text.find_first_of("\r\n", pos);
        if (eol == std::string::npos)
            eol = n;
        std::string line = text.substr(pos, eol - pos);
        pos = eol;
        if (pos < n && text[pos] == '\r' && pos + 1 < n && text[pos + 1] == '\n')
            pos += 2;
        else if (pos < n)
            pos += 1;

        if (line.empty())
            continue;
        if (line[0] == '#') {
            if (line == section)
                collecting = true;
            else if (collecting)
                break;
            continue;
        }
        if (line[0] == '/' || !collecting)
            continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        if (out->count() >= kMaxRegisterEntries) {
            BL_LOG(kSrc, "register section %s holds more than %d entries, refused\n", section.c_str(),
                   kMaxRegisterEntries);
            out->entries.clear();
            return 0;
        }
        RegisterEntry e;
        e.name = line.substr(0, std::min(eq, kMaxRegisterName));
        std::string val = line.substr(eq + 1);
        e.value = uint32_t(std::strtoull(val.c_str(), nullptr, 16));
        out->entries.push_back(std::move(e));
    }
    return 1;
}

int find_register(const RegisterList& list, const std::string& name, uint32_t* value)
{
    for (const RegisterEntry& e : list.entries) {
        if (e.name == name) {
            if (value)
                *value = e.value;
            return 0;
        }
    }
    return -1;
}

int set_bits(uint32_t address, int lo, int width, uint32_t field, JobContext& ctx)
{
    uint32_t v = 0;
    if (!addr_read(address, &v, ctx))
        return 0;
    uint32_t mask = (width >= 32 ? 0xFFFFFFFFu : ((1u << width) - 1u)) << lo;
    v = (v & ~mask) | ((field << lo) & mask);
    return write(address, v, ctx);
}

}  // namespace bootlink
