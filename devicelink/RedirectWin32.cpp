// Child processes on Windows: CreateProcessW with the command line as given
// (Windows splits it the same way), standard input empty (NUL), output
// shared with ours.
#include "Redirect.h"

#include "WinText.h"

#include <windows.h>

CRedirect::CRedirect(void*) {}

CRedirect::~CRedirect()
{
    // A running child is left to run; only our handle goes.
    if (m_pid > 0) {
        IsChildRunning();
        if (m_pid > 0)
            CloseHandle(reinterpret_cast<HANDLE>(m_pid));
    }
}

int CRedirect::StartChildProcess(const std::string& command_line, int hidden)
{
    if (m_pid > 0 && IsChildRunning())
        return 0;
    if (SplitCommandLine(command_line).empty())
        return 0;
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE nul = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                             nullptr);
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES | (hidden ? STARTF_USESHOWWINDOW : 0);
    si.wShowWindow = SW_HIDE;
    si.hStdInput = nul;
    si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    std::wstring line = kv::utf8_to_wide(command_line);
    PROCESS_INFORMATION pi{};
    const BOOL ok = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    if (nul != INVALID_HANDLE_VALUE)
        CloseHandle(nul);
    if (!ok)
        return 0;
    CloseHandle(pi.hThread);
    m_pid = reinterpret_cast<intptr_t>(pi.hProcess);
    m_exitCode = -1;
    return 1;
}

int CRedirect::IsChildRunning()
{
    if (m_pid <= 0)
        return 0;
    HANDLE h = reinterpret_cast<HANDLE>(m_pid);
    if (WaitForSingleObject(h, 0) == WAIT_TIMEOUT)
        return 1;
    DWORD code = 0;
    m_exitCode = GetExitCodeProcess(h, &code) ? static_cast<int>(code) : -1;
    CloseHandle(h);
    m_pid = -1;
    return 0;
}

void CRedirect::Terminate()
{
    if (m_pid > 0) {
        HANDLE h = reinterpret_cast<HANDLE>(m_pid);
        TerminateProcess(h, 1);
        WaitForSingleObject(h, INFINITE);
        CloseHandle(h);
        m_pid = -1;
    }
}
