#include "Interrupts.h"

#include <atomic>
#include <csignal>

namespace kv {

namespace {

std::atomic<int> g_presses{0};
struct sigaction g_previous {};

extern "C" void count_press(int) { g_presses.fetch_add(1); }

}  // namespace

InterruptCounter::InterruptCounter()
{
    g_presses = 0;
    struct sigaction sa {};
    sa.sa_handler = count_press;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, &g_previous);
}

InterruptCounter::~InterruptCounter() { sigaction(SIGINT, &g_previous, nullptr); }

int InterruptCounter::presses() const { return g_presses.load(); }

}  // namespace kv
