// Windows: the console calls the handler on a thread of its own for Ctrl+C
// and Ctrl+Break; answering TRUE keeps the process running. Closing the
// console window or logging off is left to the default handling.
#include "Interrupts.h"

#include <atomic>
#include <windows.h>

namespace kv {

namespace {

std::atomic<int> g_presses{0};

BOOL WINAPI count_press(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    g_presses.fetch_add(1);
    return TRUE;
}

}  // namespace

InterruptCounter::InterruptCounter()
{
    g_presses = 0;
    SetConsoleCtrlHandler(count_press, TRUE);
}

InterruptCounter::~InterruptCounter() { SetConsoleCtrlHandler(count_press, FALSE); }

int InterruptCounter::presses() const { return g_presses.load(); }

}  // namespace kv
