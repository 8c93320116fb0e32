// The messenger session end to end on 127.0.0.1 against a scripted server: sign-on
// through the offline messages and the contact list, presence, messages both ways,
// short user-information requests and their replies.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "platform/code_page.h"
#include "protocol/messages.h"
#include "protocol/presence.h"
#include "store/contact_list_file.h"
#include "tests/protocol/protocol_test_util.h"

namespace pellox::testing {
namespace {

using signon::LoginServer;
using signon::MessagingServer;
using signon::MetaRequestType;

std::uint16_t LittleEndianAt(const Bytes& b, std::size_t i) {
    return static_cast<std::uint16_t>(b[i] | (b[i + 1] << 8));
}

// The target UIN of a short user-information request, 0 for other frames.
std::uint32_t ShortInfoTarget(const ReceivedFrame& f) {
    if (MetaRequestType(f) != 0x07D0 || f.data.size() < 30) return 0;
    return LittleEndianAt(f.data, 26) | (static_cast<std::uint32_t>(LittleEndianAt(f.data, 28)) << 16);
}

Script ExpectMetaRequest(std::uint16_t type) {
    return Script().Do([type](Script::Context& c) {
        return c.ExpectFrame([type](const ReceivedFrame& f) { return MetaRequestType(f) == type; },
                             "meta request " + std::to_string(type));
    });
}

// Waits for a short-info request for `target` and answers it with the nickname,
// under the request id the client chose.
Script AnswerShortInfo(std::uint32_t target, const std::string& nickname) {
    return Script().Do([target, nickname](Script::Context& c) {
        std::uint32_t requestId = 0;
        if (!c.ExpectFrame(
                [&](const ReceivedFrame& f) {
                    if (ShortInfoTarget(f) != target) return false;
                    requestId = f.Snac().requestId;
                    return true;
                },
                "short info request for " + std::to_string(target))) {
            return false;
        }
        return c.SendFrame(kChannelSnac, SnacBytes(0x0015, 0x0003,
                                                   ShortInfoReply(ShortInfoRecord(BytesOf(nickname))),
                                                   0, requestId));
    });
}

class SessionOnTheWire : public ModelTest {
protected:
    ~SessionOnTheWire() override { server.Stop(); }

    void SignOn(const Script& more) { SignOnThrough(server, session, more); }
    void ExpectScriptsDone() {
        EXPECT_TRUE(server.WaitForScriptsDone());
        for (const std::string& failure : server.Failures()) ADD_FAILURE() << failure;
    }
    std::size_t CountFrames(std::uint16_t family, std::uint16_t subtype) const {
        std::size_t n = 0;
        for (const ReceivedFrame& f : server.FramesOn(1)) n += f.IsSnac(family, subtype) ? 1 : 0;
        return n;
    }
    bool WaitForContact(const std::u16string& uin,
                        const std::function<bool(const ContactInfo&)>& condition) {
        return session.WaitUntil([&] {
            const ContactPtr contact = model.FindContact(uin);
            return contact && condition(contact->Snapshot());
        });
    }

