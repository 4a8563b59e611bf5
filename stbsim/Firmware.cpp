// What runs when no host holds the box: the firmware (and its console),
// a hung box, and the start of a loaded client program.
#include "ProgramKit.h"

#include <map>

namespace stbsim {

Next run_idle(Box& b)
{
    b.set_prog(Prog::Idle);
    b.in_session = false;
    return run_key_receiver(b);  // the firmware listens for remote-control keys
}

Clock::time_point firmware_console(Box& b)
{
    // What a running firmware prints: lines full of the sync byte, none of
    // them an announcement.
    static const char* const kConsole[] = {"Ready\r\n", "RUN: main loop\r\n",          "ROM check passed\r\n", "R\r\n",
                                           "PWR\r\n",   "Rx 0 errors, Tx 0 errors\r\n"};
    FaultSpec f;
    if (b.prog.load() != static_cast<int>(Prog::Idle) || !b.faults.fire(FaultKind::Chatter, FaultOn::Any, 0, -1, &f))
        return Clock::time_point::max();
    const auto now = Clock::now();
    if (now >= b.next_console_line) {
        b.put(kConsole[b.console_line++ % (sizeof kConsole / sizeof kConsole[0])]);
        b.count([](Counters& c) { ++c.console_lines; });
        b.next_console_line = now + std::chrono::milliseconds(f.ms);
    }
    return b.next_console_line;
}

Next run_crashed(Box& b)
{
    b.set_prog(Prog::Crashed);
    b.in_session = true;
    for (;;)
        (void)b.get(-1);
}

// ---------------------------------------------------------------------------

namespace {
std::map<uint32_t, ClientProgram>& client_registry()
{
    static std::map<uint32_t, ClientProgram> r = {
        {kKindUpgClient, [](Box& b, const std::vector<uint8_t>&) { return run_upgrade_client(b); }},
        {kKindShell, [](Box& b, const std::vector<uint8_t>&) { return run_shell(b); }},
        {kKindPanelBase, run_panel_program},
        {kKindPanelAlder, run_panel_program},
        {kKindPanelDogwood, run_panel_program},
    };
    return r;
}
}  // namespace

void register_client_program(uint32_t kind, ClientProgram fn) { client_registry()[kind] = fn; }

Next run_client(Box& b, const std::vector<uint8_t>& image)
{
    uint32_t kind = b.opt.default_client_kind;
    StandinHeader h;
    if (parse_standin_header(image.data(), image.size(), &h))
        kind = h.kind;
    if (b.opt.ddr_gate && !platform_of(b).ddr_works_from_reset() && !b.mem.ddr_ok()) {
        b.trace("the client was loaded into DDR that does not read back: it never runs");
        return run_crashed(b);
    }
    b.count([](Counters& c) { ++c.programs_loaded; });
    auto it = client_registry().find(kind);
    if (it == client_registry().end()) {
        b.trace("no program of kind 0x%X: the box hangs", kind);
        return run_crashed(b);
    }
    return it->second(b, image);
}

}  // namespace stbsim
