#include "SimInternal.h"

#include <cerrno>
#include <cstdlib>

namespace stbsim {

namespace {

bool parse_uint(const std::string& s, uint64_t* out)
{
    if (s.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(s.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || s[0] == '-')
        return false;
    *out = v;
    return true;
}

// What a fault kind is and what it needs.
struct KindRule {
    const char* name;
    FaultKind kind;
    FaultOn default_on;  // the events it selects without a selector
    const char* no_selector;  // refusal when it is given a selector; null: it takes one
    bool needs_ms;
    FaultOn only_on;  // the one event class it applies to; Any: every class
    const char* only_on_refusal;
};

constexpr const char* kBurnSideNoSelector = "verify, burn, stuck, garble, announce and chatter take no selector";

constexpr KindRule kKinds[] = {
    {"crc", FaultKind::Crc, FaultOn::Frame, nullptr, false, FaultOn::Any, nullptr},
    {"seq", FaultKind::Seq, FaultOn::Frame, nullptr, false, FaultOn::Any, nullptr},
    {"drop", FaultKind::Drop, FaultOn::Command, nullptr, false, FaultOn::Any, nullptr},
    {"delay", FaultKind::Delay, FaultOn::Command, nullptr, true, FaultOn::Any, nullptr},
    {"stall", FaultKind::Stall, FaultOn::Command, nullptr, true, FaultOn::Any, nullptr},
    {"dump", FaultKind::Dump, FaultOn::Chunk, nullptr, false, FaultOn::Chunk,
     "dump applies to dump chunks (chunk=N or every=N)"},
    {"verify", FaultKind::Verify, FaultOn::Any, kBurnSideNoSelector, false, FaultOn::Any, nullptr},
    {"burn", FaultKind::Burn, FaultOn::Any, kBurnSideNoSelector, false, FaultOn::Any, nullptr},
    {"reset", FaultKind::Reset, FaultOn::Command, nullptr, false, FaultOn::Any, nullptr},
    {"split", FaultKind::Split, FaultOn::Read, nullptr, false, FaultOn::Read,
     "split applies to word reads (read=N or every=N)"},
    {"lose", FaultKind::Lose, FaultOn::Command, nullptr, false, FaultOn::Any, nullptr},
    {"garble", FaultKind::Garble, FaultOn::Any, kBurnSideNoSelector, false, FaultOn::Any, nullptr},
    {"trickle", FaultKind::Trickle, FaultOn::Command, nullptr, true, FaultOn::Any, nullptr},
    {"addr", FaultKind::Addr, FaultOn::Command, nullptr, false, FaultOn::Any, nullptr},
    {"stuck", FaultKind::Stuck, FaultOn::Any, kBurnSideNoSelector, false, FaultOn::Any, nullptr},
    {"announce", FaultKind::Announce, FaultOn::Any, kBurnSideNoSelector, true, FaultOn::Any, nullptr},
    {"chatter", FaultKind::Chatter, FaultOn::Any, kBurnSideNoSelector, true, FaultOn::Any, nullptr},
    {"oversize", FaultKind::Oversize, FaultOn::Command, nullptr, false, FaultOn::Any, nullptr},
    {"keytalk", FaultKind::KeyTalk, FaultOn::Any, "keytalk takes no selector", false, FaultOn::Any, nullptr},
};

const KindRule* kind_rule(const std::string& name)
{
    for (const KindRule& r : kKinds)
        if (name == r.name)
            return &r;
    return nullptr;
}

// A fault being parsed: its spec and which of the selectors were given.
struct Parsed {
    FaultSpec f;
    bool have_class = false;
    bool have_every = false;
    bool have_at = false;
    uint64_t every = 0;
};

// The keys with a number in a range.
struct NumberKey {
    const char* key;
    uint64_t lo, hi;
    const char* refusal;
    void (*set)(Parsed&, uint64_t);
};

constexpr NumberKey kNumberKeys[] = {
    {"every", 1, 0xFFFFFFFFu, "every wants a count from 1",
     [](Parsed& p, uint64_t n) { p.every = n, p.have_every = true; }},
    {"times", 1, 1000000, "times wants a count from 1", [](Parsed& p, uint64_t n) { p.f.times = static_cast<int>(n); }},
    {"ms", 0, 3600000, "ms wants milliseconds up to an hour",
     [](Parsed& p, uint64_t n) { p.f.ms = static_cast<int>(n); }},
    {"at", 0, 100, "at wants a percentage 0..100",
     [](Parsed& p, uint64_t n) { p.f.percent = static_cast<int>(n), p.have_at = true; }},
    {"byte", 0, 65535, "byte wants a byte index from 0", [](Parsed& p, uint64_t n) { p.f.byte = static_cast<int>(n); }},
    {"gap", 0, 60000, "gap wants milliseconds up to a minute",
     [](Parsed& p, uint64_t n) { p.f.gap_ms = static_cast<int>(n); }},
};

// The event classes by the name a selector gives them.
constexpr std::pair<const char*, FaultOn> kClasses[] = {
    {"frame", FaultOn::Frame}, {"chunk", FaultOn::Chunk}, {"block", FaultOn::Block},
    {"read", FaultOn::Read},   {"cmd", FaultOn::Command},
};

bool class_named(const std::string& name, FaultOn* on)
{
    for (const auto& [n, c] : kClasses)
        if (name == n) {
            *on = c;
            return true;
        }
    return false;
}

// A letter, or a byte value.
bool parse_char(const std::string& val, int* out)
{
    uint64_t n = 0;
    if (val.size() == 1)
        *out = static_cast<unsigned char>(val[0]);
    else if (parse_uint(val, &n) && n <= 0xFF)
        *out = static_cast<int>(n);
    else
        return false;
    return true;
}

// pieces=A+B+..: sizes from 1 to 4 that add up to 4. The refusal, or "".
std::string parse_pieces(const std::string& val, std::vector<int>* pieces)
{
    pieces->clear();
    size_t p = 0;
    int sum = 0;
    while (p <= val.size()) {
        size_t plus = val.find('+', p);
        std::string part = val.substr(p, plus == std::string::npos ? std::string::npos : plus - p);
        p = plus == std::string::npos ? val.size() + 1 : plus + 1;
        uint64_t n = 0;
        if (!parse_uint(part, &n) || n == 0 || n > 4)
            return "pieces are sizes from 1 to 4 joined by '+'";
        pieces->push_back(static_cast<int>(n));
        sum += static_cast<int>(n);
    }
    return sum == 4 ? "" : "pieces must add up to the 4 bytes of a reply";
}

// One KEY=VALUE. The refusal, or "".
std::string apply_key(Parsed& p, const std::string& key, const std::string& val)
{
    uint64_t n = 0;
    FaultOn on;
    if (key != "cmd" && class_named(key, &on)) {
        if (!parse_uint(val, &n) || n == 0 || n > 0xFFFFFFFFu)
            return key + " wants a count from 1";
        p.f.on = on;
        p.f.nth = static_cast<uint32_t>(n);
        p.have_class = true;
        return "";
    }
    for (const NumberKey& k : kNumberKeys)
        if (key == k.key) {
            if (!parse_uint(val, &n) || n < k.lo || n > k.hi)
                return k.refusal;
            k.set(p, n);
            return "";
        }
    if (key == "on") {
        if (!class_named(val, &p.f.on))
            return "on= takes frame, chunk, block, read or cmd";
        p.have_class = true;
    } else if (key == "cmd") {
        if (!parse_char(val, &p.f.command))
            return "cmd= takes a letter or a byte value";
        p.f.on = FaultOn::Command;
        p.have_class = true;
    } else if (key == "as") {
        if (!parse_char(val, &p.f.as))
            return "as= takes a character or a byte value";
    } else if (key == "pieces") {
        return parse_pieces(val, &p.f.pieces);
    } else {
        return "unknown key \"" + key + "\"";
    }
    return "";
}

// The comma-separated KEY=VALUE list after the kind. The refusal, or "".
std::string apply_keys(Parsed& p, const std::string& rest)
{
    if (rest.empty())
        return "nothing after ':'";
    size_t pos = 0;
    while (pos <= rest.size()) {
        size_t comma = rest.find(',', pos);
        std::string item = rest.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        pos = comma == std::string::npos ? rest.size() + 1 : comma + 1;
        size_t eq = item.find('=');
        if (eq == std::string::npos || eq == 0 || eq + 1 == item.size())
            return "expected KEY=VALUE, got \"" + item + "\"";
        std::string why = apply_key(p, item.substr(0, eq), item.substr(eq + 1));
        if (!why.empty())
            return why;
    }
    return "";
}

// Settles which events the fault selects and checks it against its kind's
// rule. The refusal, or "".
std::string settle(Parsed& p, const KindRule& rule)
{
    FaultSpec& f = p.f;
    if (f.kind == FaultKind::Lose && p.have_at) {
        if (p.have_class || p.have_every)
            return "lose takes either at=P (burn progress) or a reply selector";
        f.on = FaultOn::Any;
        p.have_class = true;
    }
    if (p.have_every) {
        if (f.nth != 0)
            return "give either a count or every=, not both";
        f.every = static_cast<uint32_t>(p.every);
        if (!p.have_class)
            f.on = rule.default_on;
        if (f.on == FaultOn::Any || f.on == FaultOn::Command)
            f.on = FaultOn::Frame;
    } else if (!p.have_class) {
        f.on = rule.default_on;
        if (f.on != FaultOn::Any && f.on != FaultOn::Command)
            f.nth = 1;
    }
    if (rule.no_selector && f.on != FaultOn::Any)
        return rule.no_selector;
    if (rule.needs_ms && f.ms <= 0)
        return "needs ms=M";
    if (rule.only_on != FaultOn::Any && f.on != rule.only_on)
        return rule.only_on_refusal;
    return "";
}

}  // namespace

bool persistent(FaultKind k) { return k == FaultKind::Announce || k == FaultKind::Chatter || k == FaultKind::KeyTalk; }

std::vector<std::string> fault_kind_names()
{
    std::vector<std::string> v;
    for (const KindRule& r : kKinds)
        v.push_back(r.name);
    return v;
}

bool parse_fault(const std::string& text, FaultSpec* out, std::string* error)
{
    const std::string name = text.substr(0, text.find(':'));
    const KindRule* rule = kind_rule(name);
    Parsed p;
    std::string why;
    if (!rule) {
        why = "unknown kind \"" + name + "\"";
    } else {
        p.f.kind = rule->kind;
        if (text.size() > name.size())
            why = apply_keys(p, text.substr(name.size() + 1));
        if (why.empty())
            why = settle(p, *rule);
    }
    if (!why.empty()) {
        if (error)
            *error = "fault \"" + text + "\": " + why;
        return false;
    }
    FaultSpec& f = p.f;
    if (f.kind == FaultKind::Stuck && f.ms <= 0)
        f.ms = 200;
    if (f.kind == FaultKind::Split && f.pieces.empty())
        f.pieces = {1, 1, 1, 1};
    if (f.times < 0)
        f.times = (f.every || persistent(f.kind)) ? -1 : 1;
    *out = f;
    return true;
}

std::string fault_help()
{
    return "Faults (--fault, repeatable): KIND[:KEY=VALUE[,KEY=VALUE]...]\n"
           "  Selectors (counted from 1): frame=N  Nth data frame of a transfer (resends included)\n"
           "                              chunk=N  Nth dump chunk sent (resends included)\n"
           "                              block=N  Nth block frame of the Alder client download\n"
           "                              read=N   Nth word read since the last reset\n"
           "                              cmd=C    command frames with letter C (or a byte 0xNN)\n"
           "                              every=N  every Nth such event (with on=frame|chunk|block|read)\n"
           "                              times=K  fire at most K times (default 1; unlimited with every=)\n"
           "  crc      bad CRC check (data frame answered 'E'; Alder block answered with its own number)\n"
           "  seq      acknowledge a data frame with the previous sequence number\n"
           "  drop     send no reply (default: the next command)\n"
           "  delay    delay the reply by ms=M\n"
           "  stall    fall silent for ms=M, losing what arrives\n"
           "  dump     corrupt a dump chunk (one byte flipped; the CRC stays the true one)\n"
           "  verify   fail the verification of the next burn (reply 'E', 0x0E)\n"
           "  burn     fail the flash write during the burn at=P percent (reply 'E')\n"
           "  reset    reset the box at the selected event\n"
           "  split    answer a word read in pieces=A+B+.. (default 1+1+1+1) with gap=MS (100)\n"
           "  lose     lose byte=K (default 0) of a reply; with at=P: lose the 'B' (byte=1: the percentage)\n"
           "           of the burn progress at P percent, so that 70 ('F') stands where 'B' belongs\n"
           "  garble   the 'B' of the burn progress at at=P percent arrives as as=C (default 'F')\n"
           "  trickle  send a reply (or a dump chunk, chunk=N) one byte every ms=M\n"
           "  addr     answer a shell.img read with the data of another address (valid CRC)\n"
           "  stuck    the burn sticks at at=P percent, repeating 'B' P every ms=M (200) until reset\n"
           "  announce announce every ms=M after a reset; the last announcement crosses the host's first\n"
           "           bytes (stays armed)\n"
           "  chatter  while the firmware runs (before a reset), print console lines full of 'R'\n"
           "           (\"Ready\", \"RUN\", \"ROM\" ...) every ms=M (stays armed)\n"
           "  keytalk  the remote-control receiver prints a console line before and after each key\n"
           "           answer (stays armed)\n"
           "  oversize the next slave info lists 70 blocks (3380 bytes, more than a host's record holds)\n"
           "           (crc:cmd=Q,times=N instead: the slave info's CRC is wrong N times)\n"
           "  Examples: crc:frame=3  crc:every=5  seq:frame=2  drop:cmd=P  delay:frame=1,ms=4000\n"
           "            stall:frame=10,ms=5000  dump:chunk=2  verify  burn:at=40  reset:frame=7\n"
           "            split:read=1,pieces=1+3,gap=200  crc:block=2  lose:at=70  lose:cmd=P,byte=1\n"
           "            garble:at=80  trickle:chunk=1,ms=3000  addr  stuck:at=50  announce:ms=50  chatter:ms=100\n"
           "            keytalk\n"
           "            drop:cmd=U (silent after the finish)\n";
}

void FaultSet::add(const FaultSpec& f)
{
    std::lock_guard<std::mutex> l(m_);
    FaultSpec g = f;
    if (g.times < 0 && g.every == 0 && !persistent(g.kind))
        g.times = 1;
    faults_.push_back(g);
}

void FaultSet::clear()
{
    std::lock_guard<std::mutex> l(m_);
    faults_.clear();
}

bool FaultSet::fire(FaultKind kind, FaultOn on, uint64_t count, int cmd, FaultSpec* out)
{
    std::lock_guard<std::mutex> l(m_);
    for (auto& f : faults_) {
        if (f.kind != kind || f.times == 0 || f.on != on)
            continue;
        bool match = false;
        if (on == FaultOn::Any) {
            match = true;
        } else if (on == FaultOn::Command) {
            match = f.command < 0 || f.command == cmd;
            if (match && f.every)
                match = count % f.every == 0;
        } else {
            match = (f.nth && count == f.nth) || (f.every && count % f.every == 0);
        }
        if (!match)
            continue;
        if (f.times > 0)
            --f.times;
        if (out)
            *out = f;
        return true;
    }
    return false;
}

}  // namespace stbsim