    ScriptedServer server;
};

TEST_F(SessionOnTheWire, FromSignOnToTheContactListAndBeyond) {
    const std::u16string incoming = u"Привет! Hello";
    const std::u16string reply = u"Ответ";
    SignOn(Script()
               .SendSnac(0x0015, 0x0003, OfflineMessage(1111, BytesOf("first")))
               .SendSnac(0x0015, 0x0003, OfflineMessage(2222, Local(u"второе")))
               .SendSnac(0x0015, 0x0003, OfflineMessage(1111, BytesOf("third")))
               .SendSnac(0x0015, 0x0003, OfflineDone())
               .Then(ExpectMetaRequest(0x003E))
               .ExpectSnac(0x0013, 0x0004)
               .SendSnac(0x0013, 0x0006,
                         ContactListReply({ListItem("General", 1), Buddy("1111", BytesOf("Alice")),
                                           Buddy("3333", Utf8(u"Кэрол"))}))
               .ExpectSnac(0x0013, 0x0007)
               .SendSnac(0x0003, 0x000B, UserInfo("3333", {StatusTlv(0x0011, 0x0001)}))
               // A nameless sender whose block carries the short TLVs of real servers.
               .SendSnac(0x0004, 0x0007,
                         IncomingMessage(1,
                                         UserInfo("4444", {TlvBytes(0x0006, FromHex("0001")),
                                                           TlvBytes(0x000F, FromHex("0000"))}),
                                         MessageTlv(Ucs2(incoming), kCharsetUcs2)))
               .Then(AnswerShortInfo(4444, "Dave"))
               .ExpectSnac(0x0004, 0x0006)
               .ExpectSnac(0x0013, 0x0004)
               .SendSnac(0x0013, 0x0006, ContactListReply({Buddy("5555", BytesOf("Eve"))}))
               .ExpectSnac(0x0013, 0x0007)
               .SendSnac(0x0003, 0x000B, UserInfo("8888", {StatusTlv(0x0020)})));

    // Sign-on to a loaded contact list.
    ASSERT_TRUE(session.WaitForReport(ConnState::ContactsLoaded));
    EXPECT_EQ(session.Codes(), (std::vector<int>{3, 4, 6, 7, 8, 7, 9, 10}));

    // The offline messages, in order, in their history files.
    const auto messages = session.Messages();
    ASSERT_GE(messages.size(), 3u);
    EXPECT_EQ(std::vector(messages.begin(), messages.begin() + 3),
              (std::vector<std::pair<std::u16string, std::u16string>>{
                  {u"1111", u"first"}, {u"2222", u"второе"}, {u"1111", u"third"}}));
    const std::string first = FileText("msg_1111.txt");
    EXPECT_LT(first.find("first"), first.find("third"));
    EXPECT_NE(first.find("[IN "), std::string::npos);
    EXPECT_NE(FileText("msg_2222.txt").find(platform::WideToLocal(u"второе")), std::string::npos);

    // Acknowledged after the last of them, then LoadingContacts, then the request.
    const auto reports = session.Reports();
    ASSERT_GE(reports.size(), 7u);
    // Between them only the acknowledgement: FLAP 6, SNAC 10 and 14 bytes of meta data.
    EXPECT_EQ(reports[6].bytesSentBefore - reports[5].bytesSentBefore, 6 + 10 + 14);
    const auto frames = server.FramesOn(1);
    std::size_t ack = frames.size(), listRequest = frames.size();
    for (std::size_t i = 0; i < frames.size(); ++i) {
        if (MetaRequestType(frames[i]) == 0x003E && ack == frames.size()) ack = i;
        if (frames[i].IsSnac(0x0013, 0x0004) && listRequest == frames.size()) listRequest = i;
    }
    EXPECT_EQ(listRequest, ack + 1);

    // The server list merged into the model and into "contacts_<uin>.txt" (written
    // now rather than at the end of the second the new contacts came in; the
    // senders that follow the list may be in it already).
    model.FlushSaves();
    std::vector<ContactInfo> stored;
    ASSERT_TRUE(ReadContactListFile(dir.path() + "contacts_123456789.txt", stored));
    ASSERT_GE(stored.size(), 3u);
    EXPECT_EQ(stored[0].uin, u"1111");
    EXPECT_EQ(stored[0].name, u"Alice");
    EXPECT_EQ(stored[1].uin, u"2222");  // no nickname yet: kept, shown by its UIN
    EXPECT_EQ(stored[1].name, u"");
    EXPECT_EQ(stored[2].uin, u"3333");
    EXPECT_EQ(stored[2].name, u"Кэрол");
    EXPECT_EQ(Snapshot(u"1111").unreadCount, 2);

    // Presence, then a message from a nameless sender who gets its nickname.
    EXPECT_TRUE(WaitForContact(u"3333", [](const ContactInfo& i) { return i.status == StatusOccupied; }));
    ASSERT_TRUE(WaitForContact(u"4444", [](const ContactInfo& i) { return i.name == u"Dave"; }));
    EXPECT_EQ(Snapshot(u"4444").status, StatusAway);
    const auto history = model.GetHistory(model.FindContact(u"4444"));
    ASSERT_EQ(history->Count(), 1u);
    EXPECT_EQ(history->Entries()[0].text, incoming);
    EXPECT_FALSE(announcer.Calls().empty());

    // A message out, then the list loaded again from the menu.
    session.EnqueueCommand(SendMessageCommand{u"3333", reply});
    session.EnqueueCommand(LoadContactsCommand{});
    ASSERT_TRUE(session.WaitForReport(ConnState::ContactsLoaded, 2));
    EXPECT_TRUE(WaitForContact(u"8888", [](const ContactInfo& i) { return i.status == StatusFreeForChat; }));
    ExpectScriptsDone();
    const std::vector<int> codes = session.Codes();
    EXPECT_EQ(std::vector<int>(codes.begin() + 8, codes.end()), (std::vector<int>{9, 10}));
    EXPECT_EQ(Snapshot(u"5555").name, u"Eve");
    EXPECT_TRUE(server.WaitForFrame([](const ReceivedFrame& f) { return ShortInfoTarget(f) == 8888; }));
    EXPECT_EQ(CountFrames(0x0013, 0x0007), 2u);

    for (const ReceivedFrame& f : server.FramesOn(1)) {
        if (!f.IsSnac(0x0004, 0x0006)) continue;
        const Bytes text = Local(reply);
        EXPECT_EQ(ToHex(Bytes(f.data.end() - 4 - static_cast<long>(text.size()), f.data.end() - 4)),
                  ToHex(text));
    }
    EXPECT_EQ(CountFrames(0x0004, 0x0006), 1u);
}

TEST_F(SessionOnTheWire, InfoRepliesFindTheirOwnRequests) {
    Add(u"700");
    Add(u"701");
    SignOn(Script()
               .SendSnac(0x0015, 0x0003, ShortInfoReply(ShortInfoRecord(BytesOf("Wrong"))), 0, 0x7777)
               .Do([](Script::Context& c) {
                   // Both requests first, then the answers in the opposite order.
                   std::vector<std::pair<std::uint32_t, std::uint32_t>> requests;  // id, target
                   for (int i = 0; i < 2; ++i) {
                       if (!c.ExpectFrame(
                               [&](const ReceivedFrame& f) {
                                   if (ShortInfoTarget(f) == 0) return false;
                                   const std::uint32_t id = f.Snac().requestId;  // packed: copy, never bind
                                   requests.emplace_back(id, ShortInfoTarget(f));
                                   return true;
                               },
                               "short info request")) {
                           return false;
                       }
                   }
                   for (auto it = requests.rbegin(); it != requests.rend(); ++it) {
                       const Bytes reply =
                           ShortInfoReply(ShortInfoRecord(BytesOf("Nick" + std::to_string(it->second))));
                       if (!c.SendFrame(kChannelSnac, SnacBytes(0x0015, 0x0003, reply, 0, it->first))) {
                           return false;
                       }
                   }
                   return true;
               }));
    session.EnqueueCommand(RequestInfoCommand{u"700"});
    session.EnqueueCommand(RequestInfoCommand{u"701"});
    EXPECT_TRUE(WaitForContact(u"700", [](const ContactInfo& i) { return !i.name.empty(); }));
    EXPECT_TRUE(WaitForContact(u"701", [](const ContactInfo& i) { return !i.name.empty(); }));
    ExpectScriptsDone();
    EXPECT_EQ(Snapshot(u"700").name, u"Nick700");
    EXPECT_EQ(Snapshot(u"701").name, u"Nick701");
    EXPECT_EQ(session.NetForTesting().PendingInfoRequestsForTesting(), 0u);
}

TEST_F(SessionOnTheWire, InfoRequestsAreBoundedAndForgottenAtDisconnect) {
    SignOn(Script());
    EXPECT_TRUE(session.Conn().RequestShortInfo(u"900"));
    EXPECT_TRUE(session.Conn().RequestShortInfo(u"900"));
    EXPECT_EQ(session.NetForTesting().PendingInfoRequestsForTesting(),
              2u);  // one entry per request
    for (int i = 0; i < 300; ++i)
        ASSERT_TRUE(session.Conn().RequestShortInfo(
            u"9" + std::u16string(1, static_cast<char16_t>(u'0' + i % 10))));
    EXPECT_EQ(session.NetForTesting().PendingInfoRequestsForTesting(), kMaxInfoRequests);
    session.CloseSession();
    EXPECT_EQ(session.NetForTesting().PendingInfoRequestsForTesting(), 0u);
    EXPECT_EQ(session.State(), ConnState::Disconnected);
}

// An add and a rename made before the list is in go out once it is: the add as
// an add, the rename as an update of the item the list turns out to hold.
TEST_F(SessionOnTheWire, AnAddBeforeTheListIsInGoesToItOnceItIs) {
    Add(u"700", u"Seven");
    Add(u"701", u"Renamed");
    const auto expectItem = [](std::uint16_t subtype, const std::string& text) {
        return [subtype, text](Script::Context& c) {
            return c.ExpectFrame(
                [&](const ReceivedFrame& f) {
                    return f.IsSnac(0x0013, subtype) &&
                           ToHex(f.data).find(ToHex(BytesOf(text))) != std::string::npos;
                },
                "the item of " + text);
        };
    };
    SignOn(Script()
               .SendSnac(0x0015, 0x0003, OfflineDone())
               .ExpectSnac(0x0013, 0x0004)
               .ExpectSnac(0x0003, 0x0004)  // the add's presence request
               .Pause(50)                   // the worker has long decided by now
               .SendSnac(0x0013, 0x0006,
                         ContactListReply(
                             {ListItem("General", 1, {}, 1, 0), Buddy("701", BytesOf("Server"))}))
               .Do(expectItem(0x0008, "700"))
               .Do(expectItem(0x0009, "Renamed")));
    ASSERT_TRUE(
        server.WaitForFrame([](const ReceivedFrame& f) { return f.IsSnac(0x0013, 0x0004); }));
    session.EnqueueCommand(AddContactCommand{u"700", u"Seven"});
    session.EnqueueCommand(RenameContactCommand{u"701", u"Renamed"});
    ExpectScriptsDone();
}

TEST_F(SessionOnTheWire, ContactListCutBeforeItsTimeSendsNoActivation) {
    const Bytes cut = ContactListReply({Buddy("800", BytesOf("Cut"))}, false);
    SignOn(Script()
               .SendSnac(0x0013, 0x0006, cut)
               .SendSnac(0x0013, 0x0006, ContactListReply({Buddy("801", BytesOf("Whole"))}))
               .ExpectSnac(0x0013, 0x0007));
    ASSERT_TRUE(session.WaitForReport(ConnState::ContactsLoaded));
    ExpectScriptsDone();
    EXPECT_EQ(CountFrames(0x0013, 0x0007), 1u);
    EXPECT_FALSE(model.FindContact(u"800"));
    EXPECT_EQ(Snapshot(u"801").name, u"Whole");
    EXPECT_EQ(session.Codes(), (std::vector<int>{3, 4, 6, 7, 8, 10}));
}

TEST_F(SessionOnTheWire, ContactListInSeveralRepliesIsActivatedOnce) {
    SignOn(Script()
               .SendSnac(0x0013, 0x0006, ContactListReply({ListItem("General", 1), Buddy("810", BytesOf("First"))}),
                         kSnacFlagMoreReplies)
               .SendSnac(0x0013, 0x0006, ContactListReply({Buddy("811", BytesOf("Second"))}),
                         kSnacFlagMoreReplies)
               .SendSnac(0x0013, 0x0006, ContactListReply({Buddy("812", BytesOf("Last"))}))
               .ExpectSnac(0x0013, 0x0007)
               // A nameless newcomer: its info request shows that the client has
               // handled everything before it, and sent all it was going to.
               .SendSnac(0x0003, 0x000B, UserInfo("813", {StatusTlv(0x0000)})));
    ASSERT_TRUE(server.WaitForFrame([](const ReceivedFrame& f) { return ShortInfoTarget(f) == 813; }));
    ExpectScriptsDone();
    EXPECT_EQ(CountFrames(0x0013, 0x0007), 1u);
    EXPECT_EQ(Snapshot(u"810").name, u"First");
    EXPECT_EQ(Snapshot(u"811").name, u"Second");
    EXPECT_EQ(Snapshot(u"812").name, u"Last");
    EXPECT_EQ(session.Codes(), (std::vector<int>{3, 4, 6, 7, 8, 10}));
}

}  // namespace
}  // namespace pellox::testing
