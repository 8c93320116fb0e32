// The network session's implementation: one object for the life of the application
// that owns the connection to the ICQ servers, the command queue of the network
// worker and the receive thread of the current connection. The layers above hold a
// NetSession (net/session.h); the owner that builds one registers its handlers
// here before the first connect, and tests reach the internals marked ForTesting.
//
// Threads:
//  - any thread queues commands (EnqueueCommand) and may call CloseSession;
//  - the network worker (StartWorker) performs the commands one at a time in queue
//    order, each through the handler registered for its alternative, and sends a
//    keep-alive when no command arrived for the keep-alive interval while
//    connected;
//  - the receive thread of a connection is the only reader of its socket; it runs
//    the login phase, then the messaging phase, feeding a FlapParser from the
//    socket, and calls the SNAC handlers and the delegate on its own thread.
//
// Connections: every connection (plain TCP or TLS; net/address.h says where it
// goes) is a reference-counted Link. The session holds the current one; a receive
// thread holds its own in the Connection it passes to its handlers. CloseConnection
// drops the session's reference and shuts the link down, which wakes a blocked
// receive (or connect, or TLS handshake); the descriptor is closed only when the
// last reference goes, so a receive thread never reads from a closed or reused
// descriptor. A receive thread whose link is no longer current is stale: its
// state reports are dropped, its sends go to its own (shut down) link, never to a
// newer connection, and it handles no frame that it has not begun to handle yet.
//
// Cancellation: one generation number, raised by every close of the connection
// (CloseConnection). Work that must not outlive a close (a connect, a reconnect
// that was waiting) takes the generation when it starts and gives up once it has
// moved on, so a Disconnect chosen while a connect is still getting ready is not
// overtaken by it.
//
// Reconnect: when a connection ends in ConnectionError (a failed connect or a
// dropped line; not a refused login, not a sign-off by another client, not a close
// by the user, whose reports never store ConnectionError) and the reconnect check
// says so, the worker connects again with the last Connect's server, UIN, password,
// login and TLS choice after the delays of ReconnectTiming. A certificate the
// session refused is never tried again by itself. Any queued command and any close
// of the session cancel the wait; reaching Online starts the delays afresh.
//
// Locks (never held while a handler or the delegate runs):
//  - sendLock_: one whole frame, from taking its sequence number to its last byte;
//  - connectionLock_: the current link, the state, the thread handles, cookie,
//    uin, password, bosAddress, the sign-on plan, the reconnect state; held only briefly; may be
//    taken inside sendLock_, never the reverse;
//  - queueLock_: the command queue; never nested with the others;
//  - infoLock_: the pending info requests; a leaf lock;
//  - sentLock_: the sent messages a message error may name; a leaf lock.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <variant>
#include <vector>

#include "net/address.h"
#include "net/codec.h"
#include "net/connection.h"
#include "net/flap_parser.h"
#include "net/net_command.h"
#include "net/session.h"
#include "platform/digest.h"
#include "platform/endpoint.h"
#include "platform/event.h"
#include "platform/socket.h"
#include "platform/stream.h"
#include "platform/tls.h"

