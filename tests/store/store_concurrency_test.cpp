// The store under several threads at once. Run under ThreadSanitizer in CI.
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "store/app_state.h"
#include "store/contact_list_file.h"
#include "store/file_access.h"
#include "tests/store/store_test_util.h"

namespace pellox {
namespace {

using testing::Info;
using testing::ReadBytes;
using testing::TempDir;

std::u16string Text(int thread, int i) {
    const std::string s = "t" + std::to_string(thread) + " " + std::to_string(i);
    return std::u16string(s.begin(), s.end());
}

MessageEntry Entry(std::u16string text, MessageDirection direction = MessageDirection::In) {
    MessageEntry entry;
    entry.text = std::move(text);
    entry.time = 1'700'000'000;
    entry.direction = direction;
    return entry;
}

// True when the entries hold exactly count entries of each thread, each thread's
// in the order it appended them.
::testing::AssertionResult EveryThreadInOrder(const std::vector<MessageEntry>& entries,
                                              int threads, int count) {
    std::vector<int> next(static_cast<std::size_t>(threads), 0);
    for (const MessageEntry& entry : entries) {
        bool matched = false;
        for (int t = 0; t < threads; ++t) {
            if (entry.text == Text(t, next[static_cast<std::size_t>(t)])) {
                ++next[static_cast<std::size_t>(t)];
                matched = true;
                break;
            }
        }
        if (!matched) {
            return ::testing::AssertionFailure()
                   << "unexpected entry " << std::string(entry.text.begin(), entry.text.end());
        }
    }
    for (int t = 0; t < threads; ++t) {
        if (next[static_cast<std::size_t>(t)] != count) {
            return ::testing::AssertionFailure()
                   << "thread " << t << " has " << next[static_cast<std::size_t>(t)];
        }
    }
    return ::testing::AssertionSuccess();
}

std::vector<MessageEntry> ReadHistoryFile(const TempDir& dir, const std::string& name) {
    MessageHistory history(dir.path());
    EXPECT_TRUE(history.Load(name));
    return history.Entries();
}

TEST(StoreConcurrencyTest, TwoThreadsAppendingToOneHistoryLoseNothing) {
    constexpr int kPerThread = 10000;
    TempDir dir;
    AppState state(dir.path());
    ContactPtr contact = state.AddContact(Info(u"5"), false);
    auto history = state.GetHistory(contact);
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) history->Append(Entry(Text(t, i)));
        });
    }
    for (auto& thread : threads) thread.join();

    const auto inMemory = history->Entries();
    EXPECT_TRUE(EveryThreadInOrder(inMemory, 2, kPerThread));
    // The file holds the same entries in the same order.
    EXPECT_EQ(ReadHistoryFile(dir, "msg_5.txt"), inMemory);
}

// Two histories on one file (of two models on one folder); neither write is
// skipped and no entry is torn.
TEST(StoreConcurrencyTest, TwoHistoriesOfOneFileLoseNothing) {
    constexpr int kPerThread = 3000;
    TempDir dir;
    MessageHistory a(dir.path()), b(dir.path());
    ASSERT_TRUE(a.Load("msg_9.txt"));
    ASSERT_TRUE(b.Load("msg_9.txt"));
    std::thread ta([&] {
        for (int i = 0; i < kPerThread; ++i) a.Append(Entry(Text(0, i)));
    });
    std::thread tb([&] {
        for (int i = 0; i < kPerThread; ++i) b.Append(Entry(Text(1, i)));
    });
    ta.join();
    tb.join();
    EXPECT_TRUE(EveryThreadInOrder(ReadHistoryFile(dir, "msg_9.txt"), 2, kPerThread));
}

// Threads going round more files than descriptors are kept, each from another
// place in the round: kept descriptors are closed for one path while other
// threads append to other paths, and no entry is lost, doubled or misplaced.
TEST(StoreConcurrencyTest, ThreadsAppendingToMoreFilesThanAreKeptLoseNothing) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 150;
    constexpr int kPaths = 2 * static_cast<int>(kKeptAppendFiles) + 3;
    TempDir dir;
    auto name = [](int p) { return "msg_" + std::to_string(p) + ".txt"; };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                for (int k = 0; k < kPaths; ++k) {
                    const int p = (k + 5 * t) % kPaths;
                    ASSERT_TRUE(AppendToFile(dir / name(p), FormatHistoryEntry(Entry(Text(t, i)))));
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (int p = 0; p < kPaths; ++p) {
        EXPECT_TRUE(EveryThreadInOrder(ReadHistoryFile(dir, name(p)), kThreads, kRounds)) << name(p);
    }
}

