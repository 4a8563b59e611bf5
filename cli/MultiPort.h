// The box runner of every device command: the repeated --port and
// --ports-from options, a console that keeps the boxes apart, and the runner
// that gives every port its own serial service, job thread and cancel event.
// One port is a run of one box.
//
// A box's job runs on its own thread against its own service; nothing one
// box does (a silent line, a failing step, a lost port) waits on another.
// On a terminal each box has a progress line of its own (port, phase,
// percent, rate, status) below the log; otherwise every event is one plain
// line beginning with the port in brackets.
#pragma once

#include "JobObserver.h"
#include "JobTrace.h"
#include "KvWorkThread.h"
#include "Recorder.h"
#include "SerialMonitorService.h"

#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace multiport {

struct PortOptions {
    std::vector<std::string> ports;  // every --port, in order
    std::string ports_from;  // --ports-from FILE
};

// Adds --port (repeatable) and --ports-from to `sub`; one of them is needed.
void add_port_options(CLI::App* sub, PortOptions& o);

// The ports named by the options, in order: the --port values, then the
// file's lines (blanks and lines starting with '#' skipped, blanks around a
// name dropped). A file line may carry a second word after the port (the
// port's own setting, such as its project type): it goes to `extras` (one
// entry per port, empty where none), and is refused when `extras` is null.
// False with a message for an unreadable file, no port at all, or a port
// named twice (two jobs on one line would garble each other).
bool collect_ports(const PortOptions& o, std::vector<std::string>* out, std::string* error,
                   std::vector<std::string>* extras = nullptr);

// The ports and the project type of each: a port list's own word, else the
// one value of `given`, else the value at the port's place in `given` (one
// per port). Every type must be one of `allowed`. False with a message.
bool ports_with_types(const PortOptions& o, const std::vector<int>& given, const std::vector<int>& allowed,
                      std::vector<std::string>* ports, std::vector<int>* types, std::string* error);

// A port as a piece of a file name: "/dev/ttyUSB0" -> "ttyUSB0",
// "rfc2217://10.0.0.5:4001" -> "10.0.0.5_4001".
std::string port_label(const std::string& port);

// `pattern` made one box's file: "{port}" is replaced by the port's label,
// or, without it, "-LABEL" goes before the extension ("dump.bin" ->
// "dump-ttyUSB0.bin").
std::string path_for_port(const std::string& pattern, const std::string& port);

// --pause-scale below 1 is for a virtual STB only: a real box needs its
// pauses. False, with the message printed, when `scale` is not 1 and `port` is
// not the port of a running stbsim.
bool pause_scale_allowed(double scale, const std::string& port);

// Starts `svc` and opens `port` on it at `baud`. cli_exit::kOk, or kPort with
// the reason printed (and in *why, when given). *index (may be null)
// receives the port's index.
int open_job_port(CSerialMonitorSerivce* svc, const std::string& port, int baud, int* index = nullptr,
                  std::string* why = nullptr);

// Where a device command records its jobs: --db URL, --no-db, --station NAME.
struct LineFlags {
    std::string db;
    bool no_db = false;
    std::string station;  // the host's name when not given
};
void add_line_options(CLI::App* sub, LineFlags& o);

// The line database of a run, opened before any port is: a run it cannot
// record is refused before a box is touched. `recorder` stays null with
// --no-db.
struct LineLink {
    std::unique_ptr<line::Recorder> recorder;
    std::string station;
    // cli_exit::kOk, or kDatabase (kUsage for a refused URL) with the
    // message printed. The spool of records written while the database is
    // away lies beside `journal` when given, else in the data folder.
    int open(const LineFlags& flags, const std::string& journal = {});
    // Gives `box` its record: `label` with the station and the box's port.
    // `each_job`: the runner writes one row around the box's job; otherwise
    // the job writes one per box it works on (a station).
    void attach(struct Box& box, const line::JobStart& label, bool each_job = true) const;
    ~LineLink();
};

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

