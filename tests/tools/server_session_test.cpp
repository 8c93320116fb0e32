// Sign-on, login refusals, cookies, replaced sessions and time-outs of the local
// server, checked byte by byte over real sockets.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/tools/oscar_test_client.h"

namespace pellox::server::test {
namespace {

const std::vector<std::uint8_t> kVersionOne = {0x00, 0x00, 0x00, 0x01};

using SessionTest = ServerTest;

TEST_F(SessionTest, LoginAnswersWithUinAddressAndFreshCookie) {
    StartServer();
    TestClient client;
    ASSERT_TRUE(client.Connect(server.AuthPort()));
    std::optional<Frame> hello = client.ReadFrame();
    ASSERT_TRUE(hello);
    EXPECT_EQ(hello->channel, kChannelSignOn);
    EXPECT_EQ(hello->data, kVersionOne);

    client.SendFrame(kChannelSignOn, LoginPayload(kAlice, "alice").Bytes());
    std::optional<Frame> reply = client.ReadFrame();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->channel, kChannelSignOff);
    PacketReader reader(reply->data);
    std::vector<TlvValue> tlvs;
    ASSERT_TRUE(ParseTlvs(reader, tlvs));
    ASSERT_EQ(tlvs.size(), 3u);
    EXPECT_EQ(tlvs[0].type, 0x0001);
    EXPECT_EQ(tlvs[0].Text(), kAlice);
    EXPECT_EQ(tlvs[1].type, 0x0005);
    EXPECT_EQ(tlvs[1].Text(), "127.0.0.1:" + std::to_string(server.BosPort()));
    EXPECT_EQ(tlvs[2].type, 0x0006);
    EXPECT_EQ(tlvs[2].value.size(), 256u);
    EXPECT_TRUE(client.WaitClosed());

    LoginResult second = Login(server.AuthPort(), kAlice, "alice");
    const TlvValue* otherCookie = FindTlv(second.tlvs, 0x0006);
    ASSERT_NE(otherCookie, nullptr);
    EXPECT_NE(otherCookie->value, tlvs[2].value) << "every login gets its own cookie";
}

// The messaging address is the one the client reached the login on: a server
// listening on the IPv6 loopback address sends its clients back there.
TEST_F(SessionTest, LoginNamesTheMessagingPortAtTheAddressItWasReachedOn) {
    ServerConfig config = TestConfig();
    ASSERT_TRUE(platform::ParseIpAddress("::1", config.bindAddress));
    std::string error;
    if (!server.Start(config, error)) GTEST_SKIP() << "no IPv6 loopback here: " << error;
    platform::IpAddress loopback6 = config.bindAddress;
    TestClient client;
    ASSERT_TRUE(client.Connect(platform::Endpoint(loopback6, server.AuthPort())));
    LoginResult login = Login(client, kAlice, "alice", LoginKind::Md5);
    const TlvValue* address = FindTlv(login.tlvs, 0x0005);
    const TlvValue* cookie = FindTlv(login.tlvs, 0x0006);
    ASSERT_TRUE(address && cookie);
    EXPECT_EQ(address->Text(), "[::1]:" + std::to_string(server.BosPort()));

    TestClient messaging;
    ASSERT_TRUE(messaging.Connect(platform::Endpoint(loopback6, server.BosPort())));
    ASSERT_TRUE(messaging.ReadFrame());
    messaging.SendFrame(kChannelSignOn, CookiePayload(cookie->Text()).Bytes());
    std::optional<Snac> families = messaging.ReadSnac();
    ASSERT_TRUE(families);
    EXPECT_EQ(families->header.subtype, 0x0003);
}

TEST_F(SessionTest, RefusedLoginGetsErrorTlvsAndNoAddress) {
    StartServer();
    struct Case {
        std::string uin, password;
        std::uint16_t code;
    };
    const Case cases[] = {
        {kAlice, "wrong", 0x0005},
        {kAlice, "", 0x0005},
        {kAlice, "alicealice", 0x0005},  // right prefix, too long
        {"999999", "alice", 0x0001},     // no such account
        {"abc", "alice", 0x0001},
        {kEcho, "", 0x0001},             // the echo account cannot sign on
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.uin + "/" + c.password);
        LoginResult result = Login(server.AuthPort(), c.uin, c.password);
        ASSERT_TRUE(result.frame);
        EXPECT_EQ(result.frame->channel, kChannelSignOff);
        EXPECT_EQ(FindTlv(result.tlvs, 0x0005), nullptr);
        EXPECT_EQ(FindTlv(result.tlvs, 0x0006), nullptr);
        ASSERT_NE(FindTlv(result.tlvs, 0x0004), nullptr);
        EXPECT_FALSE(FindTlv(result.tlvs, 0x0004)->value.empty());
        const TlvValue* code = FindTlv(result.tlvs, 0x0008);
        ASSERT_NE(code, nullptr);
        EXPECT_EQ(code->value, (std::vector<std::uint8_t>{0x00, static_cast<std::uint8_t>(c.code)}));
        EXPECT_TRUE(result.closedAfter);
    }
}

