#include "LogServer.h"

#include "KvBasicCfgIni.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace corvane {

namespace {

bool make_address(const std::string& path, sockaddr_un* addr)
{
    std::memset(addr, 0, sizeof(*addr));
    addr->sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(addr->sun_path))
        return false;
    std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
    return true;
}

// True when some server answers on `path` right now.
bool someone_listens(const sockaddr_un& addr)
{
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
    bool live = rc == 0 || errno == EAGAIN || errno == EINPROGRESS;
    ::close(fd);
    return live;
}

}  // namespace

LogServer::LogServer() : LogServer(Options()) {}

LogServer::LogServer(Options options) : m_opt(std::move(options))
{
    std::string folder = m_opt.log_folder.empty() ? CKvBasicCfgIni::get_cur_root_directory() : m_opt.log_folder;
    m_file = std::make_unique<kv::DailyLogFile>(folder, m_opt.clock);
}

LogServer::~LogServer() { Stop(); }

std::string LogServer::CurrentLogFile() const { return m_file->current_path(); }

int LogServer::Start(Sink sink, std::string* error)
{
    bool bound = false;
    auto fail = [&](const std::string& why) {
        if (error)
            *error = why;
        if (m_listenFd >= 0)
            ::close(m_listenFd);
        if (m_wakeFd >= 0)
            ::close(m_wakeFd);
        if (bound)
            ::unlink(m_socketPath.c_str());
        m_listenFd = m_wakeFd = -1;
        return 0;
    };
    if (m_listenFd >= 0)
        return fail("the log server already runs");

    std::string why;
    m_socketPath = m_opt.socket_path.empty() ? kv::log_socket_path(&why) : m_opt.socket_path;
    if (m_socketPath.empty())
        return fail(why.empty() ? std::string("no folder for the log socket") : why);
    sockaddr_un addr;
    if (!make_address(m_socketPath, &addr))
        return fail("log socket path too long: " + m_socketPath);

    struct stat st {};
    if (::lstat(m_socketPath.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode))
            return fail(m_socketPath + " exists and is not a socket");
        if (someone_listens(addr))
            return fail("another program already serves " + m_socketPath);
        ::unlink(m_socketPath.c_str());  // left behind by a host that crashed
    }

    m_listenFd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_listenFd < 0)
        return fail(std::string("socket: ") + std::strerror(errno));
    if (::bind(m_listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
        return fail("bind " + m_socketPath + ": " + std::strerror(errno));
    bound = true;
    ::chmod(m_socketPath.c_str(), 0600);
    struct stat boundStat {};
    m_socketInode = ::lstat(m_socketPath.c_str(), &boundStat) == 0 ? boundStat.st_ino : 0;
    if (::listen(m_listenFd, 128) != 0)
        return fail(std::string("listen: ") + std::strerror(errno));
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeFd < 0)
        return fail(std::string("eventfd: ") + std::strerror(errno));

    m_sink = std::move(sink);
    m_running = true;
    m_thread.Attach([this] { return Loop(); });
    if (!m_thread.Start(1)) {
        m_running = false;
        return fail("the log server thread did not start");
    }
    return 1;
}

void LogServer::Stop()
{
    if (m_listenFd < 0)
        return;
    m_running = false;
    uint64_t one = 1;
    (void)!::write(m_wakeFd, &one, sizeof(one));
    m_thread.Stop(1);
    m_thread.Detach();
    ::close(m_listenFd);
    ::close(m_wakeFd);
    m_listenFd = m_wakeFd = -1;
    // Remove the socket only if it is still ours (same inode as we bound).
    struct stat st {};
    if (::lstat(m_socketPath.c_str(), &st) == 0 && st.st_ino == m_socketInode)
        ::unlink(m_socketPath.c_str());
}

uint32_t LogServer::Loop()
{
    // The listening socket does not block: when clients queue up, the next
    // one is taken at once; the loop only sleeps in poll() when none waits.
    while (m_running) {
        int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            ServeOne(fd);
            continue;
        }
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            ::usleep(10000);  // out of descriptors: let the system breathe
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED)
            break;
        pollfd p[2] = {{m_listenFd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        int rc = ::poll(p, 2, -1);
        if (rc < 0 && errno != EINTR)
            break;
        if (rc > 0 && p[1].revents)
            break;
    }
    return 0;
}

void LogServer::ServeOne(int fd)
{
    uint8_t buf[4096];
    ssize_t n;
    // MSG_TRUNC: the real length of the record, even when it is longer than
    // the buffer, so an oversized record is recognised and dropped.
    do {
        n = ::recv(fd, buf, sizeof(buf), MSG_TRUNC | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        // Not there yet. One record per connection, and a client that
        // connects and sends nothing must not hold up every other tool's
        // logging: wait a bounded time.
        pollfd p[2] = {{fd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        int rc;
        do {
            rc = ::poll(p, 2, m_opt.read_timeout_ms);
        } while (rc < 0 && errno == EINTR);
        if (rc <= 0 || p[1].revents || !(p[0].revents & (POLLIN | POLLHUP))) {
            if (rc == 0)
                m_dropped++;
            ::close(fd);
            return;
        }
        do {
            n = ::recv(fd, buf, sizeof(buf), MSG_TRUNC | MSG_DONTWAIT);
        } while (n < 0 && errno == EINTR);
    }
    // The empty reply tells the client its record was taken.
    (void)::send(fd, buf, 0, MSG_NOSIGNAL | MSG_DONTWAIT);
    ::close(fd);
    if (n <= 0)
        return;
    if (static_cast<size_t>(n) >= kv::kLogRecordLimit) {
        m_received++;
        m_dropped++;
        return;
    }
    HandleMessage(buf, static_cast<size_t>(n));
}

bool LogServer::HandleMessage(const uint8_t* data, size_t len)
{
    // Counted once the record has been dealt with (file and console), so a
    // watcher of the count sees its effects.
    struct CountOnExit {
        std::atomic<uint64_t>& n;
        ~CountOnExit() { n++; }
    } counted{m_received};
    kv::LogRecord rec;
    if (len < kv::kLogHeaderSize || len >= kv::kLogRecordLimit || !kv::decode_log_record(data, len, &rec)) {
        m_dropped++;
        return false;
    }
    if (!rec.text.empty() && !m_file->append(rec.text.data(), rec.text.size())) {
        std::string path = m_file->current_path();
        if (path != m_failedLogPath) {
            m_failedLogPath = path;
            if (m_sink) {
                kv::LogRecord note;
                note.kind = kv::kLogKindInsertText;
                note.text = "Log file " + path + " cannot be written: " + std::strerror(errno) + "\n";
                m_sink(note);
            }
        }
    } else if (!rec.text.empty()) {
        m_failedLogPath.clear();
    }
    if (m_sink && (rec.kind == kv::kLogKindInsertText || rec.kind == kv::kLogKindAppendBytes) && !rec.text.empty())
        m_sink(rec);
    return true;
}

}  // namespace corvane
