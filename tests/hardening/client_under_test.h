// A client as the application runs one: a model on a temporary data directory, the
// messenger session recording its events, and a user-interface thread that
// delivers the posted changes.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/code_page.h"
#include "store/file_access.h"
#include "tests/hardening/hardening_util.h"
#include "tests/protocol/protocol_test_util.h"

namespace pellox::testing {

class ClientUnderTest {
public:
    explicit ClientUnderTest(std::u16string uin = u"123456789", std::u16string password = u"pw")
        : uin_(std::move(uin)), password_(std::move(password)) {
        queue.Install(model);
        model.UpdateSettings([&](Settings& s) { s.profile = uin_; });
        ui_ = std::thread([this] {
            model.SetUiThread();
            while (!stop_.load()) queue.Deliver(model, 20);
            queue.Deliver(model);
        });
    }
    ~ClientUnderTest() {
        session.Shutdown();
        stop_.store(true);
        ui_.join();
    }
    ClientUnderTest(const ClientUnderTest&) = delete;
    ClientUnderTest& operator=(const ClientUnderTest&) = delete;

    // Starts the worker and queues the Connect command for the login server text.
    void Connect(const std::u16string& server) {
        ASSERT_TRUE(session.StartWorker());
        session.EnqueueCommand(ConnectCommand{server, uin_, password_});
    }
    // The state once it has settled and the receive threads have ended.
    bool EndsIn(ConnState code, int timeoutMs = 5000) {
        return Eventually(
            [&] {
                return session.State() == code &&
                       session.NetForTesting().ActiveReceiveThreadsForTesting() == 0;
            },
            timeoutMs);
    }
    // Every message the session reported is in its sender's history file, with its
    // text, as many times as it was reported. The session records a message just
    // before storing it, so the files are given a moment to catch up.
    void ExpectReportedMessagesStored() {
        std::map<std::u16string, std::vector<std::u16string>> reported;
        for (const auto& [uin, text] : session.Messages()) reported[uin].push_back(text);
        auto stored = [&](const std::u16string& uin) {
            std::vector<std::u16string> texts;
            for (const MessageEntry& e : StoredHistory(dir.path(), uin)) texts.push_back(e.text);
            return texts;
        };
        (void)Eventually([&] {
            for (const auto& [uin, texts] : reported) {
                if (stored(uin) != texts) return false;
            }
            return true;
        });
        for (const auto& [uin, texts] : reported) {
            EXPECT_EQ(stored(uin), texts) << "history of " << std::string(uin.begin(), uin.end());
        }
    }
    // True when a message with this (Windows-1251) text was reported.
    bool Reported(const std::string& text) const {
        for (const auto& m : session.Messages()) {
            if (m.second == platform::LocalToWide(text)) return true;
        }
        return false;
    }

    TempDir dir;
    AppState model{dir.path()};
    PostQueue queue;
    TestSession session{model, nullptr};

private:
    std::u16string uin_;
    std::u16string password_;
    std::atomic<bool> stop_{false};
    std::thread ui_;
};

// Counts this process's descriptors and threads at the start of a test and checks
// at the end that none was left behind.
class LeakCheckedTest : public ::testing::Test {
protected:
    void SetUp() override {
        // A sanitizer may start a helper thread of its own with the first thread
        // the process makes: have it exist before counting.
        std::thread([] {}).join();
        fds_ = CountProcEntries("fd");
        threads_ = CountProcEntries("task");
    }
    void ExpectNothingLeaked() {
        CloseKeptAppendFiles();  // kept open on purpose between history appends
        EXPECT_TRUE(Eventually([&] { return CountProcEntries("fd") <= fds_; }))
            << "descriptors: " << CountProcEntries("fd") << " after, " << fds_ << " before";
        EXPECT_TRUE(Eventually([&] { return CountProcEntries("task") <= threads_; }))
            << "threads: " << CountProcEntries("task") << " after, " << threads_ << " before";
    }

private:
    int fds_ = 0;
    int threads_ = 0;
};

}  // namespace pellox::testing
