// Inner parts of the virtual STB: the address space, the flash, the fault
// set, the line and the box context the STB-side programs run in.
#pragma once

#include "BootRomDownload.h"
#include "PanelProgram.h"
#include "LineNoise.h"
#include "StbSim.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace stbsim {

using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------------------
// The 32-bit address space the boot ROM reads and writes. 0x80000000 to
// 0xBFFFFFFF map onto physical addresses with the top three bits cleared;
// physical 0 .. 0x0FFFFFFF is DDR, 0x10000000 .. 0x1FFFFFFF registers.
class Memory {
public:
    // Register addresses the box gives a meaning to.
    static constexpr uint32_t kDmaSrc = 0xBFD00054, kDmaDst = 0xBFD00058, kDmaCtl = 0xBFD0005C, kDmaStart = 0xBFD00064;
    static constexpr uint32_t kStrap = 0xBFEDC024;
    static constexpr uint32_t kDdrClkCtl = 0xBFD70040, kDdrClkSta = 0xBFD70044, kDdrDllCtl = 0xBFD70048,
                              kDdrDllSta = 0xBFD7004C, kDdrDelay = 0xBFD70050, kDdrLatch = 0xBFD70038,
                              kDdrRise = 0xBFD700A4;

    explicit Memory(const Options& o);

    static uint32_t phys(uint32_t address);
    static bool is_ddr(uint32_t address) { return phys(address) < 0x10000000u; }

    // The boot ROM's view: side effects (DMA start, calibration status) and
    // DDR reads that garble while the DDR is not set up right.
    uint32_t read(uint32_t address);
    void write(uint32_t address, uint32_t value);
    // Stored values only.
    uint32_t peek(uint32_t address) const;
    void poke(uint32_t address, uint32_t value);

    bool ddr_ok() const;
    // An init image that sets up DDR itself makes it work until the next reset.
    void set_ddr_ready(bool on);
    // A reset brings the registers back to their power-on values; RAM keeps its contents.
    void reset();

    void set_dma_delay(int ms);
    void set_ddr_window(int range, DdrWindow w);
    void set_strap(uint32_t v);
    void set_clock(bool ok, uint32_t v);
    void set_dll(bool ok, uint32_t v);
    uint64_t dma_starts() const;
    // The FPGA board's delays and status line (empty for another box).
    FpgaDelays fpga_delays() const;
    std::string fpga_status() const;

private:
    uint32_t peek_locked(uint32_t p) const;
    bool ddr_ok_locked() const;

    mutable std::mutex m_;
    std::unordered_map<uint32_t, uint32_t> words_;  // physical, word-aligned
    DdrWindow win_[4];
    bool base_ready_;
    bool ddr_ready_ = false;
    uint32_t strap_;
    int dma_delay_ms_;
    Clock::time_point dma_done_{};
    bool dma_busy_ = false;
    bool clk_ok_, dll_ok_;
    uint32_t clk_val_, dll_val_;
    bool clk_started_ = false, dll_started_ = false;
    uint64_t dma_starts_ = 0;
    std::unique_ptr<FpgaBoard> fpga_;  // --platform fpga
};

// ---------------------------------------------------------------------------
// The flash: bytes in memory, written through to a file when there is one.
class Flash {
public:
    Flash() = default;
    ~Flash();
    bool open(const std::string& path, uint32_t size, std::string* error);
    uint32_t size() const;
    std::vector<uint8_t> contents() const;
    // Copies `len` bytes from `offset`; bytes beyond the end read as erased (0xFF).
    void read(uint64_t offset, uint8_t* out, size_t len) const;
    bool write(uint32_t offset, const uint8_t* data, size_t len, std::string* error);
    bool erase(uint32_t offset, size_t len, std::string* error);
    bool sync();

private:
    mutable std::mutex m_;
    std::vector<uint8_t> bytes_;
    int fd_ = -1;
};

// ---------------------------------------------------------------------------
// Faults that stay armed until cleared (behaviours rather than events).
bool persistent(FaultKind k);
// The fault kinds by the names the text grammar gives them.
std::vector<std::string> fault_kind_names();

class FaultSet {
public:
    void add(const FaultSpec& f);
    void clear();
    // True (and one firing used up) when a fault of `kind` selects this event:
    // the `count`th event of class `on` (command byte `cmd` for commands).
    // `out` receives the fault's parameters.
    bool fire(FaultKind kind, FaultOn on, uint64_t count, int cmd, FaultSpec* out);

private:
    std::mutex m_;
    std::vector<FaultSpec> faults_;
};

// ---------------------------------------------------------------------------
// The keys the firmware's remote-control receiver took (KeyReceiver.cpp).
class KeyLog {
public:
    void add(int32_t value, int64_t ms);
    std::vector<ReceivedKey> keys() const;
    void clear();
    void reject(int32_t value, bool on);
    bool rejected(int32_t value) const;
    void count_reject();
    void count_error();
    // "key refusals N, bad key frames N, keys=V1,V2,..."
    std::string status() const;

private:
    mutable std::mutex m_;
    std::deque<ReceivedKey> keys_;
    std::set<int32_t> reject_;
    uint64_t dropped_ = 0, rejects_ = 0, errors_ = 0;
};

// ---------------------------------------------------------------------------
// Raised inside the box thread when a reset or stop interrupts a program;
// it never leaves the thread.
struct Interrupt {
    bool stop;
};

enum class Prog {
    Off,
    Idle,
    BootRom,
    AlderInit,
    ClientLoader,
    CacheCal,
    CedarInit,
    UpgClient,
    Shell,
    Crashed,
    Barcode,
    Panel,
    Loaded /* hand-over only: start the loaded image */
};
const char* prog_name(Prog p);

