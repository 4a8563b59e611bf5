// YExcel: compound document and BIFF8 workbook reader.
#include "YExcel.h"

#include "ByteOrder.h"
#include "Text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace YExcel {

namespace {

constexpr uint32_t kFree = 0xFFFFFFFFu;
constexpr uint32_t kEndOfChain = 0xFFFFFFFEu;
constexpr uint64_t kMiniCutoff = 4096;

inline uint16_t u16(const uint8_t* p) { return kv::get_le16(p); }
inline uint32_t u32(const uint8_t* p) { return kv::get_le32(p); }
inline uint64_t u64(const uint8_t* p) { return uint64_t(u32(p)) | (uint64_t(u32(p + 4)) << 32); }
inline double f64(const uint8_t* p)
{
    uint64_t b = u64(p);
    double d;
    std::memcpy(&d, &b, 8);
    return d;
}

std::string hex(uint32_t v)
{
    char b[16];
    std::snprintf(b, sizeof b, "0x%04X", v);
    return b;
}

char16_t upper(char16_t c) { return (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c; }

bool same_name(const std::u16string& a, const std::u16string& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (upper(a[i]) != upper(b[i]))
            return false;
    return true;
}

}  // namespace

// ================================================================= compound document

bool CompoundDocument::SectorPtr(uint32_t sector, size_t* offset, size_t* avail) const
{
    const size_t size = size_t(1) << sector_shift_;
    const uint64_t off = (uint64_t(sector) + 1) << sector_shift_;
    if (off >= len_)
        return false;
    *offset = size_t(off);
    *avail = std::min<size_t>(size, len_ - size_t(off));
    return true;
}

bool CompoundDocument::Open(const uint8_t* data, size_t len, std::string* error)
{
    data_ = data;
    len_ = len;
    fat_.clear();
    minifat_.clear();
    ministream_.clear();
    entries_.clear();
    auto fail = [&](const std::string& m) {
        if (error)
            *error = m;
        return false;
    };
    if (len < 512)
        return fail("not a compound document: the file is shorter than its 512-byte header");
    if (u32(data) != 0xE011CFD0u || u32(data + 4) != 0xE11AB1A1u)
        return fail("not a compound document: wrong signature");
    sector_shift_ = u16(data + 0x1E);
    mini_shift_ = u16(data + 0x20);
    if (sector_shift_ != 9 && sector_shift_ != 12)
        return fail("compound document: unsupported sector size 2^" + std::to_string(sector_shift_));
    if (mini_shift_ != 6)
        return fail("compound document: unsupported short sector size 2^" + std::to_string(mini_shift_));
    const size_t ssize = size_t(1) << sector_shift_;
    const uint64_t file_sectors = len <= ssize ? 0 : (uint64_t(len) - ssize + ssize - 1) / ssize;
    const uint32_t n_fat = u32(data + 0x2C);
    const uint32_t first_dir = u32(data + 0x30);
    const uint32_t first_minifat = u32(data + 0x3C);
    const uint32_t n_minifat = u32(data + 0x40);
    uint32_t difat_sector = u32(data + 0x44);
    const uint32_t n_difat = u32(data + 0x48);
    if (n_fat == 0 || n_fat > file_sectors)
        return fail("compound document: the allocation table claims " + std::to_string(n_fat) + " sectors in a file of " +
                    std::to_string(file_sectors));

    // Sector numbers of the allocation table: 109 in the header, the rest in
    // the chain of DIFAT sectors (127 entries and a link each).
    std::vector<uint32_t> fat_sectors;
    fat_sectors.reserve(n_fat);
    for (unsigned i = 0; i < 109 && fat_sectors.size() < n_fat; ++i)
        fat_sectors.push_back(u32(data + 0x4C + 4 * i));
    const size_t per_difat = ssize / 4 - 1;
    std::vector<bool> seen_difat;
    for (uint32_t k = 0; fat_sectors.size() < n_fat; ++k) {
        if (k >= n_difat || difat_sector >= file_sectors)
            return fail("compound document: the allocation table's sector list is truncated");
        if (seen_difat.empty())
            seen_difat.resize(size_t(file_sectors));
        if (seen_difat[difat_sector])
            return fail("compound document: cyclic sector chain in the allocation table's sector list");
        seen_difat[difat_sector] = true;
        size_t off, avail;
        if (!SectorPtr(difat_sector, &off, &avail) || avail < ssize)
            return fail("compound document: the allocation table's sector list lies outside the file");
        for (size_t i = 0; i < per_difat && fat_sectors.size() < n_fat; ++i)
            fat_sectors.push_back(u32(data + off + 4 * i));
        difat_sector = u32(data + off + 4 * per_difat);
    }
    fat_.reserve(size_t(n_fat) * (ssize / 4));
    for (uint32_t s : fat_sectors) {
        size_t off, avail;
        if (s >= file_sectors || !SectorPtr(s, &off, &avail))
            return fail("compound document: an allocation table sector lies outside the file");
        // The table's last sector may be cut short by a writer that does not
        // pad the file; missing entries read as free.
        for (size_t i = 0; i < ssize / 4; ++i)
            fat_.push_back(4 * i + 4 <= avail ? u32(data + off + 4 * i) : kFree);
    }

    // Directory: a chain of unknown length, at most every sector of the file.
    std::vector<uint8_t> dir;
    {
        std::vector<bool> seen(fat_.size());
        uint32_t s = first_dir;
        while (s != kEndOfChain) {
            size_t off, avail;
            if (s >= fat_.size() || !SectorPtr(s, &off, &avail))
                return fail("compound document: the directory chain points outside the file");
            if (seen[s])
                return fail("compound document: cyclic sector chain in the directory");
            seen[s] = true;
            dir.insert(dir.end(), data + off, data + off + avail);
            s = fat_[s];
        }
    }
    const size_t n_entries = dir.size() / 128;
    if (n_entries == 0)
        return fail("compound document: the directory is empty");
    entries_.resize(n_entries);
    for (size_t i = 0; i < n_entries; ++i) {
        const uint8_t* e = dir.data() + 128 * i;
        DirectoryEntry& d = entries_[i];
        unsigned name_bytes = u16(e + 0x40);
        if (name_bytes > 64)
            name_bytes = 64;
        for (unsigned k = 0; k + 1 < name_bytes; k += 2) {
            char16_t c = char16_t(u16(e + k));
            if (c == 0)
                break;
            d.name.push_back(c);
        }
        d.type = e[0x42];
        d.left = u32(e + 0x44);
        d.right = u32(e + 0x48);
        d.child = u32(e + 0x4C);
        d.start = u32(e + 0x74);
        d.size = u64(e + 0x78);
        if (sector_shift_ == 9)
            d.size &= 0xFFFFFFFFu;  // version 3 files may leave the high half undefined
    }
    if (entries_[0].type != 5)
        return fail("compound document: the first directory entry is not the root");

    // Short-sector table and the root's short-sector stream.
    if (n_minifat > 0 && first_minifat != kEndOfChain) {
        std::vector<uint8_t> raw;
        if (!ReadChain(first_minifat, uint64_t(n_minifat) * ssize, false, &raw, error))
            return false;
        minifat_.resize(raw.size() / 4);
        for (size_t i = 0; i < minifat_.size(); ++i)
            minifat_[i] = u32(raw.data() + 4 * i);
    }
    if (entries_[0].size > 0 && entries_[0].start != kEndOfChain) {
        if (!ReadChain(entries_[0].start, entries_[0].size, false, &ministream_, error))
            return false;
    }
    return true;
}

bool CompoundDocument::ReadChain(uint32_t start, uint64_t size, bool small, std::vector<uint8_t>* out,
                                 std::string* error) const
{
    auto fail = [&](const std::string& m) {
        if (error)
            *error = m;
        return false;
    };
    out->clear();
    const std::vector<uint32_t>& table = small ? minifat_ : fat_;
    const size_t bsize = small ? (size_t(1) << mini_shift_) : (size_t(1) << sector_shift_);
    const uint64_t limit = small ? ministream_.size() : len_;
    if (size > limit)
        return fail("compound document: a stream of " + std::to_string(size) + " bytes cannot fit in the file");
    out->reserve(size_t(size));
    std::vector<bool> seen(table.size());
    uint32_t s = start;
    while (out->size() < size) {
        if (s >= table.size())
            return fail(s == kEndOfChain ? "compound document: a stream's sector chain ends early"
                                         : "compound document: a stream's sector chain points outside the table");
        if (seen[s])
            return fail("compound document: cyclic sector chain");
        seen[s] = true;
        const size_t want = size_t(std::min<uint64_t>(bsize, size - out->size()));
        if (small) {
            const uint64_t off = uint64_t(s) * bsize;
            if (off + want > ministream_.size())
                return fail("compound document: a short sector lies outside the short-sector stream");
            out->insert(out->end(), ministream_.data() + off, ministream_.data() + off + want);
        } else {
            size_t off, avail;
            if (!SectorPtr(s, &off, &avail) || avail < want)
                return fail("compound document: a sector lies outside the file (truncated file?)");
            out->insert(out->end(), data_ + off, data_ + off + want);
        }
        s = table[s];
    }
    return true;
}

bool CompoundDocument::ContiguousChain(uint32_t start, uint64_t size, size_t* offset) const
{
    const size_t bsize = size_t(1) << sector_shift_;
    if (size > len_)
        return false;
    const uint64_t count = (size + bsize - 1) / bsize;
    uint32_t s = start;
    for (uint64_t i = 0; i < count; ++i) {
        if (s != start + i || s >= fat_.size())
            return false;
        s = fat_[s];
    }
    const uint64_t off = (uint64_t(start) + 1) << sector_shift_;
    if (off > len_ || len_ - off < size)
        return false;
    *offset = size_t(off);
    return true;
}

bool CompoundDocument::StreamBytes(int index, std::vector<uint8_t>* storage, const uint8_t** bytes, size_t* len,
                                   std::string* error) const
{
    if (index >= 0 && size_t(index) < entries_.size() && entries_[size_t(index)].type == 2) {
        const DirectoryEntry& e = entries_[size_t(index)];
        size_t off;
        if (e.size >= kMiniCutoff && ContiguousChain(e.start, e.size, &off)) {
            *bytes = data_ + off;
            *len = size_t(e.size);
            return true;
        }
    }
    if (!ReadStream(index, storage, error))
        return false;
    *bytes = storage->data();
    *len = storage->size();
    return true;
}

int CompoundDocument::FindChild(uint32_t storage, const std::u16string& name) const
{
    if (storage >= entries_.size())
        return -1;
    // Walk the storage's tree of children; each entry is visited once, so a
    // damaged tree with loops still ends.
    std::vector<bool> seen(entries_.size());
    std::vector<uint32_t> stack{entries_[storage].child};
    while (!stack.empty()) {
        uint32_t i = stack.back();
        stack.pop_back();
        if (i >= entries_.size() || seen[i])
            continue;
        seen[i] = true;
        const DirectoryEntry& e = entries_[i];
        if (e.type != 0 && same_name(e.name, name))
            return int(i);
        stack.push_back(e.left);
        stack.push_back(e.right);
    }
    return -1;
}

int CompoundDocument::FindEntry(const std::u16string& path) const
{
    if (entries_.empty())
        return -1;
    std::vector<uint32_t> trail{0};  // storages from the root down to the current one
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t next = path.find(u'\\', pos);
        if (next == std::u16string::npos)
            next = path.size();
        std::u16string part = path.substr(pos, next - pos);
        pos = next + 1;
        if (part.empty() || part == u".")
            continue;
        if (part == u"..") {
            if (trail.size() > 1)
                trail.pop_back();
            continue;
        }
        const DirectoryEntry& cur = entries_[trail.back()];
        if (cur.type != 1 && cur.type != 5)
            return -1;
        int child = FindChild(trail.back(), part);
        if (child < 0)
            return -1;
        trail.push_back(uint32_t(child));
    }
    return int(trail.back());
}

