#include "CrashHandler.h"

#include <csignal>
#include <cstdint>
#include <initializer_list>
#include <cstring>
#include <execinfo.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace corvane {

namespace {

// Only async-signal-safe calls below: no allocation, no stdio.
void put(int fd, const char* s)
{
    size_t n = std::strlen(s);
    while (n > 0) {
        ssize_t w = ::write(fd, s, n);
        if (w <= 0)
            return;
        s += w;
        n -= size_t(w);
    }
}

void put_number(int fd, unsigned long long v, int base)
{
    char buf[32];
    int i = int(sizeof(buf)) - 1;
    buf[i] = 0;
    do {
        buf[--i] = "0123456789abcdef"[v % unsigned(base)];
        v /= unsigned(base);
    } while (v && i > 0);
    if (base == 16)
        put(fd, "0x");
    put(fd, buf + i);
}

const char* signal_name(int sig)
{
    switch (sig) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGFPE: return "SIGFPE";
    case SIGILL: return "SIGILL";
    case SIGABRT: return "SIGABRT";
    default: return "signal";
    }
}

void on_fatal(int sig, siginfo_t* info, void*)
{
    int fd = ::open(kCrashDumpFile, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        put(fd, "Corvane crash dump\nsignal: ");
        put_number(fd, (unsigned long long)sig, 10);
        put(fd, " (");
        put(fd, signal_name(sig));
        put(fd, ")\naddress: ");
        put_number(fd, (unsigned long long)(uintptr_t)(info ? info->si_addr : nullptr), 16);
        put(fd, "\nprocess: ");
        put_number(fd, (unsigned long long)::getpid(), 10);
        put(fd, "\nthread: ");
        put_number(fd, (unsigned long long)::syscall(SYS_gettid), 10);
        put(fd, "\nback trace:\n");
        void* frames[64];
        int n = ::backtrace(frames, 64);
        ::backtrace_symbols_fd(frames, n, fd);
        ::close(fd);
    }
    // The handler was reset on entry: the signal now ends the process.
    ::raise(sig);
}

}  // namespace

void InstallCrashHandler()
{
    // backtrace() loads its unwinder on first use; do that now, not in the handler.
    void* warm[1];
    (void)::backtrace(warm, 1);

    // An own stack, so a stack overflow can still be reported.
    static char alt_stack[64 * 1024];
    stack_t ss{};
    ss.ss_sp = alt_stack;
    ss.ss_size = sizeof(alt_stack);
    ::sigaltstack(&ss, nullptr);

    struct sigaction sa {};
    sa.sa_sigaction = on_fatal;
    sa.sa_flags = SA_SIGINFO | SA_RESETHAND | SA_ONSTACK;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT})
        ::sigaction(sig, &sa, nullptr);
}

}  // namespace corvane
