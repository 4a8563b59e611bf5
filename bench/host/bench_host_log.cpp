// How many log lines per second the host absorbs from four client threads at
// once, console and daily log file included, and the longest the
// user-interface event loop went without turning meanwhile.
//
// Two runs: the tools' own log call (kv_console_printf, which sends one record
// per connection and waits for the host's reply), and raw clients that each
// hold no lock between them (the server's own ceiling).
#include "KvBasicLog.h"
#include "KvConsleListBox.h"
#include "LogServer.h"
#include "OutputWnd.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

void send_raw(const std::string& path, const std::vector<uint8_t>& msg)
{
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof(a.sun_path) - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0) {
        (void)::send(fd, msg.data(), msg.size(), MSG_NOSIGNAL);
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 2000) > 0) {
            char c;
            (void)::recv(fd, &c, 1, 0);
        }
    }
    ::close(fd);
}

struct Result {
    double lines_per_s = 0;
    qint64 max_stall_ms = 0;
    uint64_t received = 0;
};

Result run(COutputWnd& pane, int threads, int lines, const std::function<void(int, int)>& send_line)
{
    const uint64_t start_count = pane.Server()->Received();
    const uint64_t target = start_count + uint64_t(threads) * uint64_t(lines);
    QElapsedTimer wall, tick;
    qint64 max_stall = 0;
    QTimer probe;
    probe.setInterval(1);
    QObject::connect(&probe, &QTimer::timeout, [&] { max_stall = std::max(max_stall, tick.restart()); });
    std::atomic<int> done{0};
    wall.start();
    tick.start();
    probe.start();
    std::vector<std::thread> ts;
    for (int t = 0; t < threads; ++t)
        ts.emplace_back([&, t] {
            for (int i = 0; i < lines; ++i)
                send_line(t, i);
            done++;
        });
    // The user-interface thread turns its event loop as the application would.
    while (pane.Server()->Received() < target || pane.Pending() > 0) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (wall.elapsed() > 120000)
            break;
    }
    const double secs = double(wall.nsecsElapsed()) / 1e9;
    probe.stop();
    for (auto& t : ts)
        t.join();
    Result r;
    r.received = pane.Server()->Received() - start_count;
    r.lines_per_s = double(r.received) / secs;
    r.max_stall_ms = max_stall;
    return r;
}

}  // namespace

int main(int argc, char** argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir tmp;
    QDir(tmp.path()).mkpath(QStringLiteral("run"));
    QFile::setPermissions(tmp.path() + QStringLiteral("/run"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", (tmp.path() + QStringLiteral("/run")).toLocal8Bit());
    qputenv("CORVANE_HOME", tmp.path().toLocal8Bit());
    QApplication app(argc, argv);
    const int lines = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20000;
    constexpr int kThreads = 4;

    COutputWnd pane;
    pane.resize(900, 300);
    pane.show();
    std::string err;
    if (!pane.StartServer({}, &err)) {
        std::fprintf(stderr, "log server: %s\n", err.c_str());
        return 1;
    }
    const std::string path = pane.Server()->SocketPath();

    Result a = run(pane, kThreads, lines, [](int t, int i) {
        kv_console_printf("client %d line %d: Upgrade block 0x%08x OK\n", t, i, i * 0x10000);
    });
    std::printf("kv_console_printf, %d threads x %d lines: %.0f lines/s, longest UI stall %lld ms (%llu received)\n",
                kThreads, lines, a.lines_per_s, (long long)a.max_stall_ms, (unsigned long long)a.received);

    Result b = run(pane, kThreads, lines, [&](int t, int i) {
        kv::LogRecord r;
        r.kind = kv::kLogKindAppendBytes;
        r.text = "raw client " + std::to_string(t) + " line " + std::to_string(i) + ": Upgrade block OK\n";
        send_raw(path, kv::encode_log_records(r).front());
    });
    std::printf("raw clients,       %d threads x %d lines: %.0f lines/s, longest UI stall %lld ms (%llu received)\n",
                kThreads, lines, b.lines_per_s, (long long)b.max_stall_ms, (unsigned long long)b.received);
    std::printf("longest console slice on the UI thread: %lld ms; console holds %d characters\n",
                (long long)pane.LongestSliceMs(), pane.Console()->CharacterCount());
    pane.StopServer();
    return 0;
}
