// corvane-cli dashboard: the line database's figures as a live page in a
// browser, served until Ctrl+C.
#include "CliCommand.h"
#include "ExitStatus.h"

#include "DashboardServer.h"
#include "LineReport.h"
#include "LineUrl.h"

#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

struct DashboardOptions {
    std::string db, listen = "127.0.0.1:8080", token_file;
};

int stop_pipe[2] = {-1, -1};

void on_stop_signal(int)
{
    const char c = 's';
    [[maybe_unused]] const ssize_t n = ::write(stop_pipe[1], &c, 1);
}

// The database, opened to read only; null (the status in `rc`) when it
// cannot be used or no station has written to it yet.
std::unique_ptr<line::Connection> open_line(const std::string& flag, int* rc)
{
    const line::DbChoice c = line::choose_database(flag, false);
    if (!c.ok() || c.off) {
        std::fprintf(stderr, "Error: %s\n", c.ok() ? "the dashboard needs a line database" : c.error.c_str());
        *rc = cli_exit::kUsage;
        return nullptr;
    }
    std::string error;
    auto db = line::open_database_read_only(c.url, &error);
    std::string state;
    const line::DbStatus s = db ? line::job_state(*db, &state) : line::DbStatus{line::DbCode::Unavailable, error};
    if (!s.ok()) {
        std::fprintf(stderr, "Error: database unavailable: %s\n",
                     db ? ("no job records in " + c.url + " (" + s.message + ")").c_str() : s.message.c_str());
        *rc = cli_exit::kDatabase;
        return nullptr;
    }
    return db;
}

// Serves until SIGINT or SIGTERM (or the server ends by itself).
void serve_until_stopped(dashboard::DashboardServer& server)
{
    if (::pipe(stop_pipe) != 0)
        return;
    auto old_int = std::signal(SIGINT, on_stop_signal);
    auto old_term = std::signal(SIGTERM, on_stop_signal);
    std::thread serving([&server] {
        server.serve();
        on_stop_signal(0);
    });
    char c = 0;
    while (::read(stop_pipe[0], &c, 1) < 0 && errno == EINTR) {
    }
    server.stop();
    serving.join();
    std::signal(SIGINT, old_int);
    std::signal(SIGTERM, old_term);
    ::close(stop_pipe[0]);
    ::close(stop_pipe[1]);
}

int run_dashboard(const DashboardOptions& o)
{
    std::string host;
    int port = 0;
    if (!dashboard::parse_listen(o.listen, &host, &port)) {
        std::fprintf(stderr, "Error: --listen %s is not HOST:PORT (127.0.0.1:8080, [::1]:8080)\n", o.listen.c_str());
        return cli_exit::kUsage;
    }
    std::string token, error;
    if (!o.token_file.empty() && (token = dashboard::read_token(o.token_file, &error)).empty()) {
        std::fprintf(stderr, "Error: %s\n", error.c_str());
        return cli_exit::kInput;
    }
    if (token.empty() && !dashboard::is_loopback(host)) {
        std::fprintf(stderr, "Error: --listen %s reaches beyond this machine: give --token FILE, a file whose first "
                             "line is the token every request must carry\n", o.listen.c_str());
        return cli_exit::kUsage;
    }
    int rc = 0;
    auto db = open_line(o.db, &rc);
    if (!db)
        return rc;
    dashboard::DashboardServer server(std::move(db), token);
    const int bound = server.bind(host, port, &error);
    if (bound < 0) {
        std::fprintf(stderr, "Error: %s\n", error.c_str());
        return cli_exit::kPort;
    }
    const bool v6 = host.find(':') != std::string::npos;
    std::printf("dashboard: http://%s%s%s:%d/\n", v6 ? "[" : "", host.c_str(), v6 ? "]" : "", bound);
    std::fflush(stdout);
    std::signal(SIGPIPE, SIG_IGN);  // a browser that went away is no reason to end
    serve_until_stopped(server);
    return cli_exit::kOk;
}

CliCommandRegistrar reg([](CLI::App& app) {
    auto o = std::make_shared<DashboardOptions>();
    auto* sub = app.add_subcommand("dashboard", "the line at a glance: a live page of the line database in a browser");
    sub->add_option("--db", o->db,
                    "the line database: sqlite:PATH or postgresql://USER@HOST:PORT/DB "
                    "(else $CORVANE_DB, [Line] Database, sqlite:<data folder>/corvane-line.db)");
    sub->add_option("--listen", o->listen, "HOST:PORT to serve on (default 127.0.0.1:8080; port 0 picks a free one)");
    sub->add_option("--token", o->token_file,
                    "a file whose first line is the token every request must carry; required when --listen "
                    "is not a loopback address");
    sub->callback([o] {
        if (const int rc = run_dashboard(*o))
            throw CLI::RuntimeError(rc);
    });
});

}  // namespace
