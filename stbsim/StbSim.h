// The virtual STB: a set-top box on a pseudo-terminal (or a real serial
// device) that plays the box's side of every exchange the tools have with it.
//
// The box runs on a thread of its own. After a reset its boot ROM announces
// itself with the sync byte ('R', 0x52, unless `sync_byte` says otherwise),
// repeated every `announce_ms` until the host talks, then takes word reads and writes and loads programs: boot-init
// and cache-calibration images, the upgrade clients and "shell.img". Each
// STB-side program is a separate piece the box switches to when the host
// loads it. The flash is a file (or memory), so an upgrade can be checked byte
// for byte.
//
// Typical use inside a test:
//
//   stbsim::Options o;  o.platform = 0;  o.flash_size = 1 << 20;
//   stbsim::Simulator box(o);
//   std::string err;
//   if (!box.start(&err)) FAIL() << err;
//   int fd = open(box.port_path().c_str(), O_RDWR | O_NOCTTY);
//   box.reset();            // 'R' ... until the host talks
//   ...
//   box.stop();
//
// Every public member is safe to call from any thread. Nothing here throws.
#pragma once

#include "FpgaBoard.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace stbsim {

// ---------------------------------------------------------------------------
// Flash blocks (what the upgrade client reports in slave info, and what a
// block upgrade replaces).
struct BlockInfo {
    uint8_t id = 0;  // block ID, e.g. 0x88 application
    uint32_t offset = 0;  // byte offset in the flash
    uint32_t size = 0;  // bytes
    std::string name;  // at most 35 characters go on the wire
};

// The sensible default list for a flash of `flash_size` bytes: bootloader,
// application, logos, preset database, SSDATA, key and IR blocks, laid out
// for 8 MiB and scaled down for smaller flashes (blocks that do not fit are
// left out).
std::vector<BlockInfo> default_blocks(uint32_t flash_size);
// The blocks a box of project type `platform` holds: the key data on every
// family but Alder, SSDATA and the IR table on Alder only, the start logo on
// Dogwood, Elm and Cedar. -1: every kind.
std::vector<BlockInfo> default_blocks(uint32_t flash_size, int platform);

// Parses the `--blocks` grammar: entries "ID:OFFSET:SIZE[:NAME]" separated by
// commas, semicolons or line ends; numbers in C notation (0x.. hexadecimal).
// At most 64 entries. Returns false with a message on malformed input.
bool parse_blocks(const std::string& text, std::vector<BlockInfo>* out, std::string* error);

// ---------------------------------------------------------------------------
// DDR model. Memory at 0xA0000000 and up (physical 0 .. 0x0FFFFFFF) reads
// back correctly only while the clock delay (0xBFD70050 bits 16-21) lies in
// the window of the selected latch combination and the read-add value
// (0xBFD70038 bits 16-18) is that window's. The combination is numbered
// 2 * rising + negative: rising is 0xBFD700A4 bits 24-25 == 3, negative is
// 0xBFD70038 bits 8-11 == 0xF.
struct DdrWindow {
    int start = -1;  // first passing clock delay (0..63); -1: never passes
    int end = -1;  // last passing clock delay, inclusive
    int read_add = 4;  // the read-add value (0..7) that passes in the window
};

