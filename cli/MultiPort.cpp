#include "MultiPort.h"

#include "ExitStatus.h"
#include "PortHelp.h"

#include "KvBasicLog.h"
#include "Recorder.h"
#include "TextLines.h"
#include "VirtualPorts.h"

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sys/ioctl.h>
#include <thread>
#include <utility>
#include <unistd.h>

namespace multiport {

namespace {

constexpr size_t kNoBox = size_t(-1);

using kv::trimmed;

int terminal_columns()
{
    winsize ws{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col >= 20)
        return ws.ws_col;
    return 80;
}

std::string rate_text(double bytes_per_s)
{
    if (bytes_per_s <= 0)
        return "";
    char b[32];
    if (bytes_per_s >= 1024 * 1024)
        std::snprintf(b, sizeof(b), "%.1f MiB/s", bytes_per_s / (1024 * 1024));
    else
        std::snprintf(b, sizeof(b), "%.1f KiB/s", bytes_per_s / 1024);
    return b;
}

// The lines of a port list: "PORT" or "PORT WORD".
bool read_port_file(const std::string& path, std::vector<std::string>* ports, std::vector<std::string>* extras,
                    std::string* error)
{
    std::ifstream f(path);
    if (!f) {
        *error = "cannot read the port list " + path;
        return false;
    }
    std::string line;
    for (int n = 1; std::getline(f, line); ++n) {
        if (n > 4096) {
            *error = "the port list " + path + " has more than 4096 lines";
            return false;
        }
        std::string t = trimmed(line);
        if (t.empty() || t[0] == '#')
            continue;
        size_t gap = t.find_first_of(" \t");
        ports->push_back(t.substr(0, gap));
        extras->push_back(gap == std::string::npos ? "" : trimmed(t.substr(gap)));
        if (extras->back().find_first_of(" \t") != std::string::npos) {
            *error = path + " line " + std::to_string(n) + ": more than a port and one setting";
            return false;
        }
    }
    return true;
}

std::atomic<int> g_presses{0};

extern "C" void count_sigint(int) { g_presses.fetch_add(1); }

void cancel_box(Box& b)
{
    b.cancel = true;
    b.keep_going = false;
    b.thread.Resume();
}

}  // namespace

// ---- options --------------------------------------------------------------

void add_port_options(CLI::App* sub, PortOptions& o)
{
    sub->add_option("--port", o.ports,
                    port_option_help("a box") +
                        ". Repeat it for several boxes at once: each port gets its own job and thread")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    sub->add_option("--ports-from", o.ports_from,
                    "Ports from a file, one per line (blank lines and lines starting with # are skipped), after "
                    "any --port")
        ->check(CLI::ExistingFile);
}

bool collect_ports(const PortOptions& o, std::vector<std::string>* out, std::string* error,
                   std::vector<std::string>* extras)
{
    out->clear();
    std::vector<std::string> extra;
    for (const std::string& p : o.ports)
        if (!trimmed(p).empty()) {
            out->push_back(trimmed(p));
            extra.emplace_back();
        }
    if (!o.ports_from.empty() && !read_port_file(o.ports_from, out, &extra, error))
        return false;
    if (out->empty()) {
        *error = "give the port of the box with --port (or a list with --ports-from)";
        return false;
    }
    for (size_t i = 0; i < out->size(); ++i) {
        if (!extras && !extra[i].empty()) {
            *error = "the port list " + o.ports_from + " names more than a port on the line of " + (*out)[i];
            return false;
        }
        for (size_t k = 0; k < i; ++k)
            if ((*out)[i] == (*out)[k]) {
                *error = "the port " + (*out)[i] + " is named twice";
                return false;
            }
    }
    if (extras)
        *extras = std::move(extra);
    return true;
}

bool ports_with_types(const PortOptions& o, const std::vector<int>& given, const std::vector<int>& allowed,
                      std::vector<std::string>* ports, std::vector<int>* types, std::string* error)
{
    std::vector<std::string> own;
    if (!collect_ports(o, ports, error, &own))
        return false;
    if (given.size() > 1 && given.size() != ports->size()) {
        *error = std::to_string(given.size()) + " project types for " + std::to_string(ports->size()) +
                 " ports: give one, or one per port";
        return false;
    }
    types->clear();
    for (size_t i = 0; i < ports->size(); ++i) {
        int t = -1;
        if (!own[i].empty()) {
            char* end = nullptr;
            long v = std::strtol(own[i].c_str(), &end, 10);
            t = (own[i].size() <= 2 && end && *end == '\0') ? static_cast<int>(v) : -2;
        } else if (!given.empty()) {
            t = given.size() == 1 ? given[0] : given[i];
        }
        if (t == -1) {
            *error = "no project type for " + (*ports)[i] + ": give --project-type";
            return false;
        }
        if (std::find(allowed.begin(), allowed.end(), t) == allowed.end()) {
            *error = (*ports)[i] + ": project type " + own[i] + " is not one this command takes";
            return false;
        }
        types->push_back(t);
    }
    return true;
}

std::string port_label(const std::string& port)
{
    std::string p = port;
    size_t scheme = p.find("://");
    if (scheme != std::string::npos)
        p = p.substr(scheme + 3);
    else if (size_t slash = p.find_last_of('/'); slash != std::string::npos)
        p = p.substr(slash + 1);
    std::string out;
    for (char c : p)
        out += (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.') ? c : '_';
    return out.empty() ? "port" : out;
}

std::string path_for_port(const std::string& pattern, const std::string& port)
{
    const std::string label = port_label(port);
    size_t at = pattern.find("{port}");
    if (at != std::string::npos) {
        std::string out = pattern;
        for (; at != std::string::npos; at = out.find("{port}", at + label.size()))
            out.replace(at, 6, label);
        return out;
    }
    size_t slash = pattern.find_last_of('/');
    size_t dot = pattern.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash) || dot == slash + 1 || dot == 0)
        return pattern + "-" + label;
    return pattern.substr(0, dot) + "-" + label + pattern.substr(dot);
}