namespace pellox {

inline constexpr int kKeepAliveIntervalMs = 60000;
// How long the login server may take to answer the login, and the messaging server
// to get from the cookie to its family versions, before the connect is given up.
inline constexpr int kSignOnTimeoutMs = 30000;
// The pending info requests: at most this many unanswered; the oldest goes first.
inline constexpr std::size_t kMaxInfoRequests = 256;
// Sent messages kept for naming the one a message error refers to.
inline constexpr std::size_t kMaxSentMessages = 64;
// The most bytes one receive takes from the socket for the frame parser.
inline constexpr std::size_t kReceiveChunk = 16384;
// UINs in one client-side buddy list SNAC: well under the local server's and
// the usual servers' limits per SNAC.
inline constexpr std::size_t kBuddiesPerSnac = 100;
// The flag half of one's own status word, at sign-on and on every change.
inline constexpr std::uint16_t kOwnStatusFlags = 0x0001;

// The waits before connecting again: firstDelayMs before the first try, twice the
// previous wait before each further one, never more than maxDelayMs; each wait is
// moved at random by up to `spread` of itself either way (and still kept at or
// under maxDelayMs), so that clients dropped together do not return together.
struct ReconnectTiming {
    int firstDelayMs = 5000;
    int maxDelayMs = 300000;
    double spread = 0.2;
};
// The wait before try `attempt` (0 for the first); `unit` is a random number in [0, 1).
int ReconnectDelayMs(const ReconnectTiming& timing, int attempt, double unit);

// Appends the password TLV: byte i of the value is password byte i XOR byte
// (i mod 16) of the roasting table. The password ends at its first zero byte; an
// empty one gives a TLV of length 0.
bool AppendRoastedTlv(PacketBuffer& buffer, std::uint16_t type, std::string_view password);

// The password hash of the MD5 login (TLV 0x0025 beside the empty TLV 0x004C):
// MD5(key + MD5(password) + "AOL Instant Messenger (SM)"). The password ends at
// its first zero byte.
platform::Md5Digest Md5LoginHash(std::string_view key, std::string_view password);

// Fills an IPv4 endpoint from "host[:port]" the way addresses were always read. The
// port follows the last ':' when that colon is not the first character; otherwise
// the port is 5190 and the whole text is the host. With nameLookup the host is
// looked up by name (its first IPv4 address); otherwise it must be four decimal
// numbers, each kept modulo 256, separated by any single character. The connects
// go through net/address.h, which reads the messaging addresses of no other form
// with this.
[[nodiscard]] bool ResolveAddress(const std::string& text, bool nameLookup,
                                  platform::Ipv4Endpoint& endpoint);

// One connection of the session, shared by the session (while it is the current
// connection) and by the receive thread that reads it. It exists before its stream
// does, so that a close can break off the connect and the TLS handshake: the
// stream is published once connected (before any handshake), and a link shut
// down before that shuts the stream down as it comes. The socket is closed when the
// last holder lets go, never earlier, so no thread can use a descriptor number that
// has been closed and handed out again.
struct Link {
    Link() = default;
    explicit Link(std::unique_ptr<platform::Stream> stream) { Publish(std::move(stream)); }
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // Hands the connected stream over; once only.
    void Publish(std::unique_ptr<platform::Stream> stream);
    // The stream, null until published; it lives as long as the link.
    platform::Stream* Stream() const;
    // Ends both directions: a connect in progress, a handshake, a blocked receive
    // or send return at once. Any thread.
    void Shutdown();
    bool IsShutDown() const;

    platform::ConnectCanceller canceller;

private:
    mutable std::mutex lock_;
    std::unique_ptr<platform::Stream> stream_;
    bool shutDown_ = false;
};

// A handler of one SNAC of the messaging phase, on the receive thread. The reader
// stands at the first byte of the SNAC data (past the header and any flag-0x8000
// extra data); the header is in host order. False when the SNAC could not be
// read; the delegate hears of it (OnSnacRejected).
using SnacHandler =
    std::function<bool(Connection& connection, PacketReader& reader, const SnacHeader& snac)>;

class SessionImpl : public NetSession {
public:
    // The delegate must outlive the session's threads (see Shutdown). Registers
    // the handlers of the commands and SNACs the net layer carries out itself.
    explicit SessionImpl(SessionDelegate& delegate);
    ~SessionImpl() override;
    SessionImpl(const SessionImpl&) = delete;
    SessionImpl& operator=(const SessionImpl&) = delete;

    // ---- NetSession ----
    void EnqueueCommand(Command command) override;
    ConnState State() const override { return static_cast<ConnState>(state_.load()); }
    std::int32_t LoginRefusal() const override { return loginRefusal_.load(); }
    std::int32_t BytesReceived() const override { return bytesReceived_.load(); }
    std::int32_t BytesSent() const override { return bytesSent_.load(); }
    bool StartWorker() override;
    void CloseSession() override;
    void Shutdown() override;
    void SetReconnectCheck(std::function<bool()> check) override;

    // ---- Registration: before the first connect; read without a lock after ----
    // The handler of one command alternative; a command without one does nothing.
    template <class C>
    void SetCommandHandler(std::function<void(const C&, Connection&)> handler) {
        constexpr std::size_t index = AlternativeIndex<C>();
        commandHandlers_[index] = [handler = std::move(handler)](const Command& command,
                                                                 Connection& connection) {
            handler(*std::get_if<index>(&command), connection);
        };
    }
    // The handler of one SNAC pair; an empty one removes it. A pair without a
    // handler is dropped.
    void SetSnacHandler(std::uint16_t family, std::uint16_t subtype, SnacHandler handler);

    // ---- Reconnect ----
    // The waits between reconnect tries and the source of their spread (numbers in
    // [0, 1); a seeded generator when empty). Tests shorten the waits.
    void SetReconnectTiming(const ReconnectTiming& timing, std::function<double()> random = {});
    // True while a reconnect waits for its time.
    bool ReconnectPending() const;