// ---------------------------------------------------------------------------
// Fault injection. The text grammar (also `--fault`):
//
//   KIND[:KEY=VALUE[,KEY=VALUE]...]
//
// Selectors, counted from 1: frame=N (Nth data frame of a transfer, resends
// included), chunk=N (Nth dump chunk sent, resends included), block=N (Nth
// block frame of the Alder client download), read=N (Nth word read since the
// last reset), cmd=C (a command frame with letter C, or 0xNN); every=N
// instead of frame/chunk/block/read fires on every Nth such event.
// times=K limits the firings (default 1 with a single N, unlimited with
// every=N). Kinds:
//   crc      report a bad CRC/XOR for the selected data frame or block  ('E' / wrong count)
//   seq      acknowledge the selected data frame with the previous sequence number
//   drop     send no reply to the selected frame or command
//   delay    delay that reply by ms=M
//   stall    fall silent for ms=M from the selected event, losing what arrives
//   dump     corrupt the selected dump chunk (one byte flipped)
//   verify   fail the verification of the next burn (reply 0x0E)
//   burn     fail the flash write during the burn at=P percent ('E')
//   reset    reset the box at the selected event (mid-transfer, mid-dump, ...)
//   split    answer the selected word read in pieces=A+B+.. with gap=MS between
//   lose     lose byte=K (from 0) of the selected reply; with at=P instead, lose
//            the 'B' (byte=1: the percentage) of the burn progress at P percent
//   garble   the 'B' of the burn progress at at=P percent arrives as as=C ('F')
//   trickle  send the selected reply (or dump chunk) one byte every ms=M
//   addr     answer a "shell.img" read with the data of another address
//   stuck    the burn sticks at at=P percent, repeating 'B', P every ms=M
//   announce announce every ms=M after a reset; the last announcement crosses
//            the host's first bytes (stays armed)
//   chatter  the running firmware prints console lines full of 'R' every ms=M
//            (stays armed)
//   oversize the next slave info lists 70 blocks (3380 bytes, CRC right);
//            with crc:cmd=Q the slave info's CRC is wrong instead
// Examples: "crc:frame=3", "crc:every=5", "seq:frame=2", "drop:cmd=P",
// "delay:frame=1,ms=4000", "stall:frame=10,ms=5000", "dump:chunk=2",
// "verify", "burn:at=40", "reset:frame=7", "split:read=1,pieces=1+3,gap=200",
// "lose:at=70", "garble:at=80", "trickle:chunk=1,ms=2000", "addr", "stuck:at=50",
// "announce:ms=50", "chatter:ms=100", "drop:cmd=U" (silent after the finish).
enum class FaultKind {
    Crc,
    Seq,
    Drop,
    Delay,
    Stall,
    Dump,
    Verify,
    Burn,
    Reset,
    Split,
    Lose,
    Garble,
    Trickle,
    Addr,
    Stuck,
    Announce,
    Chatter,
    Oversize,
    KeyTalk
};
enum class FaultOn { Any, Frame, Chunk, Block, Read, Command };

struct FaultSpec {
    FaultKind kind = FaultKind::Crc;
    FaultOn on = FaultOn::Any;
    uint32_t nth = 0;  // fire at the Nth event (1-based); 0: not by count
    uint32_t every = 0;  // fire at every Nth event; 0: not periodic
    int command = -1;  // FaultOn::Command: the command byte
    int times = -1;  // firings left; -1: 1 for nth, unlimited otherwise
    int ms = 0;  // delay and stall length
    int percent = 50;  // burn, stuck, lose: the progress at which it happens
    int byte = 0;  // lose: which byte of the reply (or of the 'B', percentage pair)
    int as = 'F';  // garble: what the 'B' arrives as
    std::vector<int> pieces;  // split: sizes of the pieces of a 4-byte reply
    int gap_ms = 100;  // split: pause between pieces
};

bool parse_fault(const std::string& text, FaultSpec* out, std::string* error);
// The grammar above as help text for the command line.
std::string fault_help();

// Random line noise (also `--noise`): "p=P[,seed=S][,burst=B]". Each byte in
// either direction is, with probability P, dropped, flipped in one bit or
// sent twice (a third of the cases each); with probability B per byte
// (default P/10) a burst of 1 to 32 random bytes comes first. The seed makes
// a run repeatable: the same bytes meet the same noise.
struct NoiseSpec {
    double p = 0;
    double burst = -1;  // < 0: p / 10
    uint64_t seed = 1;
    bool on() const { return p > 0 || burst > 0; }
    double burst_p() const { return burst < 0 ? p / 10 : burst; }
};
bool parse_noise(const std::string& text, NoiseSpec* out, std::string* error);

