#include "DashboardServer.h"

#include "DashboardApi.h"
#include "DashboardEvents.h"
#include "DashboardPage.h"
#include "LineReport.h"

#include <httplib.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>

namespace dashboard {

namespace {

constexpr size_t kBodyAtMost = 1024;  // the API takes no bodies
constexpr int kThreads = 16;  // every open page holds one for its event stream
constexpr auto kLookEvery = std::chrono::milliseconds(500);
constexpr auto kKeepAliveEvery = std::chrono::seconds(15);
const char* kCookie = "corvane_token";

double now_seconds()
{
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

std::string trimmed(const std::string& s)
{
    const size_t a = s.find_first_not_of(" \t\r\n");
    const size_t b = s.find_last_not_of(" \t\r\n");
    return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

// Equal or not, in a time that does not tell how much of `given` was right.
bool same_token(const std::string& given, const std::string& token)
{
    if (token.empty())
        return false;
    unsigned char diff = given.size() == token.size() ? 0 : 1;
    for (size_t i = 0; i < given.size(); ++i)
        diff |= static_cast<unsigned char>(given[i] ^ token[i % token.size()]);
    return diff == 0;
}

std::string cookie_token(const std::string& cookies)
{
    size_t at = 0;
    while (at < cookies.size()) {
        size_t end = cookies.find(';', at);
        if (end == std::string::npos)
            end = cookies.size();
        const std::string one = trimmed(cookies.substr(at, end - at));
        if (one.rfind(std::string(kCookie) + "=", 0) == 0)
            return one.substr(std::strlen(kCookie) + 1);
        at = end + 1;
    }
    return "";
}

void set_json(httplib::Response& res, int status, const std::string& body)
{
    res.status = status;
    res.set_content(body, "application/json; charset=utf-8");
}

}  // namespace

bool parse_listen(const std::string& text, std::string* host, int* port)
{
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size() || text.size() - colon > 6)
        return false;
    std::string h = text.substr(0, colon);
    if (h.front() == '[' && h.back() == ']')
        h = h.substr(1, h.size() - 2);
    else if (h.find(':') != std::string::npos)
        return false;  // an IPv6 address is written [ADDRESS]:PORT
    const std::string p = text.substr(colon + 1);
    if (h.empty() || p.find_first_not_of("0123456789") != std::string::npos || std::stoi(p) > 65535)
        return false;
    *host = h;
    *port = std::stoi(p);
    return true;
}

bool is_loopback(const std::string& host)
{
    return host == "localhost" || host == "::1" || (host.rfind("127.", 0) == 0 &&
                                                    host.find_first_not_of("0123456789.") == std::string::npos);
}

std::string read_token(const std::string& path, std::string* error)
{
    std::ifstream in(path);
    std::string first;
    if (!in || !std::getline(in, first)) {
        *error = "cannot read the token file " + path;
        return "";
    }
    first = trimmed(first);
    if (first.size() < kTokenAtLeast) {
        *error = "the token in " + path + " is shorter than " + std::to_string(kTokenAtLeast) + " characters";
        return "";
    }
    return first;
}

struct DashboardServer::Impl {
    std::mutex db_mutex;  // the server answers on many threads; the connection is one
    std::unique_ptr<line::Connection> db;
    std::string token;
    httplib::Server http;
    ChangeWatcher watcher;

    Impl(std::unique_ptr<line::Connection> c, std::string t)
        : db(std::move(c)), token(std::move(t)), watcher(
                                                     [this](std::string* state) {
                                                         std::lock_guard<std::mutex> lock(db_mutex);
                                                         return line::job_state(*db, state).ok();
                                                     },
                                                     kLookEvery)
    {
    }

    bool authorized(const httplib::Request& req) const
    {
        const std::string auth = req.get_header_value("Authorization");
        if (auth.rfind("Bearer ", 0) == 0 && same_token(trimmed(auth.substr(7)), token))
            return true;
        return same_token(cookie_token(req.get_header_value("Cookie")), token);
    }

