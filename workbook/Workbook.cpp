#include "Workbook.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>

namespace wb {

size_t Sheet::col_count() const
{
    size_t n = 0;
    for (const auto& r : rows)
        n = std::max(n, r.size());
    return n;
}

const Cell& Sheet::at(size_t row, size_t col) const
{
    static const Cell empty;
    if (row >= rows.size() || col >= rows[row].size())
        return empty;
    return rows[row][col];
}

Cell& Sheet::set(size_t row, size_t col)
{
    if (row >= rows.size())
        rows.resize(row + 1);
    if (col >= rows[row].size())
        rows[row].resize(col + 1);
    return rows[row][col];
}

static bool same_name(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

const Sheet* Workbook::find(const std::string& name) const
{
    for (const auto& s : sheets)
        if (same_name(s.name, name))
            return &s;
    return nullptr;
}

bool read_workbook_memory(const void* data, size_t len, Workbook* out, std::string* error)
{
    static const uint8_t kCompound[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    const auto* p = static_cast<const uint8_t*>(data);
    if (len >= 8 && std::memcmp(p, kCompound, 8) == 0)
        return read_xls_memory(data, len, out, error);
    if (len >= 4 && p[0] == 'P' && p[1] == 'K' && p[2] == 3 && p[3] == 4)
        return read_xlsx_memory(data, len, out, error);
    if (error)
        *error = "not a spreadsheet file (neither .xls nor .xlsx)";
    return false;
}

bool read_workbook(const std::string& path, Workbook* out, std::string* error)
{
    std::ifstream f(path, std::ios::binary | std::ios::ate);
    if (!f) {
        if (error)
            *error = "cannot open " + path;
        return false;
    }
    std::streamoff size = f.tellg();
    if (size < 0) {
        if (error)
            *error = "cannot read " + path;
        return false;
    }
    std::vector<char> bytes(static_cast<size_t>(size));
    f.seekg(0);
    if (size > 0 && !f.read(bytes.data(), size)) {
        if (error)
            *error = "cannot read " + path;
        return false;
    }
    return read_workbook_memory(bytes.data(), bytes.size(), out, error);
}

}  // namespace wb
