// Two messenger sessions against the project's local OSCAR server in-process:
// sign-on with the server contact list, presence of the echo account and of each
// other, a message stored while the recipient is away, and messages both ways;
// one's own status as others see it, and reconnecting after the server dropped
// the line.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "platform/code_page.h"
#include "protocol/messages.h"
#include "protocol/presence.h"
#include "resources/strings.h"
#include "store/contact_list_file.h"
#include "tests/protocol/protocol_test_util.h"
#include "tools/oscar_server.h"

namespace pellox::testing {
namespace {

// One client: its own data directory, model and session.
struct Client {
    explicit Client(const std::u16string& uin) : own(uin) {
        posted.Install(model);
        model.UpdateSettings([&](Settings& s) { s.profile = uin; });
    }
    ~Client() { session.Shutdown(); }

    void Connect(std::uint16_t port, const std::u16string& password, std::int32_t presence = StatusOnline) {
        const std::string address = "127.0.0.1:" + std::to_string(port);
        session.EnqueueCommand(ConnectCommand{std::u16string(address.begin(), address.end()), own,
                                              password, OwnStatusBits(presence)});
    }
    // The presence values reported for the UIN so far.
    std::vector<std::int32_t> SeenOf(const std::u16string& uin) const {
        std::vector<std::int32_t> seen;
        for (const auto& [who, status] : session.Statuses()) {
            if (who == uin) seen.push_back(status);
        }
        return seen;
    }
    bool WaitForContact(const std::u16string& uin,
                        const std::function<bool(const ContactInfo&)>& condition) {
        return session.WaitUntil([&] {
            const ContactPtr contact = model.FindContact(uin);
            return contact && condition(contact->Snapshot());
        });
    }
    std::vector<MessageEntry> History(const std::u16string& uin) {
        const ContactPtr contact = model.FindContact(uin);
        return contact ? model.GetHistory(contact)->Entries() : std::vector<MessageEntry>{};
    }

    std::u16string own;
    TempDir dir;
    AppState model{dir.path()};
    PostedQueue posted;
    TestSession session{model, nullptr};
};

bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

TEST(LocalServer, TwoClientsMeetThroughTheServer) {
    server::OscarServer oscar;
    server::ServerConfig config;
    config.authPort = 0;
    config.bosPort = 0;
    std::string error;
    ASSERT_TRUE(oscar.Start(config, server::AccountStore::Demo(), error)) << error;

    Client alice(u"100001");
    ASSERT_TRUE(alice.session.StartWorker());
    alice.Connect(oscar.AuthPort(), u"alice");
    ASSERT_TRUE(alice.session.WaitForReport(ConnState::ContactsLoaded));
    EXPECT_EQ(alice.session.Codes(), (std::vector<int>{3, 4, 6, 7, 8, 7, 9, 10}));

    // The server list, with its group item and Windows-1251 nicknames.
    std::vector<ContactInfo> stored;
    ASSERT_TRUE(ReadContactListFile(alice.dir.path() + "contacts_100001.txt", stored));
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[0].uin, u"100002");
    EXPECT_EQ(stored[0].name, u"Борис");
    EXPECT_EQ(stored[1].name, u"Эхо");
    EXPECT_TRUE(alice.WaitForContact(u"100003", [](const ContactInfo& i) { return i.status == StatusOnline; }));
    EXPECT_EQ(alice.model.FindContact(u"100002")->Snapshot().status, StatusOffline);

    // A message for Boris while he is away, and one the echo account returns.
    alice.session.EnqueueCommand(SendMessageCommand{u"100002", u"Привет, Борис"});
    alice.session.EnqueueCommand(SendMessageCommand{u"100003", u"Эхо, ты здесь?"});
    ASSERT_TRUE(WaitFor([&] { return oscar.StoredOfflineCount() == 1; }));
    ASSERT_TRUE(alice.WaitForContact(u"100003", [](const ContactInfo& i) { return i.unreadCount == 1; }));
    ASSERT_EQ(alice.History(u"100003").size(), 1u);
    EXPECT_EQ(alice.History(u"100003")[0].text, u"Эхо, ты здесь?");