    // ---- Connections ----
    // The current connection as the worker and any other thread but a receive
    // thread act on it: each send goes to whatever connection is current then.
    Connection CurrentConnection() { return Connection(*this, nullptr, false); }
    // True when the last login reply of this session refused the sign-on (it named
    // no messaging server or carried no cookie, or gave a reason and then broke
    // off); cleared by the next connect.
    bool LoginRefused() const { return loginRefused_.load(); }
    // The status half of the word the session signs on with and sends: set by the
    // Connect and SetStatus commands, 0 (online) at first.
    std::uint16_t OwnStatus() const { return ownStatus_.load(); }
    // What the last login reply said (copies taken under the lock).
    std::string Uin() const;
    std::vector<std::uint8_t> Cookie() const;

    // ---- Sign-on, on the receive thread's connection ----
    // Reports CheckingPassword, then sends the login frame when the hello has its
    // 4-byte version.
    bool SendLogin(Connection& connection, PacketReader& hello);
    // The MD5 login's first step on the login server's hello: reports
    // CheckingPassword, then sends the hello with the version only and
    // 0x0017/0x0006 with the UIN.
    bool SendChallengeRequest(Connection& connection, PacketReader& hello);
    // On 0x0017/0x0007 (the key: 2-byte length, then its bytes): 0x0017/0x0002
    // with the UIN, the hash (Md5LoginHash) in TLV 0x0025, the empty TLV 0x004C
    // and the client's identity as the roasted login sends it. False when the key
    // is cut short.
    bool SendMd5Login(Connection& connection, PacketReader& challenge);
    // Reads the TLVs of the login reply into uin, bosAddress and cookie. False on a
    // truncated TLV.
    bool ParseLoginReply(Connection& connection, PacketReader& reply);
    // Replaces the login-server connection by one to bosAddress, in `connection`
    // too, over TLS when the login was (checked against the login server's pin when
    // the host is the login server's). False when the reply lacked the address or
    // the cookie, the address is unusable (ResolveMessagingServer), or the connect
    // or the handshake failed.
    bool ConnectToMessagingServer(Connection& connection);
    // Sends the cookie frame.
    bool SendCookie(Connection& connection, PacketReader& hello);
    bool SendFamilyVersions(Connection& connection);
    // Initial status (OwnStatus), then client ready; when both went out: Online,
    // LoadingOfflineMessages and the offline messages request.
    bool SendInitialStatus(Connection& connection);
    bool SendClientReady(Connection& connection);
    // One frame of the messaging phase, as the receive loop handles it: the cookie
    // on a hello, a SNAC through its handler, a sign-off reported as
    // DisconnectedByOtherClient. False when the phase ends here (a sign-off or a
    // SNAC header cut short). `signOnDone` is set by the server's family versions.
    bool HandleMessagingFrame(Connection& connection, const FlapFrame& frame, bool& signOnDone);
    // Routes one SNAC through the table.
    void DispatchSnac(Connection& connection, PacketReader& reader, const SnacHeader& snac);

    // ---- For tests (and the fuzz target) ----
    // Carries out one command on the calling thread as the worker would.
    void PerformCommandForTesting(const Command& command);
    // Connects to the login server as the Connect command does, without a state
    // report of OpeningConnection and without the reconnect bookkeeping.
    [[nodiscard]] bool ConnectToLoginServerForTesting(std::u16string_view server,
                                                      std::u16string_view uin,
                                                      std::u16string_view password);
    // Makes the connected socket the current connection (the session owns it from
    // now on) and returns the connection a receive thread of it would hand its
    // handlers. Must not be called on a receive thread.
    Connection AdoptSocketForTesting(platform::SocketHandle socket);
    // Ends an adopted connection the way its receive thread would: ConnectionError.
    void EndConnectionForTesting(Connection& connection);
    // Runs the messaging phase's frame loop over a connected socket on the calling
    // thread: adopts it, handles every frame until the stream or the phase ends,
    // then reports ConnectionError as the receive thread does.
    void RunMessagingConnectionForTesting(platform::SocketHandle socket);
    // Stores the state as it is, without a report.
    void SetStateForTesting(ConnState code) { state_.store(static_cast<std::int32_t>(code)); }
    void SetKeepAliveIntervalForTesting(int ms) { keepAliveIntervalMs_.store(ms); }
    void SetSignOnTimeoutForTesting(int ms) { signOnTimeoutMs_.store(ms); }
    std::size_t PendingInfoRequestsForTesting() const;
    std::string BosAddressForTesting() const;
    // The current connection's socket, kNoSocket when none.
    platform::SocketHandle SocketForTesting() const;
    // Receive threads that have not yet ended.
    int ActiveReceiveThreadsForTesting() const { return activeReceivers_.load(); }
    // Takes the login server for one elsewhere even when it is on this machine, so
    // that a loopback messaging address is replaced by the login server's host.
    void SetLoginServerRemoteForTesting(bool remote) { loginRemoteForTesting_.store(remote); }

private:
    friend class Connection;
    struct ConnectTarget {
        std::u16string server;
        std::u16string uin;
        std::u16string password;
        bool md5Login = false;
        bool tls = false;
        std::string tlsPin;
    };
    // How the current sign-on goes, from its Connect: the login, the login server as
    // reached (its address first) and the TLS choice.
    struct SignOnPlan {
        bool md5Login = false;
        bool tls = false;
        std::string tlsPin;
        std::string identity;  // ServerIdentity of the login server, for the pin
        ServerAddress login;
        bool loginLocal = false;  // the login server was reached on this machine
    };
    using CommandHandler = std::function<void(const Command&, Connection&)>;
    using Deadline = std::optional<std::chrono::steady_clock::time_point>;

