// Services of a signed-on session: presence, message relay, the echo account,
// offline messages, the server contact list and short user information.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <set>

#include "net/rendezvous.h"
#include "platform/stream.h"
#include "tests/store/store_test_util.h"
#include "platform/digest.h"
#include "tests/tools/oscar_test_client.h"

namespace pellox::server::test {
namespace {

// "Привет" in Windows-1251 and in UCS-2 (big-endian).
const std::string kHello1251 = "\xCF\xF0\xE8\xE2\xE5\xF2";
const std::string kHelloUcs2 = std::string("\x04\x1F\x04\x40\x04\x38\x04\x32\x04\x35\x04\x42", 12);
// "日本😀" in UCS-2 (a surrogate pair) and in UTF-8: no place in Windows-1251.
const std::string kWideUcs2 = std::string("\x65\xE5\x67\x2C\xD8\x3D\xDE\x00", 8);
const std::string kWideUtf8 = "\xE6\x97\xA5\xE6\x9C\xAC\xF0\x9F\x98\x80";


bool IsSnac(const Snac& snac, std::uint16_t family, std::uint16_t subtype) {
    return snac.header.family == family && snac.header.subtype == subtype;
}

std::set<std::string> ArrivalsIn(const std::vector<Snac>& snacs) {
    std::set<std::string> uins;
    for (const Snac& snac : snacs) {
        if (IsSnac(snac, 0x0003, 0x000B)) uins.insert(PresenceUin(snac));
    }
    return uins;
}


using ServicesTest = ServerTest;

TEST_F(ServicesTest, PresenceFollowsActivationArrivalAndDeparture) {
    StartServer();
    std::unique_ptr<TestClient> boris = SignOn(server, kBoris, "boris");
    ASSERT_TRUE(boris);
    // Only the always-online echo account is there yet.
    EXPECT_EQ(ArrivalsIn(Drain(*boris, kBoris)), (std::set<std::string>{kEcho}));

    SignOnOptions passive;
    passive.activate = false;
    std::unique_ptr<TestClient> alice = SignOn(server, kAlice, "alice", passive);
    ASSERT_TRUE(alice);

    std::optional<Snac> arrival = WaitPresence(*boris, 0x000B, kAlice);
    ASSERT_TRUE(arrival);
    PacketReader reader = arrival->Reader();
    UserInfoBlock info;
    ASSERT_TRUE(ParseUserInfo(reader, info));
    EXPECT_TRUE(reader.AtEnd());
    const TlvValue* status = FindTlv(info.tlvs, 0x0006);
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->value, (std::vector<std::uint8_t>{0x00, 0x01, 0x00, 0x00}));

    // No presence before the contact list is activated, then all online buddies.
    EXPECT_TRUE(ArrivalsIn(Drain(*alice, kAlice)).empty());
    alice->SendSnac(0x0013, 0x0007, 7);
    EXPECT_EQ(ArrivalsIn(Drain(*alice, kAlice)), (std::set<std::string>{kBoris, kEcho}));

    // Vera is on nobody's list here: her arrival reaches neither of them.
    std::unique_ptr<TestClient> vera = SignOn(server, kVera, "vera");
    ASSERT_TRUE(vera);
    EXPECT_EQ(ArrivalsIn(Drain(*vera, kVera)), (std::set<std::string>{kAlice, kBoris, kEcho}));
    EXPECT_TRUE(ArrivalsIn(Drain(*boris, kBoris)).empty());
    EXPECT_TRUE(ArrivalsIn(Drain(*alice, kAlice)).empty());

