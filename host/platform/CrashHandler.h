// A fatal signal (segmentation fault, bus error, arithmetic fault, illegal
// instruction, abort) writes "minidump.dmp" in the current folder, always
// overwriting it: the signal, the faulting address, the thread and a back
// trace. The process then ends as the signal would have ended it, without a
// dialog.
//
// Windows (CrashHandlerWin32.cpp): an unhandled exception (and abort())
// writes "minidump.dmp" with MiniDumpWriteDump, a minidump for a debugger;
// where that fails, a text report of the exception code, the address, the
// process and the thread. The process ends with the exception code, without
// the system's error dialog.
#pragma once

namespace corvane {
void InstallCrashHandler();
// The file name written (relative to the current folder).
inline constexpr const char* kCrashDumpFile = "minidump.dmp";
}  // namespace corvane
