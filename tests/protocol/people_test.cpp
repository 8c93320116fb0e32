// The people features of the session: the directory search, full details and own
// details on the wire, away texts both ways, privacy items, and what the ignored
// and strangers leave behind. The session is signed on over one end of a socket
// pair, so every frame it sends is read back from the other end. The same
// features between sessions through the local server are in local_server_test.cpp.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/code_page.h"
#include "protocol/away.h"
#include "protocol/contact_list.h"
#include "protocol/people.h"
#include "protocol/presence.h"
#include "resources/strings.h"
#include "store/contact_list_file.h"
#include "tests/protocol/protocol_test_util.h"

namespace pellox::testing {
namespace {

// A meta reply 0x07DA of the subtype with its record.
Bytes PeopleReply(std::uint16_t subtype, const Bytes& record) {
    const Bytes body = Le16(subtype) + record;
    return MetaHead(0x07DA, 123456789, static_cast<std::uint16_t>(body.size())) + body;
}

// A found-user record (0x01A4, or 0x01AE with `left`) with result 0x0A.
Bytes FoundRecord(std::uint32_t uin, const std::string& nickname, const std::string& email,
                  std::uint16_t online, std::optional<std::uint32_t> left = std::nullopt) {
    const Bytes fields = Le32(uin) + MetaString(BytesOf(nickname)) + MetaString(BytesOf("First")) +
                         MetaString(BytesOf("Last")) + MetaString(BytesOf(email)) + Bytes{0x01} +
                         Le16(online) + Bytes{0x01} + Le16(27);
    Bytes record = Bytes{0x0A} + Le16(static_cast<std::uint16_t>(fields.size())) + fields;
    if (left) record = record + Le32(*left);
    return record;
}

SearchPeopleCommand Search(std::uint32_t search, std::u16string uin, std::u16string email = {},
                           std::u16string nickname = {}, std::u16string lastName = {}) {
    SearchPeopleCommand command;
    command.search = search;
    command.uin = std::move(uin);
    command.email = std::move(email);
    command.nickname = std::move(nickname);
    command.lastName = std::move(lastName);
    return command;
}

Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t count = std::string::npos) {
    if (from >= bytes.size()) return {};
    const std::size_t end = count >= bytes.size() - from ? bytes.size() : from + count;
    return Bytes(bytes.begin() + static_cast<long>(from), bytes.begin() + static_cast<long>(end));
}

// The meta request subtype and its data behind it.
std::uint16_t MetaSubtype(const ReceivedFrame& f) {
    return f.data.size() >= 26 ? static_cast<std::uint16_t>(f.data[24] | (f.data[25] << 8)) : 0;
}
Bytes MetaBody(const ReceivedFrame& f) { return Slice(f.data, 26); }

// The session signed on over one end of a socket pair; the test holds the other.
class People : public ModelTest {
protected:
    People() {
        int ends[2] = {-1, -1};
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
        peer_ = ends[1];
        (void)session.NetForTesting().AdoptSocketForTesting(ends[0]);
        session.NetForTesting().SetStateForTesting(ConnState::ContactsLoaded);
        session.SetClockForTesting([this] { return clockMs; });
        model.UpdateSettings([](Settings& s) { (void)s.Password(); });
    }
    ~People() override { ::close(peer_); }