bool CompoundDocument::ReadStream(int index, std::vector<uint8_t>* out, std::string* error) const
{
    if (index < 0 || size_t(index) >= entries_.size() || entries_[size_t(index)].type != 2) {
        if (error)
            *error = "compound document: no such stream";
        return false;
    }
    const DirectoryEntry& e = entries_[size_t(index)];
    if (e.size == 0) {
        out->clear();
        return true;
    }
    return ReadChain(e.start, e.size, e.size < kMiniCutoff, out, error);
}

// ================================================================= records

bool Record::Read(const uint8_t* s, size_t len, size_t* pos)
{
    data.clear();
    continues.clear();
    kv::ByteReader in(s, len);
    if (!in.seek(*pos))
        return false;
    code = in.le16();
    data = in.bytes(in.le16());
    while (in.ok() && in.remaining() >= 4 && in.view(in.pos(), 2).le16() == CODE_CONTINUE) {
        in.skip(2);
        kv::ByteReader part = in.sub(in.le16());
        continues.push_back(data.size());
        data.insert(data.end(), part.peek(), part.peek() + part.remaining());
    }
    if (!in.ok()) {
        data.clear();
        continues.clear();
        return false;
    }
    *pos = in.pos();
    return true;
}

bool BOF::Parse(const uint8_t* d, size_t n)
{
    if (n < 4)
        return false;
    kv::ByteReader in(d, n);
    version = in.le16();
    type = in.le16();
    if (n >= 8) {
        build = in.le16();
        year = in.le16();
    }
    return true;
}

