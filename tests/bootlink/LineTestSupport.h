// A virtual STB on a pseudo-terminal, the serial service opened on it, the
// STB-side files in a private folder and every log line captured.
#pragma once

#include "BootLink.h"
#include "BoxRig.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    std::string text() const;
    bool has(const std::string& s) const { return text().find(s) != std::string::npos; }
    int count(const std::string& s) const;
    void clear();

private:
    int m_id = -1;
    mutable std::mutex m_mutex;
    std::string m_text;
};

// Counts observer calls.
class RecordingObserver : public IJobObserver {
public:
    void OnStatus(const std::string& t) override
    {
        std::lock_guard<std::mutex> l(m);
        last_status = t;
    }
    void OnProgress(int p) override
    {
        std::lock_guard<std::mutex> l(m);
        last_progress = p;
        max_progress = std::max(max_progress, p);
        ++progress_calls;
        if (on_progress)
            on_progress(p);
    }
    std::mutex m;
    std::string last_status;
    int last_progress = -1, max_progress = -1, progress_calls = 0;
    std::function<void(int)> on_progress;
};

class LineTest : public ::testing::Test, protected testsupport::BoxRig {
protected:
    // The host's fixed pauses are shortened by this much, and the box's
    // readiness times with them.
    static constexpr double kPauseScale = 0.05;
    void TearDown() override;
    // Starts the box with `o` and opens the line at `baud`. Fails the test on error.
    void open(stbsim::Options o, int baud = 115200);
    // Presses reset and waits until the boot ROM's 'R' comes (up to 3 s).
    bool reset_and_sync();
    // Replaces an STB-side file in the private folder.
    void put_file(const std::string& name, const std::vector<uint8_t>& bytes);
    std::string path(const std::string& name) const;

    std::string dir;
    std::atomic<bool> cancel{false};
    std::atomic<bool> keep_going{true};
    RecordingObserver obs;
    bootlink::JobContext ctx;
    LogCapture log;
};

// Seconds since `t0_ms`.
double since(int64_t t0_ms);
