// What the "UPG" job suites share: the log lines a job wrote (printed with
// their time as they come when UPGJOB_TRACE is set), and a virtual STB whose
// readiness times shrink with the host's shortened pauses.
#pragma once

#include "BootLink.h"
#include "KvBasicLog.h"
#include "KvWorkThread.h"
#include "StbSim.h"
#include "UpgJob.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>

namespace upgtest {

class Log {
public:
    Log()
    {
        m_id = kv::log_add_listener([this](int, const std::string& t) {
            std::lock_guard<std::mutex> l(m_m);
            if (std::getenv("UPGJOB_TRACE"))
                std::fprintf(stderr, "%lld %s", (long long)bootlink::now_ms(), t.c_str());
            m_text += t;
        });
    }
    ~Log() { kv::log_remove_listener(m_id); }
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;
    std::string text()
    {
        std::lock_guard<std::mutex> l(m_m);
        return m_text;
    }
    bool has(const std::string& s) { return text().find(s) != std::string::npos; }

private:
    int m_id;
    std::mutex m_m;
    std::string m_text;
};

// A box of `platform` that resets itself when the line is quiet and answers
// quickly; with `real_readiness` false its readiness times shrink by
// `pause_scale` like the host's pauses.
inline stbsim::Options quick_box(int platform, uint32_t flash_size, double pause_scale, bool real_readiness = false)
{
    stbsim::Options o;
    o.platform = platform;
    o.flash_size = flash_size;
    o.auto_reset_ms = 200;
    o.session_quiet_ms = 10000;
    o.burn_ms = 200;
    o.alder_ready_delay_ms = 100;
    o.cedar_ready_period_ms = 100;
    if (!real_readiness) {
        o.client_ready_ms = int(o.client_ready_ms * pause_scale);
        o.burn_ready_ms = int(o.burn_ready_ms * pause_scale);
    }
    o.key_baud = 0;  // the running firmware talks at the host's rate
    return o;
}

// Runs the job on its worker thread, as the tool does; `during` (optional)
// runs on this thread meanwhile. The box's reset is awaited for 20 s.
inline reflasher::UpgJobResult run_job(reflasher::UpgJobParams p, bootlink::JobContext& ctx,
                                       const std::function<void(CKvWorkThread&)>& during = {})
{
    p.reset_wait_ms = 20000;
    CKvWorkThread th;
    reflasher::UpgJob job(std::move(p), ctx, &th);
    reflasher::UpgJobResult r;
    th.Attach([&]() -> uint32_t {
        r = job.Run();
        return 0;
    });
    EXPECT_NE(th.Start(1), 0);
    if (during)
        during(th);
    th.Detach();
    return r;
}

}  // namespace upgtest