// A short or long BIFF8 text (character count then flags) at *p, read within
// one record part; false when it does not fit.
static bool read_text(const uint8_t* d, size_t n, size_t* p, size_t count, std::u16string* out, bool* wide_out)
{
    if (*p >= n)
        return false;
    uint8_t flags = d[(*p)++];
    bool wide = flags & 1;
    size_t skip_after = 0;
    if (flags & 8) {  // rich text runs
        if (n - *p < 2)
            return false;
        skip_after += 4 * size_t(u16(d + *p));
        *p += 2;
    }
    if (flags & 4) {  // phonetic data
        if (n - *p < 4)
            return false;
        skip_after += u32(d + *p);
        *p += 4;
    }
    size_t bytes = count * (wide ? 2 : 1);
    if (n - *p < bytes)
        return false;
    out->clear();
    out->reserve(count);
    for (size_t i = 0; i < count; ++i)
        out->push_back(wide ? char16_t(u16(d + *p + 2 * i)) : char16_t(d[*p + i]));
    *p += bytes;
    *p = (n - *p < skip_after) ? n : *p + skip_after;
    if (wide_out)
        *wide_out = wide;
    return true;
}

bool Font::Parse(const Record& r)
{
    const auto& d = r.data;
    if (d.size() < 15)
        return false;
    kv::ByteReader in(d);
    height = in.le16();
    options = in.le16();
    colour = in.le16();
    weight = in.le16();
    size_t p = 15;
    return read_text(d.data(), d.size(), &p, d[14], &name, nullptr);
}

