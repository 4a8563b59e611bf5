#include "JobTrace.h"

#include "JsonText.h"
#include "Recorder.h"

#include <algorithm>
#include <cstdio>

namespace line {

const char* outcome_of(JobErrorKind kind)
{
    switch (kind) {
    case JobErrorKind::None: return "ok";
    case JobErrorKind::Cancelled: return "cancelled";
    default: return "failed";
    }
}

void JobTrace::begin(Recorder* recorder, JobStart job)
{
    if (m_recorder)
        end(JobErrorKind::Failed);
    m_result = JobResult{};
    m_bytes = 0;
    m_moved = false;
    m_phase.clear();
    m_phases.clear();
    m_begun = m_phaseStart = std::chrono::steady_clock::now();
    m_job = std::move(job);
    m_recorder = recorder;
    if (m_recorder)
        m_recorder->job_started(m_job);
}

void JobTrace::close_phase()
{
    if (m_phase.empty())
        return;
    const auto now = std::chrono::steady_clock::now();
    m_phases.emplace_back(m_phase, std::chrono::duration<double>(now - m_phaseStart).count());
    m_phase.clear();
}

std::string JobTrace::phases_json() const
{
    std::string out = "{\"phases\": {";
    for (size_t i = 0; i < m_phases.size(); ++i) {
        char secs[32];
        std::snprintf(secs, sizeof secs, "%.3f", m_phases[i].second);
        out += (i ? ", " : "") + kv_json::quoted(m_phases[i].first) + ": " + secs;
    }
    out += "}";
    if (m_moved)
        out += ", \"bytes\": " + std::to_string(m_bytes);
    return out + "}";
}

void JobTrace::end(JobErrorKind kind, const std::string& report)
{
    if (!m_recorder)
        return;
    close_phase();
    JobEnd e;
    e.outcome = outcome_of(kind);
    if (kind != JobErrorKind::None) {
        e.failed_step = m_result.step;
        e.error = m_result.message;
    }
    e.code = m_job.code;
    e.bytes = m_moved ? static_cast<long long>(m_bytes) : -1;
    e.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_begun).count();
    e.report = report.empty() ? phases_json() : report;
    Recorder* r = m_recorder;
    m_recorder = nullptr;
    r->job_ended(m_job.id, e);
}

void JobTrace::OnStatus(const std::string& text)
{
    if (m_next)
        m_next->OnStatus(text);
}

void JobTrace::OnProgress(int percent)
{
    if (m_next)
        m_next->OnProgress(percent);
}

void JobTrace::OnBytes(uint64_t done, uint64_t total)
{
    // The most a phase moved (the transfer of an upgrade, the chunks of a dump).
    m_bytes = std::max(m_bytes, done);
    m_moved = true;
    if (m_next)
        m_next->OnBytes(done, total);
}

void JobTrace::OnWaitingForBox(bool waiting)
{
    if (m_next)
        m_next->OnWaitingForBox(waiting);
}

void JobTrace::OnPhase(const std::string& name)
{
    close_phase();
    m_phase = name;
    m_phaseStart = std::chrono::steady_clock::now();
    if (m_next)
        m_next->OnPhase(name);
}

void JobTrace::OnButtonsEnabled(bool enabled)
{
    if (m_next)
        m_next->OnButtonsEnabled(enabled);
}

void JobTrace::OnFinished(bool ok, const std::string& error)
{
    if (!ok && m_result.ok())
        m_result = JobResult::failure(JobErrorKind::Failed, error);
    if (m_next)
        m_next->OnFinished(ok, error);
}

void JobTrace::OnResult(const JobResult& r)
{
    m_result = r;
    if (m_next)
        m_next->OnResult(r);
}

}  // namespace line
