// Hand-made BIFF8 records and compound documents for the reader's tests:
// what python's writers never produce (MULRK, a shared string whose 8/16-bit
// flag changes at a CONTINUE, inline LABEL cells) and damaged files.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace xlsb {

using Bytes = std::vector<uint8_t>;

inline void le16(Bytes& b, uint32_t v)
{
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
inline void le32(Bytes& b, uint32_t v)
{
    le16(b, v & 0xFFFF);
    le16(b, v >> 16);
}
inline void f64(Bytes& b, double d)
{
    uint64_t x;
    std::memcpy(&x, &d, 8);
    le32(b, uint32_t(x));
    le32(b, uint32_t(x >> 32));
}
inline void put16(Bytes& b, size_t at, uint32_t v)
{
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}
inline void put32(Bytes& b, size_t at, uint32_t v)
{
    put16(b, at, v & 0xFFFF);
    put16(b, at + 2, v >> 16);
}

inline Bytes rec(uint16_t code, const Bytes& d)
{
    Bytes b;
    le16(b, code);
    le16(b, uint32_t(d.size()));
    b.insert(b.end(), d.begin(), d.end());
    return b;
}
inline void add(Bytes& s, const Bytes& r) { s.insert(s.end(), r.begin(), r.end()); }

inline Bytes bof(uint16_t type, uint16_t version = 0x0600)
{
    Bytes d;
    le16(d, version);
    le16(d, type);
    le16(d, 0x0DBB);
    le16(d, 0x07CC);
    le32(d, 0);
    le32(d, 0x0600);
    return rec(0x0809, d);
}
inline Bytes eof() { return rec(0x000A, {}); }

inline Bytes cellhead(uint32_t r, uint32_t c)
{
    Bytes d;
    le16(d, r);
    le16(d, c);
    le16(d, 15);
    return d;
}
inline Bytes labelsst(uint32_t r, uint32_t c, uint32_t i)
{
    Bytes d = cellhead(r, c);
    le32(d, i);
    return rec(0x00FD, d);
}
inline Bytes number(uint32_t r, uint32_t c, double v)
{
    Bytes d = cellhead(r, c);
    f64(d, v);
    return rec(0x0203, d);
}
inline Bytes rk(uint32_t r, uint32_t c, uint32_t v)
{
    Bytes d = cellhead(r, c);
    le32(d, v);
    return rec(0x027E, d);
}
inline uint32_t rk_int(int32_t v, bool div100) { return (uint32_t(v) << 2) | 2u | (div100 ? 1u : 0u); }
inline Bytes mulrk(uint32_t r, uint32_t c0, const std::vector<uint32_t>& rks)
{
    Bytes d;
    le16(d, r);
    le16(d, c0);
    for (uint32_t v : rks) {
        le16(d, 15);
        le32(d, v);
    }
    le16(d, c0 + uint32_t(rks.size()) - 1);
    return rec(0x00BD, d);
}
inline Bytes boolerr(uint32_t r, uint32_t c, uint8_t v, bool is_error)
{
    Bytes d = cellhead(r, c);
    d.push_back(v);
    d.push_back(is_error ? 1 : 0);
    return rec(0x0205, d);
}
inline Bytes formula(uint32_t r, uint32_t c, double cached)
{
    Bytes d = cellhead(r, c);
    f64(d, cached);
    le16(d, 0);
    le32(d, 0);
    le16(d, 3);  // a tiny expression: ptgInt 1
    d.push_back(0x1E);
    le16(d, 1);
    return rec(0x0006, d);
}
// A formula whose stored result is not a number: kind 0 text (in the STRING
// record that follows), 1 boolean, 2 error, 3 empty text.
inline Bytes formula_special(uint32_t r, uint32_t c, uint8_t kind, uint8_t value)
{
    Bytes d = cellhead(r, c);
    d.push_back(kind);
    d.push_back(0);
    d.push_back(value);
    d.insert(d.end(), {0, 0, 0, 0xFF, 0xFF});
    le16(d, 0);
    le32(d, 0);
    le16(d, 3);
    d.push_back(0x1E);
    le16(d, 1);
    return rec(0x0006, d);
}
inline Bytes string_record(const std::string& latin1)
{
    Bytes d;
    le16(d, uint32_t(latin1.size()));
    d.push_back(0);
    d.insert(d.end(), latin1.begin(), latin1.end());
    return rec(0x0207, d);
}
inline Bytes label(uint32_t r, uint32_t c, const std::string& latin1)
{
    Bytes d = cellhead(r, c);
    le16(d, uint32_t(latin1.size()));
    d.push_back(0);
    d.insert(d.end(), latin1.begin(), latin1.end());
    return rec(0x0204, d);
}
inline Bytes blank(uint32_t r, uint32_t c) { return rec(0x0201, cellhead(r, c)); }

// One shared string as its bytes (8-bit when every character fits).
inline Bytes sst_string(const std::u16string& s)
{
    bool wide = false;
    for (char16_t c : s)
        wide |= c > 0xFF;
    Bytes d;
    le16(d, uint32_t(s.size()));
    d.push_back(wide ? 1 : 0);
    for (char16_t c : s) {
        if (wide)
            le16(d, c);
        else
            d.push_back(uint8_t(c));
    }
    return d;
}
inline Bytes sst(const std::vector<std::u16string>& strings)
{
    Bytes d;
    le32(d, uint32_t(strings.size()));
    le32(d, uint32_t(strings.size()));
    for (const auto& s : strings) {
        Bytes b = sst_string(s);
        d.insert(d.end(), b.begin(), b.end());
    }
    return rec(0x00FC, d);
}

struct SheetSpec {
    std::u16string name;
    Bytes cells;  // records between DIMENSIONS and EOF
    bool wide_name = false;
};

// A whole Workbook stream: globals with the sheet list and `sst_records`,
// then every sheet.
inline Bytes workbook_stream(const std::vector<SheetSpec>& sheets, const Bytes& sst_records, uint16_t version = 0x0600,
                             const Bytes& extra_globals = {})
{
    Bytes s;
    add(s, bof(0x0005, version));
    add(s, extra_globals);
    std::vector<size_t> pos_at;
    for (const auto& sh : sheets) {
        Bytes d;
        pos_at.push_back(s.size() + 4);
        le32(d, 0);
        d.push_back(0);
        d.push_back(0);
        d.push_back(uint8_t(sh.name.size()));
        d.push_back(sh.wide_name ? 1 : 0);
        for (char16_t c : sh.name) {
            if (sh.wide_name)
                le16(d, c);
            else
                d.push_back(uint8_t(c));
        }
        add(s, rec(0x0085, d));
    }
    add(s, sst_records);
    add(s, eof());
    for (size_t i = 0; i < sheets.size(); ++i) {
        put32(s, pos_at[i], uint32_t(s.size()));
        add(s, bof(0x0010));
        Bytes dim;
        le32(dim, 0);
        le32(dim, 0);
        le16(dim, 0);
        le16(dim, 0);
        le16(dim, 0);
        add(s, rec(0x0200, dim));
        add(s, sheets[i].cells);
        add(s, eof());
    }
    return s;
}

struct Cfb {
    Bytes bytes;
    uint32_t n_fat = 0;
    uint32_t dir_sector = 0;
    uint32_t first_data_sector = 0;  // first sector of the stream (or of the short-sector stream)
    size_t fat_offset = 512;  // byte offset of the first allocation-table sector
};

// A version-3 compound document (512-byte sectors) holding one stream. A
// stream under 4096 bytes goes into short sectors, as the format wants.
inline Cfb make_cfb(const Bytes& stream, const std::u16string& name = u"Workbook")
{
    const size_t S = 512;
    const bool mini = stream.size() < 4096;
    const size_t mini_bytes = (stream.size() + 63) / 64 * 64;
    const size_t data_sectors = mini ? (mini_bytes + S - 1) / S : (stream.size() + S - 1) / S;
    const size_t minifat_sectors = mini ? 1 : 0;
    // Allocation table sectors beyond the header's 109 are listed in DIFAT
    // sectors (127 entries and a link each), placed right after the table.
    size_t n_fat = 1, n_difat = 0;
    while (true) {
        n_difat = n_fat > 109 ? (n_fat - 109 + 126) / 127 : 0;
        if (n_fat * 128 >= n_fat + n_difat + 1 + minifat_sectors + data_sectors)
            break;
        ++n_fat;
    }
    const uint32_t dir = uint32_t(n_fat + n_difat);
    const uint32_t minifat = dir + 1;
    const uint32_t data0 = uint32_t(dir + 1 + minifat_sectors);
    const size_t total = data0 + data_sectors;

    auto sector = [&](size_t n) { return S * (n + 1); };
    Cfb out;
    out.n_fat = uint32_t(n_fat);
    out.dir_sector = dir;
    out.first_data_sector = data0;
    Bytes& b = out.bytes;
    b.assign(S * (1 + total), 0);
    const uint8_t sig[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    std::memcpy(b.data(), sig, 8);
    put16(b, 0x18, 0x3E);
    put16(b, 0x1A, 3);
    put16(b, 0x1C, 0xFFFE);
    put16(b, 0x1E, 9);
    put16(b, 0x20, 6);
    put32(b, 0x2C, uint32_t(n_fat));
    put32(b, 0x30, dir);
    put32(b, 0x38, 4096);
    put32(b, 0x3C, mini ? minifat : 0xFFFFFFFEu);
    put32(b, 0x40, mini ? 1 : 0);
    put32(b, 0x44, n_difat ? uint32_t(n_fat) : 0xFFFFFFFEu);
    put32(b, 0x48, uint32_t(n_difat));
    for (size_t i = 0; i < 109; ++i)
        put32(b, 0x4C + 4 * i, i < n_fat ? uint32_t(i) : 0xFFFFFFFFu);

    std::vector<uint32_t> fat(n_fat * 128, 0xFFFFFFFFu);
    for (size_t i = 0; i < n_fat; ++i)
        fat[i] = 0xFFFFFFFDu;
    for (size_t k = 0; k < n_difat; ++k) {
        const size_t sec = n_fat + k;
        fat[sec] = 0xFFFFFFFCu;
        for (size_t i = 0; i < 127; ++i) {
            const size_t f = 109 + 127 * k + i;
            put32(b, sector(sec) + 4 * i, f < n_fat ? uint32_t(f) : 0xFFFFFFFFu);
        }
        put32(b, sector(sec) + 4 * 127, k + 1 < n_difat ? uint32_t(sec + 1) : 0xFFFFFFFEu);
    }
    fat[dir] = 0xFFFFFFFEu;
    if (mini)
        fat[minifat] = 0xFFFFFFFEu;
    for (size_t i = 0; i < data_sectors; ++i)
        fat[data0 + i] = i + 1 < data_sectors ? uint32_t(data0 + i + 1) : 0xFFFFFFFEu;
    for (size_t i = 0; i < fat.size(); ++i)
        put32(b, sector(i / 128) + 4 * (i % 128), fat[i]);

    if (mini) {
        const size_t n = mini_bytes / 64;
        for (size_t i = 0; i < 128; ++i)
            put32(b, sector(minifat) + 4 * i, i < n ? (i + 1 < n ? uint32_t(i + 1) : 0xFFFFFFFEu) : 0xFFFFFFFFu);
    }
    std::memcpy(b.data() + sector(data0), stream.data(), stream.size());

    auto entry = [&](size_t i, const std::u16string& nm, uint8_t type, uint32_t child, uint32_t start, uint32_t size) {
        const size_t e = sector(dir) + 128 * i;
        for (size_t k = 0; k < nm.size(); ++k)
            put16(b, e + 2 * k, nm[k]);
        put16(b, e + 0x40, uint32_t(2 * (nm.size() + 1)));
        b[e + 0x42] = type;
        b[e + 0x43] = 1;
        put32(b, e + 0x44, 0xFFFFFFFFu);
        put32(b, e + 0x48, 0xFFFFFFFFu);
        put32(b, e + 0x4C, child);
        put32(b, e + 0x74, start);
        put32(b, e + 0x78, size);
    };
    entry(0, u"Root Entry", 5, 1, mini ? data0 : 0xFFFFFFFEu, mini ? uint32_t(mini_bytes) : 0);
    entry(1, name, 2, 0xFFFFFFFFu, mini ? 0 : data0, uint32_t(stream.size()));
    return out;
}

}  // namespace xlsb
