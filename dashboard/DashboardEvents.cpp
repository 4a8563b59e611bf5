#include "DashboardEvents.h"

namespace dashboard {

ChangeWatcher::ChangeWatcher(std::function<bool(std::string*)> look, std::chrono::milliseconds period)
    : look_(std::move(look)), period_(period)
{
    have_last_ = look_(&last_);  // what is there at the start is no change
    thread_ = std::thread([this] { run(); });
}

ChangeWatcher::~ChangeWatcher()
{
    stop();
    thread_.join();
}

void ChangeWatcher::run()
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (!changed_.wait_for(lock, period_, [this] { return stopping_; })) {
        lock.unlock();
        std::string now;
        const bool seen = look_(&now);
        lock.lock();
        if (seen && have_last_ && now != last_) {
            ++version_;
            changed_.notify_all();
        }
        if (seen) {
            last_ = now;
            have_last_ = true;
        }
    }
}

long long ChangeWatcher::version() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return version_;
}

long long ChangeWatcher::wait_past(long long seen, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return stopping_ || version_ > seen; });
    return version_;
}

void ChangeWatcher::stop()
{
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    changed_.notify_all();
}

bool ChangeWatcher::stopped() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return stopping_;
}

std::string event_text(const char* name, long long version)
{
    return std::string("event: ") + name + "\ndata: {\"version\": " + std::to_string(version) + "}\n\n";
}

}  // namespace dashboard
