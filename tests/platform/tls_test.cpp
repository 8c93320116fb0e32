#include "platform/tls.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

#include "platform/endpoint.h"
#include "platform/files.h"
#include "platform/tls_client.h"

namespace pellox::platform {
namespace {

using std::chrono::steady_clock;

steady_clock::time_point Later() {
    return steady_clock::now() + std::chrono::seconds(30);
}

CertificateAndKey Make(const std::string& host, const CertificateAndKey* issuer = nullptr,
                       bool authority = false) {
    CertificateAndKey pem;
    std::string error;
    EXPECT_TRUE(MakeCertificateForTesting(host, issuer, authority, pem, error)) << error;
    return pem;
}

std::shared_ptr<TlsServerContext> Context(const CertificateAndKey& pem) {
    std::string error;
    auto context = TlsServerContext::FromPem(pem, error);
    EXPECT_NE(context, nullptr) << error;
    return context;
}

std::string ReceiveExactly(Stream& stream, std::size_t n) {
    std::string data(n, '\0');
    std::size_t got = 0;
    while (got < n) {
        const long r = stream.ReceiveSome(data.data() + got, n - got);
        if (r <= 0) break;
        got += static_cast<std::size_t>(r);
    }
    data.resize(got);
    return data;
}

// Accepts one connection on 127.0.0.1 and runs `session` on it once the TLS
// handshake succeeded; `raw` replaces the whole server side for other TLS peers.
class OneShotServer {
public:
    using Session = std::function<void(TlsStream&)>;
    OneShotServer(std::shared_ptr<const TlsServerContext> context, Session session)
        : listener_(ListenTcp({0x7F000001, 0})) {
        thread_ = std::thread([this, context, session] {
            const SocketHandle s = AcceptClient(listener_);
            if (s == kNoSocket) return;
            TlsStream stream(context, s);
            accepted_ = stream.Accept(Later(), &reason_);
            if (accepted_ && session) session(stream);
        });
    }
    explicit OneShotServer(std::function<void(SocketHandle)> raw)
        : listener_(ListenTcp({0x7F000001, 0})) {
        thread_ = std::thread([this, raw] {
            const SocketHandle s = AcceptClient(listener_);
            if (s == kNoSocket) return;
            raw(s);
            CloseSocket(s);
        });
    }
    ~OneShotServer() { Join(); }

    std::uint16_t Port() const { return BoundPort(listener_); }
    void Join() {
        if (thread_.joinable()) {
            ShutdownSocket(listener_);  // an accept that never got a client returns
            thread_.join();
            CloseSocket(listener_);
        }
    }
    // After Join.
    bool Accepted() const { return accepted_; }
    const std::string& Reason() const { return reason_; }

private:
    SocketHandle listener_;
    std::thread thread_;
    bool accepted_ = false;
    std::string reason_;
};

std::unique_ptr<TlsStream> Client(std::uint16_t port, TlsClientOptions options, TlsOutcome& outcome,
                                  steady_clock::time_point deadline = Later()) {
    IpAddress loopback;
    EXPECT_TRUE(ParseIpAddress("127.0.0.1", loopback));
    const SocketHandle s = ConnectFirst({loopback}, port, Later());
    EXPECT_NE(s, kNoSocket);
    auto stream = std::make_unique<TlsStream>(s, std::move(options));
    outcome = stream->Connect(deadline);
    return stream;
}

class Tls : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        selfSigned_ = Make("localhost");
        otherSelfSigned_ = Make("localhost");
        authority_ = Make("authority.example", nullptr, true);
    }
    // A pinned connection to a server running `session`.
    std::unique_ptr<TlsStream> Pinned(OneShotServer& server) {
        TlsOutcome outcome;
        auto stream = Client(server.Port(), {"localhost", Fingerprint(selfSigned_), ""}, outcome);
        EXPECT_EQ(outcome.verdict, TlsVerdict::PinMatched) << outcome.reason;
        return stream;
    }
    static std::string Fingerprint(const CertificateAndKey& pem) {
        return CertificateFingerprint(pem.certificatePem);
    }

