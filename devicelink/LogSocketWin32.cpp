// Where the log server listens on Windows: the named pipe
// \\.\pipe\Default Log Window (message mode); the per-user folder beside it
// is %LOCALAPPDATA%\corvane.
#include "KvLogRecord.h"

#include "WinText.h"

#include <windows.h>

namespace kv {

std::string log_socket_dir(std::string* error)
{
    const wchar_t* base = _wgetenv(L"LOCALAPPDATA");
    if (!base || !*base) {
        if (error)
            *error = "LOCALAPPDATA is not set";
        return std::string();
    }
    const std::wstring dir = std::wstring(base) + L"\\corvane";
    if (!CreateDirectoryW(dir.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        if (error)
            *error = "cannot create " + wide_to_utf8(dir) + ": " + win32_error_text(GetLastError());
        return std::string();
    }
    return wide_to_utf8(dir);
}

std::string log_socket_path(std::string*) { return std::string("\\\\.\\pipe\\") + kLogPipeName; }

}  // namespace kv
