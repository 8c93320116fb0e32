#include "store/deferred_saver.h"

#include "platform/thread.h"

namespace pellox {

DeferredSaver::DeferredSaver(std::function<void()> save, std::chrono::milliseconds interval)
    : save_(std::move(save)), interval_(interval) {}

DeferredSaver::~DeferredSaver() { Stop(); }

void DeferredSaver::Request() { Ask(/*later=*/false); }

void DeferredSaver::RequestLater() { Ask(/*later=*/true); }

void DeferredSaver::Ask(bool later) {
    std::unique_lock guard(lock_);
    if (stopped_) {
        guard.unlock();
        save_();  // stopping: nothing is put off any more
        return;
    }
    if (pending_) return;  // the put-off save will write the latest state
    const auto now = std::chrono::steady_clock::now();
    if (later && !saving_ && (!lastSave_ || now - *lastSave_ >= interval_)) {
        lastSave_ = now;  // the interval starts now: the save waits it out
    } else if (!saving_ && (!lastSave_ || now - *lastSave_ >= interval_)) {
        lastSave_ = now;
        guard.unlock();
        save_();  // the first of a burst goes out at once
        return;
    }
    pending_ = true;
    if (!thread_.joinable()) {
        thread_ = platform::StartThread(platform::ThreadPriority::BelowNormal, [this] { Loop(); });
    }
    guard.unlock();
    wake_.notify_all();
}

void DeferredSaver::Loop() {
    std::unique_lock guard(lock_);
    for (;;) {
        wake_.wait(guard, [this] { return pending_ || stopped_; });
        if (!pending_) return;
        if (lastSave_) {
            wake_.wait_until(guard, *lastSave_ + interval_,
                             [this] { return stopped_ || !pending_; });
        }
        if (!pending_) continue;  // flushed meanwhile
        pending_ = false;
        saving_ = true;
        lastSave_ = std::chrono::steady_clock::now();
        guard.unlock();
        save_();
        guard.lock();
        saving_ = false;
        wake_.notify_all();
    }
}

void DeferredSaver::Flush() {
    std::unique_lock guard(lock_);
    // A save the saver's thread is writing is waited for: it may be the one asked about.
    wake_.wait(guard, [this] { return !saving_; });
    if (!pending_) return;
    pending_ = false;
    lastSave_ = std::chrono::steady_clock::now();
    guard.unlock();
    wake_.notify_all();
    save_();
}

void DeferredSaver::Stop() {
    std::thread thread;
    {
        std::lock_guard guard(lock_);
        stopped_ = true;
        thread = std::move(thread_);
    }
    wake_.notify_all();  // the thread writes what is put off and ends
    platform::JoinOrDetach(thread);
    Flush();
}

}  // namespace pellox
