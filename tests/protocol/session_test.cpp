// The messenger session end to end on 127.0.0.1 against a scripted server: sign-on
// through the offline messages and the contact list, presence, messages both ways,
// short user-information requests and their replies.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include <map>
#include <tuple>

#include "net/text_encoding.h"
#include "platform/code_page.h"
#include "protocol/contact_list.h"
#include "protocol/messages.h"
#include "resources/strings.h"
#include "protocol/presence.h"
#include "platform/digest.h"
#include "store/contact_list_file.h"
#include "store/icon_cache.h"
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

TEST_F(SessionOnTheWire, TypingNoticesNeverTakeAMessagesRequestId) {
    // Twenty messages and a notice; the server's errors name the notice, then the
    // nineteenth message.
    SignOn(Script().Do([](Script::Context& c) {
        std::vector<std::uint32_t> messages;
        std::uint32_t notice = 0;
        while (messages.size() < 20 || notice == 0) {
            if (!c.ExpectFrame(
                    [&](const ReceivedFrame& f) {
                        const std::uint32_t id = f.Snac().requestId;  // packed: copy, never bind
                        if (f.IsSnac(0x0004, 0x0006)) messages.push_back(id);
                        if (f.IsSnac(0x0004, 0x0014)) notice = id;
                        return true;
                    },
                    "messages and a typing notice")) {
                return false;
            }
        }
        return c.SendFrame(kChannelSnac, SnacBytes(0x0004, 0x0001, FromHex("0004"), 0, notice)) &&
               c.SendFrame(kChannelSnac, SnacBytes(0x0004, 0x0001, FromHex("0004"), 0, messages[18]));
    }));
    for (int i = 1; i <= 20; ++i) {
        const std::string text = "m" + std::to_string(i);
        session.EnqueueCommand(SendMessageCommand{u"300", std::u16string(text.begin(), text.end())});
    }
    session.EnqueueCommand(TypingCommand{u"300", kTypingBegun});
    ASSERT_TRUE(session.WaitUntil([&] { return !session.NotSent().empty(); }));
    ExpectScriptsDone();
    EXPECT_EQ(session.NotSent(), (std::vector<std::u16string>{u"300 m19 4"}));
}

// Keeps the server list as the client edits it: every item added or updated, minus
// the deleted ones. A buddy added without TLV 0x0066 is answered "authorization
// required", any other item "done" (and kept); ends after `edits` edit ends.
struct KeptList {
    std::map<std::tuple<std::uint16_t, std::uint16_t, std::uint16_t>, Bytes> items;  // group, item, type
    std::vector<Bytes> reasons;  // of the authorization requests

    Script Keep(int edits) {
        return Script().Do([this, edits](Script::Context& c) {
            int ends = 0;
            while (ends < edits) {
                ReceivedFrame frame;
                if (!c.ExpectFrame(
                        [&](const ReceivedFrame& f) {
                            frame = f;
                            return true;
                        },
                        "server list edits")) {
                    return false;
                }
                const SnacHeader snac = frame.Snac();
                if (frame.channel != kChannelSnac || snac.family != 0x0013) continue;
                PacketReader reader(frame.data.data() + kSnacHeaderSize,
                                    static_cast<int>(frame.data.size() - kSnacHeaderSize));
                if (snac.subtype == 0x0012) ++ends;
                if (snac.subtype == 0x0018) {
                    std::string uin, reason;
                    if (ReadString8(reader, uin) && ReadString16(reader, reason)) reasons.push_back(BytesOf(reason));
                }
                if (snac.subtype != 0x0008 && snac.subtype != 0x0009 && snac.subtype != 0x000A) continue;
                Bytes results;
                while (!reader.AtEnd()) {
                    std::string name;
                    std::uint16_t group = 0, id = 0, type = 0, length = 0;
                    if (!ReadString16(reader, name) || !ReadU16(reader, group) || !ReadU16(reader, id) ||
                        !ReadU16(reader, type) || !ReadU16(reader, length)) {
                        return false;
                    }
                    Bytes data(length);
                    if (length > 0 && !ReadBytes(reader, data.data(), length)) return false;
                    const bool refused = snac.subtype == 0x0008 && type == kItemTypeBuddy &&
                                         !HasTlv(data, kTlvAwaitingAuth);
                    results = results + (refused ? FromHex("000E") : FromHex("0000"));
                    const auto key = std::make_tuple(group, id, type);
                    if (snac.subtype == 0x000A) {
                        items.erase(key);
                    } else if (!refused) {
                        items[key] = ListItem(name, type, data, group, id);
                    }
                }
                if (snac.subtype == 0x0008 &&
                    !c.SendFrame(kChannelSnac, SnacBytes(0x0013, 0x000E, results, 0, snac.requestId))) {
                    return false;
                }
            }
            return true;
        });
    }
    Bytes Reply() const {
        std::vector<Bytes> all;
        for (const auto& [key, item] : items) all.push_back(item);
        return ContactListReply(all);
    }
};

