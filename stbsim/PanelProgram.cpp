// The panel program of the front-panel tool: takes the panel record and the
// configuration, reports keys, steps through the LED segments and returns
// the LED map, and moves a lamp position. One program for the three
// platforms; the stand-in's kind chooses the record form.
#include "SimInternal.h"

#include <AtomicFile.h>
#include <ByteOrder.h>
#include <kvcrc.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace stbsim {

namespace {

struct Form {
    uint32_t kind;
    const char* name;
    size_t record;
    size_t config;
};

const Form kForms[] = {
    {kKindPanelBase, "base", 1564, 464},
    {kKindPanelAlder, "alder", 1564, 464},
    {kKindPanelDogwood, "dogwood", 1580, 480},
};

const Form* form_of(uint32_t kind)
{
    for (const Form& f : kForms)
        if (f.kind == kind)
            return &f;
    return nullptr;
}

constexpr int kTickMs = 20;
constexpr int kGapMs = 2000;
constexpr int kMapSends = 6;
constexpr uint8_t kLedStepCount = 10;
constexpr char kBanner[] = "KESTREL P2P UPG";

// The front panel's wiring: which display-memory bit drives map entry i
// (digit i / 8, segment i % 8).
uint8_t wiring(int i) { return static_cast<uint8_t>(i * 37 + 11); }

// Writes `bytes` to DIR/NAME through a temporary file.
void dump_file(const std::string& dir, const char* name, const std::vector<uint8_t>& bytes, Box& b)
{
    const std::string path = dir + "/" + name;
    if (!kv::write_file_atomic(path, bytes.data(), bytes.size()))
        b.trace("panel: cannot write %s", path.c_str());
}

class Panel {
public:
    Panel(Box& box, const Form& form) : b(box), f(form) {}
    [[noreturn]] void run();

private:
    void tick();
    void command();
    void execute(uint8_t k, const uint8_t* pay, size_t n);
    // Whether the command can be done (else the error code of its second reply).
    bool valid(uint8_t k, const uint8_t* pay, size_t n, uint8_t* code);
    void apply(uint8_t k, const uint8_t* pay);
    void data_frame();
    void reply(uint8_t b0, uint8_t b1, uint8_t b2) { b.reply({b0, b1, b2}); }
    // The status after a frame, a step or a lamp move; false when a fault keeps it back.
    void status(int cmd, bool ok, uint8_t state, uint8_t code);
    void led_step(uint8_t step);
    void send_map();
    void lamp_move(uint8_t k);

