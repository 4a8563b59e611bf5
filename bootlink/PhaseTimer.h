// The wall time of a job's phases, one after another, in the order they ran.
#pragma once

#include "BootLink.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace bootlink {

// Phase name and seconds, in order.
using PhaseTimes = std::vector<std::pair<std::string, double>>;

class PhaseTimer {
public:
    // Ends the phase under way (into `out`) and starts `name`, told to the
    // observer.
    void begin(const JobContext& ctx, const std::string& name, PhaseTimes& out)
    {
        end(out);
        m_name = name;
        m_start = now_ms();
        ctx.phase(name);
    }
    // Ends the phase under way, if any, adding its seconds to `out`.
    void end(PhaseTimes& out)
    {
        if (!m_name.empty())
            out.emplace_back(m_name, double(now_ms() - m_start) / 1000.0);
        m_name.clear();
    }

private:
    std::string m_name;
    int64_t m_start = 0;
};

}  // namespace bootlink
