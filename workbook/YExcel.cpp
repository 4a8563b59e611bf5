// YExcel: compound document and BIFF8 workbook reader.
#include "YExcel.h"
#include "FileOps.h"

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

// Where the header keeps the allocation tables and the directory.
struct CompoundDocument::Header {
    uint64_t file_sectors = 0;
    uint32_t n_fat = 0, first_dir = 0, first_minifat = 0, n_minifat = 0, difat_sector = 0, n_difat = 0;
};

namespace {

bool fail_with(std::string* error, const std::string& m)
{
    if (error)
        *error = m;
    return false;
}

uint64_t read_le64(kv::ByteReader& in)
{
    const uint64_t lo = in.le32();
    return lo | uint64_t(in.le32()) << 32;
}

double to_double(uint64_t bits)
{
    double d;
    std::memcpy(&d, &bits, 8);
    return d;
}

// One 128-byte directory entry.
void read_entry(kv::ByteReader e, bool v3, DirectoryEntry* d)
{
    kv::ByteReader name = e.sub(64);
    const size_t name_bytes = std::min<size_t>(e.le16(), 64);
    for (size_t k = 0; k + 1 < name_bytes; k += 2) {
        const char16_t c = char16_t(name.le16());
        if (c == 0)
            break;
        d->name.push_back(c);
    }
    d->type = e.u8();
    e.skip(1);  // colour in the red-black tree
    d->left = e.le32();
    d->right = e.le32();
    d->child = e.le32();
    e.seek(0x74);  // past the class id, state bits and time stamps
    d->start = e.le32();
    d->size = read_le64(e);
    if (v3)
        d->size &= 0xFFFFFFFFu;  // version 3 files may leave the high half undefined
}

}  // namespace

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

kv::ByteReader CompoundDocument::Bytes(size_t offset, size_t n) const
{
    return kv::ByteReader(data_, len_).view(offset, n);
}

bool CompoundDocument::Open(const uint8_t* data, size_t len, std::string* error)
{
    data_ = data;
    len_ = len;
    fat_.clear();
    minifat_.clear();
    ministream_.clear();
    entries_.clear();
    Header h;
    std::vector<uint32_t> fat_sectors;
    return ReadHeader(&h, error) && FatSectorList(h, &fat_sectors, error) && ReadFat(h, fat_sectors, error) &&
           ReadDirectory(h, error) && ReadMiniTables(h, error);
}

bool CompoundDocument::ReadHeader(Header* h, std::string* error)
{
    if (len_ < 512)
        return fail_with(error, "not a compound document: the file is shorter than its 512-byte header");
    kv::ByteReader in = Bytes(0, 512);
    if (in.le32() != 0xE011CFD0u || in.le32() != 0xE11AB1A1u)
        return fail_with(error, "not a compound document: wrong signature");
    in.seek(0x1E);
    sector_shift_ = in.le16();
    mini_shift_ = in.le16();
    if (sector_shift_ != 9 && sector_shift_ != 12)
        return fail_with(error, "compound document: unsupported sector size 2^" + std::to_string(sector_shift_));
    if (mini_shift_ != 6)
        return fail_with(error, "compound document: unsupported short sector size 2^" + std::to_string(mini_shift_));
    const size_t ssize = size_t(1) << sector_shift_;
    h->file_sectors = len_ <= ssize ? 0 : (uint64_t(len_) - ssize + ssize - 1) / ssize;
    in.seek(0x2C);
    h->n_fat = in.le32();
    h->first_dir = in.le32();
    in.skip(8);  // transaction signature and the short-stream cutoff
    h->first_minifat = in.le32();
    h->n_minifat = in.le32();
    h->difat_sector = in.le32();
    h->n_difat = in.le32();
    if (h->n_fat == 0 || h->n_fat > h->file_sectors)
        return fail_with(error, "compound document: the allocation table claims " + std::to_string(h->n_fat) +
                                    " sectors in a file of " + std::to_string(h->file_sectors));
    return true;
}

