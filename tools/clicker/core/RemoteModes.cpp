#include "RemoteModes.h"

#include <chrono>
#include <random>
#include <thread>

namespace clicker {

namespace {

// Waits until the mode ends by itself or is cancelled; true when cancelled.
template <class Running>
bool wait_for_end(const std::atomic<bool>& cancel, Running running)
{
    while (running()) {
        if (cancel)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

JobErrorKind press_keys(const RemoteMode& m, CRemoteSession& session, const RemoteModeHost& host)
{
    std::vector<int32_t> values;
    for (const std::string& name : m.press) {
        int32_t v = 0;
        if (!session.FindKey(name, &v)) {
            host.error("error: the key map has no key \"" + name + "\"");
            return JobErrorKind::Usage;
        }
        values.push_back(v);
    }
    for (size_t i = 0; i < values.size() && !*host.cancel; ++i)
        session.Press(m.press[i], values[i]);
    return *host.cancel ? JobErrorKind::Cancelled : JobErrorKind::None;
}

JobErrorKind record_keys(const RemoteMode& m, CRemoteSession& session, const RemoteModeHost& host)
{
    if (!session.StartRecord(m.record))
        return JobErrorKind::Failed;
    int unknown = 0;
    std::string line;
    while (host.next_line(&line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.pop_back();
        int32_t v = 0;
        if (line.empty())
            continue;
        if (session.FindKey(line, &v)) {
            session.Press(line, v);
        } else {
            host.error("error: the key map has no key \"" + line + "\"; not recorded");
            ++unknown;
        }
    }
    session.StopRecord();
    return *host.cancel ? JobErrorKind::Cancelled : unknown ? JobErrorKind::Failed : JobErrorKind::None;
}

JobErrorKind run_mode(const RemoteMode& m, CRemoteSession& session, const RemoteModeHost& host)
{
    if (!m.press.empty())
        return press_keys(m, session, host);
    if (!m.record.empty())
        return record_keys(m, session, host);
    JobErrorKind kind = JobErrorKind::None;
    if (m.random) {
        session.StartRandom(m.seeded ? m.seed : std::random_device{}(), m.count);
        if (wait_for_end(*host.cancel, [&] { return session.RandomRunning(); }))
            kind = JobErrorKind::Cancelled;
        session.StopRandom();
        return kind;
    }
    if (!session.StartSimulation(m.replay, m.cycles))
        return JobErrorKind::Input;
    if (wait_for_end(*host.cancel, [&] { return session.Simulating(); }))
        kind = JobErrorKind::Cancelled;
    session.StopSimulation();
    return kind;
}

}  // namespace

JobErrorKind run_remote_mode(const RemoteMode& m, CRemoteSession& session, const RemoteModeHost& host)
{
    JobErrorKind kind = run_mode(m, session, host);
    const auto stats = session.GetStats();
    if (kind == JobErrorKind::None && (stats.send_failures || stats.unknown_keys || stats.keys_not_recorded))
        kind = JobErrorKind::Failed;
    return kind;
}

}  // namespace clicker
