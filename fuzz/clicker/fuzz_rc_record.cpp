// The remote-control record file loaded into the record table, each record's
// key found in a fixed key map.
#include "KvBasicRemoteCtrl.h"
#include "MemoryFile.h"
#include "RecordFile.h"
#include "smoke.h"

#include <cstdlib>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const auto table = std::make_unique<tag_record_table>();
    static const tag_remote map = [] {
        tag_remote m;
        m.key_num = 3;
        m.name = {"POWER", "MENU key", "OK"};
        m.value = {"1", "27", "x"};
        m.shortcut = {"p", "", "o"};
        return m;
    }();
    MemoryFile file(data, size);
    CKvBasicRemoteCtrl ctrl;
    ctrl.m_pTable = table.get();
    ctrl.set_remote(map);
    if (!ctrl.load_key_map(file.path()))
        return 0;
    if (table->count < 1 || table->count > clicker::kMaxRecords)
        std::abort();
    for (int i = 0; i < table->count; ++i)
        clicker::record_name(*table, i);
    return 0;
}

std::vector<std::vector<uint8_t>> fuzz_seeds()
{
    const std::string s = clicker::record_line(clicker::kStartRecordName, 1530) + clicker::record_line("POWER", 200) +
                          "\r\n" + clicker::record_line("MENU key", 40) + clicker::record_line("Unknown", 7) +
                          clicker::closing_line("OK last key", clicker::kLastKeyPauseMs);
    return {std::vector<uint8_t>(s.begin(), s.end())};
}
