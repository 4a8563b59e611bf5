// The local line on Windows: a COM port through the Win32 communications
// functions (CreateFileW on \\.\COMn, SetCommState, SetCommTimeouts,
// PurgeComm). The handle is overlapped, so a reader and a writer on two
// threads never wait for each other.
#include "SerialLine.h"

#include "LineDeadline.h"
#include "SerialMonitorService.h"
#include "WinText.h"

#include <mutex>

#include <windows.h>

namespace kv {

namespace {

// Waits at most this long in one call, so an abort or a closing port is noticed.
constexpr int kSliceMs = 50;

class ComLine : public SerialLine {
public:
    ~ComLine() override;
    bool open(const std::string& path, std::string* error);
    bool configure(const serialport_config_tag& cfg, std::string* error) override;
    bool read(uint8_t* buf, size_t cap, size_t* got, int timeout_ms, const std::atomic<bool>* abort) override;
    bool read_some(uint8_t* buf, size_t cap, size_t* got, int timeout_ms) override;
    bool write(const uint8_t* buf, size_t len, size_t* sent, int timeout_ms) override;
    bool flush_input() override { return m_handle != INVALID_HANDLE_VALUE && PurgeComm(m_handle, PURGE_RXCLEAR); }
    std::string error() const override
    {
        std::lock_guard<std::mutex> l(m_errorMutex);
        return m_error;
    }

private:
    // One read that returns as soon as a byte is there, or after `wait_ms`.
    bool read_once(uint8_t* buf, size_t cap, size_t* got, int wait_ms);
    bool lost(const char* what);
    HANDLE m_handle = INVALID_HANDLE_VALUE;
    HANDLE m_readEvent = nullptr;
    HANDLE m_writeEvent = nullptr;
    int m_readWait = -1;  // 0 once the handle holds no read time-outs
    std::string m_path;
    mutable std::mutex m_errorMutex;
    std::string m_error;
};

// "COM1" and "com12" open as \\.\COM1; a name already in device form stays.
std::wstring device_name(const std::string& path)
{
    std::wstring w = utf8_to_wide(path);
    return w.rfind(L"\\\\", 0) == 0 ? w : L"\\\\.\\" + w;
}

}  // namespace

ComLine::~ComLine()
{
    if (m_handle != INVALID_HANDLE_VALUE) {
        CancelIo(m_handle);
        CloseHandle(m_handle);
    }
    if (m_readEvent)
        CloseHandle(m_readEvent);
    if (m_writeEvent)
        CloseHandle(m_writeEvent);
}

bool ComLine::open(const std::string& path, std::string* error)
{
    // No sharing: two tools must never share one box.
    m_handle = CreateFileW(device_name(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (m_handle == INVALID_HANDLE_VALUE) {
        if (error)
            *error = "cannot open " + path + ": " + win32_error_text(GetLastError());
        return false;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(m_handle, &dcb)) {
        if (error)
            *error = path + " is not a serial line: " + win32_error_text(GetLastError());
        return false;
    }
    m_readEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_writeEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_path = path;
    PurgeComm(m_handle, PURGE_RXCLEAR | PURGE_TXCLEAR);
    return m_readEvent && m_writeEvent;
}

bool ComLine::configure(const serialport_config_tag& cfg, std::string* error)
{
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(m_handle, &dcb)) {
        if (error)
            *error = "cannot read the line settings: " + win32_error_text(GetLastError());
        return false;
    }
    // Raw bytes, no flow control of any kind.
    dcb.BaudRate = static_cast<DWORD>(cfg.baud_rate);
    dcb.ByteSize = static_cast<BYTE>(cfg.data_bits);
    dcb.Parity = static_cast<BYTE>(cfg.parity);  // the KV_ values are Windows' own
    dcb.StopBits = static_cast<BYTE>(cfg.stop_bits);
    dcb.fBinary = TRUE;
    dcb.fParity = cfg.parity != KV_NOPARITY;
    dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fDsrSensitivity = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutX = dcb.fInX = dcb.fErrorChar = dcb.fNull = dcb.fAbortOnError = FALSE;
    if (!SetCommState(m_handle, &dcb)) {
        if (error)
            *error = "the line cannot run at " + std::to_string(cfg.baud_rate) + " baud with these settings: " +
                     win32_error_text(GetLastError());
        return false;
    }
    // Read back: a driver may accept a call and keep another setting.
    DCB back{};
    back.DCBlength = sizeof(back);
    if (GetCommState(m_handle, &back)) {
        if (back.ByteSize != dcb.ByteSize || back.Parity != dcb.Parity || back.StopBits != dcb.StopBits) {
            if (error)
                *error = "the line did not take the data bits, parity or stop bits asked for";
            return false;
        }
        if (back.BaudRate != dcb.BaudRate) {
            if (error)
                *error = "the line runs at " + std::to_string(back.BaudRate) + " baud instead of " +
                         std::to_string(cfg.baud_rate);
            return false;
        }
    }
    return true;
}

bool ComLine::read_once(uint8_t* buf, size_t cap, size_t* got, int wait_ms)
{
    *got = 0;
    if (m_readWait != 0) {
        // No time-outs on the handle: a read returns once it has its bytes.
        // The waiting is ours (the event, then CancelIo), which behaves the
        // same on every driver.
        COMMTIMEOUTS t{};
        if (!SetCommTimeouts(m_handle, &t))
            return lost("setting the time-outs");
        m_readWait = 0;
    }
    // What is queued already is taken at once; with nothing queued, one byte
    // is awaited, and what follows it is taken by the next call.
    DWORD errors = 0;
    COMSTAT stat{};
    if (!ClearCommError(m_handle, &errors, &stat))
        return lost("read");
    const size_t queued = stat.cbInQue;
    const DWORD want = static_cast<DWORD>(queued == 0 ? 1 : queued < cap ? queued : cap > 0x10000 ? 0x10000 : cap);
    OVERLAPPED ov{};
    ov.hEvent = m_readEvent;
    ResetEvent(m_readEvent);
    DWORD n = 0;
    if (!ReadFile(m_handle, buf, want, &n, &ov)) {
        if (GetLastError() != ERROR_IO_PENDING)
            return lost("read");
        if (WaitForSingleObject(m_readEvent, static_cast<DWORD>(wait_ms < 0 ? 0 : wait_ms)) != WAIT_OBJECT_0)
            CancelIo(m_handle);
        if (!GetOverlappedResult(m_handle, &ov, &n, TRUE) && GetLastError() != ERROR_OPERATION_ABORTED)
            return lost("read");
    }
    *got = n;
    return true;
}

bool ComLine::read(uint8_t* buf, size_t cap, size_t* got, int timeout_ms, const std::atomic<bool>* abort)
{
    *got = 0;
    if (m_handle == INVALID_HANDLE_VALUE)
        return false;
    auto deadline = deadline_in(timeout_ms);
    while (*got < cap) {
        if (abort && abort->load())
            return false;
        const int left = ms_left(deadline);
        size_t n = 0;
        if (!read_once(buf + *got, cap - *got, &n, wait_slice(left, kSliceMs)))
            return false;
        *got += n;
        if (n == 0 && left <= 0)
            break;
    }
    return true;
}

bool ComLine::read_some(uint8_t* buf, size_t cap, size_t* got, int timeout_ms)
{
    *got = 0;
    if (m_handle == INVALID_HANDLE_VALUE)
        return false;
    if (cap == 0)
        return true;
    if (!read_once(buf, cap, got, timeout_ms < 0 ? 0 : timeout_ms))
        return false;
    // The first byte came alone: take what arrived with it.
    size_t more = 0;
    if (*got == 1 && cap > 1 && !read_once(buf + 1, cap - 1, &more, 0))
        return false;
    *got += more;
    return true;
}

bool ComLine::write(const uint8_t* buf, size_t len, size_t* sent, int timeout_ms)
{
    *sent = 0;
    if (m_handle == INVALID_HANDLE_VALUE)
        return false;
    auto deadline = deadline_in(timeout_ms);
    while (*sent < len) {
        OVERLAPPED ov{};
        ov.hEvent = m_writeEvent;
        ResetEvent(m_writeEvent);
        DWORD n = 0;
        const DWORD chunk = static_cast<DWORD>(len - *sent > 0x10000 ? 0x10000 : len - *sent);
        if (!WriteFile(m_handle, buf + *sent, chunk, &n, &ov)) {
            if (GetLastError() != ERROR_IO_PENDING)
                return lost("write");
            if (WaitForSingleObject(m_writeEvent, static_cast<DWORD>(ms_left(deadline))) != WAIT_OBJECT_0)
                CancelIo(m_handle);  // out of time: what left so far still counts
            if (!GetOverlappedResult(m_handle, &ov, &n, TRUE) && GetLastError() != ERROR_OPERATION_ABORTED)
                return lost("write");
        }
        *sent += n;
        if (*sent < len && ms_left(deadline) <= 0)
            return false;
    }
    return true;
}

bool ComLine::lost(const char* what)
{
    const std::string e = m_path + ": " + what + " failed: " + win32_error_text(GetLastError());
    std::lock_guard<std::mutex> l(m_errorMutex);
    m_error = e;
    return false;
}

std::unique_ptr<SerialLine> open_tty_line(const std::string& path, std::string* error)
{
    auto line = std::make_unique<ComLine>();
    if (!line->open(path, error))
        return nullptr;
    return line;
}

}  // namespace kv
