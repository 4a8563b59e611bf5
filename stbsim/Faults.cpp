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

FaultOn default_class(FaultKind k)
{
    switch (k) {
    case FaultKind::Dump: return FaultOn::Chunk;
    case FaultKind::Split: return FaultOn::Read;
    case FaultKind::Verify:
    case FaultKind::Burn:
    case FaultKind::Stuck:
    case FaultKind::Garble:
    case FaultKind::Announce:
    case FaultKind::Chatter:
    case FaultKind::KeyTalk: return FaultOn::Any;
    case FaultKind::Drop:
    case FaultKind::Delay:
    case FaultKind::Stall:
    case FaultKind::Reset:
    case FaultKind::Lose:
    case FaultKind::Trickle:
    case FaultKind::Addr:
    case FaultKind::Oversize: return FaultOn::Command;
    default: return FaultOn::Frame;
    }
}

}  // namespace

bool persistent(FaultKind k)
{
    return k == FaultKind::Announce || k == FaultKind::Chatter || k == FaultKind::KeyTalk;
}

bool parse_fault(const std::string& text, FaultSpec* out, std::string* error)
{
    auto fail = [&](const std::string& why) {
        if (error)
            *error = "fault \"" + text + "\": " + why;
        return false;
    };
    static const std::map<std::string, FaultKind> kinds = {
        {"crc", FaultKind::Crc},     {"seq", FaultKind::Seq},       {"drop", FaultKind::Drop},
        {"delay", FaultKind::Delay}, {"stall", FaultKind::Stall},   {"dump", FaultKind::Dump},
        {"verify", FaultKind::Verify}, {"burn", FaultKind::Burn},   {"reset", FaultKind::Reset},
        {"split", FaultKind::Split}, {"lose", FaultKind::Lose},     {"garble", FaultKind::Garble},
        {"trickle", FaultKind::Trickle},
        {"addr", FaultKind::Addr},   {"stuck", FaultKind::Stuck},   {"announce", FaultKind::Announce},
        {"chatter", FaultKind::Chatter}, {"oversize", FaultKind::Oversize}, {"keytalk", FaultKind::KeyTalk},
    };
    FaultSpec f;
    std::string name = text.substr(0, text.find(':'));
    auto k = kinds.find(name);
    if (k == kinds.end())
        return fail("unknown kind \"" + name + "\"");
    f.kind = k->second;
    bool have_class = false;
    bool have_every = false;
    bool have_at = false;
    uint64_t every = 0;
    if (text.size() > name.size()) {
        std::string rest = text.substr(name.size() + 1);
        if (rest.empty())
            return fail("nothing after ':'");
        size_t pos = 0;
        while (pos <= rest.size()) {
            size_t comma = rest.find(',', pos);
            std::string item = rest.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
            pos = comma == std::string::npos ? rest.size() + 1 : comma + 1;
            size_t eq = item.find('=');
            if (eq == std::string::npos || eq == 0 || eq + 1 == item.size())
                return fail("expected KEY=VALUE, got \"" + item + "\"");
            std::string key = item.substr(0, eq), val = item.substr(eq + 1);
            uint64_t n = 0;
            if (key == "frame" || key == "chunk" || key == "block" || key == "read") {
                if (!parse_uint(val, &n) || n == 0 || n > 0xFFFFFFFFu)
                    return fail(key + " wants a count from 1");
                f.on = key == "frame" ? FaultOn::Frame
                       : key == "chunk" ? FaultOn::Chunk
                       : key == "block" ? FaultOn::Block
                                        : FaultOn::Read;
                f.nth = static_cast<uint32_t>(n);
                have_class = true;
            } else if (key == "on") {
                if (val == "frame") f.on = FaultOn::Frame;
                else if (val == "chunk") f.on = FaultOn::Chunk;
                else if (val == "block") f.on = FaultOn::Block;
                else if (val == "read") f.on = FaultOn::Read;
                else if (val == "cmd") f.on = FaultOn::Command;
                else return fail("on= takes frame, chunk, block, read or cmd");
                have_class = true;
            } else if (key == "cmd") {
                if (val.size() == 1) {
                    f.command = static_cast<unsigned char>(val[0]);
                } else if (parse_uint(val, &n) && n <= 0xFF) {
                    f.command = static_cast<int>(n);
                } else {
                    return fail("cmd= takes a letter or a byte value");
                }
                f.on = FaultOn::Command;
                have_class = true;
            } else if (key == "every") {
                if (!parse_uint(val, &every) || every == 0 || every > 0xFFFFFFFFu)
                    return fail("every wants a count from 1");
                have_every = true;
            } else if (key == "times") {
                if (!parse_uint(val, &n) || n == 0 || n > 1000000)
                    return fail("times wants a count from 1");
                f.times = static_cast<int>(n);
            } else if (key == "ms") {
                if (!parse_uint(val, &n) || n > 3600000)
                    return fail("ms wants milliseconds up to an hour");
                f.ms = static_cast<int>(n);
            } else if (key == "at") {
                if (!parse_uint(val, &n) || n > 100)
                    return fail("at wants a percentage 0..100");
                f.percent = static_cast<int>(n);
                have_at = true;
            } else if (key == "as") {
                if (val.size() == 1)
                    f.as = static_cast<unsigned char>(val[0]);
                else if (parse_uint(val, &n) && n <= 0xFF)
                    f.as = static_cast<int>(n);
                else
                    return fail("as= takes a character or a byte value");
            } else if (key == "byte") {
                if (!parse_uint(val, &n) || n > 65535)
                    return fail("byte wants a byte index from 0");
                f.byte = static_cast<int>(n);
            } else if (key == "gap") {
                if (!parse_uint(val, &n) || n > 60000)
                    return fail("gap wants milliseconds up to a minute");
                f.gap_ms = static_cast<int>(n);
            } else if (key == "pieces") {
                f.pieces.clear();
                size_t p = 0;
                int sum = 0;
                while (p <= val.size()) {
                    size_t plus = val.find('+', p);
                    std::string part = val.substr(p, plus == std::string::npos ? std::string::npos : plus - p);
                    p = plus == std::string::npos ? val.size() + 1 : plus + 1;
                    if (!parse_uint(part, &n) || n == 0 || n > 4)
                        return fail("pieces are sizes from 1 to 4 joined by '+'");
                    f.pieces.push_back(static_cast<int>(n));
                    sum += static_cast<int>(n);
                }
                if (sum != 4)
                    return fail("pieces must add up to the 4 bytes of a reply");
            } else {
                return fail("unknown key \"" + key + "\"");
            }
        }
    }
    if (f.kind == FaultKind::Lose && have_at) {
        if (have_class || have_every)
            return fail("lose takes either at=P (burn progress) or a reply selector");
        f.on = FaultOn::Any;
        have_class = true;
    }
    if (have_every) {
        if (f.nth != 0)
            return fail("give either a count or every=, not both");
        f.every = static_cast<uint32_t>(every);
        if (!have_class || f.on == FaultOn::Command)
            f.on = have_class ? f.on : default_class(f.kind);
        if (f.on == FaultOn::Any || f.on == FaultOn::Command)
            f.on = FaultOn::Frame;
    } else if (!have_class) {
        f.on = default_class(f.kind);
        if (f.on != FaultOn::Any && f.on != FaultOn::Command)
            f.nth = 1;
    }
    if ((f.kind == FaultKind::Verify || f.kind == FaultKind::Burn || f.kind == FaultKind::Stuck ||
         f.kind == FaultKind::Garble || f.kind == FaultKind::Announce || f.kind == FaultKind::Chatter) &&
        f.on != FaultOn::Any)
        return fail("verify, burn, stuck, garble, announce and chatter take no selector");
    if (f.kind == FaultKind::KeyTalk && f.on != FaultOn::Any)
        return fail("keytalk takes no selector");
    if ((f.kind == FaultKind::Announce || f.kind == FaultKind::Chatter || f.kind == FaultKind::Trickle) && f.ms <= 0)
        return fail("needs ms=M");
    if (f.kind == FaultKind::Stuck && f.ms <= 0)
        f.ms = 200;
    if (f.kind == FaultKind::Split && f.on != FaultOn::Read)
        return fail("split applies to word reads (read=N or every=N)");
    if (f.kind == FaultKind::Dump && f.on != FaultOn::Chunk)
        return fail("dump applies to dump chunks (chunk=N or every=N)");
    if ((f.kind == FaultKind::Delay || f.kind == FaultKind::Stall) && f.ms <= 0)
        return fail("needs ms=M");
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
