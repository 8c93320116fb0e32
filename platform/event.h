// An auto-reset event with a timed wait, as the worker's wake-up needs.
//
// Set() latches: the next Wait returns at once and resets the event. Pulse() wakes a
// thread that is waiting at that moment and is lost when none is. Both are safe from
// any thread.
#pragma once

#include <condition_variable>
#include <mutex>

namespace pellox::platform {

enum class WaitResult { Signaled, TimedOut };

class AutoResetEvent {
public:
    void Set();
    void Pulse();
    // Waits at most timeoutMs (negative: forever).
    WaitResult Wait(int timeoutMs);

private:
    std::mutex lock_;
    std::condition_variable cv_;
    bool signaled_ = false;
    int waiters_ = 0;
};

}  // namespace pellox::platform
