// Two messenger sessions against the project's local OSCAR server in-process:
// sign-on with the server contact list, presence of the echo account and of each
// other, a message stored while the recipient is away, and messages both ways;
// one's own status as others see it, reconnecting after the server dropped the
// line, and the people features: the directory, details, away texts, privacy
// items and strangers held back; pictures; and sending files, directly and
// through the proxy.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "net/text_encoding.h"
#include "platform/code_page.h"
#include "platform/files.h"
#include "platform/stream.h"
#include "protocol/file_transfer.h"
#include "protocol/messages.h"
#include "protocol/people.h"
#include "protocol/presence.h"
#include "resources/strings.h"
#include "store/contact_list_file.h"
#include "store/icon_cache.h"
#include "tests/protocol/protocol_test_util.h"
#include "tests/tools/oscar_test_client.h"
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
    RecordingAnnouncer announcer;
    TestSession session{model, &announcer};
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
    static bool HasLine(Client& client, const std::u16string& uin, const std::u16string& text) {
        for (const MessageEntry& entry : client.History(uin)) {
            if (entry.direction == MessageDirection::System && entry.text == text) return true;
        }
        return false;
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

// The people features between sessions through the server: the directory, a
// contact's details, one's own details, away texts, and the ignored and strangers
// kept out.
class PeopleOnServer : public ServerContacts {
protected:
    static SearchResults Search(Client& client, SearchPeopleCommand command) {
        static std::uint32_t serial = 0;
        command.search = ++serial;
        client.session.EnqueueCommand(command);
        EXPECT_TRUE(WaitFor([&] {
            const SearchResults results = client.session.People().Results();
            return results.search == command.search && results.finished;
        }));
        return client.session.People().Results();
    }
    static UserDetails Details(Client& client, const std::u16string& uin) {
        client.session.EnqueueCommand(RequestDetailsCommand{uin});
        EXPECT_TRUE(WaitFor([&] {
            const std::optional<UserDetails> details = client.session.People().Details(uin);
            return details && details->finished;
        }));
        return client.session.People().Details(uin).value_or(UserDetails{});
    }
    // A round trip to the echo account: whatever the server sent the client before
    // it answered has arrived.
    static void Settle(Client& client) {
        const std::size_t before = client.History(u"100003").size();
        client.session.EnqueueCommand(SendMessageCommand{u"100003", u"sync"});
        ASSERT_TRUE(WaitFor([&] { return client.History(u"100003").size() > before; }));
    }
};

TEST_F(PeopleOnServer, ASearchByEmailFindsVeraAndAddingHerPutsHerOnTheList) {
    Client alice(u"100001");
    SignOn(alice, u"alice");
    SearchPeopleCommand byEmail;
    byEmail.email = u"VERA@example.org";
    const SearchResults results = Search(alice, byEmail);
    ASSERT_EQ(results.users.size(), 1u);
    FoundUser expected{u"100004", u"Вера", u"Вера", u"Соколова", u"vera@example.org", false, 0, 1, 27};
    EXPECT_EQ(results.users[0], expected);
    EXPECT_EQ(results.left, 0u);

    // Added from the result as the search form does it; found again once she is
    // on, by her last name, as online.
    AddLocally(alice, u"100004", results.users[0].nickname);
    alice.session.EnqueueCommand(AddContactCommand{u"100004", results.users[0].nickname});
    ASSERT_TRUE(WaitFor([&] { return alice.session.ServerList().Buddy("100004").has_value(); }));
    Client vera(u"100004");
    SignOn(vera, u"vera");
    ASSERT_TRUE(alice.WaitForContact(u"100004", Is(StatusOnline)));
    SearchPeopleCommand byName;
    byName.lastName = u"соколова";
    expected.online = 1;
    EXPECT_EQ(Search(alice, byName).users, std::vector<FoundUser>{expected});
    SearchPeopleCommand byUin;
    byUin.uin = u"100002";
    const SearchResults boris = Search(alice, byUin);
    ASSERT_EQ(boris.users.size(), 1u);
    EXPECT_EQ(boris.users[0].nickname, u"Борис");
    SearchPeopleCommand nobody;
    nobody.email = u"nobody@example.org";
    EXPECT_TRUE(Search(alice, nobody).users.empty());
}

TEST_F(PeopleOnServer, AContactsDetailsAndOwnDetailsSavedAreSeenByAnother) {
    Client alice(u"100001");
    Client boris(u"100002");
    SignOn(alice, u"alice");
    SignOn(boris, u"boris");
    const UserDetails vera = Details(alice, u"100004");
    EXPECT_TRUE(vera.found);
    EXPECT_EQ(vera.nickname, u"Вера");
    EXPECT_EQ(vera.lastName, u"Соколова");
    EXPECT_EQ(vera.email, u"vera@example.org");
    EXPECT_EQ(vera.city, u"Тверь");
    EXPECT_EQ(vera.age, 27);
    EXPECT_EQ(vera.gender, 1);
    EXPECT_EQ(vera.about, u"Пишу стихи, читаю по вечерам.");
    EXPECT_FALSE(Details(alice, u"199999").found);

    SaveOwnDetailsCommand own;
    own.nickname = u"Боря";
    own.firstName = u"Борис";
    own.lastName = u"Петров";
    own.email = u"boris@example.org";
    own.city = u"Казань";
    own.about = u"Играю в шахматы.\r\nПо выходным.";
    boris.session.EnqueueCommand(own);
    ASSERT_TRUE(WaitFor([&] { return boris.session.People().LastSave().finished; }));
    EXPECT_TRUE(boris.session.People().LastSave().saved);
    const UserDetails seen = Details(alice, u"100002");
    EXPECT_EQ((std::vector<std::u16string>{seen.nickname, seen.firstName, seen.lastName, seen.email,
                                           seen.city, seen.about}),
              (std::vector<std::u16string>{own.nickname, own.firstName, own.lastName, own.email,
                                           own.city, own.about}));
}

TEST_F(PeopleOnServer, AnAwayTextIsAnsweredToAnotherSessionsRequest) {
    Client alice(u"100001");
    Client boris(u"100002");
    alice.model.UpdateSettings(
        [](Settings& s) { s.profiles[s.profile].values[AwayTextKey(StatusAway)] = u"Скоро буду"; });
    SignOn(alice, u"alice");
    SignOn(boris, u"boris");
    SetStatus(alice, StatusAway);
    ASSERT_TRUE(boris.WaitForContact(u"100001", Is(StatusAway)));
    boris.session.EnqueueCommand(RequestAwayTextCommand{u"100001", StatusAway});
    EXPECT_TRUE(WaitFor([&] {
        return HasLine(boris, u"100001",
                       FormatString(str::kAwayTextLine, {LoadString(str::kPresenceAway), u"Скоро буду"}));
    }));
}

TEST_F(PeopleOnServer, AnIgnoredNumbersMessageIsStoredNowhereOnAnyComputer) {
    Client alice(u"100001");
    Client boris(u"100002");
    SignOn(alice, u"alice");
    SignOn(boris, u"boris");
    alice.session.EnqueueCommand(PrivacyCommand{u"100002", kItemTypeIgnore, true});
    alice.session.EnqueueCommand(LoadContactsCommand{});
    ASSERT_TRUE(alice.session.WaitForReport(ConnState::ContactsLoaded, 2));
    ASSERT_TRUE(alice.WaitForContact(u"100002", [](const ContactInfo& i) { return i.ignored(); }));

    boris.session.EnqueueCommand(SendMessageCommand{u"100001", u"Ответь!"});
    Settle(boris);
    Settle(alice);
    EXPECT_TRUE(alice.History(u"100002").empty());
    EXPECT_EQ(oscar.StoredOfflineCount(), 0u);

    // Her other computer knows him as ignored from the server list.
    Client elsewhere(u"100001");
    SignOn(elsewhere, u"alice");
    EXPECT_TRUE(elsewhere.WaitForContact(u"100002", [](const ContactInfo& i) { return i.ignored(); }));
    EXPECT_TRUE(elsewhere.History(u"100002").empty());
}

TEST_F(PeopleOnServer, AlwaysInvisibleAndAlwaysVisibleToDecideWhoSeesOne) {
    Client alice(u"100001");
    Client boris(u"100002");
    Client vera(u"100004");  // watches Alice too
    SignOn(alice, u"alice");
    SignOn(boris, u"boris");
    SignOn(vera, u"vera");
    ASSERT_TRUE(boris.WaitForContact(u"100001", Is(StatusOnline)));
    alice.session.EnqueueCommand(PrivacyCommand{u"100002", kItemTypeDeny, true});
    ASSERT_TRUE(boris.WaitForContact(u"100001", Is(StatusOffline)));
    SetStatus(alice, StatusOccupied);
    ASSERT_TRUE(vera.WaitForContact(u"100001", Is(StatusOccupied)));
    EXPECT_EQ(boris.model.FindContact(u"100001")->Snapshot().status, StatusOffline);
    alice.session.EnqueueCommand(PrivacyCommand{u"100002", kItemTypeDeny, false});
    EXPECT_TRUE(boris.WaitForContact(u"100001", Is(StatusOccupied)));

    // Invisible, she is seen by those she is always visible to.
    SetStatus(alice, StatusInvisible);
    ASSERT_TRUE(vera.WaitForContact(u"100001", Is(StatusOffline)));
    alice.session.EnqueueCommand(PrivacyCommand{u"100002", kItemTypePermit, true});
    EXPECT_TRUE(boris.WaitForContact(u"100001", [](const ContactInfo& i) { return i.status != StatusOffline; }));
    EXPECT_EQ(vera.model.FindContact(u"100001")->Snapshot().status, StatusOffline);
}

TEST_F(PeopleOnServer, OnlyListedHoldsAStrangerBackAndOffLetsHerIn) {
    Client alice(u"100001");
    Client vera(u"100004");  // lists Alice; Alice does not list her
    alice.model.UpdateSettings([](Settings& s) { s.onlylisted = true; });
    SignOn(alice, u"alice");
    SignOn(vera, u"vera");
    vera.session.EnqueueCommand(SendMessageCommand{u"100001", u"Привет, это Вера"});
    Settle(vera);
    Settle(alice);
    EXPECT_EQ(alice.model.FindContact(u"100004"), nullptr);

    alice.model.UpdateSettings([](Settings& s) { s.onlylisted = false; });
    vera.session.EnqueueCommand(SendMessageCommand{u"100001", u"Ещё раз"});
    ASSERT_TRUE(alice.WaitForContact(u"100004", [](const ContactInfo& i) { return i.unreadCount == 1; }));
    ASSERT_EQ(alice.History(u"100004").size(), 1u);
    EXPECT_EQ(alice.History(u"100004")[0].text, u"Ещё раз");
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


// Pictures: one's own set, uploaded and announced; a contact's fetched and cached.
class Pictures : public OwnPresence {
public:
    // A 1x1 PNG.
    static std::vector<std::uint8_t> Png() {
        return {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x48,
                0x44, 0x52, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x00, 0x00,
                0x00, 0x1F, 0x15, 0xC4, 0x89, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x44, 0x41, 0x54, 0x78,
                0x9C, 0x63, 0xF8, 0xCF, 0xC0, 0xF0, 0x1F, 0x00, 0x05, 0x00, 0x01, 0xFF, 0x89, 0x99,
                0x3D, 0x1D, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};
    }
    // The picture as the menu stores it; empty bytes remove it.
    static std::string SetPicture(Client& client, const std::vector<std::uint8_t>& bytes) {
        std::string name;
        if (!bytes.empty()) name = WriteOwnPicture(client.dir.path(), bytes, "png").value_or("");
        client.model.UpdateSettings([&](Settings& s) {
            s.profiles[s.profile].values[kPictureKey] = std::u16string(name.begin(), name.end());
        });
        client.session.EnqueueCommand(SetPictureCommand{});
        return bytes.empty() ? std::string() : IconHashText(IconHashOf(bytes));
    }
    static auto HasIcon(const std::string& hash) {
        return [hash](const ContactInfo& info) { return info.iconHash == hash; };
    }
};

TEST_F(Pictures, APictureSetByOneSessionIsFetchedByAnotherAndRemoved) {
    Client alice(u"100001");
    Client boris(u"100002");  // lists Alice
    const std::string hash = SetPicture(alice, Png());
    SignOn(alice, u"alice");  // the list is loaded: the item goes in, the picture up
    SignOn(boris, u"boris");
    ASSERT_TRUE(boris.WaitForContact(u"100001", HasIcon(hash)));
    ASSERT_TRUE(WaitFor([&] { return IconCached(boris.dir.path(), hash); }));
    std::string cached;
    ASSERT_TRUE(platform::ReadWholeFile(CachedIconPath(boris.dir.path(), hash), cached));
    EXPECT_EQ(std::vector<std::uint8_t>(cached.begin(), cached.end()), Png());
    EXPECT_EQ(boris.session.Icons().FetchesSentForTesting(), 1u);

    // Another picture: the item is updated, uploaded, and fetched anew.
    std::vector<std::uint8_t> second = Png();
    second.push_back(0);
    const std::string secondHash = SetPicture(alice, second);
    ASSERT_TRUE(boris.WaitForContact(u"100001", HasIcon(secondHash)));
    ASSERT_TRUE(WaitFor([&] { return IconCached(boris.dir.path(), secondHash); }));

    // "Убрать": the item goes, and with it the picture in Alice's presence.
    SetPicture(alice, {});
    ASSERT_TRUE(boris.WaitForContact(u"100001", HasIcon("")));
    EXPECT_EQ(boris.session.Icons().FetchesSentForTesting(), 2u);
}

// Over TLS the service connection is TLS too, checked against the same pin.
TEST(PicturesOverTls, TheIconServiceIsReachedAsTheMessagingServerWas) {
    TempDir data;
    server::OscarServer oscar;
    server::ServerConfig config;
    config.authPort = 0;
    config.bosPort = 0;
    config.tls = true;
    config.tlsPort = 0;
    config.dataDirectory = data.path();
    std::string error;
    ASSERT_TRUE(oscar.Start(config, server::AccountStore::Demo(), error)) << error;
    const std::string address = "127.0.0.1:" + std::to_string(oscar.TlsPort());
    const auto signOn = [&](Client& client, const std::u16string& password) {
        ASSERT_TRUE(client.session.StartWorker());
        client.session.EnqueueCommand(ConnectCommand{std::u16string(address.begin(), address.end()), client.own,
                                                     password, 0, false, true, oscar.TlsFingerprint()});
        ASSERT_TRUE(client.session.WaitForReport(ConnState::ContactsLoaded));
    };
    Client alice(u"100001");
    Client boris(u"100002");
    const std::string hash = Pictures::SetPicture(alice, Pictures::Png());
    ASSERT_NO_FATAL_FAILURE(signOn(alice, u"alice"));
    ASSERT_NO_FATAL_FAILURE(signOn(boris, u"boris"));
    ASSERT_TRUE(WaitFor([&] { return IconCached(boris.dir.path(), hash); }));
    alice.session.Shutdown();
    boris.session.Shutdown();
    oscar.Stop();
}

TEST_F(Pictures, AnIconThatIsNoPictureIsNotCachedNorFetchedAgain) {
    Client alice(u"100001");
    Client boris(u"100002");
    std::vector<std::uint8_t> broken = Png();
    broken.resize(20);  // a PNG's start, and then nothing a decoder could use
    boris.session.Icons().SetImageCheck([](std::span<const std::uint8_t> bytes) { return bytes.size() > 20; });
    SignOn(boris, u"boris");
    const std::string hash = SetPicture(alice, broken);
    SignOn(alice, u"alice");
    ASSERT_TRUE(boris.WaitForContact(u"100001", HasIcon(hash)));
    ASSERT_TRUE(WaitFor([&] { return boris.session.Icons().FetchesSentForTesting() == 1; }));
    // Alice's next presence names the same hash: it is not asked for again.
    SetStatus(alice, StatusAway);
    ASSERT_TRUE(boris.WaitForContact(u"100001", Is(StatusAway)));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(IconCached(boris.dir.path(), hash));
    EXPECT_EQ(boris.session.Icons().FetchesSentForTesting(), 1u);
}

// Sending a file between two sessions: directly, through the proxy, refused and
// cancelled; what lands in the download folder.
class FileTransfer : public OwnPresence {
protected:
    void SetUp() override {
        OwnPresence::SetUp();
        for (Client* c : {&alice, &boris}) {
            FileTransferConfig config;
            config.downloads = c->dir.path() + "downloads";
            ASSERT_EQ(::mkdir(config.downloads.c_str(), 0700), 0);
            config.proxyHost = "127.0.0.1";
            config.proxyPort = oscar.ProxyPort();
            c->session.Files().SetConfig(config);
        }
        SignOn(alice, u"alice");
        SignOn(boris, u"boris");
        ASSERT_TRUE(alice.WaitForContact(u"100002", Is(StatusOnline)));
    }
    void DirectOff() {
        for (Client* c : {&alice, &boris}) {
            FileTransferConfig config = c->session.Files().Config();
            config.direct = false;
            c->session.Files().SetConfig(config);
        }
    }
    // A file of `size` bytes that are not all alike, in Alice's data folder.
    std::string MakeFile(const std::string& name, std::size_t size) {
        std::string bytes(size, '\0');
        std::uint32_t x = 12345;
        for (char& c : bytes) c = static_cast<char>((x = x * 1103515245 + 12345) >> 16);
        const std::string path = alice.dir.path() + name;
        std::FILE* f = std::fopen(path.c_str(), "wb");
        EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
        std::fclose(f);
        return path;
    }
    static TransferState StateOf(Client& c, std::uint64_t id) {
        for (const std::u16string peer : {u"100001", u"100002", u"100004"}) {
            for (const TransferInfo& info : c.session.Files().List(peer)) {
                if (info.id == id) return info.state;
            }
        }
        return TransferState::Failed;
    }
    // Boris's newest transfer from Alice, once she has proposed one.
    std::uint64_t Proposal(std::uint64_t offered = 1) {
        EXPECT_NE(offered, 0u);
        std::uint64_t id = 0;
        EXPECT_TRUE(WaitFor([&] { return (id = boris.session.Files().PendingProposal(u"100001")) != 0; }));
        return id;
    }
    std::vector<std::string> Downloads() {
        std::vector<std::string> names;
        if (DIR* d = ::opendir((boris.dir.path() + "downloads").c_str())) {
            while (dirent* e = ::readdir(d)) {
                if (e->d_name[0] != '.') names.push_back(e->d_name);
            }
            ::closedir(d);
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string Downloaded(const std::string& name) {
        std::string bytes;
        EXPECT_TRUE(platform::ReadWholeFile(boris.dir.path() + "downloads/" + name, bytes));
        return bytes;
    }
    bool Ends(Client& c, std::uint64_t id, TransferState state) {
        return WaitFor([&] { return StateOf(c, id) == state; }, 20000);
    }

    Client alice{u"100001"};
    Client boris{u"100002"};
};

TEST_F(FileTransfer, AMebibyteArrivesWholeDirectlyAndThroughTheProxyNeverOverAnotherFile) {
    const std::string path = MakeFile("отчёт.bin", 1 << 20);
    std::string original;
    ASSERT_TRUE(platform::ReadWholeFile(path, original));

    const std::uint64_t sent = alice.session.Files().Offer(u"100002", path);
    ASSERT_NE(sent, 0u);
    const std::uint64_t taken = Proposal();
    EXPECT_EQ(Downloads(), std::vector<std::string>{});  // nothing before the yes
    ASSERT_TRUE(boris.session.Files().Accept(taken));
    ASSERT_TRUE(Ends(alice, sent, TransferState::Completed));
    ASSERT_TRUE(Ends(boris, taken, TransferState::Completed));
    EXPECT_EQ(Downloads(), std::vector<std::string>{"отчёт.bin"});
    EXPECT_TRUE(Downloaded("отчёт.bin") == original);

    // The same again through the proxy: a name of its own beside the first.
    DirectOff();
    const std::uint64_t again = alice.session.Files().Offer(u"100002", path);
    const std::uint64_t second = Proposal();
    ASSERT_TRUE(boris.session.Files().Accept(second));
    ASSERT_TRUE(Ends(alice, again, TransferState::Completed));
    ASSERT_TRUE(Ends(boris, second, TransferState::Completed));
    EXPECT_EQ(Downloads(), (std::vector<std::string>{"отчёт (1).bin", "отчёт.bin"}));
    EXPECT_TRUE(Downloaded("отчёт (1).bin") == original);

    // Each side's conversation records it.
    const auto lines = boris.History(u"100001");
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0].text, u"Предложен файл «отчёт.bin» (1,0 МБ)");
    // And the offer was told as a message is.
    const auto calls = boris.announcer.Calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front().what, "notification");
    EXPECT_EQ(calls.front().first, u"ICQ: Алиса (100001)");
    EXPECT_EQ(calls.front().second, u"Предложен файл «отчёт.bin» (1,0 МБ)");
    EXPECT_EQ(lines[1].text, u"Файл «отчёт.bin» (1,0 МБ) получен: " + DecodeUtf8(boris.dir.path()) +
                                 u"downloads/отчёт.bin");
    EXPECT_EQ(alice.History(u"100002").back().text, u"Файл «отчёт.bin» (1,0 МБ) отправлен");
}

TEST_F(FileTransfer, ARefusedOrCancelledTransferLeavesNoCompleteFile) {
    const std::string small = MakeFile("a.txt", 1000);
    const std::uint64_t refused = alice.session.Files().Offer(u"100002", small);
    ASSERT_TRUE(boris.session.Files().Refuse(Proposal()));
    ASSERT_TRUE(Ends(alice, refused, TransferState::Refused));

    // Withdrawn by the sender before the answer: the yes comes too late.
    const std::uint64_t withdrawn = alice.session.Files().Offer(u"100002", small);
    const std::uint64_t late = Proposal();
    ASSERT_TRUE(alice.session.Files().Cancel(withdrawn));
    ASSERT_TRUE(Ends(boris, late, TransferState::Cancelled));
    EXPECT_FALSE(boris.session.Files().Accept(late));

    // Left unanswered past its time: no longer shown, and a late yes starts nothing.
    FileTransferConfig patient = boris.session.Files().Config();
    FileTransferConfig hasty = patient;
    hasty.answerTimeoutMs = 500;
    boris.session.Files().SetConfig(hasty);
    const std::uint64_t unanswered = Proposal(alice.session.Files().Offer(u"100002", small));
    ASSERT_TRUE(WaitFor([&] { return boris.session.Files().PendingProposal(u"100001") == 0; }));
    EXPECT_FALSE(boris.session.Files().Accept(unanswered));
    boris.session.Files().SetConfig(patient);

    // Cancelled by the receiver while the bytes move.
    const std::string big = MakeFile("big.bin", 64 << 20);
    const std::uint64_t cut = alice.session.Files().Offer(u"100002", big);
    const std::uint64_t taking = Proposal();
    ASSERT_TRUE(boris.session.Files().Accept(taking));
    ASSERT_TRUE(WaitFor([&] { return !boris.session.Files().List(u"100001").empty() &&
                                     boris.session.Files().List(u"100001").back().done > 0; }, 20000));
    ASSERT_TRUE(boris.session.Files().Cancel(taking));
    ASSERT_TRUE(Ends(boris, taking, TransferState::Cancelled));
    ASSERT_TRUE(Ends(alice, cut, TransferState::Cancelled));
    EXPECT_EQ(Downloads(), std::vector<std::string>{});
    EXPECT_EQ(alice.History(u"100002").back().text, u"Передача файла «big.bin» (64,0 МБ) отменена");

    // Cut off by the sender going away: what came is kept, named as partial.
    const std::uint64_t broken = Proposal(alice.session.Files().Offer(u"100002", big));
    ASSERT_TRUE(boris.session.Files().Accept(broken));
    ASSERT_TRUE(WaitFor([&] { return boris.session.Files().List(u"100001").back().done > 0; }, 20000));
    alice.session.Files().Shutdown();
    ASSERT_TRUE(Ends(boris, broken, TransferState::Failed));
    EXPECT_EQ(Downloads(), std::vector<std::string>{"big.bin.part"});
    EXPECT_EQ(boris.History(u"100001").back().text, u"Передача файла «big.bin» (64,0 МБ) прервана, принятая часть: " +
                                                        DecodeUtf8(boris.dir.path()) + u"downloads/big.bin.part");
}

TEST_F(FileTransfer, AProposalFromSomebodyNotInTheListIsNotShown) {
    Client vera(u"100004");
    SignOn(vera, u"vera");
    // Boris's presence answers her activation: what the sign-on sends after
    // ContactsLoaded is out before the count is taken.
    ASSERT_TRUE(vera.WaitForContact(u"100002", Is(StatusOnline)));
    const std::int32_t before = vera.session.BytesSent();
    ASSERT_NE(vera.session.Files().Offer(u"100002", vera.dir.path() + "contacts_100004.txt"), 0u);
    ASSERT_TRUE(WaitFor([&] { return vera.session.BytesSent() > before; }));  // the proposal is out
    // Her message comes after it on the same connection (and lists her).
    vera.session.EnqueueCommand(SendMessageCommand{u"100002", u"Это я"});
    ASSERT_TRUE(boris.WaitForContact(u"100004", [](const ContactInfo& i) { return i.unreadCount == 1; }));
    EXPECT_TRUE(boris.session.Files().List(u"100004").empty());
    EXPECT_EQ(boris.History(u"100004").size(), 1u);
}

// A receiver written by hand that reaches nobody and whom nobody reaches: Alice
// tries its port, then goes to the proxy, and the file comes through there.
TEST_F(FileTransfer, ASenderThatCannotReachTheReceiverEitherGoesThroughTheProxy) {
    std::unique_ptr<server::test::TestClient> vera = server::test::SignOn(oscar, "100004", "vera");
    ASSERT_TRUE(vera);
    // Her echo comes back once the server has taken her as ready.
    ASSERT_TRUE(vera->SendSnac(0x0004, 0x0006, 0xEC, server::test::MessagePayload(server::test::kEcho, "ready")));
    ASSERT_TRUE(vera->WaitSnac(0x0004, 0x0007));
    const std::string path = MakeFile("b.bin", 3000);
    const std::uint64_t sent = alice.session.Files().Offer(u"100004", path);
    ASSERT_NE(sent, 0u);
    auto next = [&](Rendezvous& r) {
        std::optional<server::test::Snac> snac = vera->WaitSnac(0x0004, 0x0007);
        PacketReader reader = snac ? snac->Reader() : PacketReader();
        UserInfoBlock from;
        std::vector<Tlv> tlvs;
        return snac && reader.Skip(10) && ReadUserInfoBlock(reader, from) && ReadTlvList(reader, tlvs) &&
               FindTlv(tlvs, 0x0005) != nullptr && ParseRendezvous(FindTlv(tlvs, 0x0005)->value, r);
    };
    Rendezvous proposal, viaProxy;
    ASSERT_TRUE(next(proposal));
    EXPECT_EQ(proposal.sequence, 1);
    EXPECT_EQ(proposal.name, "b.bin");
    EXPECT_EQ(proposal.totalSize, 3000u);
    EXPECT_EQ(proposal.seenAddress, 0x7F000001u);

    Rendezvous answer;
    answer.kind = kRendezvousAccept;
    answer.cookie = proposal.cookie;
    ASSERT_TRUE(vera->SendSnac(0x0004, 0x0006, 0xF2, server::test::RendezvousPayload("100001", answer)));
    const platform::SocketHandle closed = platform::ListenTcp(platform::Ipv4Endpoint{0x7F000001, 0});
    answer.kind = kRendezvousPropose;
    answer.sequence = 2;
    answer.port = platform::BoundPort(closed);
    platform::CloseSocket(closed);
    ASSERT_TRUE(vera->SendSnac(0x0004, 0x0006, 0xF3, server::test::RendezvousPayload("100001", answer)));
    ASSERT_TRUE(next(viaProxy));
    EXPECT_EQ(viaProxy.sequence, 3);
    EXPECT_TRUE(viaProxy.viaProxy);
    EXPECT_EQ(viaProxy.proxyAddress, 0x7F000001u);

    const platform::SocketHandle socket = platform::CreateTcpSocket();
    ASSERT_TRUE(platform::ConnectSocket(socket, platform::Ipv4Endpoint{0x7F000001, oscar.ProxyPort()}));
    platform::SocketStream stream(socket);
    ProxyPacket join;
    join.command = kProxyInitReceive;
    join.uin = "100004";
    join.port = viaProxy.port;
    join.cookie = proposal.cookie;
    const std::vector<std::uint8_t> joinBytes = BuildProxyPacket(join);
    ASSERT_TRUE(stream.SendAll(joinBytes.data(), joinBytes.size()));
    ProxyPacket ready;
    ASSERT_TRUE(ReceiveProxyPacket(stream, ready, 5000));
    ASSERT_EQ(ready.command, kProxyReady);
    OftHeader prompt;
    ASSERT_TRUE(ReceiveOftHeader(stream, prompt, 5000));
    EXPECT_EQ(prompt.type, kOftPrompt);
    EXPECT_EQ(prompt.size, 3000u);
    OftHeader ack = prompt;
    ack.type = kOftAcknowledge;
    const std::vector<std::uint8_t> ackBytes = BuildOftHeader(ack);
    ASSERT_TRUE(stream.SendAll(ackBytes.data(), ackBytes.size()));
    std::vector<std::uint8_t> bytes(3000);
    ASSERT_TRUE(ReceiveExactly(stream, bytes.data(), bytes.size(), 5000));
    std::string original;
    ASSERT_TRUE(platform::ReadWholeFile(path, original));
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), original.begin(), original.end(),
                           [](std::uint8_t a, char b) { return a == static_cast<std::uint8_t>(b); }));
    OftChecksum checksum;
    checksum.Update(bytes);
    EXPECT_EQ(checksum.Value(), prompt.checksum);
    OftHeader done = prompt;
    done.type = kOftDone;
    done.bytesReceived = 3000;
    done.receivedChecksum = checksum.Value();
    const std::vector<std::uint8_t> doneBytes = BuildOftHeader(done);
    ASSERT_TRUE(stream.SendAll(doneBytes.data(), doneBytes.size()));
    ASSERT_TRUE(Ends(alice, sent, TransferState::Completed));
}