    alice.reset();
    std::optional<Snac> departure = WaitPresence(*boris, 0x000C, kAlice);
    ASSERT_TRUE(departure);
    ASSERT_TRUE(WaitPresence(*vera, 0x000C, kAlice));
}

TEST_F(ServicesTest, StatusChangeReachesWatchers) {
    StartServer();
    std::unique_ptr<TestClient> boris = SignOn(server, kBoris, "boris");
    std::unique_ptr<TestClient> alice = SignOn(server, kAlice, "alice");
    ASSERT_TRUE(boris && alice);
    ASSERT_TRUE(WaitPresence(*boris, 0x000B, kAlice));

    PacketBuffer away;
    const std::uint8_t word[4] = {0x00, 0x01, 0x00, 0x01};
    AppendTlv(away, 0x0006, 4, word);
    alice->SendSnac(0x0001, 0x001E, 0x1E, away);
    std::optional<Snac> change = WaitPresence(*boris, 0x000B, kAlice);
    ASSERT_TRUE(change);
    PacketReader reader = change->Reader();
    UserInfoBlock info;
    ASSERT_TRUE(ParseUserInfo(reader, info));
    ASSERT_NE(FindTlv(info.tlvs, 0x0006), nullptr);
    EXPECT_EQ(FindTlv(info.tlvs, 0x0006)->value, (std::vector<std::uint8_t>{0x00, 0x01, 0x00, 0x01}));

    // The same status again changes nothing and is not fanned out.
    alice->SendSnac(0x0001, 0x001E, 0x1E, away);
    Drain(*alice, kAlice);
    EXPECT_TRUE(ArrivalsIn(Drain(*boris, kBoris)).empty());
}

TEST_F(ServicesTest, MessageIsRelayedWithTheSendersInfoBlock) {
    StartServer();
    std::unique_ptr<TestClient> alice = SignOn(server, kAlice, "alice");
    std::unique_ptr<TestClient> boris = SignOn(server, kBoris, "boris");
    ASSERT_TRUE(alice && boris);

    alice->SendSnac(0x0004, 0x0006, 0x00010006, MessagePayload(kBoris, kHello1251));
    std::optional<Snac> incoming = boris->WaitSnac(0x0004, 0x0007);
    ASSERT_TRUE(incoming);
    PacketReader reader = incoming->Reader();
    std::uint8_t cookie[8];
    std::uint16_t channel = 0;
    ASSERT_TRUE(ReadBytes(reader, cookie, 8));
    ASSERT_TRUE(ReadU16(reader, channel));
    EXPECT_EQ(std::vector<std::uint8_t>(cookie, cookie + 8),
              (std::vector<std::uint8_t>{0x67, 0xC3, 0x15, 0x01, 0x3D, 0x3A, 0x00, 0x00}));
    EXPECT_EQ(channel, 1);
    UserInfoBlock sender;
    ASSERT_TRUE(ParseUserInfo(reader, sender));
    EXPECT_EQ(sender.uin, kAlice);
    ASSERT_NE(FindTlv(sender.tlvs, 0x0006), nullptr);
    EXPECT_EQ(FindTlv(sender.tlvs, 0x0006)->value, (std::vector<std::uint8_t>{0x00, 0x01, 0x00, 0x00}));
    std::vector<TlvValue> tlvs;
    ASSERT_TRUE(ParseTlvs(reader, tlvs));
    // The message TLV as it was sent; the store-when-offline request stays behind.
    ASSERT_EQ(tlvs.size(), 1u);
    EXPECT_EQ(tlvs[0].type, 0x0002);
    EXPECT_EQ(tlvs[0].value, MessageBlock(kHello1251));

    // Nothing but presence comes back to the sender: no error, no echo.
    for (const Snac& snac : Drain(*alice, kAlice)) {
        EXPECT_TRUE(IsSnac(snac, 0x0003, 0x000B)) << snac.header.family << "/" << snac.header.subtype;
    }
}

TEST_F(ServicesTest, EchoAccountAnswersWithTheSameText) {
    StartServer();
    std::unique_ptr<TestClient> alice = SignOn(server, kAlice, "alice");
    ASSERT_TRUE(alice);
    for (const std::string& text : {kHello1251, std::string("ping"), std::string()}) {
        alice->SendSnac(0x0004, 0x0006, 0x00010006, MessagePayload(kEcho, text));
        std::optional<Snac> answer = alice->WaitSnac(0x0004, 0x0007);
        ASSERT_TRUE(answer);
        PacketReader reader = answer->Reader();
        ASSERT_TRUE(reader.Skip(10));
        UserInfoBlock from;
        ASSERT_TRUE(ParseUserInfo(reader, from));
        EXPECT_EQ(from.uin, kEcho);
        EXPECT_NE(FindTlv(from.tlvs, 0x0006), nullptr);
        std::vector<TlvValue> tlvs;
        ASSERT_TRUE(ParseTlvs(reader, tlvs));
        ASSERT_NE(FindTlv(tlvs, 0x0002), nullptr);
        EXPECT_EQ(FindTlv(tlvs, 0x0002)->value, MessageBlock(text));
    }
}

TEST_F(ServicesTest, MessageToUnknownUinGetsAnError) {
    StartServer();
    std::unique_ptr<TestClient> alice = SignOn(server, kAlice, "alice");
    ASSERT_TRUE(alice);
    alice->SendSnac(0x0004, 0x0006, 0x0BADu, MessagePayload("424242", "hello"));
    std::optional<Snac> error = alice->WaitSnac(0x0004, 0x0001);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->header.requestId, 0x0BADu);
    EXPECT_EQ(error->data, (std::vector<std::uint8_t>{0x00, 0x04}));
    EXPECT_EQ(server.StoredOfflineCount(), 0u);
}

// Reads one offline record (0x0041) into its sender and text.
void ExpectOfflineRecord(const Snac& snac, std::uint32_t requestId, std::uint32_t owner,
                         std::uint32_t from, const std::string& text) {
    EXPECT_EQ(snac.header.requestId, requestId);
    MetaReply meta;
    ASSERT_TRUE(ParseMetaReply(snac, meta));
    EXPECT_EQ(meta.tlvType, 0x0001);
    EXPECT_EQ(meta.tlvLength, snac.data.size() - 4);
    EXPECT_EQ(meta.chunk, snac.data.size() - 6);
    EXPECT_EQ(meta.owner, owner);
    EXPECT_EQ(meta.type, 0x0041);
    PacketReader reader(meta.rest);
    std::uint32_t sender = 0;
    std::uint16_t year = 0, length = 0;
    std::uint8_t month = 0, day = 0, hour = 0, minute = 0, type = 0, flags = 0;
    ASSERT_TRUE(ReadU32Le(reader, sender) && ReadU16Le(reader, year) && ReadU8(reader, month) &&
                ReadU8(reader, day) && ReadU8(reader, hour) && ReadU8(reader, minute) &&
                ReadU8(reader, type) && ReadU8(reader, flags) && ReadU16Le(reader, length));
    EXPECT_EQ(sender, from);
    // The time the message was stored, in UTC.
    std::tm sent{};
    sent.tm_year = year - 1900;
    sent.tm_mon = month - 1;
    sent.tm_mday = day;
    sent.tm_hour = hour;
    sent.tm_min = minute;
    EXPECT_LT(std::abs(static_cast<double>(timegm(&sent) - std::time(nullptr))), 600.0);
    EXPECT_EQ(type, 0x01);
    ASSERT_EQ(length, text.size() + 1) << "the length counts the terminating zero";
    std::string stored(length, '\0');
    ASSERT_TRUE(ReadBytes(reader, stored.data(), length));
    EXPECT_EQ(stored, text + '\0');
    EXPECT_TRUE(reader.AtEnd());
}

