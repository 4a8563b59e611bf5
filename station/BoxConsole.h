// The console of a run: on a terminal each box has a progress line of its
// own (port, phase, percent, rate, status) below the log; otherwise every
// event is one plain line beginning with the port in brackets.
#pragma once

#include "JobObserver.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace multiport {

class MultiConsole;

// What the console knows of one box; the box's observer. Besides showing
// the job, it keeps what the job told by typed events: whether it waits for
// a box and how it ended.
class BoxView : public IJobObserver {
public:
    BoxView(MultiConsole& console, size_t index, std::string port);
    void OnStatus(const std::string& text) override;
    void OnProgress(int percent) override;
    void OnBytes(uint64_t done, uint64_t total) override;
    void OnPhase(const std::string& name) override;
    void OnWaitingForBox(bool waiting) override;
    void OnResult(const JobResult& r) override;

    const std::string& port() const { return m_port; }
    // The running count of a station: boxes done, boxes failed, and what the
    // progress line shows after them.
    void set_counts(int done, int failed, double per_hour);
    // The box's outcome ("OK", "FAILED at ...") in its progress line.
    void show_result(const std::string& text);
    // The last result the job reported (success when it reported none).
    JobResult result() const;
    // Whether the job waits for a box to announce itself now.
    bool waiting() const;
    // Every event goes on to `tap` too (the box's record).
    void set_tap(IJobObserver* tap) { m_tap = tap; }

private:
    friend class MultiConsole;
    std::string line_locked() const;  // the progress line (console mutex held)
    std::string prefix() const;  // "[PORT] " before each of its lines, "" for the one box of a run

    MultiConsole& m_console;
    size_t m_index;
    std::string m_port;
    std::string m_phase;
    std::string m_status;
    int m_percent = 0;
    int m_lastStep = -1;
    bool m_counting = false;  // a running count came: the next status is its text, told by the progress
    long long m_rateBytes = -1;  // bytes at the start of the rate window
    std::chrono::steady_clock::time_point m_rateStart;
    double m_rate = 0;  // bytes a second
    std::string m_counts;
    std::string m_partial;  // a log line not yet ended
    bool m_waiting = false;
    JobResult m_result;
    IJobObserver* m_tap = nullptr;
};

// The console of a run. It routes every log record of the process by the
// thread's log tag (the port) to its box; records of other threads are
// printed as they are. A run of one box (`one_box`) prints as a single job
// does: no port before the lines, one progress bar on a terminal.
class MultiConsole {
public:
    MultiConsole(const std::vector<std::string>& ports, bool tty, bool one_box = false);
    ~MultiConsole();
    MultiConsole(const MultiConsole&) = delete;
    MultiConsole& operator=(const MultiConsole&) = delete;

    size_t size() const { return m_boxes.size(); }
    bool one_box() const { return m_one; }
    BoxView& box(size_t i) { return *m_boxes[i]; }
    // A line about box `i` ("box 3: OK"), printed whole with the port.
    void event(size_t i, const std::string& text);
    // Why box `i` could not run: an event of its own, or on standard error
    // for the one box of a run.
    void error(size_t i, const std::string& text);
    // A line about the whole run.
    void note(const std::string& text);
    // Redraws the progress lines if something changed (called while waiting).
    void tick();
    // Ends the display: open log lines are ended, the progress lines stay.
    void finish();

private:
    friend class BoxView;
    void log_record(const std::string& text);
    void box_text(size_t i, const std::string& text);
    void print_above(const std::string& lines);  // mutex held
    void clear_block();  // mutex held
    void draw_block();  // mutex held
    void changed(bool now);  // mutex held

    mutable std::mutex m_mutex;
    bool m_tty;
    bool m_one;
    bool m_openLine = false;  // one box: the last log record did not end its line
    std::vector<std::unique_ptr<BoxView>> m_boxes;
    bool m_blockShown = false;
    bool m_dirty = false;
    std::chrono::steady_clock::time_point m_lastDraw;
    int m_listener = 0;
};

}  // namespace multiport