    // The next frame the session sent, or an empty one after a second of nothing.
    ReceivedFrame Next() {
        ReceivedFrame frame;
        Bytes head(6);
        if (!Read(head)) return frame;
        frame.channel = head[1];
        frame.data.resize(static_cast<std::size_t>(head[4] << 8 | head[5]));
        if (!Read(frame.data)) frame.data.clear();
        return frame;
    }
    // The next SNAC of that pair, skipping others.
    ReceivedFrame NextSnac(std::uint16_t family, std::uint16_t subtype) {
        for (ReceivedFrame f = Next(); !f.data.empty(); f = Next()) {
            if (f.IsSnac(family, subtype)) return f;
        }
        return {};
    }
    // True when the session sent nothing more.
    bool Quiet() {
        pollfd p{peer_, POLLIN, 0};
        return ::poll(&p, 1, 50) == 0;
    }
    void Reply(const ReceivedFrame& request, const Bytes& data, std::uint16_t flags = 0) {
        PacketReader reader(data);
        session.NetForTesting().DispatchSnac(session.Conn(), reader,
                                             SnacHeader{0x0015, 0x0003, flags, request.Snac().requestId});
    }
    std::size_t CountPosted(ChangeCode code) {
        std::size_t n = 0;
        for (ChangeCode c : posted.TakeCodes()) n += c == code ? 1 : 0;
        return n;
    }
    void LoadList(const std::vector<Bytes>& items) {
        session.Dispatch(0x0013, 0x0006, ContactListReply(items));
        (void)NextSnac(0x0013, 0x0007);  // the activation
    }