bool Window1::Parse(const Record& r)
{
    const auto& d = r.data;
    if (d.size() < 18)
        return false;
    kv::ByteReader in(d);
    x = in.le16();
    y = in.le16();
    width = in.le16();
    height = in.le16();
    options = in.le16();
    active_sheet = in.le16();
    first_tab = in.le16();
    selected_tabs = in.le16();
    tab_ratio = in.le16();
    return true;
}

bool XF::Parse(const Record& r)
{
    if (r.data.size() < 6)
        return false;
    kv::ByteReader in(r.data);
    font = in.le16();
    format = in.le16();
    type = in.le16();
    return true;
}

bool Style::Parse(const Record& r)
{
    if (r.data.size() < 2)
        return false;
    kv::ByteReader in(r.data);
    xf = in.le16();
    if ((xf & 0x8000) && r.data.size() >= 4) {
        builtin = in.u8();
        level = in.u8();
    }
    return true;
}

bool BoundSheet::Parse(const Record& r)
{
    const auto& d = r.data;
    if (d.size() < 8)
        return false;
    kv::ByteReader in(d);
    position = in.le32();
    visibility = in.u8();
    kind = in.u8();
    const size_t count = in.u8();
    size_t p = in.pos();
    return read_text(d.data(), d.size(), &p, count, &name, &wide);
}

bool Dimensions::Parse(const uint8_t* d, size_t n)
{
    if (n < 12)
        return false;
    kv::ByteReader in(d, n);
    first_row = in.le32();
    last_row = in.le32();
    first_col = in.le16();
    last_col = in.le16();
    return true;
}

bool Window2::Parse(const uint8_t* d, size_t n)
{
    if (n < 6)
        return false;
    kv::ByteReader in(d, n);
    options = in.le16();
    top_row = in.le16();
    left_col = in.le16();
    return true;
}

// The shared string table walks its record and continuations as one byte
// sequence, except inside a string's characters: there every continuation
// begins with a fresh flag byte that says whether the rest is 8- or 16-bit.
namespace {
struct PartCursor {
    const Record& r;
    size_t pos = 0;
    size_t part = 0;  // continuations crossed; pos <= part_end() always holds

    size_t part_end() const { return part < r.continues.size() ? r.continues[part] : r.data.size(); }
    void settle()
    {
        while (part < r.continues.size() && pos > r.continues[part])
            ++part;
    }
    // Reads n bytes regardless of part boundaries.
    bool bytes(size_t n, const uint8_t** out)
    {
        if (r.data.size() - pos < n)
            return false;
        *out = r.data.data() + pos;
        pos += n;
        settle();
        return true;
    }
    bool skip(size_t n)
    {
        const uint8_t* dummy;
        return bytes(n, &dummy);
    }
};
}  // namespace

bool SST::Parse(const Record& r, std::string* error)
{
    strings.clear();
    if (r.data.size() < 8) {
        *error = "the shared string table is too short";
        return false;
    }
    total = u32(r.data.data());
    unique = u32(r.data.data() + 4);
    // Each string takes at least 3 bytes; never trust the count for memory.
    strings.reserve(std::min<size_t>(unique, r.data.size() / 3));
    PartCursor c{r, 8, 0};
    c.settle();
    auto truncated = [&](uint32_t i) {
        *error = "the shared string table is truncated (string " + std::to_string(i + 1) + " of " +
                 std::to_string(unique) + ")";
        return false;
    };
    for (uint32_t i = 0; i < unique; ++i) {
        const uint8_t* h;
        if (!c.bytes(3, &h))
            return truncated(i);
        const size_t count = u16(h);
        const uint8_t flags = h[2];
        size_t runs = 0, ext = 0;
        if ((flags & 8) && c.bytes(2, &h))
            runs = u16(h);
        else if (flags & 8)
            return truncated(i);
        if ((flags & 4) && c.bytes(4, &h))
            ext = u32(h);
        else if (flags & 4)
            return truncated(i);
        bool wide = flags & 1;
        bool any_wide = false;
        std::string n8;
        std::u16string w;
        size_t left = count;
        while (left > 0) {
            if (c.pos == c.part_end()) {
                // The characters go on in the next continuation, behind a flag byte.
                if (c.part >= r.continues.size())
                    return truncated(i);
                ++c.part;
                if (c.pos >= c.part_end())
                    return truncated(i);
                wide = r.data[c.pos++] & 1;
                continue;
            }
            const size_t avail = c.part_end() - c.pos;
            const size_t take = std::min(left, avail / (wide ? 2 : 1));
            if (take == 0) {
                *error = "the shared string table is damaged in string " + std::to_string(i + 1);
                return false;
            }
            const uint8_t* p = r.data.data() + c.pos;
            if (wide && !any_wide) {
                any_wide = true;
                w.reserve(count);
                for (char ch : n8)
                    w.push_back(char16_t(uint8_t(ch)));
                n8.clear();
            }
            if (wide) {
                for (size_t k = 0; k < take; ++k)
                    w.push_back(char16_t(u16(p + 2 * k)));
                c.pos += 2 * take;
            } else if (any_wide) {
                for (size_t k = 0; k < take; ++k)
                    w.push_back(char16_t(p[k]));
                c.pos += take;
            } else {
                n8.append(reinterpret_cast<const char*>(p), take);
                c.pos += take;
            }
            left -= take;
        }
        if (!c.skip(4 * runs) || !c.skip(ext))
            return truncated(i);
        String s;
        s.wide = any_wide;
        if (any_wide)
            s.wide16 = std::move(w);
        else
            s.narrow = std::move(n8);
        strings.push_back(std::move(s));
    }
    return true;
}

