// Deadlines of the serial lines' bounded calls.
#pragma once

#include <chrono>

namespace kv {

using LineClock = std::chrono::steady_clock;

// `ms` from now; a negative time-out is no time at all.
inline LineClock::time_point deadline_in(int ms)
{
    return LineClock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms);
}

// Milliseconds left until `deadline`, never below 0.
inline int ms_left(LineClock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - LineClock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// A wait of at most `slice` ms out of `left`, so that a long wait still looks
// up now and then (a closing port, another thread's turn).
inline int wait_slice(int left, int slice) { return left < slice ? left : slice; }

}  // namespace kv