// ---- one box's view ------------------------------------------------------

BoxView::BoxView(MultiConsole& console, size_t index, std::string port)
    : m_console(console), m_index(index), m_port(std::move(port))
{}

std::string BoxView::prefix() const { return m_console.m_one ? std::string() : "[" + m_port + "] "; }

void BoxView::OnStatus(const std::string& text)
{
    if (m_tap)
        m_tap->OnStatus(text);
    std::lock_guard<std::mutex> l(m_console.m_mutex);
    if (text == m_status)
        return;
    m_status = text;
    // The text of a running count (bytes, percent) is told by the progress.
    const bool count = std::exchange(m_counting, false);
    if (!m_console.m_tty && !text.empty() && !count)
        m_console.print_above(prefix() + "[status] " + text + "\n");
    m_console.changed(false);
}

void BoxView::OnProgress(int percent)
{
    if (m_tap)
        m_tap->OnProgress(percent);
    std::lock_guard<std::mutex> l(m_console.m_mutex);
    m_counting = percent > 0;
    if (percent == m_percent)
        return;
    m_percent = percent;
    if (!m_console.m_tty) {
        int step = percent / 10;
        if (percent > 0 && step != m_lastStep) {
            m_lastStep = step;
            m_console.print_above(prefix() + "[progress] " + m_phase + " " + std::to_string(percent) + "%\n");
        }
        if (percent == 0)
            m_lastStep = -1;
        return;
    }
    m_console.changed(false);
}

void BoxView::OnBytes(uint64_t done, uint64_t total)
{
    if (m_tap)
        m_tap->OnBytes(done, total);
    std::lock_guard<std::mutex> l(m_console.m_mutex);
    m_counting = true;
    const long long bytes = static_cast<long long>(done);
    auto now = std::chrono::steady_clock::now();
    if (m_rateBytes < 0 || bytes < m_rateBytes) {
        m_rateBytes = bytes;
        m_rateStart = now;
    } else {
        double s = std::chrono::duration<double>(now - m_rateStart).count();
        if (s >= 0.5)
            m_rate = double(bytes - m_rateBytes) / s;
    }
    m_console.changed(false);
}

void BoxView::OnPhase(const std::string& name)
{
    if (m_tap)
        m_tap->OnPhase(name);
    std::lock_guard<std::mutex> l(m_console.m_mutex);
    m_phase = name;
    m_lastStep = -1;
    m_percent = 0;
    m_counting = false;
    m_rate = 0;
    m_rateBytes = -1;
    if (!m_console.m_tty || m_console.m_one)
        m_console.print_above(prefix() + "== " + name + "\n");
    m_console.changed(true);
}

