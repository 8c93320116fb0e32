// The network session: one object for the life of the application that owns the
// connection to the ICQ servers, the command queue of the network worker and the
// receive thread of the current connection.
//
// Threads:
//  - the user-interface thread queues commands (EnqueueCommand) and may call
//    CloseSession directly;
//  - the network worker (StartWorker / NetworkWorker) performs the commands one
//    at a time in queue order and sends a keep-alive when no command arrived for
//    keepAliveIntervalMs while connected;
//  - the receive thread of a connection is the only reader of its socket; it runs
//    the login phase, then the messaging phase, and calls the SNAC handlers and the
//    events on its own thread.
//
// Connections: every TCP connection is a reference-counted link. The session holds
// the current one; a receive thread holds its own. CloseSession drops the session's
// reference and shuts the socket down, which wakes a blocked receive (or connect);
// the descriptor is closed only when the last reference goes, so a receive thread
// never reads from a closed or reused descriptor. A receive thread whose link is no
// longer current is stale: its state reports are dropped, its sends go to its
// own (shut down) link, never to a newer connection, and it handles no frame that
// it has not begun to handle yet.
//
// Reconnect: when a connection ends in ConnectionError (a failed connect or a
// dropped line; not a refused login, not a sign-off by another client, not a close
// by the user, whose reports never store ConnectionError) and the reconnect check
// says so, the worker connects again with the last Connect's server, UIN and
// password after the delays of ReconnectTiming. Any queued command and any close
// of the session cancel the wait; reaching Online starts the delays afresh.
//
// Locks (never held while an event runs):
//  - sendLock: one whole frame, from taking its sequence number to its last byte;
//  - connectionLock: the current link, the thread handles, cookie, uin, password,
//    bosAddress, the reconnect state; held only briefly; may be taken inside sendLock, never the reverse;
//  - queueLock: the command queue; never nested with the others;
//  - infoLock: infoRequests; a leaf lock;
//  - sentLock_: the sent messages a message error may name; a leaf lock.
//
// A class that implements the events must call Shutdown() in its destructor, so
// that no thread calls an event of a half-destroyed object.
#pragma once

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
#include <vector>

#include "net/codec.h"
#include "net/flap_parser.h"
#include "net/net_command.h"
#include "platform/event.h"
#include "platform/socket.h"

namespace pellox {

inline constexpr char kLoginServerHost[] = "login.icq.com";
inline constexpr std::uint16_t kDefaultPort = 5190;
inline constexpr int kKeepAliveIntervalMs = 60000;
// How long the login server may take to answer the login, and the messaging server
// to get from the cookie to its family versions, before the connect is given up.
inline constexpr int kSignOnTimeoutMs = 30000;
// infoRequests keeps at most this many unanswered requests; the oldest goes first.
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

class NetSession;

// A handler of one SNAC of the messaging phase. The reader stands at the first
// byte of the SNAC data (past the header and any flag-0x8000 extra data); both
// headers are in host order.
using SnacHandler = void (*)(NetSession& session, PacketReader& reader, const FlapHeader& flap,
                             const SnacHeader& snac);

// Appends the password TLV: byte i of the value is password byte i XOR byte
// (i mod 16) of the roasting table. The password ends at its first zero byte; an
// empty one gives a TLV of length 0.
bool AppendRoastedTlv(PacketBuffer& buffer, std::uint16_t type, std::string_view password);

// Fills endpoint from "host[:port]". The port follows the last ':' when that colon
// is not the first character; otherwise the port is 5190 and the whole text is the
// host. With nameLookup the host is looked up by name (the login server);
// otherwise it must be four decimal numbers, each kept modulo 256, separated by any
// single character (the messaging server address from the login reply).
[[nodiscard]] bool ResolveAddress(const std::string& text, bool nameLookup,
                                  platform::Ipv4Endpoint& endpoint);

// The messaging server's address from the login reply: four numbers as above, or,
// when the host part holds a letter, a host name looked up like the login server's.
// False as well for the address 0.0.0.0, which would connect to this machine.
[[nodiscard]] bool ResolveMessagingAddress(const std::string& text,
                                           platform::Ipv4Endpoint& endpoint);

class NetSession {
public:
    NetSession();
    virtual ~NetSession();
    NetSession(const NetSession&) = delete;
    NetSession& operator=(const NetSession&) = delete;