    template <class C, std::size_t I = 0>
    static constexpr std::size_t AlternativeIndex() {
        static_assert(I < std::variant_size_v<Command>, "not a Command alternative");
        if constexpr (std::is_same_v<C, std::variant_alternative_t<I, Command>>) {
            return I;
        } else {
            return AlternativeIndex<C, I + 1>();
        }
    }

    void RegisterOwnHandlers();
    // The net layer's commands.
    void PerformConnectCommand(const ConnectCommand& command);
    void PerformStatus(const StatusCommand& command, Connection& connection);
    void PerformDisconnect(Connection& connection);
    void PerformSendMessage(const SendMessageCommand& command, Connection& connection);
    void PerformLoadContacts(Connection& connection);
    void PerformDeleteContact(const DeleteContactCommand& command, Connection& connection);
    void PerformCommand(const Command& command);
    void RunWorker();

    // Stores by the rule and tells the delegate; dropped for a stale receiver.
    void ReportState(const Connection& from, ConnState code);
    // True when `connection` is a receive thread's that is no longer the current
    // one; requires connectionLock_.
    bool IsStale(const Connection& connection) const;
    // Closes the current connection without reports: shuts it down, retires the
    // receive thread, forgets cookie and info requests.
    void CloseConnection();
    void JoinRetiredThreads();
    using Generation = std::uint64_t;
    Generation CurrentGeneration() const;
    // Increments flapSequence_ and returns it; requires sendLock_.
    std::uint16_t NextSequence();
    bool SendOnLink(Link& link, const void* bytes, std::size_t n);  // requires sendLock_
    void RecordInfoRequest(std::uint16_t requestId, std::uint32_t uin);

    // Worker thread: the Connect command's work, for the user's command and for a
    // reconnect alike; abandoned once a close has raised the generation past
    // `generation`.
    void PerformConnect(const ConnectTarget& target, Generation generation);
    // Resets the counters, narrows uin and password, asks the connection manager
    // for a connection, closes an open connection (reporting Disconnected),
    // reports ConnectingLoginServer, connects (TLS when asked) and starts the
    // receive thread. False on any failure (the caller reports ConnectionError) and
    // when the connection was closed since `generation`.
    bool ConnectToLoginServer(const ConnectTarget& target, Generation generation);
    // Connects `link` to the first address of `server` that answers and publishes
    // its stream; with `tls` the handshake follows, the certificate checked against
    // server.host and `pin`. A certificate not used stores its refusal code and,
    // unless `link` is no longer current, tells the delegate (`canPin`: whether the
    // pin may cover it). `reached` (when given) receives the endpoint connected to.
    bool OpenStream(Link& link, const ServerAddress& server, bool tls, const std::string& pin,
                    const std::string& identity, bool canPin,
                    platform::Endpoint* reached = nullptr);
    // The login server refused the sign-on with `code` (a SNAC of family 0x0017).
    void RefuseLogin(const Connection& connection, std::uint16_t code);
    // One frame of the login phase; false when the phase ends with it.
    bool HandleLoginFrame(Connection& connection, const FlapFrame& frame);
    // The login reply's TLVs: read, then on to the messaging server.
    void FinishLogin(Connection& connection, PacketReader& reply);
    // After a reported ConnectionError: starts the next wait when it applies.
    void MaybeScheduleReconnect(const Connection& from);
    bool ReconnectAllowed() const;
    // Worker thread: the target when the wait is over (with the generation then),
    // else nullopt.
    std::optional<ConnectTarget> TakeDueReconnect(Generation& generation);
    // Milliseconds until the pending reconnect is due (0 when overdue), -1 when none.
    int ReconnectDueInMs() const;

