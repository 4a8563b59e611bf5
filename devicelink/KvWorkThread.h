// One worker thread per object.
//
// Suspend/Resume work with a sticky permit: a Resume that arrives before the
// job calls Suspend is kept, and the next Suspend returns at once. A box that
// answers faster than the job reaches its Suspend can therefore never hang it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

typedef uint32_t (*KvThreadFunc)(void* arg);

class CKvWorkThread {
public:
    CKvWorkThread() = default;
    ~CKvWorkThread();
    CKvWorkThread(const CKvWorkThread&) = delete;
    CKvWorkThread& operator=(const CKvWorkThread&) = delete;

    // The function and its argument (callers pass their tool view). 1 on success.
    int Attach(KvThreadFunc func, void* arg);
    int Attach(std::function<uint32_t()> func);
    // Runs the attached function on a new thread; nonzero on success.
    int Start(int start = 1);
    // Called by the job on its own thread: waits until resumed.
    void Suspend();
    // Waits at most `timeout_ms`; true when resumed, false on time-out.
    bool SuspendFor(int timeout_ms);
    // Lets a suspended (or about to suspend) job go on.
    void Resume();
    // Asks the thread to stop (StopRequested() turns true), resumes it and
    // waits for it to end. 1 on success.
    int Stop(int wait = 1);
    // Waits for the function to return, then forgets it. 1 on success.
    int Detach();

    bool IsRunning() const { return m_running.load(); }
    bool StopRequested() const { return m_stop.load(); }
    uint32_t ExitCode() const { return m_exitCode.load(); }
    // True when called on this object's own thread.
    bool IsCurrentThread() const;

private:
    void join_if_possible();

    std::function<uint32_t()> m_func;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_permit = false;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_stop{false};
    std::atomic<uint32_t> m_exitCode{0};
};
