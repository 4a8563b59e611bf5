#include "ProductionLine.h"

#include "JobRecords.h"
#include "JsonText.h"
#include "KvBasicLog.h"
#include "LineTime.h"

#include <chrono>
#include <cstdio>
#include <utility>

namespace stampa {

JobErrorKind ProductionLine::run(CSerialMonitorSerivce& svc, CKvWorkThread* thread, const PassConfig& cfg,
                                 BurnLog& log)
{
    std::string why;
    if (!take(&why)) {
        m_console.event("no code left for this port: " + why);
        return m_refused ? JobErrorKind::Failed : JobErrorKind::None;
    }
    StampaRun run(svc, cfg, log, *this, *this);
    attach(&run);
    run.Run(thread);
    attach(nullptr);
    finish();
    return ending();
}

void ProductionLine::attach(StampaRun* run)
{
    std::lock_guard<std::mutex> l(m_mutex);
    m_run = run;
}

void ProductionLine::stop_after_pass()
{
    std::lock_guard<std::mutex> l(m_mutex);
    m_stopAfter = true;
    if (m_run && m_waiting)
        m_run->Stop();
}

void ProductionLine::stop_now()
{
    std::lock_guard<std::mutex> l(m_mutex);
    m_stopAfter = true;
    if (m_run)
        m_run->Stop();
}

std::string ProductionLine::bar_code()
{
    begin_pass();
    return m_code;
}

bool ProductionLine::confirm_overwrite(const std::atomic<bool>&)
{
    kv_console_printf("the STB has been burned code%s\n", m_o.overwrite ? ": burning over it (--overwrite)" : "");
    return m_o.overwrite;
}

CodeResult ProductionLine::advance_code()
{
    CodeResult r;
    r.ok = take(&r.message);
    r.code = m_code;
    return r;
}

void ProductionLine::OnWaitingForBox(bool waiting)
{
    {
        std::lock_guard<std::mutex> l(m_mutex);
        m_waiting = waiting;
        if (m_waiting && m_stopAfter && m_run)
            m_run->Stop();
    }
    m_console.view().OnWaitingForBox(waiting);
}

Taker ProductionLine::taker()
{
    return {m_seat.station, m_seat.port, m_nextJob,
            [this] {
                std::lock_guard<std::mutex> l(m_mutex);
                return m_stopAfter;
            },
            [this](const std::string& text) { m_console.event("waiting: " + text); }};
}

bool ProductionLine::take(std::string* why)
{
    m_nextJob = line::new_job_id();
    m_holding = m_pool.take(&m_code, why, taker(), &m_refused);
    if (m_holding)
        begin_pass();  // the row stands from the reservation on: a station killed now leaves it running
    return m_holding;
}

// A pass's row in the line database begins with its code's reservation, or,
// for a pass that tries the same code again, when it first asks for it.
void ProductionLine::begin_pass()
{
    if (!m_seat.recorder || m_seat.trace->active())
        return;
    line::JobStart j = m_seat.label;
    j.id = std::exchange(m_nextJob, std::string());  // empty for a pass that tries its code again
    j.code = m_code;
    m_seat.trace->begin(m_seat.recorder, j);
}

void ProductionLine::record_pass(const PassResult& r)
{
    if (r.code_sent) {
        m_holding = false;
        if (m_seat.recorder)
            m_seat.recorder->code_ended(m_code, r.outcome == Outcome::Success);
    }
    if (!m_seat.trace->active())
        return;
    const JobErrorKind kind = r.ok()                            ? JobErrorKind::None
                              : r.outcome == Outcome::Cancelled ? JobErrorKind::Cancelled
                              : r.outcome == Outcome::NoBox     ? JobErrorKind::NoBox
                              : r.outcome == Outcome::PortLost  ? JobErrorKind::Port
                                                                : JobErrorKind::Failed;
    if (kind != JobErrorKind::None)
        m_seat.trace->OnResult(JobResult::failure(kind, r.error, outcome_name(r)));
    m_seat.trace->set_code(m_code);
    m_seat.trace->end(kind);
}

// A pass that ended before any burn frame carried its code gives the code
// back at once; a line that goes on takes its next box's code afresh, and
// stops when it cannot (it never burns a code it does not hold).
void ProductionLine::give_back_unsent(const PassResult& r)
{
    if (r.code_sent || !m_holding || !m_seat.recorder)
        return;
    m_pool.give_back(m_code);
    m_holding = false;
    if (r.outcome == Outcome::Cancelled || r.outcome == Outcome::NoBox || r.outcome == Outcome::PortLost)
        return;  // the run ends
    m_nextJob = line::new_job_id();
    std::string why;
    m_holding = m_pool.take_again(&m_code, &why, taker(), &m_refused);
    if (m_holding) {
        begin_pass();
        return;
    }
    m_console.event("no code left for this port: " + why);
    std::lock_guard<std::mutex> l(m_mutex);
    if (m_run)
        m_run->Stop();
}

void ProductionLine::finish()
{
    if (m_seat.trace->active())
        m_seat.trace->end(JobErrorKind::Cancelled);
    if (m_holding)
        m_pool.give_back(m_code);
    m_holding = false;
}

void ProductionLine::pass_ended(const PassResult& r)
{
    bool no_box;
    {
        std::lock_guard<std::mutex> l(m_mutex);
        // Stopped while it waited for a box: no box was there.
        no_box = m_waiting && r.outcome == Outcome::Cancelled;
        if (m_stopAfter && m_run)
            m_run->Stop();
    }
    if (r.code_sent && r.outcome != Outcome::Success)
        m_pool.spent_unburnt();
    record_pass(r);
    give_back_unsent(r);
    if (no_box && m_station)
        return;
    m_results.push_back(r);
    tell_pass(r);
}

// The box's line on the console and, on a station, its journal line.
void ProductionLine::tell_pass(const PassResult& r)
{
    const int n = static_cast<int>(m_results.size());
    const std::string end = line::utc_now();
    std::string count;
    if (m_station) {
        const std::string start =
            line::utc_text(std::chrono::system_clock::now() - std::chrono::milliseconds(int64_t(r.seconds * 1000)));
        const char* word = r.ok() ? "ok" : r.outcome == Outcome::Cancelled ? "cancelled" : "failed";
        if (!m_console.journal("{\"port\": " + kv_json::quoted(m_seat.port) + ", \"box\": " + std::to_string(n) +
                               ", \"start\": " + kv_json::quoted(start) + ", \"end\": " + kv_json::quoted(end) +
                               ", \"result\": " + kv_json::quoted(word) + ", \"error\": " + kv_json::quoted(r.error) +
                               ", \"outcome\": " + kv_json::quoted(outcome_name(r)) +
                               ", \"code\": " + kv_json::quoted(r.code) + "}"))
            m_console.event("error: the journal line of box " + std::to_string(n) + " was not written");
        count = m_console.count(r.ok(), r.outcome != Outcome::Cancelled);
    }
    char secs[32];
    std::snprintf(secs, sizeof(secs), "%.1f s", r.seconds);
    m_console.event("box " + std::to_string(n) + ": " + r.code + " " + outcome_name(r) + " (" + secs + ")" +
                    (r.error.empty() ? "" : ": " + r.error) + (m_station ? " [" + count + "]" : ""));
}

JobErrorKind ProductionLine::ending() const
{
    if (m_refused)
        return JobErrorKind::Failed;
    if (!m_station)
        return stampa::ending(m_results);
    for (const auto& r : m_results) {
        if (r.outcome == Outcome::Cancelled || r.stopped)
            return JobErrorKind::Cancelled;
        if (r.outcome == Outcome::PortLost)
            return JobErrorKind::Port;
    }
    for (const auto& r : m_results)
        if (!r.ok())
            return JobErrorKind::Failed;
    return JobErrorKind::None;
}

}  // namespace stampa