// Signs Boris on, asks for his offline messages and returns the records; the
// 0x0042 end marker is checked here.
std::vector<Snac> FetchOffline(TestClient& boris, bool acknowledge) {
    boris.SendSnac(0x0015, 0x0002, 0x02, MetaPayload(100002, 0x003C, 0x0200));
    std::vector<Snac> records;
    for (;;) {
        std::optional<Snac> reply = boris.WaitSnac(0x0015, 0x0003);
        MetaReply meta;
        if (!reply || !ParseMetaReply(*reply, meta)) {
            ADD_FAILURE() << "no end of offline messages";
            return records;
        }
        EXPECT_EQ(meta.sequence, 0x0200);
        if (meta.type == 0x0042) break;
        records.push_back(*reply);
    }
    if (acknowledge) boris.SendSnac(0x0015, 0x0002, 0x02, MetaPayload(100002, 0x003E, 0x0200));
    Drain(boris, kBoris);  // the acknowledgement has been handled
    return records;
}

TEST_F(ServicesTest, OfflineMessagesAreDeliveredUntilAcknowledgedAndSurviveARestart) {
    // A zone far from UTC, so that a local time in the records shows.
    pellox::testing::TimeZoneScope zone("JST-9");
    TempDir dir;
    ASSERT_FALSE(dir.Path().empty());
    ServerConfig config = TestConfig();
    config.offlineFile = dir.Path() + "/offline.txt";
    StartServer(config);

    std::unique_ptr<TestClient> alice = SignOn(server, kAlice, "alice");
    ASSERT_TRUE(alice);
    alice->SendSnac(0x0004, 0x0006, 0x00010006, MessagePayload(kBoris, kHello1251));
    alice->SendSnac(0x0004, 0x0006, 0x00010006, MessagePayload(kBoris, "second\r\nline"));
    alice->SendSnac(0x0004, 0x0006, 0x00010006, MessagePayload(kBoris, kHelloUcs2, 0x0002));
    alice->SendSnac(0x0004, 0x0006, 0x00010006, MessagePayload(kBoris, kWideUcs2, 0x0002));
    Drain(*alice, kAlice);
    EXPECT_EQ(server.StoredOfflineCount(), 4u);

    SignOnOptions quiet;
    quiet.activate = false;
    {
        std::unique_ptr<TestClient> boris = SignOn(server, kBoris, "boris", quiet);
        ASSERT_TRUE(boris);
        std::vector<Snac> records = FetchOffline(*boris, /*acknowledge=*/false);
        ASSERT_EQ(records.size(), 4u);
        ExpectOfflineRecord(records[0], 0x02, 100002, 100001, kHello1251);
        ExpectOfflineRecord(records[1], 0x02, 100002, 100001, "second\r\nline");
        ExpectOfflineRecord(records[2], 0x02, 100002, 100001, kHello1251);  // UCS-2 narrowed
        ExpectOfflineRecord(records[3], 0x02, 100002, 100001, kWideUtf8);   // kept whole as UTF-8
    }
    // Not acknowledged: a restart of the server and a new sign-on bring them again.
    server.Stop();
    StartServer(config);
    EXPECT_EQ(server.StoredOfflineCount(), 4u);
    {
        std::unique_ptr<TestClient> boris = SignOn(server, kBoris, "boris", quiet);
        ASSERT_TRUE(boris);
        std::vector<Snac> records = FetchOffline(*boris, /*acknowledge=*/true);
        ASSERT_EQ(records.size(), 4u);
        ExpectOfflineRecord(records[0], 0x02, 100002, 100001, kHello1251);
        ExpectOfflineRecord(records[3], 0x02, 100002, 100001, kWideUtf8);
    }
    EXPECT_EQ(server.StoredOfflineCount(), 0u);
    {
        std::unique_ptr<TestClient> boris = SignOn(server, kBoris, "boris", quiet);
        ASSERT_TRUE(boris);
        EXPECT_TRUE(FetchOffline(*boris, true).empty()) << "acknowledged messages are gone";
    }
}

TEST_F(ServicesTest, MessageWhileOnlineIsNotStored) {
    StartServer();
    std::unique_ptr<TestClient> alice = SignOn(server, kAlice, "alice");
    SignOnOptions quiet;
    quiet.activate = false;
    std::unique_ptr<TestClient> boris = SignOn(server, kBoris, "boris", quiet);
    ASSERT_TRUE(alice && boris);
    alice->SendSnac(0x0004, 0x0006, 0x00010006, MessagePayload(kBoris, "live"));
    ASSERT_TRUE(boris->WaitSnac(0x0004, 0x0007));
    EXPECT_EQ(server.StoredOfflineCount(), 0u);
    EXPECT_TRUE(FetchOffline(*boris, true).empty());
}

