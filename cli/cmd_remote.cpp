// corvane-cli remote: remote-control keys to the box, by name, at random,
// recorded from standard input, or replayed from a record file; the same log
// lines as the "Remote_Ctrl" tab, on standard output and in the day's RCLog.
#include "CliCommand.h"
#include "ExitStatus.h"
#include "MultiPort.h"
#include "RunOptions.h"
#include "StdinRead.h"

#include "KvBasicRemoteCtrl.h"
#include "RemoteSession.h"
#include "PortHelp.h"

#include <SerialMonitorService.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

namespace {

struct RemoteOptions {
    std::string port, keymap, record, replay;
    int baud = 4800;
    std::vector<std::string> press;
    bool random = false;
    int count = 0;
    uint32_t seed = 0;
    bool seeded = false;
    int cycles = 0;
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

// Waits until the mode ends by itself or Ctrl+C; true when interrupted.
template <class Running>
bool wait_for_end(const multiport::Box& box, Running running)
{
    while (running()) {
        if (box.cancel)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

JobErrorKind press_keys(const RemoteOptions& o, clicker::CRemoteSession& session, const multiport::Box& box)
{
    std::vector<int32_t> values;
    for (const std::string& name : o.press) {
        int32_t v = 0;
        if (!session.FindKey(name, &v)) {
            std::fprintf(stderr, "error: the key map has no key \"%s\"\n", name.c_str());
            return JobErrorKind::Usage;
        }
        values.push_back(v);
    }
    for (size_t i = 0; i < values.size() && !box.cancel; ++i)
        session.Press(o.press[i], values[i]);
    return box.cancel ? JobErrorKind::Cancelled : JobErrorKind::None;
}

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

JobErrorKind record_keys(const RemoteOptions& o, clicker::CRemoteSession& session, const multiport::Box& box)
{
    if (!session.StartRecord(o.record))
        return JobErrorKind::Failed;
    int unknown = 0;
    std::string line;
    while (read_line(box, &line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.pop_back();
        int32_t v = 0;
        if (line.empty())
            continue;
        if (session.FindKey(line, &v)) {
            session.Press(line, v);
        } else {
            std::fprintf(stderr, "error: the key map has no key \"%s\"; not recorded\n", line.c_str());
            ++unknown;
        }
    }
    session.StopRecord();
    return box.cancel ? JobErrorKind::Cancelled : unknown ? JobErrorKind::Failed : JobErrorKind::None;
}

// The mode the options chose, on the box's line.
JobErrorKind run_mode(const RemoteOptions& o, clicker::CRemoteSession& session, multiport::Box& box)
{
    if (!o.press.empty())
        return press_keys(o, session, box);
    if (!o.record.empty())
        return record_keys(o, session, box);
    JobErrorKind kind = JobErrorKind::None;
    if (o.random) {
        session.StartRandom(o.seeded ? o.seed : std::random_device{}(), o.count);
        if (wait_for_end(box, [&] { return session.RandomRunning(); }))
            kind = JobErrorKind::Cancelled;
        session.StopRandom();
        return kind;
    }
    if (!session.StartSimulation(o.replay, o.cycles))
        return JobErrorKind::Input;
    if (wait_for_end(box, [&] { return session.Simulating(); }))
        kind = JobErrorKind::Cancelled;
    session.StopSimulation();
    return kind;
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
            JobErrorKind kind = run_mode(o, session, b);
            const auto stats = session.GetStats();
            if (kind == JobErrorKind::None && (stats.send_failures || stats.unknown_keys || stats.keys_not_recorded))
                kind = JobErrorKind::Failed;
            return kind;
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
