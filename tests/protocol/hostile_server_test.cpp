// A hostile server on 127.0.0.1 floods a signed-on session: what it can make the
// client keep stays within bounds (contacts, history files and their size, server
// list items), and the client's work grows with the flood, not with its square
// (counted in rewrites of the contact list file and in list announcements).
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>

#include "protocol/identity.h"
#include "protocol/presence.h"
#include "store/contact_list_file.h"
#include "store/file_access.h"
#include "tests/protocol/protocol_test_util.h"

namespace pellox::testing {
namespace {

using signon::MessagingServer;

constexpr int kFloodWaitMs = 120000;  // a generous deadline for slow builds, not a measure

std::atomic<int> g_listRewrites{0};
void CountListRewrite(const std::string& temp) {
    if (temp.find("contacts_") != std::string::npos) ++g_listRewrites;
}

std::string Number(int i) {
    return std::to_string(500000 + i);
}

class HostileServer : public ModelTest {
protected:
    HostileServer() {
        g_listRewrites = 0;
        SetBeforeReplaceHookForTesting(&CountListRewrite);
        Add(u"100", u"Listed");
    }
    ~HostileServer() override {
        server.Stop();
        SetBeforeReplaceHookForTesting(nullptr);
    }

    // Signs on; after the offline messages and the list request, `flood` sends
    // SNACs, then a message of the listed contact marks the end, and the test
    // returns once the session has handled everything up to it.
    void SignOnAndFlood(const std::function<bool(Script::Context&)>& flood) {
        ASSERT_NO_FATAL_FAILURE(SignOnThrough(
            server, session,
            Script()
                .SendSnac(0x0015, 0x0003, OfflineDone())
                .ExpectSnac(0x0013, 0x0004)
                .Do(flood)
                .SendSnac(0x0004, 0x0007,
                          IncomingMessage(1, UserInfo("100"), MessageTlv(BytesOf("end"))))));
        ASSERT_TRUE(
            session.WaitUntil([&] { return Snapshot(u"100").unreadCount == 1; }, kFloodWaitMs));
        EXPECT_TRUE(server.WaitForScriptsDone());
        for (const std::string& failure : server.Failures()) ADD_FAILURE() << failure;
    }
    static bool SendSnac(Script::Context& c, std::uint16_t family, std::uint16_t subtype,
                         const Bytes& data, std::uint16_t flags = 0) {
        return c.SendFrame(kChannelSnac, SnacBytes(family, subtype, data, flags));
    }
    std::size_t HistoryFiles() const {
        std::size_t n = 0;
        for (const auto& file : std::filesystem::directory_iterator(dir.path())) {
            n += file.path().filename().string().rfind("msg_", 0) == 0 ? 1 : 0;
        }
        return n;
    }