// The MD5 login of family 0x0017 byte for byte (the test client checks the
// layouts), and the roasted one on the messaging port: every port takes both
// logins and the cookie, as servers that share one port do. The key is random,
// so the hash is made from the key received; refusals carry the roasted login's
// codes and TLVs.
TEST_F(SessionTest, Md5LoginAndSharedPortsAnswerLikeTheRoastedLogin) {
    StartServer();
    struct Case {
        const char* what;
        bool onBos;
        LoginKind kind;
        std::string uin, password;
        std::optional<std::string> keyUin;  // the UIN the key is asked for, empty for none
        std::uint16_t code;                 // 0: accepted
    };
    const Case cases[] = {
        {"hash over MD5(password)", false, LoginKind::Md5, kAlice, "alice", {}, 0},
        {"hash over the password", false, LoginKind::Md5OverPassword, kAlice, "alice", {}, 0},
        {"on the messaging port", true, LoginKind::Md5, kBoris, "boris", {}, 0},
        {"roasted, on the messaging port", true, LoginKind::Roasted, kVera, "vera", {}, 0},
        {"wrong password", false, LoginKind::Md5, kAlice, "alic", {}, 0x0005},
        {"wrong password, hash over it", true, LoginKind::Md5OverPassword, kAlice, "alicealice", {}, 0x0005},
        {"no key asked for", false, LoginKind::Md5, kAlice, "alice", "", 0x0005},
        {"key asked for another UIN", false, LoginKind::Md5, kAlice, "alice", kBoris, 0x0005},
        {"unknown UIN", false, LoginKind::Md5, "999999", "alice", {}, 0x0001},
    };
    std::vector<std::string> keys;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::uint16_t port = c.onBos ? server.BosPort() : server.AuthPort();
        TestClient client;
        ASSERT_TRUE(client.Connect(port));
        LoginResult login = Login(client, c.uin, c.password, c.kind, c.keyUin);
        if (!login.key.empty()) keys.push_back(login.key);
        ASSERT_EQ(login.tlvs.size(), 3u);
        EXPECT_EQ(login.tlvs[0].type, 0x0001);
        EXPECT_EQ(login.tlvs[0].Text(), c.uin);
        EXPECT_TRUE(login.closedAfter);
        if (c.code != 0) {
            EXPECT_EQ(login.tlvs[1].type, 0x0004);
            EXPECT_EQ(login.tlvs[2].type, 0x0008);
            EXPECT_EQ(login.tlvs[2].value, (std::vector<std::uint8_t>{0x00, static_cast<std::uint8_t>(c.code)}));
            continue;
        }
        EXPECT_EQ(login.tlvs[1].type, 0x0005);
        EXPECT_EQ(login.tlvs[1].Text(), "127.0.0.1:" + std::to_string(server.BosPort()));
        EXPECT_EQ(login.tlvs[2].type, 0x0006);
        EXPECT_EQ(login.tlvs[2].value.size(), 256u);
        // The cookie signs on at the port the login came in on as well.
        TestClient messaging;
        ASSERT_TRUE(messaging.Connect(port));
        ASSERT_TRUE(messaging.ReadFrame());
        messaging.SendFrame(kChannelSignOn, CookiePayload(login.tlvs[2].Text()).Bytes());
        std::optional<Snac> families = messaging.ReadSnac();
        ASSERT_TRUE(families);
        EXPECT_EQ(families->header.subtype, 0x0003);
    }
    ASSERT_GE(keys.size(), 2u);
    EXPECT_NE(keys[0], keys[1]) << "every key request gets a fresh key";
}

