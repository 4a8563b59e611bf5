// A plug-in library for the Windows host check: one exported answer.
extern "C" __declspec(dllexport) int corvane_check_answer() { return 42; }
