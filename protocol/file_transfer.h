// Sending and receiving one file with a contact: the proposal and its answer go
// through the server as rendezvous messages (net/rendezvous.h), the file itself
// over a connection between the two clients, or through the server's proxy where
// neither reaches the other.
//
// The road of a transfer:
//  1. Offer: the sender checks the file (its size and checksum), listens on a
//     port of its own and proposes the file (sequence 1, with that port); with
//     direct connections off it goes to the proxy first and proposes its place
//     there instead.
//  2. The receiver sees the proposal (a system line, a notification) only when it
//     comes from a contact of its list (AcceptsProposalFrom). Nothing happens
//     until the user says yes (Accept): the receiver sends its accept, then
//     connects to the address the server saw the sender at. Refuse sends a
//     cancel.
//  3. The sender takes, for listenWindowMs after the accept, one connection
//     from the address the server saw the receiver at; any other is closed.
//  4. When the receiver cannot connect, it listens itself and proposes its own
//     port (sequence 2); when the sender cannot connect to that either, it goes
//     to the proxy and proposes its place there (sequence 3); the receiver joins
//     it there. The receiver always uses its own proxy host, never an address a
//     peer names.
//  5. On the connection: the sender's prompt header, the receiver's
//     acknowledge, the bytes, the receiver's done. The receiver writes into
//     "<name>.part" beside the final name and renames it only when the size and
//     the checksum match; the final name never replaces a file (" (1)", " (2)"...).
//     A cancel on either side removes the partial file; a broken connection or
//     a checksum that does not match keeps it, under its ".part" name, and the
//     side that failed tells the peer with a cancel. A connection that breaks
//     waits kCancelGraceMs for the peer's cancel, so that a cancel is told as
//     one on both sides.
// Each end of a transfer is a system line in the contact's conversation. A
// proposal left unanswered for answerTimeoutMs ends on both sides: the sender
// cancels it, the receiver no longer shows it.
// A proposal's listening socket exists from the proposal on but takes its
// connection only within listenWindowMs after the accept, from the address
// the server saw the peer at (any address when the server names none).
//
// Threads: one thread per transfer, started by Offer or Accept; it blocks on its
// sockets and checks, between short waits, the rendezvous that arrived for it
// and a cancel. The user-interface thread calls Offer, Accept, Refuse, Cancel
// and List; the receive thread hands in rendezvous (OnRendezvous). One lock
// guards the table of transfers and every field of a transfer that two threads
// use; it is never held while a socket, a file or the session is used, except
// to shut a transfer's socket down or close its listener, and for the look at
// the download folder that gives Accept its name.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "net/rendezvous.h"

namespace pellox {

class AppState;
class Connection;
class NetSession;

enum class TransferState {
    Proposed,    // outgoing: waiting for the answer; incoming: waiting for the user
    Connecting,  // accepted, finding a connection
    Running,     // bytes moving
    Completed,
    Refused,
    Cancelled,
    Failed,
};

struct TransferInfo {
    std::uint64_t id = 0;
    std::u16string uin;
    bool outgoing = false;
    std::u16string name;  // as shown; for an incoming file the cleaned name
    std::uint64_t size = 0;
    std::uint64_t done = 0;
    TransferState state = TransferState::Proposed;
    double bytesPerSecond = 0;  // since the bytes began to move
    std::int64_t secondsLeft = -1;  // -1 while unknown
    std::string path;  // outgoing: the file sent; incoming: where it is (or will be) stored
};

// Where the transfer proxy listens on the server's host (the local server's
// default --proxy-port).
inline constexpr std::uint16_t kTransferProxyPort = 5192;

struct FileTransferConfig {
    std::string downloads;          // where received files go
    std::string proxyHost;          // empty: no proxy
    std::uint16_t proxyPort = kTransferProxyPort;
    bool direct = true;             // try direct connections before the proxy
    int connectTimeoutMs = 3000;    // one direct connect
    int listenWindowMs = 30000;     // a listening socket takes its peer within this
    int stallMs = 30000;            // no byte on a connection this long ends it
    int answerTimeoutMs = 10 * 60 * 1000;  // a proposal not answered is dropped, on both sides
};

// The largest file the transfer's 32-bit sizes carry.
inline constexpr std::uint64_t kMaxTransferSize = 0xFFFFFFFFull;
// A transfer whose connection broke waits this long for the peer's cancel.
inline constexpr int kCancelGraceMs = 2000;
// Transfers of one session going on at once (both ways); more are refused.
inline constexpr std::size_t kMaxTransfers = 16;
// Longest cleaned file name, in UTF-16 units.
inline constexpr std::size_t kMaxCleanNameLength = 120;

// A name from the network as a plain file name of the download folder: only
// what follows the last '/' or '\\', control characters and characters no file
// name should hold dropped, leading dots and blanks and trailing dots and blanks
// taken off, cut to kMaxCleanNameLength keeping the extension; "file" when
// nothing is left.
std::u16string CleanFileName(std::u16string_view name);

// A size as the user reads it: "512 Б", "1,5 КБ", "2,0 МБ", "1,1 ГБ".
std::u16string FileSizeText(std::uint64_t size);
// The unit's string id (str::kSizeBytes .. str::kSizeGigabytes) and the number
// FileSizeText puts together, for a caller that shows the unit translated.
struct FileSizeParts {
    int unitId = 0;
    std::u16string number;
};
FileSizeParts SplitFileSize(std::uint64_t size);

// A path in `folder` for `name` (UTF-16) where neither it nor it with ".part"
// exists: "name.ext", then "name (1).ext", "name (2).ext"...
std::string FreeFileName(const std::string& folder, const std::u16string& name);

// The download folder when none is set: the XDG download folder from
// $XDG_CONFIG_HOME/user-dirs.dirs, else ~/Downloads.
std::string DefaultDownloadFolder();

// SNAC 0x0004/0x0006 on channel 2 with the rendezvous block and the request for
// a server acknowledgement; its request id is above kLastMessageRequestId.
bool SendFileRendezvous(Connection& connection, std::u16string_view uin, const std::vector<std::uint8_t>& block);

class FileTransfers;

// Whether a 0x0004/0x0007 SNAC (the reader at its data, not moved) is a
// channel-2 message whose rendezvous block has the file capability.
[[nodiscard]] bool IsFileRendezvousMessage(const PacketReader& reader);
// Reads such a message and hands its rendezvous to `files`; false when it is
// malformed or names no transfer (a proposal from whom none is taken included).
bool HandleFileRendezvous(Connection& connection, PacketReader& reader, FileTransfers& files);

class FileTransfers {
public:
    // `systemLine` adds a system line to a listed contact's conversation;
    // `announce` tells the user of a proposal (title, body). Both are called on
    // the transfer's or the receive thread.
    using SystemLine = std::function<void(const std::u16string& uin, const std::u16string& text)>;
    // An offer to announce: who offers, the file's name and its size.
    using Announce = std::function<void(const std::u16string& uin, const std::u16string& name, std::uint64_t size)>;
    FileTransfers(AppState& model, NetSession& session, SystemLine systemLine, Announce announce);
    ~FileTransfers();
    FileTransfers(const FileTransfers&) = delete;
    FileTransfers& operator=(const FileTransfers&) = delete;