// ---------------------------------------------------------------------------
// Stand-ins for the STB-side program files. Every stand-in begins with this
// 20-byte header (all words little-endian); the box learns a file's length
// from it wherever the host sends a file whole without a length of its own,
// and refuses (as line noise) a file without it:
//
//   0  4  magic "CVSI"
//   4  4  total length of the file in bytes, header included
//   8  4  kind (kKind... below)
//   12 4  CRC-32 of bytes 20 .. length-1 (reflected 0xEDB88320, preset
//         0xFFFFFFFF, no final complement: the frames' CRC)
//   16 4  format version, 1
//
// followed by a text that says plainly what the file is.
constexpr uint32_t kStandinHeaderSize = 20;
constexpr uint32_t kStandinVersion = 1;
enum StandinKind : uint32_t {
    kKindBootInitAlder = 1,  // boot_init.img
    kKindBootInitCedar = 2,  // btinit_ddr2_cedar.img, btinit_ddr3_cedar.img
    kKindCacheCal = 3,  // ddr2_cache_cal.img, ddr3_cache_cal.img
    kKindShell = 4,  // shell.img
    kKindUpgClient = 0x10,  // upgclient*.bin
    // 0x20 and up: further STB-side clients (bar-code client, panel program, ...)
    kKindBarcodeBirch = 0x20,  // SerialN_client_birch_common.bin
    kKindPanelBase = 0x30,  // fir.bin, the panel program of the base platform
    kKindPanelAlder = 0x31,  // fir_alder.bin
    kKindPanelDogwood = 0x32,  // fir_dg.bin
};

struct StandinHeader {
    uint32_t length = 0;
    uint32_t kind = 0;
    uint32_t crc = 0;
    uint32_t version = 0;
};

// Builds a stand-in file of `kind` carrying `text`.
std::vector<uint8_t> make_standin(uint32_t kind, const std::string& text);
// Reads the header at the start of `data` (at least 20 bytes). False when the
// magic or version is wrong or the length is below the header's own size.
bool parse_standin_header(const uint8_t* data, size_t len, StandinHeader* out);
// Writes every stand-in the tools load from the program folder into `dir`:
// upgrade clients, boot-init and cache-calibration images, "shell.img" and the
// "chip_ddrconf" files whose settings calibrate the default simulated DDR.
// `written` (optional) receives the file names.
bool write_stb_files(const std::string& dir, std::vector<std::string>* written, std::string* error);

// ---------------------------------------------------------------------------
// The bar-code client (BarcodeClient.cpp). Alder, Cedar and Dogwood boxes
// keep it resident: after a reset it announces itself with its sync word
// ("QTSN"; Alder at a random rotation, Cedar framed as "\r\nQTSN\r\n") until
// the host answers 0xA5. A Birch box boots into its boot ROM and runs the
// client the host loads ("SerialN_client_birch_common.bin", project type 0
// header). The client answers 'P', takes 'p' chunks (echoed as
// "sn@OO:<chunk> burnt.\r\n", OO the offset in hexadecimal), 'X' (Birch) and
// the 0x80 query (Cedar), and keeps the code in the last 4 KiB of the flash.
struct StampaOptions {
    std::string platform;  // "alder", "birch", "cedar", "dogwood"; empty: no bar-code client
    std::vector<int> echo_pieces;  // echo each chunk in pieces of these sizes (the rest last)
    int echo_gap_ms = 100;  // pause between the pieces
    int noise_bytes = 0;  // console chatter before each echo
    int echo_delay_ms = 0;  // a box slow to confirm its write: quiet this long before each echo
    // "wrong-echo", "error" or "error=N" (second reply 'E', x, N; 7 by
    // default), "silent" (no reply to a burn command); empty: none.
    std::string fault;
    int sync_period_ms = 100;  // the sync word is repeated this often
};

// ---------------------------------------------------------------------------
// A remote-control key the firmware's receiver took: its value and when the
// whole frame had arrived (ms since the box started). The frame is told in
// KeyReceiver.cpp.
struct ReceivedKey {
    int32_t value = 0;
    int64_t ms = 0;
};