TEST_F(SessionTest, TwoSessionsSignOnWithTheExpectedReplies) {
    StartServer();
    for (const auto& [uin, password] : {std::pair{kAlice, "alice"}, std::pair{kBoris, "boris"}}) {
        SCOPED_TRACE(uin);
        LoginResult login = Login(server.AuthPort(), uin, password);
        const TlvValue* cookie = FindTlv(login.tlvs, 0x0006);
        ASSERT_NE(cookie, nullptr);

        auto client = std::make_unique<TestClient>();
        ASSERT_TRUE(client->Connect(server.BosPort()));
        std::optional<Frame> hello = client->ReadFrame();
        ASSERT_TRUE(hello);
        EXPECT_EQ(hello->channel, kChannelSignOn);
        EXPECT_EQ(hello->data, kVersionOne);

        client->SendFrame(kChannelSignOn, CookiePayload(cookie->Text()).Bytes());
        std::optional<Snac> families = client->ReadSnac();
        ASSERT_TRUE(families);
        EXPECT_EQ(families->header.family, 0x0001);
        EXPECT_EQ(families->header.subtype, 0x0003);
        EXPECT_EQ(families->data, (std::vector<std::uint8_t>{0, 1, 0, 2, 0, 3, 0, 4, 0, 0x13, 0, 0x15}));

        PacketBuffer versions;
        AppendU16(versions, 0x0001);
        AppendU16(versions, 1);
        client->SendSnac(0x0001, 0x0017, 0x17, versions);
        std::optional<Snac> serverVersions = client->ReadSnac();
        ASSERT_TRUE(serverVersions);
        EXPECT_EQ(serverVersions->header.subtype, 0x0018);
        EXPECT_EQ(serverVersions->header.requestId, 0x17u);
        EXPECT_EQ(serverVersions->data.size() % 4, 0u);
        EXPECT_FALSE(serverVersions->data.empty());

        client->SendSnac(0x0001, 0x001E, 0x1E, StatusPayload(0x00010000));
        client->SendSnac(0x0001, 0x0002, 0x02);
        // The session is served after client ready: a round trip answers.
        EXPECT_TRUE(Drain(*client, uin).empty());
        // Sequence numbers of the server's frames rise by one per frame.
        for (std::size_t i = 1; i < client->receivedSequences.size(); ++i) {
            EXPECT_EQ(client->receivedSequences[i], client->receivedSequences[i - 1] + 1);
        }
    }
}

