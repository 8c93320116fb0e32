// The sign-on of today's servers against a scripted server: the MD5 login of
// family 0x0017, TLS with the certificate checked, pinned or refused, and the
// addresses of the two servers (IPv6 forms, a loopback messaging address).
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "net/address.h"
#include "net/session_impl.h"
#include "platform/tls.h"
#include "tests/net/recording_session.h"
#include "tests/net/scripted_server.h"

namespace pellox::testing {
namespace {

using signon::Md5LoginServer;
using signon::MessagingServer;

const Bytes kCookie = FromHex("DE AD BE EF 01 02 03");

std::string Hex(const platform::Md5Digest& digest) {
    return ToHex(Bytes(digest.begin(), digest.end()));
}

// ---- The MD5 login ----

TEST(Md5LoginHash, IsOfTheKeyThePasswordsMd5AndTheFixedText) {
    // The client sends the strong form (TLV 0x004C present); the weak form, of the
    // password itself, is the one it must not send.
    struct Row {
        std::string key;
        std::string password;
        const char* strong;
        const char* weak;
    };
    const Row rows[] = {
        {"3141592653", "secret", "F5 1F D8 26 F8 1E 5B 02 C2 F8 E8 CC 28 A0 13 17",
         "5E 6B 71 A2 C9 94 B3 95 45 DC 75 D5 14 F3 B1 7D"},
        {"", "", "1F A2 B6 99 59 84 B0 14 68 A3 7C 77 42 90 0A C9",
         "13 FD 0B 9E 89 F4 B8 36 A7 65 8B 9D CA AD 2A D4"},
        {"B7GD4a7a901o", "p\xE0ss", "3E 92 B3 E5 2A D6 67 9D 58 6A B1 A4 91 EC B2 D0",
         "24 6B 3B 77 78 6B DE B0 BF E2 B1 97 87 85 43 F0"},
        // The password ends at its first zero byte.
        {"key", std::string("pw\0tail", 7), "7F 21 51 FD D3 4E 98 AE 2E E8 A3 4A AF 98 0D F1",
         "81 70 07 48 34 5F 44 0D FB 15 1C CE F8 D8 D1 8A"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(Hex(Md5LoginHash(row.key, row.password)), row.strong) << row.key;
        EXPECT_NE(Hex(Md5LoginHash(row.key, row.password)), row.weak) << row.key;
    }
}

class SecureSignOn : public ::testing::Test {
protected:
    void TearDown() override { session_.Shutdown(); }
    void Start() {
        ASSERT_TRUE(server_.Start());
        ASSERT_TRUE(session_.StartWorker());
    }
    void Connect(bool md5, bool tls, std::string pin = {}) {
        ConnectCommand command{server_.AddressText(), u"123456789", u"secret"};
        command.md5Login = md5;
        command.tls = tls;
        command.tlsPin = std::move(pin);
        session_.EnqueueCommand(std::move(command));
    }
    void ExpectNoScriptFailures() {
        for (const std::string& f : server_.Failures()) ADD_FAILURE() << f;
    }
    static std::shared_ptr<platform::TlsServerContext> SelfSigned() {
        platform::CertificateAndKey pem;
        std::string error;
        EXPECT_TRUE(platform::MakeSelfSignedCertificate("localhost", pem, error)) << error;
        auto context = platform::TlsServerContext::FromPem(pem, error);
        EXPECT_NE(context, nullptr) << error;
        return context;
    }

    ScriptedServer server_;
    RecordingSession session_;
};

TEST_F(SecureSignOn, Md5LoginIsExactOnTheWire) {
    server_.AddConnection(Md5LoginServer("3141592653"));
    server_.AddConnection(MessagingServer());
    // A server that does not know the number answers the key request with the
    // reply's error at once.
    server_.AddConnection(Script().SendHello().Expect(kChannelSignOn).ExpectSnac(0x0017, 0x0006).SendSnac(
        0x0017, 0x0003, Concat({TlvBytes(0x0001, BytesOf("123456789")), TlvBytes(0x0008, FromHex("0004"))})));
    Start();
    Connect(true, false);
    ASSERT_TRUE(session_.WaitForReport(ConnState::LoadingOfflineMessages));
    ASSERT_TRUE(server_.WaitForFrame([](const ReceivedFrame& f) { return signon::MetaRequestType(f) == 0x003C; }));
    EXPECT_EQ(session_.Reports(), (std::vector<int>{3, 4, 6, 7, 8}));

    const auto login = server_.FramesOn(0);
    ASSERT_EQ(login.size(), 3u);
    EXPECT_EQ(ToHex(login[0].raw), ToHex(FlapBytes(1, 1, FromHex("00000001"))));
    EXPECT_EQ(ToHex(login[1].raw),
              ToHex(FlapBytes(2, 2, SnacBytes(0x0017, 0x0006, TlvBytes(0x0001, BytesOf("123456789")), 0, 6))));
    const Bytes identity = Concat({TlvBytes(0x0003, BytesOf("ICQBasic")), FromHex("0016 0002 010A"),
                                   FromHex("0017 0002 0014"), FromHex("0018 0002 0034"),
                                   FromHex("0019 0002 0000"), FromHex("001A 0002 0C18"),
                                   FromHex("0014 0004 0000043D"), FromHex("000F 0002"), BytesOf("en"),
                                   FromHex("000E 0002"), BytesOf("us")});
    EXPECT_EQ(ToHex(login[2].raw),
              ToHex(FlapBytes(2, 3,
                              SnacBytes(0x0017, 0x0002,
                                        Concat({TlvBytes(0x0001, BytesOf("123456789")),
                                                TlvBytes(0x0025, FromHex("F51FD826F81E5B02C2F8E8CC28A01317")),
                                                FromHex("004C 0000"), identity}),
                                        0, 2))));
    // The messaging phase is the roasted login's: the cookie from 0x0017/0x0003.
    EXPECT_EQ(ToHex(server_.FramesOn(1).at(0).data), ToHex(Concat({FromHex("00000001"), TlvBytes(0x0006, kCookie)})));

    Connect(true, false);
    ASSERT_TRUE(session_.WaitForReport(ConnState::ConnectionError));
    EXPECT_EQ(session_.LoginRefusal(), 0x0004);
    EXPECT_TRUE(session_.LoginRefused());
    ExpectNoScriptFailures();
    EXPECT_EQ(server_.Accepted(), 3);
}

// ---- TLS ----

TEST_F(SecureSignOn, UntrustedCertificateIsUsedOnlyOncePinned) {
    const auto certificate = SelfSigned();
    ASSERT_NE(certificate, nullptr);
    server_.UseTls(certificate);
    server_.AddConnection(Script());  // refused by the client: nothing is played
    server_.AddConnection(Md5LoginServer("key"));
    server_.AddConnection(MessagingServer());
    session_.SetReconnectCheck([] { return true; });
    session_.SetReconnectTiming({10, 10, 0.0});
    Start();

    Connect(true, true);
    ASSERT_TRUE(session_.WaitForReport(ConnState::ConnectionError));
    EXPECT_EQ(session_.LoginRefusal(), kRefusalCertificateUntrusted);
    const auto problems = session_.CertificateProblems();
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_FALSE(problems[0].changed);
    EXPECT_TRUE(problems[0].canPin);
    EXPECT_EQ(problems[0].fingerprint, certificate->Fingerprint());
    EXPECT_EQ(problems[0].server, server_.Address());
    // Not a byte of the login, and no try again without the user.
    ASSERT_TRUE(server_.WaitForPeerClosed(0));
    EXPECT_EQ(server_.TlsHandshakesFailed(), 1);
    EXPECT_EQ(server_.FrameCount(), 0u);
    EXPECT_FALSE(session_.ReconnectPending());

    // The user trusts it: both connections go through with the pin.
    Connect(true, true, certificate->Fingerprint());
    ASSERT_TRUE(session_.WaitForReport(ConnState::LoadingOfflineMessages));
    ASSERT_TRUE(server_.WaitForScriptsDone());
    ExpectNoScriptFailures();
    EXPECT_EQ(server_.FramesOn(1).size(), 3u);  // the MD5 login
    EXPECT_TRUE(server_.FramesOn(2).at(1).IsSnac(0x0001, 0x0017));
    EXPECT_EQ(server_.TlsHandshakesFailed(), 1);
    EXPECT_EQ(session_.CertificateProblems().size(), 1u);
}

TEST_F(SecureSignOn, AnotherCertificateThanThePinnedOneIsRefusedNamingBoth) {
    const auto certificate = SelfSigned();
    const auto earlier = SelfSigned();
    ASSERT_TRUE(certificate && earlier);
    server_.UseTls(certificate);
    server_.AddConnection(Script());
    Start();
    Connect(false, true, earlier->Fingerprint());
    ASSERT_TRUE(session_.WaitForReport(ConnState::ConnectionError));
    EXPECT_EQ(session_.LoginRefusal(), kRefusalCertificateChanged);
    EXPECT_TRUE(session_.LoginRefused());
    const auto problems = session_.CertificateProblems();
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_TRUE(problems[0].changed);
    EXPECT_EQ(problems[0].fingerprint, certificate->Fingerprint());
    EXPECT_EQ(problems[0].pinned, earlier->Fingerprint());
    ASSERT_TRUE(server_.WaitForPeerClosed(0));
    EXPECT_EQ(server_.FrameCount(), 0u);
}

TEST_F(SecureSignOn, CloseBreaksOffAHandshakeInProgress) {
    server_.AddConnection(Script());  // takes the connection, never answers the TLS hello
    Start();
    Connect(false, true);
    // The client's hello is there (the server reads it as a frame and gives up).
    ASSERT_TRUE(session_.WaitUntil([&] { return !server_.Failures().empty(); }));
    session_.CloseSession();
    // The connect ends long before its deadline, and the close is final.
    ASSERT_TRUE(session_.WaitForReport(ConnState::ConnectionError));
    EXPECT_EQ(session_.Reports(), (std::vector<int>{3, 4, 0, 0, 2}));
    EXPECT_EQ(session_.State(), ConnState::Disconnected);
    EXPECT_EQ(session_.LoginRefusal(), 0);
    EXPECT_TRUE(session_.CertificateProblems().empty());
}

// ---- Addresses ----

TEST_F(SecureSignOn, LoopbackMessagingAddressGoesToTheLoginServersHostWithItsPin) {
    const auto certificate = SelfSigned();
    ASSERT_NE(certificate, nullptr);
    server_.UseTls(certificate);
    // The server's own idea of itself, as its shipped configuration advertises it.
    server_.AddConnection(Script().SendHello().Expect(kChannelSignOn).Do([](Script::Context& c) {
        return c.SendFrame(kChannelSignOff,
                           Concat({TlvBytes(0x0001, BytesOf("123456789")),
                                   TlvBytes(0x0005, BytesOf("[::1]:" + std::to_string(c.server.Port()))),
                                   TlvBytes(0x0006, kCookie)}));
    }));
    server_.AddConnection(MessagingServer());
    session_.SetLoginServerRemoteForTesting(true);
    Start();
    Connect(false, true, certificate->Fingerprint());
    ASSERT_TRUE(session_.WaitForReport(ConnState::LoadingOfflineMessages));
    ASSERT_TRUE(server_.WaitForScriptsDone());
    ExpectNoScriptFailures();
    EXPECT_EQ(server_.Accepted(), 2);
}

TEST(ServerAddresses, LoginServerTextAndItsPin) {
    struct Row {
        const char* text;
        bool tls;
        const char* identity;  // "" when the text names no server
    };
    const Row rows[] = {
        {"Login.Example.org", false, "login.example.org:5190"},
        {"login.example.org", true, "login.example.org:5193"},
        {"login.example.org:5190", true, "login.example.org:5190"},
        {"10.0.0.1", true, "10.0.0.1:5193"},
        {"[2001:DB8::1]:5191", false, "[2001:db8::1]:5191"},
        {"::1", true, "[::1]:5193"},
        {":5190", false, ""},
        {"host:0", false, ""},
        {"", true, ""},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(ServerIdentity(row.text, row.tls), row.identity) << row.text;
    }
    ServerAddress login;
    ASSERT_TRUE(ResolveLoginServer("[::1]", true, login));
    EXPECT_EQ(login.host, "::1");
    EXPECT_EQ(login.port, 5193);
    ASSERT_EQ(login.addresses.size(), 1u);
    EXPECT_TRUE(login.addresses[0].v6);
    EXPECT_FALSE(ResolveLoginServer("no-such-host.invalid", false, login));
}

TEST(ServerAddresses, MessagingAddressFromTheLoginReply) {
    ServerAddress remote;
    ASSERT_TRUE(ResolveLoginServer("192.0.2.7:5193", true, remote));
    remote.host = "icq.example.org";  // as the user typed it
    ServerAddress local;
    ASSERT_TRUE(ResolveLoginServer("127.0.0.1", false, local));
    struct Row {
        const char* text;
        bool loginLocal;
        bool tls;
        const char* host;  // nullptr: refused
        std::uint16_t port;
        const char* address;
        bool replaced;
    };
    const Row rows[] = {
        {"10.0.0.1:5191", false, false, "10.0.0.1", 5191, "10.0.0.1", false},
        {"[2001:db8::1]:5191", false, false, "2001:db8::1", 5191, "2001:db8::1", false},
        {"2001:db8::2", false, true, "2001:db8::2", 5193, "2001:db8::2", false},
        // The server's own loopback or unspecified address: the login server's host.
        {"127.0.0.1:5191", false, true, "icq.example.org", 5191, "192.0.2.7", true},
        {"0.0.0.0:5190", false, false, "icq.example.org", 5190, "192.0.2.7", true},
        {"[::1]:5195", false, false, "icq.example.org", 5195, "192.0.2.7", true},
        // A login server on this machine: loopback is meant, unspecified is refused.
        {"127.0.0.1:5191", true, false, "127.0.0.1", 5191, "127.0.0.1", false},
        {"0.0.0.0:5190", true, false, nullptr, 0, nullptr, false},
        {"[::]:5190", true, false, nullptr, 0, nullptr, false},
        // The old forms: any separators, parts kept modulo 256.
        {"300.1.2.3:1:80", false, false, "44.1.2.3", 80, "44.1.2.3", false},
        {"10.0", false, false, nullptr, 0, nullptr, false},
        {"no-such-host.invalid:5190", false, false, nullptr, 0, nullptr, false},
    };
    for (const Row& row : rows) {
        ServerAddress out;
        bool replaced = false;
        const bool ok = ResolveMessagingServer(row.text, row.tls, row.loginLocal ? local : remote,
                                               row.loginLocal, out, replaced);
        ASSERT_EQ(ok, row.host != nullptr) << row.text;
        if (!ok) continue;
        EXPECT_EQ(out.host, row.host) << row.text;
        EXPECT_EQ(out.port, row.port) << row.text;
        ASSERT_EQ(out.addresses.size(), 1u) << row.text;
        EXPECT_EQ(platform::FormatAddress(out.addresses[0]), row.address) << row.text;
        EXPECT_EQ(replaced, row.replaced) << row.text;
    }
}

}  // namespace
}  // namespace pellox::testing