// The panel program of the front-panel tool (PanelProgram.cpp): "fir.bin"
// (base platform), "fir_alder.bin" (Alder), "fir_dg.bin" (Dogwood). It takes
// command frames ('#', letter, length, payload, CRC-32) and answers each with
// two 3-byte replies (0x00 received; then 0x00 done or 0x01 error, the
// letter, a code). 'Q' announces the whole record (1564 bytes, 1580 on
// Dogwood), 'S' the configuration (464, 480 on Dogwood); the data frame that
// follows ('#', '*', bytes, CRC-32) is answered with a status (0x00 accepted,
// 0x01 error; state, code) and kept. 'Y' starts key reports (user code LE16,
// key code, 0); 'T' and 'U' step the LED map, whose 256 bytes follow the
// tenth good step as '#', '*', map, CRC-32 until the host answers 0x02; 'X',
// '\\' and ']' move a lamp position (status byte 1 is the position now lit),
// '^' confirms it (status: 0x00, state 0, code 0).
struct PanelKey {
    uint16_t user_code = 0;
    uint8_t key_code = 0;
};

struct PanelOptions {
    std::string dump_dir;  // non-empty: each record and configuration received is written here
    std::vector<PanelKey> keys;  // reported one by one once key acquisition starts
    int key_period_ms = 200;  // ... this far apart
    int map_delay_ms = 1000;  // from the tenth good step to the LED map (and between resends)
    int lamp_positions = 32;  // lamp positions 0 .. N-1
    std::vector<std::string> faults;  // in the grammar of panel_fault_help()
};

// What the panel program holds and does (Simulator::panel()).
struct PanelHeld {
    bool loaded = false;  // a panel program ran since the box started
    std::string form;  // "base", "alder" or "dogwood"
    std::vector<uint8_t> record;  // the last record accepted
    std::vector<uint8_t> config;  // the last configuration accepted
    bool key_mode = false;  // key reports go out
    bool led_mode = false;  // LED-map acquisition runs
    int good_steps = 0;  // steps acknowledged with 0x00
    std::vector<uint8_t> led_map;  // the last map sent
    int map_sends = 0;  // how often it went out
    bool map_acknowledged = false;  // the host answered 0x02
    bool lamp_mode = false;
    int lamp_position = 0;
    int confirmed_lamp = -1;  // the position "OK" confirmed
    int lit = -1;  // 0 all lit, 1 all dark ('_'), -1 neither
    uint64_t commands = 0;  // command frames with a good CRC
};

// "base", "alder", "dogwood" for a panel program kind; nullptr for others.
const char* panel_form_name(uint32_t kind);
// KIND[:cmd=C][,times=N]; false with a message on malformed input.
bool check_panel_fault(const std::string& spec, std::string* error);
std::string panel_fault_help();
// The panel program's control lines: "press-key USERCODE KEYCODE" and
// "panel-fault SPEC". The answer, or "" when the line is neither.
class Simulator;
std::string panel_control(Simulator& box, const std::string& line);
// "USER:KEY[,USER:KEY]..." in C notation, e.g. "0x20df:0x10,0x20df:17".
bool parse_panel_keys(const std::string& text, std::vector<PanelKey>* out, std::string* error);

// ---------------------------------------------------------------------------
struct Options {
    int platform = 0;  // project type 0..7
    std::string flash_path;  // empty: the flash lives in memory only
    uint32_t flash_size = 0;  // 0: an existing file's size, else 8 MiB
    std::vector<BlockInfo> blocks;  // empty: default_blocks(flash size, platform)
    std::string device;  // non-empty: play the STB on this serial device

    double speed = 0;  // line pacing: 0 unpaced, 1 real time, 2 twice as fast
    int reply_delay_ms = 0;  // STB-side processing delay before each reply
    int auto_reset_ms = 0;  // 0: off; else reset after this long quiet outside a session
    int session_quiet_ms = 20000;  // with auto-reset: quiet that ends an abandoned session
    int announce_ms = 500;  // period of the sync byte after a reset
    uint8_t sync_byte = 'R';  // the boot ROM's announcement
    int announce_limit_ms = 0;  // > 0: with no host talking by then, boot the firmware (idle)