    Box& b;
    const Form& f;
    size_t expect = 0;  // the data frame announced: 0 none
    bool expect_record = false;
    uint16_t good_steps_mask = 0;
    Clock::time_point map_at = Clock::time_point::max();
    size_t next_scripted = 0;
    Clock::time_point key_at = Clock::time_point::max();
};

void Panel::run()
{
    for (;;) {
        tick();
        const int c = b.get(kTickMs);
        if (c < 0)
            continue;
        if (c == 0x02) {
            bool was_waiting = false;
            b.panel.update([&](PanelHeld& h) {
                was_waiting = h.led_mode && h.map_sends > 0;
                if (was_waiting) {
                    h.map_acknowledged = true;
                    h.led_mode = false;
                }
            });
            if (was_waiting) {
                map_at = Clock::time_point::max();
                b.trace("panel: the host took the LED map");
                continue;
            }
        }
        if (c == '#')
            command();
        else
            b.trace("panel: 0x%02X ignored", c);
    }
}

// Key reports and the LED map go out when they are due.
void Panel::tick()
{
    PanelKey k;
    while (b.panel.take_key(&k)) {
        const uint8_t report[4] = {static_cast<uint8_t>(k.user_code), static_cast<uint8_t>(k.user_code >> 8),
                                   k.key_code, 0};
        b.put(report, sizeof report);
    }
    const auto now = Clock::now();
    if (now >= key_at) {
        if (next_scripted < b.opt.panel.keys.size()) {
            const PanelKey s = b.opt.panel.keys[next_scripted++];
            b.panel.press(s);
            key_at = now + std::chrono::milliseconds(b.opt.panel.key_period_ms);
        } else {
            key_at = Clock::time_point::max();
        }
    }
    if (now >= map_at)
        send_map();
}

void Panel::command()
{
    const int k = b.get(1000);
    if (k == '*') {
        data_frame();
        return;
    }
    uint8_t frame[kCommandFrameMax];
    const int n = k < 0 ? kFrameBrokeOff : read_command_rest(b, k, frame, "panel");
    if (n < 0)
        return;
    b.panel.update([](PanelHeld& h) { ++h.commands; });
    b.trace("panel: command '%c' (0x%02X), %d payload bytes", k >= 0x20 && k < 0x7F ? k : '?', k, n);
    if (b.panel.fire(PanelFault::Silent, k)) {
        b.trace("fault: the panel keeps silent");
        return;
    }
    if (b.panel.fire(PanelFault::FirstError, k)) {
        reply(0x01, static_cast<uint8_t>(k), 0x00);
        return;
    }
    reply(0x00, static_cast<uint8_t>(k), 0x00);
    execute(static_cast<uint8_t>(k), frame + 2, static_cast<size_t>(n));
}

// A command the panel takes: its effect comes before the second reply, and
// what it sends back (banner, step or lamp status) after it.
void Panel::execute(uint8_t k, const uint8_t* pay, size_t n)
{
    const bool faulted = b.panel.fire(PanelFault::SecondError, k);
    if (k != 'Y')
        b.panel.update([](PanelHeld& h) { h.key_mode = false; });
    expect = 0;  // a frame sent again is taken again until the next command
    uint8_t code = 0x03;
    const bool ok = valid(k, pay, n, &code) && !faulted;
    if (ok)
        apply(k, pay);
    reply(ok ? 0x00 : 0x01, k, ok ? 0x00 : code);
    if (!ok)
        return;
    if (k == 'P')
        b.put(kBanner, 15);
    else if (k == 'U')
        led_step(pay[0]);
    else if (k == '\\' || k == ']' || k == '^')
        lamp_move(k);
}

bool Panel::valid(uint8_t k, const uint8_t* pay, size_t n, uint8_t* code)
{
    const bool one = n == 1 && pay[0] == '1';
    switch (k) {
    case 'P': *code = 2; return n == 15 && std::memcmp(pay, kBanner, 15) == 0;
    case 'Q':
    case 'S':
        *code = 2;
        return n == 6 && pay[0] == 0xFF && pay[1] == 0x4E && kv::get_le32(pay + 2) == (k == 'Q' ? 1u : f.config);
    case 'T': return true;
    case 'U': return n == 1 && pay[0] < kLedStepCount && b.panel.held().led_mode;
    case 'X':
    case 'Y': *code = 2; return one;
    case '\\':
    case ']':
    case '^': return one && b.panel.held().lamp_mode;
    case '_': *code = 2; return n == 1 && pay[0] <= 1;
    default:
        b.trace("panel: command 0x%02X unknown", k);
        *code = 0xFF;
        return false;
    }
}

void Panel::apply(uint8_t k, const uint8_t* pay)
{
    switch (k) {
    case 'Q':
    case 'S':
        expect = k == 'Q' ? f.record : f.config;
        expect_record = k == 'Q';
        break;
    case 'T':
        good_steps_mask = 0;
        map_at = Clock::time_point::max();
        b.panel.update([](PanelHeld& h) {
            h.led_mode = true;
            h.good_steps = 0;
            h.map_sends = 0;
            h.map_acknowledged = false;
        });
        break;
    case 'X':
        b.panel.update([](PanelHeld& h) {
            h.lamp_mode = true;
            h.lamp_position = 0;
        });
        break;
    case 'Y':
        b.panel.update([](PanelHeld& h) { h.key_mode = true; });
        next_scripted = 0;
        key_at = Clock::now() + std::chrono::milliseconds(b.opt.panel.key_period_ms);
        break;
    case '_': b.panel.update([&](PanelHeld& h) { h.lit = pay[0]; }); break;
    default: break;
    }
}

void Panel::status(int cmd, bool ok, uint8_t state, uint8_t code)
{
    if (b.panel.fire(PanelFault::NoStatus, cmd)) {
        b.trace("fault: no status");
        return;
    }
    if (b.panel.fire(PanelFault::StatusError, cmd)) {
        ok = false;
        state = 0x01;
        code = 0x03;
    }
    reply(ok ? 0x00 : 0x01, state, code);
}

void Panel::data_frame()
{
    if (expect == 0) {
        b.trace("panel: a data frame nobody announced: refused");
        b.drain_quiet(300);
        status('*', false, 0x00, 0x02);
        return;
    }
    std::vector<uint8_t> buf(expect + 4);
    if (!b.get_n(buf.data(), buf.size(), kGapMs)) {
        b.trace("panel: data frame broke off");
        return;
    }
    if (kv::crc32(buf.data(), expect) != kv::get_le32(buf.data() + expect)) {
        b.trace("panel: data frame with a bad CRC");
        status('*', false, 0x01, 0x01);
        return;
    }
    buf.resize(expect);
    const bool record = expect_record;
    b.trace("panel: %s of %zu bytes received", record ? "record" : "configuration", buf.size());
    b.panel.update([&](PanelHeld& h) { (record ? h.record : h.config) = buf; });
    if (!b.opt.panel.dump_dir.empty())
        dump_file(b.opt.panel.dump_dir, record ? "panel-record.bin" : "panel-config.bin", buf, b);
    status('*', true, 0x00, 0x00);
}

void Panel::led_step(uint8_t step)
{
    if (b.panel.fire(PanelFault::StatusError, 'U')) {
        b.trace("fault: step %u not acknowledged", step);
        reply(0x01, step, 0x03);
        return;
    }
    int good = 0;
    b.panel.update([&](PanelHeld& h) {
        if (step <= 1)
            h.lit = step;
        good = ++h.good_steps;
    });
    good_steps_mask |= static_cast<uint16_t>(1u << step);
    status('U', true, step, 0x00);
    if (good == kLedStepCount)
        map_at = Clock::now() + std::chrono::milliseconds(b.opt.panel.map_delay_ms);
}

// The map derived from the steps: a segment acknowledged as lit gives the
// display bits of that segment in every digit; the others stay 0xFF.
void Panel::send_map()
{
    std::vector<uint8_t> map(256);
    for (int i = 0; i < 256; ++i)
        map[i] = (good_steps_mask >> (2 + i % 8)) & 1 ? wiring(i) : 0xFF;
    uint32_t crc = kv::crc32(map.data(), map.size());
    if (b.panel.fire(PanelFault::MapCrc, 'T')) {
        b.trace("fault: the LED map goes out with a bad CRC");
        crc ^= 0x00010000u;
    }
    std::vector<uint8_t> frame = {0x23, 0x2A};
    frame.insert(frame.end(), map.begin(), map.end());
    kv::append_le32(frame, crc);
    b.put(frame.data(), frame.size());
    int sends = 0;
    b.panel.update([&](PanelHeld& h) {
        h.led_map = map;
        sends = ++h.map_sends;
    });
    map_at = sends < kMapSends ? Clock::now() + std::chrono::milliseconds(b.opt.panel.map_delay_ms)
                               : Clock::time_point::max();
}

void Panel::lamp_move(uint8_t k)
{
    const int n = std::max(1, b.opt.panel.lamp_positions);
    int pos = 0;
    b.panel.update([&](PanelHeld& h) {
        if (k == '\\')
            h.lamp_position = (h.lamp_position + n - 1) % n;
        else if (k == ']')
            h.lamp_position = (h.lamp_position + 1) % n;
        pos = h.lamp_position;
        if (k == '^') {
            h.confirmed_lamp = pos;
            h.lamp_mode = false;
        }
    });
    // An arrow's status carries the position now lit; the confirmation's is
    // the plain status of a panel, its state (0, back to idle) and error code.
    if (k == '^')
        status(k, true, 0x00, 0x00);
    else
        status(k, true, static_cast<uint8_t>(pos), 0x00);
}

}  // namespace

