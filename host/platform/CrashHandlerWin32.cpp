// The crash handler on Windows: the top-level exception filter writes
// "minidump.dmp" in the current folder (MiniDumpWriteDump from dbghelp, or a
// text report where that fails) and ends the process without a dialog.
#include "CrashHandler.h"

#include <windows.h>
#include <dbghelp.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace corvane {

namespace {

// The report written when the system cannot write a minidump.
void write_text_report(HANDLE file, DWORD code, const void* address)
{
    char text[256];
    const int n = std::snprintf(text, sizeof(text),
                                "Corvane crash dump\nexception: 0x%08lx\naddress: %p\nprocess: %lu\nthread: %lu\n",
                                static_cast<unsigned long>(code), address, GetCurrentProcessId(), GetCurrentThreadId());
    DWORD written = 0;
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    SetEndOfFile(file);
    WriteFile(file, text, n > 0 ? DWORD(n) : 0, &written, nullptr);
}

void write_dump(EXCEPTION_POINTERS* info)
{
    HANDLE file = CreateFileW(L"minidump.dmp", GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    MINIDUMP_EXCEPTION_INFORMATION mei{};
    mei.ThreadId = GetCurrentThreadId();
    mei.ExceptionPointers = info;
    mei.ClientPointers = FALSE;
    const BOOL ok = MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file,
                                      MINIDUMP_TYPE(MiniDumpWithThreadInfo | MiniDumpWithIndirectlyReferencedMemory),
                                      info ? &mei : nullptr, nullptr, nullptr);
    if (!ok) {
        const DWORD code = info ? info->ExceptionRecord->ExceptionCode : DWORD(0xC0000409);  // a fast-fail code for abort()
        write_text_report(file, code, info ? info->ExceptionRecord->ExceptionAddress : nullptr);
    }
    CloseHandle(file);
}

LONG WINAPI on_unhandled(EXCEPTION_POINTERS* info)
{
    write_dump(info);
    // The process ends with the exception code as its exit status.
    return EXCEPTION_EXECUTE_HANDLER;
}

void on_abort(int)
{
    write_dump(nullptr);
    // The C runtime ends the process (exit status 3) when this returns.
}

}  // namespace

void InstallCrashHandler()
{
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    // Room for the filter after a stack overflow.
    ULONG guarantee = 64 * 1024;
    SetThreadStackGuarantee(&guarantee);
    SetUnhandledExceptionFilter(on_unhandled);
    // msvcrt.dll has no _set_abort_behavior: abort() still prints its line, then
    // the SIGABRT handler writes the dump.
    std::signal(SIGABRT, on_abort);
}

}  // namespace corvane