// The sender here is a client written by hand, whose port nobody listens on:
// Boris listens instead, takes only the sender's address, and receives the
// file as the protocol lays it out.
TEST_F(FileTransfer, AReceiverThatCannotReachTheSenderListensForItAndTakesTheFile) {
    ContactInfo vera;
    vera.uin = u"100004";
    boris.model.AddContact(vera, true);
    std::unique_ptr<server::test::TestClient> sender = server::test::SignOn(oscar, "100004", "vera");
    ASSERT_TRUE(sender);
    const TransferCookie cookie = {'f', 'i', 'l', 'e', 0, 0, 0, 1};
    // Proposes "a.txt" on a port nobody listens on; Boris accepts. His accept,
    // then his own proposal (sequence 2) with the port he listens on.
    std::uint64_t id = 0;
    auto propose = [&]() -> std::uint16_t {
        const platform::SocketHandle closed = platform::ListenTcp(platform::Ipv4Endpoint{0x7F000001, 0});
        const std::uint16_t nobody = platform::BoundPort(closed);
        platform::CloseSocket(closed);
        EXPECT_TRUE(sender->SendSnac(0x0004, 0x0006, 0xF1, server::test::FileProposalPayload("100002", nobody)));
        EXPECT_TRUE(WaitFor([&] { return (id = boris.session.Files().PendingProposal(u"100004")) != 0; }));
        EXPECT_TRUE(boris.session.Files().Accept(id));
        std::vector<Rendezvous> answers;
        while (answers.size() < 2) {
            std::optional<server::test::Snac> snac = sender->WaitSnac(0x0004, 0x0007);
            PacketReader reader = snac ? snac->Reader() : PacketReader();
            UserInfoBlock from;
            std::vector<Tlv> tlvs;
            if (!snac || !reader.Skip(10) || !ReadUserInfoBlock(reader, from) || !ReadTlvList(reader, tlvs) ||
                FindTlv(tlvs, 0x0005) == nullptr || !ParseRendezvous(FindTlv(tlvs, 0x0005)->value, answers.emplace_back())) {
                ADD_FAILURE() << "no rendezvous from Boris";
                return 0;
            }
        }
        EXPECT_EQ(answers[0].kind, kRendezvousAccept);
        EXPECT_EQ(answers[1].kind, kRendezvousPropose);
        EXPECT_EQ(answers[1].sequence, 2);
        EXPECT_EQ(answers[1].cookie, cookie);
        return answers[1].port;
    };
    auto connectFrom = [&](std::uint32_t from, std::uint16_t port) {
        const platform::SocketHandle socket = platform::CreateTcpSocket();
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(from);
        EXPECT_EQ(::bind(socket, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
        EXPECT_TRUE(platform::ConnectSocket(socket, platform::Ipv4Endpoint{0x7F000001, port}));
        return platform::SocketStream(socket);
    };
    // Sends the prompt of "hello" and, once acknowledged, `bytes`.
    auto send = [&](platform::SocketStream& stream, const char* bytes) {
        OftHeader prompt;
        prompt.cookie = cookie;
        prompt.size = prompt.totalSize = 5;
        OftChecksum checksum;
        checksum.Update(std::vector<std::uint8_t>{'h', 'e', 'l', 'l', 'o'});
        prompt.checksum = checksum.Value();
        prompt.name = "a.txt";
        const std::vector<std::uint8_t> head = BuildOftHeader(prompt);
        OftHeader ack;
        ASSERT_TRUE(stream.SendAll(head.data(), head.size()));
        ASSERT_TRUE(ReceiveOftHeader(stream, ack, 5000));
        EXPECT_EQ(ack.type, kOftAcknowledge);
        EXPECT_EQ(ack.cookie, cookie);
        ASSERT_TRUE(stream.SendAll(bytes, 5));
    };

    const std::uint16_t port = propose();
    ASSERT_NE(port, 0);
    // Anybody but the sender is turned away.
    platform::SocketStream other = connectFrom(0x7F000002, port);
    std::uint8_t byte = 0;
    EXPECT_LE(other.ReceiveSome(&byte, 1), 0);
    platform::SocketStream stream = connectFrom(0x7F000001, port);
    send(stream, "hello");
    OftHeader done;
    ASSERT_TRUE(ReceiveOftHeader(stream, done, 5000));
    EXPECT_EQ(done.type, kOftDone);
    EXPECT_EQ(done.bytesReceived, 5u);
    ASSERT_TRUE(Ends(boris, id, TransferState::Completed));
    EXPECT_EQ(Downloaded("a.txt"), "hello");

    // Bytes that do not match the checksum are never called complete.
    const std::uint16_t again = propose();
    ASSERT_NE(again, 0);
    platform::SocketStream corrupt = connectFrom(0x7F000001, again);
    send(corrupt, "hellO");
    EXPECT_LE(corrupt.ReceiveSome(&byte, 1), 0);  // no "done"
    ASSERT_TRUE(Ends(boris, id, TransferState::Failed));
    EXPECT_EQ(Downloads(), (std::vector<std::string>{"a (1).txt.part", "a.txt"}));
}

}  // namespace
}  // namespace pellox::testing
