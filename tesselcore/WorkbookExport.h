// The workbook export: the script tree, the program list and the key blocks
// as sheets of "preset.xlsx".
//
// Qt-free. Operations return true on success and false on failure with the
// text in the Report.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ConfigScript.h"
#include "DmhTable.h"
#include "PresetWorkbook.h"

namespace wb {
struct XlsxSheet;
}

namespace tessel {

class WorkbookExport {
public:
    WorkbookExport(Report& report, DmhTable& dmh, ConfigScript& script, WorkbookSettings& set)
        : m_report(report), m_dmh(dmh), m_script(script), m_set(set)
    {}
    // Writes the workbook at set.xls_path from the table the DMH part works on.
    bool write();

private:
    bool showPresetSheet(wb::XlsxSheet* sheet);
    bool ParseBlockData(wb::XlsxSheet* sheet, int slot);
    bool showNewIRSheet(wb::XlsxSheet* sheet, size_t* row, cus_config_block* block);
    bool showUcaskeySheet(wb::XlsxSheet* sheet, const uint8_t* data, uint32_t size);
    bool showCryptoSheet(wb::XlsxSheet* sheet, const uint8_t* data, uint32_t size);
    bool showKeySheet(wb::XlsxSheet* sheet, const uint8_t* data, uint32_t size, size_t rec_len, size_t id_at, int keys,
                      size_t key_at);
    bool showNewUcaskeySheet(wb::XlsxSheet* sheet, const uint8_t* data, uint32_t size, int biss_max);
    bool showNewCryptoSheet(wb::XlsxSheet* sheet, const uint8_t* data, uint32_t size, int biss_max);
    static void fill_row_color(size_t row, size_t last_col, int color_index, wb::XlsxSheet* sheet);

    Report& m_report;
    DmhTable& m_dmh;
    ConfigScript& m_script;
    WorkbookSettings& m_set;
    int m_sheet_count = 0;
};

}  // namespace tessel
