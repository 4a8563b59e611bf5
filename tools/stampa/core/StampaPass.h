// One pass (one box: reset, sync, client test, burn, log) and the run that
// repeats passes on a worker thread.
//
// A pass runs on the run's CKvWorkThread and reports through the job
// observer (status texts) and its page (IPassHost). Stop is cooperative:
// every wait polls the stop flag at least every 100 ms, so Stop ends a pass
// between two exchanges, the port and the log stay consistent and the serial
// service gets its port back.
#pragma once

#include "BurnLog.h"
#include "StampaPlatform.h"

#include "CodePage.h"
#include "JobObserver.h"
#include "SerialMonitorService.h"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

class CKvWorkThread;

namespace stampa {

struct CodeResult;

// What a pass asks of its page. Called on the pass's thread.
class IPassHost {
public:
    virtual ~IPassHost() = default;
    // The text of "Bar Code:" now.
    virtual std::string bar_code() = 0;
    // Scan input: true once for every Enter pressed since the last call.
    virtual bool take_new_scan() { return false; }
    // Scan input: a rejected scan empties the field for the next one.
    virtual void clear_scan() {}
    // The focus goes to "Stop".
    virtual void focus_stop() {}
    // Empties "Bar Code:" and puts the focus on it.
    virtual void clear_and_focus() {}
    // Puts a code back into "Bar Code:" (after a failed Cedar pass).
    virtual void put_back(const std::string& /*code*/) {}
    virtual void add_result_row(const std::string& /*code*/, const std::string& /*status*/) {}
    // Cedar: the box already holds a code. True burns over it. May wait for
    // the operator; it should give up (false) once `stop` is set.
    virtual bool confirm_overwrite(const std::atomic<bool>& /*stop*/) { return false; }
    // `code` stands in the burn log only on "Failed" lines: a box it was sent
    // to may hold it. True burns it into this box as well; only the operator
    // may say so, asked with the code named (reuse_question). It should give
    // up (false) once `stop` is set.
    virtual bool confirm_reuse(const std::string& /*code*/, const std::atomic<bool>& /*stop*/) { return false; }
    // Auto and File input, after a pass that burnt its code or sent it to a
    // box: the next code.
    virtual CodeResult advance_code();
    // After every pass.
    virtual void pass_ended(const struct PassResult& /*result*/) {}
};

struct PassConfig {
    Platform platform = Platform::Alder;
    InputType input = InputType::Manual;
    int width = kDefaultWidth;  // characters burnt (0: the whole code)
    int len_sn = 0;  // scans: required length ("LenSN "; 0: not set)
    std::string num_sys;  // scans: character class A-D ("NumSys"; empty: not set)
    std::string client_path;  // Birch: the client image
    double pause_scale = 1.0;  // scales the fixed waits (not the read time-outs)
    int reset_timeout_ms = 0;  // > 0: give up waiting for a box's reset
};

enum class Outcome {
    Success,  // burnt (see `logged`)
    Failed,  // the exchange with the box failed
    Refused,  // the box was not touched or not burnt: a repeat, a bad code, an overwrite declined
    Cancelled,  // Stop
    NoBox,  // no box announced itself within the reset time-out
    PortLost,  // the line to the box went away (or the port was closed): the run ends
};

struct PassResult {
    Outcome outcome = Outcome::Failed;
    std::string code;  // the code of the pass, as shown
    bool logged = true;  // its log line was written (or no log is kept)
    std::string error;  // why it did not succeed, or why the log line is missing
    double seconds = 0;
    bool code_sent = false;  // the code went to the box (it may hold it): the code is spent
    bool stopped = false;  // Stop came while the box was being burnt

    bool ok() const { return outcome == Outcome::Success && logged; }
};

// How a run of passes ended: cancelled, no box or port lost as soon as one
// pass ended so, failed when any failed (or none ran), else success.
JobErrorKind ending(const std::vector<PassResult>& results);

// The result list's status text of a pass.
std::string result_row_text(const PassResult& r);

class StampaRun {
public:
    StampaRun(CSerialMonitorSerivce& svc, PassConfig config, BurnLog& log, IPassHost& host, IJobObserver& observer);

    // Passes until Stop: one for Manual; for Scan one per scanned code; for
    // Auto and File one per box, the code advancing after each pass that sent
    // it to a box (a failed burn spends its code as well), until
    // `max_burns` codes are burnt (0: no limit) or the codes run out. The
    // thread function of `self`.
    uint32_t Run(CKvWorkThread* self);
    // From any thread: the run ends at its next wait.
    void Stop();
    bool running() const { return m_running.load(); }
    void set_max_burns(int n) { m_maxBurns = n; }

    std::vector<PassResult> results() const;

private:
    PassResult pass(CKvWorkThread* self);
    bool code_is_new(const std::string& code, PassResult* r);
    bool settings_complete();

    CSerialMonitorSerivce& m_svc;
    PassConfig m_cfg;
    BurnLog& m_log;
    IPassHost& m_host;
    IJobObserver& m_obs;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_running{false};
    int m_maxBurns = 0;
    mutable std::mutex m_mutex;
    std::vector<PassResult> m_results;

    friend class PassSteps;
};

}  // namespace stampa