TEST(StoreConcurrencyTest, TwoThreadsAskingForOneHistoryReadTheFileOnce) {
    TempDir dir;
    {
        MessageHistory seed(dir.path());
        ASSERT_TRUE(seed.Load("msg_3.txt"));
        for (int i = 0; i < 3000; ++i) seed.Append(Entry(Text(0, i)));
    }
    AppState state(dir.path());
    for (int round = 0; round < 30; ++round) {
        ContactPtr contact = state.AddContact(Info(u"3"), false);
        std::atomic<int> ready{0};
        std::shared_ptr<MessageHistory> got[2];
        std::vector<std::thread> threads;
        for (int t = 0; t < 2; ++t) {
            threads.emplace_back([&, t] {
                ++ready;
                while (ready.load() < 2) std::this_thread::yield();
                got[t] = state.GetHistory(contact);
            });
        }
        for (auto& thread : threads) thread.join();
        ASSERT_NE(got[0], nullptr);
        EXPECT_EQ(got[0], got[1]) << "round " << round;
        EXPECT_EQ(got[0]->Count(), 3000u) << "round " << round;  // loaded once, not twice
        EXPECT_FALSE(contact->Snapshot().historyLoading());
        state.ClearContacts();
    }
}

// Saves from two threads are never skipped: when both are done, the files hold the
// last state, and a reader never sees a torn file meanwhile.
TEST(StoreConcurrencyTest, ConcurrentSavesKeepTheLastStateAndNeverTear) {
    TempDir dir;
    AppState state(dir.path());
    state.UpdateSettings([](Settings& s) {
        s.profile = u"1";
        s.Password() = u"start";
    });
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!done.load()) {
            std::string bytes;
            if (!platform::ReadWholeFile(dir / kSettingsFileName, bytes)) continue;
            const bool whole = bytes.rfind("[settings]\r\n", 0) == 0 &&
                               bytes.find("[1]\r\npassw=") != std::string::npos &&
                               bytes.size() >= 2 && bytes.compare(bytes.size() - 2, 2, "\r\n") == 0;
            if (!whole) {
                ++torn;
            }
        }
    });
    std::thread ui([&] {
        for (int i = 0; i < 150; ++i) {
            state.UpdateSettings([&](Settings& s) {
                s.Password(u"1") = u"p" + std::u16string(1, static_cast<char16_t>(u'a' + i % 26));
                s.columns = 1 + i % 4;
            });
            (void)state.SaveSettings();
        }
    });
    std::thread network([&] {
        for (int i = 0; i < 150; ++i) {
            const std::string uin = std::to_string(1000 + i);
            state.AddContact(Info(std::u16string(uin.begin(), uin.end()), u"n"), false);
            (void)state.SaveContacts();
        }
    });
    ui.join();
    network.join();
    done = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(ReadBytes(dir / kSettingsFileName), state.GetSettings().FileContent());
    std::vector<ContactInfo> infos;
    for (const ContactSnapshot& c : state.SnapshotContacts()) infos.push_back(c.info);
    EXPECT_EQ(ReadBytes(dir / "contacts_1.txt"), FormatContactList(infos));
}

