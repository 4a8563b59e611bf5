// A small host for testing the virtual STB: it opens the pseudo-terminal
// with open() and termios and writes the frames byte by byte, built here from
// the wire formats and zlib alone, so that the simulator and the project's
// own protocol code cannot be wrong the same way.
#pragma once

#include <zlib.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace harness {

using Bytes = std::vector<uint8_t>;

// The frames' CRC: the complement of the textbook CRC-32.
inline uint32_t frame_crc(const uint8_t* p, size_t n)
{
    return ~static_cast<uint32_t>(::crc32(0L, p, static_cast<uInt>(n))) & 0xFFFFFFFFu;
}
inline uint32_t frame_crc(const Bytes& b) { return frame_crc(b.data(), b.size()); }

inline void put32(Bytes& v, uint32_t x)
{
    for (int i = 0; i < 4; ++i)
        v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}
inline uint32_t get32(const uint8_t* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// "#", letter, length, payload, CRC of letter, length and payload.
inline Bytes command(uint8_t letter, const Bytes& payload = {})
{
    Bytes body = {letter, static_cast<uint8_t>(payload.size())};
    body.insert(body.end(), payload.begin(), payload.end());
    Bytes f = {'#'};
    f.insert(f.end(), body.begin(), body.end());
    put32(f, frame_crc(body));
    return f;
}

inline Bytes data_frame(uint16_t seq, const uint8_t* p, size_t n, bool bad_crc = false)
{
    Bytes f = {'#', '*', static_cast<uint8_t>(seq >> 8), static_cast<uint8_t>(seq)};
    f.insert(f.end(), p, p + n);
    put32(f, frame_crc(p, n) ^ (bad_crc ? 1u : 0u));
    return f;
}

inline Bytes gzip(const Bytes& in)
{
    z_stream zs{};
    deflateInit2(&zs, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    Bytes out(deflateBound(&zs, in.size()) + 64);
    zs.next_in = const_cast<Bytef*>(in.data());
    zs.avail_in = static_cast<uInt>(in.size());
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

// A stand-in program file: "CVSI", length, kind, CRC of the rest, version 1.
inline Bytes standin(uint32_t kind, const std::string& text)
{
    Bytes v = {'C', 'V', 'S', 'I'};
    put32(v, static_cast<uint32_t>(20 + text.size()));
    put32(v, kind);
    put32(v, frame_crc(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
    put32(v, 1);
    v.insert(v.end(), text.begin(), text.end());
    return v;
}

inline speed_t to_speed(int baud)
{
    switch (baud) {
    case 9600: return B9600;
    case 38400: return B38400;
    case 57600: return B57600;
    default: return B115200;
    }
}

class Host {
public:
    explicit Host(const std::string& path, int baud = 115200)
    {
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd >= 0)
            set_baud(baud);
    }
    ~Host()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    bool ok() const { return fd >= 0; }

    void set_baud(int baud)
    {
        termios t{};
        tcgetattr(fd, &t);
        cfmakeraw(&t);
        cfsetispeed(&t, to_speed(baud));
        cfsetospeed(&t, to_speed(baud));
        t.c_cflag |= CLOCAL | CREAD;
        tcsetattr(fd, TCSANOW, &t);
    }

    bool send(const Bytes& b) { return send(b.data(), b.size()); }
    bool send(const void* data, size_t n)
    {
        const uint8_t* p = static_cast<const uint8_t*>(data);
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (n > 0) {
            ssize_t w = ::write(fd, p, n);
            if (w > 0) {
                p += w;
                n -= static_cast<size_t>(w);
                continue;
            }
            if (std::chrono::steady_clock::now() > end)
                return false;
            pollfd pf{fd, POLLOUT, 0};
            ::poll(&pf, 1, 50);
        }
        return true;
    }

    // Up to n bytes, waiting at most timeout_ms in all.
    Bytes recv(size_t n, int timeout_ms)
    {
        Bytes out;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (out.size() < n) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
            if (left <= 0)
                break;
            pollfd pf{fd, POLLIN, 0};
            if (::poll(&pf, 1, static_cast<int>(left)) <= 0)
                continue;
            uint8_t buf[4096];
            ssize_t r = ::read(fd, buf, std::min(sizeof buf, n - out.size()));
            if (r > 0)
                out.insert(out.end(), buf, buf + r);
        }
        return out;
    }

    // Everything until the line has been quiet quiet_ms (at most max_ms).
    Bytes recv_quiet(int quiet_ms, int max_ms = 10000)
    {
        Bytes out;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(max_ms);
        while (std::chrono::steady_clock::now() < end) {
            Bytes b = recv(4096, quiet_ms);
            if (b.empty())
                break;
            out.insert(out.end(), b.begin(), b.end());
        }
        return out;
    }

    // Reads until byte `c` arrives; true if it did within the time.
    bool wait_for(uint8_t c, int timeout_ms)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < end) {
            Bytes b = recv(1, 50);
            if (!b.empty() && b[0] == c)
                return true;
        }
        return false;
    }

    // Boot ROM instructions.
    bool write_word(uint32_t addr, uint32_t v)
    {
        Bytes f = {'#', 0x01};
        put32(f, addr);
        put32(f, v);
        return send(f);
    }
    bool read_word(uint32_t addr, uint32_t* v, int timeout_ms = 1000)
    {
        Bytes f = {'#', 0x04};
        put32(f, addr);
        if (!send(f))
            return false;
        Bytes r = recv(4, timeout_ms);
        if (r.size() != 4)
            return false;
        *v = get32(r.data());
        return true;
    }

    int fd = -1;
};

}  // namespace harness