Next run_panel_program(Box& b, const std::vector<uint8_t>& image)
{
    StandinHeader h;
    const Form* form = parse_standin_header(image.data(), image.size(), &h) ? form_of(h.kind) : nullptr;
    if (!form)
        return run_crashed(b);
    b.set_prog(Prog::Panel);
    b.in_session = true;
    b.set_rate(115200);
    b.panel.update([&](PanelHeld& held) {
        held = PanelHeld{};
        held.loaded = true;
        held.form = form->name;
    });
    b.trace("panel program (%s) runs", form->name);
    Panel(b, *form).run();
}

const char* panel_form_name(uint32_t kind)
{
    const Form* f = form_of(kind);
    return f ? f->name : nullptr;
}

// ---------------------------------------------------------------------------
// The state and its faults.

namespace {

struct FaultName {
    const char* name;
    PanelFault kind;
};
const FaultName kFaultNames[] = {
    {"first-error", PanelFault::FirstError}, {"second-error", PanelFault::SecondError},
    {"silent", PanelFault::Silent},          {"status-error", PanelFault::StatusError},
    {"no-status", PanelFault::NoStatus},     {"map-crc", PanelFault::MapCrc},
};

bool parse_number(const std::string& s, long max, long* out)
{
    char* end = nullptr;
    const long v = std::strtol(s.c_str(), &end, 0);
    if (s.empty() || *end || v < 0 || v > max)
        return false;
    *out = v;
    return true;
}

}  // namespace

