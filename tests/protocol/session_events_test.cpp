// The application side of the session events on the model, the announcement of
// messages, the routing table, and handlers under hostile input.
#include <gtest/gtest.h>

#include <atomic>
#include <random>

#include "platform/local_time.h"
#include "protocol/identity.h"
#include "protocol/messages.h"
#include "protocol/presence.h"
#include "platform/thread.h"
#include "store/file_access.h"
#include "tests/protocol/protocol_test_util.h"

namespace pellox::testing {
namespace {

using Codes = std::vector<ChangeCode>;

constexpr std::time_t kNow = 1700000000;
std::time_t FixedClock() { return kNow; }

class SessionEvents : public ModelTest {
protected:
    SessionEvents() { platform::SetClockForTesting(&FixedClock); }
    ~SessionEvents() override { platform::SetClockForTesting(nullptr); }

    std::vector<std::int32_t> AllStatuses() const {
        std::vector<std::int32_t> statuses;
        for (const auto& s : model.SnapshotContacts()) statuses.push_back(s.info.status);
        return statuses;
    }
};

// ---- OnStateChanged ----

TEST_F(SessionEvents, EndsOfAConnectionMarkEveryoneOfflineAndOnlineDoesNot) {
    Add(u"1", u"A", StatusOnline);
    Add(u"2", u"B", StatusAway);

    session.ReportState(ConnState::OpeningConnection);
    EXPECT_EQ(posted.TakeCodes(), (Codes{ChangeCode::ConnectionStateChanged}));
    session.ReportState(ConnState::Online);
    EXPECT_EQ(posted.TakeCodes(), (Codes{ChangeCode::ListReset, ChangeCode::ConnectionStateChanged}));
    EXPECT_EQ(AllStatuses(), (std::vector<std::int32_t>{StatusOnline, StatusAway}));

    session.ReportState(ConnState::DisconnectedByOtherClient);
    EXPECT_EQ(session.State(), ConnState::DisconnectedByOtherClient);
    EXPECT_EQ(posted.TakeCodes(), (Codes{ChangeCode::ListReset, ChangeCode::ConnectionStateChanged}));
    EXPECT_EQ(AllStatuses(), (std::vector<std::int32_t>{StatusOffline, StatusOffline}));
    EXPECT_EQ(model.busyCount.load(), 0);
}

TEST_F(SessionEvents, ClosingReportsAfterAnErrorAreIgnoredWhole) {
    session.ReportState(ConnState::CheckingPassword);
    session.ReportState(ConnState::ConnectionError);
    (void)posted.Take();
    session.ReportState(ConnState::Disconnected);
    session.ReportState(ConnState::ConnectionError);
    EXPECT_EQ(session.State(), ConnState::ConnectionError);
    EXPECT_TRUE(posted.Take().empty());
}

TEST_F(SessionEvents, RefreshMarksOfflineOnlyWhileNotConnected) {
    Add(u"1", u"A", StatusOnline);
    session.ReportState(ConnState::LoadingContacts);
    (void)posted.Take();
    session.OnContactsRefresh();
    EXPECT_EQ(AllStatuses(), (std::vector<std::int32_t>{StatusOnline}));
    EXPECT_EQ(posted.TakeCodes(), (Codes{ChangeCode::ListReset}));
    session.ReportState(ConnState::OpeningConnection);
    (void)posted.Take();
    session.OnContactsRefresh();
    EXPECT_EQ(AllStatuses(), (std::vector<std::int32_t>{StatusOffline}));
    EXPECT_EQ(posted.TakeCodes(), (Codes{ChangeCode::ListReset}));
}

// ---- OnMessage ----

TEST_F(SessionEvents, MessageFromAStrangerAddsAnOfflineContactWithOneUnread) {
    session.OnMessage(session.Conn(), u"5005", u"Привет");
    const ContactInfo info = Snapshot(u"5005");
    EXPECT_EQ(info.name, u"");
    EXPECT_EQ(info.status, StatusOffline);
    EXPECT_EQ(info.unreadCount, 1);
    EXPECT_EQ(info.lastActivity, kNow);

    const auto changes = posted.Take();
    ASSERT_EQ(changes.size(), 1u);  // no ContactAdded for a sender
    EXPECT_EQ(changes[0].code, ChangeCode::ContactChanged);
    EXPECT_EQ(changes[0].contact, model.FindContact(u"5005"));

    const auto history = model.GetHistory(model.FindContact(u"5005"));
    ASSERT_EQ(history->Count(), 1u);
    EXPECT_EQ(history->Entries()[0], (MessageEntry{u"Привет", kNow, MessageDirection::In}));
    EXPECT_EQ(FileText("msg_5005.txt"),
              "[IN " + platform::WideToLocal(HistoryTimeText(kNow)) + "]\r\n" +
                  platform::WideToLocal(u"Привет") + "\r\n");
    EXPECT_NE(FileText("contacts_123456789.txt").find("[5005]"), std::string::npos);
    EXPECT_EQ(model.busyCount.load(), 0);
}

TEST_F(SessionEvents, MessagesAddUpInTheKnownContact) {
    Add(u"5005", u"Ann");
    session.OnMessage(session.Conn(), u"5005", u"one");
    session.OnMessage(session.Conn(), u"5005", u"two");
    EXPECT_EQ(model.ContactCount(), 1u);
    EXPECT_EQ(Snapshot(u"5005").unreadCount, 2);
    EXPECT_EQ(model.GetHistory(model.FindContact(u"5005"))->Count(), 2u);
    model.FindContact(u"5005")->Update([](ContactInfo& i) { i.unreadCount = 0xFFFF; });
    session.OnMessage(session.Conn(), u"5005", u"three");
    EXPECT_EQ(Snapshot(u"5005").unreadCount, 0xFFFF);  // stays at the top, never back to 0
}

std::atomic<int> g_listRewrites{0};
void CountListRewrite(const std::string& temp) {
    if (temp.find("contacts_") != std::string::npos) ++g_listRewrites;
}

TEST_F(SessionEvents, AFloodOfStrangersIsWrittenToTheListOnceASecond) {
    g_listRewrites = 0;
    SetBeforeReplaceHookForTesting(&CountListRewrite);
    constexpr int kSenders = 300;
    const auto uin = [](int i) { return "9" + std::to_string(1000 + i); };
    for (int i = 0; i < kSenders; ++i) {
        session.OnMessage(session.Conn(), WidenUin(uin(i)), u"spam");
        ASSERT_FALSE(FileText("msg_" + uin(i) + ".txt").empty());  // at once, every one
    }
    EXPECT_LT(g_listRewrites.load(), kSenders / 10);
    // The whole list reaches the file within a second of the last sender...
    const auto listed = [this](const std::string& u) {
        return FileText("contacts_123456789.txt").find("[" + u + "]") != std::string::npos;
    };
    for (int wait = 0; wait < 300 && !listed(uin(kSenders - 1)); ++wait) platform::SleepMs(10);
    EXPECT_TRUE(listed(uin(kSenders - 1)));
    // ...and at shut-down.
    session.OnMessage(session.Conn(), u"8001", u"one more");
    session.OnMessage(session.Conn(), u"8002", u"and another");
    model.Shutdown();
    EXPECT_TRUE(listed("8002"));
    SetBeforeReplaceHookForTesting(nullptr);
}

TEST_F(SessionEvents, AnnouncementDependsOnTheMainWindow) {
    Add(u"5005", u"Ann");
    announcer.active = true;
    session.OnMessage(session.Conn(), u"5005", u"in front");
    announcer.active = false;
    session.OnMessage(session.Conn(), u"5005", u"in the background");
    announcer.notificationShown = false;
    session.OnMessage(session.Conn(), u"6006", u"refused");

    const auto calls = announcer.Calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].what, "sound");
    EXPECT_EQ(calls[0].first, u"alarm2.wav");
    EXPECT_EQ(calls[1].what, "notification");
    EXPECT_EQ(calls[1].first, u"ICQ: Ann (5005)");
    EXPECT_EQ(calls[1].second, u"in the background");
    EXPECT_EQ(calls[2].what, "notification");
    EXPECT_EQ(calls[2].first, u"ICQ: 6006");  // no name: the UIN once
    EXPECT_EQ(calls[3].what, "sound");
    EXPECT_EQ(announcer.ActiveQuestions(), 3);
}