// What a program hands over when it ends: the next program and, for a
// loaded program, its image.
struct Next {
    Prog prog = Prog::Idle;
    std::vector<uint8_t> image;
};

constexpr int kTimeout = -1;
constexpr int kNoise = -2;

// The box context: line, memory, flash, faults, counters, trace. Only the
// box thread calls the I/O members.
struct Box {
    explicit Box(Options o);

    Options opt;
    Memory mem;
    Flash flash;
    FaultSet faults;
    std::vector<BlockInfo> blocks;
    DownloadStore download;  // download mode
    PanelState panel;
    KeyLog keys;
    LineNoise noise;

    // Counters, readable from any thread.
    mutable std::mutex cm;
    Counters cnt;
    template <class F>
    void count(F f)
    {
        std::lock_guard<std::mutex> l(cm);
        f(cnt);
    }

    // Line.
    int master = -1;  // pty master or the device
    int slave = -1;  // held open so the master never sees a hang-up
    int wake = -1;  // eventfd: reset, stop, setting changes
    bool is_pty = true;
    std::string path;
    std::atomic<int> rate{115200};  // the rate the box talks at
    std::atomic<double> speed{0};
    std::atomic<int> reply_delay{0};
    std::atomic<bool> reset_req{false}, stop_req{false};
    std::atomic<int> prog{static_cast<int>(Prog::Off)};
    bool in_session = false;
    uint64_t reads_since_reset = 0;
    size_t console_line = 0;  // the firmware's next console line
    Clock::time_point next_console_line{};
    Clock::time_point activity = Clock::now();
    Clock::time_point in_clock{}, out_clock{};
    std::deque<int> inq;  // bytes read and not yet taken; kNoise for garbled ones
    Clock::time_point t0 = Clock::now();

    // Program context.
    void set_prog(Prog p);
    void set_rate(int baud);
    int host_rate() const;
    bool rates_differ() const;

    // Takes one byte: 0..255, kTimeout, or kNoise for a byte sent at another
    // rate. timeout_ms < 0 waits for ever (reset, stop and auto-reset still
    // interrupt).
    int get(int timeout_ms);
    // Like get, but skips noise until a real byte or the time-out.
    int get_clean(int timeout_ms);
    // Reads n bytes, each within `gap_ms` of the previous; false on a
    // time-out or a noise byte.
    bool get_n(uint8_t* out, size_t n, int gap_ms);
    void put(const void* data, size_t n);
    void put(const std::string& s) { put(s.data(), s.size()); }
    // A reply: the processing delay, then the bytes.
    void reply(const void* data, size_t n);
    void reply(std::initializer_list<uint8_t> bytes);
    // Interruptible pause; input meanwhile stays queued.
    void pause(int ms);
    // Falls silent for `ms`, losing whatever arrives.
    void stall(int ms);
    // Refuses what arrives as noise until the line has been quiet `quiet_ms`
    // (at most `limit_ms` in all).
    void drain_quiet(int quiet_ms, int limit_ms = 60000);
    void check_interrupts();

    void trace(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void trace_bytes(const char* what, const uint8_t* p, size_t n);

private:
    void wait_until(Clock::time_point tp);
    void fill(Clock::time_point deadline);
    double byte_seconds() const;
};

// The STB-side programs. Each runs until it hands over to the next one.
Next run_idle(Box& b);
// The running firmware's console: with the chatter fault, prints a line when
// one is due. Returns when the next one is (max() when none will be).
Clock::time_point firmware_console(Box& b);
// The firmware's remote-control receiver; runs until a reset or stop.
Next run_key_receiver(Box& b);
Next run_boot_rom(Box& b);
Next run_alder_init(Box& b);
Next run_client(Box& b, const std::vector<uint8_t>& image);
// Client programs by stand-in kind; later programs (bar-code client, panel
// program, ...) register here.
using ClientProgram = Next (*)(Box& b, const std::vector<uint8_t>& image);
void register_client_program(uint32_t kind, ClientProgram fn);
Next run_upgrade_client(Box& b);
Next run_shell(Box& b);
// The front-panel tool's panel program (PanelProgram.cpp).
Next run_panel_program(Box& b, const std::vector<uint8_t>& image);
// The resident bar-code client of Alder, Cedar and Dogwood boxes.
Next run_barcode_client(Box& b);
// Whether a reset starts the resident bar-code client instead of the boot ROM.
bool barcode_client_resident(const Options& o);
// The code the box holds in its flash.
std::string barcode_held(const Box& b);
Next run_crashed(Box& b);

// The rest of a client's command frame once '#' and the letter `k` have
// come: length, payload and CRC into `buf` (kCommandFrameMax bytes: letter,
// length, payload, CRC). Returns the payload length, or kFrameBrokeOff /
// kFrameBadCrc (traced under `who`).
constexpr size_t kCommandFrameMax = 2 + 255 + 4;
constexpr int kFrameBrokeOff = -1;
constexpr int kFrameBadCrc = -2;
int read_command_rest(Box& b, int k, uint8_t* buf, const char* who);

// Builds the slave-info record of the upgrade client.
// The slave-info record of a block list (at most 64 entries); `entries` > 0
// makes it list that many (the list repeated), for the oversize fault.
std::vector<uint8_t> slave_info_record(const std::vector<BlockInfo>& blocks, size_t entries = 0);
// Inflates a gzip stream; false when it is not a valid, complete stream or
// inflates to more than `limit` bytes.
bool gunzip(const std::vector<uint8_t>& in, size_t limit, std::vector<uint8_t>* out);

}  // namespace stbsim
