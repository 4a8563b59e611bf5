// The box runner of every device command: the runner that gives every port its own serial service, job thread and cancel event.
// One port is a run of one box.
//
// A box's job runs on its own thread against its own service; nothing one
// box does (a silent line, a failing step, a lost port) waits on another.
#pragma once

#include "BoxConsole.h"
#include "LineLink.h"
#include "PortList.h"

#include "JobTrace.h"
#include "KvWorkThread.h"
#include "Recorder.h"
#include "SerialMonitorService.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace multiport {

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
