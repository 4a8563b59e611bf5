// The bar-code client: the box's side of the serial-number burn.
//
// Alder, Cedar and Dogwood boxes keep the client resident and start it at
// every reset; a Birch box runs it once the host has loaded it through the
// boot ROM. The client keeps the code in a 512-byte area at the start of the
// flash's last 4 KiB: Alder codes begin at byte 12 of the area, the others at
// byte 0. A chunk written at the first offset starts a new code (the rest of
// the area is erased), so a shorter code never keeps the tail of a longer one.
#include "SimInternal.h"

#include <cstring>
#include <random>

namespace stbsim {

namespace {

enum class Kind { None, Alder, Birch, Cedar, Dogwood };

constexpr uint32_t kAreaFromEnd = 4096;
constexpr uint32_t kAreaSize = 512;

Kind kind_of(const std::string& name)
{
    if (name == "alder")
        return Kind::Alder;
    if (name == "birch")
        return Kind::Birch;
    if (name == "cedar")
        return Kind::Cedar;
    if (name == "dogwood")
        return Kind::Dogwood;
    return Kind::None;
}

int first_offset(Kind k) { return k == Kind::Alder ? 12 : 0; }

uint32_t area_offset(const Flash& f) { return f.size() >= kAreaFromEnd ? f.size() - kAreaFromEnd : 0; }

// The second reply's error code of the "error" fault: "error" 7, "error=N" N.
int error_code(const std::string& fault)
{
    if (fault.rfind("error=", 0) == 0)
        return std::atoi(fault.c_str() + 6);
    return 7;
}

bool fault_known(const std::string& f)
{
    if (f.empty() || f == "wrong-echo" || f == "silent" || f == "error")
        return true;
    if (f.rfind("error=", 0) != 0 || f.size() == 6)
        return false;
    char* end = nullptr;
    long v = std::strtol(f.c_str() + 6, &end, 0);
    return *end == '\0' && v >= 0 && v <= 255;
}

// The sync word the way this client sends it.
std::string sync_word(Kind k, int phase)
{
    const std::string w = "QTSN";
    if (k == Kind::Alder)
        return w.substr(static_cast<size_t>(phase)) + w.substr(0, static_cast<size_t>(phase));
    if (k == Kind::Cedar)
        return "\r\n" + w + "\r\n";
    return w;
}

struct BarcodeClient {
    Box& b;
    Kind kind;