// Parses a contact list reply whole: (name, type, item id, nickname) per item.
struct ListItem {
    std::string name;
    std::uint16_t group = 0, item = 0, type = 0;
    std::vector<TlvValue> tlvs;
};
bool ParseList(const Snac& snac, std::vector<ListItem>& items) {
    PacketReader reader = snac.Reader();
    std::uint8_t version = 0;
    std::uint16_t count = 0;
    if (!ReadU8(reader, version) || !ReadU16(reader, count)) return false;
    for (std::uint16_t i = 0; i < count; ++i) {
        ListItem item;
        std::uint16_t length = 0;
        if (!ReadString16(reader, item.name) || !ReadU16(reader, item.group) || !ReadU16(reader, item.item) ||
            !ReadU16(reader, item.type) || !ReadU16(reader, length)) {
            return false;
        }
        std::vector<std::uint8_t> data(length);
        if (!ReadBytes(reader, data.data(), length)) return false;
        PacketReader tlvReader(data);
        if (!ParseTlvs(tlvReader, item.tlvs)) return false;
        items.push_back(std::move(item));
    }
    std::uint32_t stamp = 0;
    return ReadU32(reader, stamp) && reader.AtEnd();
}

TEST_F(ServicesTest, ContactListReplyHasGroupBuddiesAndTime) {
    StartServer();
    std::unique_ptr<TestClient> alice = SignOn(server, kAlice, "alice");
    ASSERT_TRUE(alice);
    alice->SendSnac(0x0013, 0x0004, 0x04);
    std::optional<Snac> list = alice->WaitSnac(0x0013, 0x0006);
    ASSERT_TRUE(list);
    EXPECT_EQ(list->header.requestId, 0x04u);
    EXPECT_EQ(list->data[0], 0x00) << "list version";

    std::vector<ListItem> items;
    ASSERT_TRUE(ParseList(*list, items)) << "the reply does not parse to its last byte";
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].type, 0x0001);
    EXPECT_EQ(items[0].name, "\xCE\xE1\xF9\xE8\xE5");
    ASSERT_NE(FindTlv(items[0].tlvs, 0x00C8), nullptr);
    EXPECT_EQ(FindTlv(items[0].tlvs, 0x00C8)->value, (std::vector<std::uint8_t>{0, 1, 0, 2}));

    const std::pair<std::string, std::string> buddies[] = {{kBoris, kBorisNick}, {kEcho, kEchoNick}};
    for (std::size_t i = 0; i < 2; ++i) {
        const ListItem& buddy = items[i + 1];
        EXPECT_EQ(buddy.type, 0x0000);
        EXPECT_EQ(buddy.name, buddies[i].first);
        EXPECT_EQ(buddy.group, items[0].group);
        EXPECT_EQ(buddy.item, i + 1);
        ASSERT_EQ(buddy.tlvs.size(), 1u);
        EXPECT_EQ(buddy.tlvs[0].type, 0x0131);
        EXPECT_EQ(buddy.tlvs[0].Text(), buddies[i].second);
    }
}

TEST_F(ServicesTest, ListTooLongForOneFrameComesInWholeReplies) {
    // The most a list can hold, with the longest UINs and nicknames: about 90 000
    // bytes of items, more than one frame carries.
    constexpr Uin kOwner = 100000;
    constexpr Uin kFirst = 2000000000;
    AccountStore accounts;
    Account owner;
    owner.uin = kOwner;
    owner.password = "pw";
    for (std::size_t i = 0; i < kMaxBuddies; ++i) {
        Account buddy;
        buddy.uin = kFirst + static_cast<Uin>(i);
        buddy.echo = true;
        buddy.nickname = std::string(kMaxNicknameBytes - 4, '\xC1') + std::to_string(1000 + i);
        accounts.Add(std::move(buddy));
        owner.buddies.push_back({kFirst + static_cast<Uin>(i), static_cast<std::uint16_t>(i + 1)});
    }
    accounts.Add(std::move(owner));
    StartServer(TestConfig(), std::move(accounts));
    SignOnOptions listOnly;
    listOnly.activate = false;  // no presence in between
    std::unique_ptr<TestClient> client = SignOn(server, UinText(kOwner), "pw", listOnly);
    ASSERT_TRUE(client);
    client->SendSnac(0x0013, 0x0004, 0x04);

    std::vector<Snac> replies;
    do {
        std::optional<Snac> reply = client->WaitSnac(0x0013, 0x0006);
        ASSERT_TRUE(reply) << "reply " << replies.size() + 1 << " missing";
        replies.push_back(std::move(*reply));
    } while (replies.back().header.flags & kSnacFlagMoreReplies);
    ASSERT_GE(replies.size(), 2u);
    EXPECT_TRUE(client->QuietFor(100)) << "nothing after the reply without the flag";

    std::vector<ListItem> items;
    std::vector<std::size_t> firstOfReply;
    for (const Snac& reply : replies) {
        EXPECT_EQ(reply.header.requestId, 0x04u);
        EXPECT_EQ(reply.header.flags & ~kSnacFlagMoreReplies, 0);
        EXPECT_LE(kSnacHeaderSize + reply.data.size(), kMaxFlapData);
        firstOfReply.push_back(items.size());
        ASSERT_TRUE(ParseList(reply, items)) << "reply " << firstOfReply.size() << " is not whole";
        EXPECT_EQ(std::vector<std::uint8_t>(reply.data.end() - 4, reply.data.end()),
                  std::vector<std::uint8_t>(replies[0].data.end() - 4, replies[0].data.end()))
            << "one time for the whole list";
    }
    // Replies are filled: the first item of the next one would not have fit.
    for (std::size_t r = 0; r + 1 < replies.size(); ++r) {
        const ListItem& next = items[firstOfReply[r + 1]];
        const std::size_t nextBytes = 2 + next.name.size() + 8 + (next.tlvs.empty() ? 0 : 4 + next.tlvs[0].value.size());
        EXPECT_GT(kSnacHeaderSize + replies[r].data.size() + nextBytes, kMaxFlapData) << "reply " << r + 1;
    }

    // Together: the group with every item id, then every buddy in order.
    ASSERT_EQ(items.size(), 1 + kMaxBuddies);
    EXPECT_EQ(items[0].type, 0x0001);
    ASSERT_NE(FindTlv(items[0].tlvs, 0x00C8), nullptr);
    EXPECT_EQ(FindTlv(items[0].tlvs, 0x00C8)->value.size(), 2 * kMaxBuddies);
    for (std::size_t i = 0; i < kMaxBuddies; ++i) {
        const ListItem& buddy = items[i + 1];
        EXPECT_EQ(buddy.name, UinText(kFirst + static_cast<Uin>(i)));
        EXPECT_EQ(buddy.item, i + 1);
        ASSERT_EQ(buddy.tlvs.size(), 1u);
        EXPECT_EQ(buddy.tlvs[0].Text(), std::string(kMaxNicknameBytes - 4, '\xC1') + std::to_string(1000 + i));
    }
}

