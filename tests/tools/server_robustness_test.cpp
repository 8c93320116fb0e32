// Broken and hostile clients: bad markers, oversized and truncated frames,
// malformed SNACs, floods, clients that never read, too many connections. In
// every case the server must stay up and keep serving a well-behaved client.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <chrono>
#include <future>
#include <random>
#include <thread>

#include "tests/tools/oscar_test_client.h"
#include "tools/connection.h"

namespace pellox::server::test {
namespace {

using Clock = std::chrono::steady_clock;

// Alice sends Boris a message and Boris gets it: the server is still serving.
// Other messages Boris may have been sent on the way are passed over.
void ExpectRelayWorks(TestClient& alice, TestClient& boris, const std::string& text) {
    alice.SendSnac(0x0004, 0x0006, 0x00010006, MessagePayload(kBoris, text));
    for (;;) {
        std::optional<Snac> incoming = boris.WaitSnac(0x0004, 0x0007);
        ASSERT_TRUE(incoming) << "the well-behaved session was not served";
        PacketReader reader = incoming->Reader();
        UserInfoBlock info;
        std::vector<TlvValue> tlvs;
        ASSERT_TRUE(reader.Skip(10) && ParseUserInfo(reader, info));
        if (ParseTlvs(reader, tlvs) && FindTlv(tlvs, 0x0002) != nullptr &&
            FindTlv(tlvs, 0x0002)->value == MessageBlock(text)) {
            EXPECT_EQ(info.uin, kAlice);
            return;
        }
    }
}

class RobustnessTest : public ServerTest {
protected:
    void SetUpPair(const ServerConfig& config = TestConfig()) {
        StartServer(config);
        SignOnOptions quiet;
        quiet.activate = false;
        alice = SignOn(server, kAlice, "alice", quiet);
        boris = SignOn(server, kBoris, "boris", quiet);
        ASSERT_TRUE(alice && boris);
    }
    std::unique_ptr<TestClient> alice;
    std::unique_ptr<TestClient> boris;
};

std::vector<std::uint8_t> FlapHeaderBytes(std::uint8_t marker, std::uint8_t channel, std::uint16_t length) {
    return {marker, channel, 0x00, 0x01, static_cast<std::uint8_t>(length >> 8),
            static_cast<std::uint8_t>(length & 0xFF)};
}

TEST_F(RobustnessTest, BrokenFramesEndOnlyTheirOwnConnection) {
    SetUpPair();
    struct Case {
        const char* what;
        std::uint16_t port;
        std::vector<std::uint8_t> bytes;
    };
    const std::string http = "GET / HTTP/1.0\r\n\r\n";
    const Case cases[] = {
        {"text instead of frames, login port", server.AuthPort(), {http.begin(), http.end()}},
        {"text instead of frames, messaging port", server.BosPort(), {http.begin(), http.end()}},
        {"bad marker", server.BosPort(), FlapHeaderBytes(0x2B, 1, 0)},
        {"longest FLAP length", server.BosPort(), FlapHeaderBytes(0x2A, 2, 0xFFFF)},
        {"just over the inbound limit", server.AuthPort(), FlapHeaderBytes(0x2A, 1, 8 * 1024 + 1)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestClient hostile;
        ASSERT_TRUE(hostile.Connect(c.port));
        ASSERT_TRUE(hostile.ReadFrame());  // hello
        hostile.SendRaw(c.bytes);
        EXPECT_TRUE(hostile.WaitClosed());
    }
    ExpectRelayWorks(*alice, *boris, "still here");
}

TEST_F(RobustnessTest, FramesSplitAnywhereAreJoined) {
    SetUpPair();
    // A whole login, one byte per send.
    TestClient slow;
    ASSERT_TRUE(slow.Connect(server.AuthPort()));
    ASSERT_TRUE(slow.ReadFrame());
    std::vector<std::uint8_t> frame;
    ASSERT_TRUE(BuildFrame(frame, kChannelSignOn, 1, {}, LoginPayload(kVera, "vera").Bytes()));
    for (std::uint8_t byte : frame) {
        ASSERT_TRUE(slow.SendRaw({&byte, 1}));
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    std::optional<Frame> reply = slow.ReadFrame();
    ASSERT_TRUE(reply);
    PacketReader reader(reply->data);
    std::vector<TlvValue> tlvs;
    ASSERT_TRUE(ParseTlvs(reader, tlvs));
    EXPECT_NE(FindTlv(tlvs, 0x0006), nullptr);

    // Several SNACs in one send.
    std::vector<std::uint8_t> batch;
    for (std::uint32_t id : {0x51u, 0x52u, 0x53u}) {
        std::vector<std::uint8_t> one;
        ASSERT_TRUE(BuildSnacFrame(one, static_cast<std::uint16_t>(id), {0x0015, 0x0002, 0, id},
                                   ShortInfoPayload(100001, 1, 100002)));
        batch.insert(batch.end(), one.begin(), one.end());
    }
    alice->SendRaw(batch);
    for (std::uint32_t id : {0x51u, 0x52u, 0x53u}) {
        std::optional<Snac> answer = alice->WaitSnac(0x0015, 0x0003);
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->header.requestId, id);
    }
}

TEST_F(RobustnessTest, TruncatedConnectionsAreHarmless) {
    SetUpPair();
    for (int cut : {1, 5, 6, 9}) {
        TestClient hostile;
        ASSERT_TRUE(hostile.Connect(server.BosPort()));
        std::vector<std::uint8_t> frame;
        ASSERT_TRUE(BuildFrame(frame, kChannelSignOn, 1, {}, CookiePayload(std::string(64, 'c')).Bytes()));
        hostile.SendRaw({frame.data(), static_cast<std::size_t>(cut)});
        hostile.Close();  // gone in the middle of a frame
    }
    ExpectRelayWorks(*alice, *boris, "after truncated frames");
}

TEST_F(RobustnessTest, MalformedSnacsAreDroppedAndTheSessionGoesOn) {
    SetUpPair();
    std::vector<std::vector<std::uint8_t>> junk = {
        {0x00, 0x04},                                               // shorter than a SNAC header
        {0x00, 0x04, 0x00, 0x06, 0x80, 0x00, 0, 0, 0, 1, 0xFF},     // extra data length cut short
        {0x00, 0x04, 0x00, 0x06, 0x80, 0x00, 0, 0, 0, 1, 0x00, 0x10, 1, 2},
        {0x00, 0x04, 0x00, 0x06, 0, 0, 0, 0, 0, 1, 0x67, 0xC3},     // message cut in its cookie
        {0x00, 0x04, 0x00, 0x06, 0, 0, 0, 0, 0, 1, 1, 2, 3, 4, 5, 6, 7, 8, 0, 1, 200, '1'},
        {0x00, 0x04, 0x00, 0x06, 0, 0, 0, 0, 0, 1, 1, 2, 3, 4, 5, 6, 7, 8, 0, 1,
         6, '1', '0', '0', '0', '0', '2', 0x00, 0x02, 0xFF, 0xFF, 1},  // TLV longer than the frame
        {0x00, 0x04, 0x00, 0x06, 0, 0, 0, 0, 0, 1, 1, 2, 3, 4, 5, 6, 7, 8, 0, 1,
         6, '1', '0', '0', '0', '0', '2', 0x00, 0x02, 0x00, 0x04, 0x01, 0x01, 0xFF, 0xFF},  // text fragment overruns
        {0x00, 0x15, 0x00, 0x02, 0, 0, 0, 0, 0, 2, 0x00, 0x01, 0x00},  // meta head cut short
        {0x00, 0x15, 0x00, 0x02, 0, 0, 0, 0, 0, 2, 0x00, 0x01, 0x00, 0x0A, 8, 0, 0x22, 0x86, 0x01, 0x00,
         0xD0, 0x07, 2, 0, 0xBA},                                   // info request without target
        {0x00, 0x13, 0x00, 0x0A, 0, 0, 0, 0, 0, 0x83, 0x7F, 0xFF, '1'},  // delete item name overruns
        {0x00, 0x01, 0x00, 0x1E, 0, 0, 0, 0, 0, 0x1E, 0x00, 0x06, 0x00, 0x02, 0x00},  // status of 2 bytes
        {0x7F, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0},                 // family nobody serves
    };
    for (const auto& snac : junk) ASSERT_TRUE(alice->SendFrame(kChannelSnac, snac));
    alice->SendFrame(3, {});   // channels without meaning here
    alice->SendFrame(9, junk[0]);
    alice->SendFrame(kChannelSignOn, {});
    ExpectRelayWorks(*alice, *boris, "after junk");
    EXPECT_EQ(server.StoredOfflineCount(), 0u);

    // A text fragment that overruns its block is not stored for an offline UIN.
    std::vector<std::uint8_t> toVera = junk[6];
    toVera[26] = '4';
    ASSERT_TRUE(alice->SendFrame(kChannelSnac, toVera));
    Drain(*alice, kAlice);
    EXPECT_EQ(server.StoredOfflineCount(), 0u);
}

// The requests about people, cut short at every byte, from a third session: each
// is read no further than it goes, and the server goes on serving.
TEST_F(RobustnessTest, PeopleRequestsCutAnywhereAreHarmless) {
    SetUpPair();
    std::unique_ptr<TestClient> vera = SignOn(server, kVera, "vera");
    ASSERT_TRUE(vera);
    PacketBuffer whitePages, tlvSearch;  // the white pages go as a basic set too
    for (const char* text : {"a", "", "b", "c@d"}) AppendMetaString(whitePages, text);
    for (int i = 0; i < 6; ++i) AppendU8(whitePages, 0);
    AppendMetaString(whitePages, "e");
    const std::uint8_t firstName[] = {0x40, 0x01, 0x04, 0x00, 0x02, 0x00, 'j', 0x00};
    AppendBytes(tlvSearch, firstName, sizeof firstName);
    const std::pair<std::uint16_t, PacketBuffer> requests[] = {
        {0x0002, InfoPayload(100004, 1, 0x0533, whitePages)}, {0x0002, InfoPayload(100004, 1, 0x055F, tlvSearch)},
        {0x0002, InfoPayload(100004, 1, 0x03EA, whitePages)}, {0x0006, AutoMessageRequestPayload(kAlice, 0xE8)},
        {0x000B, AutoResponsePayload(kAlice, 0xE8, "away")},
    };
    for (const auto& [subtype, payload] : requests) {
        for (std::size_t n = 0; n < payload.Length(); ++n) {
            PacketBuffer cut;
            AppendBytes(cut, payload.Data(), n);
            ASSERT_TRUE(vera->SendSnac(subtype == 0x0002 ? 0x0015 : 0x0004, subtype, 0xC07, cut));
        }
    }
    Drain(*vera, kVera);
    ExpectRelayWorks(*alice, *boris, "after cut requests");
}

TEST_F(RobustnessTest, RandomBytesNeverTakeTheServerDown) {
    SetUpPair();
    std::mt19937 random(20240611);
    for (int round = 0; round < 60; ++round) {
        TestClient hostile;
        ASSERT_TRUE(hostile.Connect(round % 2 ? server.AuthPort() : server.BosPort()));
        std::vector<std::uint8_t> bytes(random() % 400);
        for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
        if (!bytes.empty() && round % 3 != 0) bytes[0] = kFlapMarker;  // get past the marker often
        if (bytes.size() > 5 && round % 3 == 1) {
            bytes[1] = static_cast<std::uint8_t>(1 + random() % 5);
            std::uint16_t length = static_cast<std::uint16_t>(bytes.size() - 6);
            bytes[4] = static_cast<std::uint8_t>(length >> 8);
            bytes[5] = static_cast<std::uint8_t>(length);
        }
        hostile.SendRaw(bytes);
    }
    ExpectRelayWorks(*alice, *boris, "after random bytes");
}

TEST_F(RobustnessTest, MessageFloodIsRateLimitedAndOthersAreServed) {
    ServerConfig config = TestConfig();
    config.messageBurst = 10;
    config.messagesPerSecond = 5;
    SetUpPair(config);
    std::unique_ptr<TestClient> vera = SignOn(server, kVera, "vera");
    ASSERT_TRUE(vera);

    // Messages, typing notices and authorization requests take from one bucket.
    constexpr int kFlood = 300;
    auto started = Clock::now();
    for (int i = 0; i < kFlood; i += 3) {
        alice->SendSnac(0x0004, 0x0006, 0x10000u + i, MessagePayload(kBoris, "spam"));
        alice->SendSnac(0x0004, 0x0014, 0x14, TypingPayload(kBoris, 2));
        alice->SendSnac(0x0013, 0x0018, 0x18, AuthorizationPayload(kBoris, "spam"));
    }
    Drain(*alice, kAlice);
    double seconds = std::chrono::duration<double>(Clock::now() - started).count();

    int relayed = 0;
    while (std::optional<Snac> snac = boris->ReadSnac(300)) {
        const auto [family, subtype] = std::pair(snac->header.family, snac->header.subtype);
        relayed += (family == 0x0004 && (subtype == 0x0007 || subtype == 0x0014)) || (family == 0x0013 && subtype == 0x0019);
    }
    EXPECT_GE(relayed, config.messageBurst);
    EXPECT_LE(relayed, config.messageBurst + static_cast<int>(seconds * config.messagesPerSecond) + 2);

    // Vera was served all along.
    vera->SendSnac(0x0004, 0x0006, 0x00010006, MessagePayload(kBoris, "from vera"));
    std::optional<Snac> fromVera = boris->WaitSnac(0x0004, 0x0007);
    ASSERT_TRUE(fromVera);
    PacketReader reader = fromVera->Reader();
    ASSERT_TRUE(reader.Skip(10));
    UserInfoBlock info;
    ASSERT_TRUE(ParseUserInfo(reader, info));
    EXPECT_EQ(info.uin, kVera);

    // The limit belongs to the UIN: signing on again does not refill it.
    alice = SignOn(server, kAlice, "alice");
    ASSERT_TRUE(alice);
    for (int i = 0; i < config.messageBurst; ++i) alice->SendSnac(0x0004, 0x0006, 0x0A6A1u, MessagePayload(kBoris, "again"));
    std::optional<Snac> refused = alice->WaitSnac(0x0004, 0x0001);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->data, (std::vector<std::uint8_t>{0x00, 0x02}));
}

// Authorization requests with long reasons, relayed without a token, once
// overran the recipient's output queue and the server closed the recipient.
// Now the reason is cut, and while the recipient has not read, what others send
// it is dropped (a message is answered 0x0003) and its session stays.
TEST_F(RobustnessTest, FloodRelayedToAClientThatHasNotReadCostsItNothingButTheFlood) {
    ServerConfig config = TestConfig();
    config.maxQueuedOutput = 64 * 1024;
    config.messageBurst = config.snacBurst = 1000000;  // the queue is the point here
    config.messagesPerSecond = config.snacsPerSecond = 1000000;
    SetUpPair(config);
    // Batches of requests until Boris's queue is full: the socket buffers of
    // the system take the first megabytes.
    const std::string reason(600, 'r');
    int sent = 0;
    std::optional<Snac> busy;
    for (int batch = 0; batch < 100 && !busy; ++batch) {
        for (int i = 0; i < 1000; ++i, ++sent) alice->SendSnac(0x0013, 0x0018, 0x18, AuthorizationPayload(kBoris, reason));
        alice->SendSnac(0x0004, 0x0006, 0xB05E, MessagePayload(kBoris, "are you there?"));
        for (const Snac& snac : Drain(*alice, kAlice)) {
            if (snac.header.family == 0x0004 && snac.header.subtype == 0x0001) busy = snac;
        }
    }
    ASSERT_TRUE(busy) << "no message to Boris was refused";
    EXPECT_EQ(busy->header.requestId, 0xB05Eu);
    EXPECT_EQ(busy->data, (std::vector<std::uint8_t>{0x00, 0x03}));

    // Boris reads now: every request that reached him has its reason cut short,
    // and he is still served.
    int requests = 0;
    for (const Snac& snac : Drain(*boris, kBoris)) {
        if (snac.header.family != 0x0013 || snac.header.subtype != 0x0019) continue;
        ++requests;
        PacketReader reader = snac.Reader();
        std::string from, text;
        ASSERT_TRUE(ReadString8(reader, from) && ReadString16(reader, text));
        EXPECT_EQ(text.size(), 512u);
    }
    EXPECT_GT(requests, 0);
    EXPECT_LT(requests, sent);
    ExpectRelayWorks(*alice, *boris, "after the flood");
}

// Requests of other families are limited too: a flood of contact list requests
// is answered up to the burst and the rate, then dropped. The limit belongs to
// the UIN: one account once signed on a thousand times in ten seconds with a
// fresh burst each time.
TEST_F(RobustnessTest, SnacFloodOfAnyFamilyIsRateLimited) {
    ServerConfig config = TestConfig();
    config.snacBurst = 50;
    config.snacsPerSecond = 10;
    SetUpPair(config);
    auto started = Clock::now();
    auto flood = [&](TestClient& client) {
        for (std::uint32_t i = 0; i < 400; ++i) client.SendSnac(0x0013, 0x0004, 0x40000u + i);
        int answered = 0;
        while (client.WaitSnac(0x0013, 0x0006, 300)) ++answered;
        return answered;
    };
    const int answered = flood(*alice);
    double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    EXPECT_GE(answered, config.snacBurst - 5);  // the sign-on took a few
    EXPECT_LE(answered, config.snacBurst + static_cast<int>(seconds * config.snacsPerSecond) + 2);

    SignOnOptions bare;
    bare.exchangeVersions = false;
    std::unique_ptr<TestClient> again = SignOn(server, kAlice, "alice", bare);
    ASSERT_TRUE(again);
    started = Clock::now();
    const int answeredAgain = flood(*again);
    seconds = std::chrono::duration<double>(Clock::now() - started).count();
    EXPECT_LE(answeredAgain, static_cast<int>(seconds * config.snacsPerSecond) + 2);
}

// 200 offline messages of the largest size once overran the output bound at
// every sign-on of the recipient: aborted before the end record, never
// acknowledged, never deleted. Now the store bounds them and the backlog goes out
// as the output queue drains.
TEST_F(RobustnessTest, OfflineBacklogOfLargestMessagesIsDeliveredWhole) {
    ServerConfig config = TestConfig();
    config.maxQueuedOutput = 64 * 1024;
    config.messageBurst = 1000;
    SetUpPair(config);
    const std::string largest(config.maxOfflineTextBytes - 64, 'x');  // fits one inbound frame
    for (std::uint32_t i = 0; i < 200; ++i) alice->SendSnac(0x0004, 0x0006, i, MessagePayload(kVera, largest));
    Drain(*alice, kAlice);
    const std::size_t stored = server.StoredOfflineCount();
    EXPECT_GE(stored * largest.size(), 2 * config.maxQueuedOutput) << "the backlog needs several batches";

    SignOnOptions fetch;
    fetch.fetchOffline = true;
    std::vector<Snac> records;
    std::unique_ptr<TestClient> vera = SignOn(server, kVera, "vera", fetch, &records);
    ASSERT_TRUE(vera) << "the end record 0x0042 did not come";
    EXPECT_EQ(records.size(), stored);
    Drain(*vera, kVera);  // still open, and the acknowledgement was handled
    EXPECT_EQ(server.StoredOfflineCount(), 0u);
}

// Connections that send keep-alives and never sign on are closed at the deadline
// counted from the accept. Past the share of one address, or of all, the oldest
// of them gives way to a new connection: four addresses holding every slot for
// connections not signed on once kept real logins out.
TEST_F(RobustnessTest, ClientsThatNeverSignOnHoldNoSlot) {
    ServerConfig config = TestConfig();
    config.maxUnauthenticated = 8;
    config.maxUnauthenticatedPerAddress = 4;
    config.loginTimeoutMs = 1500;
    StartServer(config);
    constexpr int kEach = 6;
    std::vector<std::unique_ptr<TestClient>> squatters;
    for (std::uint32_t address = 0x7F000002; address <= 0x7F000005; ++address) {  // 127.0.0.2 to .5
        for (int i = 0; i < kEach; ++i) {
            auto squatter = std::make_unique<TestClient>();
            ASSERT_TRUE(squatter->Connect(i % 2 ? server.AuthPort() : server.BosPort(), address));
            ASSERT_TRUE(squatter->ReadFrame(500)) << "a new connection was refused";
            squatters.push_back(std::move(squatter));
        }
    }
    for (std::size_t first = 0; first < squatters.size(); first += kEach) {
        EXPECT_TRUE(squatters[first]->WaitClosed()) << "the oldest of an address past its share stayed";
    }
    for (const auto& [uin, password] : {std::pair{kAlice, "alice"}, std::pair{kBoris, "boris"}, std::pair{kVera, "vera"}}) {
        EXPECT_TRUE(SignOn(server, uin, password)) << "a real login was kept out";
    }

    auto deadline = Clock::now() + std::chrono::milliseconds(config.loginTimeoutMs + 1000);
    while (Clock::now() < deadline) {
        for (auto& squatter : squatters) squatter->SendFrame(kChannelKeepAlive, {});
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    for (auto& squatter : squatters) EXPECT_TRUE(squatter->WaitClosed(500)) << "keep-alives extended the deadline";
}

TEST_F(RobustnessTest, ClientThatNeverReadsIsDroppedAlone) {
    ServerConfig config = TestConfig();
    config.maxQueuedOutput = 16 * 1024;
    config.sendTimeoutMs = 500;
    config.snacBurst = config.snacsPerSecond = 1000000;  // the output bound is the point here
    SetUpPair(config);
    std::unique_ptr<TestClient> hog = SignOn(server, kVera, "vera");
    ASSERT_TRUE(hog);

    // Contact list requests, each answered at length, never read; the server's
    // queue for this client fills and it is cut off.
    std::vector<std::uint8_t> request;
    ASSERT_TRUE(BuildSnacFrame(request, 1, {0x0013, 0x0004, 0, 4}, PacketBuffer()));
    std::vector<std::uint8_t> burst;
    for (int i = 0; i < 1000; ++i) burst.insert(burst.end(), request.begin(), request.end());
    bool cutOff = false;
    auto deadline = Clock::now() + std::chrono::seconds(20);
    while (!cutOff && Clock::now() < deadline) {
        cutOff = !hog->SendRaw(burst);
        Drain(*alice, kAlice);  // a round trip: Alice is served meanwhile
    }
    EXPECT_TRUE(cutOff) << "the server kept queueing for a client that does not read";
    ExpectRelayWorks(*alice, *boris, "after the hog was dropped");
}

// TLS connections that never finish their handshake (nothing sent, or the head
// of a handshake record and then nothing) hold neither the accept loop nor the
// server lock: logins go on meanwhile, over TLS too. They count among the
// connections not signed on, the oldest of an address giving way past its
// share, and are closed at the sign-on deadline.
TEST_F(RobustnessTest, StalledTlsHandshakesHoldNothingUp) {
    TempDir dir;
    ServerConfig config = TestConfig();
    config.tls = true;
    config.tlsPort = 0;
    config.dataDirectory = dir.Path();
    config.loginTimeoutMs = 2000;
    config.maxUnauthenticatedPerAddress = 4;
    StartServer(config);
    std::vector<std::unique_ptr<TestClient>> stalled;
    for (int i = 0; i < 6; ++i) {
        auto client = std::make_unique<TestClient>();
        ASSERT_TRUE(client->Connect(server.TlsPort(), 0x7F000002));  // 127.0.0.2
        const std::uint8_t recordHead[3] = {0x16, 0x03, 0x01};
        if (i % 2 != 0) {
            ASSERT_TRUE(client->SendRaw(recordHead));
        }
        stalled.push_back(std::move(client));
    }
    SignOnOptions overTls;
    overTls.tls = true;
    overTls.login = LoginKind::Md5;
    EXPECT_TRUE(SignOn(server, kAlice, "alice", overTls)) << "a stalled handshake held up the TLS port";
    EXPECT_TRUE(SignOn(server, kBoris, "boris")) << "a stalled handshake held up the server";
    EXPECT_TRUE(stalled.back()->QuietFor(1)) << "closed before its deadline";
    for (std::size_t i = 0; i < 2; ++i) EXPECT_TRUE(stalled[i]->WaitClosed(1000)) << "past the share, " << i;
    for (auto& client : stalled) EXPECT_TRUE(client->WaitClosed(config.loginTimeoutMs + 2000));
}

// A TLS send waits on its socket without a time limit of its own, so a client
// that stopped reading once kept the writer, and with it the connection, for
// ever. The reader cuts a send stuck past the send time-out, while it reads and
// also while the queue is flushed after the client has closed its side.
TEST(ConnectionTest, StalledTlsSendIsCutAtTheSendTimeout) {
    platform::CertificateAndKey pem;
    std::string error;
    ASSERT_TRUE(platform::MakeSelfSignedCertificate("localhost", pem, error)) << error;
    std::shared_ptr<const platform::TlsServerContext> context = platform::TlsServerContext::FromPem(pem, error);
    ASSERT_TRUE(context) << error;

    struct Recorder final : Connection::Handler {
        bool OnFrame(Connection&, std::uint8_t, std::span<const std::uint8_t>) override { return true; }
        void OnClosed(Connection&, const std::string& why) override { reason.set_value(why); }
        std::promise<std::string> reason;
    };
    for (bool halfClosed : {false, true}) {
        SCOPED_TRACE(halfClosed ? "after the client closed its side" : "while reading");
        int ends[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
        Recorder recorder;
        Connection::Limits limits;
        limits.maxQueuedOutput = 64 * 1024 * 1024;  // the send time-out is the point here
        limits.sendTimeoutMs = 300;
        limits.idleTimeoutMs = 60 * 1000;
        Connection connection(std::make_unique<platform::TlsStream>(context, ends[0]), limits, recorder);
        connection.SetDeadline(60 * 1000);
        connection.Start();
        platform::TlsClientOptions options;
        options.host = "localhost";
        options.pinnedFingerprint = context->Fingerprint();
        platform::TlsStream client(ends[1], options);
        ASSERT_TRUE(client.Connect(Clock::now() + std::chrono::seconds(5)).Usable());

        // Far more than the socket buffers take, never read.
        const std::vector<std::uint8_t> block(60000, 'x');
        for (int i = 0; i < 300; ++i) ASSERT_TRUE(connection.SendFrame(kChannelSnac, block));
        if (halfClosed) {
            // Once the writer is stuck (the queue stays put), the client closes its side.
            for (std::size_t before = 0; before != connection.QueuedBytes();) {
                before = connection.QueuedBytes();
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            ::shutdown(ends[1], SHUT_WR);
        }
        std::future<std::string> reason = recorder.reason.get_future();
        ASSERT_EQ(reason.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        const std::string why = reason.get();
        if (!halfClosed) {
            EXPECT_EQ(why, "send failed or timed out: the client does not read");
        }
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (!connection.Finished() && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_TRUE(connection.Finished()) << "the writer is still stuck in its send";
    }
}

// Only signed-on sessions fill the server: at the session limit a connection not
// signed on gives way to a new one, and with every slot signed on a new one is
// refused until a session ends.
TEST_F(RobustnessTest, ConnectionsBeyondTheLimitAreRefused) {
    ServerConfig config = TestConfig();
    config.maxSessions = 2;
    StartServer(config);
    std::unique_ptr<TestClient> alice = SignOn(server, kAlice, "alice");
    ASSERT_TRUE(alice);
    TestClient held;
    ASSERT_TRUE(held.Connect(server.AuthPort()));
    ASSERT_TRUE(held.ReadFrame());
    std::unique_ptr<TestClient> boris = SignOn(server, kBoris, "boris");
    ASSERT_TRUE(boris);
    EXPECT_TRUE(held.WaitClosed());

    TestClient extra;
    ASSERT_TRUE(extra.Connect(server.BosPort()));
    EXPECT_FALSE(extra.ReadFrame(1000)) << "a connection beyond the limit was served";

    alice.reset();
    // Once the closed session has wound down, a new one is served again.
    bool served = false;
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!served && Clock::now() < deadline) {
        TestClient again;
        ASSERT_TRUE(again.Connect(server.AuthPort()));
        served = again.ReadFrame(500).has_value();
    }
    EXPECT_TRUE(served);
}

TEST_F(RobustnessTest, StopIsPromptWhateverTheClientsDo) {
    SetUpPair();
    TestClient halfFrame;
    ASSERT_TRUE(halfFrame.Connect(server.BosPort()));
    const std::uint8_t part[3] = {0x2A, 0x01, 0x00};
    halfFrame.SendRaw(part);
    TestClient silent;
    ASSERT_TRUE(silent.Connect(server.AuthPort()));

    auto started = Clock::now();
    server.Stop();
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
    EXPECT_LT(took, 2000);
    EXPECT_EQ(server.ConnectionCount(), 0u);
    EXPECT_TRUE(alice->WaitClosed(1000));
    EXPECT_TRUE(halfFrame.WaitClosed(1000));
    EXPECT_TRUE(silent.WaitClosed(1000));
    TestClient late;
    EXPECT_FALSE(late.Connect(server.AuthPort())) << "the listener is still open";
    server.Stop();  // a second stop is harmless
}

}  // namespace
}  // namespace pellox::server::test
