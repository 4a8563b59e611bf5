// The log server's listening end on Windows: the named pipe
// \\.\pipe\Default Log Window in message mode, one record per connection.
//
// Several instances of the pipe wait for clients at once, each with an
// overlapped ConnectNamedPipe, so that tools logging while one record is
// being served find an instance free (a client finding every instance busy
// falls back to printing and appending to the day's log itself). Instances
// are served in turn, so none is starved.
#include "LogListener.h"

#include "WinText.h"

#include <windows.h>

namespace corvane::platform {

namespace {

constexpr int kInstances = 8;

struct Instance {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    HANDLE event = nullptr;  // manual reset: the pending connect or read is done
    OVERLAPPED ov{};
};

}  // namespace

struct LogListener::State {
    std::wstring name;
    HANDLE wake = nullptr;  // manual reset: Wake() sets it for good
    Instance inst[kInstances];
    int next = 0;  // where the next search for a connected client starts
    bool open = false;
};

namespace {

// Starts waiting for a client on `in` (its event is set once one came).
bool arm(Instance& in)
{
    ResetEvent(in.event);
    in.ov = OVERLAPPED{};
    in.ov.hEvent = in.event;
    if (ConnectNamedPipe(in.pipe, &in.ov))
        return SetEvent(in.event) != 0;
    switch (GetLastError()) {
    case ERROR_IO_PENDING:
        return true;
    case ERROR_PIPE_CONNECTED:  // came between CreateNamedPipe/Disconnect and now
        return SetEvent(in.event) != 0;
    case ERROR_NO_DATA:  // came and left already
        DisconnectNamedPipe(in.pipe);
        return arm(in);
    default:
        return false;
    }
}

// Lets the client go and waits for the next one on this instance.
void rearm(Instance& in)
{
    DisconnectNamedPipe(in.pipe);
    arm(in);
}

// Waits for an overlapped call on `in` to finish; false on time-out or wake
// (the call is then cancelled).
bool finish(Instance& in, HANDLE wake, int timeout_ms, DWORD* n, bool* woken)
{
    HANDLE h[2] = {in.event, wake};
    const DWORD r = WaitForMultipleObjects(2, h, FALSE, timeout_ms < 0 ? INFINITE : DWORD(timeout_ms));
    if (r != WAIT_OBJECT_0) {
        *woken = r == WAIT_OBJECT_0 + 1;
        CancelIoEx(in.pipe, &in.ov);
        GetOverlappedResult(in.pipe, &in.ov, n, TRUE);
        return false;
    }
    return true;
}

// Reads one message; its whole length lands in *len even when only `cap`
// bytes of it fit the buffer.
LogListener::Take read_message(Instance& in, HANDLE wake, uint8_t* buf, size_t cap, size_t* len, int timeout_ms)
{
    ResetEvent(in.event);
    in.ov = OVERLAPPED{};
    in.ov.hEvent = in.event;
    DWORD n = 0;
    BOOL ok = ReadFile(in.pipe, buf, DWORD(cap), &n, &in.ov);
    DWORD err = ok ? 0 : GetLastError();
    if (!ok && err == ERROR_IO_PENDING) {
        bool woken = false;
        if (!finish(in, wake, timeout_ms, &n, &woken))
            return woken ? LogListener::Take::Gone : LogListener::Take::Silent;
        ok = GetOverlappedResult(in.pipe, &in.ov, &n, FALSE);
        err = ok ? 0 : GetLastError();
    }
    size_t total = n;
    while (!ok && err == ERROR_MORE_DATA) {  // longer than the buffer: count the rest
        uint8_t rest[4096];
        ResetEvent(in.event);
        in.ov = OVERLAPPED{};
        in.ov.hEvent = in.event;
        n = 0;
        ok = ReadFile(in.pipe, rest, sizeof(rest), &n, &in.ov);
        if (!ok && GetLastError() == ERROR_IO_PENDING)
            ok = GetOverlappedResult(in.pipe, &in.ov, &n, TRUE);
        err = ok ? 0 : GetLastError();
        total += n;
    }
    if (!ok || total == 0)
        return LogListener::Take::Gone;
    *len = total;
    return LogListener::Take::Message;
}

// The empty message that tells the client its record was taken.
void reply_empty(Instance& in)
{
    ResetEvent(in.event);
    in.ov = OVERLAPPED{};
    in.ov.hEvent = in.event;
    DWORD n = 0;
    if (!WriteFile(in.pipe, "", 0, &n, &in.ov) && GetLastError() == ERROR_IO_PENDING) {
        CancelIoEx(in.pipe, &in.ov);
        GetOverlappedResult(in.pipe, &in.ov, &n, TRUE);
    }
}

}  // namespace

LogListener::LogListener() : m(std::make_unique<State>()) {}
LogListener::~LogListener() { Close(); }

bool LogListener::IsOpen() const { return m->open; }

bool LogListener::Open(const std::string& path, std::string* error)
{
    auto fail = [&](const std::string& why) {
        if (error)
            *error = why;
        m->open = true;  // so that Close() releases what was made
        Close();
        return false;
    };
    if (m->open)
        return fail("the log pipe is open already");
    m->name = kv::utf8_to_wide(path);
    // A pipe of this name that exists already belongs to another host. Wine
    // does not refuse a second first instance, so that is asked beforehand.
    if (WaitNamedPipeW(m->name.c_str(), 1) || GetLastError() != ERROR_FILE_NOT_FOUND)
        return fail("another program already serves " + path);
    m->wake = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!m->wake)
        return fail("CreateEvent: " + kv::win32_error_text(GetLastError()));
    for (int i = 0; i < kInstances; ++i) {
        Instance& in = m->inst[i];
        // The first instance must be the first of its name: another host's pipe is left alone.
        const DWORD open_mode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (i == 0 ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
        in.pipe = CreateNamedPipeW(m->name.c_str(), open_mode,
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                   PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr);
        if (in.pipe == INVALID_HANDLE_VALUE) {
            const DWORD code = GetLastError();
            if (i == 0 && (code == ERROR_ACCESS_DENIED || code == ERROR_PIPE_BUSY))
                return fail("another program already serves " + path);
            return fail("CreateNamedPipe " + path + ": " + kv::win32_error_text(code));
        }
        in.event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!in.event || !arm(in))
            return fail("ConnectNamedPipe " + path + ": " + kv::win32_error_text(GetLastError()));
    }
    m->next = 0;
    m->open = true;
    return true;
}