TEST_F(ServicesTest, DeletedBuddyIsAcknowledgedAndGoneFromListAndPresence) {
    StartServer();
    std::unique_ptr<TestClient> alice = SignOn(server, kAlice, "alice");
    ASSERT_TRUE(alice);
    alice->SendSnac(0x0013, 0x000A, 0x83, DeleteBuddyPayload(kBoris));
    std::optional<Snac> ack = alice->WaitSnac(0x0013, 0x000E);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->header.requestId, 0x83u);
    EXPECT_EQ(ack->data, (std::vector<std::uint8_t>{0x00, 0x00}));

    alice->SendSnac(0x0013, 0x000A, 0x83, DeleteBuddyPayload(kBoris));
    ack = alice->WaitSnac(0x0013, 0x000E);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->data, (std::vector<std::uint8_t>{0x00, 0x02})) << "a second delete finds nothing";

    alice->SendSnac(0x0013, 0x0004, 0x04);
    std::optional<Snac> list = alice->WaitSnac(0x0013, 0x0006);
    ASSERT_TRUE(list);
    std::vector<ListItem> items;
    ASSERT_TRUE(ParseList(*list, items));
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[1].name, kEcho);
    EXPECT_EQ(FindTlv(items[0].tlvs, 0x00C8)->value, (std::vector<std::uint8_t>{0, 2}));

    std::unique_ptr<TestClient> boris = SignOn(server, kBoris, "boris");
    ASSERT_TRUE(boris);
    Drain(*boris, kBoris);
    EXPECT_EQ(ArrivalsIn(Drain(*alice, kAlice)).count(kBoris), 0u) << "Boris is no longer Alice's buddy";
}

TEST_F(ServicesTest, VisibilityItemIsKeptAndListedOtherItemsAreRefused) {
    StartServer();
    std::unique_ptr<TestClient> alice = SignOn(server, kAlice, "alice");
    ASSERT_TRUE(alice);
    // Added: the visibility item; refused: a buddy and a visibility item without 0x00CA.
    PacketBuffer add;
    AppendItem(add, "", 0, 7, 0x0004, {0x00, 0xCA, 0x00, 0x01, 0x05});
    AppendItem(add, "", 0, 8, 0x0000, {});
    AppendItem(add, "", 0, 9, 0x0004, {0x00, 0xCB, 0x00, 0x01, 0x05});
    alice->SendSnac(0x0013, 0x0008, 0x08, add);
    std::optional<Snac> ack = alice->WaitSnac(0x0013, 0x000E);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->header.requestId, 0x08u);
    EXPECT_EQ(ack->data, (std::vector<std::uint8_t>{0x00, 0x00, 0x00, 0x0A, 0x00, 0x0A}));

    // The update replaces it; the list carries it as the client last sent it.
    PacketBuffer update;
    AppendItem(update, "", 0, 7, 0x0004, {0x00, 0xCA, 0x00, 0x01, 0x01});
    alice->SendSnac(0x0013, 0x0009, 0x09, update);
    ASSERT_TRUE(alice->WaitSnac(0x0013, 0x000E));
    alice->SendSnac(0x0013, 0x0004, 0x04);
    std::optional<Snac> list = alice->WaitSnac(0x0013, 0x0006);
    ASSERT_TRUE(list);
    std::vector<ListItem> items;
    ASSERT_TRUE(ParseList(*list, items));
    ASSERT_EQ(items.size(), 4u);  // the group, the visibility item, two buddies
    EXPECT_EQ(items[1].type, 0x0004);
    EXPECT_EQ(items[1].item, 7);
    ASSERT_NE(FindTlv(items[1].tlvs, 0x00CA), nullptr);
    EXPECT_EQ(FindTlv(items[1].tlvs, 0x00CA)->value, (std::vector<std::uint8_t>{0x01}));
}