    httplib::Server::HandlerResponse gate(const httplib::Request& req, httplib::Response& res);
    void api(const char* path, Reply (*answer)(line::Connection&, const Params&, double));
    void events(httplib::Response& res);
    void routes();
};

// Every request passes here first: the method, then the token.
httplib::Server::HandlerResponse DashboardServer::Impl::gate(const httplib::Request& req, httplib::Response& res)
{
    using R = httplib::Server::HandlerResponse;
    if (req.method != "GET" && req.method != "HEAD") {
        res.set_header("Allow", "GET, HEAD");
        set_json(res, 405, error_json("only GET and HEAD are answered"));
        return R::Handled;
    }
    if (token.empty())
        return R::Unhandled;
    if (req.path == "/" && req.has_param("token")) {
        if (!same_token(req.get_param_value("token"), token)) {
            set_json(res, 401, error_json("a token is required"));
            return R::Handled;
        }
        res.status = 303;
        res.set_header("Location", "/");
        res.set_header("Set-Cookie", std::string(kCookie) + "=" + token + "; HttpOnly; SameSite=Strict; Path=/");
        return R::Handled;
    }
    if (authorized(req))
        return R::Unhandled;
    set_json(res, 401, error_json("a token is required"));
    return R::Handled;
}

void DashboardServer::Impl::api(const char* path, Reply (*answer)(line::Connection&, const Params&, double))
{
    http.Get(path, [this, answer](const httplib::Request& req, httplib::Response& res) {
        Reply r;
        {
            std::lock_guard<std::mutex> lock(db_mutex);
            r = answer(*db, req.params, now_seconds());
        }
        res.set_header("Cache-Control", "no-store");
        set_json(res, r.status, r.body);
    });
}

// hello with the version now, then a change whenever it goes up, and a
// keep-alive comment when nothing happened for a while.
void DashboardServer::Impl::events(httplib::Response& res)
{
    res.set_header("Cache-Control", "no-store");
    auto seen = std::make_shared<long long>(-1);
    res.set_chunked_content_provider("text/event-stream", [this, seen](size_t, httplib::DataSink& sink) {
        std::string text;
        if (*seen < 0) {
            *seen = watcher.version();
            text = event_text("hello", *seen);
        } else {
            const long long v = watcher.wait_past(*seen, kKeepAliveEvery);
            if (watcher.stopped()) {
                sink.done();
                return true;
            }
            text = v > *seen ? event_text("change", v) : kKeepAlive;
            *seen = v;
        }
        return sink.write(text.data(), text.size());
    });
}

void DashboardServer::Impl::routes()
{
    http.set_payload_max_length(kBodyAtMost);
    http.new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
    http.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) { return gate(req, res); });
    http.set_post_routing_handler([](const httplib::Request&, httplib::Response& res) {
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_header("X-Frame-Options", "DENY");
    });
    auto page_handler = [](const httplib::Request&, httplib::Response& res) {
        res.set_header("Cache-Control", "no-cache");
        res.set_content(std::string(page()), "text/html; charset=utf-8");
    };
    http.Get("/", page_handler);
    http.Get("/index.html", page_handler);
    api("/api/summary", summary);
    api("/api/jobs", jobs);
    api("/api/failures", failures);
    http.Get("/api/events", [this](const httplib::Request&, httplib::Response& res) { events(res); });
    http.Get(".*", [](const httplib::Request&, httplib::Response& res) {
        set_json(res, 404, error_json("not found"));
    });
}

DashboardServer::DashboardServer(std::unique_ptr<line::Connection> db, std::string token)
    : impl_(std::make_unique<Impl>(std::move(db), std::move(token)))
{
    impl_->routes();
}

DashboardServer::~DashboardServer() { stop(); }

int DashboardServer::bind(const std::string& host, int port, std::string* error)
{
    const int bound = port == 0 ? impl_->http.bind_to_any_port(host) : impl_->http.bind_to_port(host, port) ? port : -1;
    if (bound < 0)
        *error = "cannot listen on " + host + ":" + std::to_string(port) + ": " + std::strerror(errno);
    return bound;
}

bool DashboardServer::serve() { return impl_->http.listen_after_bind(); }

void DashboardServer::stop()
{
    impl_->watcher.stop();
    impl_->http.stop();
}

}  // namespace dashboard
