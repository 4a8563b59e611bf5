// One record to the log server over the named pipe "Default Log Window",
// in message mode: one record is one message; the server's empty reply
// tells that it was taken.
#include "KvLogRecord.h"

#include "WinText.h"

#include <windows.h>

namespace kv {

bool send_log_record(const std::string& path, const std::vector<uint8_t>& rec)
{
    HANDLE pipe = CreateFileW(utf8_to_wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (pipe == INVALID_HANDLE_VALUE)
        return false;  // no server (or every instance busy): the caller falls back
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED ov{};
    ov.hEvent = event;
    DWORD n = 0;
    bool ok = event && (WriteFile(pipe, rec.data(), static_cast<DWORD>(rec.size()), &n, &ov) ||
                        (GetLastError() == ERROR_IO_PENDING && GetOverlappedResult(pipe, &ov, &n, TRUE)));
    ok = ok && n == rec.size();
    if (ok) {
        char c;
        ov = OVERLAPPED{};
        ov.hEvent = event;
        ResetEvent(event);
        if (!ReadFile(pipe, &c, 1, &n, &ov) && GetLastError() == ERROR_IO_PENDING &&
            WaitForSingleObject(event, 2000) != WAIT_OBJECT_0) {
            CancelIo(pipe);
            GetOverlappedResult(pipe, &ov, &n, TRUE);
        }
    }
    if (event)
        CloseHandle(event);
    CloseHandle(pipe);
    return ok;
}

}  // namespace kv
