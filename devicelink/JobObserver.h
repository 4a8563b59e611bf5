// How a device job reports while it runs.
//
// A job runs on a worker thread and never touches a window. It reports through
// this interface; a view implements it by queuing onto its user-interface
// thread, the command line by printing. Log lines themselves go through
// KvBasicLog as everywhere else.
//
// Whoever needs to decide something (an exit status, a counter, a record)
// decides on the typed events below, never on the text of a status line.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

// Why a job ended. The command line maps each kind onto one exit status.
enum class JobErrorKind {
    None,  // the job succeeded
    Failed,  // the job ran and failed: the box refused, a check failed, a step timed out
    Usage,  // the job was set up wrongly; nothing was done
    Cancelled,  // stopped by the user; nothing is reported as done
    Input,  // an input file is missing, unreadable or not valid; nothing was sent
    Port,  // the port could not be opened, or the connection to it was lost
    NoBox,  // no box announced itself within the reset time-out
    Database,  // the line database cannot be reached; no box was touched
};

// How a job ended: its kind, the step it failed in (empty when none) and the
// message shown to the user.
struct JobResult {
    JobErrorKind kind = JobErrorKind::None;
    std::string step;
    std::string message;

    bool ok() const { return kind == JobErrorKind::None; }
    static JobResult success() { return {}; }
    static JobResult failure(JobErrorKind k, std::string msg, std::string at = {})
    {
        return JobResult{k, std::move(at), std::move(msg)};
    }
};

class IJobObserver {
public:
    virtual ~IJobObserver() = default;
    // A status line of the tool (e.g. "Sync with slave, please wait..."). For
    // the screen and the log only.
    virtual void OnStatus(const std::string& /*text*/) {}
    // Progress of the current phase, 0 to 100.
    virtual void OnProgress(int /*percent*/) {}
    // Bytes moved in the current phase so far, out of `total` (0 when unknown).
    virtual void OnBytes(uint64_t /*done*/, uint64_t /*total*/) {}
    // The job waits for a box to announce itself (true) or stopped waiting.
    virtual void OnWaitingForBox(bool /*waiting*/) {}
    // A named phase begins ("boot init", "client", "transfer", "burn", ...).
    virtual void OnPhase(const std::string& /*name*/) {}
    // The tool's buttons are to be enabled (true) or disabled (false).
    virtual void OnButtonsEnabled(bool /*enabled*/) {}
    // The job ended; `error` says why when it failed.
    virtual void OnFinished(bool /*ok*/, const std::string& /*error*/) {}
    // The job ended, with the kind of its ending. Jobs that know the kind call
    // this one; by default it reports through OnFinished as well, so observers
    // that only know OnFinished keep working.
    virtual void OnResult(const JobResult& r) { OnFinished(r.ok(), r.message); }
};

// An observer that ignores everything.
class NullJobObserver : public IJobObserver {};