    // Boot ROM and DDR controller.
    uint32_t strap = 0;  // strap register 0xBFEDC024
    int dma_delay_ms = 0;  // DMA busy bit clears this long after start; < 0: never
    bool clock_cal_ok = true;  // 0xBFD70044 reports done
    uint32_t clock_value = 0x12;  // bits 16-21 of 0xBFD70044 when done
    bool dll_ok = true;  // 0xBFD7004C reports done
    uint32_t dll_value = 0x05;  // bits 16-21 of 0xBFD7004C when done
    DdrWindow ddr[4] = {{3, 8, 3}, {5, 12, 4}, {10, 25, 4}, {-1, -1, 4}};
    bool ddr_gate = true;  // types 2..7: a client loaded while DDR does not work never runs

    // STB-side programs.
    uint32_t default_client_kind = kKindUpgClient;  // a client without a stand-in header
    int alder_ready_delay_ms = 2500;  // Alder boot init: first 'R' + "bootinit_ready" after the image
    int alder_ready_period_ms = 7500;  // ... repeated this often
    int alder_ready_repeats = 4;  // ... at most this many times, until the host talks
    int cedar_ready_period_ms = 100;  // "SEND_UPG" repeated this often until the host talks
    int burn_ms = 1000;  // duration of a burn (spread over the 'B' progress bytes)
    // How the client reports a burn: the last percentage it sends a 'B' for
    // (-1: none, the burn ends with a bare 'F'), and console text it prints
    // right after the 'F' (empty: none).
    int burn_last_percent = 100;
    std::string burn_tail;
    // Readiness: the times the host's fixed pauses exist for. A client loses
    // what arrives sooner than client_ready_ms after its load (it does not run
    // yet); a burn command sooner than burn_ready_ms after the last data frame
    // is refused ('E', 0x0E: the image is still being checked).
    int client_ready_ms = 1000;
    int burn_ready_ms = 2000;
    int ack_timeout_ms = 10000;  // the box gives up a dump when the host stops acknowledging
    // The client gathers its slave info between the length and the record:
    // this long a pause (-1: 1500 ms on Dogwood, none elsewhere).
    int slave_info_pause_ms = -1;

    std::vector<std::string> faults;  // in the grammar above
    NoiseSpec noise;  // random line noise in both directions
    StampaOptions stampa;  // the bar-code client, if any
    PanelOptions panel;  // the panel program

    // The FPGA prototype board (FpgaBoard.h) and the boot ROM's download mode
    // (BootRomDownload.h).
    bool fpga = false;
    FpgaWindow fpga_windows[2] = {kFpgaDefaultWindows[0], kFpgaDefaultWindows[1]};
    // The board's bus decodes only its DDR and its own registers (0xBFD7xxxx):
    // a read of any other address is never answered and hangs the board until
    // a reset.
    bool fpga_strict_bus = false;
    bool download_mode = false;  // the boot ROM keeps what the host streams
    std::string download_path;  // ... and writes it here as it arrives

    // Remote-control receiver of the firmware (the idle program).
    int key_baud = 4800;  // the receiver's line rate; 0: whatever rate the host set
    std::vector<int32_t> reject_keys;  // keys the box refuses ('E' 0x02)

    bool trace = false;  // log what the box saw and did
    std::function<void(const std::string&)> trace_sink;  // default: standard error
};

// False with a message when the bar-code client's options do not fit
// together (an unknown platform or fault; Birch needs project type 0).
bool check_stampa_options(const Options& o, std::string* error);