    // ---- Events, called on whichever thread detects the event ----
    virtual void OnStateChanged(ConnState code) = 0;
    virtual void OnMessage(const std::u16string& uin, const std::u16string& text) = 0;
    // status is a presence value 0 to 7 (0 online, 1 offline, ...).
    virtual void OnContactStatus(const std::u16string& uin, std::int32_t status) = 0;
    // Asks the application to mark contacts offline (while not connected) and
    // redraw; called by the Connect and Disconnect commands. Does nothing by default.
    virtual void OnContactsRefresh() {}
    // A message the server kept while the user was away, sent at `sentTime`
    // (seconds since 1970-01-01 00:00 UTC). By default it is taken as a message
    // arriving now.
    virtual void OnOfflineMessage(const std::u16string& uin, const std::u16string& text,
                                  std::int64_t sentTime) {
        (void)sentTime;
        OnMessage(uin, text);
    }
    // A message queued with SendMessage did not reach the server (`reason` 0: it
    // could not be written to the connection) or the server refused it (`reason`:
    // the code of its message error, SNAC 0x0004/0x0001). Runs on the worker or on
    // the receive thread. Does nothing by default.
    virtual void OnMessageNotSent(const std::u16string& uin, const std::u16string& text,
                                  std::uint16_t reason) {
        (void)uin, (void)text, (void)reason;
    }
    // Worker thread: a command of a code this layer does not carry out itself
    // (SetVisibility). Does nothing by default.
    virtual void PerformOtherCommand(const NetCommand&) {}

    // The storing rule every OnStateChanged implementation applies: a report of
    // Disconnected or ConnectionError while state is below OpeningConnection is
    // ignored (so DisconnectedByOtherClient and ConnectionError survive the
    // closing reports); any other code is stored. Reports made on the receive
    // thread of a connection that has since been closed are ignored as well.
    // True when the code was stored.
    bool StoreState(ConnState code);
    ConnState State() const { return static_cast<ConnState>(state.load()); }
    // Reports a state through OnStateChanged, unless called on the receive thread
    // of a connection that has since been closed or replaced. Handlers and the
    // session report through this, never by calling OnStateChanged directly.
    void ReportState(ConnState code);

    // ---- Shared fields ----
    std::atomic<std::int32_t> bytesReceived{0};  // since the last connect
    std::atomic<std::int32_t> bytesSent{0};
    std::atomic<std::int32_t> state{0};          // a ConnState code, written by StoreState
    // The code of the error TLV (0x0008) with which the login server refused the
    // last sign-on; 0 when it did not refuse. Set before that sign-on's
    // ConnectionError is reported, cleared when the next connect starts. A refused
    // login fails again the same way: it is not for retrying on its own.
    std::atomic<std::int32_t> loginRefusal{0};
    // The worker's keep-alive interval; tests shorten it.
    std::atomic<int> keepAliveIntervalMs{kKeepAliveIntervalMs};
    // The deadline of the login phase and of the cookie phase; tests shorten it.
    std::atomic<int> signOnTimeoutMs{kSignOnTimeoutMs};
    // The worker runs while this is set; Shutdown clears it.
    std::atomic<bool> running{true};

    // ---- Commands and the worker ----
    // Any thread. Appends the command and wakes the worker; takes ownership. After
    // Shutdown the command is destroyed at once.
    void EnqueueCommand(std::unique_ptr<NetCommand> command);
    // Starts NetworkWorker on its own thread at below-normal priority. False when
    // it was already started.
    bool StartWorker();
    // Worker thread: carries out one command; unknown codes do nothing, and so do
    // the commands that need a connection (message, contact list, delete, info)
    // while the state is not a connected one.
    void PerformCommand(const NetCommand& command);
    // Asked (on the reporting thread, no lock held) when a connection has ended in
    // ConnectionError, and again when the wait is over: true to connect again.
    // Without one the session never reconnects. A function, not a virtual event,
    // so that a receive thread ending during the owner's destruction calls nothing
    // of a half-destroyed object.
    void SetReconnectCheck(std::function<bool()> check);
    // The waits between reconnect tries and the source of their spread (numbers in
    // [0, 1); a seeded generator when empty). Tests shorten the waits.
    void SetReconnectTiming(const ReconnectTiming& timing, std::function<double()> random = {});
    // True while a reconnect waits for its time.
    bool ReconnectPending() const;
    // Application exit: clears `running`, wakes the worker, closes the connection
    // without any report or sign-off frame, joins the worker and every receive
    // thread, and drops the queued commands. Idempotent.
    void Shutdown();

