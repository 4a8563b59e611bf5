// The remote-control key map workbook as the tool reads it (first sheet:
// name, value, shortcut per row). The input is the workbook's parts (see
// ZipParts.h), put into a valid container.
#include "KvBasicRemoteCtrl.h"
#include "MemoryFile.h"
#include "ZipParts.h"
#include "smoke.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::vector<uint8_t> zip = fuzzzip::build_zip(fuzzzip::split_parts(data, size));
    MemoryFile file(zip.data(), zip.size());
    CKvBasicRemoteCtrl ctrl;
    tag_remote map;
    if (!ctrl.ExcelParser(file.path(), &map)) {
        if (ctrl.last_error().empty())
            std::abort();  // a refusal says why
        return 0;
    }
    if (map.key_num < 1 || map.key_num > clicker::kMaxKeys || map.name.size() != size_t(map.key_num) ||
        map.value.size() != map.name.size() || map.shortcut.size() != map.name.size())
        std::abort();
    ctrl.set_remote(map);
    return 0;
}

std::vector<std::vector<uint8_t>> fuzz_seeds()
{
    const std::string sheet = "<worksheet><sheetData><row r=\"1\"><c r=\"A1\" t=\"s\"><v>0</v></c></row>"
                              "<row r=\"2\"><c r=\"A2\" t=\"s\"><v>1</v></c><c r=\"B2\"><v>12</v></c>"
                              "<c r=\"C2\" t=\"inlineStr\"><is><t>p</t></is></c></row>"
                              "<row r=\"4\"><c r=\"A4\" t=\"s\"><v>2</v></c><c r=\"B4\" t=\"str\"><f>B2+1</f>"
                              "<v>13</v></c></row></sheetData></worksheet>";
    const std::string s = fuzzzip::join_parts(fuzzzip::sample_workbook(sheet));
    return {std::vector<uint8_t>(s.begin(), s.end())};
}
