// The box's end of the line: reading and writing with pacing at the line
// rate, the rate check that turns bytes sent at another rate into noise, and
// the interruptions (reset, stop, auto-reset).
#include "SimInternal.h"

#include "SerialPort.h"  // get_line_baud

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace stbsim {

namespace {

int speed_to_int(speed_t s)
{
    switch (s) {
    case B50: return 50;
    case B75: return 75;
    case B110: return 110;
    case B134: return 134;
    case B150: return 150;
    case B200: return 200;
    case B300: return 300;
    case B600: return 600;
    case B1200: return 1200;
    case B1800: return 1800;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    case B460800: return 460800;
    case B500000: return 500000;
    case B576000: return 576000;
    case B921600: return 921600;
    case B1000000: return 1000000;
    default: return 0;
    }
}

// A byte sent at the wrong rate arrives as something else entirely; the
// stand-in never looks like a character the protocols use.
uint8_t garble(uint8_t b) { return static_cast<uint8_t>(0x80 | (~b & 0x7F)); }

void add_noise(Counters& c, const Counters& t)
{
    c.noise_dropped += t.noise_dropped;
    c.noise_flipped += t.noise_flipped;
    c.noise_doubled += t.noise_doubled;
    c.noise_bursts += t.noise_bursts;
}

speed_t int_to_speed(int baud)
{
    switch (baud) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 230400: return B230400;
    default: return B115200;
    }
}

}  // namespace

const char* prog_name(Prog p)
{
    switch (p) {
    case Prog::Off: return "off";
    case Prog::Idle: return "idle";
    case Prog::BootRom: return "boot-rom";
    case Prog::AlderInit: return "alder-init";
    case Prog::ClientLoader: return "client-loader";
    case Prog::CacheCal: return "cache-calibration";
    case Prog::CedarInit: return "cedar-init";
    case Prog::UpgClient: return "upgrade-client";
    case Prog::Shell: return "shell";
    case Prog::Crashed: return "crashed";
    case Prog::Barcode: return "barcode-client";
    case Prog::Panel: return "panel-program";
    case Prog::Loaded: return "loaded";
    }
    return "?";
}

Box::Box(Options o) : opt(std::move(o)), mem(opt), noise(opt.noise)
{
    speed = opt.speed < 0 ? 0 : opt.speed;
    reply_delay = opt.reply_delay_ms < 0 ? 0 : opt.reply_delay_ms;
}

void Box::set_prog(Prog p)
{
    if (static_cast<int>(p) != prog.load())
        trace("program: %s", prog_name(p));
    prog = static_cast<int>(p);
}

void Box::set_rate(int baud)
{
    if (rate.load() != baud)
        trace("line rate %d Bd", baud);
    rate = baud;
    if (!is_pty && master >= 0) {
        termios t{};
        if (tcgetattr(master, &t) == 0) {
            cfsetispeed(&t, int_to_speed(baud));
            cfsetospeed(&t, int_to_speed(baud));
            tcsetattr(master, TCSANOW, &t);
        }
    }
}

int Box::host_rate() const
{
    if (!is_pty)
        return rate.load();
    if (int r = kv::get_line_baud(master); r > 0)
        return r;
    termios t{};
    if (tcgetattr(master, &t) != 0)
        return rate.load();
    return speed_to_int(cfgetospeed(&t));
}

bool Box::rates_differ() const
{
    // A UART copes with a few per cent between the two ends.
    int h = host_rate(), r = rate.load();
    return h <= 0 || (h > r ? h - r : r - h) * 100 > r * 3;
}

double Box::byte_seconds() const
{
    double s = speed.load();
    int r = rate.load();
    if (s <= 0 || r <= 0)
        return 0;
    return 10.0 / (r * s);
}

void Box::check_interrupts()
{
    if (stop_req.load())
        throw Interrupt{true};
    if (reset_req.exchange(false))
        throw Interrupt{false};
}

void Box::wait_until(Clock::time_point tp)
{
    for (;;) {
        check_interrupts();
        auto now = Clock::now();
        if (now >= tp)
            return;
        auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(tp - now);
        if (left > std::chrono::milliseconds(200))
            left = std::chrono::milliseconds(200);
        timespec ts{static_cast<time_t>(left.count() / 1000000000), static_cast<long>(left.count() % 1000000000)};
        pollfd p{wake, POLLIN, 0};
        if (ppoll(&p, 1, &ts, nullptr) > 0 && (p.revents & POLLIN)) {
            uint64_t x;
            (void)!::read(wake, &x, sizeof x);
        }
    }
}

void Box::pause(int ms)
{
    if (ms > 0)
        wait_until(Clock::now() + std::chrono::milliseconds(ms));
}