// One port of a run: its service (opened by the runner), its thread, its
// cancel event and its console line. Jobs read `svc`, `thread`, `cancel`,
// `keep_going` and `view`; `status` is the exit status of what the job's
// function returned.
struct Box {
    Box(size_t index, std::string port, MultiConsole& console);

    size_t index;
    std::string port;
    CSerialMonitorSerivce svc;
    CKvWorkThread thread;
    int port_index = -1;
    std::atomic<bool> cancel{false};
    std::atomic<bool> keep_going{false};
    std::atomic<bool> stop{false};  // take no further job (a station's first Ctrl+C)
    BoxView& view;
    int status = 0;
    std::string open_error;  // why the port could not be opened
    // The port opens with the service's reader running; false opens it with
    // the reader stopped, for a job that reads the line itself from the
    // first byte (the boot ROM's answers would otherwise show as log text).
    bool reader = true;
    // The box's record in the line database, fed by its view's events. With
    // `recorder` set and `record_job` true, the runner writes one job row
    // around the box's job (`label` describes it, `report` is what the job
    // leaves as its report); a station writes one per pass itself.
    line::JobTrace trace;
    line::Recorder* recorder = nullptr;
    std::string station;
    line::JobStart label;
    bool record_job = true;
    std::string report;
};

// How a run reacts to Ctrl+C: the first press calls `first` (for every box),
// every further press `again`. The defaults cancel every box's job.
struct InterruptPlan {
    std::function<void(Box&)> first;
    std::function<void(Box&)> again;
};

// What a box's job returns: how it ended (the exit status follows from it).
using BoxJob = std::function<JobErrorKind(Box&)>;

// Opens every port on a service of its own at `baud`, then runs `job` for
// each box whose port opened, each on a thread of its own, and waits until
// all have ended. A port that does not open gets cli_exit::kPort and its
// message in `open_error`; the others run. `intro` (when not empty) is
// printed once the ports are open. Ctrl+C is caught only while the jobs
// run; every port is closed and the old handler back before it returns,
// whether the threads started or not. Returns whether Ctrl+C was pressed.
bool run_boxes(std::vector<std::unique_ptr<Box>>& boxes, int baud, const BoxJob& job, MultiConsole& console,
               const InterruptPlan& plan = {}, const std::string& intro = {});

// The boxes of a run, one per port.
std::vector<std::unique_ptr<Box>> make_boxes(const std::vector<std::string>& ports, MultiConsole& console);

// The exit status of a run from every box's status: 0 when all succeeded;
// interrupted when Ctrl+C was pressed and a box did not succeed; the one
// status all failures share; otherwise "failed".
int combined_status(const std::vector<std::unique_ptr<Box>>& boxes, bool interrupted);

// One run of a device command over its ports: a run of one port is a run of
// one box, printed as a single job; several ports are boxes side by side.
// Every device command goes through it: one Ctrl+C handling, one log
// listener, one console, one exit-status table.
class BoxRun {
public:
    explicit BoxRun(const std::vector<std::string>& ports);

    bool one() const { return console.one_box(); }
    // The boxes of the run. Refused (false, message printed) when the pause
    // scale is not 1 on a port that is not a virtual STB's.
    static bool pauses_allowed(const std::vector<std::string>& ports, double pause_scale);
    // Runs `job` on every box; `intro_one` is printed once the port of a
    // single box is open, `intro_many` before several ports open. The exit
    // status of the whole run.
    int run(int baud, const BoxJob& job, const std::string& intro_one, const std::string& intro_many,
            const InterruptPlan& plan = {});

    // Opens the line database (see LineLink) and gives every box its record:
    // `label` describes the job, `describe` (may be empty) adds what differs
    // by box (its project type). cli_exit::kOk or the status printed.
    int record(const LineFlags& flags, const line::JobStart& label,
               const std::function<void(const Box&, line::JobStart&)>& describe = {});

    LineLink line;
    MultiConsole console;
    std::vector<std::unique_ptr<Box>> boxes;
    bool interrupted = false;
};

// The start row of a job on an image: the file's name, size and SHA-256
// (left empty when the file cannot be read).
line::JobStart job_label(const std::string& tool, const std::string& kind, const std::string& image = {});

}  // namespace multiport