std::string panel_fault_help()
{
    return "Panel faults (--panel-fault, or \"panel-fault SPEC\" on the control input): KIND[:cmd=C][,times=N]\n"
           "  first-error   the first reply says 0x01        second-error  the second reply says 0x01\n"
           "  silent        no reply at all                  status-error  the status after a data frame,\n"
           "  no-status     no status after a data frame,                  a LED step or a lamp move says 0x01\n"
           "                a LED step or a lamp move        map-crc       the LED map goes out with a bad CRC\n"
           "cmd=C: only for command letter C (or 0xNN; '*' for data frames); times=N: so often (default 1,\n"
           "0: every time). Examples: \"first-error:cmd=Y\", \"second-error:cmd=S\", \"map-crc:times=2\".\n";
}

bool PanelState::parse(const std::string& spec, Fault* out, std::string* error)
{
    const size_t colon = spec.find(':');
    const std::string name = spec.substr(0, colon);
    Fault f{};
    bool known = false;
    for (const FaultName& n : kFaultNames)
        if (name == n.name) {
            f.kind = n.kind;
            known = true;
        }
    if (!known) {
        *error = "unknown panel fault \"" + name + "\"";
        return false;
    }
    for (size_t at = colon; at != std::string::npos && at < spec.size();) {
        const size_t comma = spec.find(',', at + 1);
        const std::string kv = spec.substr(at + 1, comma == std::string::npos ? std::string::npos : comma - at - 1);
        at = comma;
        long v = 0;
        if (kv.rfind("cmd=", 0) == 0 && kv.size() == 5) {
            f.cmd = static_cast<uint8_t>(kv[4]);
        } else if (kv.rfind("cmd=", 0) == 0 && parse_number(kv.substr(4), 255, &v)) {
            f.cmd = static_cast<int>(v);
        } else if (kv.rfind("times=", 0) == 0 && parse_number(kv.substr(6), 1000000, &v)) {
            f.times = static_cast<int>(v);
        } else {
            *error = "panel fault \"" + spec + "\": \"" + kv + "\" is not cmd=C or times=N";
            return false;
        }
    }
    *out = f;
    return true;
}