    // Boris signs on: the stored message arrives, and Alice sees him online.
    Client boris(u"100002");
    ASSERT_TRUE(boris.session.StartWorker());
    boris.Connect(oscar.AuthPort(), u"boris");
    ASSERT_TRUE(boris.session.WaitForReport(ConnState::ContactsLoaded));
    EXPECT_EQ(boris.session.Codes(), (std::vector<int>{3, 4, 6, 7, 8, 7, 9, 10}));
    ASSERT_EQ(boris.History(u"100001").size(), 1u);
    EXPECT_EQ(boris.History(u"100001")[0].text, u"Привет, Борис");
    EXPECT_EQ(boris.model.FindContact(u"100001")->Snapshot().name, u"Алиса");
    EXPECT_TRUE(WaitFor([&] { return oscar.StoredOfflineCount() == 0; }));  // acknowledged
    EXPECT_TRUE(alice.WaitForContact(u"100002", [](const ContactInfo& i) { return i.status == StatusOnline; }));
    EXPECT_TRUE(boris.WaitForContact(u"100001", [](const ContactInfo& i) { return i.status == StatusOnline; }));

    // Live messages both ways.
    boris.session.EnqueueCommand(SendMessageCommand{u"100001", u"Привет, Алиса"});
    ASSERT_TRUE(alice.WaitForContact(u"100002", [](const ContactInfo& i) { return i.unreadCount == 1; }));
    EXPECT_EQ(alice.History(u"100002")[0].text, u"Привет, Алиса");
    alice.session.EnqueueCommand(SendMessageCommand{u"100002", u"Как дела?"});
    ASSERT_TRUE(boris.WaitForContact(u"100001", [](const ContactInfo& i) { return i.unreadCount == 2; }));
    EXPECT_EQ(boris.History(u"100001")[1].text, u"Как дела?");

    // Any character: sent as UTF-16, received whole, stored, and the same after a
    // restart; the echo returns it unchanged too.
    const std::u16string wide = u"\U0001F600 caf\u00E9 \u65E5\u672C \u20AC";
    alice.session.EnqueueCommand(SendMessageCommand{u"100002", wide});
    alice.session.EnqueueCommand(SendMessageCommand{u"100003", wide});
    ASSERT_TRUE(boris.WaitForContact(u"100001", [](const ContactInfo& i) { return i.unreadCount == 3; }));
    EXPECT_EQ(boris.History(u"100001")[2].text, wide);
    ASSERT_TRUE(alice.WaitForContact(u"100003", [](const ContactInfo& i) { return i.unreadCount == 2; }));
    EXPECT_EQ(alice.History(u"100003")[1].text, wide);
    AppState restarted{boris.dir.path()};
    restarted.UpdateSettings([&](Settings& s) { s.profile = u"100002"; });
    restarted.ReloadAll();
    const ContactPtr alice2 = restarted.FindContact(u"100001");
    ASSERT_TRUE(alice2);
    EXPECT_EQ(restarted.GetHistory(alice2)->Entries(), boris.History(u"100001"));

    // Boris leaves: Alice sees him offline.
    boris.session.CloseSession();
    EXPECT_TRUE(alice.WaitForContact(u"100002", [](const ContactInfo& i) { return i.status == StatusOffline; }));
    alice.session.Shutdown();
    boris.session.Shutdown();
    oscar.Stop();
}

class LocalServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        server::ServerConfig config;
        config.authPort = 0;
        config.bosPort = 0;
        std::string error;
        ASSERT_TRUE(oscar.Start(config, server::AccountStore::Demo(), error)) << error;
    }
    void TearDown() override { oscar.Stop(); }

    server::OscarServer oscar;
};

TEST_F(LocalServerTest, AWrongPasswordEndsInConnectionErrorWithoutSignOn) {
    Client alice(u"100001");
    ASSERT_TRUE(alice.session.StartWorker());
    alice.Connect(oscar.AuthPort(), u"not-alices");
    ASSERT_TRUE(alice.session.WaitForReport(ConnState::ConnectionError));
    EXPECT_EQ(alice.session.Codes(), (std::vector<int>{3, 4, 6, 2}));
    EXPECT_EQ(alice.session.State(), ConnState::ConnectionError);
    EXPECT_EQ(alice.model.ContactCount(), 0u);
}