// What one who may not see an account can learn of it. Vera lists Alice, who
// lets only her own list see her, which leaves Vera out; going invisible leaves
// Boris, on her list, out as well. Vera once heard each sign-on, status change
// and sign-off of Alice as a departure, and a message without text reached a
// hidden Alice unanswered where an offline Alice answers it 0x000E.
TEST_F(ServicesTest, WhoMayNotSeeAnAccountLearnsNothingOfIt) {
    StartServer();
    std::unique_ptr<TestClient> vera = SignOn(server, kVera, "vera");
    std::unique_ptr<TestClient> boris = SignOn(server, kBoris, "boris");
    ASSERT_TRUE(vera && boris);
    std::vector<std::uint16_t> veraHeard, borisHeard;  // presence news of Alice, in order
    auto drain = [](TestClient& client, const std::string& uin, std::vector<std::uint16_t>& heard) {
        std::vector<Snac> answers;
        for (const Snac& snac : Drain(client, uin)) {
            if (snac.header.family == 0x0003 && PresenceUin(snac) == kAlice) heard.push_back(snac.header.subtype);
            if (snac.header.family == 0x0004) answers.push_back(snac);
        }
        return answers;
    };
    // The answers to a message with a capabilities fragment and no text.
    auto probe = [&](TestClient& client, const std::string& uin, std::vector<std::uint16_t>& heard) {
        client.SendSnac(0x0004, 0x0006, 0x0B0E, MessagePayload(kAlice, std::vector<std::uint8_t>{5, 1, 0, 1, 1}));
        std::vector<std::pair<std::uint16_t, std::vector<std::uint8_t>>> answers;
        for (const Snac& snac : drain(client, uin, heard)) answers.emplace_back(snac.header.subtype, snac.data);
        return answers;
    };
    const auto offline = probe(*vera, kVera, veraHeard);
    ASSERT_EQ(offline.size(), 1u);

    SignOnOptions notReady;
    notReady.clientReady = false;
    std::unique_ptr<TestClient> alice = SignOn(server, kAlice, "alice", notReady);
    ASSERT_TRUE(alice);
    PacketBuffer hide;
    AppendItem(hide, "", 0, 7, 0x0004, {0x00, 0xCA, 0x00, 0x01, 0x05});
    alice->SendSnac(0x0013, 0x0008, 0x08, hide);
    alice->SendSnac(0x0001, 0x0002, 0x02);
    auto status = [&](std::uint32_t word) {
        alice->SendSnac(0x0001, 0x001E, 0x1E, StatusPayload(word));
        Drain(*alice, kAlice);
        drain(*boris, kBoris, borisHeard);
    };
    status(0x00010001);  // away
    EXPECT_EQ(probe(*vera, kVera, veraHeard), offline);
    // A message with text still reaches her, as it would be stored for her offline.
    vera->SendSnac(0x0004, 0x0006, 0x7E47, MessagePayload(kAlice, "hello"));
    EXPECT_TRUE(drain(*vera, kVera, veraHeard).empty());
    EXPECT_TRUE(alice->WaitSnac(0x0004, 0x0007));

    status(0x00010100);  // invisible
    status(0x00010101);  // invisible and away
    EXPECT_EQ(probe(*boris, kBoris, borisHeard), offline);
    status(0x00010000);  // visible to her list again
    alice.reset();
    ASSERT_TRUE(WaitPresence(*boris, 0x000C, kAlice));
    borisHeard.push_back(0x000C);
    drain(*vera, kVera, veraHeard);
    EXPECT_TRUE(veraHeard.empty()) << veraHeard.size() << " presence SNACs of Alice reached Vera";
    EXPECT_EQ(borisHeard, (std::vector<std::uint16_t>{0x000B, 0x000B, 0x000C, 0x000B, 0x000C}));
}

// Vera's consent clears the awaiting mark of Alice's item even when Alice is
// away at the grant.
TEST_F(ServicesTest, AGrantClearsTheAwaitingMarkOfAnOfflineRequester) {
    AccountStore accounts = AccountStore::Demo();
    accounts.Find(100004)->auth = true;
    StartServer(TestConfig(), std::move(accounts));
    std::unique_ptr<TestClient> alice = SignOn(server, kAlice, "alice");
    ASSERT_TRUE(alice);
    PacketBuffer add;
    AppendItem(add, kVera, 1, 9, 0x0000, {0x00, 0x66, 0x00, 0x00});
    alice->SendSnac(0x0013, 0x0008, 0x08, add);
    std::optional<Snac> added = alice->WaitSnac(0x0013, 0x000E);
    ASSERT_TRUE(added);
    EXPECT_EQ(added->data, (std::vector<std::uint8_t>{0x00, 0x00}));
    alice.reset();

    std::unique_ptr<TestClient> vera = SignOn(server, kVera, "vera");
    ASSERT_TRUE(vera);
    vera->SendSnac(0x0013, 0x001A, 0x1A, AuthorizationPayload(kAlice, "", true));
    Drain(*vera, kVera);

    alice = SignOn(server, kAlice, "alice");
    ASSERT_TRUE(alice);
    alice->SendSnac(0x0013, 0x0004, 0x04);
    std::optional<Snac> list = alice->WaitSnac(0x0013, 0x0006);
    ASSERT_TRUE(list);
    std::vector<ListItem> items;
    ASSERT_TRUE(ParseList(*list, items));
    auto item = std::find_if(items.begin(), items.end(), [](const ListItem& i) { return i.name == kVera; });
    ASSERT_NE(item, items.end());
    EXPECT_EQ(FindTlv(item->tlvs, 0x0066), nullptr) << "still awaiting authorization";
}

