// A fatal signal (segmentation fault, bus error, arithmetic fault, illegal
// instruction, abort) writes "minidump.dmp" in the current folder, always
// overwriting it: the signal, the faulting address, the thread and a back
// trace. The process then ends as the signal would have ended it, without a
// dialog.
#pragma once

namespace corvane {
void InstallCrashHandler();
// The file name written (relative to the current folder).
inline constexpr const char* kCrashDumpFile = "minidump.dmp";
}  // namespace corvane
