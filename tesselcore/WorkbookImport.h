// The workbook import: the edited "preset.xlsx" back into the block data
// (configuration items, IR keys, file paths, the program list, the keys).
//
// Qt-free. Operations return true on success and false on failure with the
// text in the Report. A failed import leaves the working table as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "ConfigScript.h"
#include "DmhTable.h"
#include "HwInfo.h"
#include "PresetWorkbook.h"

namespace wb {
struct Workbook;
struct Sheet;
struct Cell;
}  // namespace wb

namespace tessel {

class WorkbookImport {
public:
    WorkbookImport(Report& report, DmhTable& dmh, ConfigScript& script, HwInfoParser& hw, const WorkbookSettings& set)
        : m_report(report), m_dmh(dmh), m_script(script), m_hw(hw), m_set(set)
    {}
    // Reads the workbook at set.xls_path into the table the DMH part works on.
    bool read();

private:
    bool import_sheets(const wb::Workbook& book, bool new_ucakey, int biss_max);
    cus_config_block* select_block(int slot, const std::string& name, std::map<std::string, int>* seen);
    bool read_config_sheet(const wb::Sheet& sheet, int slot);
    bool read_sys_sheet(const wb::Sheet& sheet) { return read_config_sheet(sheet, 1); }
    bool read_path_sheet(const wb::Sheet& sheet);
    bool read_new_IR_sheet(const wb::Sheet& sheet, size_t* row, cus_config_block* block, tag_dmh_block_info_local* r);
    bool write_number_item(const wb::Cell& cell, const cus_config_block* block, cus_config_item* it,
                           tag_dmh_block_info_local* r);
    bool write_text_item(const wb::Cell& cell, const std::string& where, const cus_config_block* block,
                         cus_config_item* it, tag_dmh_block_info_local* r);
    bool load_block_file(const std::string& path, const cus_config_block* block, tag_dmh_block_info_local* r);
    bool load_hw_info_file(const std::string& path, const cus_config_block* block, tag_dmh_block_info_local* r);
    bool read_program_sheet(const wb::Sheet& sheet);
    bool read_ucaskey_sheet(const wb::Sheet& sheet);
    bool read_crypto_sheet(const wb::Sheet& sheet);
    bool read_key_sheet(const wb::Sheet& sheet, const char* name, size_t rec_len, size_t id_at, bool hex_ids,
                        size_t last_col, size_t key_at);
    bool read_new_ucaskey_head(const wb::Sheet* ucaskey, const wb::Sheet* crypto, int biss_max,
                               std::vector<uint8_t>* buf);
    bool read_new_ucaskey_sheet(const wb::Sheet& sheet, std::vector<uint8_t>* buf);
    bool read_new_crypto_sheet(const wb::Sheet& sheet, int biss_max, std::vector<uint8_t>* buf);
    bool write_key_bytes(const char* block_name, const std::vector<uint8_t>& built);

    Report& m_report;
    DmhTable& m_dmh;
    ConfigScript& m_script;
    HwInfoParser& m_hw;
    const WorkbookSettings& m_set;
};

}  // namespace tessel
