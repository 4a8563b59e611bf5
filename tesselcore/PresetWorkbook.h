// What the workbook export and import share: where the workbook and the
// settings are, the box's code page, which key sheets the workbook carries,
// the key settings of corvane.ini and the texts as the workbook shows them.
#pragma once

#include <cstddef>
#include <string>

#include "CodePage.h"
#include "TesselReport.h"

namespace wb {
struct Cell;
}

namespace tessel {

// The key header's total length is 16 bits: this many "ucaskey" records fit.
constexpr size_t kMaxBissKeyInfos = (0xFFFF - 12) / 28;

struct WorkbookSettings {
    std::string xls_path;  // "preset.xlsx" in the current directory unless set
    std::string ini_path;  // "corvane.ini" in the program folder unless set
    // The box's code page: text items go into the blocks in it and come out
    // of them through it.
    kv::CodePage code_page = kv::CodePage::from_settings();
    bool ucaskey_sheet = false;  // the workbook carries the key sheets
    bool crypto_sheet = false;
};

// [Tessel] New_ucakey and BISS_MAX_KEYINFOS of the settings file; false with
// the message when the file cannot be read.
bool load_settings(const WorkbookSettings& set, Report& report, bool* new_ucakey, int* biss_max);
// False with the message when biss_max cannot be a key count.
bool biss_max_ok(Report& report, int biss_max);
// A text of the script or of a block as the workbook shows it.
std::string screen_text(const kv::CodePage& code_page, const char* box_text);

// Cell name of (column, row), both from 1: "A1", "Z3", "AA7", "ZZ9", ...
// False (and nothing written) for column or row 0.
bool cell_position(int column, int row, std::string* out);

// A key byte from a cell: a number cell holds two decimal digits packed in one
// byte (12 -> 0x12); a text cell is hexadecimal when one of its first two
// characters is a letter a-f (either case), decimal otherwise. False when the
// cell is not a byte in that sense.
bool key_byte_from_cell(const wb::Cell& cell, uint8_t* out);

}  // namespace tessel