    // ---- Connection and login ----
    // Worker thread. Resets the counters, narrows uin and password, asks the
    // connection manager for a connection, closes an open connection (reporting
    // Disconnected), reports ConnectingLoginServer, connects and starts the
    // receive thread. False on any failure (the caller reports ConnectionError).
    [[nodiscard]] bool ConnectToLoginServer(std::u16string_view server, std::u16string_view uin,
                                            std::u16string_view password);
    // The same, abandoned (false, nothing connected) when the connection was closed
    // after closeCount was read from ClosesSoFar(): a Disconnect chosen while the
    // connect is still getting ready must not be overtaken by it.
    [[nodiscard]] bool ConnectToLoginServer(std::u16string_view server, std::u16string_view uin,
                                            std::u16string_view password,
                                            std::uint64_t closeCount);
    // How many times the connection has been closed so far.
    std::uint64_t ClosesSoFar() const;
    // Any thread: reports Disconnected, closes the connection (the receive thread
    // ends by itself), forgets the cookie and the pending info requests, reports
    // Disconnected again.
    void CloseSession();

    // Receive thread, login phase: reports CheckingPassword, then sends the login
    // frame when the hello has its 4-byte version.
    bool SendLogin(PacketReader& hello);
    // Receive thread: reads the TLVs of the login reply into uin, bosAddress and
    // cookie. False on a truncated TLV.
    bool ParseLoginReply(PacketReader& reply);
    // Receive thread: replaces the login-server connection by one to bosAddress.
    // False when the reply lacked the address or the cookie, the address does not
    // resolve (ResolveMessagingAddress), or the connect failed.
    bool ConnectToMessagingServer();
    // Receive thread, messaging phase: sends the cookie frame.
    bool SendCookie(PacketReader& hello);
    bool SendFamilyVersions();
    // True when the last login reply of this session refused the sign-on (it named
    // no messaging server or carried no cookie, or gave a reason and then broke off);
    // cleared by the next connect.
    bool LoginRefused() const { return loginRefused_.load(); }
    // The status half of the word the session signs on with and sends: set by the
    // Connect and SetStatus commands, 0 (online) at first.
    std::uint16_t OwnStatus() const { return ownStatus_.load(); }
    // SNAC 0x0001/0x001E: TLV 0x0006 with kOwnStatusFlags and `status`.
    bool SendStatus(std::uint16_t status);
    // Initial status (OwnStatus), then client ready; when both went out: Online,
    // LoadingOfflineMessages and the offline messages request.
    bool SendInitialStatus();
    bool SendClientReady();
    // The meta request without data: 60 asks for the offline messages, 62
    // acknowledges them.
    bool SendMetaRequest(std::uint16_t requestType);

    // ---- Frames ----
    bool SendKeepAlive();
    // A SNAC without data whose request id is its subtype.
    bool SendEmptySnac(std::uint16_t family, std::uint16_t subtype);
    // One channel-2 frame (flags 0). False when it could not be built or sent.
    bool SendSnac(std::uint16_t family, std::uint16_t subtype, std::uint32_t requestId,
                  const PacketBuffer& data);
    // SNAC 0x0004/0x0006: a channel-1 message. False (nothing sent) when the UIN
    // has more than 255 units or the frame would pass 65535 bytes. Each message
    // gets a request id of its own, kept with its UIN and text (the newest
    // kMaxSentMessages) so that a message error of the server names the message.
    bool SendInstantMessage(std::u16string_view uin, std::u16string_view text);
    // SNAC 0x0013/0x000A: deletes a buddy item (group 0, item 0) by name.
    bool DeleteContactItem(std::u16string_view uin);
    // SNAC 0x0003/0x0004 (add) or 0x0003/0x0005 (remove): the client-side buddy
    // list, kBuddiesPerSnac UINs a SNAC; UINs longer than 255 bytes are left out.
    // False when a frame could not be sent.
    bool SendBuddyList(std::uint16_t subtype, const std::vector<std::string>& uins);
    // SNAC 0x0015/0x0002: short user information of the UIN; the request id is the
    // frame's own sequence number and is recorded in infoRequests before sending.
    bool RequestShortInfo(std::u16string_view uin);

