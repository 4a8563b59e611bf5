// stbsim: the virtual STB as a program.
#include "Announcement.h"
#include "KvLogRecord.h"
#include "StbSim.h"
#include "VirtualPorts.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

bool parse_size(const std::string& s, uint32_t* out)
{
    if (s.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(s.c_str(), &end, 0);
    if (errno || end == s.c_str() || s[0] == '-')
        return false;
    std::string suf(end);
    if (suf == "K" || suf == "k" || suf == "KiB")
        v <<= 10;
    else if (suf == "M" || suf == "m" || suf == "MiB")
        v <<= 20;
    else if (!suf.empty())
        return false;
    if (v == 0 || v > (256ull << 20))
        return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

// Answers one control line; sets *quit for "quit".
std::string control(stbsim::Simulator& box, const std::string& raw, bool* quit)
{
    std::string line = raw;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    if (line == "reset") {
        box.reset();
        return "ok: reset\n";
    }
    if (line == "status")
        return box.status() + "\n" + (box.fpga_status().empty() ? "" : box.fpga_status() + "\n");
    if (line == "quit" || line == "exit") {
        *quit = true;
        return "ok: quit\n";
    }
    if (line.rfind("fault ", 0) == 0) {
        std::string err;
        if (box.add_fault(line.substr(6), &err))
            return "ok: fault armed\n";
        return "error: " + err + "\n";
    }
    if (line == "clear-faults") {
        box.clear_faults();
        return "ok: faults cleared\n";
    }
    if (std::string panel = stbsim::panel_control(box, line); !panel.empty())
        return panel;
    if (line.rfind("reject-key ", 0) == 0 || line.rfind("accept-key ", 0) == 0) {
        char* end = nullptr;
        long v = std::strtol(line.c_str() + 11, &end, 0);
        if (end == line.c_str() + 11 || *end || v < INT32_MIN || v > INT32_MAX)
            return "error: " + line.substr(0, 10) + " takes a key value\n";
        box.reject_key(static_cast<int32_t>(v), line[0] == 'r');
        return "ok: " + line + "\n";
    }
    if (line == "clear-keys") {
        box.clear_keys();
        return "ok: keys cleared\n";
    }
    if (line.empty())
        return "";
    return "error: commands are reset, status, fault SPEC, clear-faults, reject-key V, accept-key V, clear-keys, "
           "press-key USER KEY, panel-fault SPEC, "
           "quit\n";
}

// What the command line gives beyond the box's options.
struct Args {
    stbsim::Options o;
    std::string flash_size, blocks, link, control_path, write_dir, dma = "0", trace_file;
    std::vector<std::string> windows;
    bool no_clock = false, no_dll = false, no_gate = false;
    int announce = o.announce_ms;
    std::string platform = "0", fpga_windows, sync = "R", echo_pieces, panel_keys, noise;
};

std::string help_footer()
{
    return "The port is also named in stbsim-<pid>.port in $XDG_RUNTIME_DIR/corvane (or /tmp/corvane-<uid>),\n"
           "where the workbench's connection tab finds it.\n\n"
           "Control: type reset, status, fault SPEC, clear-faults, reject-key V, accept-key V, clear-keys, press-key\n"
           "USER KEY, panel-fault SPEC or quit on standard input, or send the same lines to the --control socket.\n"
           "The boot ROM announces itself with its sync byte ('R', 0x52) after each reset, every --announce ms until\n"
           "the host talks.\n\n" +
           stbsim::fault_help() +
           "\nFiles: --write-stb-files DIR writes stand-ins for the STB-side files (upgclient*.bin, boot_init.img,\n"
           "btinit_ddr*_cedar.img, ddr*_cache_cal.img, shell.img, SerialN_client_birch_common.bin, fir.bin,\n"
           "fir_alder.bin, fir_dg.bin, chip_ddrconf_dogwood_*.txt, the FPGA board's ddrconf.txt). Each program\n"
           "stand-in starts with a 20-byte header: \"CVSI\", total length, kind, CRC-32 of the rest (frame CRC:\n"
           "reflected 0xEDB88320, preset 0xFFFFFFFF, no final complement), version 1; all little-endian. The box\n"
           "refuses a file sent whole without it.\n\n"
           "Remote control: while the firmware runs (after power-on, or when a program hands back) the box takes\n"
           "keys as 11-byte frames '#' 'K' 0x04, value (LE32), CRC-32 of 'K', length and value (LE32), and answers\n"
           "'O' 'K', 'E' 0x01 (bad check) or 'E' 0x02 (key refused). status lists them as keys=V1,V2,...\n\n"
           "Panel program (fir.bin, fir_alder.bin, fir_dg.bin): press-key USER KEY on the control input reports a\n"
           "key while the host learns keys; status adds \"panel record=LEN:CRC config=LEN:CRC\" (zlib CRC-32).\n" +
           stbsim::panel_fault_help();
}

// The boot ROM, its memory and the line.
void add_box_options(CLI::App& app, Args& a)
{
    app.add_option("--platform", a.platform,
                   "project type 0..7 (boot ROM behaviour, boot init, client header), or fpga: the FPGA prototype "
                   "board (boot ROM of type 0, SDRAM lanes stepped through 0xBFD70180)")
        ->check(CLI::IsMember({"0", "1", "2", "3", "4", "5", "6", "7", "fpga"}));
    app.add_option("--fpga-windows", a.fpga_windows,
                   "with --platform fpga: C0A-C0B:D0A-D0B,C1A-C1B:D1A-D1B, the clock (0-79) and DQS (0-63) delays "
                   "over which lanes 0 and 1 read back, inclusive; none for a lane that never passes (default "
                   "20-45:10-30,30-60:25-50)");
    app.add_flag("--fpga-strict-bus", a.o.fpga_strict_bus,
                 "with --platform fpga: a read outside the board's DDR and its 0xBFD7xxxx registers hangs the board");
    app.add_option("--download-to", a.o.download_path,
                   "boot-ROM download mode: keep what the host streams to the boot ROM and write it to FILE as it "
                   "arrives (the boot ROM then takes no word instructions)");
    app.add_option("--flash", a.o.flash_path,
                   "flash file (created at --flash-size, filled with 0xFF, kept between runs)");
    app.add_option("--flash-size", a.flash_size,
                   "flash size, e.g. 8M, 512K or 0x100000 (default 8M or the file's size)");
    app.add_option("--blocks", a.blocks,
                   "block list for slave info: ID:OFFSET:SIZE[:NAME] separated by commas, or @FILE with one per line");
    app.add_option("--device", a.o.device, "play the STB on this serial device instead of a pseudo-terminal");
    app.add_option("--link", a.link, "make a symbolic link at PATH to the pseudo-terminal");
    app.add_option("--speed", a.o.speed, "line pacing: 1 real time, 2 twice as fast, 0 unpaced (default 0)")
        ->check(CLI::Range(0.0, 1000.0));
    app.add_option("--reply-delay", a.o.reply_delay_ms, "STB-side processing delay before each reply, ms")
        ->check(CLI::Range(0, 60000));
    app.add_option("--auto-reset", a.o.auto_reset_ms,
                   "reset the box when the line has been quiet this many ms outside a session (0: off)")
        ->check(CLI::Range(0, 3600000));
    app.add_option("--session-quiet", a.o.session_quiet_ms,
                   "with --auto-reset: quiet inside a session that counts as abandoned, ms (default 20000)")
        ->check(CLI::Range(1, 3600000));
    app.add_option("--announce", a.announce, "period of the sync byte 'R' after a reset, ms (default 500)")
        ->check(CLI::Range(1, 60000));
    app.add_option("--sync-byte", a.sync,
                   "the boot ROM's announcement: a character or a number such as 0x52 (default R)");
    app.add_option("--announce-for", a.o.announce_limit_ms,
                   "with no host talking after a reset for this many ms, boot the firmware and fall quiet "
                   "(default 0: announce until the host talks)")
        ->check(CLI::Range(0, 3600000));
    app.add_option("--strap", a.o.strap, "value of the strap register 0xBFEDC024");
    app.add_option("--dma-delay", a.dma, "ms until the DMA busy bit clears after a start, or 'never'");
    app.add_flag("--no-clock-cal", a.no_clock, "the clock calibration status 0xBFD70044 never reports done");
    app.add_flag("--no-dll-cal", a.no_dll, "the DLL calibration status 0xBFD7004C never reports done");
    app.add_option("--clock-value", a.o.clock_value, "clock value in bits 16-21 of 0xBFD70044 (default 0x12)");
    app.add_option("--dll-value", a.o.dll_value, "DLL value in bits 16-21 of 0xBFD7004C (default 5)");
    app.add_option("--ddr-window", a.windows,
                   "RANGE:START:END:READADD, the clock delays over which DDR reads back with latch combination RANGE "
                   "(2*rising+negative); START -1 for none. Default 0:3:8:3 1:5:12:4 2:10:25:4 3:-1:-1:4");
    app.add_flag("--no-ddr-gate", a.no_gate, "let a client run even when it was loaded into DDR that does not work");
    app.add_option("--alder-ready", a.o.alder_ready_delay_ms,
                   "Alder boot init: ms from the image's end to 'R' and \"bootinit_ready\" (default 2500)");
}

// The programs the host loads, faults, the panel and the trace.
void add_program_options(CLI::App& app, Args& a)
{
    app.add_option("--burn-ms", a.o.burn_ms, "duration of a burn, ms (default 1000)")->check(CLI::Range(0, 600000));
    app.add_option("--burn-last-percent", a.o.burn_last_percent,
                   "last burn percentage the client reports before 'F' (-1: none, a bare 'F'; default 100)")
        ->check(CLI::Range(-1, 100));
    app.add_option("--burn-tail", a.o.burn_tail, "console text the client prints right after the burn's 'F'");
    app.add_option("--client-ready", a.o.client_ready_ms,
                   "ms an upgrade client needs after its load before it listens; what comes sooner is lost "
                   "(default 1000)")
        ->check(CLI::Range(0, 60000));
    app.add_option("--burn-ready", a.o.burn_ready_ms,
                   "ms the client checks a transferred image; a burn command sooner is refused ('E', 0x0E) "
                   "(default 2000)")
        ->check(CLI::Range(0, 60000));
    app.add_option("--slave-info-pause", a.o.slave_info_pause_ms,
                   "ms the upgrade client pauses between the slave info's length and the record (default: 1500 on "
                   "Dogwood, 0 elsewhere)")
        ->check(CLI::Range(-1, 60000));
    app.add_option("--fault", a.o.faults, "inject a fault (repeatable; grammar below)");
    app.add_option("--noise", a.noise,
                   "random line noise both ways, p=P[,seed=S][,burst=B]: each byte dropped, flipped in one bit or "
                   "doubled with probability P; a burst of 1 to 32 random bytes with probability B per byte "
                   "(default P/10); the seed repeats a run");
    app.add_option("--stampa", a.o.stampa.platform,
                   "play the bar-code client of alder, cedar or dogwood (resident: a reset starts it) or birch "
                   "(loaded through the boot ROM of project type 0)")
        ->check(CLI::IsMember({"alder", "birch", "cedar", "dogwood"}));
    app.add_option("--stampa-echo-pieces", a.echo_pieces,
                   "echo each burn chunk in pieces, e.g. 3+4 (the rest follows), --stampa-echo-gap ms apart");
    app.add_option("--stampa-echo-gap", a.o.stampa.echo_gap_ms, "pause between echo pieces, ms (default 100)")
        ->check(CLI::Range(0, 10000));
    app.add_option("--stampa-echo-delay", a.o.stampa.echo_delay_ms, "quiet before each echo, ms (a slow box)")
        ->check(CLI::Range(0, 120000));
    app.add_option("--stampa-noise", a.o.stampa.noise_bytes, "console chatter bytes before each echo")
        ->check(CLI::Range(0, 4096));
    app.add_option("--stampa-fault", a.o.stampa.fault,
                   "bar-code client fault: wrong-echo, error (second reply carries error code 7), error=N, "
                   "silent (no reply to a burn command)");
    app.add_option("--panel-dump", a.o.panel.dump_dir,
                   "write each panel record and configuration the panel program takes into DIR "
                   "(panel-record.bin, panel-config.bin)");
    app.add_option("--panel-keys", a.panel_keys,
                   "keys the panel reports once key acquisition starts: USER:KEY,USER:KEY,... (C numbers)");
    app.add_option("--panel-key-period", a.o.panel.key_period_ms, "ms between those keys (default 200)")
        ->check(CLI::Range(1, 60000));
    app.add_option("--panel-fault", a.o.panel.faults, "inject a panel program fault (repeatable; grammar below)");
    app.add_option("--key-baud", a.o.key_baud,
                   "line rate of the remote-control receiver (default 4800; 0: the rate the host set on the line)")
        ->check(CLI::Range(0, 4000000));
    app.add_option("--reject-key", a.o.reject_keys, "the remote-control receiver refuses this key value (repeatable)");
    app.add_flag("--trace", a.o.trace, "log what the box saw and did, byte by byte, on standard error");
    app.add_option("--trace-file", a.trace_file, "with --trace: append the log to FILE instead");
    app.add_option("--control", a.control_path, "also take control lines on a Unix socket at PATH");
    app.add_option("--write-stb-files", a.write_dir, "write the stand-in STB-side files into DIR and exit");
}

// Prints the refusal; false, so that the caller ends with status 2.
bool refuse(const char* fmt, const std::string& what = "")
{
    std::fprintf(stderr, fmt, what.c_str());
    return false;
}

bool parse_echo_pieces(const std::string& echo_pieces, std::vector<int>* out)
{
    for (size_t at = 0; at < echo_pieces.size();) {
        size_t plus = echo_pieces.find('+', at);
        std::string piece = echo_pieces.substr(at, plus == std::string::npos ? std::string::npos : plus - at);
        int v = std::atoi(piece.c_str());
        if (v <= 0 || v > 4096)
            return refuse("stbsim: --stampa-echo-pieces takes sizes such as 3+4\n");
        out->push_back(v);
        at = plus == std::string::npos ? echo_pieces.size() : plus + 1;
    }
    return true;
}

// --blocks: the list, or @FILE holding it.
bool read_blocks(const std::string& blocks, std::vector<stbsim::BlockInfo>* out)
{
    std::string text = blocks, err;
    if (text[0] == '@') {
        std::ifstream f(text.substr(1));
        if (!f)
            return refuse("stbsim: cannot read %s\n", text.substr(1));
        std::stringstream ss;
        ss << f.rdbuf();
        text = ss.str();
    }
    if (!stbsim::parse_blocks(text, out, &err))
        return refuse("stbsim: --blocks: %s\n", err);
    return true;
}

bool parse_dma(const std::string& dma, int* ms)
{
    if (dma == "never") {
        *ms = -1;
        return true;
    }
    char* end = nullptr;
    long v = std::strtol(dma.c_str(), &end, 10);
    if (*end || v < 0 || v > 600000)
        return refuse("stbsim: --dma-delay takes milliseconds or 'never'\n");
    *ms = static_cast<int>(v);
    return true;
}

bool parse_ddr_windows(const std::vector<std::string>& windows, stbsim::Options& o)
{
    for (const auto& w : windows) {
        int r, s, e, a;
        char tail;
        if (std::sscanf(w.c_str(), "%d:%d:%d:%d%c", &r, &s, &e, &a, &tail) != 4 || r < 0 || r > 3 || a < 0 || a > 7 ||
            s < -1 || s > 63 || e < -1 || e > 63)
            return refuse("stbsim: --ddr-window \"%s\" is not RANGE:START:END:READADD\n", w);
        o.ddr[r] = {s, e, a};
    }
    return true;
}

// --trace-file: the trace goes to FILE, opened for appending.
bool open_trace(const std::string& path, stbsim::Options& o, FILE** tf)
{
    if (path.empty())
        return true;
    *tf = std::fopen(path.c_str(), "a");
    if (!*tf) {
        const std::string why = std::strerror(errno);
        return refuse("stbsim: cannot open %s\n", path + ": " + why);
    }
    o.trace_sink = [f = *tf](const std::string& l) {
        std::fprintf(f, "%s\n", l.c_str());
        std::fflush(f);
    };
    return true;
}

bool check_faults(const std::vector<std::string>& faults)
{
    for (const auto& f : faults) {
        stbsim::FaultSpec spec;
        std::string err;
        if (!stbsim::parse_fault(f, &spec, &err))
            return refuse("stbsim: %s\n", err);
    }
    return true;
}

// Turns the command line into the box's options, refusing what does not
// parse (in the order the options are checked).
bool settle_options(Args& a, FILE** tf)
{
    stbsim::Options& o = a.o;
    std::string err;
    o.fpga = a.platform == "fpga";
    o.platform = o.fpga ? 0 : std::stoi(a.platform);
    o.download_mode = !o.download_path.empty();
    if (!a.fpga_windows.empty() && !stbsim::parse_fpga_windows(a.fpga_windows, o.fpga_windows, &err))
        return refuse("stbsim: %s\n", err);
    if (!parse_echo_pieces(a.echo_pieces, &o.stampa.echo_pieces))
        return false;
    if (std::string e; !stbsim::check_stampa_options(o, &e))
        return refuse("stbsim: %s\n", e);
    if (std::string e; !stbsim::parse_panel_keys(a.panel_keys, &o.panel.keys, &e))
        return refuse("stbsim: --panel-keys: %s\n", e);
    if (!a.flash_size.empty() && !parse_size(a.flash_size, &o.flash_size))
        return refuse("stbsim: --flash-size \"%s\" is not a size up to 256M\n", a.flash_size);
    if (!a.blocks.empty() && !read_blocks(a.blocks, &o.blocks))
        return false;
    if (!parse_dma(a.dma, &o.dma_delay_ms) || !parse_ddr_windows(a.windows, o))
        return false;
    o.clock_cal_ok = !a.no_clock;
    o.dll_ok = !a.no_dll;
    o.ddr_gate = !a.no_gate;
    o.announce_ms = a.announce;
    if (!kv::parse_sync_byte(a.sync, &o.sync_byte))
        return refuse("stbsim: --sync-byte takes one character or a number up to 255\n");
    if (!a.noise.empty() && !stbsim::parse_noise(a.noise, &o.noise, &err))
        return refuse("stbsim: %s\n", err);
    return open_trace(a.trace_file, o, tf) && check_faults(o.faults);
}

int write_stb_files(const std::string& dir)
{
    std::vector<std::string> names;
    std::string err;
    if (!stbsim::write_stb_files(dir, &names, &err)) {
        std::fprintf(stderr, "stbsim: %s\n", err.c_str());
        return 1;
    }
    for (const auto& n : names)
        std::printf("%s/%s\n", dir.c_str(), n.c_str());
    return 0;
}

// Signals arrive through a descriptor, so that the run loop ends cleanly.
int signal_descriptor()
{
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGHUP);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    int sfd = signalfd(-1, &mask, SFD_CLOEXEC);
    signal(SIGPIPE, SIG_IGN);
    return sfd;
}

// --link: a symbolic link to the port, replacing an older link only.
bool make_link(const std::string& link, const std::string& port)
{
    struct stat st {};
    if (::lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        std::fprintf(stderr, "stbsim: %s exists and is not a symbolic link\n", link.c_str());
        return false;
    }
    ::unlink(link.c_str());
    if (::symlink(port.c_str(), link.c_str()) != 0) {
        std::fprintf(stderr, "stbsim: cannot link %s: %s\n", link.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

// --control: the listening socket, or -1 after printing why not.
int listen_control(const std::string& path)
{
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (path.size() >= sizeof a.sun_path) {
        std::fprintf(stderr, "stbsim: control path too long\n");
        return -1;
    }
    std::strcpy(a.sun_path, path.c_str());
    ::unlink(path.c_str());
    int lfd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (lfd < 0 || ::bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(lfd, 4) != 0) {
        std::fprintf(stderr, "stbsim: control socket %s: %s\n", path.c_str(), std::strerror(errno));
        return -1;
    }
    return lfd;
}

// Names the port in the directory where the workbench looks for it; the
// file's path, or "" when it could not be written.
std::string write_port_file(const std::string& port)
{
    std::string port_file;
    if (std::string dir = kv::log_socket_dir(); !dir.empty()) {
        port_file = dir + "/" + kv::virtual_stb_port_file(::getpid());
        std::ofstream pf(port_file, std::ios::trunc);
        pf << port << "\n";
        if (!pf) {
            std::fprintf(stderr, "stbsim: note: cannot write %s\n", port_file.c_str());
            port_file.clear();
        }
    }
    return port_file;
}

// The control lines from standard input and the control socket's clients,
// until quit or a signal.
class ControlLoop {
public:
    ControlLoop(stbsim::Simulator& box, int sfd, int lfd) : box_(box), sfd_(sfd), lfd_(lfd) {}
    void run();
    void close_connections()
    {
        for (auto& c : conns_)
            ::close(c.fd);
        conns_.clear();
    }

private:
    struct Conn {
        int fd;
        std::string buf;
    };
    void read_stdin();
    void serve(Conn& c);

    stbsim::Simulator& box_;
    int sfd_, lfd_;
    std::vector<Conn> conns_;
    std::string in_;
    bool stdin_open_ = true, quit_ = false;
};

void ControlLoop::run()
{
    while (!quit_) {
        std::vector<pollfd> p;
        p.push_back({sfd_, POLLIN, 0});
        p.push_back({stdin_open_ ? 0 : -1, POLLIN, 0});
        p.push_back({lfd_, POLLIN, 0});
        for (auto& c : conns_)
            p.push_back({c.fd, POLLIN, 0});
        if (::poll(p.data(), p.size(), -1) < 0 && errno != EINTR)
            break;
        if (p[0].revents & POLLIN)
            break;
        if (p[1].revents & (POLLIN | POLLHUP))
            read_stdin();
        if (lfd_ >= 0 && (p[2].revents & POLLIN)) {
            int c = ::accept4(lfd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0)
                conns_.push_back({c, {}});
        }
        for (size_t i = 3; i < p.size(); ++i)
            if (p[i].revents & (POLLIN | POLLHUP))
                serve(conns_[i - 3]);
        std::erase_if(conns_, [](const Conn& c) { return c.fd < 0; });
    }
}

void ControlLoop::read_stdin()
{
    char b[512];
    ssize_t n = ::read(0, b, sizeof b);
    if (n <= 0) {
        stdin_open_ = false;  // keep running; the socket or a signal ends us
        return;
    }
    in_.append(b, static_cast<size_t>(n));
    size_t nl;
    while ((nl = in_.find('\n')) != std::string::npos) {
        std::string r = control(box_, in_.substr(0, nl), &quit_);
        in_.erase(0, nl + 1);
        std::fputs(r.c_str(), stdout);
        std::fflush(stdout);
    }
}

void ControlLoop::serve(Conn& c)
{
    char b[512];
    ssize_t n = ::read(c.fd, b, sizeof b);
    if (n <= 0 || c.buf.size() > 4096) {
        ::close(c.fd);
        c.fd = -1;
        return;
    }
    c.buf.append(b, static_cast<size_t>(n));
    size_t nl;
    while ((nl = c.buf.find('\n')) != std::string::npos) {
        std::string r = control(box_, c.buf.substr(0, nl), &quit_);
        c.buf.erase(0, nl + 1);
        (void)!::write(c.fd, r.data(), r.size());
    }
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"stbsim: a virtual set-top box on a pseudo-terminal. It plays the box's side of the boot ROM,\n"
                 "boot-init and calibration images, the upgrade clients and shell.img, with its flash in a file."};
    app.footer(help_footer());
    Args a;
    add_box_options(app, a);
    add_program_options(app, a);
    CLI11_PARSE(app, argc, argv);

    if (!a.write_dir.empty())
        return write_stb_files(a.write_dir);
    FILE* tf = nullptr;
    if (!settle_options(a, &tf))
        return 2;
    const stbsim::Options& o = a.o;
    int sfd = signal_descriptor();

    stbsim::Simulator box(o);
    std::string err;
    if (!box.start(&err)) {
        std::fprintf(stderr, "stbsim: %s\n", err.c_str());
        return 1;
    }
    if (!a.link.empty() && !make_link(a.link, box.port_path()))
        return 1;
    int lfd = -1;
    if (!a.control_path.empty() && (lfd = listen_control(a.control_path)) < 0)
        return 1;
    const std::string port_file = write_port_file(box.port_path());
    std::printf("stbsim: %s, flash %u bytes, port %s%s%s\n",
                o.fpga ? "FPGA board" : ("project type " + std::to_string(o.platform)).c_str(), box.flash_size(),
                box.port_path().c_str(), a.link.empty() ? "" : " linked at ", a.link.c_str());
    std::fflush(stdout);

    ControlLoop loop(box, sfd, lfd);
    loop.run();
    box.stop();
    loop.close_connections();
    if (lfd >= 0) {
        ::close(lfd);
        ::unlink(a.control_path.c_str());
    }
    if (!a.link.empty())
        ::unlink(a.link.c_str());
    if (!port_file.empty())
        ::unlink(port_file.c_str());
    if (tf)
        std::fclose(tf);
    return 0;
}
