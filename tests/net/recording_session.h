// The session side of the tests that run a session against a scripted server: a
// session that records every event it receives, and a sign-on through the two
// connections such a server plays.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "net/net_command.h"
#include "net/session.h"
#include "tests/net/scripted_server.h"

namespace pellox::testing {

// A session of the net layer alone: stores states by the common rule and leaves
// messages and presence to whoever records them.
class StateStoringSession : public NetSession {
public:
    void OnStateChanged(ConnState code) override { StoreState(code); }
    void OnMessage(const std::u16string&, const std::u16string&) override {}
    void OnContactStatus(const std::u16string&, std::int32_t) override {}
};

// `Base` with every event recorded once Base has handled it, so that whoever
// waits for an event also sees its work done. A report keeps how many bytes had
// been sent before it.
template <class Base>
class Recording : public Base {
public:
    struct Report {
        int code;
        std::int32_t bytesSentBefore;
    };

    using Base::Base;
    ~Recording() override { this->Shutdown(); }

    void OnStateChanged(ConnState code) override {
        const std::int32_t sent = this->bytesSent.load();
        Base::OnStateChanged(code);
        Record([&] { reports_.push_back({static_cast<int>(code), sent}); });
    }
    void OnMessage(const std::u16string& uin, const std::u16string& text) override {
        Base::OnMessage(uin, text);
        Record([&] { messages_.emplace_back(uin, text); });
    }
    void OnContactStatus(const std::u16string& uin, std::int32_t status) override {
        Base::OnContactStatus(uin, status);
        Record([&] { statuses_.emplace_back(uin, status); });
    }
    void OnContactsRefresh() override {
        Base::OnContactsRefresh();
        Record([&] { ++refreshes_; });
    }

    // The reported state codes, in order.
    std::vector<int> Codes() const {
        std::lock_guard<std::mutex> guard(lock_);
        std::vector<int> codes;
        for (const Report& r : reports_) codes.push_back(r.code);
        return codes;
    }
    std::vector<Report> ReportsWithBytes() const {
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
    int Refreshes() const {
        std::lock_guard<std::mutex> guard(lock_);
        return refreshes_;
    }

    // Waits until the condition holds; it may look at the session and at what the
    // recorded events changed.
    bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 5000) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            if (condition()) return true;
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::unique_lock<std::mutex> guard(lock_);
            changed_.wait_for(guard, std::chrono::milliseconds(10));
        }
    }
    // Waits until `code` has been reported at least `times` times.
    bool WaitForReportTimes(ConnState code, int times, int timeoutMs = 5000) const {
        return WaitUntil(
            [&] {
                int seen = 0;
                for (int c : Codes()) seen += c == static_cast<int>(code) ? 1 : 0;
                return seen >= times;
            },
            timeoutMs);
    }
    bool WaitForReportCount(std::size_t count, int timeoutMs = 5000) const {
        return WaitUntil([&] { return Codes().size() >= count; }, timeoutMs);
    }
    bool WaitForMessages(std::size_t count, int timeoutMs = 5000) const {
        return WaitUntil([&] { return Messages().size() >= count; }, timeoutMs);
    }

private:
    template <class F>
    void Record(F&& f) {
        std::lock_guard<std::mutex> guard(lock_);
        f();
        changed_.notify_all();
    }

    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::vector<Report> reports_;
    std::vector<std::pair<std::u16string, std::u16string>> messages_;
    std::vector<std::pair<std::u16string, std::int32_t>> statuses_;
    int refreshes_ = 0;
};

// The net layer's recording session: reports are the bare codes.
class RecordingSession : public Recording<StateStoringSession> {
public:
    std::vector<int> Reports() const { return Codes(); }
    bool WaitForReport(ConnState code, int timeoutMs = 5000, int times = 1) const {
        return WaitForReportTimes(code, times, timeoutMs);
    }
};

// Plays a whole sign-on of `session` as "123456789" through `server`: the login
// and the messaging connection, then `more` after the offline messages request.
// Returns once the session reported loading offline messages and the server has
// that request, so nothing the test sends afterwards can overtake it. Call it under
// ASSERT_NO_FATAL_FAILURE.
template <class Session>
void SignOnThrough(ScriptedServer& server, Session& session, const Script& more = Script(),
                   int keepAliveMs = 60000) {
    server.AddConnection(signon::LoginServer());
    server.AddConnection(signon::MessagingServer(more));
    ASSERT_TRUE(server.Start());
    session.keepAliveIntervalMs = keepAliveMs;
    ASSERT_TRUE(session.StartWorker());
    session.EnqueueCommand(std::make_unique<ConnectCommand>(server.AddressText(), u"123456789", u"secret"));
    ASSERT_TRUE(session.WaitForReportTimes(ConnState::LoadingOfflineMessages, 1));
    ASSERT_TRUE(server.WaitForFrame([](const ReceivedFrame& f) { return signon::MetaRequestType(f) == 0x003C; }));
}

}  // namespace pellox::testing
