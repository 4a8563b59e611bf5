// One panel command's exchange with a box: it connects (reset, panel
// program, link test, record) and then runs the command's own exchange. A
// stop ends the exchange, or runs the gentler end the exchange chose.
#pragma once

#include "PanelStart.h"

#include <atomic>
#include <functional>

namespace fir {

class PanelJob {
public:
    PanelJob(CSerialMonitorSerivce* svc, IPanelEvents* events) : session(svc, events) {}

    // Connects with `start` (waiting `reset_timeout_s` for the reset, 0:
    // for ever), then runs `exchange`; the session is stopped and idle after.
    JobErrorKind run(const PanelStart& start, int reset_timeout_s, const std::function<JobErrorKind()>& exchange);
    // Ctrl+C: the gentle end when one was chosen, else the session stops.
    void stop();
    // From now on a stop runs `end` instead of stopping the exchange.
    void end_gently_by(std::function<void()> end);

    // Waits while an exchange runs; its result.
    PanelResult wait();
    // The kind of a start that failed, else of the exchange's end.
    JobErrorKind wait_for(bool started) { return panel_error_kind(started ? wait() : session.LastResult()); }

    CPanelSession session;

private:
    std::atomic<bool> m_gentle{false};
    std::function<void()> m_gentleEnd;
};

}  // namespace fir
