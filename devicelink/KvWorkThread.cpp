#include "KvWorkThread.h"

#include <chrono>

CKvWorkThread::~CKvWorkThread()
{
    // A job still running here would outlive its owner: let it go on and wait.
    Resume();
    join_if_possible();
}

int CKvWorkThread::Attach(KvThreadFunc func, void* arg)
{
    if (!func || m_running.load())
        return 0;
    m_func = [func, arg]() { return func(arg); };
    return 1;
}

int CKvWorkThread::Attach(std::function<uint32_t()> func)
{
    if (!func || m_running.load())
        return 0;
    m_func = std::move(func);
    return 1;
}

int CKvWorkThread::Start(int)
{
    if (!m_func || m_running.load())
        return 0;
    join_if_possible();  // a previous run that has ended
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_permit = false;
    }
    m_stop = false;
    m_running = true;
    try {
        m_thread = std::thread([this]() {
            uint32_t code = m_func();
            m_exitCode = code;
            m_running = false;
        });
    } catch (...) {
        m_running = false;
        return 0;
    }
    return 1;
}

void CKvWorkThread::Suspend()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cv.wait(lock, [this] { return m_permit; });
    m_permit = false;
}

bool CKvWorkThread::SuspendFor(int timeout_ms)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return m_permit; }))
        return false;
    m_permit = false;
    return true;
}

void CKvWorkThread::Resume()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_permit = true;
    }
    m_cv.notify_all();
}

int CKvWorkThread::Stop(int)
{
    m_stop = true;
    Resume();
    join_if_possible();
    return 1;
}

int CKvWorkThread::Detach()
{
    join_if_possible();
    m_func = nullptr;
    return 1;
}

bool CKvWorkThread::IsCurrentThread() const
{
    return m_thread.joinable() && m_thread.get_id() == std::this_thread::get_id();
}

void CKvWorkThread::join_if_possible()
{
    if (m_thread.joinable()) {
        if (m_thread.get_id() == std::this_thread::get_id())
            m_thread.detach();  // the job ends itself; it cannot wait for itself
        else
            m_thread.join();
    }
}
