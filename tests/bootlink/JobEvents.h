// An observer that keeps a job's typed events, for the checks of the job
// suites: the bytes moved, the waits for the box, the phases and the ending.
#pragma once

#include "JobObserver.h"
#include "WaitUntil.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace jobtest {

class EventRecorder : public IJobObserver {
public:
    // Passed on as well (a suite's own observer), when set.
    IJobObserver* next = nullptr;

    void OnStatus(const std::string& t) override
    {
        pass([&](IJobObserver& o) { o.OnStatus(t); });
    }
    void OnProgress(int p) override
    {
        pass([&](IJobObserver& o) { o.OnProgress(p); });
    }
    void OnBytes(uint64_t done, uint64_t total) override
    {
        keep([&] { bytes.emplace_back(done, total); });
    }
    void OnWaitingForBox(bool w) override
    {
        keep([&] { waits.push_back(w); });
    }
    void OnPhase(const std::string& n) override
    {
        keep([&] { phases.push_back(n); });
        pass([&](IJobObserver& o) { o.OnPhase(n); });
    }
    void OnResult(const JobResult& r) override
    {
        keep([&] { results.push_back(r); });
    }

    void clear()
    {
        keep([&] {
            bytes.clear();
            waits.clear();
            phases.clear();
            results.clear();
        });
    }
    // The one ending of the last run (a failed check when there was none or more).
    JobResult ending() const
    {
        std::lock_guard<std::mutex> l(m_m);
        if (results.size() != 1)
            return JobResult::failure(JobErrorKind::Usage, std::to_string(results.size()) + " endings", "?");
        return results.front();
    }
    // The last bytes report of the phase, or (0, 0).
    std::pair<uint64_t, uint64_t> last_bytes() const
    {
        std::lock_guard<std::mutex> l(m_m);
        return bytes.empty() ? std::pair<uint64_t, uint64_t>{0, 0} : bytes.back();
    }
    // True once the job began to wait for the box.
    bool waited() const
    {
        std::lock_guard<std::mutex> l(m_m);
        return !waits.empty() && waits.front();
    }
    // Never a count that goes back within one total.
    bool bytes_rise() const
    {
        std::lock_guard<std::mutex> l(m_m);
        for (size_t i = 1; i < bytes.size(); ++i)
            if (bytes[i].second == bytes[i - 1].second && bytes[i].first < bytes[i - 1].first)
                return false;
        return true;
    }

    std::vector<std::pair<uint64_t, uint64_t>> bytes;
    std::vector<bool> waits;
    std::vector<std::string> phases;
    std::vector<JobResult> results;

private:
    template <class F>
    void keep(F&& f)
    {
        std::lock_guard<std::mutex> l(m_m);
        f();
    }
    template <class F>
    void pass(F&& f)
    {
        if (next)
            f(*next);
    }
    mutable std::mutex m_m;
};

using testsupport::wait_until;

}  // namespace jobtest