TEST_F(LocalServerTest, ASecondSignOnOfTheSameUinDisconnectsTheFirst) {
    Client first(u"100001");
    // Even with reconnecting on, the first one does not come back to fight it out.
    first.model.UpdateSettings([](Settings& s) { s.reconnect = true; });
    first.session.NetForTesting().SetReconnectTiming({20, 80, 0.2});
    ASSERT_TRUE(first.session.StartWorker());
    first.Connect(oscar.AuthPort(), u"alice");
    ASSERT_TRUE(first.session.WaitForReport(ConnState::ContactsLoaded));

    Client second(u"100001");
    ASSERT_TRUE(second.session.StartWorker());
    second.Connect(oscar.AuthPort(), u"alice");
    ASSERT_TRUE(second.session.WaitForReport(ConnState::ContactsLoaded));

    // The first session hears channel 4; the closing ConnectionError does not hide it.
    ASSERT_TRUE(first.session.WaitForReport(ConnState::DisconnectedByOtherClient));
    ASSERT_TRUE(first.session.WaitForReport(ConnState::ConnectionError));
    EXPECT_EQ(first.session.State(), ConnState::DisconnectedByOtherClient);
    EXPECT_EQ(second.session.State(), ConnState::ContactsLoaded);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // ten first delays
    EXPECT_EQ(first.session.State(), ConnState::DisconnectedByOtherClient);
    EXPECT_EQ(second.session.State(), ConnState::ContactsLoaded);
}

TEST_F(LocalServerTest, DeletingAContactRemovesItFromTheServerList) {
    Client alice(u"100001");
    ASSERT_TRUE(alice.session.StartWorker());
    alice.Connect(oscar.AuthPort(), u"alice");
    ASSERT_TRUE(alice.session.WaitForReport(ConnState::ContactsLoaded));
    ASSERT_NE(alice.model.FindContact(u"100002"), nullptr);

    // What the delete command of the user interface does: the frame, then the local removal.
    alice.session.EnqueueCommand(DeleteContactCommand{u"100002"});
    ASSERT_NE(alice.model.RemoveContact(alice.model.FindContact(u"100002")), nullptr);

    // Loading the list from the server again does not bring it back.
    alice.session.EnqueueCommand(LoadContactsCommand{});
    ASSERT_TRUE(alice.session.WaitForReport(ConnState::ContactsLoaded, 2));
    EXPECT_EQ(alice.model.FindContact(u"100002"), nullptr);
    EXPECT_NE(alice.model.FindContact(u"100003"), nullptr);
    std::vector<ContactInfo> stored;
    ASSERT_TRUE(ReadContactListFile(alice.dir.path() + "contacts_100001.txt", stored));
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].uin, u"100003");
}

TEST(LocalServerLongList, AListOfTwoRepliesIsLoadedOnceAndWhole) {
    // The longest list the server keeps, with the longest nicknames: more than one
    // frame holds, so it comes in two replies.
    server::AccountStore accounts;
    server::Account owner;
    owner.uin = 100000;
    owner.password = "pw";
    const std::u16string stem = u"Длинное имя собеседника / a rather long buddy nickname ";
    auto nicknameOf = [&](std::size_t i) { return stem + std::u16string(u"0123456789").substr(i % 10, 1); };
    for (std::size_t i = 0; i < server::kMaxBuddies; ++i) {
        server::Account buddy;
        buddy.uin = 2000000000 + static_cast<server::Uin>(i);
        buddy.echo = true;
        buddy.nickname = platform::WideToLocal(nicknameOf(i));
        owner.buddies.push_back({buddy.uin, static_cast<std::uint16_t>(i + 1)});
        accounts.Add(std::move(buddy));
    }
    accounts.Add(std::move(owner));
    server::OscarServer oscar;
    server::ServerConfig config;
    config.authPort = 0;
    config.bosPort = 0;
    std::string error;
    ASSERT_TRUE(oscar.Start(config, std::move(accounts), error)) << error;

    Client client(u"100000");
    ASSERT_TRUE(client.session.StartWorker());
    client.Connect(oscar.AuthPort(), u"pw");
    ASSERT_TRUE(client.session.WaitForReport(ConnState::ContactsLoaded));
    client.model.FlushSaves();  // the second reply's save may still be put off
    std::vector<ContactInfo> stored;
    ASSERT_TRUE(ReadContactListFile(client.dir.path() + "contacts_100000.txt", stored));
    ASSERT_EQ(stored.size(), server::kMaxBuddies);
    for (std::size_t i = 0; i < stored.size(); ++i) {
        EXPECT_EQ(stored[i].uin, platform::LocalToWide(std::to_string(2000000000 + i)));
        EXPECT_EQ(stored[i].name, nicknameOf(i));
    }
    // Every buddy online after the one activation; loaded only once.
    EXPECT_TRUE(client.session.WaitUntil([&] {
        for (const ContactSnapshot& c : client.model.SnapshotContacts()) {
            if (c.info.status != StatusOnline) return false;
        }
        return true;
    }, 20000));
    EXPECT_EQ(client.session.Codes(), (std::vector<int>{3, 4, 6, 7, 8, 7, 9, 10}));
    client.session.Shutdown();
    oscar.Stop();
}

}  // namespace
}  // namespace pellox::testing