bool check_panel_fault(const std::string& spec, std::string* error)
{
    PanelState s;
    return s.add_fault(spec, error);
}

bool PanelState::configure(const PanelOptions& o, std::string* error)
{
    for (const std::string& spec : o.faults)
        if (!add_fault(spec, error))
            return false;
    return true;
}

bool PanelState::add_fault(const std::string& spec, std::string* error)
{
    Fault f;
    if (!parse(spec, &f, error))
        return false;
    std::lock_guard<std::mutex> l(m_);
    faults_.push_back(f);
    return true;
}

void PanelState::clear_faults()
{
    std::lock_guard<std::mutex> l(m_);
    faults_.clear();
}

bool PanelState::fire(PanelFault kind, int cmd)
{
    std::lock_guard<std::mutex> l(m_);
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (it->kind != kind || (it->cmd >= 0 && it->cmd != cmd))
            continue;
        if (it->times > 0 && --it->times == 0)
            faults_.erase(it);
        return true;
    }
    return false;
}

bool PanelState::press(PanelKey k)
{
    std::lock_guard<std::mutex> l(m_);
    if (!held_.key_mode || pressed_.size() >= 256)
        return false;
    pressed_.push_back(k);
    return true;
}

bool PanelState::take_key(PanelKey* k)
{
    std::lock_guard<std::mutex> l(m_);
    if (pressed_.empty())
        return false;
    *k = pressed_.front();
    pressed_.pop_front();
    return true;
}

PanelHeld PanelState::held() const
{
    std::lock_guard<std::mutex> l(m_);
    return held_;
}

std::string PanelState::status() const
{
    std::lock_guard<std::mutex> l(m_);
    if (!held_.loaded)
        return {};
    auto part = [](const std::vector<uint8_t>& v) {
        char b[32];
        const uLong crc = v.empty() ? 0 : crc32(0L, v.data(), static_cast<uInt>(v.size()));
        std::snprintf(b, sizeof b, "%zu:%08lx", v.size(), static_cast<unsigned long>(crc));
        return std::string(b);
    };
    return ", panel record=" + part(held_.record) + " config=" + part(held_.config);
}

std::string panel_control(Simulator& box, const std::string& line)
{
    std::string err;
    if (line.rfind("panel-fault ", 0) == 0)
        return box.add_panel_fault(line.substr(12), &err) ? "ok: panel fault armed\n" : "error: " + err + "\n";
    if (line.rfind("press-key ", 0) != 0)
        return {};
    std::string rest = line.substr(10);
    const size_t blank = rest.find(' ');
    std::vector<PanelKey> keys;
    if (blank == std::string::npos || !parse_panel_keys(rest.replace(blank, 1, ":"), &keys, &err) || keys.size() != 1)
        return "error: press-key takes USERCODE KEYCODE, e.g. press-key 0x20df 0x10\n";
    if (!box.press_key(keys[0].user_code, keys[0].key_code))
        return "error: no key acquisition runs on the panel\n";
    return "ok: key pressed\n";
}

bool parse_panel_keys(const std::string& text, std::vector<PanelKey>* out, std::string* error)
{
    std::vector<PanelKey> keys;
    for (size_t at = 0; at < text.size();) {
        size_t comma = text.find(',', at);
        const std::string item = text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        at = comma == std::string::npos ? text.size() : comma + 1;
        const size_t colon = item.find(':');
        long user = 0, key = 0;
        if (colon == std::string::npos || !parse_number(item.substr(0, colon), 0xFFFF, &user) ||
            !parse_number(item.substr(colon + 1), 0xFF, &key)) {
            *error = "\"" + item + "\" is not USERCODE:KEYCODE";
            return false;
        }
        keys.push_back({static_cast<uint16_t>(user), static_cast<uint8_t>(key)});
    }
    *out = std::move(keys);
    return true;
}

}  // namespace stbsim