    ScriptedServer server;
};

TEST_F(HostileServer, AuthorizationEventsOfStrangersMakeNoContactsNorFiles) {
    constexpr int kEvents = 3000;
    SignOnAndFlood([](Script::Context& c) {
        for (int i = 0; i < kEvents; ++i) {
            const std::string uin = Number(i);
            const Bytes who = Concat({Bytes{static_cast<std::uint8_t>(uin.size())}, BytesOf(uin)});
            const bool added = i % 2 == 0;
            if (!SendSnac(
                    c, 0x0013, added ? 0x001C : 0x001B,
                    added ? who : Concat({who, Bytes{0x01}, BigEndian16(2), BytesOf("ok")}))) {
                return false;
            }
        }
        return true;
    });
    EXPECT_EQ(model.ContactCount(), 1u);
    EXPECT_EQ(HistoryFiles(), 1u);  // the listed contact's, with the closing message
    model.FlushSaves();
    EXPECT_EQ(g_listRewrites.load(), 0);
}

TEST_F(HostileServer, PresenceOfStrangersAddsAFewContactsAConnection) {
    constexpr int kReports = 3000;
    SignOnAndFlood([](Script::Context& c) {
        for (int i = 0; i < kReports; ++i) {
            const Bytes arrival = UserInfo(Number(i), {StatusTlv(0x0000)});
            if (!(i % 2 == 0 ? SendSnac(c, 0x0003, 0x000B, arrival)
                             : SendSnac(c, 0x0003, 0x000C, UserInfo(Number(i)) + Bytes(8, 0)))) {
                return false;
            }
        }
        // A listed contact is still seen.
        return SendSnac(c, 0x0003, 0x000B, UserInfo("100", {StatusTlv(0x0001)}));
    });
    EXPECT_EQ(model.ContactCount(), 1u + kMaxStrangerArrivals);
    EXPECT_EQ(Snapshot(u"100").status, StatusAway);
    EXPECT_EQ(Snapshot(WidenUin(Number(0))).status, StatusOnline);  // the first ones are taken
    model.FlushSaves();
    EXPECT_LE(g_listRewrites.load(), static_cast<int>(kMaxStrangerArrivals) + 1);
}

TEST_F(HostileServer, AServerListPastTheLimitIsCutWithoutRewritingItPerReply) {
    constexpr int kItems = 50000;
    constexpr int kReplies = 23;
    SignOnAndFlood([](Script::Context& c) {
        for (int reply = 0; reply < kReplies; ++reply) {
            std::vector<Bytes> items;
            for (int i = reply; i < kItems; i += kReplies)
                items.push_back(ListItem(Number(i), 0x0000));
            if (!SendSnac(c, 0x0013, 0x0006, ContactListReply(items),
                          reply + 1 < kReplies ? kSnacFlagMoreReplies : 0)) {
                return false;
            }
        }
        return true;
    });
    ASSERT_TRUE(session.WaitForReport(ConnState::ContactsLoaded));
    EXPECT_EQ(session.ServerList().BuddyCount(), kMaxServerListBuddies);
    EXPECT_EQ(model.ContactCount(), 1u + kMaxServerListBuddies);
    // Two replies hold the buddies taken: the list is announced and saved for them
    // alone, never once per reply.
    int resets = -session.Refreshes();  // those of going online are not the list's
    for (ChangeCode code : posted.TakeCodes()) resets += code == ChangeCode::ListReset ? 1 : 0;
    EXPECT_EQ(resets, 2);
    model.FlushSaves();
    EXPECT_LE(g_listRewrites.load(), 2);
    std::vector<ContactInfo> stored;
    ASSERT_TRUE(ReadContactListFile(dir.path() + "contacts_123456789.txt", stored));
    EXPECT_EQ(stored.size(), 1u + kMaxServerListBuddies);
}

TEST_F(HostileServer, TextsFromTheServerAreCutToWhatAPersonTypes) {
    constexpr int kReplies = 1000;
    const Bytes reason(8000, 'x');
    SignOnAndFlood([&reason](Script::Context& c) {
        const Bytes who = Concat({Bytes{3}, BytesOf("100")});
        for (int i = 0; i < kReplies; ++i) {
            if (!SendSnac(
                    c, 0x0013, 0x001B,
                    Concat({who, Bytes{0x00},
                            BigEndian16(static_cast<std::uint16_t>(reason.size())), reason}))) {
                return false;
            }
        }
        return SendSnac(c, 0x0013, 0x0019,
                        Concat({who, BigEndian16(8000), reason, BigEndian16(0)}));
    });
    const auto history = model.GetHistory(model.FindContact(u"100"))->Entries();
    ASSERT_EQ(history.size(), kReplies + 1u);
    EXPECT_EQ(history[0].text.size(), kMaxSystemLineLength);
    EXPECT_LT(FileText("msg_100.txt").size(), kReplies * (kMaxSystemLineLength + 64));
    const auto request = session.TakeAuthRequest();
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->text, std::u16string(kMaxSystemLineLength, u'x'));
}

}  // namespace
}  // namespace pellox::testing