TEST_F(SessionOnTheWire, ServerListEditsReadBackWithUtf8TextAndMemberLists) {
    // A list with its root group and nothing else: the first buddy brings a group.
    KeptList kept;
    kept.items[{0, 0, kItemTypeGroup}] = ListItem("", kItemTypeGroup, TlvBytes(0x00C8, {}), 0, 0);
    const auto edits = [this](std::size_t n) {
        return session.WaitUntil([&] { return CountFrames(0x0013, 0x0012) >= n; });
    };
    SignOn(Script()
               .SendSnac(0x0013, 0x0006, kept.Reply())
               .ExpectSnac(0x0013, 0x0007)
               .Then(kept.Keep(7)));
    // The list activated: whatever the client sends now is the keeper's.
    ASSERT_TRUE(server.WaitForFrame([](const ReceivedFrame& f) { return f.IsSnac(0x0013, 0x0007); }));
    // Each add: the buddy, again awaiting authorization, then the member lists.
    session.EnqueueCommand(AddContactCommand{u"200", u"Вера"});
    ASSERT_TRUE(edits(3));
    session.EnqueueCommand(AddContactCommand{u"300", u"Юрий 😀"});
    ASSERT_TRUE(edits(6));
    session.EnqueueCommand(DeleteContactCommand{u"200"});
    ExpectScriptsDone();

    // Read back as a fresh load would: the nickname and the group name in UTF-8,
    // the root listing the group, the group listing the one buddy left.
    const Bytes reply = kept.Reply();
    PacketReader reader(reply);
    ServerListExtras extras;
    ASSERT_TRUE(ReadContactListReply(reader, extras));
    ASSERT_EQ(extras.buddies.size(), 1u);
    EXPECT_EQ(extras.buddies[0].name, "300");
    TempDir elsewhere;
    AppState fresh(elsewhere.path());
    MergeServerContacts(fresh, extras.buddies);
    ASSERT_TRUE(fresh.FindContact(u"300"));
    EXPECT_EQ(fresh.FindContact(u"300")->Snapshot().name, u"Юрий 😀");
    ASSERT_EQ(extras.groups.size(), 2u);
    const ServerItem& root = extras.groups[0];
    const ServerItem& group = extras.groups[1];
    EXPECT_EQ(root.groupId, 0);
    EXPECT_EQ(group.name, EncodeUtf8(u"Общие"));
    EXPECT_EQ(MemberIds(root.data), (std::vector<std::uint16_t>{group.groupId}));
    ASSERT_EQ(extras.buddies.size(), 1u);
    EXPECT_EQ(MemberIds(group.data), (std::vector<std::uint16_t>{extras.buddies[0].itemId}));
    EXPECT_EQ(extras.buddies[0].groupId, group.groupId);
    // The authorization requests' reason too.
    ASSERT_EQ(kept.reasons.size(), 2u);
    EXPECT_EQ(kept.reasons[0], Utf8(LoadString(str::kAuthRequestText)));
}

