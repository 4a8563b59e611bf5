// The operator's interrupt key (Ctrl+C) while a job runs: each press is
// counted, and the program goes on, so the job decides what a first and a
// second press mean. POSIX: SIGINT (Interrupts.cpp); Windows: the console
// control handler, Ctrl+C and Ctrl+Break (InterruptsWin32.cpp).
#pragma once

namespace kv {

// Counts presses from construction on; the previous handling is back once
// it is destroyed. One at a time per process.
class InterruptCounter {
public:
    InterruptCounter();
    ~InterruptCounter();
    InterruptCounter(const InterruptCounter&) = delete;
    InterruptCounter& operator=(const InterruptCounter&) = delete;

    int presses() const;
};

}  // namespace kv
