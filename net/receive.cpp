// The receive thread: reads the socket, feeds the frame parser and acts on the
// frames by channel, first on the login-server connection, then on the
// messaging-server one.
#include <chrono>
#include <vector>

#include "net/session_impl.h"
#include "platform/thread.h"

namespace pellox {

void SessionImpl::StartReceiveThread(const std::shared_ptr<Link>& link) {
    std::lock_guard<std::mutex> guard(connectionLock_);
    // A thread of an earlier connection that ended by itself is joined later.
    if (receiveThread_.joinable()) retiredThreads_.push_back(std::move(receiveThread_));
    activeReceivers_.fetch_add(1);
    receiveThread_ = platform::StartThread(platform::ThreadPriority::Normal,
                                           [this, link] { ReceiveThread(link); });
}

void SessionImpl::ReceiveThread(std::shared_ptr<Link> link) {
    {
        // The thread's reference keeps its link alive until it ends.
        Connection connection(*this, std::move(link), true);
        RunLoginPhase(connection);
        // Dropped as stale when the connection was closed or replaced meanwhile.
        ReportState(connection, ConnState::ConnectionError);
        MaybeScheduleReconnect(connection);
    }
    activeReceivers_.fetch_sub(1);
}

// ---- Links ----

void Link::Publish(std::unique_ptr<platform::Stream> stream) {
    std::lock_guard<std::mutex> guard(lock_);
    if (stream_ != nullptr || stream == nullptr) return;
    stream_ = std::move(stream);
    if (shutDown_) stream_->Shutdown();  // closed while it was being connected
}

platform::Stream* Link::Stream() const {
    std::lock_guard<std::mutex> guard(lock_);
    return stream_.get();
}

void Link::Shutdown() {
    canceller.Cancel();
    std::lock_guard<std::mutex> guard(lock_);
    shutDown_ = true;
    if (stream_ != nullptr) stream_->Shutdown();
}

bool Link::IsShutDown() const {
    std::lock_guard<std::mutex> guard(lock_);
    return shutDown_;
}

long SessionImpl::ReceiveSome(Link& link, void* dest, std::size_t n, const Deadline& deadline) {
    platform::Stream* stream = link.Stream();
    if (stream == nullptr) return -1;
    if (deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            *deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !stream->WaitReadable(static_cast<int>(left.count()))) {
            link.Shutdown();  // the server sees the connection given up
            return -1;
        }
    }
    const long got = stream->ReceiveSome(dest, n);
    if (got > 0) bytesReceived_.fetch_add(static_cast<std::int32_t>(got));
    return got;  // 0 or less: error, shutdown or the server closed
}

bool SessionImpl::ReadFrame(Connection& connection, FlapParser& parser, FlapFrame& frame,
                            const Deadline& deadline) {
    if (!connection.link_) return false;
    while (!parser.Next(frame)) {
        if (parser.Broken()) return false;  // no attempt to resynchronise
        std::uint8_t chunk[kReceiveChunk];
        const long got = ReceiveSome(*connection.link_, chunk, sizeof chunk, deadline);
        if (got <= 0) return false;
        parser.Feed({chunk, static_cast<std::size_t>(got)});
    }
    // A close (Disconnect, a profile switch) shuts the socket down, but frames that
    // had already arrived can still be read: they belong to a session that is over.
    std::lock_guard<std::mutex> guard(connectionLock_);
    return !IsStale(connection);
}

SessionImpl::Deadline SessionImpl::SignOnDeadline() const {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(signOnTimeoutMs_.load());
}

void SessionImpl::RunLoginPhase(Connection& connection) {
    FlapParser parser;
    FlapFrame frame;
    // A login server that accepts the connection and never answers the login.
    const Deadline deadline = SignOnDeadline();
    while (ReadFrame(connection, parser, frame, deadline)) {
        if (!HandleLoginFrame(connection, frame)) return;
    }
}