    // ---- Transport primitives ----
    // Sends n bytes whole under sendLock on the caller's connection (the receive
    // thread's own link, otherwise the current one).
    [[nodiscard]] bool SendAll(const void* bytes, std::size_t n);
    // Receive thread only: exactly n bytes from its link; false on error or close.
    [[nodiscard]] bool ReceiveExact(void* dest, std::size_t n);

    // ---- Dispatch ----
    // Fills the routing table of the messaging phase. Call before the first
    // connect; the table is read without a lock afterwards.
    void SetSnacHandler(std::uint16_t family, std::uint16_t subtype, SnacHandler handler);
    // Routes 0x0001/0x0003 (SendFamilyVersions), 0x0001/0x0013 (ignored) and
    // 0x0001/0x0018 (SendInitialStatus) itself, every other pair through the table;
    // a pair without a handler is dropped. The user information block of
    // 0x0002/0x0006 is read for nothing, so the session leaves it to the table too:
    // without a handler it is dropped with the same effect.
    void DispatchSnac(PacketReader& reader, const FlapHeader& flap, const SnacHeader& snac);
    // Runs the messaging phase's frame loop on the calling thread over a connected
    // socket, as the receive thread does after sign-on: the socket replaces the
    // current connection (the session owns it from now on), every frame is handled
    // until the stream ends or the phase ends, then ConnectionError is reported as
    // the receive thread reports it. For tests and fuzzing, which hand it one end of
    // a socket pair; must not be called on a receive thread.
    void RunMessagingConnection(platform::SocketHandle socket);

    // ---- Info requests ----
    // Finds and erases the UIN requested under requestId.
    [[nodiscard]] bool TakeInfoRequest(std::uint32_t requestId, std::uint32_t& uin);
    std::size_t PendingInfoRequests() const;
    // Finds and erases the message sent under requestId.
    [[nodiscard]] bool TakeSentMessage(std::uint32_t requestId, std::u16string& uin,
                                       std::u16string& text);

    // ---- Observers (copies taken under the lock) ----
    std::string Uin() const;
    std::string BosAddress() const;
    std::vector<std::uint8_t> Cookie() const;
    // The current connection's socket, kNoSocket when none.
    platform::SocketHandle Socket() const;
    // Receive threads that have not yet ended.
    int ActiveReceiveThreads() const { return activeReceivers_.load(); }

private:
    struct Link;
    friend int NetworkWorker(NetSession& session);

    bool IsStaleReceiver() const;  // requires connectionLock
    std::shared_ptr<Link> LinkForSend();
    // Closes the current connection without reports: shuts it down, retires the
    // receive thread, forgets cookie and info requests.
    void CloseConnection();
    void JoinRetiredThreads();
    // Increments flapSequence and returns it; requires sendLock.
    std::uint16_t NextSequence();
    // Under sendLock: takes the sequence number, lays the frame out and sends it.
    // `head` goes between the FLAP header and the payload; for a SNAC frame it is
    // built from `snac` (with the sequence as request id when requestIdIsSequence).
    struct FrameLayout {
        std::uint8_t channel = 0;
        bool signOnVersion = false;
        bool hasSnac = false;
        SnacHeader snac{};
        bool requestIdIsSequence = false;
        std::uint32_t infoTarget = 0;  // with requestIdIsSequence: recorded in infoRequests
    };
    bool SendFrame(const FrameLayout& layout, const PacketBuffer& payload);
    bool SendOnLink(Link& link, const void* bytes, std::size_t n);  // requires sendLock
    void RecordInfoRequest(std::uint16_t requestId, std::uint32_t uin);