// The transfer proxy: a receiver reaches a waiting sender only with its place
// and its cookie; then bytes pass both ways unchanged.
TEST_F(ServicesTest, TheProxyPairsASenderOnlyWithTheReceiverOfItsPlaceAndCookie) {
    StartServer();
    auto connect = [&] {
        const platform::SocketHandle socket = platform::CreateTcpSocket();
        EXPECT_TRUE(platform::ConnectSocket(socket, platform::Ipv4Endpoint{0x7F000001, server.ProxyPort()}));
        return std::make_unique<platform::SocketStream>(socket);
    };
    auto send = [](platform::Stream& stream, const ProxyPacket& packet) {
        const std::vector<std::uint8_t> bytes = BuildProxyPacket(packet);
        return stream.SendAll(bytes.data(), bytes.size());
    };
    ProxyPacket init;
    init.command = kProxyInitSend;
    init.uin = kAlice;
    init.cookie = {1, 2, 3, 4, 5, 6, 7, 8};
    auto sender = connect();
    ASSERT_TRUE(send(*sender, init));
    ProxyPacket ack;
    ASSERT_TRUE(ReceiveProxyPacket(*sender, ack, kWaitMs));
    ASSERT_EQ(ack.command, kProxyAcknowledge);
    EXPECT_EQ(ack.address, 0x7F000001u);

    // The right place with another cookie, and a first packet of nonsense.
    ProxyPacket join = init;
    join.command = kProxyInitReceive;
    join.uin = kBoris;
    join.port = ack.port;
    join.cookie[7] = 9;
    auto stranger = connect();
    ASSERT_TRUE(send(*stranger, join));
    ProxyPacket refused;
    ASSERT_TRUE(ReceiveProxyPacket(*stranger, refused, kWaitMs));
    EXPECT_EQ(refused.command, kProxyError);
    auto noise = connect();
    ASSERT_TRUE(noise->SendAll("\xFF\xFFjunk", 6));
    std::uint8_t byte = 0;
    EXPECT_LE(noise->ReceiveSome(&byte, 1), 0);

    join.cookie = init.cookie;
    auto receiver = connect();
    ASSERT_TRUE(send(*receiver, join));
    ProxyPacket ready;
    ASSERT_TRUE(ReceiveProxyPacket(*receiver, ready, kWaitMs));
    EXPECT_EQ(ready.command, kProxyReady);
    ASSERT_TRUE(ReceiveProxyPacket(*sender, ready, kWaitMs));
    EXPECT_EQ(ready.command, kProxyReady);
    char both[2] = {};
    ASSERT_TRUE(sender->SendAll("s", 1) && receiver->SendAll("r", 1));
    ASSERT_TRUE(ReceiveExactly(*receiver, &both[0], 1, kWaitMs) && ReceiveExactly(*sender, &both[1], 1, kWaitMs));
    EXPECT_EQ(std::string(both, 2), "sr");
}

TEST_F(ServicesTest, ShortInfoAnswersUnderTheRequestId) {
    StartServer();
    std::unique_ptr<TestClient> alice = SignOn(server, kAlice, "alice");
    ASSERT_TRUE(alice);

    alice->SendSnac(0x0015, 0x0002, 0x1234, ShortInfoPayload(100001, 2, 100002));
    std::optional<Snac> reply = alice->WaitSnac(0x0015, 0x0003);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->header.requestId, 0x1234u);
    MetaReply meta;
    ASSERT_TRUE(ParseMetaReply(*reply, meta));
    EXPECT_EQ(meta.owner, 100001u);
    EXPECT_EQ(meta.type, 0x07DA);
    EXPECT_EQ(meta.sequence, 2);
    std::vector<std::uint8_t> expected = {0x04, 0x01, 0x0A, 0x06, 0x00};
    for (char c : kBorisNick) expected.push_back(static_cast<std::uint8_t>(c));
    expected.push_back(0x00);
    for (int i = 0; i < 3; ++i) expected.insert(expected.end(), {0x01, 0x00, 0x00});  // empty names, e-mail
    expected.insert(expected.end(), {0x00, 0x00, 0x00});  // authorization, unused, gender
    EXPECT_EQ(meta.rest, expected);

    alice->SendSnac(0x0015, 0x0002, 0x1235, ShortInfoPayload(100001, 3, 123456));
    reply = alice->WaitSnac(0x0015, 0x0003);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->header.requestId, 0x1235u);
    ASSERT_TRUE(ParseMetaReply(*reply, meta));
    ASSERT_GE(meta.rest.size(), 3u);
    EXPECT_EQ(meta.rest[0], 0x04);
    EXPECT_EQ(meta.rest[1], 0x01);
    EXPECT_NE(meta.rest[2], 0x0A) << "an unknown UIN must not read as success";
}

}  // namespace
}  // namespace pellox::server::test