LogListener::Take LogListener::Next(uint8_t* buf, size_t cap, size_t* len, int read_timeout_ms)
{
    HANDLE h[kInstances + 1];
    h[0] = m->wake;
    for (int i = 0; i < kInstances; ++i)
        h[i + 1] = m->inst[i].event;
    const DWORD r = WaitForMultipleObjects(kInstances + 1, h, FALSE, INFINITE);
    if (r == WAIT_OBJECT_0 || r == WAIT_FAILED || r > WAIT_OBJECT_0 + kInstances)
        return Take::Stopped;
    // The first connected instance from where the last search stopped.
    int k = int(r - WAIT_OBJECT_0 - 1);
    for (int step = 0; step < kInstances; ++step) {
        const int j = (m->next + step) % kInstances;
        if (WaitForSingleObject(m->inst[j].event, 0) == WAIT_OBJECT_0) {
            k = j;
            break;
        }
    }
    m->next = (k + 1) % kInstances;
    Instance& in = m->inst[k];
    DWORD unused = 0;
    if (!GetOverlappedResult(in.pipe, &in.ov, &unused, FALSE) && GetLastError() != ERROR_PIPE_CONNECTED) {
        rearm(in);  // the connect failed: that client is gone
        return Take::Gone;
    }
    const Take t = read_message(in, m->wake, buf, cap, len, read_timeout_ms);
    if (t == Take::Message)
        reply_empty(in);
    rearm(in);
    return t;
}

void LogListener::Wake()
{
    if (m->wake)
        SetEvent(m->wake);
}

void LogListener::Close()
{
    if (!m->open)
        return;
    for (Instance& in : m->inst) {
        if (in.pipe != INVALID_HANDLE_VALUE) {
            DWORD n = 0;
            if (CancelIoEx(in.pipe, &in.ov) || GetLastError() != ERROR_NOT_FOUND)
                GetOverlappedResult(in.pipe, &in.ov, &n, TRUE);
            CloseHandle(in.pipe);
        }
        if (in.event)
            CloseHandle(in.event);
        in = Instance();
    }
    if (m->wake)
        CloseHandle(m->wake);
    m->wake = nullptr;
    m->open = false;
}

}  // namespace corvane::platform
