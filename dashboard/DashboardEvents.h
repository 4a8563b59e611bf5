// What the dashboard's /api/events tells the page: a version number that
// goes up whenever the line database's jobs change. One thread looks at the
// database every so often; the event streams wait on it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace dashboard {

class ChangeWatcher {
public:
    // `look` gives what the database holds now (false when it cannot tell);
    // it is called once here, then on the watcher's own thread every `period`.
    ChangeWatcher(std::function<bool(std::string*)> look, std::chrono::milliseconds period);
    ~ChangeWatcher();
    ChangeWatcher(const ChangeWatcher&) = delete;
    ChangeWatcher& operator=(const ChangeWatcher&) = delete;

    long long version() const;
    // The version once it has passed `seen`, or after `timeout`, or at stop().
    long long wait_past(long long seen, std::chrono::milliseconds timeout);
    // Wakes every waiter; the watcher looks no more.
    void stop();
    bool stopped() const;

private:
    void run();

    std::function<bool(std::string*)> look_;
    std::chrono::milliseconds period_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string last_;
    bool have_last_ = false;
    long long version_ = 1;
    bool stopping_ = false;
    std::thread thread_;
};

// One server-sent event: "event: NAME\ndata: {"version": N}\n\n".
std::string event_text(const char* name, long long version);
inline constexpr const char* kKeepAlive = ": keep-alive\n\n";

}  // namespace dashboard