namespace pellox::server::test {
namespace {

// The icon service: asked for on the messaging connection, reached with its own
// cookie on the same port, serving families 0x0001 and 0x0010 only.
std::unique_ptr<TestClient> IconConnection(TestClient& bos) {
    PacketBuffer request;
    AppendU16(request, 0x0010);
    bos.SendSnac(0x0001, 0x0004, 4, request);
    std::optional<Snac> redirect = bos.WaitSnac(0x0001, 0x0005);
    std::vector<TlvValue> tlvs;
    PacketReader reader = redirect ? redirect->Reader() : PacketReader();
    platform::HostPort address;
    if (!redirect || !ParseTlvs(reader, tlvs) || !FindTlv(tlvs, 0x0006) || !FindTlv(tlvs, 0x0005) ||
        FindTlv(tlvs, 0x000D)->value != std::vector<std::uint8_t>{0x00, 0x10} ||
        !platform::ParseHostPort(FindTlv(tlvs, 0x0005)->Text(), 0, address)) {
        ADD_FAILURE() << "no redirect to the icon service";
        return nullptr;
    }
    auto icons = std::make_unique<TestClient>();
    if (!icons->Connect(address.port) || !icons->ReadFrame()) return nullptr;
    icons->SendFrame(kChannelSignOn, CookiePayload(FindTlv(tlvs, 0x0006)->Text()).Bytes());
    std::optional<Snac> families = icons->WaitSnac(0x0001, 0x0003);
    if (!families || families->data != std::vector<std::uint8_t>{0x00, 0x01, 0x00, 0x10}) return nullptr;
    return icons;
}

PacketBuffer UploadPayload(const std::string& icon) {
    PacketBuffer p;
    AppendU16(p, 1);
    AppendU16(p, static_cast<std::uint16_t>(icon.size()));
    AppendBytes(p, icon.data(), icon.size());
    return p;
}

PacketBuffer FetchPayload(const std::string& uin, const platform::Md5Digest& hash) {
    PacketBuffer p;
    AppendString8(p, uin);
    AppendU8(p, 1);
    AppendU16(p, 1);
    AppendU8(p, 1);
    AppendU8(p, 16);
    AppendBytes(p, hash.data(), hash.size());
    return p;
}

// The icon a fetch answer carries (empty when none).
std::string FetchedIcon(TestClient& icons, const std::string& uin, const platform::Md5Digest& hash) {
    icons.SendSnac(0x0010, 0x0006, 6, FetchPayload(uin, hash));
    std::optional<Snac> answer = icons.WaitSnac(0x0010, 0x0007);
    if (!answer) return "(no answer)";
    PacketReader reader = answer->Reader();
    std::string name, icon;
    // UIN, id, flags, 16, hash, a byte, id, flags, 16, hash, then the icon.
    if (!ReadString8(reader, name) || name != uin || !reader.Skip(2 + 2 + 16 + 1 + 2 + 2 + 16) ||
        !ReadString16(reader, icon) || !reader.AtEnd()) {
        return "(malformed)";
    }
    return icon;
}

std::vector<std::uint8_t> IconItemTlvs(const platform::Md5Digest& hash) {
    std::vector<std::uint8_t> tlvs{0x00, 0xD5, 0x00, 18, 0x01, 16};
    tlvs.insert(tlvs.end(), hash.begin(), hash.end());
    return tlvs;
}

TEST_F(ServicesTest, AnIconIsUploadedAnnouncedFetchedAndKeptOnDisk) {
    TempDir dir;
    ServerConfig config = TestConfig();
    config.dataDirectory = dir.Path();
    StartServer(config);
    std::unique_ptr<TestClient> alice = SignOn(server, kAlice, "alice");
    std::unique_ptr<TestClient> boris = SignOn(server, kBoris, "boris");  // lists Alice
    ASSERT_TRUE(alice && boris);
    Drain(*boris, kBoris);  // Alice's arrival without an icon
    std::unique_ptr<TestClient> icons = IconConnection(*alice);
    ASSERT_TRUE(icons);

    // The item first: the service lacks the icon and asks for it (flags 0x41).
    const std::string icon = "\x89PNG picture bytes";
    const platform::Md5Digest hash = platform::Md5(icon);
    PacketBuffer item;
    AppendItem(item, "1", 0, 5, 0x0014, IconItemTlvs(hash));
    alice->SendSnac(0x0013, 0x0008, 8, item);
    std::optional<Snac> notice = alice->WaitSnac(0x0001, 0x0021);
    ASSERT_TRUE(notice);
    EXPECT_EQ(notice->data[2], 0x41);

    // Over the limit: refused; within it: answered with its hash and announced.
    icons->SendSnac(0x0010, 0x0002, 2, UploadPayload(std::string(7169, 'x'))  /* a byte over the limit */);
    ASSERT_TRUE(icons->WaitSnac(0x0010, 0x0001));
    icons->SendSnac(0x0010, 0x0002, 3, UploadPayload(icon));
    std::optional<Snac> ack = icons->WaitSnac(0x0010, 0x0003);
    ASSERT_TRUE(ack);
    EXPECT_TRUE(std::equal(hash.begin(), hash.end(), ack->data.end() - 16));
    std::optional<Snac> arrival = WaitPresence(*boris, 0x000B, kAlice);
    ASSERT_TRUE(arrival);
    PacketReader reader = arrival->Reader();
    UserInfoBlock info;
    ASSERT_TRUE(ParseUserInfo(reader, info));
    const TlvValue* announced = FindTlv(info.tlvs, 0x001D);
    ASSERT_NE(announced, nullptr);
    EXPECT_EQ(std::vector<std::uint8_t>(announced->value.end() - 16, announced->value.end()),
              std::vector<std::uint8_t>(hash.begin(), hash.end()));

    // Boris fetches it; a hash that is not the stored one gets no icon.
    std::unique_ptr<TestClient> borisIcons = IconConnection(*boris);
    ASSERT_TRUE(borisIcons);
    EXPECT_EQ(FetchedIcon(*borisIcons, kAlice, hash), icon);
    EXPECT_EQ(FetchedIcon(*borisIcons, kAlice, platform::Md5("another")), "");
    // The icon connection is no sign-on: Alice is still online for Boris.
    icons.reset();
    EXPECT_TRUE(boris->QuietFor(100));

    // One icon an account, kept across a restart in the data directory.
    server.Stop();
    StartServer(config);
    std::unique_ptr<TestClient> vera = SignOn(server, kVera, "vera");
    ASSERT_TRUE(vera);
    std::unique_ptr<TestClient> veraIcons = IconConnection(*vera);
    ASSERT_TRUE(veraIcons);
    EXPECT_EQ(FetchedIcon(*veraIcons, kAlice, hash), icon);
}

}  // namespace
}  // namespace pellox::server::test
