// Shared helpers of the host suites. Every test process runs with its own
// temporary XDG_RUNTIME_DIR (log socket, single-instance guard),
// CORVANE_HOME (program folder, daily log files) and XDG_CONFIG_HOME
// (application settings), set up by main() before the application starts.
#pragma once

#include "KvLogRecord.h"

#include <QCoreApplication>
#include <QEvent>
#include <QElapsedTimer>
#include <QString>

#include <cstdint>
#include <cstring>
#include <functional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace hosttest {

// The private folder of this test process.
QString TempRoot();

// Runs the event loop until `done` holds or `ms` pass. True when it held.
inline bool WaitFor(const std::function<bool()>& done, int ms = 5000)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        usleep(1000);
    }
    return true;
}

// A message built by hand: `declared` is the text length field, `total` the
// message size (filled with the text, then zeros).
inline std::vector<uint8_t> RawRecord(int kind, const std::string& text, uint32_t declared, size_t total)
{
    std::vector<uint8_t> m(total, 0);
    auto put = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4 && at + size_t(i) < m.size(); ++i)
            m[at + size_t(i)] = uint8_t(v >> (8 * i));
    };
    put(0, uint32_t(total));
    put(4, uint32_t(kind));
    put(32, declared);
    for (size_t i = 0; i < text.size() && 36 + i < total; ++i)
        m[36 + i] = uint8_t(text[i]);
    return m;
}

inline std::vector<uint8_t> Record(int kind, const std::string& text)
{
    kv::LogRecord r;
    r.kind = kind;
    r.text = text;
    return kv::encode_log_records(r).front();
}

// Sends one message as a client does and waits for the empty reply.
// Returns the reply's length (0 expected), or -1 when nothing came.
inline int SendRaw(const std::string& path, const std::vector<uint8_t>& msg, int reply_ms = 3000)
{
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof(a.sun_path) - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
        ::close(fd);
        return -1;
    }
    (void)::send(fd, msg.data(), msg.size(), MSG_NOSIGNAL);
    pollfd p{fd, POLLIN, 0};
    int got = -1;
    if (::poll(&p, 1, reply_ms) > 0) {
        char c[8];
        ssize_t n = ::recv(fd, c, sizeof(c), 0);
        got = n < 0 ? -1 : int(n);
    }
    ::close(fd);
    return got;
}

}  // namespace hosttest