    std::int64_t clockMs = 1000000;

private:
    bool Read(Bytes& into) {
        std::size_t got = 0;
        while (got < into.size()) {
            pollfd p{peer_, POLLIN, 0};
            if (::poll(&p, 1, 1000) <= 0) return false;
            const long n = ::recv(peer_, into.data() + got, into.size() - got, 0);
            if (n <= 0) return false;
            got += static_cast<std::size_t>(n);
        }
        return true;
    }
    int peer_ = -1;
};

// ---- The directory ----

TEST_F(People, ASearchByEmailListsEveryReplyAndTheLastTellsWhatIsLeft) {
    ASSERT_TRUE(session.People().Search(session.Conn(), Search(7, {}, u"vera@example.org")));
    const ReceivedFrame request = NextSnac(0x0015, 0x0002);
    EXPECT_EQ(MetaSubtype(request), kMetaSearchByEmail);
    EXPECT_GT(+request.Snac().requestId, 0xFFFFu);
    EXPECT_EQ(ToHex(MetaBody(request)), ToHex(FromHex("5E01 1300 1100") + BytesOf("vera@example.org") + Bytes{0}));

    Reply(request, PeopleReply(kMetaUserFound, FoundRecord(100004, "Vera", "vera@example.org", 1)), 0x0001);
    SearchResults results = session.People().Results();
    EXPECT_EQ(results.search, 7u);
    EXPECT_FALSE(results.finished);
    ASSERT_EQ(results.users.size(), 1u);
    Reply(request, PeopleReply(kMetaLastUserFound, FoundRecord(100005, "V2", "vera@example.org", 2, 3)));
    results = session.People().Results();
    EXPECT_TRUE(results.finished);
    EXPECT_EQ(results.left, 3u);
    ASSERT_EQ(results.users.size(), 2u);
    EXPECT_EQ(results.users[0], (FoundUser{u"100004", u"Vera", u"First", u"Last", u"vera@example.org",
                                           true, 1, 1, 27}));
    EXPECT_EQ(results.users[1].online, -1);  // 2: the server does not say
    EXPECT_EQ(CountPosted(ChangeCode::PeopleReplied), 2u);
    // The request is over: a further reply under its id is someone else's.
    Reply(request, PeopleReply(kMetaLastUserFound, FoundRecord(100006, "X", "x", 1, 0)));
    EXPECT_EQ(session.People().Results().users.size(), 2u);
}

TEST_F(People, SearchesByUinAndByNamesSendOnlyWhatWasGiven) {
    ASSERT_TRUE(session.People().Search(session.Conn(), Search(1, u"100004")));
    ReceivedFrame request = NextSnac(0x0015, 0x0002);
    EXPECT_EQ(MetaSubtype(request), kMetaSearchByUin);
    EXPECT_EQ(ToHex(MetaBody(request)), ToHex(FromHex("3601 0400") + Le32(100004)));

    ASSERT_TRUE(session.People().Search(session.Conn(), Search(2, {}, {}, u"Вера", u"Ли")));
    request = NextSnac(0x0015, 0x0002);
    EXPECT_EQ(MetaSubtype(request), kMetaSearchByNames);
    EXPECT_EQ(ToHex(MetaBody(request)),
              ToHex(FromHex("5401 0700 0500") + Local(u"Вера") + Bytes{0} + FromHex("4A01 0500 0300") +
                    Local(u"Ли") + Bytes{0}));
    // Nothing to search by: nobody, at once, and nothing sent.
    EXPECT_FALSE(session.People().Search(session.Conn(), Search(3, {})));
    EXPECT_TRUE(Quiet());
    EXPECT_TRUE(session.People().Results().finished);
    EXPECT_TRUE(session.People().Results().users.empty());
}

TEST_F(People, NobodyFoundAndRepliesToAnOlderSearch) {
    ASSERT_TRUE(session.People().Search(session.Conn(), Search(1, {}, u"a@b")));
    const ReceivedFrame first = NextSnac(0x0015, 0x0002);
    ASSERT_TRUE(session.People().Search(session.Conn(), Search(2, {}, u"c@d")));
    const ReceivedFrame second = NextSnac(0x0015, 0x0002);
    Reply(first, PeopleReply(kMetaLastUserFound, FoundRecord(111, "Old", "a@b", 1, 0)));
    EXPECT_FALSE(session.People().Results().finished);
    Reply(second, PeopleReply(kMetaLastUserFound, Bytes{0x32}));
    const SearchResults results = session.People().Results();
    EXPECT_EQ(results.search, 2u);
    EXPECT_TRUE(results.finished);
    EXPECT_TRUE(results.users.empty());
}

// ---- Details ----

TEST_F(People, FullDetailsFillEveryRecordAndEndWithTheLastReply) {
    ASSERT_TRUE(session.People().RequestDetails(session.Conn(), u"100004"));
    const ReceivedFrame request = NextSnac(0x0015, 0x0002);
    EXPECT_EQ(MetaSubtype(request), kMetaFullDetails);
    EXPECT_EQ(ToHex(MetaBody(request)), ToHex(Le32(100004)));

    const auto text = [](const std::u16string& t) { return MetaString(Local(t)); };
    Reply(request,
          PeopleReply(kMetaBasicDetails, Bytes{0x0A} + text(u"Вера") + text(u"Вера") + text(u"Соколова") +
                                             text(u"vera@example.org") + text(u"Тверь") + text(u"") +
                                             text(u"123") + text(u"") + text(u"") + text(u"+7") +
                                             text(u"170000") + Le16(7) + Bytes{0x0C, 0x01, 0, 0, 1}),
          0x0001);
    EXPECT_FALSE(session.People().Details(u"100004")->finished);
    Reply(request, PeopleReply(kMetaMoreDetails, Bytes{0x0A} + Le16(27) + Bytes{1} + text(u"http://v") +
                                                     Le16(1997) + Bytes{5, 17, 0, 0, 0}),
          0x0001);
    Reply(request, PeopleReply(kMetaEmailDetails, Bytes{0x0A, 2, 0} + text(u"v2@x") + Bytes{1} + text(u"v3@x")),
          0x0001);
    Reply(request, PeopleReply(kMetaWorkDetails, Bytes{0x0A} + text(u"Москва") + text(u"") + text(u"") +
                                                     text(u"") + text(u"") + text(u"") + Le16(7) +
                                                     text(u"ООО") + text(u"ИТ") + text(u"инженер") +
                                                     Le16(0) + text(u"")),
          0x0001);
    Reply(request, PeopleReply(0x010E, Bytes{0x0A, 0}), 0x0001);  // read as nothing
    Reply(request, PeopleReply(kMetaInterestDetails, Bytes{0x0A, 1} + Le16(100) + text(u"книги")), 0x0001);
    Reply(request, PeopleReply(kMetaAboutDetails, Bytes{0x0A} + text(u"Строка\r\nвторая\x01")));
    const std::optional<UserDetails> d = session.People().Details(u"100004");
    ASSERT_TRUE(d);
    EXPECT_TRUE(d->finished);
    EXPECT_TRUE(d->found);
    EXPECT_EQ(d->nickname, u"Вера");
    EXPECT_EQ(d->lastName, u"Соколова");
    EXPECT_EQ(d->city, u"Тверь");
    EXPECT_EQ(d->cellular, u"+7");
    EXPECT_EQ(d->zip, u"170000");
    EXPECT_EQ(d->country, 7);
    EXPECT_EQ(d->timezone, 0x0C);
    EXPECT_TRUE(d->authorization);
    EXPECT_TRUE(d->publishEmail);
    EXPECT_EQ(d->age, 27);
    EXPECT_EQ(d->gender, 1);
    EXPECT_EQ(d->homepage, u"http://v");
    EXPECT_EQ(d->birthYear, 1997);
    EXPECT_EQ(d->birthDay, 17);
    EXPECT_EQ(d->emails, (std::vector<std::u16string>{u"v2@x", u"v3@x"}));
    EXPECT_EQ(d->company, u"ООО");
    EXPECT_EQ(d->position, u"инженер");
    EXPECT_EQ(d->interests, (std::vector<std::pair<std::uint16_t, std::u16string>>{{100, u"книги"}}));
    EXPECT_EQ(d->about, u"Строка\r\nвторая ");  // line breaks kept, control characters not
}

// Every record cut at every length: what came before the cut is kept, nothing is
// read past it, and the request still ends with its last reply.
TEST_F(People, DetailsCutAnywhereKeepWhatCame) {
    const Bytes basic = Bytes{0x0A} + MetaString(BytesOf("Nick")) + MetaString(BytesOf("First")) +
                        MetaString(BytesOf("Last")) + Le16(3);
    for (std::size_t cut = 0; cut <= basic.size(); ++cut) {
        ASSERT_TRUE(session.People().RequestDetails(session.Conn(), u"42"));
        const ReceivedFrame request = NextSnac(0x0015, 0x0002);
        Reply(request, PeopleReply(kMetaBasicDetails, Slice(basic, 0, cut)));
        const std::optional<UserDetails> d = session.People().Details(u"42");
        ASSERT_TRUE(d);
        EXPECT_TRUE(d->finished) << cut;
        EXPECT_EQ(d->found, cut >= 1) << cut;
        EXPECT_EQ(d->nickname, cut >= 8 ? u"Nick" : u"") << cut;
        EXPECT_EQ(d->lastName, cut >= 23 ? u"Last" : u"") << cut;
    }
    EXPECT_EQ(session.Rejected().size(), 1u);  // the empty one: no result byte
}

// ---- Own details ----

TEST_F(People, OwnDetailsGoOutAsTwoSetsAndTheirAnswersAreTold) {
    SaveOwnDetailsCommand details;
    details.nickname = u"Ник";
    details.firstName = u"Иван";
    details.email = u"i@x.ru";
    details.city = u"Тула";
    details.phone = u"12";
    details.country = 7;
    details.timezone = 0xFD;
    details.publishEmail = true;
    details.about = u"Обо мне";
    ASSERT_TRUE(session.People().SaveOwnDetails(session.Conn(), details));
    const ReceivedFrame basic = NextSnac(0x0015, 0x0002);
    const ReceivedFrame about = NextSnac(0x0015, 0x0002);
    EXPECT_EQ(MetaSubtype(basic), kMetaSetBasic);
    EXPECT_EQ(ToHex(MetaBody(basic)),
              ToHex(FromHex("0400") + Local(u"Ник") + FromHex("00 0500") + Local(u"Иван") +
                    FromHex("00 0100 00 0700") + BytesOf("i@x.ru") + FromHex("00 0500") + Local(u"Тула") +
                    FromHex("00 0100 00 0300") + BytesOf("12") + FromHex("00 0100 00 0100 00 0100 00 0100 00") +
                    FromHex("0700 FD 01")));
    EXPECT_EQ(MetaSubtype(about), kMetaSetAbout);
    EXPECT_EQ(ToHex(MetaBody(about)), ToHex(FromHex("0800") + Local(u"Обо мне") + Bytes{0}));

    const std::uint32_t serial = session.People().LastSave().serial;
    Reply(basic, PeopleReply(kMetaSetBasicAnswer, Bytes{0x0A}));
    EXPECT_FALSE(session.People().LastSave().finished);
    Reply(about, PeopleReply(kMetaSetAboutAnswer, Bytes{0x0A}));
    EXPECT_TRUE(session.People().LastSave().finished);
    EXPECT_TRUE(session.People().LastSave().saved);

    // A refusal of either set is a save that failed; so is a connection that ends.
    ASSERT_TRUE(session.People().SaveOwnDetails(session.Conn(), details));
    const ReceivedFrame basic2 = NextSnac(0x0015, 0x0002);
    const ReceivedFrame about2 = NextSnac(0x0015, 0x0002);
    Reply(about2, PeopleReply(kMetaSetAboutAnswer, Bytes{0x32}));
    Reply(basic2, PeopleReply(kMetaSetBasicAnswer, Bytes{0x0A}));
    EXPECT_EQ(session.People().LastSave().serial, serial + 1);
    EXPECT_TRUE(session.People().LastSave().finished);
    EXPECT_FALSE(session.People().LastSave().saved);
    ASSERT_TRUE(session.People().SaveOwnDetails(session.Conn(), details));
    session.ReportState(ConnState::Disconnected);
    EXPECT_TRUE(session.People().LastSave().finished);
    EXPECT_FALSE(session.People().LastSave().saved);
}

// ---- Away texts ----

TEST_F(People, AnAutoMessageRequestIsAnsweredWithTheTextOfOnesPresence) {
    model.UpdateSettings([](Settings& s) { s.profiles[s.profile].values[AwayTextKey(StatusAway)] = u"Ушёл обедать"; });
    const Bytes cookie = FromHex("0102030405060708");
    // Online: nothing to answer.
    session.Dispatch(0x0004, 0x0007, AutoRequest("4444", cookie, 0xE8));
    EXPECT_TRUE(Quiet());

    session.NetForTesting().PerformCommandForTesting(StatusCommand{OwnStatusBits(StatusAway)});
    (void)NextSnac(0x0001, 0x001E);
    session.Dispatch(0x0004, 0x0007, AutoRequest("4444", cookie, 0xE8));
    const ReceivedFrame answer = NextSnac(0x0004, 0x000B);
    const Bytes head = cookie + FromHex("0002 04") + BytesOf("4444") + FromHex("0003");
    const Bytes tail = Bytes{0xE8, 0x03} + Le16(0) + Le16(0) + MetaString(Local(u"Ушёл обедать"));
    ASSERT_EQ(answer.data.size(), 10 + head.size() + 2 + 27 + 2 + 14 + tail.size());
    EXPECT_EQ(ToHex(Slice(answer.data, 10, head.size())), ToHex(head));
    EXPECT_EQ(ToHex(Slice(answer.data, 10 + head.size(), 2)), ToHex(Le16(27)));
    EXPECT_EQ(ToHex(Slice(answer.data, 10 + head.size() + 29, 2)), ToHex(Le16(14)));
    EXPECT_EQ(ToHex(Slice(answer.data, answer.data.size() - tail.size())), ToHex(tail));
    // The request itself is no message: nobody was added, nothing stored.
    EXPECT_TRUE(session.Messages().empty());
    EXPECT_EQ(model.FindContact(u"4444"), nullptr);
    // The ignored are not answered.
    ContactInfo ignored = Info(u"5555");
    ignored.SetIgnored(true);
    model.AddContact(ignored, false);
    session.Dispatch(0x0004, 0x0007, AutoRequest("5555", cookie, 0xE8));
    EXPECT_TRUE(Quiet());

    // Asked again at once: answered again only once the interval is over.
    session.Dispatch(0x0004, 0x0007, AutoRequest("4444", cookie, 0xE8));
    EXPECT_TRUE(Quiet());
    clockMs += kAwayAnswerIntervalMs;
    session.Dispatch(0x0004, 0x0007, AutoRequest("4444", cookie, 0xE8));
    EXPECT_FALSE(NextSnac(0x0004, 0x000B).data.empty());
    // A flood of askers gets so many answers a minute, no more.
    clockMs += 60000;
    for (int i = 0; i < kMaxAwayAnswersPerMinute + 5; ++i) {
        session.Dispatch(0x0004, 0x0007, AutoRequest(std::to_string(3000 + i), cookie, 0xE8));
    }
    int answers = 0;
    while (!NextSnac(0x0004, 0x000B).data.empty()) ++answers;
    EXPECT_EQ(answers, kMaxAwayAnswersPerMinute);
}

TEST_F(People, AContactsAwayTextIsAskedOnceAndShownAsASystemLine) {
    Add(u"5555", u"Боб", StatusAway);
    session.NetForTesting().PerformCommandForTesting(RequestAwayTextCommand{u"5555", StatusAway});
    session.NetForTesting().PerformCommandForTesting(RequestAwayTextCommand{u"5555", StatusAway});
    const ReceivedFrame request = NextSnac(0x0004, 0x0006);
    EXPECT_TRUE(Quiet());  // asked once
    const Bytes cookie = Slice(request.data, 10, 8);
    EXPECT_EQ(ToHex(Slice(request.data, 18, 7)), ToHex(FromHex("0002 04") + BytesOf("5555")));
    // The message type, then flags, status, priority, an empty text and TLV 0x0003.
    EXPECT_EQ(ToHex(Slice(request.data, request.data.size() - 13)),
              ToHex(FromHex("E8 03 0000 0100 0100 00 0003 0000")));

    session.Dispatch(0x0004, 0x000B, AutoAnswer("5555", FromHex("FFFFFFFFFFFFFFFF"), 0xE8, BytesOf("no")));
    session.Dispatch(0x0004, 0x000B, AutoAnswer("5555", cookie, 0xE8, Local(u"На обеде")));
    const auto history = model.GetHistory(model.FindContact(u"5555"));
    ASSERT_EQ(history->Count(), 1u);
    EXPECT_EQ(history->Entries()[0].text, u"Статус «Отсутствую»: На обеде");
    EXPECT_EQ(history->Entries()[0].direction, MessageDirection::System);
    EXPECT_EQ(session.Rejected(), (std::vector<std::pair<int, int>>{{0x0004, 0x000B}}));

    // Another presence is asked about again.
    session.OnContactStatus(session.Conn(), u"5555", StatusNotAvailable);
    session.NetForTesting().PerformCommandForTesting(RequestAwayTextCommand{u"5555", StatusNotAvailable});
    EXPECT_FALSE(NextSnac(0x0004, 0x0006).data.empty());
}

// ---- Privacy ----

TEST_F(People, NothingOfAnIgnoredNumberIsShownStoredOrAnnounced) {
    ContactInfo info = Info(u"6666", u"Spam");
    info.SetIgnored(true);
    model.AddContact(info, false);
    posted.Take();
    session.Dispatch(0x0004, 0x0007, IncomingMessage(1, UserInfo("6666", {StatusTlv(0)}), MessageTlv(BytesOf("buy"))));
    session.Dispatch(0x0015, 0x0003, OfflineMessage(6666, BytesOf("buy later")));
    session.Dispatch(0x0013, 0x0019, Bytes{4} + BytesOf("6666") + BigEndian16(3) + BytesOf("pls") + BigEndian16(0));
    session.Dispatch(0x0013, 0x001C, Bytes{4} + BytesOf("6666"));
    session.Dispatch(0x0004, 0x0014, FromHex("0000000000000000 0001 04") + BytesOf("6666") + FromHex("0002"));
    session.Dispatch(0x0003, 0x000B, UserInfo("6666", {StatusTlv(0x0001)}));
    EXPECT_FALSE(platform::FileExists(dir.path() + "msg_6666.txt"));
    EXPECT_TRUE(announcer.Calls().empty());
    EXPECT_FALSE(session.TakeAuthRequest());
    EXPECT_TRUE(posted.Take().empty());
    const ContactInfo after = Snapshot(u"6666");
    EXPECT_EQ(after.unreadCount, 0);
    // Its presence is kept unseen, to show right once it is no longer ignored.
    EXPECT_EQ(after.status, StatusAway);
    EXPECT_FALSE(after.typing());
}

TEST_F(People, TheServerListsIgnoreItemsMarkTheContacts) {
    Add(u"1111", u"A");
    ContactInfo marked = Info(u"2222", u"B");
    marked.SetIgnored(true);
    model.AddContact(marked, false);
    Add(u"4444", u"D");
    LoadList({Buddy("1111", BytesOf("A")), ListItem("1111", kItemTypeIgnore, {}, 0, 5),
              ListItem("9999", kItemTypeIgnore, {}, 0, 6), ListItem("3333", kItemTypeDeny, {}, 0, 7),
              ListItem("4444", kItemTypeIgnore, {}, 0, 8)});
    // Of the local contacts the list lacks, only the one not ignored is watched.
    EXPECT_EQ(ToHex(Slice(NextSnac(0x0003, 0x0004).data, 10)), ToHex(Bytes{4} + BytesOf("2222")));
    EXPECT_TRUE(Snapshot(u"1111").ignored());
    EXPECT_FALSE(Snapshot(u"2222").ignored());  // taken off the list elsewhere
    EXPECT_TRUE(Snapshot(u"9999").ignored());   // kept out from now on, hidden
    EXPECT_EQ(model.FindContact(u"3333"), nullptr);
    EXPECT_TRUE(session.ServerList().OnPrivacyList(kItemTypeDeny, "3333"));
    model.FlushSaves();
    std::vector<ContactInfo> stored;
    ASSERT_TRUE(ReadContactListFile(dir.path() + "contacts_123456789.txt", stored));
    std::vector<std::u16string> ignoredUins;
    for (const ContactInfo& c : stored) {
        if (c.ignored()) ignoredUins.push_back(c.uin);
    }
    EXPECT_EQ(ignoredUins, (std::vector<std::u16string>{u"1111", u"4444", u"9999"}));
}

TEST_F(People, PrivacyItemsGoToTheServerListAndDenyingHonoursTheVisibility) {
    LoadList({ListItem("", 0x0004, FromHex("00CA 0001 01"), 0, 0x0010)});
    session.NetForTesting().PerformCommandForTesting(PrivacyCommand{u"7777", kItemTypeDeny, true});
    EXPECT_FALSE(NextSnac(0x0013, 0x0011).data.empty());
    ReceivedFrame add = NextSnac(0x0013, 0x0008);
    EXPECT_EQ(ToHex(Slice(add.data, 10)), ToHex(ListItem("7777", kItemTypeDeny, {}, 0, 0x0011)));
    EXPECT_FALSE(NextSnac(0x0013, 0x0012).data.empty());
    const ReceivedFrame visibility = NextSnac(0x0013, 0x0009);
    EXPECT_EQ(ToHex(Slice(visibility.data, 10)), ToHex(ListItem("", 0x0004, FromHex("00CA 0001 04"), 0, 0x0010)));
    EXPECT_TRUE(session.ServerList().OnPrivacyList(kItemTypeDeny, "7777"));
    // On it already: nothing more goes out.
    session.NetForTesting().PerformCommandForTesting(PrivacyCommand{u"7777", kItemTypeDeny, true});
    (void)NextSnac(0x0013, 0x0012);
    EXPECT_TRUE(Quiet());

    session.NetForTesting().PerformCommandForTesting(PrivacyCommand{u"7777", kItemTypeDeny, false});
    const ReceivedFrame removal = NextSnac(0x0013, 0x000A);
    EXPECT_EQ(ToHex(Slice(removal.data, 10)), ToHex(ListItem("7777", kItemTypeDeny, {}, 0, 0x0011)));
    EXPECT_FALSE(session.ServerList().OnPrivacyList(kItemTypeDeny, "7777"));

    // The ignore list alike.
    session.NetForTesting().PerformCommandForTesting(PrivacyCommand{u"8888", kItemTypeIgnore, true});
    add = NextSnac(0x0013, 0x0008);
    EXPECT_EQ(ToHex(Slice(add.data, 10)), ToHex(ListItem("8888", kItemTypeIgnore, {}, 0, 0x0012)));
}

// ---- Strangers ----

TEST_F(People, OnlyListedHoldsStrangersBackAndTellsOnceAMinute) {
    model.UpdateSettings([](Settings& s) { s.onlylisted = true; });
    Add(u"1111", u"Friend");
    const auto message = [](const std::string& uin) {
        return IncomingMessage(1, UserInfo(uin, {StatusTlv(0)}), MessageTlv(BytesOf("hello")));
    };
    session.Dispatch(0x0004, 0x0007, message("2001"));
    session.Dispatch(0x0015, 0x0003, OfflineMessage(2002, BytesOf("stored")));
    session.Dispatch(0x0013, 0x0019, Bytes{4} + BytesOf("2003") + BigEndian16(0) + BigEndian16(0));
    session.Dispatch(0x0013, 0x001C, Bytes{4} + BytesOf("2004"));
    session.Dispatch(0x0003, 0x000B, UserInfo("2005", {StatusTlv(0)}));  // no contact, not counted
    session.Dispatch(0x0004, 0x0007, message("1111"));

    EXPECT_EQ(model.ContactCount(), 1u);
    for (const char* uin : {"2001", "2002", "2003", "2004"}) {
        EXPECT_FALSE(platform::FileExists(dir.path() + "msg_" + uin + ".txt")) << uin;
    }
    EXPECT_EQ(Snapshot(u"1111").unreadCount, 1);
    // The first at once; the other three once the minute is over.
    const auto notices = [&] {
        std::vector<std::u16string> bodies;
        for (const auto& call : announcer.Calls()) {
            if (call.what == "notification" && call.first == LoadString(str::kHeldBackTitle)) bodies.push_back(call.second);
        }
        return bodies;
    };
    EXPECT_EQ(notices(), (std::vector<std::u16string>{FormatString(str::kHeldBackNotice, {u"1"})}));
    // The application is asked to flush once the second waits, not with every one
    // after it, and only until nothing is left: an idle one is not woken for nothing.
    EXPECT_EQ(CountPosted(ChangeCode::HeldBackWaiting), 1u);
    clockMs += kHeldBackNoticeIntervalMs - 1;
    EXPECT_TRUE(session.FlushHeldBack());
    EXPECT_EQ(notices().size(), 1u);
    clockMs += 1;
    EXPECT_FALSE(session.FlushHeldBack());
    EXPECT_FALSE(session.FlushHeldBack());
    EXPECT_EQ(notices(), (std::vector<std::u16string>{FormatString(str::kHeldBackNotice, {u"1"}),
                                                      FormatString(str::kHeldBackNotice, {u"3"})}));
}

}  // namespace
}  // namespace pellox::testing
