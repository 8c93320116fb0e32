#include "platform/event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace pellox::platform {
namespace {

TEST(AutoResetEvent, SetLatchesOnceAndPulseWithoutWaiterIsLost) {
    AutoResetEvent e;
    e.Pulse();
    EXPECT_EQ(e.Wait(0), WaitResult::TimedOut);
    e.Set();
    EXPECT_EQ(e.Wait(0), WaitResult::Signaled);
    EXPECT_EQ(e.Wait(0), WaitResult::TimedOut);  // auto-reset
}

TEST(AutoResetEvent, SetWakesAWaitingThread) {
    AutoResetEvent e;
    std::atomic<int> woken{0};
    std::thread t([&] {
        if (e.Wait(5000) == WaitResult::Signaled) woken.fetch_add(1);
    });
    e.Set();
    t.join();
    EXPECT_EQ(woken.load(), 1);
}

TEST(AutoResetEvent, ManySettersOneWaiterNeverHangs) {
    AutoResetEvent e;
    std::atomic<bool> stop{false};
    std::atomic<int> wakes{0};
    std::thread waiter([&] {
        while (!stop.load()) {
            if (e.Wait(50) == WaitResult::Signaled) wakes.fetch_add(1);
        }
    });
    std::thread a([&] { for (int i = 0; i < 2000; ++i) e.Set(); });
    std::thread b([&] { for (int i = 0; i < 2000; ++i) e.Pulse(); });
    a.join();
    b.join();
    e.Set();
    while (wakes.load() == 0) std::this_thread::yield();
    stop.store(true);
    waiter.join();
    EXPECT_GE(wakes.load(), 1);
}

}  // namespace
}  // namespace pellox::platform
