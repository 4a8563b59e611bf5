#include "BoxConsole.h"

#include "Console.h"
#include "KvBasicLog.h"

#include <cstdio>
#include <utility>

namespace multiport {

namespace {

constexpr size_t kNoBox = size_t(-1);

int terminal_columns()
{
    const int columns = kv::console_columns();
    return columns >= 20 ? columns : 80;
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

}  // namespace

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

}  // namespace multiport
