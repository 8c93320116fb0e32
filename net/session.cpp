#include <algorithm>
#include <cstring>

#include "net/session_impl.h"
#include "net/text_encoding.h"
#include "platform/thread.h"

namespace pellox {

SessionImpl::SessionImpl(SessionDelegate& delegate) : delegate_(delegate) {
    RegisterOwnHandlers();
}

SessionImpl::~SessionImpl() {
    Shutdown();
}

// ---- State ----

bool SessionImpl::IsStale(const Connection& connection) const {
    return connection.receiver_ && connection.link_ != connection_;
}

void SessionImpl::ReportState(const Connection& from, ConnState code) {
    bool stored = false;
    {
        // One step with the staleness check, so that a closing connection cannot
        // slip in between.
        std::lock_guard<std::mutex> guard(connectionLock_);
        if (IsStale(from)) return;
        const std::int32_t current = state_.load();
        stored = !((code == ConnState::Disconnected || code == ConnState::ConnectionError) &&
                   current < static_cast<std::int32_t>(ConnState::OpeningConnection));
        if (stored) state_.store(static_cast<std::int32_t>(code));
        if (code == ConnState::Online) reconnectAttempts_ = 0;
    }
    delegate_.OnStateChanged(code, stored);
}

// ---- Commands and the worker ----

void SessionImpl::RegisterOwnHandlers() {
    SetCommandHandler<ConnectCommand>(
        [this](const ConnectCommand& command, Connection&) { PerformConnectCommand(command); });
    SetCommandHandler<StatusCommand>([this](const StatusCommand& command, Connection& connection) {
        PerformStatus(command, connection);
    });
    SetCommandHandler<DisconnectCommand>([this](const DisconnectCommand&, Connection& connection) {
        PerformDisconnect(connection);
    });
    SetCommandHandler<SendMessageCommand>(
        [this](const SendMessageCommand& command, Connection& connection) {
            PerformSendMessage(command, connection);
        });
    SetCommandHandler<LoadContactsCommand>(
        [this](const LoadContactsCommand&, Connection& connection) {
            PerformLoadContacts(connection);
        });
    SetCommandHandler<DeleteContactCommand>(
        [this](const DeleteContactCommand& command, Connection& connection) {
            PerformDeleteContact(command, connection);
        });
    SetCommandHandler<RequestInfoCommand>(
        [](const RequestInfoCommand& command, Connection& connection) {
            if (connection.Connected()) (void)connection.RequestShortInfo(command.uin);
        });

    SetSnacHandler(0x0001, 0x0003,
                   [this](Connection& connection, PacketReader&, const SnacHeader&) {
                       (void)SendFamilyVersions(connection);  // the server's family list
                       return true;
                   });
    SetSnacHandler(0x0001, 0x0013, [](Connection&, PacketReader&, const SnacHeader&) {
        return true;  // message of the day
    });
    SetSnacHandler(0x0001, 0x0018,
                   [this](Connection& connection, PacketReader&, const SnacHeader&) {
                       (void)SendInitialStatus(connection);  // the server's family versions
                       return true;
                   });
}

void SessionImpl::EnqueueCommand(Command command) {
    if (!running_.load()) return;
    {
        // Whatever the user asks for now comes before a reconnect that waits.
        std::lock_guard<std::mutex> guard(connectionLock_);
        reconnectDue_.reset();
    }
    {
        std::lock_guard<std::mutex> guard(queueLock_);
        commandQueue_.push_back(std::move(command));
    }
    // Latched, so a command queued while the worker is busy is not left waiting
    // for the next one.
    wakeEvent_.Set();
}

bool SessionImpl::StartWorker() {
    std::lock_guard<std::mutex> guard(lifecycleLock_);
    if (shutDown_ || workerThread_.joinable()) return false;
    workerThread_ =
        platform::StartThread(platform::ThreadPriority::BelowNormal, [this] { RunWorker(); });
    return true;
}

void SessionImpl::RunWorker() {
    if (!platform::StartSocketLibrary()) return;
    while (running_.load()) {
        int waitMs = keepAliveIntervalMs_.load();
        const int reconnectInMs = ReconnectDueInMs();
        if (reconnectInMs >= 0 && reconnectInMs < waitMs) waitMs = reconnectInMs;
        const platform::WaitResult woke = wakeEvent_.Wait(waitMs);
        if (!running_.load()) break;
        if (woke == platform::WaitResult::TimedOut) {
            Generation generation = 0;
            if (auto target = TakeDueReconnect(generation)) {
                // Not when reconnecting was turned off while it waited.
                if (ReconnectAllowed()) PerformConnect(*target, generation);
                continue;
            }
            // A whole interval without a command: keep the connection alive.
            if (IsConnectedState(state_.load()) && !CurrentConnection().SendKeepAlive())
                CloseSession();
            continue;
        }
        // Drain the queue in order, one command at a time, the lock held only to
        // take the head.
        while (running_.load()) {
            std::optional<Command> command;
            {
                std::lock_guard<std::mutex> guard(queueLock_);
                if (commandQueue_.empty()) break;
                command.emplace(std::move(commandQueue_.front()));
                commandQueue_.pop_front();
            }
            PerformCommand(*command);
        }
    }
    platform::StopSocketLibrary();
}

void SessionImpl::PerformCommand(const Command& command) {
    Connection connection = CurrentConnection();
    if (const CommandHandler& handler = commandHandlers_[command.index()])
        handler(command, connection);
}

void SessionImpl::PerformCommandForTesting(const Command& command) {
    PerformCommand(command);
}

// A command queued while connected may come up after a Disconnect: it must not send
// on a new connection that is still signing on, nor report a state for a session
// that is over. So the commands that need a connection do nothing without one.

void SessionImpl::PerformConnectCommand(const ConnectCommand& command) {
    ConnectTarget target{command.server, command.uin,     command.password,
                         command.md5Login, command.tls, command.tlsPin};
    Generation generation;
    {
        std::lock_guard<std::mutex> guard(connectionLock_);
        lastConnect_ = target;
        reconnectAttempts_ = 0;
        // Read before OpeningConnection is shown, so that a Disconnect chosen from
        // then on stops this connect.
        generation = generation_;
    }
    ownStatus_.store(command.status);
    PerformConnect(target, generation);
}

void SessionImpl::PerformStatus(const StatusCommand& command, Connection& connection) {
    ownStatus_.store(command.status);
    if (connection.Connected()) (void)connection.SendStatus(command.status);
}

void SessionImpl::PerformDisconnect(Connection& connection) {
    connection.ReportState(ConnState::Disconnected);
    CloseSession();
    delegate_.OnContactsRefresh();
}

void SessionImpl::PerformSendMessage(const SendMessageCommand& command, Connection& connection) {
    // A message that cannot go out is reported, so that it is not kept as sent.
    if (!connection.Connected() || !connection.SendInstantMessage(command.uin, command.text)) {
        delegate_.OnMessageNotSent(command.uin, command.text, 0);
    }
}

void SessionImpl::PerformLoadContacts(Connection& connection) {
    if (!connection.Connected()) return;
    connection.ReportState(ConnState::LoadingContacts);
    (void)connection.SendEmptySnac(0x0013, 0x0004);
}

void SessionImpl::PerformDeleteContact(const DeleteContactCommand& command,
                                       Connection& connection) {
    if (!connection.Connected()) return;
    (void)connection.DeleteContactItem(command.uin);
    (void)connection.SendBuddyList(0x0005, {NarrowFromWide(command.uin)});
}

void SessionImpl::Shutdown() {
    std::thread worker;
    {
        std::lock_guard<std::mutex> guard(lifecycleLock_);
        shutDown_ = true;
        worker = std::move(workerThread_);
    }
    running_.store(false);
    wakeEvent_.Set();
    CloseConnection();
    platform::JoinOrDetach(worker);
    // The worker may have connected while it was being stopped.
    CloseConnection();
    JoinRetiredThreads();
    std::deque<Command> dropped;
    {
        std::lock_guard<std::mutex> guard(queueLock_);
        dropped.swap(commandQueue_);
    }
}

// ---- Closing ----

void SessionImpl::CloseConnection() {
    std::shared_ptr<Link> old;
    {
        std::lock_guard<std::mutex> guard(connectionLock_);
        old = std::move(connection_);
        connection_.reset();
        ++generation_;
        if (receiveThread_.joinable()) retiredThreads_.push_back(std::move(receiveThread_));
        cookie_.clear();
        reconnectDue_.reset();
    }
    // Wakes the receive thread; the descriptor is closed with the last reference.
    if (old) old->Shutdown();
    std::lock_guard<std::mutex> guard(infoLock_);
    infoRequests_.clear();
}

SessionImpl::Generation SessionImpl::CurrentGeneration() const {
    std::lock_guard<std::mutex> guard(connectionLock_);
    return generation_;
}

void SessionImpl::CloseSession() {
    const Connection connection = CurrentConnection();
    ReportState(connection, ConnState::Disconnected);
    CloseConnection();
    ReportState(connection, ConnState::Disconnected);
}

void SessionImpl::JoinRetiredThreads() {
    std::vector<std::thread> retired;
    {
        std::lock_guard<std::mutex> guard(connectionLock_);
        retired.swap(retiredThreads_);
    }
    for (std::thread& t : retired) platform::JoinOrDetach(t);
}

// ---- Sending ----

Connection::Connection(SessionImpl& session, std::shared_ptr<Link> link, bool receiver)
    : session_(&session), link_(std::move(link)), receiver_(receiver) {}

std::shared_ptr<Link> Connection::LinkForSend() const {
    // A receive thread answers on its own connection, even once it is stale
    // (the send then fails on the shut-down socket): never on a newer one.
    if (receiver_) return link_;
    std::lock_guard<std::mutex> guard(session_->connectionLock_);
    return session_->connection_;
}

std::uint16_t SessionImpl::NextSequence() {
    return ++flapSequence_;
}

bool SessionImpl::SendOnLink(Link& link, const void* bytes, std::size_t n) {
    platform::Stream* stream = link.Stream();
    if (stream == nullptr || !stream->SendAll(bytes, n)) return false;
    bytesSent_.fetch_add(static_cast<std::int32_t>(n));
    return true;
}

bool Connection::SendFrame(const FrameLayout& layout, const PacketBuffer& payload) {
    const std::size_t headSize = layout.signOnVersion ? 4 : (layout.hasSnac ? kSnacHeaderSize : 0);
    if (payload.Failed() || headSize + payload.Length() > kMaxFlapData) return false;
    std::shared_ptr<Link> link = LinkForSend();
    if (!link) return false;

    // The sequence number is taken and the frame sent as one step, so numbers on
    // the wire rise by one per frame whichever thread sends.
    std::lock_guard<std::mutex> guard(session_->sendLock_);
    const std::uint16_t sequence = session_->NextSequence();
    std::uint8_t head[kSnacHeaderSize] = {};
    if (layout.signOnVersion) {
        head[3] = 0x01;  // FLAP version 0x00000001
    } else if (layout.hasSnac) {
        SnacHeader snac = layout.snac;
        if (layout.requestIdIsSequence) {
            snac.requestId = sequence;
            session_->RecordInfoRequest(sequence, layout.infoTarget);
        }
        ConvertByteOrder(snac);
        std::memcpy(head, &snac, sizeof snac);
    }
    std::vector<std::uint8_t> frame;
    if (!BuildFrame(frame, layout.channel, sequence, {head, headSize}, payload.Bytes()))
        return false;
    return session_->SendOnLink(*link, frame.data(), frame.size());
}

bool Connection::SendSnac(std::uint16_t family, std::uint16_t subtype, std::uint32_t requestId,
                          const PacketBuffer& data) {
    FrameLayout layout;
    layout.channel = kChannelSnac;
    layout.hasSnac = true;
    layout.snac = SnacHeader{family, subtype, 0, requestId};
    return SendFrame(layout, data);
}

bool Connection::SendEmptySnac(std::uint16_t family, std::uint16_t subtype) {
    return SendSnac(family, subtype, subtype, PacketBuffer{});
}

bool Connection::SendKeepAlive() {
    FrameLayout layout;
    layout.channel = kChannelKeepAlive;
    return SendFrame(layout, PacketBuffer{});
}

void Connection::ReportState(ConnState code) {
    session_->ReportState(*this, code);
}

ConnState Connection::State() const {
    return session_->State();
}

std::string Connection::OwnUin() const {
    return session_->Uin();
}

SessionDelegate& Connection::Events() const {
    return session_->delegate_;
}

// ---- Info requests ----

void SessionImpl::RecordInfoRequest(std::uint16_t requestId, std::uint32_t targetUin) {
    std::lock_guard<std::mutex> guard(infoLock_);
    infoRequests_[requestId] = InfoRequest{targetUin, ++infoSerial_};
    if (infoRequests_.size() > kMaxInfoRequests) {
        auto oldest = std::min_element(
            infoRequests_.begin(), infoRequests_.end(),
            [](const auto& a, const auto& b) { return a.second.serial < b.second.serial; });
        infoRequests_.erase(oldest);
    }
}

bool Connection::TakeInfoRequest(std::uint32_t requestId, std::uint32_t& targetUin) {
    std::lock_guard<std::mutex> guard(session_->infoLock_);
    auto& requests = session_->infoRequests_;
    auto it = requests.find(requestId);
    if (it == requests.end()) return false;
    targetUin = it->second.uin;
    requests.erase(it);
    return true;
}

std::size_t SessionImpl::PendingInfoRequestsForTesting() const {
    std::lock_guard<std::mutex> guard(infoLock_);
    return infoRequests_.size();
}

// ---- Observers ----

std::string SessionImpl::Uin() const {
    std::lock_guard<std::mutex> guard(connectionLock_);
    return uin_;
}

std::string SessionImpl::BosAddressForTesting() const {
    std::lock_guard<std::mutex> guard(connectionLock_);
    return bosAddress_;
}

std::vector<std::uint8_t> SessionImpl::Cookie() const {
    std::lock_guard<std::mutex> guard(connectionLock_);
    return cookie_;
}

platform::SocketHandle SessionImpl::SocketForTesting() const {
    std::lock_guard<std::mutex> guard(connectionLock_);
    const platform::Stream* stream = connection_ ? connection_->Stream() : nullptr;
    return stream != nullptr ? stream->Handle() : platform::kNoSocket;
}

}  // namespace pellox
