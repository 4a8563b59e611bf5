// A worker thread that a view can leave behind.
//
// A view starts each job through a WorkerRun it holds by shared_ptr. When
// the view goes while the job still runs, it sets the job's cancel flags and
// lets go (let_go): the view does not wait. The job keeps what it uses (the
// run and whatever its function captured) and frees it when it returns; from
// the moment the view lets go, nothing the job reports reaches the view.
//
//     m_run = std::make_shared<WorkerRun>(m_observer);
//     ctx.observer = &m_run->relay();
//     m_run->start([state] { state->result = state->job.Run(); },
//                  [this, state] { QMetaObject::invokeMethod(this, ...); });
//     ...
//     ~View() { m_cancel = true; WorkerRun::let_go(m_run); }
#pragma once

#include "JobObserver.h"
#include "KvWorkThread.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class WorkerRun : public std::enable_shared_from_this<WorkerRun> {
public:
    explicit WorkerRun(IJobObserver* target) : m_relay(*this, target) {}
    WorkerRun(const WorkerRun&) = delete;
    WorkerRun& operator=(const WorkerRun&) = delete;

    // The observer to give the job: it passes every report on to the view's
    // observer while the view holds on.
    IJobObserver& relay() { return m_relay; }
    CKvWorkThread& thread() { return m_thread; }
    // True once the job function has returned.
    bool done() const
    {
        std::lock_guard<std::mutex> l(m_mutex);
        return m_done;
    }

    // Runs `job` on the run's thread; then `ended` on that thread, only while
    // the view holds on (it may post to the view from there). False when the
    // thread does not start.
    bool start(std::function<void()> job, std::function<void()> ended)
    {
        m_thread.Attach([this, job = std::move(job), ended = std::move(ended)]() -> uint32_t {
            job();
            finish(ended);
            return 0;
        });
        if (m_thread.Start(1))
            return true;
        std::lock_guard<std::mutex> l(m_mutex);
        m_done = true;
        return false;
    }

    // Calls `f` only while the view holds on, never at the same time as the
    // view lets go: for reports the job makes beside the observer's.
    template <class F>
    void while_held(F&& f)
    {
        std::lock_guard<std::mutex> l(m_mutex);
        if (!m_let_go)
            f();
    }

    // The view lets go of its run (after setting the job's cancel flags):
    // the thread is resumed and runs on by itself. `run` is left empty.
    static void let_go(std::shared_ptr<WorkerRun>& run)
    {
        if (!run)
            return;
        std::shared_ptr<WorkerRun> r = std::move(run);
        {
            std::lock_guard<std::mutex> l(r->m_mutex);
            r->m_let_go = true;
            r->m_relay.target = nullptr;
            if (!r->m_done)
                r->m_self = r;  // the job frees it at its end
        }
        r->m_thread.Resume();
        // Dropping `r` here: a run whose job has returned is freed at once
        // (its thread is at its very end).
    }

private:
    class Relay : public IJobObserver {
    public:
        Relay(WorkerRun& run, IJobObserver* t) : target(t), m_run(run) {}
        void OnStatus(const std::string& t) override
        {
            pass([&](IJobObserver& o) { o.OnStatus(t); });
        }
        void OnProgress(int p) override
        {
            pass([&](IJobObserver& o) { o.OnProgress(p); });
        }
        void OnPhase(const std::string& n) override
        {
            pass([&](IJobObserver& o) { o.OnPhase(n); });
        }
        void OnButtonsEnabled(bool e) override
        {
            pass([&](IJobObserver& o) { o.OnButtonsEnabled(e); });
        }
        void OnFinished(bool ok, const std::string& e) override
        {
            pass([&](IJobObserver& o) { o.OnFinished(ok, e); });
        }

        IJobObserver* target;  // under the run's lock

    private:
        template <class F>
        void pass(F&& f)
        {
            std::lock_guard<std::mutex> l(m_run.m_mutex);
            if (target)
                f(*target);
        }
        WorkerRun& m_run;
    };

    void finish(const std::function<void()>& ended)
    {
        std::shared_ptr<WorkerRun> self;
        {
            std::lock_guard<std::mutex> l(m_mutex);
            m_done = true;
            if (!m_let_go && ended)
                ended();
            self = std::move(m_self);
        }
        // Left behind: freed off this thread, which the destructor joins.
        if (self)
            std::thread([r = std::move(self)]() mutable { r.reset(); }).detach();
    }

    mutable std::mutex m_mutex;
    Relay m_relay;
    bool m_done = false;
    bool m_let_go = false;
    std::shared_ptr<WorkerRun> m_self;
    CKvWorkThread m_thread;  // last: joined before the rest goes
};
