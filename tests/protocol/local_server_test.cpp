// Two messenger sessions against the project's local OSCAR server in-process:
// sign-on with the server contact list, presence of the echo account and of each
// other, a message stored while the recipient is away, and messages both ways.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "platform/code_page.h"
#include "protocol/presence.h"
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

    void Connect(std::uint16_t port, const std::u16string& password) {
        const std::string address = "127.0.0.1:" + std::to_string(port);
        session.EnqueueCommand(std::make_unique<ConnectCommand>(
            std::u16string(address.begin(), address.end()), own, password));
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
    alice.session.EnqueueCommand(std::make_unique<SendMessageCommand>(u"100002", u"Привет, Борис"));
    alice.session.EnqueueCommand(std::make_unique<SendMessageCommand>(u"100003", u"Эхо, ты здесь?"));
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
    boris.session.EnqueueCommand(std::make_unique<SendMessageCommand>(u"100001", u"Привет, Алиса"));
    ASSERT_TRUE(alice.WaitForContact(u"100002", [](const ContactInfo& i) { return i.unreadCount == 1; }));
    EXPECT_EQ(alice.History(u"100002")[0].text, u"Привет, Алиса");
    alice.session.EnqueueCommand(std::make_unique<SendMessageCommand>(u"100002", u"Как дела?"));
    ASSERT_TRUE(boris.WaitForContact(u"100001", [](const ContactInfo& i) { return i.unreadCount == 2; }));
    EXPECT_EQ(boris.History(u"100001")[1].text, u"Как дела?");

    // Any character: sent as UTF-16, received whole, stored, and the same after a
    // restart; the echo returns it unchanged too.
    const std::u16string wide = u"\U0001F600 caf\u00E9 \u65E5\u672C \u20AC";
    alice.session.EnqueueCommand(std::make_unique<SendMessageCommand>(u"100002", wide));
    alice.session.EnqueueCommand(std::make_unique<SendMessageCommand>(u"100003", wide));
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
}

TEST_F(LocalServerTest, DeletingAContactRemovesItFromTheServerList) {
    Client alice(u"100001");
    ASSERT_TRUE(alice.session.StartWorker());
    alice.Connect(oscar.AuthPort(), u"alice");
    ASSERT_TRUE(alice.session.WaitForReport(ConnState::ContactsLoaded));
    ASSERT_NE(alice.model.FindContact(u"100002"), nullptr);

    // What the delete command of the user interface does: the frame, then the local removal.
    alice.session.EnqueueCommand(std::make_unique<UinCommand>(CommandCode::DeleteContact, u"100002"));
    ASSERT_NE(alice.model.RemoveContact(alice.model.FindContact(u"100002")), nullptr);

    // Loading the list from the server again does not bring it back.
    alice.session.EnqueueCommand(std::make_unique<NetCommand>(CommandCode::LoadContacts));
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
