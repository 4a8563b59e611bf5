// corvane-cli remote: remote-control keys to the box, by name, at random,
// recorded from standard input, or replayed from a record file; the same log
// lines as the "Remote_Ctrl" tab, on standard output and in the day's RCLog.
#include "CliCommand.h"
#include "ExitStatus.h"
#include "MultiPort.h"
#include "RunOptions.h"
#include "StdinRead.h"

#include "KvBasicRemoteCtrl.h"
#include "RemoteModes.h"
#include "RemoteSession.h"
#include "PortHelp.h"

#include <SerialMonitorService.h>

#include <cstdio>

namespace {

struct RemoteOptions : clicker::RemoteMode {
    std::string port, keymap;
    int baud = 4800;
    multiport::LineFlags line;
};

// Lines as the log pane shows them, one per line.
class StdoutSink : public clicker::IRemoteSink {
public:
    void OnLine(const std::string& text) override
    {
        std::string t;
        for (char c : text)
            if (c != '\r')
                t.push_back(c);
        std::fwrite(t.data(), 1, t.size(), stdout);
        std::fflush(stdout);
    }
};

// The next line of standard input into *line; false at its end or once the
// box's job is cancelled (Ctrl+C), so that no read outlasts the run.
bool read_line(const multiport::Box& box, std::string* line)
{
    line->clear();
    char c = 0;
    for (;;) {
        switch (cli_stdin::next_char([&box] { return !box.cancel; }, &c)) {
        case cli_stdin::Read::Char:
            if (c == '\n')
                return true;
            line->push_back(c);
            break;
        case cli_stdin::Read::End: return !line->empty();
        case cli_stdin::Read::Stopped: return false;
        }
    }
}

int run_remote(const RemoteOptions& o)
{
    multiport::BoxRun run({o.port});
    multiport::Box& box = *run.boxes[0];
    CKvBasicRemoteCtrl ctrl;
    auto table = std::make_unique<tag_record_table>();
    ctrl.m_pTable = table.get();
    ctrl.m_pSerial = &box.svc;
    StdoutSink sink;
    clicker::CRemoteSession session(ctrl, sink);
    if (const char* error = session.LoadKeyMap(o.keymap)) {
        std::fprintf(stderr, "error: %s: %s (%s)\n", o.keymap.c_str(), error, ctrl.last_error().c_str());
        return cli_exit::kInput;
    }
    if (int rc = run.record(o.line, multiport::job_label("remote", "keys")))
        return rc;
    box.reader = false;  // keys only go out: no reader on the line
    const int rc = run.run(
        o.baud,
        [&](multiport::Box& b) {
            session.SetPortIndex(b.port_index);
            clicker::RemoteModeHost host;
            host.cancel = &b.cancel;
            host.next_line = [&b](std::string* line) { return read_line(b, line); };
            host.error = [](const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); };
            return clicker::run_remote_mode(o, session, host);
        },
        "", "");
    if (!box.open_error.empty())
        std::fprintf(stderr, "Open COM failed!! %s: %s\n", o.port.c_str(), box.svc.last_error().c_str());
    return rc;
}

}  // namespace

static CliCommandRegistrar reg_remote([](CLI::App& app) {
    auto o = std::make_shared<RemoteOptions>();
    auto* sub = app.add_subcommand("remote", "Send remote-control keys to the box: by name, at random, recorded, "
                                             "or replayed from a record file");
    sub->add_option("--port", o->port, port_option_help("the box"))->required();
    multiport::add_line_options(sub, o->line);
    sub->add_option("--baud", o->baud, "Line rate")
        ->capture_default_str()
        ->check(CLI::IsMember(kv::supported_baud_rates()));
    sub->add_option("--keymap", o->keymap,
                    "Key map workbook (.xls or .xlsx: heading row, then name, value, "
                    "shortcut)")
        ->required()
        ->check(CLI::ExistingFile);
    auto* press = sub->add_option("--press", o->press, "Press these keys by name, in order");
    auto* random = sub->add_flag("--random", o->random, "Press random keys of the key map");
    sub->add_option("--count", o->count, "With --random: how many keys")->check(CLI::Range(1, 100000000));
    sub->add_option_function<uint32_t>(
        "--seed",
        [o](uint32_t s) {
            o->seed = s;
            o->seeded = true;
        },
        "With --random: seed of the generator (default: a fresh one)");
    auto* record = sub->add_option("--record", o->record,
                                   "Record the keys named on standard input (one name a "
                                   "line, timed as they arrive) into this record file");
    auto* replay = sub->add_option("--replay", o->replay, "Replay a record file in rounds, 5000 ms apart")
                       ->check(CLI::ExistingFile);
    sub->add_option("--cycles", o->cycles, "With --replay: stop after this many rounds (default: until Ctrl+C)")
        ->check(CLI::Range(1, 100000000));
    press->excludes(random)->excludes(record)->excludes(replay);
    random->excludes(record)->excludes(replay);
    record->excludes(replay);
    sub->callback([o] {
        const char* usage = nullptr;
        if (o->press.empty() && !o->random && o->record.empty() && o->replay.empty())
            usage = "one of --press, --random, --record or --replay is needed";
        else if (o->random && o->count <= 0)
            usage = "--random needs --count N";
        if (usage) {
            std::fprintf(stderr, "error: %s\n", usage);
            throw CLI::RuntimeError(cli_exit::kUsage);
        }
        if (int rc = run_remote(*o))
            throw CLI::RuntimeError(rc);
    });
});
