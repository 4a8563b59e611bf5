// A virtual STB playing one platform's bar-code client, a serial service on
// its port, the console log, and a page stand-in for the passes.
#pragma once

#include "BurnLog.h"
#include "StampaPage.h"
#include "StampaPass.h"

#include "KvBasicLog.h"
#include "KvWorkThread.h"
#include "ScratchDir.h"
#include "SerialMonitorService.h"
#include "StbSim.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <thread>

namespace stampatest {

// Everything the jobs print, for checks and waits.
class Log {
public:
    Log()
    {
        m_id = kv::log_add_listener([this](int, const std::string& t) {
            std::function<void(const std::string&)> hook;
            {
                std::lock_guard<std::mutex> l(m_m);
                m_text += t;
                hook = m_hook;
            }
            if (std::getenv("STAMPA_TRACE"))
                std::fprintf(stderr, "%s", t.c_str());
            if (hook)
                hook(t);
        });
    }
    ~Log() { kv::log_remove_listener(m_id); }
    std::string text()
    {
        std::lock_guard<std::mutex> l(m_m);
        return m_text;
    }
    bool has(const std::string& s) { return text().find(s) != std::string::npos; }
    bool wait_for(const std::string& s, int timeout_ms = 60000)
    {
        for (auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
             std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(std::chrono::milliseconds(20)))
            if (has(s))
                return true;
        return false;
    }
    // Called with every line, on the thread that printed it.
    void on_line(std::function<void(const std::string&)> hook)
    {
        std::lock_guard<std::mutex> l(m_m);
        m_hook = std::move(hook);
    }

private:
    int m_id;
    std::mutex m_m;
    std::string m_text;
    std::function<void(const std::string&)> m_hook;
};

// The page of a pass: "Bar Code:" through a code cursor, scans queued by
// the test, result rows recorded.
class TestHost : public stampa::IPassHost {
public:
    stampa::CodeCursor cursor;
    std::atomic<bool> overwrite{false};
    std::atomic<bool> asked{false};
    std::atomic<bool> reuse{false};
    std::vector<std::string> reuse_asked;

    void scan(const std::string& text)
    {
        std::lock_guard<std::mutex> l(m_m);
        m_scans.push_back(text);
    }
    std::vector<std::pair<std::string, std::string>> rows()
    {
        std::lock_guard<std::mutex> l(m_m);
        return m_rows;
    }

    std::string bar_code() override { return cursor.current(); }
    bool take_new_scan() override
    {
        std::lock_guard<std::mutex> l(m_m);
        if (m_scans.empty())
            return false;
        cursor.set_current(m_scans.front());
        m_scans.pop_front();
        return true;
    }
    void clear_scan() override { cursor.set_current(""); }
    void clear_and_focus() override { cursor.set_current(""); }
    void put_back(const std::string& code) override { cursor.set_current(code); }
    void add_result_row(const std::string& code, const std::string& status) override
    {
        std::lock_guard<std::mutex> l(m_m);
        m_rows.emplace_back(code, status);
    }
    bool confirm_overwrite(const std::atomic<bool>&) override
    {
        asked = true;
        return overwrite;
    }
    bool confirm_reuse(const std::string& code, const std::atomic<bool>&) override
    {
        reuse_asked.push_back(code);
        return reuse;
    }
    stampa::CodeResult advance_code() override { return cursor.advance(); }

private:
    std::mutex m_m;
    std::deque<std::string> m_scans;
    std::vector<std::pair<std::string, std::string>> m_rows;
};

class BoxHarness : public ::testing::Test {
protected:
    testsupport::ScratchDir dir{"stampa-box"};
    std::unique_ptr<stbsim::Simulator> box;
    CSerialMonitorSerivce svc;
    Log log;
    NullJobObserver observer;
    // The operator resets the box whenever a pass asks for it.
    std::atomic<bool> reset_on_prompt{true};

