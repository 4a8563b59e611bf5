#include "PanelJob.h"

namespace fir {

JobErrorKind PanelJob::run(const PanelStart& start, int reset_timeout_s,
                                const std::function<JobErrorKind()>& exchange)
{
    ConnectOptions co;
    co.reset_wait_ms = reset_timeout_s * 1000;
    JobErrorKind kind = wait_for(session.StartConnect(start.platform, start.record, co));
    if (kind == JobErrorKind::None)
        kind = exchange();
    session.Stop();
    session.WaitIdle(30000);
    return kind;
}

void PanelJob::stop()
{
    if (m_gentle)
        m_gentleEnd();
    else
        session.Stop();
}

void PanelJob::end_gently_by(std::function<void()> end)
{
    m_gentleEnd = std::move(end);
    m_gentle = true;
}

PanelResult PanelJob::wait()
{
    while (!session.WaitIdle(50)) {}
    return session.LastResult();
}

}  // namespace fir
