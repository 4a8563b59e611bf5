// A virtual STB on a pseudo-terminal with the serial service opened on it,
// the STB-side stand-ins in a scratch program folder, and the log captured:
// what the panel suites talk to.
#pragma once

#include "BoxRig.h"
#include "KvBasicLog.h"
#include "ScratchDir.h"

#include <cstdlib>
#include <mutex>
#include <string>

namespace firtest {

using testsupport::wait_until;

class CapturedLog {
public:
    CapturedLog()
    {
        m_id = kv::log_add_listener([this](int, const std::string& t) {
            std::lock_guard<std::mutex> l(m_m);
            if (std::getenv("FIR_PANEL_TRACE"))
                std::fprintf(stderr, "%s", t.c_str());
            m_text += t;
        });
    }
    ~CapturedLog() { kv::log_remove_listener(m_id); }
    std::string text()
    {
        std::lock_guard<std::mutex> l(m_m);
        return m_text;
    }
    bool has(const std::string& s) { return text().find(s) != std::string::npos; }
    size_t count(const std::string& s)
    {
        const std::string t = text();
        size_t n = 0;
        for (size_t at = t.find(s); at != std::string::npos; at = t.find(s, at + 1))
            ++n;
        return n;
    }
    void clear()
    {
        std::lock_guard<std::mutex> l(m_m);
        m_text.clear();
    }

private:
    int m_id;
    std::mutex m_m;
    std::string m_text;
};

class PanelTestBox : public testsupport::BoxRig {
public:
    testsupport::ScratchDir dir{"corvane-fir-panel"};

    // Starts a box of the front-panel platform position (0 base, 1 Alder,
    // 2 Dogwood) and opens the service on it.
    bool start(int position, stbsim::PanelOptions panel = {}, std::string* error = nullptr)
    {
        std::string err;
        if (!stbsim::write_stb_files(dir.path(), nullptr, &err))
            return fail(error, err);
        kv::log_set_fallback(kv::LogFallback::None);
        stbsim::Options o;
        o.platform = position;  // project types 0, 1 and 2 are the three panel platforms
        o.flash_size = 1 << 20;
        o.alder_ready_delay_ms = 300;
        o.panel = std::move(panel);
        if (const char* t = std::getenv("FIR_PANEL_TRACE"); t && *t == '2')
            o.trace = true;
        return BoxRig::start(o, error);
    }
    ~PanelTestBox()
    {
        stop();
        kv::log_set_fallback(kv::LogFallback::StdoutAndFile);
    }
};

}  // namespace firtest