TEST_F(SessionTest, UnknownOrReusedCookieGetsChannelFourAndTheClose) {
    ServerConfig config = TestConfig();
    config.cookieLifetimeMs = 300;
    StartServer(config);

    auto tryCookie = [&](const std::string& cookie) {
        TestClient client;
        EXPECT_TRUE(client.Connect(server.BosPort()));
        EXPECT_TRUE(client.ReadFrame());  // hello
        client.SendFrame(kChannelSignOn, CookiePayload(cookie).Bytes());
        std::optional<Frame> reply = client.ReadFrame();
        bool refused = reply && reply->channel == kChannelSignOff && client.WaitClosed();
        return refused;
    };
    EXPECT_TRUE(tryCookie(std::string(256, 'x')));
    EXPECT_TRUE(tryCookie(""));

    LoginResult login = Login(server.AuthPort(), kAlice, "alice");
    const TlvValue* cookie = FindTlv(login.tlvs, 0x0006);
    ASSERT_NE(cookie, nullptr);
    {
        TestClient first;
        ASSERT_TRUE(first.Connect(server.BosPort()));
        ASSERT_TRUE(first.ReadFrame());
        first.SendFrame(kChannelSignOn, CookiePayload(cookie->Text()).Bytes());
        std::optional<Snac> families = first.ReadSnac();
        ASSERT_TRUE(families);
        EXPECT_EQ(families->header.subtype, 0x0003);
    }
    EXPECT_TRUE(tryCookie(cookie->Text())) << "a cookie is good for one sign-on only";

    LoginResult late = Login(server.AuthPort(), kAlice, "alice");
    const TlvValue* lateCookie = FindTlv(late.tlvs, 0x0006);
    ASSERT_NE(lateCookie, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(tryCookie(lateCookie->Text())) << "an expired cookie is refused";
}

// One account logging in over and over once filled the cookie table and evicted
// the fresh cookies of everybody else.
TEST_F(SessionTest, OneAccountCannotCrowdOutOthersCookies) {
    ServerConfig config = TestConfig();
    config.signOnBurst = 2000;  // the cookie table is the point here
    StartServer(config);
    LoginResult boris = Login(server.AuthPort(), kBoris, "boris");
    ASSERT_NE(FindTlv(boris.tlvs, 0x0006), nullptr);
    for (int i = 0; i < 1100; ++i) ASSERT_NE(FindTlv(Login(server.AuthPort(), kAlice, "alice").tlvs, 0x0006), nullptr);
    TestClient client;
    ASSERT_TRUE(client.Connect(server.BosPort()));
    ASSERT_TRUE(client.ReadFrame());
    client.SendFrame(kChannelSignOn, CookiePayload(FindTlv(boris.tlvs, 0x0006)->Text()).Bytes());
    std::optional<Snac> families = client.ReadSnac();
    ASSERT_TRUE(families) << "Boris's cookie was evicted";
    EXPECT_EQ(families->header.subtype, 0x0003);
}

// Failed logins slow down the answers for that UIN and address, doubling up to
// a cap; the right password still gets in after at most the cap.
TEST_F(SessionTest, FailedLoginsAreAnsweredEverSlowerUpToACap) {
    ServerConfig config = TestConfig();
    config.throttleLogins = true;  // what any address but loopback gets
    config.loginDelayBaseMs = 100;
    config.loginDelayMaxMs = 400;
    StartServer(config);
    auto elapsedMs = [](auto since) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count();
    };
    auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < 6; ++i) EXPECT_EQ(FindTlv(Login(server.AuthPort(), kAlice, "guess").tlvs, 0x0006), nullptr);
    EXPECT_GE(elapsedMs(started), 0 + 100 + 200 + 400 + 400 + 400);
    started = std::chrono::steady_clock::now();
    EXPECT_NE(FindTlv(Login(server.AuthPort(), kAlice, "alice").tlvs, 0x0006), nullptr);
    EXPECT_GE(elapsedMs(started), config.loginDelayMaxMs);
    EXPECT_LT(elapsedMs(started), config.loginDelayMaxMs + 1500);
}

