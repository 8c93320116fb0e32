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
#include "net/session_impl.h"
#include "tests/net/scripted_server.h"

namespace pellox::testing {

// The delegate of a session of the net layer alone: leaves states, messages and
// presence to whoever records them.
class QuietDelegate : public SessionDelegate {
public:
    void OnStateChanged(ConnState, bool) override {}
    void OnMessage(Connection&, const std::u16string&, const std::u16string&) override {}
    void OnContactStatus(Connection&, const std::u16string&, std::int32_t) override {}
};

// `Base` (a delegate) with every event recorded once Base has handled it, so that
// whoever waits for an event also sees its work done. A report keeps how many
// bytes the session named by CountBytesOf had sent before it. The session's threads
// call these until it is shut down: a class derived from it stops the session in
// its own destructor.
template <class Base>
class Recording : public Base {
public:
    struct Report {
        int code;
        std::int32_t bytesSentBefore;
    };

    using Base::Base;

    void OnStateChanged(ConnState code, bool stored) override {
        const std::int32_t sent = counted_ != nullptr ? counted_->BytesSent() : 0;
        Base::OnStateChanged(code, stored);
        Record([&] { reports_.push_back({static_cast<int>(code), sent}); });
    }
    void OnMessage(Connection& from, const std::u16string& uin,
                   const std::u16string& text) override {
        Base::OnMessage(from, uin, text);
        if (!inOffline_) Record([&] { messages_.emplace_back(uin, text); });
    }
    // An offline message is recorded once, whether or not Base hands it on to
    // OnMessage.
    void OnOfflineMessage(Connection& from, const std::u16string& uin, const std::u16string& text,
                          std::int64_t sentTime) override {
        inOffline_ = true;
        Base::OnOfflineMessage(from, uin, text, sentTime);
        inOffline_ = false;
        Record([&] { messages_.emplace_back(uin, text); });
    }
    void OnContactStatus(Connection& from, const std::u16string& uin,
                         std::int32_t status) override {
        Base::OnContactStatus(from, uin, status);
        Record([&] { statuses_.emplace_back(uin, status); });
    }
    void OnSnacRejected(const SnacHeader& snac) override {
        Base::OnSnacRejected(snac);
        Record([&] { rejected_.emplace_back(snac.family, snac.subtype); });
    }
    void OnMessageNotSent(const std::u16string& uin, const std::u16string& text,
                          std::uint16_t reason) override {
        std::lock_guard<std::mutex> guard(lock_);
        const std::string code = std::to_string(reason);
        notSent_.push_back(uin + u" " + text + u" " + std::u16string(code.begin(), code.end()));
    }
    void OnContactsRefresh() override {
        Base::OnContactsRefresh();
        Record([&] { ++refreshes_; });
    }
    void OnCertificateProblem(const CertificateProblem& problem) override {
        Base::OnCertificateProblem(problem);
        Record([&] { problems_.push_back(problem); });
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
    // "<uin> <text> <reason>" per message reported not sent.
    std::vector<std::u16string> NotSent() const {
        std::lock_guard<std::mutex> guard(lock_);
        return notSent_;
    }
    int Refreshes() const {
        std::lock_guard<std::mutex> guard(lock_);
        return refreshes_;
    }
    std::vector<CertificateProblem> CertificateProblems() const {
        std::lock_guard<std::mutex> guard(lock_);
        return problems_;
    }
    // The family and subtype of every SNAC whose handler failed, in order.
    std::vector<std::pair<int, int>> Rejected() const {
        std::lock_guard<std::mutex> guard(lock_);
        return rejected_;
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

protected:
    void CountBytesOf(const NetSession& session) { counted_ = &session; }

private:
    template <class F>
    void Record(F&& f) {
        std::lock_guard<std::mutex> guard(lock_);
        f();
        changed_.notify_all();
    }

    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    bool inOffline_ = false;  // only the receive thread delivers messages
    std::vector<Report> reports_;
    std::vector<std::pair<std::u16string, std::u16string>> messages_;
    std::vector<std::pair<std::u16string, std::int32_t>> statuses_;
    std::vector<std::u16string> notSent_;
    std::vector<std::pair<int, int>> rejected_;
    int refreshes_ = 0;
    std::vector<CertificateProblem> problems_;
    const NetSession* counted_ = nullptr;
};

// The net layer's session with its recording delegate: reports are the bare codes.
class RecordingSession : public Recording<QuietDelegate>, public SessionImpl {
public:
    RecordingSession() : SessionImpl(static_cast<SessionDelegate&>(*this)) { CountBytesOf(*this); }
    ~RecordingSession() override { Shutdown(); }

    SessionImpl& NetForTesting() { return *this; }

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
    session.NetForTesting().SetKeepAliveIntervalForTesting(keepAliveMs);
    ASSERT_TRUE(session.StartWorker());
    session.EnqueueCommand(ConnectCommand{server.AddressText(), u"123456789", u"secret"});
    ASSERT_TRUE(session.WaitForReportTimes(ConnState::LoadingOfflineMessages, 1));
    ASSERT_TRUE(server.WaitForFrame([](const ReceivedFrame& f) { return signon::MetaRequestType(f) == 0x003C; }));
}

}  // namespace pellox::testing
