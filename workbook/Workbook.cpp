#include "Workbook.h"

#include "FileOps.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace wb {

namespace {

// Memory for the rows' arenas: large pieces straight from the system in huge
// pages where the system offers them (a big sheet then costs a few hundred
// page faults instead of thousands), small ones from the heap.
class PageResource : public std::pmr::memory_resource {
    static constexpr size_t kLarge = size_t(1) << 20;
    static constexpr size_t kHuge = size_t(2) << 20;

    void* do_allocate(size_t bytes, size_t align) override
    {
        if (bytes < kLarge)
            return ::operator new(bytes, std::align_val_t(align));
        const size_t len = (bytes + kHuge - 1) & ~(kHuge - 1);
        void* p = kv::alloc_pages(len);
        if (!p)
            throw std::bad_alloc();
        return p;
    }
    void do_deallocate(void* p, size_t bytes, size_t align) override
    {
        if (bytes < kLarge)
            ::operator delete(p, std::align_val_t(align));
        else
            kv::free_pages(p, (bytes + kHuge - 1) & ~(kHuge - 1));
    }
    bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override { return this == &other; }
};

std::pmr::memory_resource* page_resource()
{
    static PageResource resource;
    return &resource;
}

}  // namespace

Sheet::Sheet()
    : arena_(std::make_shared<std::pmr::monotonic_buffer_resource>(size_t(64) << 10, page_resource()))
    , rows(arena_.get())
{}

Sheet::Sheet(const Sheet& other) : Sheet() { *this = other; }

// The rows stay in this sheet's own arena; only their cells are taken over.
Sheet& Sheet::operator=(const Sheet& other)
{
    if (this != &other) {
        name = other.name;
        texts = other.texts;
        rows = other.rows;
    }
    return *this;
}

Sheet& Sheet::operator=(Sheet&& other)
{
    if (this != &other) {
        name = std::move(other.name);
        texts = other.texts;
        rows = std::move(other.rows);  // copied into this arena when the arenas differ
    }
    return *this;
}

size_t Sheet::col_count() const
{
    size_t n = 0;
    for (const auto& r : rows)
        if (!r.empty())
            n = std::max(n, size_t(r.back().col) + 1);
    return n;
}

const Cell& Sheet::at(size_t row, size_t col) const
{
    static const Cell empty{};
    if (row >= rows.size())
        return empty;
    const auto& r = rows[row];
    // Rows without gaps hold column c at position c.
    if (col < r.size() && r[col].col == col)
        return r[col];
    auto it = std::lower_bound(r.begin(), r.end(), col, [](const Cell& c, size_t k) { return c.col < k; });
    return it != r.end() && it->col == col ? *it : empty;
}

Cell& Sheet::set(size_t row, size_t col)
{
    if (row >= rows.size())
        rows.resize(row + 1);
    auto& r = rows[row];
    const auto c = static_cast<uint16_t>(std::min<size_t>(col, 0xFFFF));
    // Rows of a list tend to be as long as the one before.
    if (r.capacity() == 0 && row > 0)
        r.reserve(rows[row - 1].size());
    if (r.empty() || r.back().col < c) {
        r.emplace_back().col = c;
        return r.back();
    }
    auto it = std::lower_bound(r.begin(), r.end(), c, [](const Cell& x, uint16_t k) { return x.col < k; });
    if (it == r.end() || it->col != c)
        (it = r.emplace(it))->col = c;
    return *it;
}

Cell& Sheet::set_text(size_t row, size_t col, std::string text)
{
    Cell& c = set(row, col);
    c.kind = CellKind::Text;
    c.set_text_view(keep(std::move(text)));
    return c;
}

std::string_view Sheet::keep(std::string text)
{
    if (!texts)
        texts = std::make_shared<TextStore>();
    return texts->emplace_back(std::move(text));
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

bool Budget::fail(const char* what, size_t cap)
{
    if (ok_ && error_)
        *error_ = std::string("workbook too large: more than ") + std::to_string(cap) + " " + what;
    ok_ = false;
    return false;
}

bool Budget::add_cell()
{
    if (ok_ && ++cells_ > Limits::kMaxCells)
        return fail("cells", Limits::kMaxCells);
    return ok_;
}

bool Budget::add_text(size_t bytes)
{
    text_ += bytes;
    if (ok_ && text_ > Limits::kMaxTextBytes)
        return fail("bytes of text", Limits::kMaxTextBytes);
    return ok_;
}

bool Budget::add_sheet()
{
    if (!ok_)
        return false;
    if (++sheets_ > Limits::kMaxSheets)
        return fail("sheets", Limits::kMaxSheets);
    return true;
}

std::string cell_name(size_t row, size_t col)
{
    std::string letters;
    for (size_t c = col + 1; c > 0; c = (c - 1) / 26)
        letters.insert(letters.begin(), char('A' + (c - 1) % 26));
    return letters + std::to_string(row + 1);
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

namespace {

// A regular file of bounded size, read whole into a buffer that is not
// zeroed first (the read fills it).
class WholeFile {
public:
    // Into a buffer of its own, or into *into when given.
    bool open(const std::string& path, size_t max_bytes, std::string* error, std::vector<uint8_t>* into = nullptr)
    {
        int fd = kv::open_for_reading(path);
        if (fd < 0)
            return fail(error, "cannot open " + path + ": " + std::strerror(errno));
        struct stat st {};
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(fd);
            return fail(error, path + " is not a regular file");
        }
        if (uint64_t(st.st_size) > max_bytes) {
            ::close(fd);
            return fail(error, path + " is too large (" + std::to_string(st.st_size) + " bytes, at most " +
                                   std::to_string(max_bytes) + ")");
        }
        len_ = size_t(st.st_size);
        uint8_t* buf = nullptr;
        if (into) {
            into->resize(len_);
            buf = into->data();
        } else {
            data_.reset(new (std::nothrow) uint8_t[len_ ? len_ : 1]);
            buf = data_.get();
        }
        size_t got = 0;
        while ((buf || len_ == 0) && got < len_) {
            ssize_t n = ::read(fd, buf + got, len_ - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            got += size_t(n);
        }
        ::close(fd);
        if (!buf && len_ > 0)
            return fail(error, path + " is too large to be read (out of memory)");
        if (got != len_)
            return fail(error, "cannot read " + path);
        return true;
    }
    const uint8_t* data() const { return data_.get(); }
    size_t size() const { return len_; }

private:
    static bool fail(std::string* error, const std::string& why)
    {
        if (error)
            *error = why;
        return false;
    }
    std::unique_ptr<uint8_t[]> data_;
    size_t len_ = 0;
};

}  // namespace

bool read_regular_file(const std::string& path, size_t max_bytes, std::vector<uint8_t>* out, std::string* error)
{
    WholeFile file;
    return file.open(path, max_bytes, error, out);
}

bool read_workbook(const std::string& path, Workbook* out, std::string* error)
{
    WholeFile file;
    if (!file.open(path, Limits::kMaxFileBytes, error))
        return false;
    return read_workbook_memory(file.data(), file.size(), out, error);
}

}  // namespace wb