void Box::fill(Clock::time_point deadline)
{
    auto now = Clock::now();
    Clock::time_point until = deadline;
    if (opt.auto_reset_ms > 0) {
        int q = in_session ? std::max(opt.session_quiet_ms, opt.auto_reset_ms) : opt.auto_reset_ms;
        auto quiet = activity + std::chrono::milliseconds(q);
        if (now >= quiet) {
            trace("auto-reset: the line has been quiet %d ms", q);
            activity = now;
            throw Interrupt{false};
        }
        until = std::min(until, quiet);
    }
    long long wait_ms = 1000;
    if (until != Clock::time_point::max()) {
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(until - now).count();
        wait_ms = std::clamp<long long>((left + 999) / 1000, 0, 1000);
    }
    // Input that is already waiting was on the wire while the box took the
    // bytes before it: it follows them back to back.
    pollfd p[2] = {{master, POLLIN, 0}, {wake, POLLIN, 0}};
    int r = ::poll(p, 2, 0);
    const bool waiting = r > 0 && (p[0].revents & POLLIN);
    if (r == 0)
        r = ::poll(p, 2, static_cast<int>(wait_ms));
    if (r <= 0)
        return;
    if (p[1].revents & POLLIN) {
        uint64_t x;
        (void)!::read(wake, &x, sizeof x);
        return;
    }
    if (!(p[0].revents & POLLIN)) {
        if (p[0].revents & (POLLHUP | POLLERR | POLLNVAL))
            pause(20);  // the device went away; do not spin
        return;
    }
    double bs = byte_seconds();
    size_t cap = 4096;
    if (bs > 0)
        cap = std::max<size_t>(1, static_cast<size_t>(0.01 / bs));  // about 10 ms of line time
    uint8_t buf[4096];
    ssize_t n = ::read(master, buf, std::min(cap, sizeof buf));
    if (n <= 0) {
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            pause(20);
        return;
    }
    const bool wrong_rate = rates_differ();
    if (bs > 0) {
        // The box's own lateness in taking a chunk is not line time: input
        // that was waiting follows the chunk before it back to back, unless
        // the box has spoken since (then it may be the answer, sent later).
        const auto now = Clock::now();
        const bool back_to_back = waiting && out_clock <= in_clock && now - in_clock < std::chrono::milliseconds(50);
        in_clock = (back_to_back ? in_clock : std::max(in_clock, now)) +
                   std::chrono::nanoseconds(static_cast<long long>(n * bs * 1e9));
        wait_until(in_clock);
    }
    if (wrong_rate) {
        inq.insert(inq.end(), size_t(n), kNoise);
    } else if (noise.on()) {
        Counters tally;
        for (uint8_t b : noise.pass(buf, size_t(n), LineDirection::ToBox, tally))
            inq.push_back(b);
        count([&](Counters& c) { add_noise(c, tally); });
    } else {
        inq.insert(inq.end(), buf, buf + n);
    }
    activity = Clock::now();
    count([&](Counters& c) {
        c.bytes_in += n;
        if (wrong_rate)
            c.noise_bytes += n;
    });
    if (opt.trace) {
        if (wrong_rate)
            trace("rx %zd bytes at %d Bd while the box talks at %d Bd: line noise", n, host_rate(), rate.load());
        else
            trace_bytes("rx", buf, static_cast<size_t>(n));
    }
}

int Box::get(int timeout_ms)
{
    Clock::time_point deadline =
        timeout_ms < 0 ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        check_interrupts();
        if (!inq.empty()) {
            int v = inq.front();
            inq.pop_front();
            return v;
        }
        if (Clock::now() >= deadline)
            return kTimeout;
        // The firmware prints while it waits for input.
        fill(std::min(deadline, firmware_console(*this)));
    }
}

int Box::get_clean(int timeout_ms)
{
    Clock::time_point deadline =
        timeout_ms < 0 ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int left = -1;
        if (deadline != Clock::time_point::max()) {
            auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            left = ms < 0 ? 0 : static_cast<int>(ms);
        }
        int c = get(left);
        if (c != kNoise)
            return c;
    }
}

bool Box::get_n(uint8_t* out, size_t n, int gap_ms)
{
    for (size_t i = 0; i < n; ++i) {
        int c = get(gap_ms);
        if (c < 0)
            return false;
        out[i] = static_cast<uint8_t>(c);
    }
    return true;
}

