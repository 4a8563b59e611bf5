#include "SimInternal.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace stbsim {

struct Simulator::Impl {
    explicit Impl(Options o) : box(std::move(o)) {}
    Box box;
    std::thread thread;
    std::atomic<bool> running{false};
    bool faults_loaded = false;  // the options' faults are armed once, not on every start
    mutable std::mutex m;  // start and stop

    void wake()
    {
        uint64_t one = 1;
        if (box.wake >= 0)
            (void)!::write(box.wake, &one, sizeof one);
    }
    void main();
    void do_reset();
    void close_fds();
};

void Simulator::Impl::do_reset()
{
    Box& b = box;
    b.count([](Counters& c) { ++c.resets; });
    b.trace("reset");
    b.mem.reset();
    b.reads_since_reset = 0;
    // Whatever the host had sent is lost with the reset.
    b.inq.clear();
    uint8_t buf[4096];
    for (int i = 0; i < 64 && ::read(b.master, buf, sizeof buf) > 0; ++i) {}
    b.activity = Clock::now();
}

void Simulator::Impl::main()
{
    Box& b = box;
    Next next{Prog::Idle, {}};
    for (;;) {
        try {
            switch (next.prog) {
            case Prog::BootRom: next = run_boot_rom(b); break;
            case Prog::AlderInit: next = run_alder_init(b); break;
            case Prog::Loaded: {
                std::vector<uint8_t> img = std::move(next.image);
                next = run_client(b, img);
                break;
            }
            case Prog::UpgClient: next = run_upgrade_client(b); break;
            case Prog::Shell: next = run_shell(b); break;
            case Prog::Crashed: next = run_crashed(b); break;
            case Prog::Barcode: next = run_barcode_client(b); break;
            default: next = run_idle(b); break;
            }
        } catch (const Interrupt& i) {
            if (i.stop)
                break;
            do_reset();
            next = Next{barcode_client_resident(b.opt) ? Prog::Barcode : Prog::BootRom, {}};
        }
    }
    b.set_prog(Prog::Off);
}

