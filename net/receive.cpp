// The receive thread: splits the byte stream into FLAP frames and acts on them by
// channel, first on the login-server connection, then on the messaging-server one.
#include <chrono>
#include <vector>

#include "net/session.h"
#include "net/session_link.h"
#include "platform/thread.h"

namespace pellox {

void NetSession::StartReceiveThread(const std::shared_ptr<Link>& link) {
    std::lock_guard<std::mutex> guard(connectionLock);
    // A thread of an earlier connection that ended by itself is joined later.
    if (receiveThread.joinable()) retiredThreads_.push_back(std::move(receiveThread));
    activeReceivers_.fetch_add(1);
    receiveThread = platform::StartThread(platform::ThreadPriority::Normal,
                                          [this, link] { ReceiveThread(link); });
}

void NetSession::ReceiveThread(std::shared_ptr<Link> link) {
    tlsSession_ = this;
    tlsLink_ = std::move(link);
    RunLoginPhase();
    // Dropped as stale when the connection was closed or replaced meanwhile.
    ReportState(ConnState::ConnectionError);
    MaybeScheduleReconnect();
    tlsLink_.reset();
    tlsSession_ = nullptr;
    activeReceivers_.fetch_sub(1);
}

long NetSession::ReceiveSomeOn(Link& link, void* dest, std::size_t n, const Deadline& deadline) {
    if (deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            *deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !platform::WaitReadable(link.socket, static_cast<int>(left.count()))) {
            link.Shutdown();  // the server sees the connection given up
            return -1;
        }
    }
    const long got = platform::ReceiveSome(link.socket, dest, n);
    if (got > 0) bytesReceived.fetch_add(static_cast<std::int32_t>(got));
    return got;  // 0 or less: error, shutdown or the server closed
}

bool NetSession::ReceiveOn(Link& link, void* dest, std::size_t n, const Deadline& deadline) {
    auto* p = static_cast<std::uint8_t*>(dest);
    while (n > 0) {
        const long got = ReceiveSomeOn(link, p, n, deadline);
        if (got <= 0) return false;
        p += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

bool NetSession::ReceiveExact(void* dest, std::size_t n) {
    if (tlsSession_ != this || !tlsLink_) return false;
    return ReceiveOn(*tlsLink_, dest, n);
}

bool NetSession::ReadFrame(FlapParser& parser, FlapFrame& frame, const Deadline& deadline) {
    if (!tlsLink_) return false;
    while (!parser.Next(frame)) {
        if (parser.Broken()) return false;  // no attempt to resynchronise
        std::uint8_t chunk[kReceiveChunk];
        const long got = ReceiveSomeOn(*tlsLink_, chunk, sizeof chunk, deadline);
        if (got <= 0) return false;
        parser.Feed({chunk, static_cast<std::size_t>(got)});
    }
    // A close (Disconnect, a profile switch) shuts the socket down, but frames that
    // had already arrived can still be read: they belong to a session that is over.
    std::lock_guard<std::mutex> guard(connectionLock);
    return !IsStaleReceiver();
}

NetSession::Deadline NetSession::SignOnDeadline() const {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(signOnTimeoutMs.load());
}

void NetSession::RunLoginPhase() {
    FlapParser parser;
    FlapFrame frame;
    // A login server that accepts the connection and never answers the login.
    const Deadline deadline = SignOnDeadline();
    while (ReadFrame(parser, frame, deadline)) {
        PacketReader reader(frame.data);
        const FlapHeader& flap = frame.header;
        if (flap.channel == kChannelSignOn) {
            (void)SendLogin(reader);
        } else if (flap.channel == kChannelSignOff) {
            if (ParseLoginReply(reader) && ConnectToMessagingServer()) RunMessagingPhase();
            return;  // the login phase ends after the reply, whatever came of it
        }
    }
}

void NetSession::RunMessagingPhase() {
    FlapParser parser;
    FlapFrame frame;
    // Until the server's family versions arrive (the cookie was taken and the
    // sign-on goes on) the server must keep answering; after them it may be silent.
    Deadline deadline = SignOnDeadline();
    while (ReadFrame(parser, frame, deadline)) {
        PacketReader reader(frame.data);
        const FlapHeader& flap = frame.header;
        switch (flap.channel) {
            case kChannelSignOn:
                (void)SendCookie(reader);
                break;
            case kChannelSnac: {
                SnacHeader snac;
                if (!ReadRecord(reader, snac)) return;
                if (snac.flags & kSnacFlagExtraData) {
                    std::uint16_t extra;
                    if (!ReadU16(reader, extra)) return;
                    // Extra data running past the end leaves the reader at the end
                    // with every read failing; the handler finds nothing to read.
                    (void)reader.Skip(extra);
                }
                if (snac.family == 0x0001 && snac.subtype == 0x0018) deadline.reset();
                DispatchSnac(reader, flap, snac);
                break;
            }
            case kChannelSignOff:
                ReportState(ConnState::DisconnectedByOtherClient);
                return;
            default:  // error and keep-alive frames and anything else
                break;
        }
    }
}

void NetSession::RunMessagingConnection(platform::SocketHandle socket) {
    auto link = std::make_shared<Link>(socket);
    CloseConnection();
    {
        std::lock_guard<std::mutex> guard(connectionLock);
        connection_ = link;
    }
    tlsSession_ = this;
    tlsLink_ = std::move(link);
    RunMessagingPhase();
    ReportState(ConnState::ConnectionError);
    tlsLink_.reset();
    tlsSession_ = nullptr;
}

void NetSession::SetSnacHandler(std::uint16_t family, std::uint16_t subtype, SnacHandler handler) {
    const std::uint32_t key = (static_cast<std::uint32_t>(family) << 16) | subtype;
    if (handler == nullptr) {
        snacHandlers_.erase(key);
    } else {
        snacHandlers_[key] = handler;
    }
}

void NetSession::DispatchSnac(PacketReader& reader, const FlapHeader& flap,
                              const SnacHeader& snac) {
    const std::uint16_t family = snac.family;
    const std::uint16_t subtype = snac.subtype;
    if (family == 0x0001) {
        switch (subtype) {
            case 0x0003:  // the server's family list
                (void)SendFamilyVersions();
                return;
            case 0x0013:  // message of the day
                return;
            case 0x0018:  // the server's family versions
                (void)SendInitialStatus();
                return;
            default:
                break;
        }
    }
    const auto it = snacHandlers_.find((static_cast<std::uint32_t>(family) << 16) | subtype);
    if (it != snacHandlers_.end()) it->second(*this, reader, flap, snac);
}

}  // namespace pellox