    static inline CertificateAndKey selfSigned_;
    static inline CertificateAndKey otherSelfSigned_;
    static inline CertificateAndKey authority_;
};

TEST_F(Tls, VerdictOfCertificateHostAndPin) {
    // Names chat.example and the loopback names and addresses.
    const CertificateAndKey issued = Make("chat.example", &authority_);
    const std::string pinned = Fingerprint(selfSigned_);
    std::string lowerPin = pinned;
    for (char& c : lowerPin) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    struct Case {
        const char* what;
        const CertificateAndKey& server;
        const char* host;
        bool trustAuthority;
        std::string pin;
        TlsVerdict verdict;
        const char* reasonHas;
    };
    const Case cases[] = {
        {"self-signed, no pin", selfSigned_, "localhost", false, "", TlsVerdict::Untrusted,
         "self-signed"},
        {"self-signed, its pin", selfSigned_, "localhost", false, pinned, TlsVerdict::PinMatched,
         ""},
        {"pin in another notation", selfSigned_, "localhost", false, lowerPin,
         TlsVerdict::PinMatched, ""},
        {"another certificate, the old pin", otherSelfSigned_, "localhost", false, pinned,
         TlsVerdict::PinMismatch, "self-signed"},
        {"trusted authority, its name", issued, "chat.example", true, "", TlsVerdict::Trusted, ""},
        {"trusted authority, loopback address", issued, "127.0.0.1", true, "", TlsVerdict::Trusted,
         ""},
        {"trusted authority, another name", issued, "other.example", true, "",
         TlsVerdict::Untrusted, "mismatch"},
        {"trusted authority, another address", issued, "127.0.0.2", true, "", TlsVerdict::Untrusted,
         "mismatch"},
        {"system store only", issued, "chat.example", false, "", TlsVerdict::Untrusted, "issuer"},
        {"trusted, but another one is pinned", issued, "chat.example", true, pinned,
         TlsVerdict::PinMismatch, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::atomic<bool> served{false};
        OneShotServer server(Context(c.server), [&](TlsStream& s) {
            ASSERT_TRUE(s.SendAll("hi", 2));
            served = true;
        });
        TlsOutcome outcome;
        TlsClientOptions options{c.host, c.pin, c.trustAuthority ? authority_.certificatePem : ""};
        auto stream = Client(server.Port(), options, outcome);
        EXPECT_EQ(outcome.verdict, c.verdict) << outcome.reason;
        EXPECT_EQ(outcome.fingerprint, Fingerprint(c.server));
        EXPECT_EQ(outcome.pinned, c.pin);
        EXPECT_NE(outcome.reason.find(c.reasonHas), std::string::npos) << outcome.reason;
        if (outcome.Usable()) {
            EXPECT_EQ(ReceiveExactly(*stream, 2), "hi");
        } else {
            // Refused before any data: the server never got a connection to use
            // and the client's stream carries nothing.
            char byte;
            EXPECT_FALSE(stream->SendAll("x", 1));
            EXPECT_EQ(stream->ReceiveSome(&byte, 1), -1);
        }
        stream.reset();
        server.Join();
        EXPECT_EQ(server.Accepted(), outcome.Usable()) << server.Reason();
        EXPECT_EQ(served.load(), outcome.Usable());
    }
}

TEST_F(Tls, DataBothWaysAndBufferedBytesCountAsReadable) {
    const std::string big(300000, 'z');  // more than a socket buffer takes at once
    OneShotServer server(Context(selfSigned_), [&](TlsStream& s) {
        ASSERT_TRUE(s.SendAll("hello world", 11));  // one record
        const std::string got = ReceiveExactly(s, big.size());
        ASSERT_TRUE(s.SendAll(got.data(), got.size()));
    });  // the server's stream ends in order when the session returns
    auto stream = Pinned(server);
    ASSERT_TRUE(stream);
    char first = 0;
    ASSERT_EQ(stream->ReceiveSome(&first, 1), 1);
    EXPECT_EQ(first, 'h');
    // The rest of the record is inside the TLS layer, not in the socket.
    EXPECT_TRUE(stream->WaitReadable(0));
    EXPECT_EQ(ReceiveExactly(*stream, 10), "ello world");
    EXPECT_FALSE(stream->WaitReadable(20));  // nothing more has come

    ASSERT_TRUE(stream->SendAll(big.data(), big.size()));
    EXPECT_EQ(ReceiveExactly(*stream, big.size()), big);
    server.Join();
    EXPECT_TRUE(stream->WaitReadable(-1));
    char byte;
    EXPECT_EQ(stream->ReceiveSome(&byte, 1), 0);
}

// A peer limited to TLS 1.1 (by OpenSSL directly: our own sides refuse it).
SSL_CTX* OldVersionContext(bool server, const CertificateAndKey& pem) {
    SSL_CTX* context = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
    SSL_CTX_set_security_level(context, 0);
    SSL_CTX_set_cipher_list(context, "DEFAULT:@SECLEVEL=0");
    SSL_CTX_set_min_proto_version(context, TLS1_VERSION);
    SSL_CTX_set_max_proto_version(context, TLS1_1_VERSION);
    if (server) {
        BIO* bio =
            BIO_new_mem_buf(pem.certificatePem.data(), static_cast<int>(pem.certificatePem.size()));
        X509* certificate = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
        BIO_free(bio);
        bio = BIO_new_mem_buf(pem.keyPem.data(), static_cast<int>(pem.keyPem.size()));
        EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
        BIO_free(bio);
        SSL_CTX_use_certificate(context, certificate);
        SSL_CTX_use_PrivateKey(context, key);
        X509_free(certificate);
        EVP_PKEY_free(key);
    }
    return context;
}

int OldVersionHandshake(bool server, SocketHandle s, const CertificateAndKey& pem) {
    SSL_CTX* context = OldVersionContext(server, pem);
    SSL* ssl = SSL_new(context);
    SSL_set_fd(ssl, s);
    const int rc = server ? SSL_accept(ssl) : SSL_connect(ssl);
    SSL_free(ssl);
    SSL_CTX_free(context);
    return rc;
}

// The module a program without the TLS code loads on its first TLS connection
// speaks TLS on its own: a pinned client of it takes data from the server.
TEST_F(Tls, TheModuleAloneMakesAClientThatConnects) {
    void* module = ::dlopen(PELLOX_BUILD_TLS_MODULE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << ::dlerror();
    const auto start = reinterpret_cast<decltype(&PelloxNewTlsClient)>(::dlsym(module, "PelloxNewTlsClient"));
    const auto connect =
        reinterpret_cast<decltype(&PelloxConnectTlsClient)>(::dlsym(module, "PelloxConnectTlsClient"));
    ASSERT_NE(start, nullptr);
    ASSERT_NE(connect, nullptr);
    OneShotServer server(Context(selfSigned_), [&](TlsStream& s) { ASSERT_TRUE(s.SendAll("hi", 2)); });
    IpAddress loopback;
    ASSERT_TRUE(ParseIpAddress("127.0.0.1", loopback));
    const TlsClientOptions options{"localhost", Fingerprint(selfSigned_), ""};
    const std::unique_ptr<Stream> stream(start(ConnectFirst({loopback}, server.Port(), Later()), &options));
    TlsOutcome outcome;
    const steady_clock::time_point deadline = Later();
    connect(stream.get(), &deadline, &outcome);
    EXPECT_EQ(outcome.verdict, TlsVerdict::PinMatched) << outcome.reason;
    char got[2] = {};
    EXPECT_EQ(stream->ReceiveSome(got, 2), 2);
    EXPECT_EQ(std::string(got, 2), "hi");
    server.Join();
}

TEST_F(Tls, VersionsBelowTls12AreRefused) {
    {
        std::atomic<int> serverResult{99};
        OneShotServer server(
            [&](SocketHandle s) { serverResult = OldVersionHandshake(true, s, selfSigned_); });
        TlsOutcome outcome;
        auto stream = Client(server.Port(), {"localhost", Fingerprint(selfSigned_), ""}, outcome);
        EXPECT_EQ(outcome.verdict, TlsVerdict::Failed);
        EXPECT_FALSE(outcome.reason.empty());
        stream.reset();
        server.Join();
        EXPECT_NE(serverResult.load(), 1);
    }
    {
        OneShotServer server(Context(selfSigned_), nullptr);
        IpAddress loopback;
        ASSERT_TRUE(ParseIpAddress("127.0.0.1", loopback));
        const SocketHandle s = ConnectFirst({loopback}, server.Port(), Later());
        ASSERT_NE(s, kNoSocket);
        EXPECT_NE(OldVersionHandshake(false, s, selfSigned_), 1);
        CloseSocket(s);
        server.Join();
        EXPECT_FALSE(server.Accepted());
        EXPECT_FALSE(server.Reason().empty());
    }
}

TEST_F(Tls, HandshakeEndsAtTheDeadline) {
    // The server takes the connection and says nothing.
    std::atomic<bool> done{false};
    OneShotServer server([&](SocketHandle) {
        while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    TlsOutcome outcome;
    auto stream = Client(server.Port(), {"localhost", "", ""}, outcome,
                         steady_clock::now() + std::chrono::milliseconds(50));
    done = true;
    EXPECT_EQ(outcome.verdict, TlsVerdict::Failed);
    EXPECT_FALSE(outcome.Usable());
}

TEST_F(Tls, ClientWithoutHostChecksNothingAndFails) {
    OneShotServer server(Context(selfSigned_), nullptr);
    TlsOutcome outcome;
    auto stream = Client(server.Port(), {"", Fingerprint(selfSigned_), ""}, outcome);
    EXPECT_EQ(outcome.verdict, TlsVerdict::Failed);
}

TEST_F(Tls, ShutdownFromAnotherThreadWakesABlockedReceive) {
    std::atomic<bool> release{false};
    const auto hold = [&] {
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    };
    OneShotServer tlsServer(Context(selfSigned_), [&](TlsStream&) { hold(); });
    OneShotServer plainServer([&](SocketHandle) { hold(); });
    IpAddress loopback;
    ASSERT_TRUE(ParseIpAddress("127.0.0.1", loopback));
    std::unique_ptr<Stream> streams[] = {
        Pinned(tlsServer),
        std::make_unique<SocketStream>(ConnectFirst({loopback}, plainServer.Port(), Later())),
    };
    for (auto& stream : streams) {
        ASSERT_TRUE(stream);
        std::atomic<long> result{99};
        std::thread reader([&] {
            char byte;
            result = stream->ReceiveSome(&byte, 1);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        stream->Shutdown();
        reader.join();
        EXPECT_LE(result.load(), 0);
        EXPECT_TRUE(stream->WaitReadable(-1));  // a receive now ends at once
        EXPECT_FALSE(stream->SendAll("x", 1));
    }
    release = true;
}

TEST_F(Tls, SendsFromOneThreadWhileAnotherReceives) {
    // The server echoes; the client sends from one thread and reads on another,
    // as the network worker and the receive thread do.
    constexpr std::size_t kTotal = 1 << 20;
    OneShotServer server(Context(selfSigned_), [](TlsStream& s) {
        char buffer[4096];
        std::size_t echoed = 0;
        while (echoed < kTotal) {
            const long n = s.ReceiveSome(buffer, sizeof buffer);
            if (n <= 0 || !s.SendAll(buffer, static_cast<std::size_t>(n))) return;
            echoed += static_cast<std::size_t>(n);
        }
    });
    auto stream = Pinned(server);
    ASSERT_TRUE(stream);
    std::string sent(kTotal, '\0');
    for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>(i * 7 + i / 4096);
    std::string received;
    std::thread reader([&] {
        while (received.size() < kTotal) {
            if (!stream->WaitReadable(-1)) break;
            char buffer[3000];
            const long n = stream->ReceiveSome(buffer, sizeof buffer);
            if (n <= 0) break;
            received.append(buffer, static_cast<std::size_t>(n));
        }
    });
    for (std::size_t at = 0; at < kTotal; at += 1000) {
        ASSERT_TRUE(stream->SendAll(sent.data() + at, std::min<std::size_t>(1000, kTotal - at)));
    }
    reader.join();
    EXPECT_TRUE(received == sent);
}

class TlsFiles : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/pellox-tls-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
    std::string dir_;
};

TEST_F(TlsFiles, SelfSignedCertificateIsMadeOnceAndKeptPrivate) {
    bool created = false;
    std::string error;
    const auto first = TlsServerContext::SelfSigned(dir_, "chat.example", &created, error);
    ASSERT_NE(first, nullptr) << error;
    EXPECT_TRUE(created);
    for (const char* name : {kTlsCertificateFile, kTlsKeyFile}) {
        FileStatus status;
        ASSERT_TRUE(PathStatus(dir_ + "/" + name, status)) << name;
        EXPECT_EQ(status.mode & 0777, 0600u) << name;
    }
    const auto again = TlsServerContext::SelfSigned(dir_, "chat.example", &created, error);
    ASSERT_NE(again, nullptr) << error;
    EXPECT_FALSE(created);
    EXPECT_EQ(again->Fingerprint(), first->Fingerprint());
    const auto files = TlsServerContext::FromFiles(dir_ + "/" + kTlsCertificateFile,
                                                   dir_ + "/" + kTlsKeyFile, error);
    ASSERT_NE(files, nullptr) << error;
    EXPECT_EQ(files->Fingerprint(), first->Fingerprint());

    // The certificate names the host it was made for and the loopback addresses:
    // a client that trusts it takes it for those.
    CertificateAndKey pem;
    ASSERT_TRUE(ReadWholeFile(dir_ + "/" + kTlsCertificateFile, pem.certificatePem));
    for (const char* host : {"chat.example", "localhost", "127.0.0.1", "::1", "other.example"}) {
        SCOPED_TRACE(host);
        OneShotServer server(first, nullptr);
        TlsOutcome outcome;
        auto stream = Client(server.Port(), {host, "", pem.certificatePem}, outcome);
        EXPECT_EQ(outcome.verdict, std::string(host) == "other.example" ? TlsVerdict::Untrusted
                                                                        : TlsVerdict::Trusted)
            << outcome.reason;
    }
}

TEST_F(TlsFiles, AKeyThatDoesNotBelongIsReportedNotReplaced) {
    CertificateAndKey other = Make("localhost");
    std::string error;
    bool created = false;
    ASSERT_NE(TlsServerContext::SelfSigned(dir_, "localhost", &created, error), nullptr);
    File key;
    ASSERT_TRUE(key.Open(dir_ + "/" + kTlsKeyFile, OpenMode::Truncate));
    ASSERT_TRUE(key.Write(other.keyPem));
    key.Close();
    EXPECT_EQ(TlsServerContext::SelfSigned(dir_, "localhost", &created, error), nullptr);
    EXPECT_NE(error.find(kTlsKeyFile), std::string::npos) << error;
    std::string kept;
    ASSERT_TRUE(ReadWholeFile(dir_ + "/" + kTlsKeyFile, kept));
    EXPECT_EQ(kept, other.keyPem);

    EXPECT_EQ(TlsServerContext::FromPem({other.certificatePem, "junk"}, error), nullptr);
    EXPECT_EQ(TlsServerContext::FromPem({"junk", other.keyPem}, error), nullptr);
    EXPECT_FALSE(MakeSelfSignedCertificate("a,IP:10.0.0.1", other, error));  // no extra names
}

}  // namespace
}  // namespace pellox::platform
