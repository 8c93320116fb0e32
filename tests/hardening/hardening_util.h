// Shared pieces of the hardening tests: counting this process's open descriptors
// and threads, a simulated user-interface thread for a model, and reading back
// what a contact's history file holds.
#pragma once

#include <dirent.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "store/app_state.h"
#include "store/message_history.h"

namespace pellox::testing {

// A positive count from the environment variable, or the fallback.
inline int EnvCount(const char* name, int fallback) {
    const char* text = std::getenv(name);
    const int n = text != nullptr ? std::atoi(text) : 0;
    return n > 0 ? n : fallback;
}

// Entries in a /proc/self directory ("fd" for descriptors, "task" for threads).
inline int CountProcEntries(const char* what) {
    const std::string path = std::string("/proc/self/") + what;
    DIR* d = ::opendir(path.c_str());
    if (d == nullptr) return -1;
    int n = 0;
    while (dirent* e = ::readdir(d)) n += e->d_name[0] != '.' ? 1 : 0;
    ::closedir(d);
    return n - (std::string(what) == "fd" ? 1 : 0);  // the directory being read
}

// Waits up to timeoutMs for the condition.
template <class F>
bool Eventually(F&& condition, int timeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// The application's side of posted notifications: a queue that the user-interface
// thread drains, delivering each change with Notify(code, contact, false).
class PostQueue {
public:
    void Install(AppState& model) {
        model.SetPoster([this](ChangeCode code, ContactPtr contact) {
            {
                std::lock_guard<std::mutex> guard(lock_);
                queue_.emplace_back(code, std::move(contact));
                ++posted_;
            }
            ready_.notify_one();
        });
    }
    // On the UI thread: delivers what is queued; waits up to waitMs for the first.
    std::size_t Deliver(AppState& model, int waitMs = 0) {
        std::deque<std::pair<ChangeCode, ContactPtr>> batch;
        {
            std::unique_lock<std::mutex> guard(lock_);
            if (queue_.empty() && waitMs > 0) {
                ready_.wait_for(guard, std::chrono::milliseconds(waitMs));
            }
            batch.swap(queue_);
        }
        for (auto& [code, contact] : batch) model.Notify(code, contact, false);
        return batch.size();
    }
    std::size_t Posted() const {
        std::lock_guard<std::mutex> guard(lock_);
        return posted_;
    }

private:
    mutable std::mutex lock_;
    std::condition_variable ready_;
    std::deque<std::pair<ChangeCode, ContactPtr>> queue_;
    std::size_t posted_ = 0;
};

// The entries of a contact's history file as a fresh read finds them.
inline std::vector<MessageEntry> StoredHistory(const std::string& dir, std::u16string_view uin) {
    MessageHistory history(dir);
    (void)history.Load(HistoryFileName(uin));
    return history.Entries();
}

}  // namespace pellox::testing
