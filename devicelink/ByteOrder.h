// The one set of byte helpers of the tree: fixed-width numbers in little- and
// big-endian order, read from and written to byte buffers, a bounded reader
// whose error is sticky, and a growing writer, so that format parsers carry no
// offset arithmetic of their own.
//
//   ByteReader r(buf);                   // a view of bytes it does not own
//   ByteReader rec = r.sub(len);         // the next len bytes as a reader of their own
//   ByteReader at = r.view(off, len);    // len bytes at an absolute offset
//   uint16_t id = rec.le16(); ...
//   if (!rec.ok()) ...                   // a read past the end fails the reader
//
//   ByteWriter w;  w.le32(v); w.bytes(p, n); w.patch_le32(at, v);  w.data()
//
// The serial line and flash images are little-endian unless a format says
// otherwise; transport streams and a few panel records are big-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace kv {

inline uint16_t get_le16(const void* p)
{
    auto b = static_cast<const uint8_t*>(p);
    return static_cast<uint16_t>(b[0] | b[1] << 8);
}

inline uint32_t get_le32(const void* p)
{
    auto b = static_cast<const uint8_t*>(p);
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

inline uint16_t get_be16(const void* p)
{
    auto b = static_cast<const uint8_t*>(p);
    return static_cast<uint16_t>(b[0] << 8 | b[1]);
}

inline uint32_t get_be32(const void* p)
{
    auto b = static_cast<const uint8_t*>(p);
    return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | uint32_t(b[3]);
}

inline void put_le16(void* p, uint16_t v)
{
    auto b = static_cast<uint8_t*>(p);
    b[0] = static_cast<uint8_t>(v);
    b[1] = static_cast<uint8_t>(v >> 8);
}

inline void put_le32(void* p, uint32_t v)
{
    auto b = static_cast<uint8_t*>(p);
    for (int i = 0; i < 4; ++i)
        b[i] = static_cast<uint8_t>(v >> (8 * i));
}

inline void put_be16(void* p, uint16_t v)
{
    auto b = static_cast<uint8_t*>(p);
    b[0] = static_cast<uint8_t>(v >> 8);
    b[1] = static_cast<uint8_t>(v);
}

inline void put_be32(void* p, uint32_t v)
{
    auto b = static_cast<uint8_t*>(p);
    for (int i = 0; i < 4; ++i)
        b[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// Appending writers for building frames and files.
inline void append_le16(std::vector<uint8_t>& out, uint16_t v)
{
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

inline void append_le32(std::vector<uint8_t>& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

inline void append_be16(std::vector<uint8_t>& out, uint16_t v)
{
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

inline void append_be32(std::vector<uint8_t>& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (24 - 8 * i)));
}

// Reads numbers and byte runs from a buffer it does not own. A read past the
// end sets the error, returns zeros and leaves the position at the end; every
// later read fails too, so a parser checks ok() once after a group of reads.
class ByteReader {
public:
    ByteReader(const void* data, size_t size) : m_data(static_cast<const uint8_t*>(data)), m_size(size) {}
    explicit ByteReader(const std::vector<uint8_t>& v) : ByteReader(v.data(), v.size()) {}

    bool ok() const { return !m_error; }
    size_t pos() const { return m_pos; }
    size_t size() const { return m_size; }
    size_t remaining() const { return m_error ? 0 : m_size - m_pos; }

    // Moves to an absolute offset; beyond the end is an error.
    bool seek(size_t offset)
    {
        if (m_error || offset > m_size)
            return fail();
        m_pos = offset;
        return true;
    }
    bool skip(size_t n) { return take(n) != nullptr || (n == 0 && !m_error); }

    uint8_t u8()
    {
        auto p = take(1);
        return p ? p[0] : 0;
    }
    uint16_t le16() { return read(get_le16, 2); }
    uint32_t le32() { return read(get_le32, 4); }
    uint16_t be16() { return read(get_be16, 2); }
    uint32_t be32() { return read(get_be32, 4); }

    // Copies n bytes out; on error the destination is zero-filled.
    bool bytes(void* dst, size_t n)
    {
        auto p = take(n);
        if (!p) {
            std::memset(dst, 0, n);
            return false;
        }
        std::memcpy(dst, p, n);
        return true;
    }
    std::vector<uint8_t> bytes(size_t n)
    {
        auto p = take(n);
        return p ? std::vector<uint8_t>(p, p + n) : std::vector<uint8_t>{};
    }
    // The next n bytes as a reader of their own, advancing past them. Too few
    // bytes fail this reader and give a failed, empty one: reads from it
    // return zeros and never reach beyond what this reader holds.
    ByteReader sub(size_t n)
    {
        const uint8_t* p = m_error ? nullptr : m_data + m_pos;
        if (!skip(n))
            return failed();
        return ByteReader(p, n);
    }
    // The n bytes at an absolute offset as a reader, leaving this one as it
    // is; a range beyond the end gives a failed, empty reader.
    ByteReader view(size_t offset, size_t n) const
    {
        if (m_error || offset > m_size || n > m_size - offset)
            return failed();
        return ByteReader(m_data + offset, n);
    }
    // The rest, from the position to the end, as a reader; this one moves to
    // the end.
    ByteReader rest() { return sub(remaining()); }
    // The unread bytes (nullptr once failed), without moving.
    const uint8_t* peek() const { return m_error ? nullptr : m_data + m_pos; }

    // A view of the next n bytes (nullptr on error), advancing past them.
    const uint8_t* take(size_t n)
    {
        if (m_error || n > m_size - m_pos) {
            fail();
            return nullptr;
        }
        const uint8_t* p = m_data + m_pos;
        m_pos += n;
        return p;
    }

private:
    static ByteReader failed()
    {
        ByteReader r(nullptr, 0);
        r.m_error = true;
        return r;
    }
    template <class Fn>
    auto read(Fn fn, size_t n) -> decltype(fn(nullptr))
    {
        auto p = take(n);
        return p ? fn(p) : 0;
    }
    bool fail()
    {
        m_error = true;
        m_pos = m_size;
        return false;
    }

    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
    bool m_error = false;
};

// Builds a buffer: appends numbers and byte runs, and patches numbers at
// offsets already written (a length field filled in once the body is known).
// A patch beyond what is written is refused and fails the writer.
class ByteWriter {
public:
    ByteWriter() = default;
    explicit ByteWriter(size_t reserve) { m_out.reserve(reserve); }

    bool ok() const { return !m_error; }
    size_t size() const { return m_out.size(); }
    const std::vector<uint8_t>& data() const { return m_out; }
    // Hands the buffer over, leaving the writer empty.
    std::vector<uint8_t> take() { return std::move(m_out); }

    ByteWriter& u8(uint8_t v)
    {
        m_out.push_back(v);
        return *this;
    }
    ByteWriter& le16(uint16_t v) { return put(put_le16, v, 2); }
    ByteWriter& le32(uint32_t v) { return put(put_le32, v, 4); }
    ByteWriter& be16(uint16_t v) { return put(put_be16, v, 2); }
    ByteWriter& be32(uint32_t v) { return put(put_be32, v, 4); }
    ByteWriter& bytes(const void* p, size_t n)
    {
        auto b = static_cast<const uint8_t*>(p);
        if (n)
            m_out.insert(m_out.end(), b, b + n);
        return *this;
    }
    ByteWriter& bytes(const std::vector<uint8_t>& v) { return bytes(v.data(), v.size()); }
    // n copies of one byte (padding).
    ByteWriter& fill(size_t n, uint8_t v = 0)
    {
        m_out.insert(m_out.end(), n, v);
        return *this;
    }

    bool patch_le16(size_t at, uint16_t v) { return patch(put_le16, at, v, 2); }
    bool patch_le32(size_t at, uint32_t v) { return patch(put_le32, at, v, 4); }
    bool patch_be16(size_t at, uint16_t v) { return patch(put_be16, at, v, 2); }
    bool patch_be32(size_t at, uint32_t v) { return patch(put_be32, at, v, 4); }

private:
    template <class Fn, class T>
    ByteWriter& put(Fn fn, T v, size_t n)
    {
        m_out.resize(m_out.size() + n);
        fn(m_out.data() + m_out.size() - n, v);
        return *this;
    }
    template <class Fn, class T>
    bool patch(Fn fn, size_t at, T v, size_t n)
    {
        if (at > m_out.size() || n > m_out.size() - at) {
            m_error = true;
            return false;
        }
        fn(m_out.data() + at, v);
        return true;
    }

    std::vector<uint8_t> m_out;
    bool m_error = false;
};

}  // namespace kv