// ================================================================= cells

Cell DecodeRK(uint32_t rk)
{
    Cell c;
    const bool div100 = rk & 1;
    if (rk & 2) {
        int32_t v = int32_t(rk) >> 2;
        if (!div100) {
            c.kind = CELL_INTEGER;
            c.v.integer = v;
        } else if (v % 100 == 0) {
            c.kind = CELL_INTEGER;
            c.v.integer = v / 100;
        } else {
            c.kind = CELL_DOUBLE;
            c.v.number = double(v) / 100.0;
        }
    } else {
        uint64_t bits = uint64_t(rk & 0xFFFFFFFCu) << 32;
        double d;
        std::memcpy(&d, &bits, 8);
        c.kind = CELL_DOUBLE;
        c.v.number = div100 ? d / 100.0 : d;
    }
    return c;
}

Cell* Worksheet::GetCell(size_t row, size_t col)
{
    if (row > 0xFFFF || col > 0xFF)
        return nullptr;
    if (row >= rows_.size())
        rows_.resize(row + 1);
    auto& r = rows_[row];
    if (col >= r.size())
        r.resize(col + 1);
    cols_ = std::max(cols_, col + 1);
    return &r[col];
}

const Cell* Worksheet::cell(size_t row, size_t col) const
{
    if (row >= rows_.size() || col >= rows_[row].size())
        return nullptr;
    return &rows_[row][col];
}

const std::string* Worksheet::Text8(const Cell& c) const
{
    if (c.kind != CELL_TEXT8 || !book_ || c.v.string >= book_->sst.strings.size())
        return nullptr;
    return &book_->sst.strings[c.v.string].narrow;
}

const std::u16string* Worksheet::Text16(const Cell& c) const
{
    if (c.kind != CELL_TEXT16 || !book_ || c.v.string >= book_->sst.strings.size())
        return nullptr;
    return &book_->sst.strings[c.v.string].wide16;
}

// ================================================================= workbook

void Workbook::Reset()
{
    bof = BOF{};
    window1 = Window1{};
    fonts.clear();
    xfs.clear();
    styles.clear();
    sheets.clear();
    sst = SST{};
    worksheets_.clear();
    error_.clear();
    cell_slots_ = row_slots_ = cells_ = 0;
    sink_ = nullptr;
}

bool Workbook::Fail(std::string msg)
{
    error_ = std::move(msg);
    return false;
}

bool Workbook::Load(const char* path)
{
    Reset();
    std::ifstream f(path, std::ios::binary | std::ios::ate);
    if (!f)
        return Fail(std::string("cannot open ") + path);
    const std::streamoff size = f.tellg();
    if (size < 0)
        return Fail(std::string("cannot read ") + path);
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    f.seekg(0);
    if (!f.read(reinterpret_cast<char*>(bytes.data()), size))
        return Fail(std::string("cannot read ") + path);
    return Load(bytes.data(), bytes.size());
}

