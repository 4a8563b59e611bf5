// Preset-data images from channel lists kept in a spreadsheet.
//
// The sheet "Sheet1" holds two heading rows, then one row per satellite
// (column 0 "*name") or per program on a transponder (column 0 the program
// name). The image a set-top box loads as its factory channel database is:
//
//   header      4 bytes: satellites (low 8 bits), transponder records written
//               (low 8 bits), programs (16 bits, big-endian)
//   satellite  52 bytes, type 0     transponder 16 bytes, type 2
//   program    52 bytes, type 1
//
// records in row order, integers 32-bit little-endian, names in 16-byte fields
// without terminator, in the box's code page (Windows-1252 unless the settings
// say otherwise; GBK for Chinese-market boxes). Qt-free: the view and
// corvane-cli run this same code.
#pragma once

#include "CodePage.h"
#include "Workbook.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace presetta {

inline constexpr size_t kNameField = 16;
inline constexpr size_t kSatelliteRecord = 52;
inline constexpr size_t kTransponderRecord = 16;
inline constexpr size_t kProgramRecord = 52;
inline constexpr int kFirstDataRow = 2;
inline constexpr int kMinRows = 3;
inline constexpr const char* kSheetName = "Sheet1";

enum RowKind { ROW_SATELLITE = 0, ROW_PROGRAM = 1 };

// Base of the generators: owns the workbook, the selected sheet, the output
// position and the row counter.
class Form_Analyzer {
public:
    virtual ~Form_Analyzer() = default;

    // Reads the workbook (.xls or .xlsx) and selects the sheet "Sheet1".
    // False with a message in error() when the file cannot be read or has no
    // such sheet.
    bool Load(const std::string& path);
    bool Load(wb::Workbook book);
    const wb::Sheet* sheet() const { return sheet_; }

    // The largest row count the operator may ask for: 2 plus the rows from
    // row 2 on whose column 0 is text.
    int MaxRows() const;

    // Builds the image of the first `rows` rows (headings included) into
    // *image and returns its length; 0 with error() set on failure.
    virtual size_t generate(std::vector<uint8_t>* image, int rows);
    // Takes one cell of the current row: its value (0 for text) and, for a
    // text cell, its text. Returns the row's kind.
    virtual int set_cell(int64_t value, const std::string* text, int column);
    // What was generated, for the operator.
    virtual std::string report() const { return std::string(); }

    // The code page names are written in.
    void set_code_page(const kv::CodePage& cp) { code_page_ = cp; }

    const std::string& error() const { return error_; }
    // Things the operator should know about an image that was generated
    // (names cut to their field, header counts that overflowed).
    const std::vector<std::string>& notes() const { return notes_; }

protected:
    wb::Workbook book_;
    const wb::Sheet* sheet_ = nullptr;
    size_t pos_ = 0;
    int row_counter_ = 0;
    std::string error_;
    std::vector<std::string> notes_;
    kv::CodePage code_page_;
};

class PD_B_Generator : public Form_Analyzer {
public:
    size_t generate(std::vector<uint8_t>* image, int rows) override;
    int set_cell(int64_t value, const std::string* text, int column) override;
    std::string report() const override;

    int satellites() const { return satellites_; }
    int transponders() const { return distinct_tps_; }
    int programs() const { return programs_; }

private:
    // The cells of the row being converted.
    struct RowCells {
        std::array<double, 17> num{};  // numbers, truncated toward zero
        std::array<bool, 17> is_text{};
        std::array<char, 17> first_char{};  // first byte of a text cell
        std::array<bool, 17> bad{};  // number that is not finite
    };
    bool field32(int column, uint32_t* out);
    bool field16(int column, uint16_t* out);
    bool put_name(uint8_t* field, const std::string& name);
    void write_satellite();
    bool write_transponder_and_program();

    RowCells cells_;
    int kind_ = ROW_SATELLITE;
    std::string name_;
    size_t row_ = 0;  // sheet row being converted
    std::vector<uint8_t>* image_ = nullptr;
    std::set<std::array<uint8_t, kTransponderRecord>> tps_seen_;
    int satellites_ = 0, distinct_tps_ = 0, tps_written_ = 0, programs_ = 0;
    std::vector<std::string> cut_names_;
    bool failed_ = false;
};

class IPresetDataFactory {
public:
    virtual ~IPresetDataFactory() = default;
    virtual std::unique_ptr<Form_Analyzer> create_generator() = 0;
};

class FormBFactory : public IPresetDataFactory {
public:
    std::unique_ptr<Form_Analyzer> create_generator() override { return std::make_unique<PD_B_Generator>(); }
};

// ---- the operator's steps, shared by the "PresetData" view and corvane-cli

inline constexpr const char* kMsgUnsupported = "Error input file! Unsupported raw data file!";
inline constexpr const char* kMsgNoData = "Error input file! Please select other file as input data!";
inline constexpr const char* kMsgNoInput = "Please select input raw file!";
inline constexpr const char* kMsgNoOutput = "Please select preset file name!";

// Choosing an input file: checks it and gives the largest row count.
struct InputCheck {
    bool ok = false;
    int max_rows = 0;
    std::string message;  // the operator's message when not ok
    std::string detail;  // why the file could not be read, when known
};
InputCheck CheckInput(const std::string& path);

// "Input number error! Please input a number from 3 to %d."
std::string RowRangeMessage(int max_rows);

// The row count field holds only the digits 0 to 9 (an empty field does,
// and counts as 0).
bool IsRowCountText(const std::string& text);

struct CreateOutcome {
    bool ok = false;
    std::string message;  // the report, or what went wrong
    std::vector<std::string> notes;  // see Form_Analyzer::notes()
    size_t image_size = 0;
};
// Generates the image of `rows` rows from `input` and writes it to `output`,
// names in the code page `cp`. The output file is replaced only once the
// whole image is ready.
CreateOutcome CreatePresetData(const std::string& input, const std::string& output, int rows, int max_rows,
                               const kv::CodePage& cp = kv::CodePage::from_settings());

}  // namespace presetta