void BoxView::OnWaitingForBox(bool waiting)
{
    if (m_tap)
        m_tap->OnWaitingForBox(waiting);
    std::lock_guard<std::mutex> l(m_console.m_mutex);
    m_waiting = waiting;
}

void BoxView::OnResult(const JobResult& r)
{
    if (m_tap)
        m_tap->OnResult(r);
    std::lock_guard<std::mutex> l(m_console.m_mutex);
    m_result = r;
}

JobResult BoxView::result() const
{
    std::lock_guard<std::mutex> l(m_console.m_mutex);
    return m_result;
}

bool BoxView::waiting() const
{
    std::lock_guard<std::mutex> l(m_console.m_mutex);
    return m_waiting;
}

void BoxView::set_counts(int done, int failed, double per_hour)
{
    char b[96];
    std::snprintf(b, sizeof(b), "done %d, failed %d, %.1f boxes/h", done, failed, per_hour);
    std::lock_guard<std::mutex> l(m_console.m_mutex);
    m_counts = b;
    m_console.changed(true);
}

void BoxView::show_result(const std::string& text)
{
    std::lock_guard<std::mutex> l(m_console.m_mutex);
    m_status = text;
    m_rate = 0;
    m_console.changed(true);
}

std::string BoxView::line_locked() const
{
    char b[96];
    if (m_console.m_one) {
        // The one box of a run: a bar, its percent and the status.
        const int filled = m_percent * 30 / 100;
        std::snprintf(b, sizeof(b), "[%.*s%*s] %3d%% ", filled, "##############################", 30 - filled, "",
                      m_percent);
        return b + m_status;
    }
    std::snprintf(b, sizeof(b), " %-12.12s %3d%% %-11s", m_phase.c_str(), m_percent, rate_text(m_rate).c_str());
    std::string line = m_port + b;
    if (!m_counts.empty())
        line += " [" + m_counts + "]";
    if (!m_status.empty())
        line += " " + m_status;
    return line;
}

// ---- the console ------------------------------------------------------------

MultiConsole::MultiConsole(const std::vector<std::string>& ports, bool tty, bool one_box)
    : m_tty(tty), m_one(one_box && ports.size() == 1)
{
    for (size_t i = 0; i < ports.size(); ++i)
        m_boxes.push_back(std::make_unique<BoxView>(*this, i, ports[i]));
    kv::log_set_fallback(kv::LogFallback::FileOnly);
    m_listener = kv::log_add_listener([this](int kind, const std::string& text) {
        if (kind != 4)
            log_record(text);
    });
}

MultiConsole::~MultiConsole()
{
    kv::log_remove_listener(m_listener);
    kv::log_set_fallback(kv::LogFallback::StdoutAndFile);
}

void MultiConsole::log_record(const std::string& text)
{
    const std::string& tag = kv::log_thread_tag();
    size_t box = kNoBox;
    for (size_t i = 0; i < m_boxes.size() && !tag.empty() && !m_one; ++i)
        if (m_boxes[i]->m_port == tag)
            box = i;
    box_text(box, text);
}

void MultiConsole::box_text(size_t i, const std::string& text)
{
    std::lock_guard<std::mutex> l(m_mutex);
    if (m_one) {
        // As the job writes it; the bar waits for the end of an open line.
        clear_block();
        std::fwrite(text.data(), 1, text.size(), stdout);
        m_openLine = !text.empty() && text.back() != '\n';
        draw_block();
        std::fflush(stdout);
        return;
    }
    if (i == kNoBox) {
        print_above(text.empty() || text.back() == '\n' || !m_tty ? text : text + "\n");
        return;
    }
    BoxView& b = *m_boxes[i];
    b.m_partial += text;
    std::string out;
    size_t nl;
    while ((nl = b.m_partial.find('\n')) != std::string::npos) {
        out += "[" + b.m_port + "] " + b.m_partial.substr(0, nl + 1);
        b.m_partial.erase(0, nl + 1);
    }
    // A box that never ends its line still gets shown, in pieces.
    if (b.m_partial.size() > 4096) {
        out += "[" + b.m_port + "] " + b.m_partial + "\n";
        b.m_partial.clear();
    }
    if (!out.empty())
        print_above(out);
}

void MultiConsole::event(size_t i, const std::string& text)
{
    std::lock_guard<std::mutex> l(m_mutex);
    print_above(m_boxes[i]->prefix() + text + "\n");
}

