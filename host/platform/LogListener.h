// The operating-system side of the log server: the listening end of
// "Default Log Window", taking one client at a time and its one message.
// No Qt here; what a message means is LogServer's business.
//
// POSIX (LogListener.cpp): a Unix-domain SOCK_SEQPACKET socket at a path in
// the user's private folder, mode 0600; a stale socket left by a crashed host
// is replaced; an eventfd wakes the waiting thread.
// Windows (LogListenerWin32.cpp): the named pipe \\.\pipe\Default Log Window
// in message mode, local clients only, several instances so that clients
// queue while one is served; an event wakes the waiting thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace corvane::platform {

class LogListener {
public:
    // What Next() found.
    enum class Take {
        Message,  // a client's message: *len bytes (more than `cap` when it was longer than the buffer)
        Silent,  // a client connected and sent nothing within the time-out
        Gone,  // a client left without a message, or the wait was woken
        Stopped,  // Wake() was called, or listening failed for good
    };

    LogListener();
    ~LogListener();
    LogListener(const LogListener&) = delete;
    LogListener& operator=(const LogListener&) = delete;

    // Starts listening on `path`. False with the reason in *error: the path
    // is unusable, or another live server answers on it.
    bool Open(const std::string& path, std::string* error);
    // Waits for the next client, reads its one message into `buf`, answers
    // with an empty message and lets the client go.
    Take Next(uint8_t* buf, size_t cap, size_t* len, int read_timeout_ms);
    // Makes a waiting or later Next() return Stopped; callable from any thread.
    void Wake();
    // Stops listening; the socket is removed if it is still the one opened.
    void Close();
    bool IsOpen() const;

private:
    struct State;
    std::unique_ptr<State> m;
};

}  // namespace corvane::platform
