// The SNAC handlers over crafted bytes, on a session that is not connected: what
// each reports to the session events and what it leaves in the model and files.
#include <gtest/gtest.h>

#include "platform/code_page.h"
#include "platform/local_time.h"
#include "protocol/contact_list.h"
#include "protocol/icon_service.h"
#include "protocol/identity.h"
#include "protocol/messages.h"
#include "protocol/meta.h"
#include "protocol/presence.h"
#include "protocol/user_info.h"
#include "store/contact_list_file.h"
#include "tests/protocol/protocol_test_util.h"

namespace pellox::testing {
namespace {

using Statuses = std::vector<std::pair<std::u16string, std::int32_t>>;
using Messages = std::vector<std::pair<std::u16string, std::u16string>>;

// ---- Presence values ----

TEST(StatusFromFlags, StatusWordTable) {
    struct Row {
        std::uint32_t word;
        PresenceStatus expected;
    };
    const Row rows[] = {
        {0x00000000, StatusOnline},       {0x00010000, StatusOnline},
        {0x00000001, StatusAway},         {0x00000005, StatusNotAvailable},
        {0x00000011, StatusOccupied},     {0x00000013, StatusDoNotDisturb},
        {0x00000020, StatusFreeForChat},  {0x00000100, StatusInvisible},
        {0x00000120, StatusFreeForChat},  {0x00000003, StatusDoNotDisturb},
        {0x10010004, StatusNotAvailable}, {0xFFFF0000, StatusOnline},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(StatusFromFlags(row.word), row.expected) << std::hex << row.word;
    }
    // One's own status word reads back as the presence it was made from; offline
    // and values outside 0..7 sign on online.
    for (std::int32_t presence = 0; presence < kPresenceStatusCount; ++presence) {
        const std::uint32_t word = (std::uint32_t{kOwnStatusFlags} << 16) | OwnStatusBits(presence);
        EXPECT_EQ(StatusFromFlags(word), presence == StatusOffline ? StatusOnline : presence) << presence;
    }
    EXPECT_EQ(OwnStatusBits(-1), 0x0000);
    EXPECT_EQ(OwnStatusBits(8), 0x0000);
}

// ---- The user-information block ----

TEST(UserInfoBlockReader, ReadsEveryTlvByItsOwnLength) {
    // Sizes that a reader with fixed sizes would misread: a 4-byte user class, a
    // 2-byte online-since time, a 2-byte idle time and a 2-byte status.
    const Bytes data = UserInfo("4242", {TlvBytes(0x0001, FromHex("00000050")),
                                         TlvBytes(0x0003, FromHex("1234")),
                                         TlvBytes(0x000F, FromHex("0005")),
                                         TlvBytes(0x0006, FromHex("0011"))}) +
                       FromHex("AA");
    PacketReader reader(data);
    UserInfoBlock block;
    ASSERT_TRUE(ReadUserInfoBlock(reader, block));
    EXPECT_EQ(block.uin, "4242");
    EXPECT_EQ(block.tlvCount, 4);
    EXPECT_EQ(block.tlvs.size(), 4u);
    std::uint32_t word = 0;
    EXPECT_TRUE(UserStatusWord(block, word));
    EXPECT_EQ(word, 0x0011u);
    EXPECT_EQ(reader.Remaining(), 1);  // right behind the block
}

TEST(UserInfoBlockReader, StatusTlvBySize) {
    struct Row {
        Bytes value;
        bool hasStatus;
        std::uint32_t word;
    };
    const Row rows[] = {
        {FromHex("00010013"), true, 0x00010013},      // flags, status
        {FromHex("00010013 BEEF"), true, 0x00010013},  // longer: the word comes first
        {FromHex("0005"), true, 0x0005},               // the status alone
        {FromHex("00"), false, 0},                     // too short to mean anything
        {{}, false, 0},
    };
    for (const Row& row : rows) {
        const Bytes data = UserInfo("1", {TlvBytes(0x0006, row.value)}) + FromHex("77");
        PacketReader reader(data);
        UserInfoBlock block;
        ASSERT_TRUE(ReadUserInfoBlock(reader, block)) << ToHex(row.value);
        std::uint32_t word = 0;
        EXPECT_EQ(UserStatusWord(block, word), row.hasStatus) << ToHex(row.value);
        EXPECT_EQ(word, row.word) << ToHex(row.value);
        EXPECT_EQ(reader.Remaining(), 1) << ToHex(row.value);
    }
}

TEST(UserInfoBlockReader, IconHashOfTlv1D) {
    const std::string hash = "00112233445566778899AABBCCDDEEFF";
    const std::optional<IconHash> expected = IconHash{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                                      0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
    struct Row {
        Bytes value;
        std::optional<IconHash> hash;
    };
    const Row rows[] = {
        {FromHex("0001 01 10" + hash), expected},
        {FromHex("0002 04 04 61626364 0001 00 10" + hash), expected},  // after another block
        {FromHex("0001 01 10" + std::string(32, '0')), std::nullopt},   // all zero: none
        {FromHex("0001 01 05 0102030405"), std::nullopt},               // not an MD5
        {FromHex("0001 01 10" + hash.substr(0, 30)), std::nullopt},     // cut short
        {FromHex("0002 01 09 0001"), std::nullopt},                     // a block past the value
        {{}, std::nullopt},
    };
    for (const Row& row : rows) {
        const Bytes data = UserInfo("1", {TlvBytes(0x001D, row.value)});
        PacketReader reader(data);
        UserInfoBlock block;
        ASSERT_TRUE(ReadUserInfoBlock(reader, block)) << ToHex(row.value);
        EXPECT_EQ(AnnouncedIconHash(block), row.hash) << ToHex(row.value);
    }
}

// ---- Arrival and departure ----

class PresenceHandlers : public ModelTest {};

TEST_F(PresenceHandlers, ArrivalReportsTheMappedStatusOnce) {
    const Bytes away = UserInfo("1001", {TlvBytes(0x0001, FromHex("0050")), StatusTlv(0x0001, 0x0001),
                                         TlvBytes(0x000D, Bytes(32, 0x11))});
    PacketReader reader(away);
    EXPECT_TRUE(HandleContactArrived(session.Conn(), reader));

    const Bytes bare = UserInfo("1002", {TlvBytes(0x0001, FromHex("0050"))});
    PacketReader bareReader(bare);
    EXPECT_TRUE(HandleContactArrived(session.Conn(), bareReader));

    const Bytes twice = UserInfo("1003", {StatusTlv(0x0001), StatusTlv(0x0013)});
    PacketReader twiceReader(twice);
    EXPECT_TRUE(HandleContactArrived(session.Conn(), twiceReader));

    EXPECT_EQ(session.Statuses(), (Statuses{{u"1001", StatusAway},
                                            {u"1002", StatusOnline},
                                            {u"1003", StatusDoNotDisturb}}));
    EXPECT_EQ(Snapshot(u"1001").status, StatusAway);
}

TEST_F(PresenceHandlers, ArrivalCutAnywhereReportsNothing) {
    const Bytes full = UserInfo("1001", {TlvBytes(0x0001, FromHex("0050")), StatusTlv(0x0010)});
    for (std::size_t cut = 0; cut < full.size(); ++cut) {
        PacketReader reader(full.data(), static_cast<int>(cut));
        EXPECT_FALSE(HandleContactArrived(session.Conn(), reader)) << cut;
    }
    EXPECT_TRUE(session.Statuses().empty());
    EXPECT_EQ(model.ContactCount(), 0u);
}

TEST_F(PresenceHandlers, DepartureCutRightAfterTheUinStillReportsOffline) {
    Add(u"2002", u"Ann", StatusOnline);
    const Bytes cut = FromHex("04") + BytesOf("2002");
    PacketReader reader(cut);
    EXPECT_FALSE(HandleContactDeparted(session.Conn(), reader));
    EXPECT_EQ(session.Statuses(), (Statuses{{u"2002", StatusOffline}}));
    EXPECT_EQ(Snapshot(u"2002").status, StatusOffline);

    const Bytes whole = UserInfo("2003", {StatusTlv(0x0000)}) + FromHex("0000");
    PacketReader wholeReader(whole);
    EXPECT_TRUE(HandleContactDeparted(session.Conn(), wholeReader));

    const Bytes noUin = FromHex("05 3230");
    PacketReader noUinReader(noUin);
    EXPECT_FALSE(HandleContactDeparted(session.Conn(), noUinReader));
    EXPECT_EQ(session.Statuses().size(), 2u);
}

// ---- Incoming messages ----

class MessageHandler : public ModelTest {
protected:
    bool Handle(const Bytes& data) {
        PacketReader reader(data);
        return HandleIncomingMessage(session.Conn(), reader);
    }
};

TEST_F(MessageHandler, LongerCapabilityFragmentIsSkipped) {
    EXPECT_TRUE(Handle(IncomingMessage(1, UserInfo("5005"),
                                       MessageTlv(BytesOf("four caps"), 0, FromHex("01060102")))));
    EXPECT_EQ(session.Messages(), (Messages{{u"5005", u"four caps"}}));
}

TEST_F(MessageHandler, OtherChannelsGiveAnEmptyText) {
    EXPECT_TRUE(Handle(IncomingMessage(2, UserInfo("5005"), FromHex("0005 0003 FFFFFF"))));
    EXPECT_TRUE(Handle(IncomingMessage(4, UserInfo("5006"), {})));
    EXPECT_EQ(session.Messages(), (Messages{{u"5005", u""}, {u"5006", u""}}));
}

TEST_F(MessageHandler, TwoByteStatusAndIdleTlvsKeepTextAndRealStatus) {
    // As real servers send them: a 2-byte status TLV holding the status alone and a
    // 2-byte idle time, between other TLVs.
    const Bytes sender = UserInfo("7007", {TlvBytes(0x0001, FromHex("0050")),
                                           TlvBytes(0x0006, FromHex("0010")),
                                           TlvBytes(0x000F, FromHex("0003")),
                                           TlvBytes(0x0003, FromHex("65000000"))});
    EXPECT_TRUE(Handle(IncomingMessage(1, sender, MessageTlv(BytesOf("still here")))));
    EXPECT_EQ(session.Statuses(), (Statuses{{u"7007", StatusOccupied}}));
    EXPECT_EQ(session.Messages(), (Messages{{u"7007", u"still here"}}));
}

TEST_F(MessageHandler, WrongFirstTlvLosesTheTextButNotTheStatus) {
    EXPECT_FALSE(Handle(IncomingMessage(1, UserInfo("5005", {StatusTlv(0x0004)}),
                                        TlvBytes(0x0005, BytesOf("xx")) + MessageTlv(BytesOf("late")))));
    EXPECT_EQ(session.Statuses(), (Statuses{{u"5005", StatusNotAvailable}}));
    EXPECT_TRUE(session.Messages().empty());
}

TEST_F(MessageHandler, BrokenFragmentsFailWithoutAMessage) {
    const Bytes sender = UserInfo("5005");
    // Text fragment length 3: below the character set and subset.
    EXPECT_FALSE(Handle(IncomingMessage(
        1, sender, TlvBytes(0x0002, FromHex("0501 0001 01  0101 0003 0000 FF")))));
    // Capability fragment longer than the message TLV.
    EXPECT_FALSE(Handle(IncomingMessage(1, sender, TlvBytes(0x0002, FromHex("0501 0040 01")))));
    // Text running past the TLV's length although more bytes follow in the SNAC.
    const Bytes tlv = MessageTlv(BytesOf("abcdef"));
    Bytes shortened = tlv;
    shortened[3] = static_cast<std::uint8_t>(shortened[3] - 3);  // the TLV length
    EXPECT_FALSE(Handle(IncomingMessage(1, sender, shortened)));
    // Message TLV longer than the SNAC.
    EXPECT_FALSE(Handle(IncomingMessage(1, sender, Bytes(tlv.begin(), tlv.end() - 1))));
    EXPECT_TRUE(session.Messages().empty());
}

TEST_F(MessageHandler, CutAnywhereNeverReportsATextAndKeepsTheStatus) {
    const Bytes sender = UserInfo("5005", {StatusTlv(0x0001)});
    const Bytes full = IncomingMessage(1, sender, MessageTlv(BytesOf("whole")));
    const std::size_t statusEnd = 10 + sender.size();
    for (std::size_t cut = 0; cut < full.size(); ++cut) {
        const std::size_t before = session.Statuses().size();
        EXPECT_FALSE(Handle(Bytes(full.begin(), full.begin() + static_cast<long>(cut)))) << cut;
        EXPECT_EQ(session.Statuses().size(), before + (cut >= statusEnd ? 1 : 0)) << cut;
    }
    EXPECT_TRUE(session.Messages().empty());
    EXPECT_TRUE(Handle(full));
    EXPECT_EQ(session.Messages(), (Messages{{u"5005", u"whole"}}));
}

TEST_F(MessageHandler, UnusableSenderUinIsDropped) {
    EXPECT_FALSE(Handle(IncomingMessage(1, UserInfo("", {StatusTlv(0)}), MessageTlv(BytesOf("a")))));
    EXPECT_FALSE(Handle(IncomingMessage(1, UserInfo("12\r\n[x]"), MessageTlv(BytesOf("b")))));
    EXPECT_TRUE(session.Statuses().empty());
    EXPECT_TRUE(session.Messages().empty());
    EXPECT_EQ(model.ContactCount(), 0u);
}

// ---- Text decodings ----

TEST(MessageText, Ucs2IsBigEndianUtf16) {
    const std::u16string cyrillic = u"Привет, мир! Ёё";
    const Bytes ucs2 = Ucs2(cyrillic);
    EXPECT_EQ(DecodeMessageText(kCharsetUcs2, {reinterpret_cast<const char*>(ucs2.data()), ucs2.size()}),
              cyrillic);
    // Latin text has a zero byte in every unit: it must not end there.
    const Bytes latin = Ucs2(u"Hello");
    EXPECT_EQ(DecodeMessageText(kCharsetUcs2, {reinterpret_cast<const char*>(latin.data()), latin.size()}),
              u"Hello");
    // Characters outside the local code page stay whole.
    const Bytes wide = Ucs2(u"\u20AC \u4E2D");
    EXPECT_EQ(DecodeMessageText(kCharsetUcs2, {reinterpret_cast<const char*>(wide.data()), wide.size()}),
              u"\u20AC \u4E2D");
    // A terminating zero unit ends it; an odd last byte is dropped.
    const Bytes tail = Ucs2(u"ab") + FromHex("0000 0063 00");
    EXPECT_EQ(DecodeMessageText(kCharsetUcs2, {reinterpret_cast<const char*>(tail.data()), tail.size()}),
              u"ab");
    // Read many units at a time, a long text ends at its zero all the same.
    for (const std::u16string& before : {std::u16string(u"0123456789"), std::u16string(u"0123456789abcdef")}) {
        const Bytes longer = Ucs2(before) + FromHex("0000") + Ucs2(u"abcdefghijklmnop");
        EXPECT_EQ(DecodeMessageText(kCharsetUcs2, {reinterpret_cast<const char*>(longer.data()), longer.size()}),
                  before);
    }
    const Bytes odd = Ucs2(u"ab") + FromHex("00");
    EXPECT_EQ(DecodeMessageText(kCharsetUcs2, {reinterpret_cast<const char*>(odd.data()), odd.size()}),
              u"ab");
}

TEST(MessageText, EightBitSetsAreUtf8OrLocal) {
    const std::u16string cyrillic = u"Привет, мир";
    const Bytes utf8 = Utf8(cyrillic);
    const Bytes local = Local(cyrillic);
    for (std::uint16_t charset : {0x0000, 0x0003}) {
        EXPECT_EQ(DecodeMessageText(charset, {reinterpret_cast<const char*>(utf8.data()), utf8.size()}),
                  cyrillic);
        EXPECT_EQ(DecodeMessageText(charset, {reinterpret_cast<const char*>(local.data()), local.size()}),
                  cyrillic);
    }
}

TEST_F(MessageHandler, CyrillicArrivesInUcs2AndUtf8AndIsStoredInTheLocalCodePage) {
    const std::u16string text = u"Привет из UCS-2";
    EXPECT_TRUE(Handle(IncomingMessage(1, UserInfo("6006"), MessageTlv(Ucs2(text), kCharsetUcs2))));
    EXPECT_TRUE(Handle(IncomingMessage(1, UserInfo("6006"), MessageTlv(Utf8(u"И в UTF-8")))));
    EXPECT_EQ(session.Messages(), (Messages{{u"6006", text}, {u"6006", u"И в UTF-8"}}));
    const std::string history = FileText("msg_6006.txt");
    EXPECT_NE(history.find(platform::WideToLocal(text) + "\r\n"), std::string::npos);
    EXPECT_NE(history.find(platform::WideToLocal(u"И в UTF-8") + "\r\n"), std::string::npos);
}

// ---- The server contact list ----

class ContactListHandler : public ModelTest {
protected:
    bool Handle(const Bytes& data, bool moreReplies = false) {
        PacketReader reader(data);
        return HandleContactListReply(session.Conn(), model, reader, moreReplies);
    }
    std::vector<ContactInfo> StoredList() {
        model.FlushSaves();  // replies close together are written once, a little later
        std::vector<ContactInfo> stored;
        EXPECT_TRUE(ReadContactListFile(dir.path() + "contacts_123456789.txt", stored));
        return stored;
    }
};

TEST_F(ContactListHandler, MergesBuddiesAndLocalNamesWin) {
    Add(u"100", u"Local name", StatusOnline);
    Add(u"200", u"", StatusAway);
    Add(u"900", u"Only here", StatusOccupied);
    EXPECT_TRUE(Handle(ContactListReply({
        ListItem("Friends", 0x0001, TlvBytes(0x00C8, FromHex("0002 0003"))),
        Buddy("100", BytesOf("Server name")),
        Buddy("200", Local(u"Сервер")),
        Buddy("300", Utf8(u"Новый")),
        Buddy("400", {}),
    })));

    const auto contacts = model.SnapshotContacts();
    ASSERT_EQ(contacts.size(), 5u);
    EXPECT_EQ(contacts[0].info.name, u"Local name");
    EXPECT_EQ(contacts[0].info.status, StatusOnline);
    EXPECT_EQ(contacts[1].info.name, u"Сервер");
    EXPECT_EQ(contacts[1].info.status, StatusAway);
    EXPECT_EQ(contacts[2].info.name, u"Only here");  // not on the server: stays
    EXPECT_EQ(contacts[3].info.uin, u"300");
    EXPECT_EQ(contacts[3].info.name, u"Новый");
    EXPECT_EQ(contacts[3].info.status, StatusOffline);
    EXPECT_EQ(contacts[4].info.uin, u"400");
    EXPECT_EQ(contacts[4].info.name, u"");

    EXPECT_EQ(posted.TakeCodes(), (std::vector<ChangeCode>{ChangeCode::ListReset,
                                                     ChangeCode::ConnectionStateChanged}));
    EXPECT_EQ(session.Codes(), (std::vector<int>{10}));
    const auto stored = StoredList();
    ASSERT_EQ(stored.size(), 5u);
    EXPECT_EQ(stored[3].name, u"Новый");
    EXPECT_EQ(stored[4].uin, u"400");  // nameless, kept and shown by its UIN
    EXPECT_EQ(stored[4].name, u"");
    EXPECT_EQ(model.busyCount.load(), 0);
}

TEST_F(ContactListHandler, DuplicateBuddiesMakeOneContact) {
    // The repeats come a long list apart, as well as next to each other.
    std::vector<Bytes> items{Buddy("100", {})};
    for (int i = 0; i < 150; ++i) items.push_back(Buddy(std::to_string(1000 + i), BytesOf("Between")));
    for (const Bytes& item : {Buddy("100", BytesOf("Second")), Buddy("200", BytesOf("First")),
                              Buddy("200", BytesOf("Other")), Buddy("1000", BytesOf("Again"))}) {
        items.push_back(item);
    }
    EXPECT_TRUE(Handle(ContactListReply(items)));
    const auto contacts = model.SnapshotContacts();
    ASSERT_EQ(contacts.size(), 152u);
    EXPECT_EQ(contacts[0].info.name, u"Second");  // filled in the empty name
    EXPECT_EQ(contacts[1].info.uin, u"1000");
    EXPECT_EQ(contacts[1].info.name, u"Between");
    EXPECT_EQ(contacts[151].info.uin, u"200");
    EXPECT_EQ(contacts[151].info.name, u"First");
}

TEST_F(ContactListHandler, NonBuddyItemsCreateNothingButTheListIsLoaded) {
    EXPECT_TRUE(Handle(ContactListReply({ListItem("General", 0x0001, TlvBytes(0x0131, BytesOf("Nick"))),
                                         ListItem("555", 0x0002, TlvBytes(0x0131, BytesOf("Permit"))),
                                         ListItem("556", 0x0003), ListItem("", 0x0004, FromHex("00CA 0001 01")),
                                         ListItem("557", 0x000E)})));
    EXPECT_EQ(model.ContactCount(), 0u);
    EXPECT_TRUE(StoredList().empty());  // saved all the same
    EXPECT_EQ(posted.TakeCodes(), (std::vector<ChangeCode>{ChangeCode::ListReset,
                                                     ChangeCode::ConnectionStateChanged}));
    EXPECT_EQ(session.Codes(), (std::vector<int>{10}));
}

TEST_F(ContactListHandler, ListInSeveralRepliesIsLoadedAfterTheLast) {
    // A reply that says more follow is merged, shown and saved, but the list is
    // not loaded yet.
    EXPECT_TRUE(Handle(ContactListReply({ListItem("General", 0x0001), Buddy("100", BytesOf("One")),
                                         Buddy("200", {})}),
                       true));
    EXPECT_EQ(model.ContactCount(), 2u);
    EXPECT_EQ(StoredList().size(), 2u);
    EXPECT_EQ(posted.TakeCodes(), (std::vector<ChangeCode>{ChangeCode::ListReset}));
    EXPECT_TRUE(session.Codes().empty());

    // A later reply fills in and adds like the first; the last one loads the list.
    EXPECT_TRUE(Handle(ContactListReply({Buddy("200", BytesOf("Two")), Buddy("300", BytesOf("Three"))}), true));
    EXPECT_TRUE(session.Codes().empty());
    EXPECT_TRUE(Handle(ContactListReply({Buddy("400", Local(u"Четыре"))})));
    const auto stored = StoredList();
    ASSERT_EQ(stored.size(), 4u);
    EXPECT_EQ(stored[1].name, u"Two");
    EXPECT_EQ(stored[3].name, u"Четыре");
    EXPECT_EQ(posted.TakeCodes(), (std::vector<ChangeCode>{ChangeCode::ListReset, ChangeCode::ListReset,
                                                     ChangeCode::ConnectionStateChanged}));
    EXPECT_EQ(session.Codes(), (std::vector<int>{10}));

    // A cut reply that says more follow changes nothing either.
    EXPECT_FALSE(Handle(ContactListReply({Buddy("500", BytesOf("Five"))}, false), true));
    EXPECT_FALSE(model.FindContact(u"500"));
    EXPECT_TRUE(posted.Take().empty());
}

TEST_F(ContactListHandler, VisibilityItemIsKeptWholeAndChangedInPlace) {
    ServerListState list;
    auto handle = [&](const Bytes& data, bool more) {
        PacketReader reader(data);
        return HandleContactListReply(session.Conn(), model, reader, more, &list);
    };
    // The item in the first of two replies, with a TLV of its own before 0x00CA.
    ASSERT_TRUE(handle(ContactListReply({ListItem("", 0x0004, FromHex("00CB 0004 FFFFFFFF 00CA 0001 05"), 0, 0x0123),
                                         Buddy("100", {})}),
                       true));
    EXPECT_FALSE(list.VisibleToListOnly());  // not before the list is complete
    ASSERT_TRUE(handle(ContactListReply({ListItem("", 0x0004, FromHex("00CA 0001 01"), 0, 0x0200),
                                         ListItem("General", 0x0001, {}, 1, 0x0300)}),
                       false));
    EXPECT_TRUE(list.VisibleToListOnly());  // the first item counts
    EXPECT_EQ(model.ContactCount(), 1u);

    bool update = false;
    VisibilityItem item = list.PrepareChange(kVisibleToAll, update);
    EXPECT_TRUE(update);
    EXPECT_EQ(item.itemId, 0x0123);
    EXPECT_EQ(ToHex(item.data), ToHex(FromHex("00CB 0004 FFFFFFFF 00CA 0001 01")));
    EXPECT_FALSE(list.VisibleToListOnly());

    // A list without the item forgets it: the next change adds one under a new id.
    ASSERT_TRUE(handle(ContactListReply({ListItem("100", 0x0000, {}, 1, 0x0400)}), false));
    EXPECT_FALSE(list.Visibility().has_value());
    item = list.PrepareChange(kVisibleToListOnly, update);
    EXPECT_FALSE(update);
    EXPECT_EQ(item.groupId, 0);
    EXPECT_EQ(item.itemId, 0x0401);
    EXPECT_EQ(ToHex(item.data), ToHex(FromHex("00CA 0001 05")));
    EXPECT_TRUE(list.VisibleToListOnly());
}

TEST_F(ContactListHandler, ANewBuddyGoesIntoTheFirstGroupOrANewGroupGeneral) {
    ServerListState list;
    auto handle = [&](const Bytes& data) {
        PacketReader reader(data);
        return HandleContactListReply(session.Conn(), model, reader, false, &list);
    };
    ASSERT_TRUE(handle(ContactListReply({ListItem("", 0x0001, {}, 0, 0), ListItem("Friends", 0x0001, {}, 3, 0),
                                         ListItem("Work", 0x0001, {}, 5, 0), ListItem("100", 0x0000, {}, 5, 0x0010)})));
    std::optional<ServerItem> group;
    ServerItem item = list.PrepareBuddy("200", "Nick", group);
    EXPECT_FALSE(group.has_value());
    EXPECT_EQ(item.groupId, 3);
    EXPECT_EQ(item.itemId, 0x0011);
    EXPECT_EQ(ToHex(item.data), ToHex(TlvBytes(0x0131, BytesOf("Nick"))));

    // A list without a group: the first buddy brings "Общие", the next one joins it.
    ASSERT_TRUE(handle(ContactListReply({ListItem("100", 0x0000, {}, 0, 0x0010)})));
    item = list.PrepareBuddy("200", "", group);
    ASSERT_TRUE(group.has_value());
    EXPECT_EQ(group->name, "\xD0\x9E\xD0\xB1\xD1\x89\xD0\xB8\xD0\xB5");  // UTF-8
    EXPECT_EQ(group->type, kItemTypeGroup);
    EXPECT_EQ(item.groupId, group->groupId);
    EXPECT_TRUE(item.data.empty());
    const ServerItem next = list.PrepareBuddy("300", "", group);
    EXPECT_FALSE(group.has_value());
    EXPECT_EQ(next.groupId, item.groupId);
    EXPECT_NE(next.itemId, item.itemId);
}

TEST_F(ContactListHandler, AnAddTheServerRefusesStaysLocalAndIsToldOnce) {
    Add(u"200", u"Two");
    session.AddToServerList(session.Conn(), u"200",
                            u"Two");  // not connected: the frames fail, the add is awaited
    session.Dispatch(0x0013, 0x000E, FromHex("000A"), 0x00130001);
    session.Dispatch(0x0013, 0x000E, FromHex("000A"), 0x00130001);
    const auto calls = announcer.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].what, "notification");
    EXPECT_EQ(calls[0].second,
              u"Контакт 200 не добавлен в список на сервере (ошибка 10): он останется только в "
              u"этом списке.");
    // The second result names no add that is still awaited.
    EXPECT_EQ(session.Rejected(), (std::vector<std::pair<int, int>>{{0x0013, 0x000E}}));
    EXPECT_FALSE(session.ServerList().Buddy("200").has_value());
    EXPECT_TRUE(model.FindContact(u"200"));
}

TEST_F(ContactListHandler, AnAuthorizationRequestIsKeptAndAnnouncedOnlyInTheBackground) {
    Add(u"300", u"Третий");
    const Bytes request = FromHex("03 333030 0004 50726F73 0000");  // "300", "Pros"
    announcer.active = true;
    session.Dispatch(0x0013, 0x0019, request);
    EXPECT_TRUE(announcer.Calls().empty());
    announcer.active = false;
    session.Dispatch(0x0013, 0x0019, request);
    ASSERT_EQ(announcer.Calls().size(), 1u);
    EXPECT_EQ(announcer.Calls()[0].first, AnnouncementTitle(u"Третий", u"300"));
    EXPECT_EQ(announcer.Calls()[0].second, u"Просит авторизацию: Pros");
    for (int i = 0; i < 2; ++i) {
        const auto taken = session.TakeAuthRequest();
        ASSERT_TRUE(taken.has_value());
        EXPECT_EQ(taken->name, u"Третий");
        EXPECT_EQ(taken->text, u"Pros");
    }
    EXPECT_FALSE(session.TakeAuthRequest().has_value());
    EXPECT_EQ(posted.TakeCodes(), (std::vector<ChangeCode>{ChangeCode::AuthorizationRequested,
                                                     ChangeCode::AuthorizationRequested}));
    // Cut short, it is nothing but a rejected SNAC.
    session.Dispatch(0x0013, 0x0019, FromHex("05 3330"));
    EXPECT_FALSE(session.TakeAuthRequest().has_value());
    EXPECT_EQ(session.Rejected(), (std::vector<std::pair<int, int>>{{0x0013, 0x0019}}));
}

TEST_F(ContactListHandler, ReplyWithoutItsTrailingTimeChangesNothing) {
    Add(u"100", u"", StatusOffline);
    const Bytes full = ContactListReply({Buddy("100", BytesOf("Nick")), Buddy("200", BytesOf("Two"))});
    // Every cut, down to the one that only lacks the time.
    for (std::size_t cut = 0; cut < full.size(); ++cut) {
        EXPECT_FALSE(Handle(Bytes(full.begin(), full.begin() + static_cast<long>(cut)))) << cut;
    }
    EXPECT_EQ(model.ContactCount(), 1u);
    EXPECT_EQ(Snapshot(u"100").name, u"");
    EXPECT_TRUE(posted.Take().empty());
    EXPECT_TRUE(session.Codes().empty());
    EXPECT_TRUE(FileText("contacts_123456789.txt").empty());
}

TEST_F(ContactListHandler, TlvWalkStopsAtTheItemsEnd) {
    // The first buddy's nickname TLV claims 16 bytes of its 6 bytes of data; the
    // reader goes on with the next item right after those 6 bytes.
    const Bytes overrunning = ListItem("100", 0x0000, FromHex("0131 0010 4142"));
    EXPECT_TRUE(Handle(ContactListReply({overrunning, Buddy("200", BytesOf("Two"))})));
    const auto contacts = model.SnapshotContacts();
    ASSERT_EQ(contacts.size(), 2u);
    EXPECT_EQ(contacts[0].info.uin, u"100");
    EXPECT_EQ(contacts[0].info.name, u"");
    EXPECT_EQ(contacts[1].info.uin, u"200");
    EXPECT_EQ(contacts[1].info.name, u"Two");

    // Item data longer than the reply: dropped whole.
    Bytes longData = ContactListReply({Buddy("300", BytesOf("Three"))});
    longData[3 + 2 + 3 + 6 + 1] = 0x40;  // the item's data length
    EXPECT_FALSE(Handle(longData));
    EXPECT_EQ(model.ContactCount(), 2u);
}

TEST_F(ContactListHandler, HostileNamesCannotReshapeTheStoredList) {
    EXPECT_TRUE(Handle(ContactListReply({Buddy("100", BytesOf("Eve\r\n[666]\r\nname=Mallory")),
                                         Buddy("1\r\n2", BytesOf("Bad UIN")), Buddy("", BytesOf("None")),
                                         Buddy("200", BytesOf("A\x7F" "B\x98" "C")),
                                         Buddy("300", Bytes(100, 'x'))})));
    ASSERT_EQ(model.ContactCount(), 3u);
    const auto stored = StoredList();
    ASSERT_EQ(stored.size(), 3u);
    EXPECT_EQ(stored[0].uin, u"100");
    EXPECT_EQ(stored[0].name, u"Eve  [666]  name=Mallory");
    EXPECT_EQ(stored[1].name, u"A B C");  // DEL and a C1 control
    EXPECT_EQ(stored[2].name, std::u16string(kMaxNameLength, u'x'));
    // Direction controls, which the 8-bit code page cannot carry but UCS-2 can; a
    // surrogate pair is one character.
    EXPECT_EQ(CleanName(u"a\u202Eb\u2066c\u2069d\u200Fe"), u"a b c d\u200Fe");
    EXPECT_EQ(CleanName(std::u16string(63, u'y') + u"\U0001F600z"),
              std::u16string(63, u'y') + u"\U0001F600");
}

// ---- Meta replies ----

class MetaHandler : public ModelTest {
protected:
    bool Handle(const Bytes& data, std::uint32_t requestId = 0) {
        PacketReader reader(data);
        return HandleMetaReply(session.Conn(), model, reader,
                               SnacHeader{0x0015, 0x0003, 0, requestId});
    }
};

TEST_F(MetaHandler, OfflineRecordFields) {
    // The sender of the record, not the owner of the head; signed decimal.
    const Bytes fromRecord = OfflineMessage(4242, BytesOf("x"));
    EXPECT_TRUE(Handle(fromRecord));
    EXPECT_TRUE(Handle(OfflineMessage(0xFFFFFFFE, BytesOf("negative"))));
    // Only the terminating zero: an empty text.
    EXPECT_TRUE(Handle(OfflineMessage(4243, {})));
    // UTF-8 is recognised as in live messages, every character kept; local code
    // page text stays local.
    EXPECT_TRUE(Handle(OfflineMessage(4244, Utf8(u"Да \U0001F600 caf\u00E9 \u65E5\u672C \u20AC"))));
    EXPECT_TRUE(Handle(OfflineMessage(4245, Local(u"Да"))));
    EXPECT_EQ(session.Messages(),
              (Messages{{u"4242", u"x"},
                        {u"-2", u"negative"},
                        {u"4243", u""},
                        {u"4244", u"Да \U0001F600 caf\u00E9 \u65E5\u672C \u20AC"},
                        {u"4245", u"Да"}}));
}

TEST_F(MetaHandler, OfflineMessagesAreDatedWhenTheyWereSent) {
    platform::SetClockForTesting([]() -> std::time_t { return 1800000000; });
    // The record's 2024-05-17 12:30 is UTC; the entry and the activity take it.
    EXPECT_TRUE(Handle(OfflineMessage(4242, BytesOf("sent"))));
    EXPECT_EQ(Snapshot(u"4242").lastActivity, 1715949000);
    // Fields that are not a time, and a time after the arrival, date it on arrival.
    const std::size_t month = 14 + 4 + 2;
    Bytes noTime = OfflineMessage(4242, BytesOf("no time"));
    noTime[month] = 13;
    EXPECT_TRUE(Handle(noTime));
    Bytes future = OfflineMessage(4242, BytesOf("future"));
    future[month - 2] = 0x99;  // the year 2201 (0x0899), little-endian
    future[month - 1] = 0x08;
    EXPECT_TRUE(Handle(future));
    platform::SetClockForTesting(nullptr);
    std::vector<std::int64_t> times;
    for (const MessageEntry& entry : model.GetHistory(model.FindContact(u"4242"))->Entries()) {
        times.push_back(entry.time);
    }
    EXPECT_EQ(times, (std::vector<std::int64_t>{1715949000, 1800000000, 1800000000}));
    EXPECT_EQ(Snapshot(u"4242").lastActivity, 1800000000);
}

TEST_F(MetaHandler, OfflineTextRunningPastTheDataIsCutNotDropped) {
    Bytes record = OfflineMessage(5151, BytesOf("truncated text"));
    record.erase(record.end() - 6, record.end());  // the zero and five letters gone; L still says 15
    EXPECT_TRUE(Handle(record));
    EXPECT_EQ(session.Messages(), (Messages{{u"5151", u"truncated"}}));
}

TEST_F(MetaHandler, ShortHeadOrRecordFieldsReportNothing) {
    const Bytes record = OfflineMessage(5151, BytesOf("t"));
    const std::size_t textStart = 14 + 4 + 8 + 2;
    for (std::size_t cut = 0; cut < textStart; ++cut) {
        EXPECT_FALSE(Handle(Bytes(record.begin(), record.begin() + static_cast<long>(cut)))) << cut;
    }
    EXPECT_TRUE(session.Messages().empty());
    const Bytes done = OfflineDone();
    EXPECT_FALSE(Handle(Bytes(done.begin(), done.begin() + 13)));
    EXPECT_TRUE(session.Codes().empty());
}

TEST_F(MetaHandler, OtherRepliesAreIgnored) {
    Add(u"777", u"", StatusOffline);
    EXPECT_TRUE(Handle(MetaHead(0x07D0, 123456789, 2) + FromHex("0A00")));
    // An information reply of another subtype, and one whose request was never made.
    EXPECT_FALSE(Handle(MetaHead(0x07DA, 123456789, 2) + Le16(0x00C8) + ShortInfoRecord(BytesOf("N"))));
    EXPECT_FALSE(Handle(ShortInfoReply(ShortInfoRecord(BytesOf("Nick"))), 0x1234));
    EXPECT_EQ(Snapshot(u"777").name, u"");
    EXPECT_TRUE(posted.Take().empty());
    EXPECT_TRUE(session.Messages().empty());
    EXPECT_TRUE(session.Codes().empty());
}

class ShortInfo : public ModelTest {
protected:
    bool Parse(const Bytes& records, const std::u16string& uin) {
        PacketReader reader(records);
        return ParseShortInfoReply(model, reader, uin);
    }
};

TEST_F(ShortInfo, FillsOnlyAnEmptyNameAndAnnouncesEither) {
    const ContactPtr nameless = Add(u"300");
    const ContactPtr named = Add(u"301", u"Mine");
    EXPECT_TRUE(Parse(ShortInfoRecord(Utf8(u"Ник \U0001F600")), u"300"));
    EXPECT_TRUE(Parse(ShortInfoRecord(BytesOf("Theirs")), u"301"));
    EXPECT_EQ(Snapshot(u"300").name, u"Ник \U0001F600");
    EXPECT_EQ(Snapshot(u"301").name, u"Mine");
    const auto changes = posted.Take();
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].code, ChangeCode::ContactChanged);
    EXPECT_EQ(changes[0].contact, nameless);
    EXPECT_EQ(changes[1].contact, named);
    EXPECT_NE(FileText("contacts_123456789.txt").find(platform::WideToLocal(u"name=Ник &#128512;\r\n")),
              std::string::npos);
}

TEST_F(ShortInfo, FailuresAndStrangersChangeNothing) {
    Add(u"300");
    EXPECT_TRUE(Parse(FromHex("14") + ShortInfoRecord(BytesOf("NotFound")), u"300"));  // result 0x14
    EXPECT_TRUE(Parse(ShortInfoRecord(BytesOf("Stranger")), u"999"));
    const Bytes record = ShortInfoRecord(BytesOf("Cut"));
    EXPECT_FALSE(Parse(Bytes(record.begin(), record.end() - 1), u"300"));
    EXPECT_EQ(Snapshot(u"300").name, u"");
    EXPECT_TRUE(posted.Take().empty());
    EXPECT_TRUE(FileText("contacts_123456789.txt").empty());
}

}  // namespace
}  // namespace pellox::testing
