// corvane-cli remote: remote-control keys to the box, by name, at random,
// recorded from standard input, or replayed from a record file; the same log
// lines as the "Remote_Ctrl" tab, on standard output and in the day's RCLog.
#include "CliCommand.h"
#include "ExitStatus.h"

#include "KvBasicRemoteCtrl.h"
#include "RemoteSession.h"
#include "PortHelp.h"

#include <SerialMonitorService.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <random>
#include <thread>

namespace {

std::atomic<bool> g_interrupted{false};

void on_sigint(int) { g_interrupted = true; }

struct RemoteOptions {
    std::string port, keymap, record, replay;
    int baud = 4800;
    std::vector<std::string> press;
    bool random = false;
    int count = 0;
    uint32_t seed = 0;
    bool seeded = false;
    int cycles = 0;
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

// Ctrl+C ends the run (and a read of standard input) instead of the program.
class InterruptGuard {
public:
    InterruptGuard()
    {
        g_interrupted = false;
        struct sigaction sa {};
        sa.sa_handler = on_sigint;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;  // no restart: a blocked read returns
        sigaction(SIGINT, &sa, &m_old);
    }
    ~InterruptGuard() { sigaction(SIGINT, &m_old, nullptr); }

private:
    struct sigaction m_old {};
};

int open_port(const RemoteOptions& o, clicker::CRemoteSession& session)
{
    kv::current_serial_service()->SMS_Init();
    std::string error;
    if (!session.OpenPort(o.port, o.baud, &error)) {
        std::fprintf(stderr, "Open COM failed!! %s: %s\n", o.port.c_str(), error.c_str());
        return cli_exit::kPort;
    }
    return cli_exit::kOk;
}

// Waits until the mode ends by itself or Ctrl+C; true when interrupted.
template <class Running>
bool wait_for_end(Running running)
{
    while (running()) {
        if (g_interrupted)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

int press_keys(const RemoteOptions& o, clicker::CRemoteSession& session)
{
    std::vector<int32_t> values;
    for (const std::string& name : o.press) {
        int32_t v = 0;
        if (!session.FindKey(name, &v)) {
            std::fprintf(stderr, "error: the key map has no key \"%s\"\n", name.c_str());
            return cli_exit::kUsage;
        }
        values.push_back(v);
    }
    for (size_t i = 0; i < values.size() && !g_interrupted; ++i)
        session.Press(o.press[i], values[i]);
    return g_interrupted ? cli_exit::kInterrupted : cli_exit::kOk;
}

int record_keys(const RemoteOptions& o, clicker::CRemoteSession& session)
{
    if (!session.StartRecord(o.record))
        return cli_exit::kFailed;
    int unknown = 0;
    std::string line;
    while (!g_interrupted && std::getline(std::cin, line)) {
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
    return g_interrupted ? cli_exit::kInterrupted : unknown ? cli_exit::kFailed : cli_exit::kOk;
}

int run_remote(const RemoteOptions& o)
{
    CKvBasicRemoteCtrl ctrl;
    auto table = std::make_unique<tag_record_table>();
    ctrl.m_pTable = table.get();
    ctrl.m_pSerial = kv::current_serial_service();
    StdoutSink sink;
    clicker::CRemoteSession session(ctrl, sink);
    if (const char* error = session.LoadKeyMap(o.keymap)) {
        std::fprintf(stderr, "error: %s: %s (%s)\n", o.keymap.c_str(), error, ctrl.last_error().c_str());
        return cli_exit::kInput;
    }
    if (int rc = open_port(o, session))
        return rc;
    InterruptGuard guard;
    int rc = cli_exit::kOk;
    if (!o.press.empty()) {
        rc = press_keys(o, session);
    } else if (o.random) {
        session.StartRandom(o.seeded ? o.seed : std::random_device{}(), o.count);
        if (wait_for_end([&] { return session.RandomRunning(); }))
            rc = cli_exit::kInterrupted;
        session.StopRandom();
    } else if (!o.record.empty()) {
        rc = record_keys(o, session);
    } else {
        if (!session.StartSimulation(o.replay, o.cycles))
            return cli_exit::kInput;
        if (wait_for_end([&] { return session.Simulating(); }))
            rc = cli_exit::kInterrupted;
        session.StopSimulation();
    }
    const auto stats = session.GetStats();
    if (rc == cli_exit::kOk && (stats.send_failures || stats.unknown_keys || stats.keys_not_recorded))
        rc = cli_exit::kFailed;
    return rc;
}

}  // namespace

static CliCommandRegistrar reg_remote([](CLI::App& app) {
    auto o = std::make_shared<RemoteOptions>();
    auto* sub = app.add_subcommand("remote", "Send remote-control keys to the box: by name, at random, recorded, "
                                             "or replayed from a record file");
    sub->add_option("--port", o->port, port_option_help("the box"))->required();
    sub->add_option("--baud", o->baud, "Line rate")->capture_default_str()->check(
        CLI::IsMember(kv::supported_baud_rates()));
    sub->add_option("--keymap", o->keymap, "Key map workbook (.xls or .xlsx: heading row, then name, value, "
                                           "shortcut)")
        ->required()
        ->check(CLI::ExistingFile);
    auto* press = sub->add_option("--press", o->press, "Press these keys by name, in order");
    auto* random = sub->add_flag("--random", o->random, "Press random keys of the key map");
    sub->add_option("--count", o->count, "With --random: how many keys")->check(CLI::Range(1, 100000000));
    sub->add_option_function<uint32_t>("--seed", [o](uint32_t s) { o->seed = s; o->seeded = true; },
                                       "With --random: seed of the generator (default: a fresh one)");
    auto* record = sub->add_option("--record", o->record, "Record the keys named on standard input (one name a "
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