bool Workbook::Load(const void* data, size_t len, CellSink* sink)
{
    Reset();
    sink_ = sink;
    CompoundDocument doc;
    if (!doc.Open(static_cast<const uint8_t*>(data), len, &error_))
        return false;
    int idx = doc.FindEntry(u"Workbook");
    if (idx < 0 || doc.entries()[size_t(idx)].type != 2) {
        if (doc.FindEntry(u"Book") >= 0)
            return Fail("the workbook is in the older Excel 5/95 format; save it as Excel 97-2003 (.xls)");
        return Fail("the compound document holds no \"Workbook\" stream");
    }
    std::vector<uint8_t> storage;
    const uint8_t* stream = nullptr;
    size_t stream_len = 0;
    if (!doc.StreamBytes(idx, &storage, &stream, &stream_len, &error_))
        return false;
    size_t globals_end = 0;
    if (!ParseGlobals(stream, stream_len, &globals_end))
        return false;
    // Sheets are read in stream order and must neither overlap each other nor
    // the globals: that keeps the work for any file bounded by its size.
    std::vector<size_t> order(sheets.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return sheets[a].position < sheets[b].position; });
    worksheets_.resize(sheets.size());
    size_t done = globals_end;
    for (size_t i : order) {
        worksheets_[i].index = uint16_t(i);
        worksheets_[i].book_ = this;
        if (sheets[i].kind == 6)
            continue;  // a VBA module: its code lives outside the Workbook stream
        if (sheets[i].position < done)
            return Fail("damaged workbook: sheet " + std::to_string(i + 1) +
                        " starts inside the records of the globals or of another sheet");
        if (!ParseSheet(stream, stream_len, i, &done))
            return false;
    }
    return true;
}

bool Workbook::ParseGlobals(const uint8_t* s, size_t len, size_t* end)
{
    size_t pos = 0;
    Record r;
    bool first = true;
    bool have_sst = false;
    while (true) {
        if (pos >= len)
            return Fail("damaged workbook: the globals end without an EOF record");
        if (!r.Read(s, len, &pos))
            return Fail("damaged workbook: a record runs past the end of the stream at offset " + std::to_string(pos));
        if (first) {
            if (r.code != CODE_BOF || !bof.Parse(r.data.data(), r.data.size()))
                return Fail("not a workbook: the stream does not begin with a BOF record");
            if (bof.version != 0x0600)
                return Fail("unsupported workbook version " + hex(bof.version) +
                            " (only Excel 97-2003 BIFF8 files are read)");
            first = false;
            continue;
        }
        switch (r.code) {
        case CODE_EOF:
            *end = pos;
            return true;
        case CODE_FILEPASS:
            return Fail("the workbook is password-protected (encrypted) and cannot be read");
        case CODE_FONT: {
            Font f;
            if (f.Parse(r))
                fonts.push_back(std::move(f));
            break;
        }
        case CODE_WINDOW1:
            window1.Parse(r);
            break;
        case CODE_XF: {
            XF x;
            if (x.Parse(r))
                xfs.push_back(x);
            break;
        }
        case CODE_STYLE: {
            Style st;
            if (st.Parse(r))
                styles.push_back(st);
            break;
        }
        case CODE_BOUNDSHEET: {
            BoundSheet b;
            if (!b.Parse(r))
                return Fail("damaged workbook: a sheet entry is cut short");
            if (sheets.size() >= kMaxSheets)
                return Fail("workbook too large: more than " + std::to_string(kMaxSheets) + " sheets");
            sheets.push_back(std::move(b));
            break;
        }
        case CODE_SST:
            if (have_sst)
                return Fail("damaged workbook: two shared string tables");
            if (r.data.size() >= 8 && u32(r.data.data() + 4) > kMaxSharedStrings)
                return Fail("workbook too large: more than " + std::to_string(kMaxSharedStrings) +
                            " shared strings");
            if (!sst.Parse(r, &error_)) {
                error_ = "damaged workbook: " + error_;
                return false;
            }
            have_sst = true;
            break;
        default:
            break;  // EXTSST and every other globals record
        }
    }
}

// A string result of a FORMULA record: its text follows in the next STRING
// record (SHRFMLA, ARRAY or TABLE records may stand between them).
struct Workbook::PendingText {
    bool waiting = false;
    uint32_t row = 0, col = 0;
    uint16_t xf = 0;
};

bool Workbook::Emit(uint32_t row, uint32_t col, const Cell& c)
{
    if (row > 0xFFFF || col > 0xFF)
        return Fail("damaged workbook: sheet " + std::to_string(sheet_ + 1) + " has a cell at row " + std::to_string(row + 1) + ", column " +
                    std::to_string(col + 1) + ", outside 65536 rows by 256 columns");
    sheet_cols_ = std::max<size_t>(sheet_cols_, col + 1);
    ++cells_;
    if (sink_) {
        if (!sink_->PutCell(row, col, c))
            return Fail(sink_->Error());
        return true;
    }
    auto& rows = worksheets_[sheet_].rows_;
    if (row >= rows.size()) {
        row_slots_ += row + 1 - rows.size();
        if (row_slots_ > kMaxRowSlots)
            return Fail("workbook too large: more than " + std::to_string(kMaxRowSlots) + " rows in all");
        rows.resize(row + 1);
    }
    auto& r = rows[row];
    if (col >= r.size()) {
        if (r.capacity() == 0 && row > 0 && rows[row - 1].size() > col + 1)
            r.reserve(rows[row - 1].size());
        cell_slots_ += col + 1 - r.size();
        // Gaps are allowed in proportion to the cells that hold something.
        if (cell_slots_ > std::max(kMaxCellSlots, 4 * cells_))
            return Fail("workbook too large: its grid would need more than " +
                        std::to_string(std::max(kMaxCellSlots, 4 * cells_)) + " cells");
        r.resize(col + 1);
    }
    r[col] = c;
    return true;
}

