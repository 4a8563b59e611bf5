// The local line: POSIX termios on a USB adapter, an on-board UART or a
// pseudo-terminal.
#include "SerialLine.h"

#include "SerialMonitorService.h"
#include "SerialPort.h"  // set_custom_baud, get_line_baud
#include "LineDeadline.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace kv {

namespace {

speed_t standard_speed(int baud)
{
    switch (baud) {
    case 110: return B110;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B0;
    }
}

class TtyLine : public SerialLine {
public:
    ~TtyLine() override;
    bool open(const std::string& path, std::string* error);
    bool configure(const serialport_config_tag& cfg, std::string* error) override;
    bool read(uint8_t* buf, size_t cap, size_t* got, int timeout_ms, const std::atomic<bool>* abort) override;
    bool read_some(uint8_t* buf, size_t cap, size_t* got, int timeout_ms) override;
    bool write(const uint8_t* buf, size_t len, size_t* sent, int timeout_ms) override;
    bool flush_input() override;
    std::string error() const override
    {
        std::lock_guard<std::mutex> l(m_errorMutex);
        return m_error;
    }

private:
    bool lost(const char* what);
    int m_fd = -1;
    bool m_pty = false;
    std::string m_path;
    mutable std::mutex m_errorMutex;  // a reader and a writer may fail at once
    std::string m_error;
};

}  // namespace

TtyLine::~TtyLine()
{
    if (m_fd >= 0) {
        (void)ioctl(m_fd, TIOCNXCL);
        ::close(m_fd);
    }
}

bool TtyLine::open(const std::string& path, std::string* error)
{
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (error)
            *error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    termios t{};
    if (tcgetattr(fd, &t) != 0) {
        if (error)
            *error = path + " is not a serial line: " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    // Two tools must never share one box: take the line exclusively while it
    // is open (released again on close).
    (void)ioctl(fd, TIOCEXCL);
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~CRTSCTS;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        if (error)
            *error = "cannot set raw mode on " + path + ": " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    tcflush(fd, TCIFLUSH);
    m_fd = fd;
    m_path = path;
    // Pseudo-terminals (the virtual STB) have major numbers 136 to 143.
    struct stat st {};
    m_pty = fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
    return true;
}

bool TtyLine::configure(const serialport_config_tag& cfg, std::string* error)
{
    if (m_fd < 0) {
        if (error)
            *error = "the port is not open";
        return false;
    }
    termios t{};
    if (tcgetattr(m_fd, &t) != 0) {
        if (error)
            *error = std::string("cannot read the line settings: ") + std::strerror(errno);
        return false;
    }
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    switch (cfg.data_bits) {
    case 5: t.c_cflag |= CS5; break;
    case 6: t.c_cflag |= CS6; break;
    case 7: t.c_cflag |= CS7; break;
    default: t.c_cflag |= CS8; break;
    }
    switch (cfg.parity) {
    case KV_ODDPARITY: t.c_cflag |= PARENB | PARODD; break;
    case KV_EVENPARITY: t.c_cflag |= PARENB; break;
    case KV_MARKPARITY: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case KV_SPACEPARITY: t.c_cflag |= PARENB | CMSPAR; break;
    default: break;
    }
    if (cfg.stop_bits == KV_TWOSTOPBITS)
        t.c_cflag |= CSTOPB;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    speed_t sp = standard_speed(cfg.baud_rate);
    if (sp != B0) {
        cfsetispeed(&t, sp);
        cfsetospeed(&t, sp);
    }
    if (tcsetattr(m_fd, TCSANOW, &t) != 0) {
        if (error)
            *error = std::string("the line refused the settings: ") + std::strerror(errno);
        return false;
    }
    if (sp == B0 && !set_custom_baud(m_fd, cfg.baud_rate)) {
        if (error)
            *error = "the line cannot run at " + std::to_string(cfg.baud_rate) + " baud";
        return false;
    }
    // Read back: a driver may accept a call and keep another setting.
    termios back{};
    if (tcgetattr(m_fd, &back) == 0) {
        tcflag_t want = t.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
        tcflag_t got = back.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
        if (want != got) {
            if (error)
                *error = "the line did not take the data bits, parity or stop bits asked for";
            return false;
        }
        int rate = get_line_baud(m_fd);
        if (rate != 0 && rate != cfg.baud_rate) {
            if (error)
                *error =
                    "the line runs at " + std::to_string(rate) + " baud instead of " + std::to_string(cfg.baud_rate);
            return false;
        }
    }
    return true;
}

bool TtyLine::read(uint8_t* buf, size_t cap, size_t* got, int timeout_ms, const std::atomic<bool>* abort)
{
    *got = 0;
    if (m_fd < 0)
        return false;
    auto deadline = deadline_in(timeout_ms);
    while (*got < cap) {
        if (abort && abort->load())
            return false;
        ssize_t n = ::read(m_fd, buf + *got, cap - *got);
        if (n > 0) {
            *got += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return lost("read");  // EIO: the other end of the line went away
        int left = ms_left(deadline);
        if (left <= 0)
            break;
        // Wake at least every 50 ms so a closing port is noticed.
        pollfd p{m_fd, POLLIN, 0};
        int r = ::poll(&p, 1, wait_slice(left, 50));
        if (r < 0 && errno != EINTR)
            return false;
        if (r > 0 && (p.revents & POLLERR)) {
            errno = EIO;  // the line failed: a device unplugged, the far end of a pseudo-terminal closed
            return lost("read");
        }
        if (r > 0 && (p.revents & POLLNVAL))
            return false;
        if (r > 0 && (p.revents & POLLHUP) && !(p.revents & POLLIN)) {
            // Nobody on the other end: nothing can come; wait out the time.
            std::this_thread::sleep_for(std::chrono::milliseconds(wait_slice(left, 50)));
        }
    }
    return true;
}

bool TtyLine::read_some(uint8_t* buf, size_t cap, size_t* got, int timeout_ms)
{
    *got = 0;
    if (m_fd < 0)
        return false;
    if (cap == 0)
        return true;
    pollfd p{m_fd, POLLIN, 0};
    int r = ::poll(&p, 1, timeout_ms < 0 ? 0 : timeout_ms);
    if (r < 0 && errno != EINTR)
        return false;
    if (r > 0 && (p.revents & POLLERR)) {
        errno = EIO;
        return lost("read");
    }
    if (r > 0 && (p.revents & POLLNVAL))
        return false;
    if (r <= 0 || !(p.revents & POLLIN)) {
        if (r > 0 && (p.revents & POLLHUP))  // nobody on the other end: do not spin
            std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms < 50 ? timeout_ms : 50));
        return true;
    }
    ssize_t n = ::read(m_fd, buf, cap);
    if (n > 0)
        *got = static_cast<size_t>(n);
    else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
        return lost("read");
    return true;
}

