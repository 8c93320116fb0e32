// People on the local server: the directory search, full information, own
// details, away messages and who may see and reach whom.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "platform/files.h"
#include "tests/tools/oscar_test_client.h"

namespace pellox::server::test {
namespace {

// One reply of a meta information request: subtype, success byte, "more follow"
// flag and what follows.
struct InfoReply {
    std::uint16_t subtype = 0;
    std::uint8_t result = 0;
    bool more = false;
    std::vector<std::uint8_t> rest;
};

// Sends the request and reads its replies up to the one without "more follow".
std::vector<InfoReply> Ask(TestClient& client, const std::string& ownUin, std::uint16_t subtype,
                           const PacketBuffer& data) {
    client.SendSnac(0x0015, 0x0002, 0x5EA, InfoPayload(static_cast<std::uint32_t>(std::stoul(ownUin)), 9, subtype, data));
    std::vector<InfoReply> replies;
    do {
        std::optional<Snac> snac = client.WaitSnac(0x0015, 0x0003);
        MetaReply meta;
        if (!snac || !ParseMetaReply(*snac, meta) || meta.type != 0x07DA || meta.sequence != 9 || meta.rest.size() < 3) {
            ADD_FAILURE() << "no whole answer to meta request " << subtype;
            return replies;
        }
        replies.push_back({static_cast<std::uint16_t>(meta.rest[0] | meta.rest[1] << 8), meta.rest[2],
                           (snac->header.flags & kSnacFlagMoreReplies) != 0, {meta.rest.begin() + 3, meta.rest.end()}});
    } while (replies.back().more);
    return replies;
}

PacketBuffer Strings(std::initializer_list<std::string> texts) {
    PacketBuffer p;
    for (const std::string& text : texts) AppendMetaString(p, text);
    return p;
}

PacketBuffer Uin32(std::uint32_t uin) {
    PacketBuffer p;
    AppendU32Le(p, uin);
    return p;
}

// The meta strings of a reply from byte `skip` on.
std::vector<std::string> Texts(const InfoReply& reply, std::size_t count, std::size_t skip = 0) {
    PacketReader reader(reply.rest);
    EXPECT_TRUE(reader.Skip(skip));
    std::vector<std::string> texts(count);
    for (std::string& text : texts) EXPECT_TRUE(ReadMetaString(reader, text));
    return texts;
}

struct FoundUser {
    std::uint32_t uin = 0;
    std::string nickname, first, last, email;
    std::uint8_t auth = 0, gender = 0;
    std::uint16_t status = 0, age = 0;
    std::uint32_t left = 0;
};

// The users of a search's replies: found-user replies flagged "more follow",
// the last one the last-result reply; a failure is the last reply, alone.
std::vector<FoundUser> Found(const std::vector<InfoReply>& replies) {
    std::vector<FoundUser> users;
    for (const InfoReply& reply : replies) {
        const bool last = &reply == &replies.back();
        EXPECT_EQ(reply.subtype, last ? 0x01AE : 0x01A4);
        if (reply.result != 0x0A) {
            EXPECT_TRUE(last && reply.rest.empty() && reply.result == 0x32);
            continue;
        }
        PacketReader reader(reply.rest);
        FoundUser& user = users.emplace_back();
        std::uint16_t size = 0;
        EXPECT_TRUE(ReadU16Le(reader, size) && ReadU32Le(reader, user.uin) && ReadMetaString(reader, user.nickname) &&
                    ReadMetaString(reader, user.first) && ReadMetaString(reader, user.last) &&
                    ReadMetaString(reader, user.email) && ReadU8(reader, user.auth) &&
                    ReadU16Le(reader, user.status) && ReadU8(reader, user.gender) && ReadU16Le(reader, user.age));
        EXPECT_EQ(size, reader.Position() - 2) << "the size counts the record up to the age";
        EXPECT_TRUE((!last || ReadU32Le(reader, user.left)) && reader.AtEnd());
    }
    return users;
}

std::vector<std::uint32_t> UinsOf(const std::vector<FoundUser>& users) {
    std::vector<std::uint32_t> uins;
    for (const FoundUser& user : users) uins.push_back(user.uin);
    return uins;
}

using PeopleTest = ServerTest;

TEST_F(PeopleTest, DirectorySearchFindsByEmailNameAndUin) {
    AccountStore accounts = AccountStore::Demo();
    for (Uin uin = 300001; uin <= 300025; ++uin) {
        Account a;
        a.uin = uin;
        a.details["last"] = "Petrov";
        accounts.Add(std::move(a));
    }
    StartServer(TestConfig(), std::move(accounts));
    std::unique_ptr<TestClient> alice = SignOn(server, kAlice, "alice");
    ASSERT_TRUE(alice);
    PacketBuffer lastTlv, whitePages = Strings({"", "", "\xC2\xE5\xF0\xE0", ""});
    AppendU16Le(lastTlv, 0x014A);
    AppendU16Le(lastTlv, 9);
    AppendMetaString(lastTlv, "\xF1\xEE\xEA\xEE\xEB*");  // "сокол*"
    for (int i = 0; i < 6; ++i) AppendU8(whitePages, 0);  // age range, gender, language
    AppendMetaString(whitePages, "\xF2\xE2\xE5\xF0\xFC");  // "тверь"
    const struct {
        const char* what;
        std::uint16_t subtype;
        PacketBuffer data;
        std::vector<std::uint32_t> found;
    } rows[] = {
        {"e-mail, other case", 0x0529, Strings({"VERA@Example.ORG"}), {100004}},
        {"part of an e-mail", 0x0529, Strings({"vera@example"}), {}},
        {"first name, small letters", 0x0515, Strings({"\xE2\xE5\xF0\xE0", "", ""}), {100004}},
        {"first name in UTF-8 capitals", 0x0515, Strings({"\xD0\x92\xD0\x95\xD0\xA0\xD0\x90", "", ""}), {100004}},
        {"last name wildcard, TLV", 0x055F, lastTlv, {100004}},
        {"white pages: nickname and city", 0x0533, whitePages, {100004}},
        {"no criterion at all", 0x0515, Strings({"", "", ""}), {}},
        {"UIN", 0x051F, Uin32(100002), {100002}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(UinsOf(Found(Ask(*alice, kAlice, row.subtype, row.data))), row.found);
    }

    const std::vector<FoundUser> vera = Found(Ask(*alice, kAlice, 0x0529, Strings({"vera@example.org"})));
    ASSERT_EQ(vera.size(), 1u);
    EXPECT_EQ((std::vector<std::string>{vera[0].nickname, vera[0].first, vera[0].last, vera[0].email}),
              (std::vector<std::string>{"\xC2\xE5\xF0\xE0", "\xC2\xE5\xF0\xE0", "\xD1\xEE\xEA\xEE\xEB\xEE\xE2\xE0",
                                        "vera@example.org"}));
    EXPECT_EQ(vera[0].gender, 1);
    EXPECT_EQ(vera[0].age, 27);
    const std::vector<FoundUser> petrovs = Found(Ask(*alice, kAlice, 0x0515, Strings({"", "petrov", ""})));
    ASSERT_EQ(petrovs.size(), 20u) << "at most twenty";
    EXPECT_EQ(petrovs.back().left, 5u);

    // She shows as online only to whom may see her: not while she is invisible.
    std::unique_ptr<TestClient> online = SignOn(server, kVera, "vera");
    ASSERT_TRUE(online);
    for (std::uint32_t word : {0x00010000u, 0x00010100u}) {
        online->SendSnac(0x0001, 0x001E, 0x1E, StatusPayload(word));
        Drain(*online, kVera);
        const std::vector<FoundUser> found = Found(Ask(*alice, kAlice, 0x051F, Uin32(100004)));
        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(found[0].status, word == 0x00010000u ? 1 : 0);
    }
}

// What Alice sets about herself: answered under each set's own subtype, read by
// Boris in the eight replies of full information, and kept in the accounts file
// of the data directory across a restart with every other line as it was. A set
// that does not read whole, or is not kept, changes nothing and says so.
TEST_F(PeopleTest, OwnDetailsReachOthersAndSurviveARestart) {
    TempDir dir;
    dir.Write("accounts.txt",
              "# the people of this server\r\n"
              "[100001]\r\npassword=alice\r\nnickname=Alice\r\ncity=Old town\r\nbuddies=100002\r\n"
              "[100002]\r\npassword=boris\r\nnickname=Boris\r\n");
    ASSERT_EQ(chmod(dir.File("accounts.txt").c_str(), 0600), 0);
    const ServerConfig config =
        ParseCommandLine({"--data-dir", dir.Path(), "--port-auth", "0", "--port-bos", "0"}).config;
    StartServer(config);

    const std::string about = "first line\r\nsecond \\ line";
    PacketBuffer more;
    AppendU16Le(more, 30);
    AppendU8(more, 1);
    AppendMetaString(more, "http://alice.example.org");
    PacketBuffer emails;
    AppendU8(emails, 1);
    AppendU8(emails, 0);
    AppendMetaString(emails, "alice@home.example");
    {
        std::unique_ptr<TestClient> alice = SignOn(server, kAlice, "alice");
        ASSERT_TRUE(alice);
        const struct {
            std::uint16_t subtype;
            PacketBuffer data;
            std::uint16_t answer;
            std::uint8_t result;
        } sets[] = {
            {0x03EA, Strings({"Alisa", "\xC0\xEB\xE8\xF1\xE0", "", "alice@example.org", "\xCC\xEE\xF1\xEA\xE2\xE0"}),
             0x0064, 0x0A},
            {0x03FD, more, 0x0078, 0x0A},
            {0x0406, Strings({about}), 0x0082, 0x0A},
            {0x040B, emails, 0x0087, 0x0A},
            {0x03EA, Strings({"Alisa\r\npassword=x"}), 0x0064, 0x32},
            {0x03F3, Strings({"Work city"}), 0x006E, 0x32},
        };
        for (const auto& set : sets) {
            const std::vector<InfoReply> answer = Ask(*alice, kAlice, set.subtype, set.data);
            ASSERT_EQ(answer.size(), 1u);
            EXPECT_EQ(answer[0].subtype, set.answer);
            EXPECT_EQ(answer[0].result, set.result) << set.subtype;
        }
    }
    auto expectDetails = [&] {
        std::unique_ptr<TestClient> boris = SignOn(server, kBoris, "boris");
        ASSERT_TRUE(boris);
        const std::vector<InfoReply> info = Ask(*boris, kBoris, 0x04B2, Uin32(100001));
        const std::uint16_t order[] = {0x00C8, 0x00DC, 0x00EB, 0x010E, 0x00D2, 0x00E6, 0x00F0, 0x00FA};
        ASSERT_EQ(info.size(), std::size(order));
        for (std::size_t i = 0; i < info.size(); ++i) EXPECT_EQ(info[i].subtype, order[i]);
        EXPECT_EQ(Texts(info[0], 6), (std::vector<std::string>{"Alisa", "\xC0\xEB\xE8\xF1\xE0", "", "alice@example.org",
                                                               "\xCC\xEE\xF1\xEA\xE2\xE0", ""}));
        EXPECT_EQ(std::vector<std::uint8_t>(info[1].rest.begin(), info[1].rest.begin() + 3),
                  (std::vector<std::uint8_t>{30, 0, 1}));  // age, gender
        EXPECT_EQ(Texts(info[1], 1, 3)[0], "http://alice.example.org");
        EXPECT_EQ(Texts(info[2], 1, 2)[0], "alice@home.example");  // behind the count and the flag
        EXPECT_EQ(Texts(info[5], 1)[0], about);
        EXPECT_EQ(UinsOf(Found(Ask(*boris, kBoris, 0x0529, Strings({"alice@example.org"})))),
                  (std::vector<std::uint32_t>{100001}));
        for (const InfoReply& reply : Ask(*boris, kBoris, 0x04B2, Uin32(123456))) {
            EXPECT_TRUE(reply.result == 0x32 && reply.rest.empty()) << "an unknown UIN";
        }
    };
    expectDetails();
    server.Stop();

    std::string file;
    ASSERT_TRUE(platform::ReadWholeFile(dir.File("accounts.txt"), file));
    EXPECT_EQ(file.rfind("# the people of this server\r\n[100001]\r\nnickname=Alisa\r\nabout=first line\\x0D\\x0Asecond "
                         "\\\\ line\r\n",
                         0),
              0u)
        << file;
    EXPECT_EQ(file.find("Old town"), std::string::npos) << "the old city is replaced";
    EXPECT_NE(file.find("password=alice\r\nbuddies=100002\r\n[100002]\r\npassword=boris\r\nnickname=Boris\r\n"),
              std::string::npos)
        << file;
    StartServer(config);
    expectDetails();
}

// Boris is away; Alice asks for his away text and gets his answer, its text cut
// to the bound. An answer that answers nothing is dropped; a request to an
// account that is offline, or a channel-2 message of another kind, is refused.
TEST_F(PeopleTest, AutoMessageRequestAndItsAnswerAreRelayed) {
    StartServer();
    std::unique_ptr<TestClient> alice = SignOn(server, kAlice, "alice");
    std::unique_ptr<TestClient> boris = SignOn(server, kBoris, "boris");
    ASSERT_TRUE(alice && boris);
    boris->SendSnac(0x0001, 0x001E, 0x1E, StatusPayload(0x00010001));
    Drain(*boris, kBoris);  // he is ready and away before anyone asks

    auto askAndAnswer = [&](const std::string& text) -> std::string {
        alice->SendSnac(0x0004, 0x0006, 0xA5, AutoMessageRequestPayload(kBoris, 0xE8));
        std::optional<Snac> relayed = boris->WaitSnac(0x0004, 0x0007);
        if (!relayed) return "no request relayed";
        PacketReader reader = relayed->Reader();
        UserInfoBlock from;
        std::uint16_t channel = 0;
        std::vector<TlvValue> tlvs;
        EXPECT_TRUE(reader.Skip(8) && ReadU16(reader, channel) && ParseUserInfo(reader, from) && ParseTlvs(reader, tlvs));
        EXPECT_EQ(channel, 2);
        EXPECT_EQ(from.uin, kAlice);
        EXPECT_TRUE(FindTlv(tlvs, 0x0005) != nullptr && FindTlv(tlvs, 0x0003) == nullptr);

        boris->SendSnac(0x0004, 0x000B, 0xB0, AutoResponsePayload(kAlice, 0xE8, text));
        std::optional<Snac> answer = alice->WaitSnac(0x0004, 0x000B);
        if (!answer) return "no answer relayed";
        reader = answer->Reader();
        std::string uin, away;
        std::uint16_t reason = 0;
        EXPECT_TRUE(reader.Skip(8 + 2) && ReadString8(reader, uin) && ReadU16(reader, reason) &&
                    reader.Skip(2 + 0x1B + 2 + 0x0E + 6) && ReadMetaString(reader, away) && reader.AtEnd());
        EXPECT_EQ(uin, kBoris);
        return away;
    };
    const std::string lunch = "\xD3\xF8\xEB\xE0 \xEE\xE1\xE5\xE4\xE0\xF2\xFC";  // "Ушла обедать"
    EXPECT_EQ(askAndAnswer(lunch), lunch);
    EXPECT_EQ(askAndAnswer(std::string(3000, 'z')), std::string(1024, 'z'));

    boris->SendSnac(0x0004, 0x000B, 0xB0, AutoResponsePayload(kAlice, 0xE8, "unasked"));
    Drain(*boris, kBoris);
    for (const Snac& snac : Drain(*alice, kAlice)) EXPECT_NE(snac.header.subtype, 0x000B) << "an unasked answer";

    const std::pair<PacketBuffer, std::vector<std::uint8_t>> refused[] = {
        {AutoMessageRequestPayload(kVera, 0xE8), {0x00, 0x04}},   // offline
        {AutoMessageRequestPayload(kBoris, 0x01), {0x00, 0x0E}},  // not an auto-message request
    };
    for (const auto& [request, error] : refused) {
        alice->SendSnac(0x0004, 0x0006, 0xA6, request);
        std::optional<Snac> answer = alice->WaitSnac(0x0004, 0x0001);
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->data, error);
    }
}

// Vera ignores or denies Alice: Alice's messages, typing, authorization and
// away requests are answered as Vera being offline, and none of it reaches
// Vera or her offline store. A deny list out of force (visibility 1) blocks
// nothing.
TEST_F(PeopleTest, IgnoredOrDeniedSenderIsAnsweredAsForAnOfflineAccount) {
    const struct {
        const char* what;
        std::uint16_t itemType;
        std::uint8_t visibility;  // 0: no visibility item
        bool blocked;
    } rows[] = {
        {"ignored", 0x000E, 0, true},
        {"denied", 0x0003, 0, true},
        {"denied, visibility 4", 0x0003, 4, true},
        {"denied while everybody sees her", 0x0003, 1, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        StartServer();
        std::unique_ptr<TestClient> alice = SignOn(server, kAlice, "alice");
        ASSERT_TRUE(alice);
        auto probe = [&] {
            std::vector<std::pair<std::uint16_t, std::vector<std::uint8_t>>> answers;
            alice->SendSnac(0x0004, 0x0006, 0x0B0E, MessagePayload(kVera, std::vector<std::uint8_t>{5, 1, 0, 1, 1}));
            alice->SendSnac(0x0004, 0x0006, 0x7E47, MessagePayload(kVera, "hello"));
            alice->SendSnac(0x0004, 0x0006, 0xA5, AutoMessageRequestPayload(kVera, 0xE8));
            alice->SendSnac(0x0004, 0x0014, 0x14, TypingPayload(kVera, 2));
            alice->SendSnac(0x0013, 0x0018, 0x18, AuthorizationPayload(kVera, "please"));
            for (const Snac& snac : Drain(*alice, kAlice)) {
                if (snac.header.family == 0x0004) answers.emplace_back(snac.header.subtype, snac.data);
            }
            return answers;
        };
        const auto offline = probe();
        ASSERT_EQ(offline.size(), 2u) << "no text, and the away request";
        ASSERT_EQ(server.StoredOfflineCount(), 1u);

        std::unique_ptr<TestClient> vera = SignOn(server, kVera, "vera");
        ASSERT_TRUE(vera);
        PacketBuffer items;
        AppendItem(items, kAlice, 0, 21, row.itemType, {});
        if (row.visibility != 0) AppendItem(items, "", 0, 22, 0x0004, {0x00, 0xCA, 0x00, 0x01, row.visibility});
        vera->SendSnac(0x0013, 0x0008, 0x08, items);
        std::optional<Snac> added = vera->WaitSnac(0x0013, 0x000E);
        ASSERT_TRUE(added);
        EXPECT_EQ(added->data, std::vector<std::uint8_t>(row.visibility != 0 ? 4 : 2, 0));
        Drain(*vera, kVera);

        const auto answers = probe();
        std::size_t reached = 0;
        for (const Snac& snac : Drain(*vera, kVera)) {
            reached += snac.header.family == 0x0004 || (snac.header.family == 0x0013 && snac.header.subtype == 0x0019);
        }
        EXPECT_EQ(reached, row.blocked ? 0u : 5u) << "two messages, the away request, typing, authorization";
        if (row.blocked) {
            EXPECT_EQ(answers, offline);
        }
        EXPECT_EQ(server.StoredOfflineCount(), 1u) << "nothing more stored for her";
        server.Stop();
    }
}

// Boris and Vera watch Alice. Which of them sees her follows her visibility
// item with her permit and deny lists, and her invisible status lets only the
// permit list see her. Her list carries the items in force.
TEST_F(PeopleTest, VisibilityItemDecidesWithThePermitAndDenyLists) {
    StartServer();
    std::unique_ptr<TestClient> boris = SignOn(server, kBoris, "boris");
    std::unique_ptr<TestClient> vera = SignOn(server, kVera, "vera");
    std::unique_ptr<TestClient> alice = SignOn(server, kAlice, "alice");
    ASSERT_TRUE(boris && vera && alice);
    std::map<std::string, bool> sees;
    auto update = [&] {
        Drain(*alice, kAlice);
        for (auto [uin, watcher] : {std::pair(kBoris, boris.get()), std::pair(kVera, vera.get())}) {
            for (const Snac& snac : Drain(*watcher, uin)) {
                if (snac.header.family == 0x0003 && PresenceUin(snac) == kAlice) sees[uin] = snac.header.subtype == 0x000B;
            }
        }
    };
    update();
    const struct {
        const char* what;
        std::uint8_t visibility;  // 0: none sent
        std::vector<std::string> permit, deny;
        std::uint32_t status;
        bool boris, vera;
    } rows[] = {
        {"no item: all but the deny list", 0, {}, {kBoris}, 0x00010000, false, true},
        {"1: everybody", 1, {}, {kBoris}, 0x00010000, true, true},
        {"2: nobody", 2, {kVera}, {}, 0x00010000, false, false},
        {"3: the permit list", 3, {kVera}, {}, 0x00010000, false, true},
        {"4: all but the deny list", 4, {kVera}, {kVera}, 0x00010000, true, false},
        {"5: her contacts", 5, {kVera}, {}, 0x00010000, true, false},
        {"invisible: the permit list", 1, {kVera}, {}, 0x00010100, false, true},
    };
    PacketBuffer inForce;  // the permit and deny items of the last row
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        if (inForce.Length() > 0) alice->SendSnac(0x0013, 0x000A, 0x0A, inForce);
        inForce = PacketBuffer();
        for (const std::string& uin : row.permit) AppendItem(inForce, uin, 0, 30, 0x0002, {});
        for (const std::string& uin : row.deny) AppendItem(inForce, uin, 0, 31, 0x0003, {});
        PacketBuffer add;
        AppendBytes(add, inForce.Data(), inForce.Length());
        if (row.visibility != 0) AppendItem(add, "", 0, 7, 0x0004, {0x00, 0xCA, 0x00, 0x01, row.visibility});
        alice->SendSnac(0x0013, 0x0008, 0x08, add);
        alice->SendSnac(0x0001, 0x001E, 0x1E, StatusPayload(row.status));
        update();
        EXPECT_EQ(sees[kBoris], row.boris);
        EXPECT_EQ(sees[kVera], row.vera);
    }

    // The list carries them: the group, the visibility item, the permit item
    // and the two buddies.
    alice->SendSnac(0x0013, 0x0004, 0x04);
    std::optional<Snac> list = alice->WaitSnac(0x0013, 0x0006);
    ASSERT_TRUE(list);
    EXPECT_EQ(list->data[2], 5);
    const std::vector<std::uint8_t> permitItem = {0x00, 0x06, '1', '0', '0', '0', '0', '4', 0x00, 0x00, 0x00, 30, 0x00, 0x02};
    EXPECT_NE(std::search(list->data.begin(), list->data.end(), permitItem.begin(), permitItem.end()), list->data.end());
}

}  // namespace
}  // namespace pellox::server::test