bool Workbook::ParseFormulaText(const uint8_t* s, size_t len, size_t* pos, PendingText* pending)
{
    // The STRING record is laid out as one entry of a shared string table
    // (with the same flag byte after every CONTINUE); read it as a table of one.
    Record r;
    if (!r.Read(s, len, pos))
        return Fail("damaged workbook: a formula's text runs past the end of the stream");
    Record table;
    table.code = CODE_SST;
    table.data.resize(8 + r.data.size());
    table.data[0] = table.data[4] = 1;  // one string in all, one unique
    std::copy(r.data.begin(), r.data.end(), table.data.begin() + 8);
    for (size_t c : r.continues)
        table.continues.push_back(c + 8);
    SST one;
    std::string why;
    if (!one.Parse(table, &why) || one.strings.size() != 1)
        return Fail("damaged workbook: the text of the formula in sheet " + std::to_string(sheet_ + 1) + " cell " +
                    std::to_string(pending->row + 1) + "/" + std::to_string(pending->col + 1) + " is cut short");
    Cell c;
    c.kind = one.strings[0].wide ? CELL_TEXT16 : CELL_TEXT8;
    c.xf = pending->xf;
    c.v.string = uint32_t(sst.strings.size());
    sst.strings.push_back(std::move(one.strings[0]));
    pending->waiting = false;
    return Emit(pending->row, pending->col, c);
}

bool Workbook::ParseCellRecord(uint16_t code, const uint8_t* p, size_t n, const uint8_t* s, size_t len, size_t* pos,
                               PendingText* pending)
{
    Cell c;
    switch (code) {
    case CODE_LABELSST: {
        if (n < 10)
            return Fail("damaged workbook: a text cell record of " + SheetName() + " is cut short");
        uint32_t i = u32(p + 6);
        if (i >= sst.unique || i >= sst.strings.size())
            return Fail("damaged workbook: " + SheetName() + " refers to shared string " + std::to_string(i) + " of " +
                        std::to_string(sst.strings.size()));
        c.kind = sst.strings[i].wide ? CELL_TEXT16 : CELL_TEXT8;
        c.v.string = i;
        break;
    }
    case CODE_LABEL:
    case CODE_RSTRING: {
        if (n < 9)
            return Fail("damaged workbook: a text cell record of " + SheetName() + " is cut short");
        SST::String str;
        size_t q = 8;
        std::u16string w;
        if (!read_text(p, n, &q, u16(p + 6), &w, &str.wide))
            return Fail("damaged workbook: a text cell record of " + SheetName() + " is cut short");
        if (str.wide)
            str.wide16 = std::move(w);
        else
            for (char16_t ch : w)
                str.narrow.push_back(char(ch));
        c.kind = str.wide ? CELL_TEXT16 : CELL_TEXT8;
        c.v.string = uint32_t(sst.strings.size());
        sst.strings.push_back(std::move(str));
        break;
    }
    case CODE_NUMBER:
        if (n < 14)
            return Fail("damaged workbook: a number cell record of " + SheetName() + " is cut short");
        c.kind = CELL_DOUBLE;
        c.v.number = f64(p + 6);
        break;
    case CODE_RK:
        if (n < 10)
            return Fail("damaged workbook: a number cell record of " + SheetName() + " is cut short");
        c = DecodeRK(u32(p + 6));
        break;
    case CODE_MULRK: {
        if (n < 12 || (n - 6) % 6 != 0)
            return Fail("damaged workbook: a number row record of " + SheetName() + " has a wrong length");
        const uint32_t row = u16(p), first = u16(p + 2);
        const size_t count = (n - 6) / 6;
        const uint32_t last = u16(p + n - 2);
        if (last < first || last - first + 1 != count)
            return Fail("damaged workbook: a number row record of " + SheetName() + " has a wrong column range");
        for (size_t k = 0; k < count; ++k) {
            Cell m = DecodeRK(u32(p + 4 + 6 * k + 2));
            m.xf = u16(p + 4 + 6 * k);
            if (!Emit(row, uint32_t(first + k), m))
                return false;
        }
        return true;
    }
    case CODE_BOOLERR:
        if (n < 8)
            return Fail("damaged workbook: a boolean cell record of " + SheetName() + " is cut short");
        if (p[7] == 0) {
            c.kind = CELL_INTEGER;
            c.boolean = 1;
            c.v.integer = p[6] ? 1 : 0;
        } else {
            c.error = uint8_t(std::min<int>(p[6], 0xFE) + 1);
        }
        break;
    case CODE_FORMULA:
        // The result the program stored with the formula: a number, or after
        // 0xFFFF in its last two bytes a text (in the STRING record that
        // follows), a boolean, an error or an empty text.
        if (n < 20)
            return Fail("damaged workbook: a formula record of " + SheetName() + " is cut short");
        if (u16(p + 12) != 0xFFFF) {
            c.kind = CELL_DOUBLE;
            c.v.number = f64(p + 6);
            break;
        }
        switch (p[6]) {
        case 0:
            *pending = PendingText{true, u16(p), u16(p + 2), u16(p + 4)};
            return true;
        case 1:
            c.kind = CELL_INTEGER;
            c.boolean = 1;
            c.v.integer = p[8] ? 1 : 0;
            break;
        case 2:
            c.error = uint8_t(std::min<int>(p[8], 0xFE) + 1);
            break;
        case 3:
            c.kind = CELL_TEXT8;
            c.v.string = uint32_t(sst.strings.size());
            sst.strings.emplace_back();
            break;
        default:
            return Fail("damaged workbook: the formula in " + SheetName() + " at row " + std::to_string(u16(p) + 1) +
                        ", column " + std::to_string(u16(p + 2) + 1) + " has a result of unknown kind");
        }
        break;
    case CODE_STRING:
        if (!pending->waiting)
            return true;  // a text without its formula says nothing
        *pos -= 4 + n;    // read again with its continuations
        return ParseFormulaText(s, len, pos, pending);
    default:
        return true;  // BLANK, MULBLANK (empty cells), INDEX and the rest
    }
    c.xf = u16(p + 4);
    return Emit(u16(p), u16(p + 2), c);
}