struct Counters {
    uint64_t resets = 0;
    uint64_t bytes_in = 0, bytes_out = 0, noise_bytes = 0;
    uint64_t word_reads = 0, word_writes = 0, dma_starts = 0;
    uint64_t programs_loaded = 0;  // boot-init, cache-calibration, client, shell images
    uint64_t commands = 0;  // client command frames with a good CRC
    uint64_t frames_received = 0;  // data frames, resends included
    uint64_t frames_accepted = 0;
    uint64_t retransmissions = 0;  // data frames received again (same sequence)
    uint64_t crc_errors = 0;  // data frames answered 'E'
    uint64_t alder_blocks = 0, alder_retransmissions = 0;
    uint64_t dump_chunks = 0, dump_retransmissions = 0;
    uint64_t shell_reads = 0;
    uint64_t burns = 0, burn_failures = 0, verify_failures = 0;
    uint64_t refused_early = 0;  // commands that came before the box was ready
    uint64_t console_lines = 0;  // chatter printed by the running firmware
    uint64_t faults_fired = 0;
    // Line noise: bytes dropped, flipped in one bit, sent twice; garbage bursts.
    uint64_t noise_dropped = 0, noise_flipped = 0, noise_doubled = 0, noise_bursts = 0;
};

class Simulator {
public:
    explicit Simulator(Options options);
    ~Simulator();  // stops the box
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Opens the pseudo-terminal (or the device), the flash, and starts the
    // box's thread. The box starts powered with no program talking (quiet).
    bool start(std::string* error);
    void stop();
    bool running() const;

    // Slave path of the pseudo-terminal (or the device path).
    std::string port_path() const;

    // Presses the reset button: the boot ROM starts announcing.
    void reset();

    // Faults, in the grammar above or typed.
    bool add_fault(const std::string& spec, std::string* error = nullptr);
    void add_fault(const FaultSpec& spec);
    void clear_faults();

    // Typed setters (take effect at once).
    void set_speed(double speed);
    void set_reply_delay(int ms);
    void set_dma_delay(int ms);  // < 0: the busy bit never clears
    void set_ddr_window(int range, DdrWindow window);
    void set_strap(uint32_t value);
    void set_clock_calibration(bool ok, uint32_t value);
    void set_dll_calibration(bool ok, uint32_t value);

    // The flash as it stands.
    std::vector<uint8_t> flash() const;
    uint32_t flash_size() const;
    // Writes into the flash (and its file) directly, as a programmer would.
    bool write_flash(uint32_t offset, const std::vector<uint8_t>& bytes);
    std::vector<BlockInfo> blocks() const;

    // The box's address space as stored (no DDR garbling, no side effects).
    uint32_t peek(uint32_t address) const;
    void poke(uint32_t address, uint32_t value);
    // Whether DDR reads back correctly with the registers as they stand.
    bool ddr_ok() const;

    // The panel program: what it holds, a key pressed on the panel or the
    // remote (reported only while key acquisition runs: false otherwise),
    // and its faults.
    PanelHeld panel() const;
    bool press_key(uint16_t user_code, uint8_t key_code);
    bool add_panel_fault(const std::string& spec, std::string* error = nullptr);
    // Keys the remote-control receiver took, in arrival order (the latest
    // 4096), and the keys it is to refuse.
    std::vector<ReceivedKey> keys() const;
    void clear_keys();
    void reject_key(int32_t value, bool reject = true);

    Counters counters() const;
    // The running program: "off", "idle", "boot-rom", "alder-init",
    // "client-loader", "cache-calibration", "upgrade-client", "shell", ...
    std::string program() const;
    // The line rate the box talks at now.
    int baud() const;
    // One line: program, rate, counters (and code=... with a bar-code client;
    // once a panel program ran "panel record=LEN:CRC config=LEN:CRC", the last
    // of each with zlib's CRC-32).
    std::string status() const;
    // The bar code the box holds in its flash; empty when none.
    std::string barcode() const;
    // Waits up to `timeout_ms` until program() == name.
    bool wait_for_program(const std::string& name, int timeout_ms) const;

    // Download mode: the bytes of the last download as kept so far.
    std::vector<uint8_t> downloaded() const;
    // FPGA board: the delays of both lanes, and the status line
    // "fpga lane0 clock=N dqs=N lane1 clock=N dqs=N" ("" for another box).
    FpgaDelays fpga_delays() const;
    std::string fpga_status() const;

    struct Impl;

private:
    std::unique_ptr<Impl> d;
};

}  // namespace stbsim
