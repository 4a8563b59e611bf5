// The skeleton of a boot-ROM job: named steps run one after another, each
// timed as a phase, the cancel event polled between them, a failure kept with
// its step, outcome and message, and the line put back as it was when the job
// ends. The upgrade, dump and block-upgrade jobs run on it.
#pragma once

#include "BootLink.h"
#include "KvBasicLog.h"
#include "PhaseTimer.h"

#include <string>
#include <vector>

class CKvWorkThread;

namespace bootlink {

// What every step-run job reports. `Step` is the job's enum of steps; it has
// a `Done` that ends the run.
template <class Step>
struct StepResult {
    bool ok = false;
    bool cancelled = false;
    Outcome outcome = Outcome::Ok;
    JobErrorKind kind = JobErrorKind::None;  // why it ended, as the observer's OnResult told
    Step failed = Step::Done;  // the step that failed (Done: none)
    std::string error;  // why, in the words of the log
    std::vector<std::string> warnings;  // what went wrong without failing the job
    PhaseTimes phases;  // name, seconds, in order
};

// Which step a cancel found between two steps is charged to.
enum class CancelBetween {
    ChargesNext,  // the step that was about to run
    ChargesLast,  // the step that ran last
};

template <class Step>
class StepRunner {
public:
    using Namer = const char* (*)(Step);

    // `source` names the job in the log; `cancel_text` is the log line of a
    // cancel found between steps.
    StepRunner(JobContext& ctx, StepResult<Step>& r, Namer name, const char* source, const char* cancel_text,
               CancelBetween charge = CancelBetween::ChargesNext)
        : m_ctx(ctx), m_r(r), m_name(name), m_src(source), m_cancel_text(cancel_text), m_charge(charge)
    {}

    void set_cancel_text(const char* text) { m_cancel_text = text; }

    // A job starts: no warnings yet, the cancel event reset (an "Exit" after
    // this still ends the job).
    void start()
    {
        m_ctx.warnings.clear();
        m_ctx.reset_cancel();
        m_ctx.outcome = Outcome::Ok;
    }

    // `s` is under way, a phase of its own.
    void begin_phase(Step s)
    {
        m_r.failed = s;
        m_phases.begin(m_ctx, m_name(s), m_r.phases);
    }
    void end_phase() { m_phases.end(m_r.phases); }
    // `s` is under way within the phase of the step before it.
    void mark(Step s) { m_r.failed = s; }

    // Records the failure of `s`: the outcome from the context (Failed when
    // it holds none), the message given, else the context's last error.
    // `kind` is the ending of a plain failure; the other outcomes have theirs.
    Step fail(Step s, const std::string& why, JobErrorKind kind)
    {
        m_r.ok = false;
        m_r.failed = s;
        m_r.outcome = m_ctx.outcome == Outcome::Ok ? Outcome::Failed : m_ctx.outcome;
        m_r.kind = m_r.outcome == Outcome::Failed ? kind : error_kind(m_r.outcome);
        m_r.cancelled = m_r.outcome == Outcome::Cancelled;
        m_r.error = !why.empty()                ? why
                    : !m_ctx.last_error.empty() ? m_ctx.last_error
                                                : std::string(m_name(s)) + " failed";
        return Step::Done;
    }

    // The cancel event was found set before the step under way.
    Step cancel()
    {
        BL_LOG(m_src, "%s", m_cancel_text);
        m_ctx.reset_cancel();
        m_ctx.status("");
        m_ctx.outcome = Outcome::Cancelled;
        return fail(m_r.failed, "cancelled by the user", JobErrorKind::Failed);
    }

    // Runs the steps from `first` on the line: `step(s)` runs one and names
    // the next (Done ends the run). The service is held for `job` and the line
    // put back whichever way the run ends.
    template <class F>
    void run_on_line(kv::ServiceJob job, CKvWorkThread* self, bool calibrates, Step first, F&& step)
    {
        kv::ScopedServiceJob service_job(m_ctx.service(), job, self);
        LineRestore line(m_ctx);
        if (m_ctx.keep_going && calibrates)
            m_ctx.keep_going->store(true);
        ClearConsle();
        BL_LOG(m_src, "Please reset the STB!\n");
        m_ctx.outcome = Outcome::Ok;
        for (Step s = first; s != Step::Done;) {
            if (m_charge == CancelBetween::ChargesNext)
                m_r.failed = s;
            if (m_ctx.cancelled()) {
                cancel();
                break;
            }
            begin_phase(s);
            s = step(s);
        }
        if (m_r.ok)
            m_r.failed = Step::Done;
        m_r.warnings = m_ctx.warnings;
    }

    // The job ended: the last phase closed and the result told.
    void ended()
    {
        end_phase();
        if (m_r.ok)
            m_r.kind = JobErrorKind::None;
        m_ctx.result(JobResult{m_r.kind, m_r.ok ? "" : m_name(m_r.failed), m_r.ok ? std::string() : m_r.error});
    }

private:
    JobContext& m_ctx;
    StepResult<Step>& m_r;
    Namer m_name;
    const char* m_src;
    const char* m_cancel_text;
    CancelBetween m_charge;
    PhaseTimer m_phases;
};

}  // namespace bootlink