// Sector numbers of the allocation table: 109 in the header, the rest in the
// chain of DIFAT sectors (127 entries and a link each).
bool CompoundDocument::FatSectorList(const Header& h, std::vector<uint32_t>* out, std::string* error) const
{
    out->reserve(h.n_fat);
    kv::ByteReader head = Bytes(0x4C, 4 * 109);
    for (unsigned i = 0; i < 109 && out->size() < h.n_fat; ++i)
        out->push_back(head.le32());
    const size_t ssize = size_t(1) << sector_shift_;
    const size_t per_difat = ssize / 4 - 1;
    std::vector<bool> seen_difat;
    uint32_t difat_sector = h.difat_sector;
    for (uint32_t k = 0; out->size() < h.n_fat; ++k) {
        if (k >= h.n_difat || difat_sector >= h.file_sectors)
            return fail_with(error, "compound document: the allocation table's sector list is truncated");
        if (seen_difat.empty())
            seen_difat.resize(size_t(h.file_sectors));
        if (seen_difat[difat_sector])
            return fail_with(error, "compound document: cyclic sector chain in the allocation table's sector list");
        seen_difat[difat_sector] = true;
        size_t off, avail;
        if (!SectorPtr(difat_sector, &off, &avail) || avail < ssize)
            return fail_with(error, "compound document: the allocation table's sector list lies outside the file");
        kv::ByteReader sector = Bytes(off, ssize);
        for (size_t i = 0; i < per_difat && out->size() < h.n_fat; ++i)
            out->push_back(sector.le32());
        difat_sector = sector.view(4 * per_difat, 4).le32();
    }
    return true;
}

bool CompoundDocument::ReadFat(const Header& h, const std::vector<uint32_t>& fat_sectors, std::string* error)
{
    const size_t per_sector = (size_t(1) << sector_shift_) / 4;
    fat_.reserve(size_t(h.n_fat) * per_sector);
    for (uint32_t s : fat_sectors) {
        size_t off, avail;
        if (s >= h.file_sectors || !SectorPtr(s, &off, &avail))
            return fail_with(error, "compound document: an allocation table sector lies outside the file");
        // The table's last sector may be cut short by a writer that does not
        // pad the file; missing entries read as free.
        kv::ByteReader sector = Bytes(off, avail);
        for (size_t i = 0; i < per_sector; ++i)
            fat_.push_back(sector.remaining() >= 4 ? sector.le32() : kFree);
    }
    return true;
}

// The directory: a chain of unknown length, at most every sector of the file.
bool CompoundDocument::ReadDirectory(const Header& h, std::string* error)
{
    std::vector<uint8_t> dir;
    std::vector<bool> seen(fat_.size());
    for (uint32_t s = h.first_dir; s != kEndOfChain; s = fat_[s]) {
        size_t off, avail;
        if (s >= fat_.size() || !SectorPtr(s, &off, &avail))
            return fail_with(error, "compound document: the directory chain points outside the file");
        if (seen[s])
            return fail_with(error, "compound document: cyclic sector chain in the directory");
        seen[s] = true;
        const uint8_t* p = Bytes(off, avail).take(avail);
        dir.insert(dir.end(), p, p + avail);
    }
    const size_t n_entries = dir.size() / 128;
    if (n_entries == 0)
        return fail_with(error, "compound document: the directory is empty");
    entries_.resize(n_entries);
    kv::ByteReader in(dir);
    for (DirectoryEntry& d : entries_)
        read_entry(in.sub(128), sector_shift_ == 9, &d);
    if (entries_[0].type != 5)
        return fail_with(error, "compound document: the first directory entry is not the root");
    return true;
}

// The short-sector table and the root's short-sector stream.
bool CompoundDocument::ReadMiniTables(const Header& h, std::string* error)
{
    if (h.n_minifat > 0 && h.first_minifat != kEndOfChain) {
        std::vector<uint8_t> raw;
        if (!ReadChain(h.first_minifat, uint64_t(h.n_minifat) << sector_shift_, false, &raw, error))
            return false;
        minifat_.resize(raw.size() / 4);
        kv::ByteReader in(raw);
        for (uint32_t& v : minifat_)
            v = in.le32();
    }
    if (entries_[0].size > 0 && entries_[0].start != kEndOfChain)
        return ReadChain(entries_[0].start, entries_[0].size, false, &ministream_, error);
    return true;
}