bool TtyLine::write(const uint8_t* buf, size_t len, size_t* sent, int timeout_ms)
{
    *sent = 0;
    if (m_fd < 0)
        return false;
    auto deadline = deadline_in(timeout_ms);
    while (*sent < len) {
        ssize_t n = ::write(m_fd, buf + *sent, len - *sent);
        if (n > 0) {
            *sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return lost("write");
        int left = ms_left(deadline);
        if (left <= 0)
            return false;
        pollfd p{m_fd, POLLOUT, 0};
        int r = ::poll(&p, 1, wait_slice(left, 50));
        if (r < 0 && errno != EINTR)
            return false;
        if (r > 0 && (p.revents & (POLLERR | POLLNVAL)))
            return false;
    }
    // On a real line, wait for the bytes to leave the driver's queue within
    // the time-out. A pseudo-terminal has no wire: its queue is the other
    // program's unread input, which is not ours to wait for.
    if (m_pty)
        return true;
    for (int spins = 0;; ++spins) {
        int queued = 0;
        if (ioctl(m_fd, TIOCOUTQ, &queued) != 0 || queued <= 0)
            break;
        if (ms_left(deadline) <= 0)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(spins < 20 ? 100 : 1000));
    }
    return true;
}

bool TtyLine::lost(const char* what)
{
    const std::string e = m_path + ": " + what + " failed: " + std::strerror(errno);
    std::lock_guard<std::mutex> l(m_errorMutex);
    m_error = e;
    return false;
}

bool TtyLine::flush_input()
{
    if (m_fd < 0)
        return false;
    return tcflush(m_fd, TCIFLUSH) == 0;
}

std::unique_ptr<SerialLine> open_tty_line(const std::string& path, std::string* error)
{
    auto line = std::make_unique<TtyLine>();
    if (!line->open(path, error))
        return nullptr;
    return line;
}

}  // namespace kv