// A few sign-ons of one account, then "connecting too often" (0x0018) whatever
// the password, so that the refusal tells nothing of it; wrong passwords use
// none of them up, and other accounts are not touched.
TEST_F(SessionTest, SigningOnTooOftenIsRefused) {
    ServerConfig config = TestConfig();
    config.signOnBurst = 3;
    config.signOnsPerMinute = 0;
    StartServer(config);
    auto code = [&](const std::string& uin, const std::string& password) {
        LoginResult result = Login(server.AuthPort(), uin, password);
        const TlvValue* refusal = FindTlv(result.tlvs, 0x0008);
        if (refusal == nullptr) return FindTlv(result.tlvs, 0x0006) != nullptr ? 0 : -1;
        return refusal->value.size() == 2 ? refusal->value[0] << 8 | refusal->value[1] : -1;
    };
    for (int i = 0; i < 5; ++i) EXPECT_EQ(code(kAlice, "wrong"), 0x0005);
    for (int i = 0; i < config.signOnBurst; ++i) EXPECT_EQ(code(kAlice, "alice"), 0) << i;
    EXPECT_EQ(code(kAlice, "alice"), 0x0018);
    EXPECT_EQ(code(kAlice, "wrong"), 0x0018);
    EXPECT_EQ(code(kBoris, "boris"), 0);
}

TEST_F(SessionTest, SnacBeforeTheCookieEndsTheConnection) {
    StartServer();
    TestClient client;
    ASSERT_TRUE(client.Connect(server.BosPort()));
    ASSERT_TRUE(client.ReadFrame());
    client.SendSnac(0x0013, 0x0004, 4);
    EXPECT_TRUE(client.WaitClosed());
}

TEST_F(SessionTest, SecondSignOnEndsTheFirstWithChannelFour) {
    StartServer();
    std::unique_ptr<TestClient> boris = SignOn(server, kBoris, "boris");
    ASSERT_TRUE(boris);
    std::unique_ptr<TestClient> first = SignOn(server, kAlice, "alice");
    ASSERT_TRUE(first);
    ASSERT_TRUE(WaitPresence(*boris, 0x000B, kAlice));

    std::unique_ptr<TestClient> second = SignOn(server, kAlice, "alice");
    ASSERT_TRUE(second);
    std::optional<Frame> kicked;
    while ((kicked = first->ReadFrame()) && kicked->channel != kChannelSignOff) {
    }
    ASSERT_TRUE(kicked) << "the first session got no channel-4 frame";
    PacketReader reader(kicked->data);
    std::vector<TlvValue> tlvs;
    ASSERT_TRUE(ParseTlvs(reader, tlvs));
    const TlvValue* reason = FindTlv(tlvs, 0x0009);
    ASSERT_NE(reason, nullptr);
    EXPECT_EQ(reason->value, (std::vector<std::uint8_t>{0x00, 0x01}));
    EXPECT_TRUE(first->WaitClosed());

    // The new session is served (Drain fails the test when no answer comes) and
    // the watcher never saw Alice leave.
    Drain(*second, kAlice);
    std::vector<Snac> seen = Drain(*boris, kBoris);
    for (const Snac& snac : seen) {
        EXPECT_FALSE(snac.header.family == 0x0003 && snac.header.subtype == 0x000C)
            << "departure reported for a UIN that is still online";
    }
    second.reset();
    EXPECT_TRUE(WaitPresence(*boris, 0x000C, kAlice)) << "the departure of the last session is reported";
}

TEST_F(SessionTest, KeepAliveIsAcceptedAndASilentSessionIsClosed) {
    ServerConfig config = TestConfig();
    config.idleTimeoutMs = 600;
    config.loginTimeoutMs = 800;
    StartServer(config);
    SignOnOptions quiet;
    quiet.activate = false;
    std::unique_ptr<TestClient> alice = SignOn(server, kAlice, "alice", quiet);
    ASSERT_TRUE(alice);
    // Keep-alives every 200 ms carry the session well past the time-out.
    for (int i = 0; i < 6; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        ASSERT_TRUE(alice->SendFrame(kChannelKeepAlive, {}));
    }
    EXPECT_EQ(Drain(*alice, kAlice).size(), 0u);
    EXPECT_TRUE(alice->WaitClosed(2000)) << "a silent session is closed";

    TestClient idle;  // never signs on at all
    ASSERT_TRUE(idle.Connect(server.AuthPort()));
    EXPECT_TRUE(idle.WaitClosed(config.loginTimeoutMs + 2000));
}

}  // namespace
}  // namespace pellox::server::test
