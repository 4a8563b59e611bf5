// The slave-info record the block client reports, as the block tool reads
// it: the entries, the lookup of a block and the list for messages.
#include "SlaveInfo.h"
#include "smoke.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    sectorsmith::SlaveInfo info;
    std::string error;
    if (!sectorsmith::parse_slave_info(data, size, &info, &error)) {
        if (error.empty())
            std::abort();  // a refusal says why
        return 0;
    }
    if (info.entries.size() > sectorsmith::kMaxSlaveEntries)
        std::abort();
    for (const auto& e : info.entries)
        if (info.find(e.id) == nullptr)
            std::abort();  // every listed block is found
    info.list_text();
    return 0;
}

std::vector<std::vector<uint8_t>> fuzz_seeds()
{
    std::vector<uint8_t> r(20 + 48 * 3, 0);
    r[16] = 3;
    const char* names[] = {"bootloader", "application", "userdata"};
    for (size_t i = 0; i < 3; ++i) {
        uint8_t* e = r.data() + 20 + 48 * i;
        e[0] = uint8_t(0x80 + 8 * i);
        e[6] = uint8_t(i);  // offset 0x000i0000
        e[9] = 0x20;  // size 0x2000
        std::memcpy(e + 12, names[i], std::strlen(names[i]));
    }
    return {r, std::vector<uint8_t>(r.begin(), r.begin() + 20)};
}
