#include "KvWorkThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace std::chrono_literals;

TEST(WorkThread, ResumeBeforeSuspendIsNotLost)
{
    CKvWorkThread t;
    std::atomic<bool> resumed_early{false};
    std::atomic<bool> done{false};
    ASSERT_EQ(t.Attach([&]() -> uint32_t {
        while (!resumed_early.load())
            std::this_thread::sleep_for(1ms);
        t.Suspend();  // the permit is already there
        done = true;
        return 7;
    }),
              1);
    ASSERT_NE(t.Start(1), 0);
    t.Resume();
    resumed_early = true;
    for (int i = 0; i < 200 && !done.load(); ++i)
        std::this_thread::sleep_for(5ms);
    EXPECT_TRUE(done.load());
    t.Detach();
    EXPECT_EQ(t.ExitCode(), 7u);
    EXPECT_FALSE(t.IsRunning());
}

TEST(WorkThread, SuspendWaitsForResumeAndPermitIsConsumed)
{
    CKvWorkThread t;
    std::atomic<int> stage{0};
    t.Attach([&]() -> uint32_t {
        stage = 1;
        t.Suspend();
        stage = 2;
        bool again = t.SuspendFor(100);  // the first permit was used up
        stage = again ? 99 : 3;
        return 0;
    });
    t.Start(1);
    while (stage.load() == 0)
        std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(stage.load(), 1);
    t.Resume();
    t.Detach();
    EXPECT_EQ(stage.load(), 3);
}

TEST(WorkThread, StopWakesAndJoinsAndRestartWorks)
{
    CKvWorkThread t;
    t.Attach([&]() -> uint32_t {
        while (!t.StopRequested())
            t.Suspend();
        return 1;
    });
    EXPECT_EQ(t.Attach([]() -> uint32_t { return 0; }), 1);  // not running yet: re-attach allowed
    t.Attach([&]() -> uint32_t {
        while (!t.StopRequested())
            t.Suspend();
        return 1;
    });
    ASSERT_NE(t.Start(1), 0);
    EXPECT_EQ(t.Start(1), 0);  // already running
    EXPECT_EQ(t.Stop(1), 1);
    EXPECT_FALSE(t.IsRunning());
    EXPECT_NE(t.Start(1), 0);  // the same object runs again
    t.Stop(1);
}
