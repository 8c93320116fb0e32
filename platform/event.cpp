#include "platform/event.h"

#include <chrono>

namespace pellox::platform {

void AutoResetEvent::Set() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        signaled_ = true;
    }
    cv_.notify_one();
}

void AutoResetEvent::Pulse() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (waiters_ == 0) return;
        signaled_ = true;
    }
    cv_.notify_one();
}

WaitResult AutoResetEvent::Wait(int timeoutMs) {
    std::unique_lock<std::mutex> guard(lock_);
    ++waiters_;
    bool got;
    if (timeoutMs < 0) {
        cv_.wait(guard, [this] { return signaled_; });
        got = true;
    } else {
        got = cv_.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                           [this] { return signaled_; });
    }
    --waiters_;
    if (!got) return WaitResult::TimedOut;
    signaled_ = false;
    return WaitResult::Signaled;
}

}  // namespace pellox::platform
