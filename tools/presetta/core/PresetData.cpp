#include "PresetData.h"
#include "FileOps.h"

#include "AtomicFile.h"
#include "ByteOrder.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace presetta {

namespace {

// Row and column as the spreadsheet program shows them ("row 7, column C").
std::string cell_name(size_t row, int column)
{
    std::string col;
    for (int c = column + 1; c > 0; c = (c - 1) / 26)
        col.insert(col.begin(), char('A' + (c - 1) % 26));
    return "row " + std::to_string(row + 1) + ", column " + col;
}

bool row_is_empty(const wb::Sheet& sheet, size_t r)
{
    if (r >= sheet.rows.size())
        return true;
    for (const auto& c : sheet.rows[r])
        if (c.kind != wb::CellKind::Empty && !(c.kind == wb::CellKind::Text && c.text().empty()))
            return false;
    return true;
}

}  // namespace

// ================================================================= Form_Analyzer

bool Form_Analyzer::Load(const std::string& path)
{
    wb::Workbook book;
    std::string err;
    if (!wb::read_workbook(path, &book, &err)) {
        sheet_ = nullptr;
        error_ = err;
        return false;
    }
    return Load(std::move(book));
}

bool Form_Analyzer::Load(wb::Workbook book)
{
    book_ = std::move(book);
    sheet_ = nullptr;
    error_.clear();
    for (const auto& s : book_.sheets)
        if (s.name == kSheetName) {  // exactly, as the operator's template names it
            sheet_ = &s;
            break;
        }
    if (!sheet_)
        error_ = "the workbook has no sheet named \"Sheet1\"";
    return sheet_ != nullptr;
}

int Form_Analyzer::MaxRows() const
{
    if (!sheet_)
        return 0;
    int n = kFirstDataRow;
    for (size_t r = kFirstDataRow; r < sheet_->row_count(); ++r)
        n += sheet_->at(r, 0).kind == wb::CellKind::Text;
    return n;
}

size_t Form_Analyzer::generate(std::vector<uint8_t>*, int) { return 0; }
int Form_Analyzer::set_cell(int64_t, const std::string*, int) { return 0; }

// ================================================================= PD_B_Generator

int PD_B_Generator::set_cell(int64_t value, const std::string* text, int column)
{
    if (column == 0) {
        if (text && !text->empty() && (*text)[0] == '*') {
            kind_ = ROW_SATELLITE;
            name_ = text->substr(1);
        } else if (text) {
            kind_ = ROW_PROGRAM;
            name_ = *text;
        } else {
            name_.clear();  // keeps the kind of the row before
        }
    }
    if (column >= 0 && size_t(column) < cells_.num.size()) {
        cells_.num[size_t(column)] = double(value);
        cells_.is_text[size_t(column)] = text != nullptr;
        cells_.first_char[size_t(column)] = (text && !text->empty()) ? (*text)[0] : '\0';
    }
    return kind_;
}

bool PD_B_Generator::field32(int column, uint32_t* out)
{
    const double v = cells_.num[size_t(column)];
    if (cells_.bad[size_t(column)] || !(v >= -2147483648.0 && v <= 4294967295.0)) {
        error_ = "Value out of range in " + cell_name(row_, column) + ": it must fit in 32 bits.";
        return false;
    }
    *out = uint32_t(int64_t(v));
    return true;
}

bool PD_B_Generator::field16(int column, uint16_t* out)
{
    const double v = cells_.num[size_t(column)];
    if (cells_.bad[size_t(column)] || !(v >= -32768.0 && v <= 65535.0)) {
        error_ = "Value out of range in " + cell_name(row_, column) + ": it must fit in 16 bits.";
        return false;
    }
    *out = uint16_t(int32_t(v));
    return true;
}

// A name in the box's code page, cut to its 16-byte field (never inside a
// character). A character the code page cannot hold stops the generation.
bool PD_B_Generator::put_name(uint8_t* field, const std::string& name)
{
    std::string bytes, bad;
    if (!code_page_.to_box(name, bytes, &bad)) {
        error_ = "The name in " + cell_name(row_, 0) + " holds \"" + bad + "\", which the box's code page " +
                 code_page_.name() + " cannot hold.";
        return false;
    }
    const size_t n = code_page_.fit(bytes, kNameField);
    std::memcpy(field, bytes.data(), n);
    if (n < bytes.size())
        cut_names_.push_back(cell_name(row_, 0) + ": \"" + name + "\" was cut to \"" +
                             code_page_.to_screen(bytes.substr(0, n)) + "\"");
    return true;
}

