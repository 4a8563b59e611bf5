// Waiting on a condition for the suites: poll with a short step, give up only
// after a generous limit.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace testsupport {

// Polls `cond` every 10 ms for up to `limit_ms`; true once it holds.
inline bool wait_until(const std::function<bool()>& cond, int limit_ms = 30000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace testsupport