// A hostile icon service: the session asks for it once for three announced
// icons, sends the three fetches on one connection, keeps only the answer that is
// within the limit and whose bytes are the hash asked for, ignores one for a hash
// it never asked for, and closes the connection once every fetch is answered.
TEST_F(SessionOnTheWire, OnlyAnIconThatIsTheHashAskedForAndWithinTheLimitIsCached) {
    const auto picture = [](std::size_t size, std::uint8_t fill) {
        Bytes bytes = FromHex("89504E470D0A1A0A");
        bytes.resize(size, fill);
        return bytes;
    };
    const Bytes oversized = picture(kMaxIconBytes + 1, 1), good = picture(100, 2), other = picture(100, 3);
    const auto hashOf = [](const Bytes& bytes) {
        const platform::Md5Digest digest = platform::Md5(bytes);
        return Bytes(digest.begin(), digest.end());
    };
    // A contact announces `hash`; the service answers it with `icon`.
    const auto arrival = [](const std::string& uin, const Bytes& hash) {
        return UserInfo(uin, {StatusTlv(0), TlvBytes(0x001D, Concat({FromHex("0001 01 10"), hash}))});
    };
    const auto answer = [](const std::string& uin, const Bytes& hash, const Bytes& icon) {
        const Bytes info = Concat({FromHex("0001 01 10"), hash});
        return Concat({Bytes{static_cast<std::uint8_t>(uin.size())}, BytesOf(uin), info, Bytes{0}, info,
                       BigEndian16(static_cast<std::uint16_t>(icon.size())), icon});
    };
    const Bytes announced = hashOf(Concat({good, Bytes{0}}));  // not what comes back
    server.AddConnection(signon::LoginServer());
    server.AddConnection(MessagingServer(
        Script()
            .SendSnac(0x0003, 0x000B, arrival("1001", hashOf(oversized)))
            .SendSnac(0x0003, 0x000B, arrival("1002", announced))
            .SendSnac(0x0003, 0x000B, arrival("1003", hashOf(good)))
            .ExpectSnac(0x0001, 0x0004)
            .Do([](Script::Context& c) {
                return c.SendFrame(kChannelSnac, SnacBytes(0x0001, 0x0005,
                                                           Concat({TlvBytes(0x000D, BigEndian16(0x0010)),
                                                                   TlvBytes(0x0005, BytesOf(c.server.Address())),
                                                                   TlvBytes(0x0006, FromHex("C0 0C 1E"))})));
            })));
    server.AddConnection(Script()
                             .SendHello()
                             .Expect(kChannelSignOn)
                             .SendSnac(0x0001, 0x0003, FromHex("0001 0010"))
                             .ExpectSnac(0x0001, 0x0017)
                             .SendSnac(0x0001, 0x0018)
                             .ExpectSnac(0x0001, 0x0002)
                             .ExpectSnac(0x0010, 0x0006)
                             .ExpectSnac(0x0010, 0x0006)
                             .ExpectSnac(0x0010, 0x0006)
                             .SendSnac(0x0010, 0x0007, answer("1001", hashOf(oversized), oversized))
                             .SendSnac(0x0010, 0x0007, answer("1002", announced, other))
                             .SendSnac(0x0010, 0x0007, answer("1004", hashOf(other), other))
                             .SendSnac(0x0010, 0x0007, answer("1003", hashOf(good), good)));
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(session.StartWorker());
    session.EnqueueCommand(ConnectCommand{server.AddressText(), u"123456789", u"secret"});
    const std::string goodText = IconHashText(IconHashOf(good));
    ASSERT_TRUE(session.WaitUntil([&] { return IconCached(model.Directory(), goodText); }));
    EXPECT_TRUE(server.WaitForPeerClosed(2));
    ExpectScriptsDone();
    EXPECT_EQ(CountFrames(0x0001, 0x0004), 1u);
    EXPECT_EQ(session.Icons().FetchesSentForTesting(), 3u);
    EXPECT_FALSE(IconCached(model.Directory(), IconHashText(IconHashOf(oversized))));
    IconHash announcedHash{};
    std::copy(announced.begin(), announced.end(), announcedHash.begin());
    EXPECT_FALSE(IconCached(model.Directory(), IconHashText(announcedHash)));
    EXPECT_FALSE(IconCached(model.Directory(), IconHashText(IconHashOf(other))));
    EXPECT_EQ(Snapshot(u"1003").iconHash, goodText);
}

// A redirect to a service that cannot be reached leaves nothing waiting: the next
// announcement of the same icon asks for the service again.
TEST_F(SessionOnTheWire, AnUnreachableIconServiceIsAskedForAgainByTheNextAnnouncement) {
    const Bytes announced = UserInfo("1001", {StatusTlv(0), TlvBytes(0x001D, FromHex("0001 01 10" + std::string(32, 'a')))});
    const Bytes nowhere = Concat({TlvBytes(0x000D, BigEndian16(0x0010)), TlvBytes(0x0005, BytesOf("127.0.0.1:1")),
                                  TlvBytes(0x0006, FromHex("C0 0C 1E"))});
    std::atomic<bool> given{false};
    ASSERT_NO_FATAL_FAILURE(SignOn(Script()
                                       .SendSnac(0x0003, 0x000B, announced)
                                       .ExpectSnac(0x0001, 0x0004)
                                       .SendSnac(0x0001, 0x0005, nowhere)
                                       .Do([&given](Script::Context&) {
                                           for (int i = 0; i < 1000 && !given.load(); ++i)
                                               std::this_thread::sleep_for(std::chrono::milliseconds(5));
                                           return given.load();
                                       })
                                       .SendSnac(0x0003, 0x000B, announced)
                                       .ExpectSnac(0x0001, 0x0004)));
    // The connection to nowhere has ended before the contact announces the icon again.
    given = server.WaitForFrame([](const ReceivedFrame& f) { return f.IsSnac(0x0001, 0x0004); }) &&
            session.WaitUntil([&] { return session.Icons().ServiceIdleForTesting(); });
    ExpectScriptsDone();
    EXPECT_EQ(CountFrames(0x0001, 0x0004), 2u);
    EXPECT_EQ(session.Icons().FetchesSentForTesting(), 0u);
}

}  // namespace
}  // namespace pellox::testing