bool SessionImpl::HandleLoginFrame(Connection& connection, const FlapFrame& frame) {
    bool md5;
    {
        std::lock_guard<std::mutex> guard(connectionLock_);
        md5 = signOn_.md5Login;
    }
    PacketReader reader(frame.data);
    switch (frame.header.channel) {
        case kChannelSignOn:
            (void)(md5 ? SendChallengeRequest(connection, reader) : SendLogin(connection, reader));
            return true;
        case kChannelSignOff:
            // The reply of the roasted login, or a refusal closing either login.
            FinishLogin(connection, reader);
            return false;  // the login phase ends after the reply, whatever came of it
        case kChannelSnac:
            break;
        default:
            return true;
    }
    if (!md5) return true;  // the roasted login has no SNACs
    SnacHeader snac;
    if (!ReadRecord(reader, snac)) return false;
    if (snac.flags & kSnacFlagExtraData) {
        std::uint16_t extra;
        if (!ReadU16(reader, extra) || !reader.Skip(extra)) return false;
    }
    if (snac.family != 0x0017) return true;
    switch (snac.subtype) {
        case 0x0007:  // the key: a key cut short ends the sign-on
            return SendMd5Login(connection, reader);
        case 0x0003:  // the reply, with the TLVs of the channel-4 one
            FinishLogin(connection, reader);
            return false;
        case 0x0001: {  // an error of the family: its code, when it has one
            std::uint16_t code = 0;
            (void)ReadU16(reader, code);
            RefuseLogin(connection, code);
            return false;
        }
        default:
            return true;
    }
}

void SessionImpl::FinishLogin(Connection& connection, PacketReader& reply) {
    if (ParseLoginReply(connection, reply) && ConnectToMessagingServer(connection)) {
        RunMessagingPhase(connection);
    }
}

void SessionImpl::RunMessagingPhase(Connection& connection) {
    FlapParser parser;
    FlapFrame frame;
    // Until the server's family versions arrive (the cookie was taken and the
    // sign-on goes on) the server must keep answering; after them it may be silent.
    Deadline deadline = SignOnDeadline();
    bool signOnDone = false;
    while (ReadFrame(connection, parser, frame, signOnDone ? Deadline{} : deadline)) {
        if (!HandleMessagingFrame(connection, frame, signOnDone)) return;
    }
}

bool SessionImpl::HandleMessagingFrame(Connection& connection, const FlapFrame& frame,
                                       bool& signOnDone) {
    PacketReader reader(frame.data);
    switch (frame.header.channel) {
        case kChannelSignOn:
            (void)SendCookie(connection, reader);
            return true;
        case kChannelSnac: {
            SnacHeader snac;
            if (!ReadRecord(reader, snac)) return false;
            if (snac.flags & kSnacFlagExtraData) {
                std::uint16_t extra;
                if (!ReadU16(reader, extra)) return false;
                // Extra data running past the end leaves the reader at the end
                // with every read failing; the handler finds nothing to read.
                (void)reader.Skip(extra);
            }
            if (snac.family == 0x0001 && snac.subtype == 0x0018) signOnDone = true;
            DispatchSnac(connection, reader, snac);
            return true;
        }
        case kChannelSignOff:
            connection.ReportState(ConnState::DisconnectedByOtherClient);
            return false;
        default:  // error and keep-alive frames and anything else
            return true;
    }
}

void SessionImpl::SetSnacHandler(std::uint16_t family, std::uint16_t subtype, SnacHandler handler) {
    const std::uint32_t key = (static_cast<std::uint32_t>(family) << 16) | subtype;
    if (handler) {
        snacHandlers_[key] = std::move(handler);
    } else {
        snacHandlers_.erase(key);
    }
}

void SessionImpl::DispatchSnac(Connection& connection, PacketReader& reader,
                               const SnacHeader& snac) {
    const auto it =
        snacHandlers_.find((static_cast<std::uint32_t>(snac.family) << 16) | snac.subtype);
    if (it != snacHandlers_.end() && !it->second(connection, reader, snac))
        delegate_.OnSnacRejected(snac);
}

// ---- Test entries: the messaging phase over a socket the caller connected ----

Connection SessionImpl::AdoptSocketForTesting(platform::SocketHandle socket) {
    auto link = std::make_shared<Link>(std::make_unique<platform::SocketStream>(socket));
    CloseConnection();
    {
        std::lock_guard<std::mutex> guard(connectionLock_);
        connection_ = link;
    }
    return Connection(*this, std::move(link), true);
}

void SessionImpl::EndConnectionForTesting(Connection& connection) {
    ReportState(connection, ConnState::ConnectionError);
}

void SessionImpl::RunMessagingConnectionForTesting(platform::SocketHandle socket) {
    Connection connection = AdoptSocketForTesting(socket);
    RunMessagingPhase(connection);
    EndConnectionForTesting(connection);
}

}  // namespace pellox