void Simulator::Impl::close_fds()
{
    for (int* fd : {&box.master, &box.slave, &box.wake}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

Simulator::Simulator(Options options) : d(std::make_unique<Impl>(std::move(options))) {}

Simulator::~Simulator() { stop(); }

namespace {

// Arms the faults the options name and configures the panel program.
bool arm_faults(Box& b, std::string* error)
{
    std::vector<FaultSpec> specs;
    for (const std::string& f : b.opt.faults) {
        FaultSpec spec;
        if (!parse_fault(f, &spec, error))
            return false;
        specs.push_back(spec);
    }
    for (const auto& spec : specs)
        b.faults.add(spec);
    return b.panel.configure(b.opt.panel, error);
}

// The flash's block list: the options' or the platform's default, all of
// it inside the flash.
bool settle_blocks(Box& b, std::string* error)
{
    b.blocks = b.opt.blocks.empty() ? default_blocks(b.flash.size(), b.opt.platform) : b.opt.blocks;
    if (b.blocks.size() > 64) {
        *error = "at most 64 blocks fit in the slave info";
        return false;
    }
    for (const auto& bl : b.blocks) {
        if (uint64_t(bl.offset) + bl.size > b.flash.size()) {
            *error = "block 0x" + std::to_string(bl.id) + " (" + bl.name + ") lies beyond the end of the flash";
            return false;
        }
    }
    return true;
}

// A pseudo-terminal the host opens as its serial port.
bool open_pty(Box& b, std::string* error)
{
    termios t{};
    b.is_pty = true;
    b.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char name[256];
    if (b.master < 0 || ::grantpt(b.master) != 0 || ::unlockpt(b.master) != 0 ||
        ::ptsname_r(b.master, name, sizeof name) != 0) {
        *error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    b.path = name;
    // Held open by the box so that the master never sees a hang-up while
    // the host closes and reopens its end.
    b.slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (b.slave < 0 || ::tcgetattr(b.slave, &t) != 0) {
        *error = std::string("cannot open ") + name + ": " + std::strerror(errno);
        return false;
    }
    // Raw from the start, so nothing the box sends is echoed back.
    ::cfmakeraw(&t);
    ::cfsetispeed(&t, B115200);
    ::cfsetospeed(&t, B115200);
    t.c_cflag |= CLOCAL | CREAD;
    ::tcsetattr(b.slave, TCSANOW, &t);
    return true;
}

// A real serial device, raw.
bool open_device(Box& b, std::string* error)
{
    termios t{};
    const std::string& dev = b.opt.device;
    b.is_pty = false;
    b.path = dev;
    b.master = ::open(dev.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (b.master < 0 || ::tcgetattr(b.master, &t) != 0) {
        *error = "cannot open " + dev + ": " + std::strerror(errno);
        return false;
    }
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    ::cfsetispeed(&t, B115200);
    ::cfsetospeed(&t, B115200);
    if (::tcsetattr(b.master, TCSANOW, &t) != 0) {
        *error = "cannot set up " + dev + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace

bool Simulator::start(std::string* error)
{
    std::string dummy;
    if (!error)
        error = &dummy;
    std::lock_guard<std::mutex> l(d->m);
    if (d->running) {
        *error = "the box is already running";
        return false;
    }
    Box& b = d->box;
    const Options& o = b.opt;
    if (o.platform < 0 || o.platform > 7) {
        *error = "project type must be 0 to 7";
        return false;
    }
    if (!check_stampa_options(o, error))
        return false;
    if (!d->faults_loaded) {
        if (!arm_faults(b, error))
            return false;
        d->faults_loaded = true;
    }
    if (!b.flash.open(o.flash_path, o.flash_size, error) || !settle_blocks(b, error))
        return false;

    b.wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (b.wake < 0) {
        *error = std::string("eventfd: ") + std::strerror(errno);
        return false;
    }
    if (!(o.device.empty() ? open_pty(b, error) : open_device(b, error))) {
        d->close_fds();
        return false;
    }
    b.stop_req = false;
    b.reset_req = false;
    b.t0 = Clock::now();
    b.activity = Clock::now();
    b.trace("virtual STB, project type %d, flash %u bytes, on %s", o.platform, b.flash.size(), b.path.c_str());
    d->running = true;
    b.prog = static_cast<int>(Prog::Idle);
    d->thread = std::thread([this] { d->main(); });
    return true;
}

void Simulator::stop()
{
    std::lock_guard<std::mutex> l(d->m);
    if (!d->running)
        return;
    d->box.stop_req = true;
    d->wake();
    if (d->thread.joinable())
        d->thread.join();
    d->close_fds();
    d->box.flash.sync();
    d->running = false;
}

bool Simulator::running() const { return d->running.load(); }

std::string Simulator::port_path() const
{
    std::lock_guard<std::mutex> l(d->m);
    return d->box.path;
}

void Simulator::reset()
{
    d->box.reset_req = true;
    d->wake();
}

bool Simulator::add_fault(const std::string& spec, std::string* error)
{
    FaultSpec f;
    if (!parse_fault(spec, &f, error))
        return false;
    d->box.faults.add(f);
    return true;
}

void Simulator::add_fault(const FaultSpec& spec) { d->box.faults.add(spec); }
void Simulator::clear_faults()
{
    d->box.faults.clear();
    d->box.panel.clear_faults();
}
void Simulator::set_speed(double speed) { d->box.speed = speed < 0 ? 0 : speed; }
void Simulator::set_reply_delay(int ms) { d->box.reply_delay = ms < 0 ? 0 : ms; }
void Simulator::set_dma_delay(int ms) { d->box.mem.set_dma_delay(ms); }
void Simulator::set_ddr_window(int range, DdrWindow window) { d->box.mem.set_ddr_window(range, window); }
void Simulator::set_strap(uint32_t value) { d->box.mem.set_strap(value); }
void Simulator::set_clock_calibration(bool ok, uint32_t value) { d->box.mem.set_clock(ok, value); }
void Simulator::set_dll_calibration(bool ok, uint32_t value) { d->box.mem.set_dll(ok, value); }

std::vector<uint8_t> Simulator::flash() const { return d->box.flash.contents(); }
uint32_t Simulator::flash_size() const { return d->box.flash.size(); }

bool Simulator::write_flash(uint32_t offset, const std::vector<uint8_t>& bytes)
{
    std::string err;
    return d->box.flash.write(offset, bytes.data(), bytes.size(), &err) && d->box.flash.sync();
}

std::vector<BlockInfo> Simulator::blocks() const
{
    std::lock_guard<std::mutex> l(d->m);
    return d->box.blocks.empty() && !d->running ? d->box.opt.blocks : d->box.blocks;
}

uint32_t Simulator::peek(uint32_t address) const { return d->box.mem.peek(address); }
void Simulator::poke(uint32_t address, uint32_t value) { d->box.mem.poke(address, value); }
bool Simulator::ddr_ok() const { return d->box.mem.ddr_ok(); }

Counters Simulator::counters() const
{
    std::lock_guard<std::mutex> l(d->box.cm);
    return d->box.cnt;
}

std::string Simulator::program() const { return prog_name(static_cast<Prog>(d->box.prog.load())); }

int Simulator::baud() const { return d->box.rate.load(); }

std::string Simulator::status() const
{
    Counters c = counters();
    char line[512];
    std::snprintf(line, sizeof line,
                  "program %s, %d Bd, project type %d, resets %llu, bytes in %llu out %llu noise %llu, "
                  "reads %llu writes %llu, frames %llu accepted %llu resent %llu crc-errors %llu, "
                  "dump chunks %llu resent %llu, burns %llu failed %llu, faults fired %llu",
                  program().c_str(), baud(), d->box.opt.platform, (unsigned long long)c.resets,
                  (unsigned long long)c.bytes_in, (unsigned long long)c.bytes_out, (unsigned long long)c.noise_bytes,
                  (unsigned long long)c.word_reads, (unsigned long long)c.word_writes,
                  (unsigned long long)c.frames_received, (unsigned long long)c.frames_accepted,
                  (unsigned long long)c.retransmissions, (unsigned long long)c.crc_errors,
                  (unsigned long long)c.dump_chunks, (unsigned long long)c.dump_retransmissions,
                  (unsigned long long)c.burns, (unsigned long long)c.burn_failures, (unsigned long long)c.faults_fired);
    std::string all = std::string(line) + ", " + d->box.keys.status();
    if (d->box.noise.on()) {
        std::snprintf(line, sizeof line, ", line noise dropped %llu flipped %llu doubled %llu bursts %llu",
                      (unsigned long long)c.noise_dropped, (unsigned long long)c.noise_flipped,
                      (unsigned long long)c.noise_doubled, (unsigned long long)c.noise_bursts);
        all += line;
    }
    if (!d->box.opt.stampa.platform.empty())
        all += ", code=" + barcode();
    return all + d->box.panel.status();
}

PanelHeld Simulator::panel() const { return d->box.panel.held(); }
bool Simulator::press_key(uint16_t user_code, uint8_t key_code) { return d->box.panel.press({user_code, key_code}); }
bool Simulator::add_panel_fault(const std::string& spec, std::string* error)
{
    std::string dummy;
    return d->box.panel.add_fault(spec, error ? error : &dummy);
}

std::string Simulator::barcode() const { return barcode_held(d->box); }
std::vector<ReceivedKey> Simulator::keys() const { return d->box.keys.keys(); }
void Simulator::clear_keys() { d->box.keys.clear(); }
void Simulator::reject_key(int32_t value, bool reject) { d->box.keys.reject(value, reject); }

bool Simulator::wait_for_program(const std::string& name, int timeout_ms) const
{
    auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (program() == name)
            return true;
        if (Clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

std::vector<uint8_t> Simulator::downloaded() const { return d->box.download.bytes(); }

FpgaDelays Simulator::fpga_delays() const { return d->box.mem.fpga_delays(); }

std::string Simulator::fpga_status() const { return d->box.mem.fpga_status(); }

}  // namespace stbsim