    void StartReceiveThread(const std::shared_ptr<Link>& link);
    void ReceiveThread(std::shared_ptr<Link> link);
    // One receive of at most n bytes: how many came, 0 or less on error, close or
    // when the deadline (if any) passes first.
    long ReceiveSome(Link& link, void* dest, std::size_t n, const Deadline& deadline);
    // Feeds the parser from the connection's socket until it yields the next whole
    // frame; false when the stream ends or breaks, the deadline passes, or the
    // connection is no longer the current one: frames still queued on a closed or
    // replaced connection are never handled.
    bool ReadFrame(Connection& connection, FlapParser& parser, FlapFrame& frame,
                   const Deadline& deadline);
    Deadline SignOnDeadline() const;
    void RunLoginPhase(Connection& connection);
    void RunMessagingPhase(Connection& connection);

    SessionDelegate& delegate_;
    std::array<CommandHandler, std::variant_size_v<Command>> commandHandlers_;
    std::unordered_map<std::uint32_t, SnacHandler> snacHandlers_;

    std::atomic<std::int32_t> bytesReceived_{0};
    std::atomic<std::int32_t> bytesSent_{0};
    std::atomic<std::int32_t> state_{0};  // a ConnState code, written under connectionLock_
    std::atomic<std::int32_t> loginRefusal_{0};
    std::atomic<int> keepAliveIntervalMs_{kKeepAliveIntervalMs};
    std::atomic<int> signOnTimeoutMs_{kSignOnTimeoutMs};
    std::atomic<bool> running_{true};  // Shutdown clears it
    std::atomic<std::uint16_t> ownStatus_{0};
    std::atomic<bool> loginRefused_{false};
    std::atomic<int> activeReceivers_{0};
    std::atomic<bool> loginRemoteForTesting_{false};

    // Guarded by sendLock_.
    std::mutex sendLock_;
    std::uint16_t flapSequence_ = 0;

    // Guarded by connectionLock_.
    mutable std::mutex connectionLock_;
    std::shared_ptr<Link> connection_;  // the current socket
    Generation generation_ = 0;         // raised by every CloseConnection
    std::thread receiveThread_;
    std::vector<std::thread> retiredThreads_;
    std::vector<std::uint8_t> cookie_;
    std::string uin_;
    std::string password_;
    std::string bosAddress_;
    SignOnPlan signOn_;
    std::optional<ConnectTarget> lastConnect_;  // none before the first Connect
    std::optional<std::chrono::steady_clock::time_point> reconnectDue_;
    int reconnectAttempts_ = 0;  // tries since the last Online or user's Connect
    ReconnectTiming reconnectTiming_;
    std::function<double()> reconnectRandom_;
    std::function<bool()> reconnectCheck_;
    std::mt19937 reconnectGenerator_{std::random_device{}()};

    mutable std::mutex queueLock_;
    std::deque<Command> commandQueue_;
    platform::AutoResetEvent wakeEvent_;
    std::thread workerThread_;
    std::mutex lifecycleLock_;  // StartWorker / Shutdown
    bool shutDown_ = false;

    struct InfoRequest {
        std::uint32_t uin = 0;
        std::uint64_t serial = 0;  // insertion order, to drop the oldest
    };
    mutable std::mutex infoLock_;
    std::map<std::uint32_t, InfoRequest> infoRequests_;
    std::uint64_t infoSerial_ = 0;

    struct SentMessage {
        std::uint32_t requestId = 0;
        std::u16string uin;
        std::u16string text;
    };
    mutable std::mutex sentLock_;
    std::deque<SentMessage> sentMessages_;  // oldest first
    std::uint32_t lastMessageRequestId_ = 0;
};

// How a frame is laid out behind its FLAP header: `head` goes between the FLAP
// header and the payload; for a SNAC frame it is built from `snac` (with the
// sequence as request id when requestIdIsSequence).
struct Connection::FrameLayout {
    std::uint8_t channel = 0;
    bool signOnVersion = false;
    bool hasSnac = false;
    SnacHeader snac{};
    bool requestIdIsSequence = false;
    std::uint32_t infoTarget = 0;  // with requestIdIsSequence: recorded as an info request
};

}  // namespace pellox
