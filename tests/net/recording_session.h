// A NetSession for tests: stores states by the common rule and records every
// event it receives, with waits for the threads that report them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "net/session.h"

namespace pellox::testing {

class RecordingSession : public NetSession {
public:
    ~RecordingSession() override { Shutdown(); }

    void OnStateChanged(ConnState code) override {
        StoreState(code);
        std::lock_guard<std::mutex> guard(lock_);
        reports_.push_back(static_cast<int>(code));
        changed_.notify_all();
    }
    void OnMessage(const std::u16string& uin, const std::u16string& text) override {
        std::lock_guard<std::mutex> guard(lock_);
        messages_.emplace_back(uin, text);
        changed_.notify_all();
    }
    void OnContactStatus(const std::u16string& uin, std::int32_t status) override {
        std::lock_guard<std::mutex> guard(lock_);
        statuses_.emplace_back(uin, status);
        changed_.notify_all();
    }
    void OnMessageNotSent(const std::u16string& uin, const std::u16string& text,
                          std::uint16_t reason) override {
        std::lock_guard<std::mutex> guard(lock_);
        const std::string code = std::to_string(reason);
        notSent_.push_back(uin + u" " + text + u" " + std::u16string(code.begin(), code.end()));
    }
    void OnContactsRefresh() override {
        std::lock_guard<std::mutex> guard(lock_);
        ++refreshes_;
    }

    std::vector<int> Reports() const {
        std::lock_guard<std::mutex> guard(lock_);
        return reports_;
    }
    std::vector<std::pair<std::u16string, std::u16string>> Messages() const {
        std::lock_guard<std::mutex> guard(lock_);
        return messages_;
    }
    std::vector<std::pair<std::u16string, std::int32_t>> Statuses() const {
        std::lock_guard<std::mutex> guard(lock_);
        return statuses_;
    }
    // "<uin> <text> <reason>" per message reported not sent.
    std::vector<std::u16string> NotSent() const {
        std::lock_guard<std::mutex> guard(lock_);
        return notSent_;
    }
    int Refreshes() const {
        std::lock_guard<std::mutex> guard(lock_);
        return refreshes_;
    }

    // Waits until at least `count` reports have arrived.
    bool WaitForReportCount(std::size_t count, int timeoutMs = 5000) const {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                 [&] { return reports_.size() >= count; });
    }
    // Waits until `code` has been reported at least `times` times.
    bool WaitForReport(ConnState code, int timeoutMs = 5000, int times = 1) const {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] {
            int seen = 0;
            for (int r : reports_) seen += r == static_cast<int>(code) ? 1 : 0;
            return seen >= times;
        });
    }
    bool WaitForMessages(std::size_t count, int timeoutMs = 5000) const {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                 [&] { return messages_.size() >= count; });
    }

private:
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::vector<int> reports_;
    std::vector<std::pair<std::u16string, std::u16string>> messages_;
    std::vector<std::pair<std::u16string, std::int32_t>> statuses_;
    std::vector<std::u16string> notSent_;
    int refreshes_ = 0;
};

}  // namespace pellox::testing
