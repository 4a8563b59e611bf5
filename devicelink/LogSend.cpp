// One record to the log server over its Unix-domain socket.
#include "KvLogRecord.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace kv {

// Sends one record over its own connection and waits briefly for the host's
// empty reply, which tells that the record was taken. False when no host
// listens (the caller then falls back).
bool send_log_record(const std::string& path, const std::vector<uint8_t>& rec)
{
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path)) {
        ::close(fd);
        return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        ::close(fd);
        return false;
    }
    ssize_t n;
    do {
        n = ::send(fd, rec.data(), rec.size(), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    bool ok = n == static_cast<ssize_t>(rec.size());
    if (ok) {
        // The host answers with an empty message once it has read the record.
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 2000) > 0) {
            char c;
            (void)::recv(fd, &c, 1, 0);
        }
    }
    ::close(fd);
    return ok;
}

}  // namespace kv