// ---- OnContactStatus ----

TEST_F(SessionEvents, FirstReportAddsTheContactWithItsStatus) {
    session.OnContactStatus(session.Conn(), u"8008", StatusAway);
    EXPECT_EQ(Snapshot(u"8008").status, StatusAway);
    const auto changes = posted.Take();
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].code, ChangeCode::ContactAdded);
    EXPECT_EQ(changes[0].contact, model.FindContact(u"8008"));
    EXPECT_NE(FileText("contacts_123456789.txt").find("[8008]"), std::string::npos);
}

TEST_F(SessionEvents, OnlyAChangedStatusIsAnnounced) {
    Add(u"8008", u"Bob", StatusOnline);
    session.OnContactStatus(session.Conn(), u"8008", StatusOnline);
    EXPECT_TRUE(posted.Take().empty());
    session.OnContactStatus(session.Conn(), u"8008", StatusOccupied);
    EXPECT_EQ(posted.TakeCodes(), (Codes{ChangeCode::ContactChanged}));
    EXPECT_EQ(Snapshot(u"8008").status, StatusOccupied);
    session.OnContactStatus(session.Conn(), u"8008", 8);
    session.OnContactStatus(session.Conn(), u"8008", -1);
    EXPECT_EQ(Snapshot(u"8008").status, StatusOccupied);
    EXPECT_TRUE(posted.Take().empty());
}