    void write_code(uint32_t at, const uint8_t* chars, size_t n, bool fresh);
    void reply_echo(const std::string& echo);
    void burn_chunk(const uint8_t* pay, size_t n);
    void burn_whole(const uint8_t* pay, size_t n);
    void command(uint8_t k, const uint8_t* pay, size_t n);
    Next serve();
};

void BarcodeClient::write_code(uint32_t at, const uint8_t* chars, size_t n, bool fresh)
{
    uint32_t base = area_offset(b.flash);
    std::string err;
    if (fresh) {
        uint32_t from = static_cast<uint32_t>(first_offset(kind));
        std::vector<uint8_t> blank(kAreaSize - from, 0xFF);
        b.flash.write(base + from, blank.data(), blank.size(), &err);
    }
    if (at + n <= kAreaSize && !b.flash.write(base + at, chars, n, &err))
        b.trace("bar-code client: flash write failed: %s", err.c_str());
    b.flash.sync();
}

void BarcodeClient::reply_echo(const std::string& echo)
{
    const StampaOptions& so = b.opt.stampa;
    if (so.echo_delay_ms > 0)
        b.pause(so.echo_delay_ms);
    if (so.noise_bytes > 0) {
        std::string noise;
        for (int i = 0; i < so.noise_bytes; ++i)
            noise += "~*#"[i % 3];
        b.reply(noise.data(), noise.size());
    }
    size_t at = 0;
    for (int piece : so.echo_pieces) {
        if (piece <= 0 || at >= echo.size())
            continue;
        size_t n = std::min(echo.size() - at, static_cast<size_t>(piece));
        b.put(echo.data() + at, n);
        at += n;
        b.pause(so.echo_gap_ms);
    }
    if (at < echo.size())
        b.put(echo.data() + at, echo.size() - at);
}

// 'p': n, offset, 0, n characters.
void BarcodeClient::burn_chunk(const uint8_t* pay, size_t len)
{
    const std::string& fault = b.opt.stampa.fault;
    size_t n = len >= 3 ? pay[0] : 0;
    if (n < 1 || n > 32 || len != n + 3) {
        b.trace("bar-code client: malformed burn chunk (%zu payload bytes)", len);
        b.reply({'E'});
        return;
    }
    if (fault == "silent") {
        b.trace("fault: burn chunk left unanswered");
        return;
    }
    b.reply({'O'});
    if (fault.rfind("error", 0) == 0) {
        b.reply({'E', 'p', static_cast<uint8_t>(error_code(fault))});
        return;
    }
    uint8_t offset = pay[1];
    write_code(offset, pay + 3, n, offset == first_offset(kind));
    b.reply({'O', 'p', 0x00});
    std::string chars(reinterpret_cast<const char*>(pay + 3), n);
    if (fault == "wrong-echo")
        chars[n / 2] = chars[n / 2] == '?' ? '!' : '?';
    char head[8];
    std::snprintf(head, sizeof head, "sn@%02X:", offset);
    reply_echo(head + chars + " burnt.\r\n");
    b.trace("bar-code client: %zu characters at offset %u", n, offset);
}

// 'X': n, 0, 0, n characters (Birch).
void BarcodeClient::burn_whole(const uint8_t* pay, size_t len)
{
    const std::string& fault = b.opt.stampa.fault;
    size_t n = len >= 3 ? pay[0] : 0;
    if (n < 1 || len != n + 3) {
        b.reply({'E'});
        return;
    }
    if (fault == "silent")
        return;
    b.reply({'O'});
    if (fault.rfind("error", 0) == 0) {
        b.reply({'E'});
        return;
    }
    write_code(0, pay + 3, n, true);
    b.reply({'O'});
    std::string echo(reinterpret_cast<const char*>(pay + 3), n);
    if (fault == "wrong-echo")
        echo[n / 2] = echo[n / 2] == '?' ? '!' : '?';
    reply_echo(echo);
}

void BarcodeClient::command(uint8_t k, const uint8_t* pay, size_t n)
{
    b.in_session = true;
    switch (k) {
    case 'P': {
        std::string v = "OOKESTREL P2P UPG";
        b.reply(v.data(), v.size());
        break;
    }
    case 'p':
        if (kind != Kind::Birch)
            burn_chunk(pay, n);
        break;
    case 'X':
        if (kind == Kind::Birch)
            burn_whole(pay, n);
        break;
    case 0x80:
        if (kind == Kind::Cedar)
            b.reply({'O', 'O', 0x80, static_cast<uint8_t>(barcode_held(b).empty() ? 0x00 : 0x01)});
        break;
    default: b.trace("bar-code client: command 0x%02X ignored", k); break;
    }
    // A burn is the end of the box's session: with auto-reset on, the next
    // box follows once the line has been quiet.
    if (k == 'p' || k == 'X')
        b.in_session = false;
}

Next BarcodeClient::serve()
{
    for (bool have = false;;) {
        int c = have ? '#' : b.get(-1);
        have = false;
        if (c != '#')
            continue;
        int k = b.get(1000);
        if (k == '#') {
            have = true;
            continue;
        }
        if (k < 0)
            continue;
        uint8_t buf[kCommandFrameMax];
        int n = read_command_rest(b, k, buf, "bar-code client");
        if (n == kFrameBadCrc)
            b.reply({'E'});
        if (n < 0)
            continue;
        b.count([](Counters& x) { ++x.commands; });
        command(static_cast<uint8_t>(k), buf + 2, static_cast<size_t>(n));
    }
}

Next run_birch_client(Box& b, const std::vector<uint8_t>&)
{
    b.set_prog(Prog::Barcode);
    b.in_session = true;
    b.set_rate(115200);
    return BarcodeClient{b, Kind::Birch}.serve();
}

const bool kRegistered = (register_client_program(kKindBarcodeBirch, run_birch_client), true);

}  // namespace

bool barcode_client_resident(const Options& o)
{
    Kind k = kind_of(o.stampa.platform);
    return k != Kind::None && k != Kind::Birch;
}

bool check_stampa_options(const Options& o, std::string* error)
{
    const StampaOptions& s = o.stampa;
    if (!s.platform.empty() && kind_of(s.platform) == Kind::None) {
        *error = "the bar-code client is one of alder, birch, cedar, dogwood";
        return false;
    }
    if (kind_of(s.platform) == Kind::Birch && o.platform != 0) {
        *error = "the Birch bar-code client is loaded with the project type 0 header: use project type 0";
        return false;
    }
    if (!fault_known(s.fault)) {
        *error = "bar-code client faults: wrong-echo, error, error=N, silent";
        return false;
    }
    return true;
}

std::string barcode_held(const Box& b)
{
    Kind k = kind_of(b.opt.stampa.platform);
    if (k == Kind::None)
        return {};
    uint8_t area[kAreaSize];
    b.flash.read(area_offset(b.flash), area, sizeof area);
    std::string code;
    for (uint32_t i = static_cast<uint32_t>(first_offset(k)); i < kAreaSize && area[i] != 0xFF && area[i]; ++i)
        code += static_cast<char>(area[i]);
    return code;
}

Next run_barcode_client(Box& b)
{
    (void)kRegistered;
    b.set_prog(Prog::Barcode);
    b.set_rate(115200);
    b.in_session = true;
    Kind k = kind_of(b.opt.stampa.platform);
    std::string word = sync_word(k, static_cast<int>(std::random_device{}() % 4));
    b.trace("bar-code client: announcing \"%s\"", word.c_str());
    for (;;) {
        b.put(word);
        int c = b.get_clean(std::max(1, b.opt.stampa.sync_period_ms));
        if (c == 0xA5)
            break;
    }
    b.trace("bar-code client: the host answered the sync word");
    return BarcodeClient{b, k}.serve();
}

}  // namespace stbsim
