// CTesselcore: construction, memory, messages, the script tree's records.
#include "Tesselcore.h"

#include "KvBasicLog.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

int CTesselcore::m_sheetCount = 0;

namespace tessel {

const char kDmhMarker[12] = {'*', '^', '_', '^', '*', 'D', 'M', '(', '^', 'o', '^', ')'};

bool is_dmh_header(const uint8_t* image, size_t len, size_t pos)
{
    if (!image || pos > len || len - pos < kDmhHeaderSize)
        return false;
    const uint8_t* h = image + pos;
    return std::memcmp(h, kDmhMarker, sizeof kDmhMarker) == 0 && dmh_entry_size(h) == kEntrySize;
}

bool entry_is_ncrc(const tag_dmh_block_info_local& r) { return std::memcmp(r.entry + 12, "NCRC", 4) == 0; }

static std::string field_text(const uint8_t* p, size_t n)
{
    size_t len = 0;
    while (len < n && p[len] != 0)
        ++len;
    return std::string(reinterpret_cast<const char*>(p), len);
}

std::string entry_name(const tag_dmh_block_info_local& r) { return field_text(r.entry + 24, 8); }
std::string entry_version(const tag_dmh_block_info_local& r) { return field_text(r.entry + 16, 8); }
std::string entry_time(const tag_dmh_block_info_local& r) { return field_text(r.entry + 32, 12); }

}  // namespace tessel

CTesselcore::CTesselcore()
{
    std::memset(m_sheets, 0, sizeof m_sheets);
    CKvBasicCfgIni::crc_setup_fast_lut(m_crc_table);
    char cwd[4096];
    std::string dir = getcwd(cwd, sizeof cwd) ? cwd : ".";
    m_xls_path = dir + (dir.empty() || dir.back() != '/' ? "/" : "") + "preset.xlsx";
}

CTesselcore::~CTesselcore() { generator_init(); }

void* CTesselcore::Debug_malloc(const char* /*tag*/, size_t size) { return std::calloc(1, size ? size : 1); }

void CTesselcore::Debug_free(void* p) { std::free(p); }

void CTesselcore::show(const char* format, ...)
{
    char buf[1024];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    m_message = buf;
    m_detail.clear();
    kv_console_printf("%s\n", buf);
}

void CTesselcore::detail(const std::string& why)
{
    m_detail = why;
    if (!why.empty())
        kv_console_printf("%s\n", why.c_str());
}

void CTesselcore::generator_init()
{
    for (auto& s : m_sheets)
        free_sheet(&s);
    m_ir_nums.clear();
    m_ir_values.clear();
}

cus_config_sheet_t* CTesselcore::sheet_slot(int slot) { return slot >= 0 && slot < 3 ? &m_sheets[slot] : nullptr; }

cus_config_block* CTesselcore::block_new()
{
    auto* b = static_cast<cus_config_block*>(std::calloc(1, sizeof(cus_config_block)));
    if (!b)
        show("MALLOC FAILED!!!");
    return b;
}

cus_config_item* CTesselcore::item_new()
{
    auto* i = static_cast<cus_config_item*>(std::calloc(1, sizeof(cus_config_item)));
    if (!i)
        show("MALLOC FAILED!!!");
    return i;
}

cus_config_sheet_info* CTesselcore::info_new()
{
    auto* i = static_cast<cus_config_sheet_info*>(std::calloc(1, sizeof(cus_config_sheet_info)));
    if (!i)
        show("MALLOC FAILED!!!");
    return i;
}

void CTesselcore::free_sheet(cus_config_sheet_t* sheet)
{
    if (!sheet)
        return;
    for (auto* info = sheet->infos; info;) {
        auto* next = info->next;
        std::free(info);
        info = next;
    }
    for (auto* b = sheet->blocks; b;) {
        for (auto* it = b->items; it;) {
            auto* next = it->next;
            std::free(it);
            it = next;
        }
        auto* next = b->next;
        std::free(b);
        b = next;
    }
    std::memset(sheet, 0, sizeof *sheet);
}

bool CTesselcore::biss_max_ok(int biss_max)
{
    if (biss_max <= 0) {
        show("ERROR!! BISS_MAX_KEYINFOS is not set in corvane.ini!");
        return false;
    }
    // The key header's total length is 16 bits: the records must fit it.
    if (biss_max > (int)tessel::kMaxBissKeyInfos) {
        show("ERROR!! BISS_MAX_KEYINFOS in corvane.ini is %d; at most %zu keys fit the key header!", biss_max,
             tessel::kMaxBissKeyInfos);
        return false;
    }
    return true;
}

bool CTesselcore::load_settings(bool* new_ucakey, int* biss_max)
{
    std::string path = m_ini_path.empty() ? CKvBasicCfgIni::path_in_root("corvane.ini") : m_ini_path;
    if (path.size() >= 4096) {
        show("Too long path,check it pls.");
        return false;
    }
    if (!m_ini.SetFileName(path)) {
        show("Can not find this file,check it pls.");
        return false;
    }
    std::string v = m_ini.GetValue("Tessel", "New_ucakey");
    std::string t;
    for (char c : v)
        if (c != ' ' && c != '\t' && c != '\r')
            t += c;
    *new_ucakey = t == "true";
    std::string m = m_ini.GetValue("Tessel", "BISS_MAX_KEYINFOS");
    long long n = 0;
    *biss_max = tessel::parse_long(m, 10, &n) ? (int)std::clamp<long long>(n, INT32_MIN, INT32_MAX) : 0;
    return true;
}
