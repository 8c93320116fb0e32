#include "platform/tls.h"
#include "platform/tls_client.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <poll.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>

#include "platform/digest.h"
#include "platform/endpoint.h"
#include "platform/files.h"
#include "platform/openssl_util.h"
#include "platform/socket_wait.h"

namespace pellox::platform {

std::string TakeOpenSslError(const std::string& fallback) {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
    return reason != nullptr ? std::string(reason) : fallback;
}

std::string FingerprintOf(const X509* certificate) {
    if (certificate == nullptr) return {};
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(certificate, EVP_sha256(), digest, &length) != 1) return {};
    return FormatFingerprint({digest, length});
}

BioPtr ReadOnlyBio(const std::string& text) {
    if (text.size() > INT_MAX) return nullptr;
    return BioPtr(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

X509Ptr ReadCertificate(const std::string& pem) {
    const BioPtr bio = ReadOnlyBio(pem);
    return X509Ptr(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

KeyPtr ReadKey(const std::string& pem) {
    const BioPtr bio = ReadOnlyBio(pem);
    return KeyPtr(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

std::string CertificateFingerprint(const std::string& certificatePem) {
    const X509Ptr certificate = ReadCertificate(certificatePem);
    return FingerprintOf(certificate.get());
}

namespace {

// What both sides share: TLS 1.2 at least, no renegotiation, and writes that may
// resume with the rest of a buffer after the socket had no room.
bool ApplyCommonSettings(SSL_CTX* context) {
    SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    return SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) == 1;
}

void IgnoreBrokenPipes() {
    // OpenSSL writes to the socket with write(2), which raises SIGPIPE on a
    // connection the peer has closed.
    static std::once_flag once;
    std::call_once(once, [] { (void)StartSocketLibrary(); });
}

// What the socket must become before an OpenSSL call that failed with `error` can
// go on: POLLIN or POLLOUT; 0 when it cannot go on.
short WantedEvents(int error) {
    if (error == SSL_ERROR_WANT_READ) return POLLIN;
    if (error == SSL_ERROR_WANT_WRITE) return POLLOUT;
    return 0;
}

// The host as an address literal for the certificate check; an IPv6 zone
// ("%eth0") does not appear in certificates.
bool HostAddress(const std::string& host, IpAddress& address) {
    return ParseIpAddress(host.substr(0, host.find('%')), address);
}

}  // namespace

struct TlsStream::State {
    SocketHandle socket = kNoSocket;
    std::mutex lock;  // every call on `ssl` after its set-up
    SslContextPtr clientContext;
    std::shared_ptr<const TlsServerContext> server;
    SSL* ssl = nullptr;
    TlsClientOptions options;
    std::string setupError;  // why `ssl` could not be made
    std::atomic<bool> usable{false};
    // Written by the verification during Connect, on the same thread.
    TlsOutcome outcome;
    bool verified = false;

    ~State() { SSL_free(ssl); }

    // Runs SSL_connect or SSL_accept until done, waiting on the socket for what
    // OpenSSL asks for until the deadline.
    bool Handshake(bool client, std::chrono::steady_clock::time_point deadline,
                   std::string& reason);
    // One call on `ssl` under the lock: its result and SSL_get_error's code.
    template <typename Call>
    int Run(Call call, int& error) {
        std::lock_guard<std::mutex> guard(lock);
        ERR_clear_error();
        const int rc = call(ssl);
        error = rc > 0 ? SSL_ERROR_NONE : SSL_get_error(ssl, rc);
        return rc;
    }
};

namespace {

// The whole verification of the server's certificate, replacing OpenSSL's: the
// standard chain and host check, then the decision with the pin. Returning 0
// breaks the handshake off before any application data flows.
int VerifyServer(X509_STORE_CTX* store, void* arg) {
    auto& state = *static_cast<TlsStream::State*>(arg);
    const bool chainOk = X509_verify_cert(store) > 0;
    const int error = X509_STORE_CTX_get_error(store);
    TlsOutcome& outcome = state.outcome;
    state.verified = true;
    outcome.fingerprint = FingerprintOf(X509_STORE_CTX_get0_cert(store));
    outcome.pinned = state.options.pinnedFingerprint;
    outcome.reason = chainOk ? std::string() : X509_verify_cert_error_string(error);
    if (outcome.pinned.empty()) {
        outcome.verdict = chainOk ? TlsVerdict::Trusted : TlsVerdict::Untrusted;
    } else if (SameFingerprint(outcome.pinned, outcome.fingerprint)) {
        outcome.verdict = TlsVerdict::PinMatched;
        outcome.reason.clear();
    } else {
        outcome.verdict = TlsVerdict::PinMismatch;
    }
    if (outcome.Usable()) {
        X509_STORE_CTX_set_error(store, X509_V_OK);
        return 1;
    }
    if (chainOk) X509_STORE_CTX_set_error(store, X509_V_ERR_APPLICATION_VERIFICATION);
    return 0;
}

}  // namespace

bool TlsStream::State::Handshake(bool client, std::chrono::steady_clock::time_point deadline,
                                 std::string& reason) {
    for (;;) {
        int error = SSL_ERROR_NONE;
        const int rc =
            Run([client](SSL* s) { return client ? SSL_connect(s) : SSL_accept(s); }, error);
        if (rc == 1) return true;
        const short want = WantedEvents(error);
        if (want == 0) {
            const int saved = errno;
            std::string fallback = "the connection was closed during the handshake";
            if (error == SSL_ERROR_SYSCALL && rc < 0 && saved != 0) fallback = std::strerror(saved);
            reason = TakeOpenSslError(fallback);
            return false;
        }
        const int left = MillisecondsUntil(deadline);
        const short events = left > 0 ? PollSocket(socket, want, left) : 0;
        if (events == 0) {
            reason = "no answer before the deadline";
            return false;
        }
        if (events & POLLNVAL) {
            reason = "waiting for the connection failed";
            return false;
        }
    }
}

TlsStream::TlsStream(SocketHandle socket, TlsClientOptions options)
    : Stream(socket), state_(std::make_unique<State>()) {
    IgnoreBrokenPipes();
    State& s = *state_;
    s.socket = socket;
    s.options = std::move(options);
    if (s.options.host.empty()) {
        s.setupError = "no host to check the certificate against";
        return;
    }
    s.clientContext.reset(SSL_CTX_new(TLS_client_method()));
    SSL_CTX* context = s.clientContext.get();
    if (context == nullptr || !ApplyCommonSettings(context)) {
        s.setupError = TakeOpenSslError("TLS is not available");
        return;
    }
    if (s.options.trustedPemForTesting.empty()) {
        if (SSL_CTX_set_default_verify_paths(context) != 1) {
            s.setupError = TakeOpenSslError("the system's trust store cannot be read");
            return;
        }
    } else {
        const BioPtr bio = ReadOnlyBio(s.options.trustedPemForTesting);
        X509_STORE* store = SSL_CTX_get_cert_store(context);
        while (bio) {
            X509Ptr certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
            if (!certificate) break;
            X509_STORE_add_cert(store, certificate.get());
        }
        ERR_clear_error();  // the end of the text reads as an error
    }
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_cert_verify_callback(context, VerifyServer, &s);

    s.ssl = SSL_new(context);
    if (s.ssl == nullptr || SSL_set_fd(s.ssl, socket) != 1) {
        s.setupError = TakeOpenSslError("TLS is not available");
        return;
    }
    IpAddress literal;
    bool hostSet;
    if (HostAddress(s.options.host, literal)) {
        hostSet = X509_VERIFY_PARAM_set1_ip(SSL_get0_param(s.ssl), literal.bytes.data(),
                                            literal.v6 ? 16 : 4) == 1;
    } else {
        SSL_set_hostflags(s.ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        hostSet = SSL_set1_host(s.ssl, s.options.host.c_str()) == 1 &&
                  SSL_set_tlsext_host_name(s.ssl, s.options.host.c_str()) == 1;
    }
    if (!hostSet) s.setupError = TakeOpenSslError("the host cannot be checked");
}

TlsStream::TlsStream(std::shared_ptr<const TlsServerContext> context, SocketHandle socket)
    : Stream(socket), state_(std::make_unique<State>()) {
    IgnoreBrokenPipes();
    State& s = *state_;
    s.socket = socket;
    s.server = std::move(context);
    if (!s.server) {
        s.setupError = "no server certificate";
        return;
    }
    s.ssl = SSL_new(s.server->context_);
    if (s.ssl == nullptr || SSL_set_fd(s.ssl, socket) != 1) {
        s.setupError = TakeOpenSslError("TLS is not available");
    }
}

TlsStream::~TlsStream() {
    State& s = *state_;
    if (s.ssl != nullptr && s.usable.load()) {
        // Tells the peer the stream ended in order, if the socket still takes it;
        // never waits.
        int error;
        s.Run([](SSL* ssl) { return SSL_shutdown(ssl); }, error);
    }
    ERR_clear_error();
}

TlsOutcome TlsStream::Connect(std::chrono::steady_clock::time_point deadline) {
    State& s = *state_;
    TlsOutcome failed;
    failed.pinned = s.options.pinnedFingerprint;
    if (s.clientContext == nullptr || !s.setupError.empty() || s.usable.load()) {
        failed.reason = s.setupError.empty() ? "not a new client stream" : s.setupError;
        return failed;
    }
    // Non-blocking underneath, so that no OpenSSL call holds the lock while it
    // waits: the waits are polls outside it.
    if (!SetNonBlocking(s.socket, true)) {
        failed.reason = "the socket cannot be set up";
        return failed;
    }
    std::string reason;
    const bool done = s.Handshake(true, deadline, reason);
    // Either the handshake completed after the certificate was accepted, or the
    // verification refused it and broke the handshake off.
    if (s.verified && done == s.outcome.Usable()) {
        s.usable.store(done);
        return s.outcome;
    }
    failed.fingerprint = s.outcome.fingerprint;
    failed.reason = done ? "the server's certificate was not checked" : reason;
    return failed;
}

bool TlsStream::Accept(std::chrono::steady_clock::time_point deadline, std::string* reason) {
    State& s = *state_;
    std::string why;
    bool done = false;
    if (s.server == nullptr || s.ssl == nullptr || s.usable.load()) {
        why = s.setupError.empty() ? "not a new server stream" : s.setupError;
    } else if (!SetNonBlocking(s.socket, true)) {
        why = "the socket cannot be set up";
    } else {
        done = s.Handshake(false, deadline, why);
    }
    s.usable.store(done);
    if (!done && reason != nullptr) *reason = why;
    return done;
}

bool TlsStream::SendAll(const void* data, std::size_t n) {
    State& s = *state_;
    if (!s.usable.load()) return false;
    const auto* p = static_cast<const unsigned char*>(data);
    while (n > 0) {
        const int chunk = n > INT_MAX ? INT_MAX : static_cast<int>(n);
        int error;
        const int rc = s.Run([&](SSL* ssl) { return SSL_write(ssl, p, chunk); }, error);
        if (rc > 0) {
            p += rc;
            n -= static_cast<std::size_t>(rc);
            continue;
        }
        short events;
        if (error == SSL_ERROR_WANT_WRITE) {
            events = PollSocket(s.socket, POLLOUT, -1);
        } else if (error == SSL_ERROR_WANT_READ) {
            // The receive thread reads what this write waits for; look again soon.
            events = PollSocket(s.socket, POLLIN, 50);
        } else {
            return false;
        }
        if (events & POLLNVAL) return false;
    }
    return true;
}

long TlsStream::ReceiveSome(void* data, std::size_t n) {
    State& s = *state_;
    if (!s.usable.load()) return -1;
    const int chunk = n > INT_MAX ? INT_MAX : static_cast<int>(n);
    for (;;) {
        int error;
        const int rc = s.Run([&](SSL* ssl) { return SSL_read(ssl, data, chunk); }, error);
        if (rc > 0) return rc;
        const short want = WantedEvents(error);
        if (want == 0) return error == SSL_ERROR_ZERO_RETURN ? 0 : -1;
        if (PollSocket(s.socket, want, -1) & POLLNVAL) return -1;
    }
}

bool TlsStream::WaitReadable(int timeoutMs) {
    State& s = *state_;
    if (!s.usable.load()) return true;  // the receive fails at once
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        // A peek processes what has arrived, so that records which carry no data
        // (a session ticket, say) do not count as readable, and decrypted bytes
        // buffered inside OpenSSL do.
        int error;
        unsigned char byte;
        const int rc = s.Run([&](SSL* ssl) { return SSL_peek(ssl, &byte, 1); }, error);
        if (rc > 0) return true;
        const short want = WantedEvents(error);
        if (want == 0) return true;  // the end or an error, which the receive reports
        const int left = timeoutMs < 0 ? -1 : MillisecondsUntil(deadline);
        if (left == 0) return false;
        const short events = PollSocket(s.socket, want, left);
        if (events == 0) return false;
        if (events & POLLNVAL) return true;
    }
}

// ---- Server contexts ----

TlsServerContext::TlsServerContext(ssl_ctx_st* context, std::string fingerprint)
    : context_(context), fingerprint_(std::move(fingerprint)) {}

TlsServerContext::~TlsServerContext() {
    SSL_CTX_free(context_);
}

std::shared_ptr<TlsServerContext> TlsServerContext::FromPem(const CertificateAndKey& pem,
                                                            std::string& error) {
    SslContextPtr context(SSL_CTX_new(TLS_server_method()));
    if (!context || !ApplyCommonSettings(context.get())) {
        error = TakeOpenSslError("TLS is not available");
        return nullptr;
    }
    // No session tickets: a client of ours never resumes a session.
    SSL_CTX_set_num_tickets(context.get(), 0);

    const BioPtr bio = ReadOnlyBio(pem.certificatePem);
    X509Ptr leaf(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!leaf || SSL_CTX_use_certificate(context.get(), leaf.get()) != 1) {
        error = "the certificate cannot be read: " + TakeOpenSslError("no certificate");
        return nullptr;
    }
    // The rest of the text: the chain up to the authority, sent along.
    while (X509* next = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
        if (SSL_CTX_add0_chain_cert(context.get(), next) != 1) X509_free(next);
    }
    ERR_clear_error();
    const KeyPtr key = ReadKey(pem.keyPem);
    if (!key || SSL_CTX_use_PrivateKey(context.get(), key.get()) != 1 ||
        SSL_CTX_check_private_key(context.get()) != 1) {
        error = "the private key cannot be used: " + TakeOpenSslError("no key");
        return nullptr;
    }
    std::string fingerprint = FingerprintOf(leaf.get());
    return std::shared_ptr<TlsServerContext>(
        new TlsServerContext(context.release(), std::move(fingerprint)));
}

std::shared_ptr<TlsServerContext> TlsServerContext::FromFiles(const std::string& certificateFile,
                                                              const std::string& keyFile,
                                                              std::string& error) {
    CertificateAndKey pem;
    if (!ReadWholeFile(certificateFile, pem.certificatePem)) {
        error = "cannot read " + certificateFile;
        return nullptr;
    }
    if (!ReadWholeFile(keyFile, pem.keyPem)) {
        error = "cannot read " + keyFile;
        return nullptr;
    }
    return FromPem(pem, error);
}

std::shared_ptr<TlsServerContext> TlsServerContext::SelfSigned(const std::string& directory,
                                                               const std::string& host,
                                                               bool* created, std::string& error) {
    CertificateAndKey pem;
    bool made = false;
    if (!LoadOrMakeSelfSignedCertificate(directory, host, pem, made, error)) return nullptr;
    if (created != nullptr) *created = made;
    return FromPem(pem, error);
}

}  // namespace pellox::platform

// The entry points of StartTlsClient and ConnectTlsClient (platform/tls_client.h).
extern "C" pellox::platform::Stream* PelloxNewTlsClient(pellox::platform::SocketHandle socket,
                                                        const pellox::platform::TlsClientOptions* options) {
    return new pellox::platform::TlsStream(socket, *options);
}

extern "C" void PelloxConnectTlsClient(pellox::platform::Stream* stream,
                                       const std::chrono::steady_clock::time_point* deadline,
                                       pellox::platform::TlsOutcome* outcome) {
    *outcome = static_cast<pellox::platform::TlsStream*>(stream)->Connect(*deadline);
}