    void SetUp() override
    {
        setenv("CORVANE_HOME", dir.path().c_str(), 1);
        std::filesystem::create_directories(dir.file("run"));
        setenv("XDG_RUNTIME_DIR", dir.file("run").c_str(), 1);
        kv::log_set_fallback(kv::LogFallback::None);
        std::string err;
        ASSERT_TRUE(stbsim::write_stb_files(dir.path(), nullptr, &err)) << err;
        ASSERT_EQ(svc.SMS_Init(), 1);
        log.on_line([this](const std::string& line) {
            if (reset_on_prompt && line.find("Please connect STB") != std::string::npos) {
                std::lock_guard<std::mutex> l(m_boxMutex);
                if (box)
                    box->reset();
            }
        });
    }
    void TearDown() override
    {
        log.on_line({});
        svc.SMS_Deinit();
        std::lock_guard<std::mutex> l(m_boxMutex);
        box.reset();
        kv::log_set_fallback(kv::LogFallback::StdoutAndFile);
    }

    // `speed` paces the line (0 unpaced, 1 the real line rate).
    void start(stampa::Platform p, stbsim::StampaOptions so = {}, double speed = 0)
    {
        stbsim::Options o;
        o.speed = speed;
        o.platform = 0;
        o.flash_size = 64 * 1024;
        o.announce_ms = 50;
        so.platform = stampa::platform_name(p);
        so.sync_period_ms = 50;
        o.stampa = so;
        auto next = std::make_unique<stbsim::Simulator>(o);
        std::string err;
        ASSERT_TRUE(next->start(&err)) << err;
        serialport_config_tag cfg;
        cfg.port_index = svc.SMS_AddPort(next->port_path());
        ASSERT_EQ(svc.SMS_OpenPort(cfg), 1) << svc.last_error();
        std::lock_guard<std::mutex> l(m_boxMutex);
        box = std::move(next);
    }

    stampa::PassConfig config(stampa::Platform p, stampa::InputType input, int width)
    {
        stampa::PassConfig c;
        c.platform = p;
        c.input = input;
        c.width = width;
        c.pause_scale = 0.05;
        c.reset_timeout_ms = 30000;
        c.client_path = dir.file(stampa::kBirchClientFile);
        return c;
    }

    std::string log_path(stampa::Platform p)
    {
        const char* name = stampa::platform_info(p).log_file;
        return *name ? dir.file(name) : std::string();
    }
    std::string log_text(stampa::Platform p)
    {
        std::ifstream f(log_path(p), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }
    static std::string log_line(stampa::Platform p, const std::string& code, const std::string& status)
    {
        return stampa::platform_info(p).quoted_log_line ? "=\"" + code + "\"," + status + "\n"
                                                        : code + "," + status + "\n";
    }

    // Runs passes on a worker thread until the run ends (a generous bound).
    std::vector<stampa::PassResult> run(const stampa::PassConfig& cfg, TestHost& host, int max_burns = 0,
                                        const std::function<void(stampa::StampaRun&)>& during = {})
    {
        const stampa::PlatformInfo& info = stampa::platform_info(cfg.platform);
        stampa::BurnLog burn_log(log_path(cfg.platform), info.quoted_log_line ? stampa::BurnLog::Format::Quoted
                                                                              : stampa::BurnLog::Format::Plain);
        stampa::StampaRun run(svc, cfg, burn_log, host, observer);
        run.set_max_burns(max_burns);
        CKvWorkThread th;
        th.Attach([&]() -> uint32_t { return run.Run(&th); });
        EXPECT_NE(th.Start(1), 0);
        if (during)
            during(run);
        auto end = std::chrono::steady_clock::now() + std::chrono::minutes(3);
        while (th.IsRunning() && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_FALSE(th.IsRunning()) << "the run did not end";
        run.Stop();
        th.Detach();
        return run.results();
    }

    // The box's cable is pulled: its end of the line goes away.
    void unplug()
    {
        reset_on_prompt = false;
        std::lock_guard<std::mutex> l(m_boxMutex);
        box.reset();
    }

    // Puts a code into the box's flash (its area starts 4 KiB before the
    // end; Cedar codes at its start) as an earlier burn would have.
    bool burn_directly(const std::string& code)
    {
        return box->write_flash(box->flash_size() - 4096, std::vector<uint8_t>(code.begin(), code.end()));
    }

private:
    std::mutex m_boxMutex;
};

}  // namespace stampatest