void PD_B_Generator::write_satellite()
{
    std::vector<uint8_t>& img = *image_;
    img.resize(pos_ + kSatelliteRecord, 0);
    uint8_t* p = img.data() + pos_;
    static const int cols[7] = {3, 2, 1, 7, 6, 5, 4};  // at offsets 4..28
    uint32_t v;
    kv::put_le32(p, 0);
    for (int i = 0; i < 7; ++i) {
        if (!field32(cols[i], &v)) {
            failed_ = true;
            return;
        }
        kv::put_le32(p + 4 + 4 * i, v);
    }
    if (!put_name(p + 32, name_) || !field32(8, &v)) {
        failed_ = true;
        return;
    }
    kv::put_le32(p + 48, v);
    pos_ += kSatelliteRecord;
    ++satellites_;
    tps_seen_.clear();
}

bool PD_B_Generator::write_transponder_and_program()
{
    std::vector<uint8_t>& img = *image_;
    std::array<uint8_t, kTransponderRecord> tp{};
    uint32_t pol = 0, v7, v8;
    if (cells_.is_text[9]) {
        // "v" is as vertical as "V": a lower-case letter is not read as horizontal.
        const char c = cells_.first_char[9];
        pol = (c == 'V' || c == 'v') ? 1 : 0;
    } else if (!field32(9, &pol)) {
        return false;
    }
    if (!field32(7, &v7) || !field32(8, &v8))
        return false;
    kv::put_le32(tp.data(), 2);
    kv::put_le32(tp.data() + 4, pol);
    kv::put_le32(tp.data() + 8, v7);
    kv::put_le32(tp.data() + 12, v8);

    // Check the program's fields before anything of the row is written.
    const bool program = name_ != "NONE";
    uint32_t f3 = 0, f4 = 0, f2 = 0, f5 = 0, f6 = 0, f14 = 0;
    uint16_t f15 = 0, f16 = 0;
    if (program && (!field32(3, &f3) || !field32(4, &f4) || !field32(2, &f2) || !field32(5, &f5) || !field32(6, &f6) ||
                    !field32(14, &f14) || !field16(15, &f15) || !field16(16, &f16)))
        return false;

    if (tps_seen_.insert(tp).second)
        ++distinct_tps_;
    img.resize(pos_ + kTransponderRecord, 0);
    std::memcpy(img.data() + pos_, tp.data(), tp.size());
    pos_ += kTransponderRecord;
    ++tps_written_;

    if (!program)
        return true;
    uint32_t audio = 0;
    if (cells_.is_text[13]) {
        const char c = cells_.first_char[13];  // either case, as for the polarisation
        audio = (c == 'L' || c == 'l') ? 1 : (c == 'R' || c == 'r') ? 2 : 0;
    }
    img.resize(pos_ + kProgramRecord, 0);
    uint8_t* p = img.data() + pos_;
    kv::put_le32(p, 1);
    kv::put_le32(p + 4, f3);
    kv::put_le32(p + 8, audio);
    kv::put_le32(p + 12, f4);
    kv::put_le32(p + 16, f2);
    kv::put_le32(p + 20, f5);
    kv::put_le32(p + 24, f6);
    kv::put_le32(p + 28, f14);
    kv::put_le16(p + 32, f15);
    kv::put_le16(p + 34, f16);
    if (!put_name(p + 36, name_))
        return false;
    pos_ += kProgramRecord;
    ++programs_;
    return true;
}