    // What a reconnect connects with: the last Connect command's strings.
    struct ConnectTarget {
        std::u16string server;
        std::u16string uin;
        std::u16string password;
    };
    // Worker thread: the Connect command's work, for the user's command and for a
    // reconnect alike; abandoned when the connection is closed after closeCount
    // was read from closes_.
    void PerformConnect(const ConnectTarget& target, std::uint64_t closeCount);
    // After a reported ConnectionError: starts the next wait when it applies.
    void MaybeScheduleReconnect();
    bool ReconnectAllowed() const;
    // Worker thread: the target when the wait is over (the wait ends, closeCount
    // is closes_ then), else nullopt.
    std::optional<ConnectTarget> TakeDueReconnect(std::uint64_t& closeCount);
    // Milliseconds until the pending reconnect is due (0 when overdue), -1 when none.
    int ReconnectDueInMs() const;

    void StartReceiveThread(const std::shared_ptr<Link>& link);
    void ReceiveThread(std::shared_ptr<Link> link);
    using Deadline = std::optional<std::chrono::steady_clock::time_point>;
    // Receives exactly n bytes; false on error, close, or when the deadline (if
    // any) passes first.
    bool ReceiveOn(Link& link, void* dest, std::size_t n, const Deadline& deadline = {});
    // One receive of at most n bytes: how many came, 0 or less on error, close or
    // when the deadline (if any) passes first.
    long ReceiveSomeOn(Link& link, void* dest, std::size_t n, const Deadline& deadline);
    // Feeds the parser from the socket until it yields the next whole frame; false
    // when the stream ends or breaks, the deadline passes, or the connection is no
    // longer the current one: frames still queued on a closed or replaced
    // connection are never handled.
    bool ReadFrame(FlapParser& parser, FlapFrame& frame, const Deadline& deadline);
    Deadline SignOnDeadline() const;
    void RunLoginPhase();
    void RunMessagingPhase();

    // The session and link of the receive thread running on this thread (none on
    // other threads). The thread's reference keeps its link alive until it ends.
    static thread_local const NetSession* tlsSession_;
    static thread_local std::shared_ptr<Link> tlsLink_;

    // Guarded by sendLock.
    std::mutex sendLock;
    std::uint16_t flapSequence = 0;

    // Guarded by connectionLock.
    mutable std::mutex connectionLock;
    std::shared_ptr<Link> connection_;     // the current socket (`socket`)
    std::uint64_t closes_ = 0;             // CloseConnection calls so far
    std::thread receiveThread;
    std::vector<std::thread> retiredThreads_;
    std::vector<std::uint8_t> cookie;      // cookieLength is cookie.size()
    std::string uin;
    std::string password;
    std::string bosAddress;
    std::optional<ConnectTarget> lastConnect_;  // none before the first Connect
    std::optional<std::chrono::steady_clock::time_point> reconnectDue_;
    int reconnectAttempts_ = 0;  // tries since the last Online or user's Connect
    ReconnectTiming reconnectTiming_;
    std::function<double()> reconnectRandom_;
    std::function<bool()> reconnectCheck_;
    std::mt19937 reconnectGenerator_{std::random_device{}()};

    std::atomic<std::uint16_t> ownStatus_{0};
    std::atomic<bool> loginRefused_{false};

    mutable std::mutex queueLock;
    std::deque<std::unique_ptr<NetCommand>> commandQueue;
    platform::AutoResetEvent wakeEvent;
    std::thread workerThread_;
    std::mutex lifecycleLock_;  // StartWorker / Shutdown
    bool shutDown_ = false;

    struct InfoRequest {
        std::uint32_t uin = 0;
        std::uint64_t serial = 0;  // insertion order, to drop the oldest
    };
    mutable std::mutex infoLock;
    std::map<std::uint32_t, InfoRequest> infoRequests;
    std::uint64_t infoSerial_ = 0;

    struct SentMessage {
        std::uint32_t requestId = 0;
        std::u16string uin;
        std::u16string text;
    };
    mutable std::mutex sentLock_;  // a leaf lock
    std::deque<SentMessage> sentMessages_;  // oldest first
    std::uint32_t lastMessageRequestId_ = 0;

    std::unordered_map<std::uint32_t, SnacHandler> snacHandlers_;
    std::atomic<int> activeReceivers_{0};
};

// The worker thread procedure: 1 when the socket library cannot be started,
// otherwise 0 once `running` is cleared.
int NetworkWorker(NetSession& session);

}  // namespace pellox