void MultiConsole::error(size_t i, const std::string& text)
{
    if (!m_one)
        return event(i, "error: " + text);
    std::lock_guard<std::mutex> l(m_mutex);
    clear_block();
    std::fflush(stdout);
    std::fprintf(stderr, "error: %s\n", text.c_str());
}

void MultiConsole::note(const std::string& text)
{
    std::lock_guard<std::mutex> l(m_mutex);
    print_above(text + "\n");
}

void MultiConsole::tick()
{
    std::lock_guard<std::mutex> l(m_mutex);
    if (m_dirty)
        changed(true);
}

void MultiConsole::finish()
{
    std::lock_guard<std::mutex> l(m_mutex);
    if (m_one) {
        clear_block();
        std::fflush(stdout);
        return;
    }
    std::string rest;
    for (auto& b : m_boxes)
        if (!b->m_partial.empty()) {
            rest += "[" + b->m_port + "] " + b->m_partial + "\n";
            b->m_partial.clear();
        }
    if (!rest.empty())
        print_above(rest);
    if (m_tty) {
        clear_block();
        draw_block();
        m_blockShown = false;  // the last progress lines stay on the screen
    }
    std::fflush(stdout);
}

void MultiConsole::print_above(const std::string& lines)
{
    clear_block();
    std::fwrite(lines.data(), 1, lines.size(), stdout);
    if (m_one)
        m_openLine = false;
    draw_block();
    std::fflush(stdout);
}

void MultiConsole::clear_block()
{
    if (!m_tty || !m_blockShown)
        return;
    if (m_one)
        std::printf("\r\033[K");
    else
        std::printf("\033[%zuA\r\033[J", m_boxes.size());
    m_blockShown = false;
}

void MultiConsole::draw_block()
{
    if (!m_tty)
        return;
    m_dirty = false;
    m_lastDraw = std::chrono::steady_clock::now();
    if (m_one) {
        // The bar stays on its own line, below whatever the job writes.
        const BoxView& b = *m_boxes[0];
        if (b.m_percent <= 0 || m_openLine)
            return;
        const std::string bar = b.line_locked();
        std::fwrite(bar.data(), 1, bar.size(), stdout);
        m_blockShown = true;
        return;
    }
    const size_t width = static_cast<size_t>(terminal_columns() - 1);
    std::string block;
    for (auto& b : m_boxes) {
        std::string line = b->line_locked();
        if (line.size() > width)
            line.resize(width);
        block += line + "\n";
    }
    std::fwrite(block.data(), 1, block.size(), stdout);
    m_blockShown = true;
}

void MultiConsole::changed(bool now)
{
    if (!m_tty)
        return;
    m_dirty = true;
    if (now || m_one || std::chrono::steady_clock::now() - m_lastDraw >= std::chrono::milliseconds(100)) {
        clear_block();
        draw_block();
        std::fflush(stdout);
    }
}

// ---- the runner -------------------------------------------------------------

bool pause_scale_allowed(double scale, const std::string& port)
{
    if (scale == 1.0 || kv::is_virtual_stb_port(port))
        return true;
    std::fprintf(stderr,
                 "error: --pause-scale is for a virtual STB only, and %s is not the port of a running stbsim: "
                 "a real box needs its pauses\n",
                 port.c_str());
    return false;
}

int open_job_port(CSerialMonitorSerivce* svc, const std::string& port, int baud, int* index, std::string* why)
{
    std::string text;
    serialport_config_tag cfg;
    if (!svc || !svc->SMS_Init()) {
        std::fprintf(stderr, "error: the serial service did not start\n");
        text = "cannot open " + port + ": the serial service did not start";
    } else if (cfg.port_index = svc->SMS_AddPort(port), cfg.baud_rate = baud;
               cfg.port_index < 0 || !svc->SMS_OpenPort(cfg)) {
        text = "cannot open " + port + ": " + svc->last_error();
        std::fprintf(stderr, "error: %s\n", text.c_str());
    }
    if (why)
        *why = text;
    if (!text.empty())
        return cli_exit::kPort;
    if (index)
        *index = cfg.port_index;
    return cli_exit::kOk;
}

Box::Box(size_t i, std::string p, MultiConsole& console) : index(i), port(std::move(p)), view(console.box(i))
{
    svc.set_log_tag(port);
    view.set_tap(&trace);
}