bool Workbook::ParseSheet(const uint8_t* s, size_t len, size_t index, size_t* end)
{
    const BoundSheet& bs = sheets[index];
    Worksheet& ws = worksheets_[index];
    ws.index = uint16_t(index);
    ws.book_ = this;
    sheet_ = index;
    sheet_cols_ = 0;
    const std::string where = "sheet " + std::to_string(index + 1);
    size_t pos = bs.position;
    if (pos >= len || len - pos < 4 || u16(s + pos) != CODE_BOF)
        return Fail("damaged workbook: " + where + " does not begin with a BOF record");
    if (sink_ && !sink_->BeginSheet(index))
        return Fail(sink_->Error());

    int depth = 0;
    PendingText pending;
    while (true) {
        if (len - pos < 4)
            return Fail("damaged workbook: " + where + " ends without an EOF record");
        const uint16_t code = u16(s + pos);
        const size_t n = u16(s + pos + 2);
        if (len - pos - 4 < n)
            return Fail("damaged workbook: a record of " + where + " runs past the end of the stream");
        const uint8_t* p = s + pos + 4;
        pos += 4 + n;
        if (pending.waiting && code != CODE_STRING && code != CODE_SHRFMLA && code != CODE_ARRAY &&
            code != CODE_TABLE && code != CODE_CONTINUE)
            return Fail(where + ": the formula in row " + std::to_string(pending.row + 1) + ", column " +
                        std::to_string(pending.col + 1) + " has no stored result (the file was written without "
                        "calculating it; open and save it in a spreadsheet program)");
        switch (code) {
        case CODE_BOF:
            ++depth;  // the sheet's own BOF, or that of an embedded chart
            break;
        case CODE_EOF:
            if (--depth == 0) {
                ws.cols_ = sink_ ? 0 : sheet_cols_;
                *end = pos;
                return true;
            }
            break;
        case CODE_DIMENSIONS:
            if (depth == 1)
                ws.dimensions.Parse(p, n);
            break;
        case CODE_WINDOW2:
            if (depth == 1)
                ws.window2.Parse(p, n);
            break;
        case CODE_ROW:
            ws.row_records += depth == 1;
            break;
        default:
            if (depth == 1 && !ParseCellRecord(code, p, n, s, len, &pos, &pending))
                return false;
            break;
        }
    }
}

Worksheet* Workbook::GetWorksheet(const char* name)
{
    if (worksheets_.empty() || !name)
        return nullptr;
    const size_t len = std::strlen(name);
    for (size_t i = 0; i < sheets.size() && i < worksheets_.size(); ++i) {
        const BoundSheet& b = sheets[i];
        if (b.wide || b.name.size() != len)
            continue;
        bool eq = true;
        for (size_t k = 0; k < len && eq; ++k)
            eq = b.name[k] == char16_t(uint8_t(name[k]));
        if (eq)
            return &worksheets_[i];
    }
    return nullptr;
}

// ================================================================= text

std::string Latin1ToUtf8(const std::string& s) { return kv::latin1_to_utf8(s); }

std::string Utf16ToUtf8(const std::u16string& s) { return kv::utf16_to_utf8(s); }

}  // namespace YExcel