// ---- Routing ----

TEST_F(SessionEvents, EveryListedPairReachesItsHandler) {
    session.Dispatch(0x0003, 0x000B, UserInfo("100", {StatusTlv(0x0001)}));
    session.Dispatch(0x0003, 0x000C, UserInfo("101", {}) + Bytes(8, 0));
    session.Dispatch(0x0004, 0x0007, IncomingMessage(1, UserInfo("102"), MessageTlv(BytesOf("hi"))));
    session.Dispatch(0x0015, 0x0003, OfflineMessage(103, BytesOf("stored")));
    session.Dispatch(0x0015, 0x0003, OfflineDone());
    session.Dispatch(0x0013, 0x0006, ContactListReply({Buddy("104", BytesOf("Dee"))}));
    EXPECT_EQ(session.Statuses(),
              (std::vector<std::pair<std::u16string, std::int32_t>>{{u"100", StatusAway},
                                                                    {u"101", StatusOffline}}));
    EXPECT_EQ(session.Messages(),
              (std::vector<std::pair<std::u16string, std::u16string>>{{u"102", u"hi"},
                                                                      {u"103", u"stored"}}));
    EXPECT_EQ(session.Codes(), (std::vector<int>{7, 9, 10}));
    EXPECT_EQ(Snapshot(u"104").name, u"Dee");
    EXPECT_TRUE(session.Rejected().empty());
}

