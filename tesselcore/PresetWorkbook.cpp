// The settings and texts the workbook export and import share.
#include "PresetWorkbook.h"

#include "ConfigScript.h"
#include "KvBasicCfgIni.h"
#include "XlsxWriter.h"

#include <algorithm>
#include <climits>

namespace tessel {

bool biss_max_ok(Report& report, int biss_max)
{
    if (biss_max <= 0) {
        report.show("ERROR!! BISS_MAX_KEYINFOS is not set in corvane.ini!");
        return false;
    }
    // The key header's total length is 16 bits: the records must fit it.
    if (biss_max > (int)kMaxBissKeyInfos) {
        report.show("ERROR!! BISS_MAX_KEYINFOS in corvane.ini is %d; at most %zu keys fit the key header!", biss_max,
                    kMaxBissKeyInfos);
        return false;
    }
    return true;
}

bool load_settings(const WorkbookSettings& set, Report& report, bool* new_ucakey, int* biss_max)
{
    std::string path = set.ini_path.empty() ? CKvBasicCfgIni::path_in_root("corvane.ini") : set.ini_path;
    if (path.size() >= 4096) {
        report.show("Too long path,check it pls.");
        return false;
    }
    CKvBasicCfgIni ini;
    if (!ini.SetFileName(path)) {
        report.show("Can not find this file,check it pls.");
        return false;
    }
    std::string v = ini.GetValue("Tessel", "New_ucakey");
    std::string t;
    for (char c : v)
        if (c != ' ' && c != '\t' && c != '\r')
            t += c;
    *new_ucakey = t == "true";
    std::string m = ini.GetValue("Tessel", "BISS_MAX_KEYINFOS");
    long long n = 0;
    *biss_max = parse_long(m, 10, &n) ? (int)std::clamp<long long>(n, INT32_MIN, INT32_MAX) : 0;
    return true;
}

std::string screen_text(const kv::CodePage& code_page, const char* box_text)
{
    return wb::xlsx_clean_text(code_page.to_screen(box_text));
}

}  // namespace tessel
