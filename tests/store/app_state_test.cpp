#include "store/app_state.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <thread>

#include "tests/store/store_test_util.h"

namespace pellox {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::Info;
using testing::TempDir;
using testing::WriteBytes;

// Records the changes it is told about as (code, contact).
class RecordingListener : public AppStateListener {
public:
    void OnAppStateChange(ChangeCode code, const ContactPtr& contact) override {
        calls.emplace_back(code, contact);
        if (onChange) onChange(code);
    }
    std::vector<std::pair<ChangeCode, ContactPtr>> calls;
    std::function<void(ChangeCode)> onChange;
};

class AppStateTest : public ::testing::Test {
protected:
    void SetUp() override { state_.AddListener(&listener_); }

    TempDir dir_;
    AppState state_{dir_.path()};
    RecordingListener listener_;
};

TEST_F(AppStateTest, FindContactTakesTheFirstExactMatch) {
    EXPECT_EQ(state_.FindContact(u"1"), nullptr);
    ContactPtr first = state_.AddContact(Info(u"1", u"first"), false);
    ContactPtr second = state_.AddContact(Info(u"1", u"second"), false);
    state_.AddContact(Info(u"10"), false);
    EXPECT_EQ(state_.FindContact(u"1"), first);
    EXPECT_EQ(state_.FindContact(u"01"), nullptr);
    EXPECT_EQ(state_.ContactCount(), 3u);
    EXPECT_THAT(listener_.calls, IsEmpty());  // without save: the caller notifies

    // The next one with that UIN is found once the first has gone, then none.
    state_.RemoveContact(first);
    EXPECT_EQ(state_.FindContact(u"1"), second);
    state_.RemoveContact(second);
    EXPECT_EQ(state_.FindContact(u"1"), nullptr);
    bool added = false;
    EXPECT_NE(state_.FindOrAddContact(Info(u"1"), added), second);
    EXPECT_TRUE(added);
}

TEST_F(AppStateTest, AddWithSaveWritesTheListAndAnnounces) {
    state_.UpdateSettings([](Settings& s) { s.profile = u"9"; });
    ContactInfo tmpl = Info(u"5", u"Five");
    tmpl.flags = kConversationOpen | kHistoryLoading;
    tmpl.status = 2;
    ContactPtr added = state_.AddContact(tmpl, true);
    EXPECT_THAT(listener_.calls, ElementsAre(std::make_pair(ChangeCode::ContactAdded, added)));
    EXPECT_EQ(testing::ReadBytes(dir_ / "contacts_9.txt"), "[5]\r\nname=Five\r\n");
    const ContactInfo info = added->Snapshot();
    EXPECT_EQ(info.status, 2);
    EXPECT_TRUE(info.conversationOpen());
    EXPECT_FALSE(info.historyLoading());  // never copied: nobody is loading it
}

TEST_F(AppStateTest, FindOrAddAddsOnlyOnce) {
    bool added = false;
    ContactPtr a = state_.FindOrAddContact(Info(u"3"), added);
    EXPECT_TRUE(added);
    ContactPtr b = state_.FindOrAddContact(Info(u"3", u"other"), added);
    EXPECT_FALSE(added);
    EXPECT_EQ(a, b);
    EXPECT_EQ(state_.ContactCount(), 1u);
}

TEST_F(AppStateTest, SetCurrentContactAnnouncesOnlyRealChanges) {
    ContactPtr a = state_.AddContact(Info(u"1"), false);
    state_.SetCurrentContact(nullptr);  // already none
    state_.SetCurrentContact(a);
    state_.SetCurrentContact(a);  // unchanged
    auto stranger = std::make_shared<Contact>(std::make_shared<ModelLock>(), Info(u"2"));
    state_.SetCurrentContact(stranger);  // not in the list: clears once
    state_.SetCurrentContact(stranger);
    EXPECT_EQ(state_.CurrentContact(), nullptr);
    EXPECT_THAT(listener_.calls,
                ElementsAre(std::make_pair(ChangeCode::CurrentContactChanged, a),
                            std::make_pair(ChangeCode::CurrentContactChanged, ContactPtr())));
}

TEST_F(AppStateTest, RemovingTheCurrentContactClearsItFirst) {
    state_.UpdateSettings([](Settings& s) { s.profile = u"1"; });
    ContactPtr a = state_.AddContact(Info(u"100", u"A"), false);
    ContactPtr b = state_.AddContact(Info(u"200", u"B"), false);
    ContactPtr c = state_.AddContact(Info(u"300", u"C"), false);
    state_.SetCurrentContact(b);
    listener_.calls.clear();

    EXPECT_EQ(state_.RemoveContact(b), b);
    EXPECT_EQ(state_.CurrentContact(), nullptr);
    EXPECT_THAT(listener_.calls,
                ElementsAre(std::make_pair(ChangeCode::CurrentContactChanged, ContactPtr()),
                            std::make_pair(ChangeCode::ContactRemoved, b)));
    EXPECT_THAT(state_.Contacts(), ElementsAre(a, c));
    EXPECT_EQ(testing::ReadBytes(dir_ / "contacts_1.txt"),
              "[100]\r\nname=A\r\n[300]\r\nname=C\r\n");
    EXPECT_EQ(state_.RemoveContact(b), nullptr);  // gone already
    EXPECT_EQ(b->Uin(), u"200");                  // and still valid for its holder
}

TEST_F(AppStateTest, RemoveDeletesTheHistoryFileOnlyWhenLoaded) {
    WriteBytes(dir_ / "msg_1.txt", "[IN 01.01.2026 00:00:00]\r\nhi\r\n");
    WriteBytes(dir_ / "msg_2.txt", "[IN 01.01.2026 00:00:00]\r\nhi\r\n");
    ContactPtr loaded = state_.AddContact(Info(u"1"), false);
    ContactPtr untouched = state_.AddContact(Info(u"2"), false);
    ASSERT_EQ(state_.GetHistory(loaded)->Count(), 1u);
    state_.RemoveContact(loaded);
    state_.RemoveContact(untouched);
    EXPECT_FALSE(platform::FileExists(dir_ / "msg_1.txt"));
    EXPECT_TRUE(platform::FileExists(dir_ / "msg_2.txt"));
}

TEST_F(AppStateTest, ClearContactsWaitsForBusyThreadsAndClearsTheCurrentOne) {
    ContactPtr a = state_.AddContact(Info(u"1"), false);
    state_.SetCurrentContact(a);
    listener_.calls.clear();
    std::atomic<bool> released{false};
    std::atomic<bool> entered{false};
    std::thread worker([&] {
        BusyScope busy(state_);
        entered = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        released = true;
    });
    while (!entered) std::this_thread::yield();
    state_.ClearContacts();
    EXPECT_TRUE(released.load());
    worker.join();
    EXPECT_EQ(state_.ContactCount(), 0u);
    EXPECT_EQ(state_.CurrentContact(), nullptr);
    EXPECT_EQ(state_.ContainsContact(a), nullptr);
    EXPECT_THAT(listener_.calls, IsEmpty());
}

TEST_F(AppStateTest, UpdateKeepsTheLoadingBitAndUpdateContactFindsByUin) {
    ContactPtr a = state_.AddContact(Info(u"1"), false);
    a->Update([](ContactInfo& c) {
        c.flags = 0xFF;
        c.unreadCount = 4;
    });
    EXPECT_FALSE(a->Snapshot().historyLoading());
    EXPECT_EQ(a->Snapshot().flags, 0xFF & ~kHistoryLoading);
    EXPECT_EQ(state_.UpdateContact(u"1", [](ContactInfo& c) { c.status = 0; }), a);
    EXPECT_EQ(state_.UpdateContact(u"2", [](ContactInfo& c) { c.status = 0; }), nullptr);
    state_.UpdateAllContacts([](ContactInfo& c) { c.status = 1; });
    EXPECT_EQ(a->Snapshot().status, 1);
    EXPECT_EQ(a->Snapshot().unreadCount, 4);
}

TEST_F(AppStateTest, ListenersRunInOrderAndOnlyWhileRegistered) {
    RecordingListener second;
    auto third = std::make_unique<RecordingListener>();
    state_.AddListener(&second);
    state_.AddListener(third.get());
    EXPECT_EQ(third->RegisteredWith(), &state_);
    std::vector<int> order;
    listener_.onChange = [&](ChangeCode) {
        order.push_back(1);
        third.reset();  // destroying a listener unregisters it, even mid-delivery
    };
    second.onChange = [&](ChangeCode) { order.push_back(2); };
    state_.Notify(ChangeCode::FilterChanged);
    EXPECT_THAT(order, ElementsAre(1, 2));
    EXPECT_EQ(state_.lastChange.load(), static_cast<int>(ChangeCode::FilterChanged));

    state_.RemoveListener(&second);
    EXPECT_EQ(second.RegisteredWith(), nullptr);
    state_.Notify(ChangeCode::ListReset);
    EXPECT_EQ(second.calls.size(), 1u);
}

TEST_F(AppStateTest, OtherThreadsPostAndNeverCallListeners) {
    std::mutex lock;
    std::deque<std::pair<ChangeCode, ContactPtr>> queue;
    state_.SetPoster([&](ChangeCode code, ContactPtr contact) {
        std::lock_guard guard(lock);
        queue.emplace_back(code, std::move(contact));
    });
    ContactPtr a = state_.AddContact(Info(u"1"), false);
    std::thread network([&] {
        state_.Notify(ChangeCode::ContactChanged, a, true);
        state_.Notify(ChangeCode::ConnectionStateChanged, nullptr, false);  // posted too
    });
    network.join();
    state_.Notify(ChangeCode::ConversationChanged, a, true);  // posted from the UI thread
    EXPECT_THAT(listener_.calls, IsEmpty());
    ASSERT_EQ(queue.size(), 3u);
    for (auto& [code, contact] : queue) state_.Notify(code, contact, false);
    EXPECT_THAT(listener_.calls,
                ElementsAre(std::make_pair(ChangeCode::ContactChanged, a),
                            std::make_pair(ChangeCode::ConnectionStateChanged, ContactPtr()),
                            std::make_pair(ChangeCode::ConversationChanged, a)));

    state_.SetPoster(nullptr);  // nothing installed: dropped, still not called
    std::thread([&] { state_.Notify(ChangeCode::ListReset); }).join();
    EXPECT_EQ(listener_.calls.size(), 3u);
}

TEST_F(AppStateTest, SetUiThreadMovesDelivery) {
    std::thread ui([&] {
        state_.SetUiThread();
        state_.Notify(ChangeCode::FilterChanged);
    });
    ui.join();
    EXPECT_THAT(listener_.calls,
                ElementsAre(std::make_pair(ChangeCode::FilterChanged, ContactPtr())));
    EXPECT_FALSE(state_.OnUiThread());
}

// A CurrentContactChanged delivered while the loader is busy is seen when it is
// done, even when other changes followed it.
TEST_F(AppStateTest, WaitForChangeSeesAChangeThatCameWhileBusy) {
    ContactPtr a = state_.AddContact(Info(u"1"), false);
    state_.SetCurrentContact(a);
    state_.Notify(ChangeCode::ContactChanged, a);
    EXPECT_TRUE(state_.WaitForChange(ChangeCode::CurrentContactChanged));

    std::atomic<int> woke{0};
    std::thread loader([&] {
        while (state_.WaitForChange(ChangeCode::CurrentContactChanged)) ++woke;
    });
    state_.Notify(ChangeCode::ContactChanged, a);  // another code: no wake-up
    state_.SetCurrentContact(nullptr);
    while (woke.load() == 0) std::this_thread::yield();
    state_.Shutdown();
    loader.join();
    EXPECT_EQ(woke.load(), 1);
    EXPECT_FALSE(state_.running.load());
}

TEST(AppStateLifetimeTest, DestroyingTheStateReleasesItsListeners) {
    TempDir dir;
    RecordingListener listener;
    {
        AppState state(dir.path());
        state.AddListener(&listener);
        EXPECT_EQ(listener.RegisteredWith(), &state);
    }
    EXPECT_EQ(listener.RegisteredWith(), nullptr);
}

TEST(AppStateDirectoryTest, AModelWithoutADirectoryUsesTheDataDirectory) {
    TempDir dir;
    SetDataDirectoryForTesting(dir.path());
    AppState state;
    EXPECT_EQ(state.Directory(), dir.path());
    EXPECT_TRUE(state.running.load());
    EXPECT_EQ(state.GetSettings(), Settings());
}

}  // namespace
}  // namespace pellox