    // Any thread; applies to transfers started afterwards.
    void SetConfig(const FileTransferConfig& config);
    FileTransferConfig Config() const;

    // Proposes the file at `path` to the contact. 0, with the id of the string
    // saying why in `whyNot`, when it is not sent (not connected, no such file,
    // too large, too many transfers).
    std::uint64_t Offer(const std::u16string& uin, const std::string& path, int* whyNot = nullptr);
    // The receiver's yes and no to a proposal in state Proposed; false when there
    // is none of that id.
    bool Accept(std::uint64_t id);
    bool Refuse(std::uint64_t id);
    // Ends a transfer that has not ended, telling the peer; false when there is none.
    bool Cancel(std::uint64_t id);
    // The contact's transfers not yet ended and the ones that ended within the
    // last minute, oldest first.
    std::vector<TransferInfo> List(const std::u16string& uin) const;
    // The oldest incoming proposal of the contact still waiting for the user; 0
    // when none.
    std::uint64_t PendingProposal(const std::u16string& uin) const;

    // Receive thread: a rendezvous of the file capability from `uin`. A proposal
    // of a new cookie starts an incoming transfer (when AcceptsProposalFrom); any
    // other goes to the transfer of its cookie and peer. False when it named no
    // transfer or was dropped.
    bool OnRendezvous(const std::u16string& uin, const Rendezvous& rendezvous);
    // Whether a proposal from this UIN is shown at all: only a contact of the
    // list. The one place to add further rules (an ignore list).
    bool AcceptsProposalFrom(const std::u16string& uin) const;

    // Cancels every transfer (telling no peer) and joins their threads. Idempotent.
    void Shutdown();

private:
    struct Transfer;
    struct Watch;
    Watch WatchOf(Transfer& t);
    void Run(const std::shared_ptr<Transfer>& t);
    void RunSender(Transfer& t);
    void RunReceiver(Transfer& t);
    void Finish(Transfer& t, TransferState state);
    void SendRendezvous(const Transfer& t, const Rendezvous& r);
    Rendezvous Head(const Transfer& t, std::uint16_t kind) const;
    std::shared_ptr<Transfer> Find(std::uint64_t id) const;
    // An incoming proposal the user left unanswered for answerTimeoutMs: its
    // sender has given up (or gone); it is no longer shown or taken. Under lock_.
    bool Expired(const Transfer& t) const;
    // The transfer's listening socket is closed once it has its connection.
    void CloseListener(Transfer& t);
    // Forgets transfers that ended more than a minute ago, joining their threads.
    void Prune();

    AppState& model_;
    NetSession& session_;
    SystemLine systemLine_;
    Announce announce_;
    mutable std::mutex lock_;  // everything below, and the shared fields of each Transfer
    std::condition_variable changed_;
    FileTransferConfig config_;
    std::map<std::uint64_t, std::shared_ptr<Transfer>> transfers_;
    std::uint64_t nextId_ = 1;
    bool shutDown_ = false;
};

}  // namespace pellox
