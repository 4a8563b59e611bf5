// "corvane.ini" as the settings reader takes it, and the values the serial
// service and the code page read from it.
#include "Announcement.h"
#include "CodePage.h"
#include "KvBasicCfgIni.h"
#include "MemoryFile.h"
#include "smoke.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    MemoryFile file(data, size);
    CKvBasicCfgIni ini;
    if (!ini.SetFileName(file.path()))
        std::abort();  // the file is there
    CKvBasicCfgIni text;
    text.LoadFromText(std::string(reinterpret_cast<const char*>(data), size));
    const std::pair<const char*, const char*> keys[] = {
        {"SerialSvc", "SyncByte"}, {"SerialSvc", "Ports"}, {"STB", "CodePage"}, {"Stampa", "LenSN "},
        {"Stampa", "NumSys"}, {" serialsvc ", " syncbyte "}};
    for (const auto& [section, key] : keys)
        if (ini.GetValue(section, key) != text.GetValue(section, key))
            std::abort();  // the file reads as its text
    uint8_t sync = 0;
    kv::parse_sync_byte(ini.GetValue("SerialSvc", "SyncByte"), &sync);
    kv::CodePage cp(ini.GetValue("STB", "CodePage"));
    std::string out;
    if (cp.valid())
        cp.to_box(ini.GetValue("Stampa", "NumSys"), out);
    return 0;
}

std::vector<std::vector<uint8_t>> fuzz_seeds()
{
    const std::string s = "\xEF\xBB\xBF; settings\r\n[SerialSvc]\r\nSyncByte = 0x52\r\nPorts=/dev/ttyS0; socket://h:1\r\n"
                          "# c\n[ STB ]\nCodePage=GBK\n[Stampa]\nLenSN =8\nNumSys=A\n[broken\nkey\n=v\n";
    return {std::vector<uint8_t>(s.begin(), s.end())};
}