std::vector<std::unique_ptr<Box>> make_boxes(const std::vector<std::string>& ports, MultiConsole& console)
{
    std::vector<std::unique_ptr<Box>> boxes;
    for (size_t i = 0; i < ports.size(); ++i)
        boxes.push_back(std::make_unique<Box>(i, ports[i], console));
    return boxes;
}

namespace {

// A box whose port did not open still has its job's row: failed at the port.
void record_open_failure(Box& b)
{
    if (!b.recorder || !b.record_job)
        return;
    b.trace.begin(b.recorder, b.label);
    b.trace.OnResult(JobResult::failure(JobErrorKind::Port, b.open_error, "open port"));
    b.trace.end(JobErrorKind::Port);
}

// Opens the ports and attaches each box's job to its thread; the boxes whose
// port opened.
std::vector<Box*> open_boxes(std::vector<std::unique_ptr<Box>>& boxes, int baud, const BoxJob& job,
                             MultiConsole& console)
{
    std::vector<Box*> running;
    for (auto& b : boxes) {
        if (!b->reader)
            b->svc.SMS_StopSvc();  // before the port opens: the reader never takes a byte
        if (open_job_port(&b->svc, b->port, baud, &b->port_index, &b->open_error) != cli_exit::kOk) {
            b->status = cli_exit::kPort;
            record_open_failure(*b);
            if (!console.one_box())  // the one box's reason stands on standard error already
                console.event(b->index, "error: " + b->open_error);
            continue;
        }
        Box* box = b.get();
        box->thread.Attach([box, &job]() -> uint32_t {
            kv::log_set_thread_tag(box->port);
            const bool record = box->recorder && box->record_job;
            if (record)
                box->trace.begin(box->recorder, box->label);
            const JobErrorKind kind = job(*box);
            if (record)
                box->trace.end(kind, box->report);
            box->status = cli_exit::of(kind);
            return 0;
        });
        running.push_back(box);
    }
    return running;
}

}  // namespace

bool run_boxes(std::vector<std::unique_ptr<Box>>& boxes, int baud, const BoxJob& job, MultiConsole& console,
               const InterruptPlan& plan, const std::string& intro)
{
    std::vector<Box*> running = open_boxes(boxes, baud, job, console);
    if (!intro.empty() && !running.empty())
        console.note(intro);
    g_presses = 0;
    auto old = std::signal(SIGINT, count_sigint);
    for (Box* b : running)
        if (!b->thread.Start(1)) {
            b->status = cli_exit::kFailed;
            console.error(b->index, "cannot start the job thread");
        }
    int handled = 0;
    for (;;) {
        bool any = false;
        for (Box* b : running)
            any = any || b->thread.IsRunning();
        if (!any)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        console.tick();
        for (int presses = g_presses.load(); handled < presses; ++handled)
            for (Box* b : running) {
                const auto& react = handled == 0 ? plan.first : plan.again;
                react ? react(*b) : cancel_box(*b);
            }
    }
    for (Box* b : running) {
        b->thread.Detach();
        b->svc.SMS_ClosePort(b->port_index);
    }
    std::signal(SIGINT, old);
    for (auto& b : boxes)
        b->svc.SMS_Deinit();
    console.finish();
    return handled > 0;
}

int combined_status(const std::vector<std::unique_ptr<Box>>& boxes, bool interrupted)
{
    int shared = cli_exit::kOk;
    for (const auto& b : boxes) {
        if (b->status == cli_exit::kOk)
            continue;
        if (interrupted)
            return cli_exit::kInterrupted;
        if (shared == cli_exit::kOk)
            shared = b->status;
        else if (shared != b->status)
            shared = cli_exit::kFailed;
    }
    return shared;
}

BoxRun::BoxRun(const std::vector<std::string>& ports)
    : console(ports, ::isatty(STDOUT_FILENO) != 0, true), boxes(make_boxes(ports, console))
{}

bool BoxRun::pauses_allowed(const std::vector<std::string>& ports, double pause_scale)
{
    for (const std::string& p : ports)
        if (!pause_scale_allowed(pause_scale, p))
            return false;
    return true;
}

int BoxRun::run(int baud, const BoxJob& job, const std::string& intro_one, const std::string& intro_many,
                const InterruptPlan& plan)
{
    if (!one() && !intro_many.empty())
        console.note(intro_many);
    interrupted = run_boxes(boxes, baud, job, console, plan, one() ? intro_one : std::string());
    return combined_status(boxes, interrupted);
}

}  // namespace multiport