void Box::put(const void* data, size_t n)
{
    check_interrupts();
    if (n == 0)
        return;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    int hr = host_rate();
    const bool wrong_rate = rates_differ();
    if (opt.trace) {
        if (wrong_rate)
            trace("tx %zu bytes at %d Bd while the host listens at %d Bd: the host gets noise", n, rate.load(), hr);
        trace_bytes("tx", p, n);
    }
    std::vector<uint8_t> wire(p, p + n);
    if (wrong_rate)
        for (auto& b : wire)
            b = garble(b);
    if (noise.on()) {
        Counters tally;
        wire = noise.pass(wire.data(), wire.size(), LineDirection::ToHost, tally);
        count([&](Counters& c) { add_noise(c, tally); });
    }
    double bs = byte_seconds();
    size_t chunk = bs > 0 ? std::max<size_t>(1, static_cast<size_t>(0.01 / bs)) : wire.size();
    size_t dropped = 0;
    // The bytes of one put leave back to back: the clock starts once.
    out_clock = std::max(out_clock, Clock::now());
    for (size_t off = 0; off < wire.size();) {
        size_t k = std::min(chunk, wire.size() - off);
        if (bs > 0) {
            out_clock += std::chrono::nanoseconds(static_cast<long long>(k * bs * 1e9));
            wait_until(out_clock);
        }
        size_t done = 0;
        auto give_up = Clock::now() + std::chrono::milliseconds(1000);
        while (done < k) {
            ssize_t w = ::write(master, wire.data() + off + done, k - done);
            if (w > 0) {
                done += static_cast<size_t>(w);
                continue;
            }
            if (w < 0 && errno == EINTR)
                continue;
            if (w < 0 && errno != EAGAIN) {
                dropped += k - done;
                break;
            }
            // Nobody drains the host's side: a real line would lose these bytes.
            if (Clock::now() >= give_up) {
                dropped += k - done;
                break;
            }
            check_interrupts();
            pollfd pf[2] = {{master, POLLOUT, 0}, {wake, POLLIN, 0}};
            if (::poll(pf, 2, 50) > 0 && (pf[1].revents & POLLIN)) {
                uint64_t x;
                (void)!::read(wake, &x, sizeof x);
            }
        }
        off += k;
    }
    if (dropped)
        trace("the host is not reading: %zu bytes lost", dropped);
    activity = Clock::now();
    count([&](Counters& c) { c.bytes_out += n; });
}

void Box::reply(const void* data, size_t n)
{
    pause(reply_delay.load());
    put(data, n);
}

void Box::reply(std::initializer_list<uint8_t> bytes)
{
    std::vector<uint8_t> v(bytes);
    reply(v.data(), v.size());
}

void Box::stall(int ms)
{
    trace("stalled silent for %d ms", ms);
    size_t lost = inq.size();
    inq.clear();
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        check_interrupts();
        auto now = Clock::now();
        if (now >= end)
            break;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count();
        pollfd p[2] = {{master, POLLIN, 0}, {wake, POLLIN, 0}};
        if (::poll(p, 2, static_cast<int>(std::min<long long>(left + 1, 200))) <= 0)
            continue;
        if (p[1].revents & POLLIN) {
            uint64_t x;
            (void)!::read(wake, &x, sizeof x);
        }
        if (p[0].revents & POLLIN) {
            uint8_t buf[4096];
            ssize_t n = ::read(master, buf, sizeof buf);
            if (n > 0)
                lost += static_cast<size_t>(n);
        }
    }
    activity = Clock::now();
    if (lost)
        trace("lost %zu bytes while stalled", lost);
}

void Box::drain_quiet(int quiet_ms, int limit_ms)
{
    size_t lost = inq.size();
    inq.clear();
    auto limit = Clock::now() + std::chrono::milliseconds(limit_ms);
    for (;;) {
        int c = get(quiet_ms);
        if (c == kTimeout || Clock::now() >= limit)
            break;
        ++lost;
    }
    if (lost)
        trace("refused %zu bytes as line noise", lost);
}

void Box::trace(const char* fmt, ...)
{
    if (!opt.trace)
        return;
    char msg[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    double t = std::chrono::duration<double>(Clock::now() - t0).count();
    char line[600];
    std::snprintf(line, sizeof line, "[%9.3f] %s", t, msg);
    if (opt.trace_sink)
        opt.trace_sink(line);
    else
        std::fprintf(stderr, "%s\n", line);
}

void Box::trace_bytes(const char* what, const uint8_t* p, size_t n)
{
    if (!opt.trace)
        return;
    std::string s;
    size_t show = std::min<size_t>(n, 48);
    char h[4];
    for (size_t i = 0; i < show; ++i) {
        std::snprintf(h, sizeof h, "%02x ", p[i]);
        s += h;
    }
    if (show < n)
        s += "... (" + std::to_string(n) + " bytes)";
    trace("%s %s", what, s.c_str());
}

}  // namespace stbsim
