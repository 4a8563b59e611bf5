#include "Console.h"

#include "WinText.h"

#include <windows.h>
#include <shellapi.h>

namespace kv {

int console_columns()
{
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info))
        return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

int stdin_ready(int timeout_ms)
{
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    switch (GetFileType(in)) {
    case FILE_TYPE_PIPE: {
        // A pipe: look without taking, in slices.
        for (int waited = 0;; waited += 10) {
            DWORD avail = 0;
            if (!PeekNamedPipe(in, nullptr, 0, nullptr, &avail, nullptr))
                return GetLastError() == ERROR_BROKEN_PIPE ? 1 : -1;  // the end of the input reads as such
            if (avail > 0)
                return 1;
            if (waited >= timeout_ms)
                return 0;
            Sleep(10);
        }
    }
    case FILE_TYPE_CHAR:
        // The console: signalled once input events are queued.
        return WaitForSingleObject(in, static_cast<DWORD>(timeout_ms < 0 ? 0 : timeout_ms)) == WAIT_OBJECT_0 ? 1 : 0;
    default:
        return 1;  // a file never blocks
    }
}

std::string machine_name()
{
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD n = MAX_COMPUTERNAME_LENGTH + 1;
    return GetComputerNameW(name, &n) ? wide_to_utf8(std::wstring_view(name, n)) : std::string();
}

std::vector<std::string> utf8_command_line(int argc, char** argv)
{
    SetConsoleOutputCP(CP_UTF8);
    int n = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &n);
    if (!wide || n != argc) {  // keep what the runtime made of it
        if (wide)
            LocalFree(wide);
        return {argv, argv + argc};
    }
    std::vector<std::string> args;
    for (int i = 0; i < n; ++i)
        args.push_back(wide_to_utf8(wide[i]));
    LocalFree(wide);
    return args;
}

}  // namespace kv