bool CompoundDocument::ReadChain(uint32_t start, uint64_t size, bool small, std::vector<uint8_t>* out,
                                 std::string* error) const
{
    out->clear();
    const std::vector<uint32_t>& table = small ? minifat_ : fat_;
    const size_t bsize = small ? (size_t(1) << mini_shift_) : (size_t(1) << sector_shift_);
    const uint64_t limit = small ? ministream_.size() : len_;
    if (size > limit)
        return fail_with(error,
                         "compound document: a stream of " + std::to_string(size) + " bytes cannot fit in the file");
    out->reserve(size_t(size));
    std::vector<bool> seen(table.size());
    uint32_t s = start;
    while (out->size() < size) {
        if (s >= table.size())
            return fail_with(error, s == kEndOfChain
                                        ? "compound document: a stream's sector chain ends early"
                                        : "compound document: a stream's sector chain points outside the table");
        if (seen[s])
            return fail_with(error, "compound document: cyclic sector chain");
        seen[s] = true;
        const size_t want = size_t(std::min<uint64_t>(bsize, size - out->size()));
        const uint8_t* p = nullptr;
        if (small) {
            p = kv::ByteReader(ministream_).view(size_t(s) * bsize, want).take(want);
            if (!p)
                return fail_with(error, "compound document: a short sector lies outside the short-sector stream");
        } else {
            size_t off, avail;
            if (!SectorPtr(s, &off, &avail) || avail < want)
                return fail_with(error, "compound document: a sector lies outside the file (truncated file?)");
            p = Bytes(off, want).take(want);
        }
        out->insert(out->end(), p, p + want);
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
            *bytes = Bytes(off, size_t(e.size)).peek();
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

// A short or long BIFF8 text (character count then flags), read from one
// record part; false when it does not fit.
static bool read_text(kv::ByteReader in, size_t count, std::u16string* out, bool* wide_out)
{
    const uint8_t flags = in.u8();
    const bool wide = flags & 1;
    if (flags & 8)  // rich text runs
        in.skip(2);
    if (flags & 4)  // phonetic data
        in.skip(4);
    if (!in.ok() || in.remaining() < count * (wide ? 2 : 1))
        return false;
    out->clear();
    out->reserve(count);
    for (size_t i = 0; i < count; ++i)
        out->push_back(wide ? char16_t(in.le16()) : char16_t(in.u8()));
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
    in.seek(14);
    const size_t count = in.u8();
    return read_text(in, count, &name, nullptr);
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
    return read_text(in, count, &name, &wide);
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
    kv::ByteReader in;
    size_t part = 0;  // continuations crossed; pos() <= part_end() always holds

    PartCursor(const Record& rec, size_t start) : r(rec), in(rec.data)
    {
        in.seek(start);
        settle();
    }
    size_t pos() const { return in.pos(); }
    size_t part_end() const { return part < r.continues.size() ? r.continues[part] : r.data.size(); }
    void settle()
    {
        while (part < r.continues.size() && in.pos() > r.continues[part])
            ++part;
    }
    // The next n bytes regardless of part boundaries.
    kv::ByteReader bytes(size_t n)
    {
        kv::ByteReader b = in.sub(n);
        settle();
        return b;
    }
    bool skip(size_t n) { return bytes(n).ok(); }
    // Steps into the next continuation; false when there is none or it is empty.
    bool next_part()
    {
        if (part >= r.continues.size())
            return false;
        ++part;
        return in.pos() < part_end();
    }
};

enum class Chars { Ok, Truncated, Damaged };

// The `count` characters of one string, which may go on in the next
// continuations, each behind a flag byte of its own.
Chars read_chars(PartCursor& c, size_t count, bool wide, SST::String* s)
{
    bool any_wide = false;
    std::string n8;
    std::u16string w;
    size_t left = count;
    while (left > 0) {
        if (c.pos() == c.part_end()) {
            if (!c.next_part())
                return Chars::Truncated;
            wide = c.in.u8() & 1;
            continue;
        }
        const size_t avail = c.part_end() - c.pos();
        const size_t take = std::min(left, avail / (wide ? 2 : 1));
        if (take == 0)
            return Chars::Damaged;
        if (wide && !any_wide) {
            any_wide = true;
            w.reserve(count);
            for (char ch : n8)
                w.push_back(char16_t(uint8_t(ch)));
            n8.clear();
        }
        kv::ByteReader run = c.bytes(take * (wide ? 2 : 1));
        if (wide)
            for (size_t k = 0; k < take; ++k)
                w.push_back(char16_t(run.le16()));
        else if (any_wide)
            for (size_t k = 0; k < take; ++k)
                w.push_back(char16_t(run.u8()));
        else
            n8.append(reinterpret_cast<const char*>(run.take(take)), take);
        left -= take;
    }
    s->wide = any_wide;
    if (any_wide)
        s->wide16 = std::move(w);
    else
        s->narrow = std::move(n8);
    return Chars::Ok;
}
}  // namespace

bool SST::Parse(const Record& r, std::string* error)
{
    strings.clear();
    if (r.data.size() < 8) {
        *error = "the shared string table is too short";
        return false;
    }
    kv::ByteReader head(r.data);
    total = head.le32();
    unique = head.le32();
    // Each string takes at least 3 bytes; never trust the count for memory.
    strings.reserve(std::min<size_t>(unique, r.data.size() / 3));
    PartCursor c(r, 8);
    auto truncated = [&](uint32_t i) {
        *error = "the shared string table is truncated (string " + std::to_string(i + 1) + " of " +
                 std::to_string(unique) + ")";
        return false;
    };
    for (uint32_t i = 0; i < unique; ++i) {
        kv::ByteReader h = c.bytes(3);
        const size_t count = h.le16();
        const uint8_t flags = h.u8();
        size_t runs = 0, ext = 0;
        if (flags & 8)
            runs = c.bytes(2).le16();
        if (flags & 4)
            ext = c.bytes(4).le32();
        if (!c.in.ok())
            return truncated(i);
        String s;
        const Chars got = read_chars(c, count, flags & 1, &s);
        if (got == Chars::Damaged) {
            *error = "the shared string table is damaged in string " + std::to_string(i + 1);
            return false;
        }
        if (got == Chars::Truncated || !c.skip(4 * runs) || !c.skip(ext))
            return truncated(i);
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
    std::ifstream f(kv::file_path(path), std::ios::binary | std::ios::ate);
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
        case CODE_EOF: *end = pos; return true;
        case CODE_FILEPASS: return Fail("the workbook is password-protected (encrypted) and cannot be read");
        case CODE_FONT: {
            Font f;
            if (f.Parse(r))
                fonts.push_back(std::move(f));
            break;
        }
        case CODE_WINDOW1: window1.Parse(r); break;
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
            if (r.data.size() >= 8 && kv::ByteReader(r.data).view(4, 4).le32() > kMaxSharedStrings)
                return Fail("workbook too large: more than " + std::to_string(kMaxSharedStrings) + " shared strings");
            if (!sst.Parse(r, &error_)) {
                error_ = "damaged workbook: " + error_;
                return false;
            }
            have_sst = true;
            break;
        default: break;  // EXTSST and every other globals record
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
        return Fail("damaged workbook: sheet " + std::to_string(sheet_ + 1) + " has a cell at row " +
                    std::to_string(row + 1) + ", column " + std::to_string(col + 1) +
                    ", outside 65536 rows by 256 columns");
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

bool Workbook::ParseTextCell(kv::ByteReader rec, Cell* c)
{
    if (rec.size() < 9)
        return Fail("damaged workbook: a text cell record of " + SheetName() + " is cut short");
    rec.seek(6);
    const size_t count = rec.le16();
    SST::String str;
    std::u16string w;
    if (!read_text(rec, count, &w, &str.wide))
        return Fail("damaged workbook: a text cell record of " + SheetName() + " is cut short");
    if (str.wide)
        str.wide16 = std::move(w);
    else
        for (char16_t ch : w)
            str.narrow.push_back(char(ch));
    c->kind = str.wide ? CELL_TEXT16 : CELL_TEXT8;
    c->v.string = uint32_t(sst.strings.size());
    sst.strings.push_back(std::move(str));
    return true;
}

bool Workbook::ParseMulRk(kv::ByteReader rec)
{
    const size_t n = rec.size();
    if (n < 12 || (n - 6) % 6 != 0)
        return Fail("damaged workbook: a number row record of " + SheetName() + " has a wrong length");
    const uint32_t row = rec.le16(), first = rec.le16();
    const size_t count = (n - 6) / 6;
    const uint32_t last = rec.view(n - 2, 2).le16();
    if (last < first || last - first + 1 != count)
        return Fail("damaged workbook: a number row record of " + SheetName() + " has a wrong column range");
    for (size_t k = 0; k < count; ++k) {
        const uint16_t xf = rec.le16();
        Cell m = DecodeRK(rec.le32());
        m.xf = xf;
        if (!Emit(row, uint32_t(first + k), m))
            return false;
    }
    return true;
}

// The result the program stored with the formula: a number, or after 0xFFFF
// in its last two bytes a text (in the STRING record that follows), a
// boolean, an error or an empty text.
bool Workbook::ParseFormulaCell(kv::ByteReader rec, PendingText* pending)
{
    if (rec.size() < 20)
        return Fail("damaged workbook: a formula record of " + SheetName() + " is cut short");
    const uint16_t row = rec.le16(), col = rec.le16(), xf = rec.le16();
    const uint64_t result = read_le64(rec);
    const uint8_t value = uint8_t(result >> 16);
    Cell c;
    if (result >> 48 != 0xFFFF) {
        c.kind = CELL_DOUBLE;
        c.v.number = to_double(result);
    } else {
        switch (uint8_t(result)) {
        case 0: *pending = PendingText{true, row, col, xf}; return true;
        case 1:
            c.kind = CELL_INTEGER;
            c.boolean = 1;
            c.v.integer = value ? 1 : 0;
            break;
        case 2: c.error = uint8_t(std::min<int>(value, 0xFE) + 1); break;
        case 3:
            c.kind = CELL_TEXT8;
            c.v.string = uint32_t(sst.strings.size());
            sst.strings.emplace_back();
            break;
        default:
            return Fail("damaged workbook: the formula in " + SheetName() + " at row " + std::to_string(row + 1) +
                        ", column " + std::to_string(col + 1) + " has a result of unknown kind");
        }
    }
    c.xf = xf;
    return Emit(row, col, c);
}

bool Workbook::ParseCellRecord(uint16_t code, kv::ByteReader rec, const uint8_t* s, size_t len, size_t* pos,
                               PendingText* pending)
{
    const size_t n = rec.size();
    const uint16_t row = rec.le16(), col = rec.le16(), xf = rec.le16();  // zeros when shorter
    Cell c;
    switch (code) {
    case CODE_LABELSST: {
        if (n < 10)
            return Fail("damaged workbook: a text cell record of " + SheetName() + " is cut short");
        const uint32_t i = rec.le32();
        if (i >= sst.unique || i >= sst.strings.size())
            return Fail("damaged workbook: " + SheetName() + " refers to shared string " + std::to_string(i) + " of " +
                        std::to_string(sst.strings.size()));
        c.kind = sst.strings[i].wide ? CELL_TEXT16 : CELL_TEXT8;
        c.v.string = i;
        break;
    }
    case CODE_LABEL:
    case CODE_RSTRING:
        if (!ParseTextCell(rec, &c))
            return false;
        break;
    case CODE_NUMBER:
        if (n < 14)
            return Fail("damaged workbook: a number cell record of " + SheetName() + " is cut short");
        c.kind = CELL_DOUBLE;
        c.v.number = to_double(read_le64(rec));
        break;
    case CODE_RK:
        if (n < 10)
            return Fail("damaged workbook: a number cell record of " + SheetName() + " is cut short");
        c = DecodeRK(rec.le32());
        break;
    case CODE_MULRK: return ParseMulRk(rec.view(0, n));
    case CODE_BOOLERR: {
        if (n < 8)
            return Fail("damaged workbook: a boolean cell record of " + SheetName() + " is cut short");
        const uint8_t value = rec.u8();
        if (rec.u8() == 0) {
            c.kind = CELL_INTEGER;
            c.boolean = 1;
            c.v.integer = value ? 1 : 0;
        } else {
            c.error = uint8_t(std::min<int>(value, 0xFE) + 1);
        }
        break;
    }
    case CODE_FORMULA: return ParseFormulaCell(rec.view(0, n), pending);
    case CODE_STRING:
        if (!pending->waiting)
            return true;  // a text without its formula says nothing
        *pos -= 4 + n;  // read again with its continuations
        return ParseFormulaText(s, len, pos, pending);
    default: return true;  // BLANK, MULBLANK (empty cells), INDEX and the rest
    }
    c.xf = xf;
    return Emit(row, col, c);
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
    kv::ByteReader stream(s, len);
    size_t pos = bs.position;
    if (pos >= len || len - pos < 4 || stream.view(pos, 2).le16() != CODE_BOF)
        return Fail("damaged workbook: " + where + " does not begin with a BOF record");
    if (sink_ && !sink_->BeginSheet(index))
        return Fail(sink_->Error());

    int depth = 0;
    PendingText pending;
    while (true) {
        stream.seek(pos);
        if (stream.remaining() < 4)
            return Fail("damaged workbook: " + where + " ends without an EOF record");
        const uint16_t code = stream.le16();
        const size_t n = stream.le16();
        if (stream.remaining() < n)
            return Fail("damaged workbook: a record of " + where + " runs past the end of the stream");
        kv::ByteReader rec = stream.sub(n);
        pos = stream.pos();
        if (pending.waiting && code != CODE_STRING && code != CODE_SHRFMLA && code != CODE_ARRAY &&
            code != CODE_TABLE && code != CODE_CONTINUE)
            return Fail(where + ": the formula in row " + std::to_string(pending.row + 1) + ", column " +
                        std::to_string(pending.col + 1) +
                        " has no stored result (the file was written without "
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
                ws.dimensions.Parse(rec.peek(), n);
            break;
        case CODE_WINDOW2:
            if (depth == 1)
                ws.window2.Parse(rec.peek(), n);
            break;
        case CODE_ROW: ws.row_records += depth == 1; break;
        default:
            if (depth == 1 && !ParseCellRecord(code, rec, s, len, &pos, &pending))
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
