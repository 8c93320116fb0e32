// The network session as the layers above see it: commands go in, the connection
// state and a few counters come out, and everything the session learns reaches a
// delegate that its owner hands in. The threads, the connections and the handler
// tables live in the implementation (net/session_impl.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "net/codec.h"
#include "net/net_command.h"

namespace pellox {

class Connection;

inline constexpr char kLoginServerHost[] = "login.icq.com";
inline constexpr std::uint16_t kDefaultPort = 5190;
// The port of a server without one when the connection is TLS.
inline constexpr std::uint16_t kDefaultTlsPort = 5193;

// LoginRefusal() codes of the client's own, for sign-ons that ended before any
// login was sent; above the 16-bit codes of the login server's refusals.
inline constexpr std::int32_t kRefusalCertificateUntrusted = 0x10001;  // nobody vouches for it
inline constexpr std::int32_t kRefusalCertificateChanged = 0x10002;    // not the pinned one
inline constexpr std::int32_t kRefusalTlsFailed = 0x10003;             // no TLS connection

// A server certificate the session did not use (OnCertificateProblem).
struct CertificateProblem {
    // False: nobody vouches for the certificate; true: a certificate was pinned and
    // the server presented another one.
    bool changed = false;
    // The login server the profile's pin belongs to (ServerIdentity).
    std::string server;
    // The SHA-256 fingerprint of the certificate presented, and the pinned one.
    std::string fingerprint;
    std::string pinned;
    // The user may trust the certificate for `server`: false for a messaging server
    // on another host than the login server, which the pin does not cover.
    bool canPin = false;
};

// What the session tells its owner. The calls come on whichever thread detects the
// event (the receive thread for what the server sends, the network worker for
// commands, the caller of CloseSession) with no lock of the session held. The
// delegate must outlive the session's threads: its owner calls Shutdown() before
// the delegate goes.
struct SessionDelegate {
    virtual ~SessionDelegate() = default;

    // Every state report that was not dropped as coming from a closed connection,
    // after the session applied its storing rule: a report of Disconnected or
    // ConnectionError while the state is below OpeningConnection is not stored
    // (so DisconnectedByOtherClient and ConnectionError survive the closing
    // reports); any other code is. `stored`: the state is now `code`.
    virtual void OnStateChanged(ConnState code, bool stored) = 0;
    // What the server said about a contact arrives with the connection it came on
    // (`from`): whatever the delegate sends in answer goes there, never to a
    // newer connection.
    virtual void OnMessage(Connection& from, const std::u16string& uin,
                           const std::u16string& text) = 0;
    // status is a presence value 0 to 7 (0 online, 1 offline, ...).
    virtual void OnContactStatus(Connection& from, const std::u16string& uin,
                                 std::int32_t status) = 0;
    // A message the server kept while the user was away, sent at `sentTime`
    // (seconds since 1970-01-01 00:00 UTC). By default it is taken as a message
    // arriving now.
    virtual void OnOfflineMessage(Connection& from, const std::u16string& uin,
                                  const std::u16string& text, std::int64_t sentTime) {
        (void)sentTime;
        OnMessage(from, uin, text);
    }
    // A queued message did not reach the server (`reason` 0: it could not be
    // written to the connection) or the server refused it (`reason`: the code of
    // its message error, SNAC 0x0004/0x0001).
    virtual void OnMessageNotSent(const std::u16string& uin, const std::u16string& text,
                                  std::uint16_t reason) {
        (void)uin, (void)text, (void)reason;
    }
    // Asks the application to mark contacts offline (while not connected) and
    // redraw; raised by the Connect and Disconnect commands.
    virtual void OnContactsRefresh() {}
    // The handler of a received SNAC could not make sense of it (cut short,
    // malformed, or naming a request this session never made); the SNAC was
    // dropped. Hostile or broken input, not a fault of the client.
    virtual void OnSnacRejected(const SnacHeader& snac) { (void)snac; }
    // A TLS connection was refused because of the server's certificate: no login
    // byte went out. Comes before the ConnectionError report of that sign-on, whose
    // LoginRefusal() is kRefusalCertificateUntrusted or kRefusalCertificateChanged;
    // the session does not connect again by itself.
    virtual void OnCertificateProblem(const CertificateProblem& problem) { (void)problem; }
};

class NetSession {
public:
    virtual ~NetSession() = default;

    // Any thread. Queues the command for the network worker; whatever the user asks
    // for comes before a reconnect that waits. After Shutdown it is dropped.
    virtual void EnqueueCommand(Command command) = 0;
    // The stored connection state.
    virtual ConnState State() const = 0;
    // The code of the error TLV (0x0008) with which the login server refused the
    // last sign-on; 0 when it did not refuse. Set before that sign-on's
    // ConnectionError is reported, cleared when the next connect starts.
    virtual std::int32_t LoginRefusal() const = 0;
    // Bytes received and sent since the last connect.
    virtual std::int32_t BytesReceived() const = 0;
    virtual std::int32_t BytesSent() const = 0;
    // Starts the network worker. False when it was already started or the session
    // was shut down.
    virtual bool StartWorker() = 0;
    // Any thread: reports Disconnected, closes the connection (the receive thread
    // ends by itself), forgets the cookie and the pending info requests, reports
    // Disconnected again.
    virtual void CloseSession() = 0;
    // Application exit: stops the worker, closes the connection without any
    // report or sign-off frame, joins every thread and drops the queued commands.
    // Idempotent.
    virtual void Shutdown() = 0;
    // Asked (on the reporting thread, no lock held) when a connection has ended in
    // ConnectionError, and again when the wait is over: true to connect again.
    // Without one the session never reconnects.
    virtual void SetReconnectCheck(std::function<bool()> check) = 0;
};

}  // namespace pellox
