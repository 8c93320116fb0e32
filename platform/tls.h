// TLS (1.2 or newer, OpenSSL) over an already connected socket, as a Stream.
//
// Client side: the server's certificate is checked against the system's trust
// store and the host the user typed (a name, or an address literal checked against
// the certificate's IP addresses). A certificate nobody vouches for is not used:
// the handshake is broken off before any data flows and the outcome carries its
// SHA-256 fingerprint, so that the caller can ask the user and connect again with
// that fingerprint as the pin. A pin accepts exactly that certificate and refuses
// every other one, trusted or not.
//
// Server side: a context made from PEM files or from a self-signed certificate
// kept in a directory, and the accepting handshake on an accepted socket.
//
// Threads: as for every Stream (stream.h). The handshake runs on the thread that
// then owns the receives; Shutdown from another thread also breaks off a handshake.
// Creating a TlsStream makes writes to a closed connection an error instead of
// SIGPIPE for the whole process, as StartSocketLibrary does.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/stream.h"

struct ssl_ctx_st;

namespace pellox::platform {

enum class TlsVerdict {
    Trusted,      // the trust store vouches for the certificate and it names the host
    Untrusted,    // sound TLS, but nobody vouches for the certificate (`reason`); its
                  // `fingerprint` is for the user to decide on; no data was exchanged
    PinMatched,   // the certificate is the pinned one
    PinMismatch,  // another certificate than the pinned one: `fingerprint` and `pinned`
    Failed,       // no TLS connection (`reason`): refused, a version below 1.2, no
                  // answer before the deadline, shut down, ...
};

struct TlsOutcome {
    TlsVerdict verdict = TlsVerdict::Failed;
    // The SHA-256 fingerprint of the server's certificate (FormatFingerprint);
    // empty when the handshake did not get that far.
    std::string fingerprint;
    std::string pinned;  // the pin the caller gave, as given
    // Why the certificate is not trusted (Untrusted; for PinMismatch empty when the
    // trust store would vouch for the new one) or why the connection failed (Failed).
    std::string reason;

    // Whether the stream may carry data.
    [[nodiscard]] bool Usable() const {
        return verdict == TlsVerdict::Trusted || verdict == TlsVerdict::PinMatched;
    }
};

struct TlsClientOptions {
    // The server as the user typed it, without the port: a host name, or an IPv4
    // or IPv6 literal.
    std::string host;
    // The SHA-256 fingerprint of the one certificate to accept (any letter case,
    // colons or not); empty for none.
    std::string pinnedFingerprint;
    // Tests: PEM certificates trusted instead of the system's trust store.
    std::string trustedPemForTesting;
};

// A certificate with its private key, both PEM text. certificatePem may hold a
// chain (the server's own certificate first).
struct CertificateAndKey {
    std::string certificatePem;
    std::string keyPem;
};

// What a server presents: its certificate and key, shared by every accepted
// connection. Thread-safe once made.
class TlsServerContext {
public:
    ~TlsServerContext();
    TlsServerContext(const TlsServerContext&) = delete;
    TlsServerContext& operator=(const TlsServerContext&) = delete;

    // From PEM files; nullptr with `error` set when they cannot be read, do not
    // parse or do not belong together.
    static std::shared_ptr<TlsServerContext> FromFiles(const std::string& certificateFile,
                                                       const std::string& keyFile,
                                                       std::string& error);
    static std::shared_ptr<TlsServerContext> FromPem(const CertificateAndKey& pem,
                                                     std::string& error);
    // From the self-signed certificate kept in `directory`
    // (LoadOrMakeSelfSignedCertificate); `created` (when given) tells whether it
    // was made just now.
    static std::shared_ptr<TlsServerContext> SelfSigned(const std::string& directory,
                                                        const std::string& host, bool* created,
                                                        std::string& error);

    // The SHA-256 fingerprint of the certificate presented (FormatFingerprint).
    const std::string& Fingerprint() const { return fingerprint_; }

private:
    friend class TlsStream;
    TlsServerContext(ssl_ctx_st* context, std::string fingerprint);

    ssl_ctx_st* const context_;
    const std::string fingerprint_;
};

class TlsStream final : public Stream {
public:
    // Client side; takes the connected socket over. Connect must succeed before the
    // stream carries data.
    TlsStream(SocketHandle socket, TlsClientOptions options);
    // Server side; takes the accepted socket over. Accept must succeed before the
    // stream carries data.
    TlsStream(std::shared_ptr<const TlsServerContext> context, SocketHandle socket);
    ~TlsStream() override;

    // The client handshake, given up at the deadline. Called once. Unless the
    // outcome is Usable, the stream carries nothing: SendAll fails, ReceiveSome
    // returns -1.
    TlsOutcome Connect(std::chrono::steady_clock::time_point deadline);
    // The server handshake, given up at the deadline; false with `reason` (when
    // given) when the client did not complete it. Called once.
    [[nodiscard]] bool Accept(std::chrono::steady_clock::time_point deadline,
                              std::string* reason = nullptr);

    [[nodiscard]] bool SendAll(const void* data, std::size_t n) override;
    long ReceiveSome(void* data, std::size_t n) override;
    // Counts application bytes already decrypted and buffered inside the TLS layer.
    [[nodiscard]] bool WaitReadable(int timeoutMs) override;

    struct State;  // tls.cpp

private:
    std::unique_ptr<State> state_;
};

// Certificate files of a server, kept in its data directory.
inline constexpr char kTlsCertificateFile[] = "tls-cert.pem";
inline constexpr char kTlsKeyFile[] = "tls-key.pem";

// Loads the pair kept in `directory` when both files are there (an error when they
// do not parse or do not belong together); otherwise makes a new self-signed pair
// for `host` and writes both files there, readable by the owner only. `created`
// tells which.
[[nodiscard]] bool LoadOrMakeSelfSignedCertificate(const std::string& directory,
                                                   const std::string& host, CertificateAndKey& out,
                                                   bool& created, std::string& error);

// A new EC P-256 key with a self-signed certificate for `host`: CN `host`, alternative
// names `host`, "localhost", 127.0.0.1 and ::1; valid from an hour ago for ten years.
// An empty host means "localhost".
[[nodiscard]] bool MakeSelfSignedCertificate(const std::string& host, CertificateAndKey& out,
                                             std::string& error);

// Tests: like MakeSelfSignedCertificate, but signed by `issuer` when given, and a
// certificate authority (able to sign others) when `authority` is set.
[[nodiscard]] bool MakeCertificateForTesting(const std::string& host,
                                             const CertificateAndKey* issuer, bool authority,
                                             CertificateAndKey& out, std::string& error);

// The SHA-256 fingerprint of the first certificate in the PEM text; empty when
// there is none.
std::string CertificateFingerprint(const std::string& certificatePem);

}  // namespace pellox::platform
