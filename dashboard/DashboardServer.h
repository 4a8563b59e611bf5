// The dashboard's HTTP server: the page, the JSON API and the event stream
// over the line database, read-only, with a token when it listens beyond
// this machine.
#pragma once

#include "Database.h"

#include <memory>
#include <string>

namespace dashboard {

// "HOST:PORT" ("[::1]:8080" for IPv6); false when it is not one.
bool parse_listen(const std::string& text, std::string* host, int* port);
// localhost, 127.x.x.x or ::1.
bool is_loopback(const std::string& host);

constexpr size_t kTokenAtLeast = 16;
// The first line of a token file, trimmed; "" with `error` set when the file
// cannot be read or the token is shorter than kTokenAtLeast.
std::string read_token(const std::string& path, std::string* error);

class DashboardServer {
public:
    // `token` "" asks for none.
    DashboardServer(std::unique_ptr<line::Connection> db, std::string token);
    ~DashboardServer();
    DashboardServer(const DashboardServer&) = delete;
    DashboardServer& operator=(const DashboardServer&) = delete;

    // The port really bound (port 0 picks a free one), or -1 with `error`.
    int bind(const std::string& host, int port, std::string* error);
    // Serves on the calling thread until stop().
    bool serve();
    // Ends every event stream and the server; from any thread.
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace dashboard