// Network threads append contacts, change statuses and append history entries; the
// history loader follows the current contact; the user-interface thread delivers
// posted changes, switches the current contact, removes contacts and reloads the
// profile. Everything must stay consistent (and race-free under ThreadSanitizer).
TEST(StoreConcurrencyTest, NetworkThreadsAgainstUserInterfaceChanges) {
    constexpr int kNetworkThreads = 2;
    constexpr int kIterations = 1500;
    TempDir dir;
    AppState state(dir.path());
    state.UpdateSettings([](Settings& s) { s.profile = u"100"; });
    for (int i = 0; i < 8; ++i) {
        const std::string uin = std::to_string(i);
        state.AddContact(Info(std::u16string(uin.begin(), uin.end()), u"c"), false);
    }
    ASSERT_TRUE(state.SaveContacts());

    std::mutex queueLock;
    std::deque<std::pair<ChangeCode, ContactPtr>> queue;
    state.SetPoster([&](ChangeCode code, ContactPtr contact) {
        std::lock_guard guard(queueLock);
        queue.emplace_back(code, std::move(contact));
    });

    struct Checker : AppStateListener {
        explicit Checker(AppState& s) : state(s) {}
        void OnAppStateChange(ChangeCode code, const ContactPtr& contact) override {
            ++calls;
            if (!contact || !state.ContainsContact(contact)) return;
            const ContactInfo info = contact->Snapshot();
            if (info.status < 0 || info.status > 7) ++bad;
            if (code == ChangeCode::ConversationChanged) {
                if (auto history = contact->History()) seen += history->Count();
            }
        }
        AppState& state;
        int calls = 0;
        int bad = 0;
        std::size_t seen = 0;
    } checker(state);
    state.AddListener(&checker);

    std::atomic<bool> stop{false};
    std::vector<std::thread> network;
    for (int t = 0; t < kNetworkThreads; ++t) {
        network.emplace_back([&, t] {
            std::mt19937 rng(static_cast<unsigned>(t + 1));
            for (int i = 0; i < kIterations && !stop.load(); ++i) {
                {
                    BusyScope busy(state);
                    const std::string uin = std::to_string(rng() % 12);
                    bool added = false;
                    ContactPtr c = state.FindOrAddContact(
                        Info(std::u16string(uin.begin(), uin.end()), u"net"), added);
                    if (added) (void)state.SaveContacts();
                    c->Update([&](ContactInfo& info) {
                        info.status = static_cast<std::int32_t>(rng() % 8);
                        ++info.unreadCount;
                        info.lastActivity = i;
                    });
                    state.GetHistory(c)->Append(Entry(Text(t, i)));
                    state.Notify(ChangeCode::ContactChanged, c, true);
                }
                if (i % 8 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
    }
    std::thread loader([&] {
        while (state.running.load() && state.WaitForChange(ChangeCode::CurrentContactChanged)) {
            BusyScope busy(state);
            ContactPtr current = state.CurrentContact();
            if (!current) continue;
            (void)state.GetHistory(current);
            if (state.CurrentContact() == current) {
                state.Notify(ChangeCode::ConversationChanged, current, true);
            }
        }
    });

    auto drain = [&] {
        std::deque<std::pair<ChangeCode, ContactPtr>> batch;
        {
            std::lock_guard guard(queueLock);
            batch.swap(queue);
        }
        for (auto& [code, contact] : batch) state.Notify(code, contact, false);
    };
    std::mt19937 rng(42);
    for (int step = 0; step < 400; ++step) {
        drain();
        const auto contacts = state.Contacts();
        if (!contacts.empty()) {
            const ContactPtr pick = contacts[rng() % contacts.size()];
            switch (rng() % 10) {
                case 0:
                    if (contacts.size() > 6) state.RemoveContact(pick);
                    break;
                case 1:
                    state.UpdateAllContacts([](ContactInfo& info) { info.status = 1; });
                    state.Notify(ChangeCode::ListReset);
                    break;
                case 2:
                    pick->Update([](ContactInfo& info) { info.unreadCount = 0; });
                    state.Notify(ChangeCode::ContactChanged, pick);
                    break;
                default: state.SetCurrentContact(pick); break;
            }
        }
        if (step % 50 == 49) {
            state.ReloadAll();
            state.Notify(ChangeCode::ListReset);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    stop = true;
    for (auto& thread : network) thread.join();
    state.Shutdown();
    loader.join();
    drain();

    EXPECT_GT(checker.calls, 0);
    EXPECT_EQ(checker.bad, 0);
    // Every history file that is left holds whole entries of the network threads.
    for (int uin = 0; uin < 12; ++uin) {
        const std::string name = "msg_" + std::to_string(uin) + ".txt";
        if (!platform::FileExists(dir / name)) continue;
        for (const MessageEntry& entry : ReadHistoryFile(dir, name)) {
            ASSERT_EQ(entry.text.substr(0, 1), u"t") << name;
            EXPECT_EQ(entry.time, 1'700'000'000);
        }
    }
    // Saves and reloads leave the stored list exactly the list in memory.
    std::vector<ContactInfo> stored;
    ASSERT_TRUE(ReadContactListFile(dir / "contacts_100.txt", stored));
    const auto memory = state.SnapshotContacts();
    ASSERT_EQ(stored.size(), memory.size());
    for (std::size_t i = 0; i < stored.size(); ++i) {
        EXPECT_EQ(stored[i].uin, memory[i].info.uin);
        EXPECT_EQ(stored[i].name, memory[i].info.name);
    }
}

}  // namespace
}  // namespace pellox
