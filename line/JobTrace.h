// One job's row in the line database, written from the job's own events: the
// trace sits between the job and whoever shows it, keeps the phase times and
// the bytes moved, and writes the start row and the ending. Used by the
// command line's box runner and by the tool tabs alike.
#pragma once

#include "JobObserver.h"
#include "JobRecords.h"

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace line {

class Recorder;

// "ok", "cancelled" or "failed".
const char* outcome_of(JobErrorKind kind);

class JobTrace : public IJobObserver {
public:
    // The events go on to `next` (may be null). Nothing is recorded until
    // begin() is given a recorder.
    explicit JobTrace(IJobObserver* next = nullptr) : m_next(next) {}
    void set_next(IJobObserver* next) { m_next = next; }

    // Writes the start row of `job` (its id and start time filled in); a null
    // recorder records nothing. A trace begun and not ended is ended first.
    void begin(Recorder* recorder, JobStart job);
    // Writes the ending: the outcome of `kind`, the step and message of the
    // last result the job reported, the phase times and bytes. `report` is the
    // job's own report (its --report JSON) when it has one.
    void end(JobErrorKind kind, const std::string& report = {});
    bool active() const { return m_recorder != nullptr; }
    const std::string& id() const { return m_job.id; }
    // The code of a stampa pass, once it is known.
    void set_code(const std::string& code) { m_job.code = code; }

    void OnStatus(const std::string& text) override;
    void OnProgress(int percent) override;
    void OnBytes(uint64_t done, uint64_t total) override;
    void OnWaitingForBox(bool waiting) override;
    void OnPhase(const std::string& name) override;
    void OnButtonsEnabled(bool enabled) override;
    void OnFinished(bool ok, const std::string& error) override;
    void OnResult(const JobResult& r) override;

private:
    void close_phase();
    std::string phases_json() const;

    IJobObserver* m_next;
    Recorder* m_recorder = nullptr;
    JobStart m_job;
    JobResult m_result;
    uint64_t m_bytes = 0;
    bool m_moved = false;
    std::chrono::steady_clock::time_point m_begun, m_phaseStart;
    std::string m_phase;
    std::vector<std::pair<std::string, double>> m_phases;
};

}  // namespace line