TEST_F(SessionEvents, ConsumedAndUnlistedSnacsHaveNoEffect) {
    const Bytes block = UserInfo("200", {StatusTlv(0x0000)});
    session.Dispatch(0x0002, 0x0006, block);  // user information reply
    session.Dispatch(0x0013, 0x000E, FromHex("0000"));
    session.Dispatch(0x0001, 0x0013, BytesOf("message of the day"));
    session.Dispatch(0x0004, 0x0001, FromHex("0004"));
    session.Dispatch(0x0004, 0x000C, FromHex("0102030405060708 0001") + block);
    session.Dispatch(0x0004, 0x0014, FromHex("0102030405060708 0001 03 323030 0002"));
    session.Dispatch(0x0003, 0x0001, FromHex("0004"));
    session.Dispatch(0x0015, 0x0001, FromHex("0004"));
    session.Dispatch(0x0013, 0x0003, FromHex("0004"));
    EXPECT_TRUE(session.Statuses().empty());
    EXPECT_TRUE(session.Messages().empty());
    EXPECT_TRUE(session.Codes().empty());
    EXPECT_EQ(model.ContactCount(), 0u);
    EXPECT_TRUE(posted.Take().empty());
    // A result and a message error that name nothing of this session reach the
    // reporter; pairs without a handler do not.
    EXPECT_EQ(session.Rejected(),
              (std::vector<std::pair<int, int>>{{0x0013, 0x000E}, {0x0004, 0x0001}}));
}

// ---- Hostile input ----

// Every routed SNAC with random data, and every valid SNAC with random bytes
// flipped: nothing may crash or read out of bounds (the sanitizer builds see to
// that), and whatever lands in the model has a usable UIN and a clean name.
TEST_F(SessionEvents, RandomAndDamagedSnacsLeaveTheModelSound) {
    struct Pair {
        std::uint16_t family, subtype;
        Bytes valid;
    };
    const std::vector<Pair> pairs = {
        {0x0002, 0x0006, UserInfo("300", {StatusTlv(0x0001)})},
        {0x0003, 0x000B, UserInfo("301", {TlvBytes(0x0001, FromHex("0050")), StatusTlv(0x0010)})},
        {0x0003, 0x000C, UserInfo("302") + Bytes(8, 0)},
        {0x0004, 0x0007, IncomingMessage(1, UserInfo("303", {StatusTlv(0x0001)}),
                                         MessageTlv(Ucs2(u"Текст"), kCharsetUcs2))},
        {0x0013, 0x0006, ContactListReply({Buddy("304", BytesOf("Nick")), ListItem("G", 1)})},
        {0x0015, 0x0003, OfflineMessage(305, BytesOf("offline"))},
        {0x0015, 0x0003, ShortInfoReply(ShortInfoRecord(BytesOf("Nick")))},
        {0x0004, 0x0007, AutoRequest("306", FromHex("0102030405060708"), 0xE8)},
        {0x0004, 0x000B, AutoAnswer("307", FromHex("0102030405060708"), 0xE8, BytesOf("away"))},
    };
    std::mt19937 random(20240517);
    for (int round = 0; round < 3000; ++round) {
        const Pair& pair = pairs[static_cast<std::size_t>(round) % pairs.size()];
        Bytes data = pair.valid;
        if (round % 2 == 0) {
            data.resize(random() % 64);
            for (auto& b : data) b = static_cast<std::uint8_t>(random());
        } else {
            for (int flips = 1 + static_cast<int>(random() % 4); flips > 0; --flips) {
                data[random() % data.size()] = static_cast<std::uint8_t>(random());
            }
            data.resize(random() % (data.size() + 1));
        }
        session.Dispatch(pair.family, pair.subtype, data, static_cast<std::uint32_t>(random() % 4));
    }
    for (const auto& snapshot : model.SnapshotContacts()) {
        EXPECT_TRUE(IsUsableUin(snapshot.info.uin));
        EXPECT_EQ(CleanName(snapshot.info.name), snapshot.info.name);
        EXPECT_TRUE(IsPresenceStatus(snapshot.info.status));
    }
    EXPECT_EQ(model.busyCount.load(), 0);
    // The stored list reads back as every contact of the model, named or not.
    AppState reread(dir.path());
    reread.UpdateSettings([](Settings& s) { s.profile = u"123456789"; });
    (void)model.SaveContacts();
    reread.ReloadAll();
    EXPECT_EQ(reread.ContactCount(), model.ContactCount());
}

}  // namespace
}  // namespace pellox::testing
