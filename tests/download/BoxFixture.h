// A virtual STB on a pseudo-terminal, the serial service on its port, and a
// job context, for the "Download" tool's jobs.
#pragma once

#include "BootLink.h"
#include "KvBasicLog.h"
#include "BoxRig.h"
#include "ScratchDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

namespace downloadtest {

// Everything the jobs log, for the checks.
class LogCapture {
public:
    LogCapture()
    {
        m_id = kv::log_add_listener([this](int, const std::string& t) {
            std::lock_guard<std::mutex> l(m_m);
            m_text += t;
        });
    }
    ~LogCapture() { kv::log_remove_listener(m_id); }
    bool has(const std::string& s)
    {
        std::lock_guard<std::mutex> l(m_m);
        return m_text.find(s) != std::string::npos;
    }

private:
    int m_id;
    std::mutex m_m;
    std::string m_text;
};

using testsupport::wait_until;

// Bytes of a test image; the first is no 'C' and no '#', so that the boot
// ROM never takes the start for a program file or an instruction.
inline std::vector<uint8_t> test_image(size_t n, uint32_t seed = 1)
{
    std::vector<uint8_t> v(n);
    uint32_t x = seed;
    for (auto& b : v) {
        x = x * 1103515245u + 12345u;
        b = uint8_t(x >> 23);
    }
    if (n)
        v[0] = 0x5A;
    return v;
}

class BoxTest : public ::testing::Test, protected testsupport::BoxRig {
protected:
    testsupport::ScratchDir dir{"corvane-download"};
    std::atomic<bool> cancel{false};
    std::atomic<bool> running{true};
    bootlink::JobContext ctx;

    void SetUp() override
    {
        kv::log_set_fallback(kv::LogFallback::None);
        std::string err;
        ASSERT_TRUE(stbsim::write_stb_files(dir.path(), nullptr, &err)) << err;
        ctx.cancel = &cancel;
        ctx.keep_going = &running;
        ctx.svc = &svc;
        ctx.root_dir = dir.path();
    }
    void TearDown() override
    {
        stop();
        kv::log_set_fallback(kv::LogFallback::StdoutAndFile);
    }

    static stbsim::Options options(int platform = 0)
    {
        stbsim::Options o;
        o.platform = platform;
        o.flash_size = 1 << 20;
        o.announce_ms = 60000;  // one announcement after the reset, no more
        o.cedar_ready_period_ms = 50;
        return o;
    }

    // Starts the box, opens the port and resets the box into its boot ROM.
    void start(const stbsim::Options& o, bool reset = true)
    {
        std::string err;
        ASSERT_TRUE(BoxRig::start(o, &err)) << err;
        if (reset) {
            box->reset();
            ASSERT_TRUE(box->wait_for_program("boot-rom", 10000));
        }
    }
};

}  // namespace downloadtest
