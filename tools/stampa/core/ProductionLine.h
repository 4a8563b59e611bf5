// One port's production line: it takes each box's code from the codes the
// lines share (so that no code goes to two boxes), runs the passes, writes a
// row in the line database for each pass and gives back a code no burn
// frame carried. What it has to tell goes to its console.
#pragma once

#include "LineCodes.h"
#include "ProductionRun.h"
#include "StampaPass.h"

#include "JobObserver.h"
#include "JobTrace.h"
#include "KvWorkThread.h"
#include "Recorder.h"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace stampa {

// Where a line shows what it does: the box's view, whole lines about the box
// and, on a station, the box's journal line and its running count.
class LineConsole {
public:
    virtual ~LineConsole() = default;
    // The observer of the box's passes (status, progress, phase, result).
    virtual IJobObserver& view() = 0;
    // A line about the box, printed whole.
    virtual void event(const std::string& text) = 0;
    // A station's journal line of one box; false when it was not written.
    virtual bool journal(const std::string& json) = 0;
    // A station's box counted (done when `ok`; a cancelled pass is not
    // counted): the running count's text after it.
    virtual std::string count(bool ok, bool counted) = 0;
};

// The box a line works on and its record in the line database.
struct LineSeat {
    std::string port;
    std::string station;
    line::Recorder* recorder = nullptr;  // null: nothing recorded
    line::JobTrace* trace = nullptr;
    line::JobStart label;  // the row of each pass
};

class ProductionLine : public IPassHost, public IJobObserver {
public:
    // `station`: a station runs until stopped and writes a journal line per box.
    ProductionLine(LineSeat seat, LineCodes& pool, const RunSettings& o, bool station, LineConsole& console)
        : m_seat(std::move(seat)), m_pool(pool), m_o(o), m_station(station), m_console(console)
    {}

    // Runs the line's passes on `svc` until the codes end or it is stopped;
    // how the line ended.
    JobErrorKind run(CSerialMonitorSerivce& svc, CKvWorkThread* thread, const PassConfig& cfg, BurnLog& log);
    // First Ctrl+C of a station: no further box; a line that waits stops now.
    void stop_after_pass();
    void stop_now();
    const std::vector<PassResult>& results() const { return m_results; }

    // IPassHost
    std::string bar_code() override;
    bool confirm_overwrite(const std::atomic<bool>&) override;
    bool confirm_reuse(const std::string& code, const std::atomic<bool>&) override { return reuse_allowed(m_o, code); }
    CodeResult advance_code() override;
    void pass_ended(const PassResult& r) override;

    // IJobObserver
    void OnStatus(const std::string& text) override { m_console.view().OnStatus(text); }
    void OnWaitingForBox(bool waiting) override;
    void OnResult(const JobResult& r) override { m_console.view().OnResult(r); }
    void OnProgress(int percent) override { m_console.view().OnProgress(percent); }
    void OnPhase(const std::string& name) override { m_console.view().OnPhase(name); }

private:
    void attach(StampaRun* run);
    // The line ends: a code no burn frame carried goes back, and a pass
    // begun and not ended is recorded as cancelled.
    void finish();
    JobErrorKind ending() const;
    bool take(std::string* why);
    Taker taker();
    void begin_pass();
    void record_pass(const PassResult& r);
    void give_back_unsent(const PassResult& r);
    void tell_pass(const PassResult& r);

    LineSeat m_seat;
    LineCodes& m_pool;
    const RunSettings& m_o;
    bool m_station;
    LineConsole& m_console;
    std::string m_code;
    std::mutex m_mutex;
    StampaRun* m_run = nullptr;
    bool m_waiting = false;
    bool m_stopAfter = false;
    std::vector<PassResult> m_results;
    std::string m_nextJob;  // the id of the job the code was reserved for
    bool m_holding = false;  // a code is taken that no burn frame carried yet
    bool m_refused = false;  // the line database refused a code the line was to burn
};

}  // namespace stampa
