// Sign-on of a messenger session against the local OSCAR server in this process,
// from the Connect command to ContactsLoaded (the server contact list merged into
// the model and saved), for a server list of N buddies who are all online. Every
// iteration starts from an empty data directory, so the whole list is new and
// merged for real; setting up and closing the session are not timed.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "bench/bench_util.h"
#include "platform/code_page.h"
#include "protocol/messenger_session.h"
#include "store/app_state.h"
#include "tools/oscar_server.h"

namespace pellox {
namespace {

constexpr server::Uin kFirstBuddy = 3000001;
constexpr int kMostBuddies = 1000;
constexpr char kPassword[] = "sign-on";

// The account that signs on with n buddies.
server::Uin OwnerOf(int buddies) { return 2000000 + static_cast<server::Uin>(buddies); }

// Nicknames as people write them: Cyrillic and Latin, some with a number.
std::string NicknameOf(int i) {
    static const char16_t* const kNames[] = {u"Эхо",   u"Echo", u"Борис Петров", u"Alice W.",
                                             u"Вера",  u"Дежурный бот", u"Mike", u"Ёжик в тумане"};
    std::u16string name = kNames[i % 8];
    if (i % 3 == 0) name += u" №" + std::u16string(u"0123456789").substr(i % 10, 1);
    return platform::WideToLocal(name);
}

// One server for the whole run: kMostBuddies always-online echo accounts and one
// signing-on account for each list size measured.
server::OscarServer& Server() {
    static server::OscarServer* const oscar = [] {
        server::AccountStore accounts;
        for (int i = 0; i < kMostBuddies; ++i) {
            server::Account echo;
            echo.uin = kFirstBuddy + static_cast<server::Uin>(i);
            echo.nickname = NicknameOf(i);
            echo.echo = true;
            accounts.Add(std::move(echo));
        }
        for (int n : {10, kMostBuddies}) {
            server::Account owner;
            owner.uin = OwnerOf(n);
            owner.password = kPassword;
            owner.nickname = "owner";
            for (int i = 0; i < n; ++i) {
                owner.buddies.push_back(
                    {kFirstBuddy + static_cast<server::Uin>(i), static_cast<std::uint16_t>(i + 1)});
            }
            accounts.Add(std::move(owner));
        }
        server::ServerConfig config;
        config.authPort = 0;
        config.bosPort = 0;
        // Each iteration signs the same account on again: no limit of sign-ons or
        // requests may cut the run short.
        config.signOnBurst = 1000000;
        config.signOnsPerMinute = 1000000;
        config.snacBurst = 1000000;
        config.snacsPerSecond = 1000000;
        std::string error;
        auto* started = new server::OscarServer;
        if (!started->Start(config, std::move(accounts), error)) std::abort();
        return started;
    }();
    return *oscar;
}

// The session with a wait for the state it reports.
class WatchedSession : public MessengerSession {
public:
    explicit WatchedSession(AppState& model) : MessengerSession(model) {}
    ~WatchedSession() override { Shutdown(); }

    void OnStateChanged(ConnState code, bool stored) override {
        MessengerSession::OnStateChanged(code, stored);
        std::lock_guard<std::mutex> guard(lock_);
        reported_ = code;
        changed_.notify_all();
    }
    // True once ContactsLoaded was reported; false on a connection error or after
    // the time-out.
    bool WaitForContacts() {
        std::unique_lock<std::mutex> guard(lock_);
        changed_.wait_for(guard, std::chrono::seconds(30), [&] {
            return reported_ == ConnState::ContactsLoaded || reported_ == ConnState::ConnectionError;
        });
        return reported_ == ConnState::ContactsLoaded;
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    ConnState reported_ = ConnState::Disconnected;
};

void BM_SignOn(benchmark::State& state) {
    const int buddies = static_cast<int>(state.range(0));
    server::OscarServer& oscar = Server();
    const std::string uin = std::to_string(OwnerOf(buddies));
    const std::string address = "127.0.0.1:" + std::to_string(oscar.AuthPort());
    std::atomic<std::int64_t> posted{0};
    std::int64_t postedBeforeLoaded = 0;  // up to ContactsLoaded, over all iterations
    std::size_t contacts = 0;

    for (auto _ : state) {
        state.PauseTiming();
        {
            bench::TempDataDirectory directory("pellox-sign-on");
            AppState model(directory.Path());
            posted = 0;
            model.SetPoster([&](ChangeCode, ContactPtr) { ++posted; });
            model.UpdateSettings([&](Settings& s) { s.profile = std::u16string(uin.begin(), uin.end()); });
            WatchedSession session(model);
            if (!session.StartWorker()) {
                state.SkipWithError("the network worker did not start");
                break;
            }
            state.ResumeTiming();

            session.EnqueueCommand(ConnectCommand{std::u16string(address.begin(), address.end()),
                                                  std::u16string(uin.begin(), uin.end()),
                                                  u"sign-on"});
            const bool loaded = session.WaitForContacts();

            state.PauseTiming();
            postedBeforeLoaded += posted.exchange(0);
            contacts = model.ContactCount();
            session.Shutdown();
            // The server still answers the activation of this session (the
            // buddies' presence) and frees it at its next accept: the next
            // sign-on is timed once that is done, as with a server of its own
            // machine. Polled, so that the processors stay as awake as between
            // sign-ons in a row.
            const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (oscar.FreeEndedConnections() > 0 && std::chrono::steady_clock::now() < giveUp) {
                std::this_thread::yield();
            }
            if (!loaded || contacts != static_cast<std::size_t>(buddies)) {
                state.SkipWithError("the contact list did not arrive whole");
                break;
            }
        }
        state.ResumeTiming();
    }
    state.counters["contacts"] = static_cast<double>(contacts);
    // Notifications the model posted from Connect to ContactsLoaded.
    state.counters["posted"] =
        benchmark::Counter(static_cast<double>(postedBeforeLoaded), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_SignOn)->Arg(10)->Arg(kMostBuddies)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace
}  // namespace pellox