size_t PD_B_Generator::generate(std::vector<uint8_t>* image, int rows)
{
    image_ = image;
    image->assign(4, 0);
    pos_ = 4;
    row_counter_ = 0;
    satellites_ = distinct_tps_ = tps_written_ = programs_ = 0;
    kind_ = ROW_SATELLITE;
    tps_seen_.clear();
    cut_names_.clear();
    notes_.clear();
    error_.clear();
    failed_ = false;
    if (!sheet_) {
        error_ = "no worksheet \"Sheet1\" loaded";
        return 0;
    }
    const int wanted = rows - kFirstDataRow;
    for (size_t r = kFirstDataRow; r < sheet_->row_count() && row_counter_ < wanted; ++r) {
        // A blank row is a gap in the list, not a record of zeros.
        if (row_is_empty(*sheet_, r))
            continue;
        row_ = r;
        cells_ = RowCells{};
        // Column 0 decides the row's kind even when it is empty.
        if (sheet_->rows[r].empty() || sheet_->rows[r].front().col != 0)
            set_cell(0, nullptr, 0);
        for (const wb::Cell& cell : sheet_->rows[r]) {
            const size_t c = cell.col;
            int64_t value = 0;
            if (c < cells_.num.size() && (cell.kind == wb::CellKind::Number || cell.kind == wb::CellKind::Bool)) {
                const double t = std::trunc(cell.number);
                if (!std::isfinite(t) || std::fabs(t) > 9.0e15)
                    cells_.bad[c] = true;
                else
                    value = int64_t(t);
            }
            const std::string text(cell.text());
            set_cell(value, cell.kind == wb::CellKind::Text ? &text : nullptr, int(c));
        }
        if (kind_ == ROW_SATELLITE)
            write_satellite();
        else if (!write_transponder_and_program())
            failed_ = true;
        if (failed_) {
            image->clear();
            return 0;
        }
        ++row_counter_;
    }
    uint8_t* h = image->data();
    h[0] = uint8_t(satellites_);
    h[1] = uint8_t(tps_written_);
    h[2] = uint8_t(programs_ >> 8);
    h[3] = uint8_t(programs_);

    if (!cut_names_.empty()) {
        notes_.push_back(std::to_string(cut_names_.size()) + " name(s) longer than 16 bytes were cut to 16 bytes:");
        for (size_t i = 0; i < cut_names_.size() && i < 20; ++i)
            notes_.push_back("  " + cut_names_[i]);
        if (cut_names_.size() > 20)
            notes_.push_back("  ... and " + std::to_string(cut_names_.size() - 20) + " more");
    }
    if (satellites_ > 0xFF)
        notes_.push_back("The image holds " + std::to_string(satellites_) +
                         " satellites; its header keeps only the low 8 bits of that count.");
    return pos_;
}

std::string PD_B_Generator::report() const
{
    char b[160];
    std::snprintf(b, sizeof b, "Preset Data generated! %d Satallite %d Tp %d Pro have been generated!", satellites_,
                  distinct_tps_, programs_);
    return b;
}

// ================================================================= operator steps

InputCheck CheckInput(const std::string& path)
{
    InputCheck out;
    PD_B_Generator probe;
    if (!probe.Load(path)) {
        out.message = kMsgUnsupported;
        out.detail = probe.error();
        return out;
    }
    out.max_rows = probe.MaxRows();
    if (out.max_rows <= kFirstDataRow) {
        out.message = kMsgNoData;
        out.max_rows = 0;
        return out;
    }
    out.ok = true;
    return out;
}

std::string RowRangeMessage(int max_rows)
{
    return "Input number error! Please input a number from 3 to " + std::to_string(max_rows) + ".";
}

bool IsRowCountText(const std::string& text)
{
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

CreateOutcome CreatePresetData(const std::string& input, const std::string& output, int rows, int max_rows,
                               const kv::CodePage& cp)
{
    namespace fs = std::filesystem;
    CreateOutcome out;
    if (input.empty()) {
        out.message = kMsgNoInput;
        return out;
    }
    if (output.empty()) {
        out.message = kMsgNoOutput;
        return out;
    }
    if (rows < kMinRows || rows > max_rows) {
        out.message = RowRangeMessage(max_rows);
        return out;
    }
    {
        // Replacing the channel list by its own image would lose the list.
        std::error_code ec;
        if (fs::equivalent(kv::file_path(input), kv::file_path(output), ec)) {
            out.message = "The preset file must not be the input file: " + output;
            return out;
        }
    }
    FormBFactory factory;
    std::unique_ptr<Form_Analyzer> gen = factory.create_generator();
    gen->set_code_page(cp);
    if (!gen->Load(input)) {
        out.message = std::string(kMsgUnsupported) + "\n" + gen->error();
        return out;
    }
    // The file may have changed since it was chosen.
    const int now_max = gen->MaxRows();
    if (rows > now_max) {
        out.message = RowRangeMessage(now_max);
        return out;
    }
    std::vector<uint8_t> image;
    const size_t len = gen->generate(&image, rows);
    if (len == 0) {
        out.message = "No preset file was written. " + gen->error();
        return out;
    }

    // Write beside the target, then put it in place: a failed write never
    // leaves a half image under the operator's file name.
    kv::AtomicFile f;
    std::string error;
    if (!f.open(output, error)) {
        out.message = "Cannot write " + output + ".part";
        return out;
    }
    f.write(image.data(), len);
    if (!f.commit(error)) {
        const std::string prefix = "Can't write " + output;  // the reason follows
        out.message = "Cannot write " + output +
                      (error.compare(0, prefix.size(), prefix) == 0 ? error.substr(prefix.size()) : ": " + error);
        return out;
    }
    out.ok = true;
    out.image_size = len;
    out.message = gen->report();
    out.notes = gen->notes();
    return out;
}

}  // namespace presetta