namespace pellox::testing {
namespace {

auto Is(std::int32_t presence) {
    return [presence](const ContactInfo& info) { return info.status == presence; };
}

class OwnPresence : public LocalServerTest {
protected:
    void SignOn(Client& client, const std::u16string& password, int times = 1) {
        ASSERT_TRUE(client.session.StartWorker());
        client.Connect(oscar.AuthPort(), password);
        ASSERT_TRUE(client.session.WaitForReport(ConnState::ContactsLoaded, times));
    }
    void SetStatus(Client& client, std::int32_t presence) {
        client.session.EnqueueCommand(StatusCommand{OwnStatusBits(presence)});
    }
};

TEST_F(OwnPresence, EachStatusReachesAWatcherAsItsPresenceValue) {
    Client alice(u"100001");
    Client boris(u"100002");  // lists Alice
    SignOn(alice, u"alice");
    SignOn(boris, u"boris");
    ASSERT_TRUE(boris.WaitForContact(u"100001", Is(StatusOnline)));
    // Invisible reaches him as a departure, the next status as an arrival.
    const std::int32_t chosen[] = {StatusAway,         StatusNotAvailable, StatusOccupied,
                                   StatusDoNotDisturb, StatusFreeForChat,  StatusInvisible,
                                   StatusOnline,       StatusInvisible,    StatusAway};
    for (std::int32_t presence : chosen) {
        SetStatus(alice, presence);
        const std::int32_t seen = presence == StatusInvisible ? StatusOffline : presence;
        ASSERT_TRUE(boris.WaitForContact(u"100001", Is(seen))) << presence;
    }
    EXPECT_EQ(alice.session.NetForTesting().OwnStatus(), OwnStatusBits(StatusAway));
}

TEST_F(OwnPresence, TheSignOnCarriesTheChosenStatus) {
    Client boris(u"100002");
    SignOn(boris, u"boris");
    Client alice(u"100001");
    ASSERT_TRUE(alice.session.StartWorker());
    alice.Connect(oscar.AuthPort(), u"alice", StatusDoNotDisturb);
    ASSERT_TRUE(alice.session.WaitForReport(ConnState::ContactsLoaded));
    ASSERT_TRUE(boris.WaitForContact(u"100001", Is(StatusDoNotDisturb)));

    // Signed on invisible, Alice is never seen online until she shows herself.
    alice.session.CloseSession();
    ASSERT_TRUE(boris.WaitForContact(u"100001", Is(StatusOffline)));
    const std::size_t before = boris.SeenOf(u"100001").size();
    alice.Connect(oscar.AuthPort(), u"alice", StatusInvisible);
    ASSERT_TRUE(alice.session.WaitForReport(ConnState::ContactsLoaded, 2));
    SetStatus(alice, StatusFreeForChat);
    ASSERT_TRUE(boris.WaitForContact(u"100001", Is(StatusFreeForChat)));
    const std::vector<std::int32_t> seen = boris.SeenOf(u"100001");
    for (std::size_t i = before; i + 1 < seen.size(); ++i) EXPECT_EQ(seen[i], StatusOffline) << i;
}

// Contacts beyond the server list: presence, adding and renaming.
class ServerContacts : public OwnPresence {
protected:
    static void AddLocally(Client& client, const std::u16string& uin, const std::u16string& name) {
        ContactInfo info;
        info.uin = uin;
        info.name = name;
        client.model.AddContact(info, true);
    }
};

TEST_F(ServerContacts, AContactOnlyInTheLocalListHasPresenceUntilDeleted) {
    Client alice(u"100001");
    Client boris(u"100002");
    AddLocally(alice, u"100004", u"Вера");  // on neither server list
    AddLocally(boris, u"100004", u"Вера");
    SignOn(alice, u"alice");
    SignOn(boris, u"boris");
    Client vera(u"100004");
    SignOn(vera, u"vera");
    ASSERT_TRUE(alice.WaitForContact(u"100004", Is(StatusOnline)));
    ASSERT_TRUE(boris.WaitForContact(u"100004", Is(StatusOnline)));

    // Deleted by Alice, Vera's departure reaches Boris only: the echo's answer
    // comes after anything the server would have sent her.
    alice.session.EnqueueCommand(DeleteContactCommand{u"100004"});
    ASSERT_NE(alice.model.RemoveContact(alice.model.FindContact(u"100004")), nullptr);
    alice.session.EnqueueCommand(SendMessageCommand{u"100003", u"sync"});
    ASSERT_TRUE(alice.WaitForContact(u"100003", [](const ContactInfo& i) { return i.unreadCount == 1; }));
    const std::size_t seenBefore = alice.SeenOf(u"100004").size();
    vera.session.CloseSession();
    ASSERT_TRUE(boris.WaitForContact(u"100004", Is(StatusOffline)));
    alice.session.EnqueueCommand(SendMessageCommand{u"100003", u"sync"});
    ASSERT_TRUE(alice.WaitForContact(u"100003", [](const ContactInfo& i) { return i.unreadCount == 2; }));
    EXPECT_EQ(alice.SeenOf(u"100004").size(), seenBefore);
    EXPECT_EQ(alice.model.FindContact(u"100004"), nullptr);
}

TEST_F(ServerContacts, AnAddedContactIsOnTheServerListWithItsPresenceAndANewName) {
    Client alice(u"100001");
    SignOn(alice, u"alice");
    Client vera(u"100004");
    SignOn(vera, u"vera");
    AddLocally(alice, u"100004", u"Верочка");
    alice.session.EnqueueCommand(AddContactCommand{u"100004", u"Верочка"});
    ASSERT_TRUE(alice.WaitForContact(u"100004", Is(StatusOnline)));
    ASSERT_TRUE(WaitFor([&] { return alice.session.ServerList().Buddy("100004").has_value(); }));

    // A rename goes to the server list; a reload there makes sure it was taken.
    alice.session.EnqueueCommand(RenameContactCommand{u"100004", u"Вера П."});
    alice.session.EnqueueCommand(LoadContactsCommand{});
    ASSERT_TRUE(alice.session.WaitForReport(ConnState::ContactsLoaded, 2));

    // Another computer of Alice's loads the list with Vera, named so, online.
    Client elsewhere(u"100001");
    SignOn(elsewhere, u"alice");
    ASSERT_TRUE(elsewhere.WaitForContact(u"100004", Is(StatusOnline)));
    EXPECT_EQ(elsewhere.model.FindContact(u"100004")->Snapshot().name, u"Вера П.");
}

TEST_F(ServerContacts, AnAddWhileConnectedReachesTheServerWhateverTheContactsPast) {
    Client alice(u"100001");
    AddLocally(alice, u"100005", u"Пятый");  // added while away: only here
    SignOn(alice, u"alice");
    AddLocally(alice, u"100004", u"Вера");
    alice.session.EnqueueCommand(AddContactCommand{u"100004", u"Вера"});
    ASSERT_TRUE(WaitFor([&] { return alice.session.ServerList().Buddy("100004").has_value(); }));

    // Deleted and added again while signed on.
    alice.session.EnqueueCommand(DeleteContactCommand{u"100004"});
    ASSERT_NE(alice.model.RemoveContact(alice.model.FindContact(u"100004")), nullptr);
    AddLocally(alice, u"100004", u"Вера");
    alice.session.EnqueueCommand(AddContactCommand{u"100004", u"Вера"});
    // Renamed while only here.
    alice.model.FindContact(u"100005")->Update([](ContactInfo& i) { i.name = u"Пятый П."; });
    alice.session.EnqueueCommand(RenameContactCommand{u"100005", u"Пятый П."});

    // The list the server sends again holds both.
    alice.session.EnqueueCommand(LoadContactsCommand{});
    ASSERT_TRUE(alice.session.WaitForReport(ConnState::ContactsLoaded, 2));
    EXPECT_TRUE(alice.session.ServerList().Buddy("100004").has_value());
    const std::optional<ServerItem> fifth = alice.session.ServerList().Buddy("100005");
    ASSERT_TRUE(fifth.has_value());
    EXPECT_EQ(ToHex(fifth->data), ToHex(TlvBytes(0x0131, Utf8(u"Пятый П."))));
}

TEST_F(ServerContacts, TypingIsShownUntilStoppedOrTheNextMessage) {
    Client alice(u"100001");
    Client boris(u"100002");
    SignOn(alice, u"alice");
    SignOn(boris, u"boris");
    ASSERT_TRUE(alice.WaitForContact(u"100002", Is(StatusOnline)));
    auto typing = [](const ContactInfo& i) { return i.typing(); };
    auto notTyping = [](const ContactInfo& i) { return !i.typing(); };
    auto notice = [&](std::uint16_t kind) {
        boris.session.EnqueueCommand(TypingCommand{u"100001", kind});
    };
    notice(kTypingBegun);
    ASSERT_TRUE(alice.WaitForContact(u"100002", typing));
    notice(kTypingStopped);
    ASSERT_TRUE(alice.WaitForContact(u"100002", notTyping));
    notice(kTypingBegun);
    ASSERT_TRUE(alice.WaitForContact(u"100002", typing));
    notice(kTypingTyped);  // paused with text left: no longer typing
    ASSERT_TRUE(alice.WaitForContact(u"100002", notTyping));
    notice(kTypingBegun);
    ASSERT_TRUE(alice.WaitForContact(u"100002", typing));
    boris.session.EnqueueCommand(SendMessageCommand{u"100001", u"готово"});
    ASSERT_TRUE(alice.WaitForContact(u"100002", [](const ContactInfo& i) { return i.unreadCount == 1 && !i.typing(); }));
}

// Vera's account asks for authorization.
class Authorization : public ServerContacts {
protected:
    void SetUp() override {
        server::AccountStore accounts = server::AccountStore::Demo();
        accounts.Find(100004)->auth = true;
        server::ServerConfig config;
        config.authPort = 0;
        config.bosPort = 0;
        std::string error;
        ASSERT_TRUE(oscar.Start(config, std::move(accounts), error)) << error;
    }
    static bool HasLine(Client& client, const std::u16string& uin, const std::u16string& text) {
        for (const MessageEntry& entry : client.History(uin)) {
            if (entry.direction == MessageDirection::System && entry.text == text) return true;
        }
        return false;
    }
};

TEST_F(Authorization, AnAddThatNeedsConsentAsksForItAndHearsTheAnswer) {
    Client alice(u"100001");
    Client boris(u"100002");
    Client vera(u"100004");
    SignOn(alice, u"alice");
    SignOn(boris, u"boris");
    SignOn(vera, u"vera");
    for (Client* asking : {&alice, &boris}) {
        AddLocally(*asking, u"100004", u"Вера");
        asking->session.EnqueueCommand(AddContactCommand{u"100004", u"Вера"});
    }
    // Vera hears of both requests, with the text, and of being added.
    std::vector<MessengerSession::AuthRequest> requests;
    ASSERT_TRUE(WaitFor([&] {
        while (auto request = vera.session.TakeAuthRequest()) requests.push_back(*request);
        return requests.size() == 2;
    }));
    for (const auto& request : requests) EXPECT_EQ(request.text, LoadString(str::kAuthRequestText));
    EXPECT_TRUE(WaitFor([&] { return HasLine(vera, u"100001", LoadString(str::kYouWereAdded)); }));

    // Granted to Alice, refused to Boris: each sees the answer in the conversation.
    vera.session.EnqueueCommand(AuthReplyCommand{u"100001", true});
    vera.session.EnqueueCommand(AuthReplyCommand{u"100002", false});
    EXPECT_TRUE(WaitFor([&] { return HasLine(alice, u"100004", LoadString(str::kAuthGranted)); }));
    EXPECT_TRUE(WaitFor([&] { return HasLine(boris, u"100004", LoadString(str::kAuthRefused)); }));
    // Alice's item no longer waits; Boris's still does, on a fresh load too.
    EXPECT_TRUE(WaitFor([&] {
        auto item = alice.session.ServerList().Buddy("100004");
        return item && !HasTlv(item->data, kTlvAwaitingAuth);
    }));
    Client borisAgain(u"100002");
    SignOn(borisAgain, u"boris");
    ASSERT_TRUE(borisAgain.session.ServerList().Buddy("100004").has_value());
    EXPECT_TRUE(HasTlv(borisAgain.session.ServerList().Buddy("100004")->data, kTlvAwaitingAuth));
}

class Reconnect : public OwnPresence {
protected:
    void Prepare(Client& client, bool reconnect, int firstDelayMs) {
        client.model.UpdateSettings([&](Settings& s) { s.reconnect = reconnect; });
        client.session.NetForTesting().SetReconnectTiming({firstDelayMs, 8 * firstDelayMs, 0.2});
    }
    // Alice's connection, signed on, dropped by the server.
    void SignOnAndDrop(Client& alice, bool reconnect, int firstDelayMs) {
        Prepare(alice, reconnect, firstDelayMs);
        SignOn(alice, u"alice");
        Drop(alice);
    }
    void Drop(Client& alice) {
        ASSERT_TRUE(oscar.DropConnection(100001));
        ASSERT_TRUE(alice.session.WaitForReport(ConnState::ConnectionError));
    }
};

TEST_F(Reconnect, ADroppedConnectionComesBackWithItsStatus) {
    Client alice(u"100001");
    Client boris(u"100002");
    Prepare(alice, true, 30);
    SignOn(alice, u"alice");
    SignOn(boris, u"boris");
    SetStatus(alice, StatusAway);
    ASSERT_TRUE(boris.WaitForContact(u"100001", Is(StatusAway)));

    ASSERT_NO_FATAL_FAILURE(Drop(alice));
    ASSERT_TRUE(boris.WaitForContact(u"100001", Is(StatusOffline)));
    ASSERT_TRUE(alice.session.WaitForReport(ConnState::ContactsLoaded, 2));
    EXPECT_TRUE(boris.WaitForContact(u"100001", Is(StatusAway)));
    EXPECT_FALSE(alice.session.NetForTesting().ReconnectPending());
}

TEST_F(Reconnect, ADroppedConnectionStaysDownWithItOff) {
    Client alice(u"100001");
    ASSERT_NO_FATAL_FAILURE(SignOnAndDrop(alice, false, 30));
    EXPECT_FALSE(alice.session.NetForTesting().ReconnectPending());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // ten first delays
    EXPECT_EQ(alice.session.State(), ConnState::ConnectionError);
    EXPECT_EQ(alice.session.Codes(), (std::vector<int>{3, 4, 6, 7, 8, 7, 9, 10, 2}));
}

TEST_F(Reconnect, AUserCommandCancelsTheWaitAndARefusedLoginIsNotRetried) {
    Client alice(u"100001");
    ASSERT_NO_FATAL_FAILURE(SignOnAndDrop(alice, true, 60000));
    ASSERT_TRUE(WaitFor([&] { return alice.session.NetForTesting().ReconnectPending(); }));
    alice.session.EnqueueCommand(RequestInfoCommand{u"100002"});
    EXPECT_FALSE(alice.session.NetForTesting().ReconnectPending());

    // A wrong password ends in ConnectionError too, but is not tried again.
    Prepare(alice, true, 30);
    alice.Connect(oscar.AuthPort(), u"not-alices");
    ASSERT_TRUE(alice.session.WaitForReport(ConnState::ConnectionError, 2));
    EXPECT_TRUE(alice.session.NetForTesting().LoginRefused());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // ten first delays
    EXPECT_EQ(alice.session.State(), ConnState::ConnectionError);
    const std::vector<int> codes = alice.session.Codes();
    EXPECT_EQ(std::count(codes.begin(), codes.end(), 3), 2);  // the sign-on and the refused one
}

}  // namespace
}  // namespace pellox::testing
