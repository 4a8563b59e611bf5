#include "BoxRunner.h"

#include "ExitStatus.h"

#include "Interrupts.h"
#include "KvBasicLog.h"

#include <thread>
#include <utility>
#include <unistd.h>

namespace multiport {

namespace {

void cancel_box(Box& b)
{
    b.cancel = true;
    b.keep_going = false;
    b.thread.Resume();
}

}  // namespace

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
    kv::InterruptCounter interrupts;
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
        for (int presses = interrupts.presses(); handled < presses; ++handled)
            for (Box* b : running) {
                const auto& react = handled == 0 ? plan.first : plan.again;
                react ? react(*b) : cancel_box(*b);
            }
    }
    for (Box* b : running) {
        b->thread.Detach();
        b->svc.SMS_ClosePort(b->port_index);
    }
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
