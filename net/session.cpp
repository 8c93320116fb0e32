#include "net/session.h"

#include <algorithm>
#include <cstring>

#include "net/session_link.h"
#include "net/text_encoding.h"
#include "platform/thread.h"

namespace pellox {

thread_local const NetSession* NetSession::tlsSession_ = nullptr;
thread_local std::shared_ptr<NetSession::Link> NetSession::tlsLink_;

NetSession::NetSession() = default;

NetSession::~NetSession() { Shutdown(); }

// ---- State ----

bool NetSession::IsStaleReceiver() const {
    return tlsSession_ == this && tlsLink_ != connection_;
}

void NetSession::ReportState(ConnState code) {
    {
        std::lock_guard<std::mutex> guard(connectionLock);
        if (IsStaleReceiver()) return;
    }
    OnStateChanged(code);
    if (code == ConnState::Online) {
        std::lock_guard<std::mutex> guard(connectionLock);
        reconnectAttempts_ = 0;
    }
}

bool NetSession::StoreState(ConnState code) {
    // Under connectionLock so that a closing connection cannot slip in between
    // the staleness check and the store.
    std::lock_guard<std::mutex> guard(connectionLock);
    if (IsStaleReceiver()) return false;
    const std::int32_t current = state.load();
    if ((code == ConnState::Disconnected || code == ConnState::ConnectionError) &&
        current < static_cast<std::int32_t>(ConnState::OpeningConnection)) {
        return false;
    }
    state.store(static_cast<std::int32_t>(code));
    return true;
}

// ---- Commands and the worker ----

void NetSession::EnqueueCommand(std::unique_ptr<NetCommand> command) {
    if (!command || !running.load()) return;
    {
        // Whatever the user asks for now comes before a reconnect that waits.
        std::lock_guard<std::mutex> guard(connectionLock);
        reconnectDue_.reset();
    }
    {
        std::lock_guard<std::mutex> guard(queueLock);
        commandQueue.push_back(std::move(command));
    }
    // Latched, so a command queued while the worker is busy is not left waiting
    // for the next one.
    wakeEvent.Set();
}

bool NetSession::StartWorker() {
    std::lock_guard<std::mutex> guard(lifecycleLock_);
    if (shutDown_ || workerThread_.joinable()) return false;
    workerThread_ = platform::StartThread(platform::ThreadPriority::BelowNormal,
                                          [this] { NetworkWorker(*this); });
    return true;
}

int NetworkWorker(NetSession& session) {
    if (!platform::StartSocketLibrary()) return 1;
    while (session.running.load()) {
        int waitMs = session.keepAliveIntervalMs.load();
        const int reconnectInMs = session.ReconnectDueInMs();
        if (reconnectInMs >= 0 && reconnectInMs < waitMs) waitMs = reconnectInMs;
        const platform::WaitResult woke = session.wakeEvent.Wait(waitMs);
        if (!session.running.load()) break;
        if (woke == platform::WaitResult::TimedOut) {
            std::uint64_t closes = 0;
            if (auto target = session.TakeDueReconnect(closes)) {
                // Not when reconnecting was turned off while it waited.
                if (session.ReconnectAllowed()) session.PerformConnect(*target, closes);
                continue;
            }
            // A whole interval without a command: keep the connection alive.
            if (IsConnectedState(session.state.load()) && !session.SendKeepAlive()) {
                session.CloseSession();
            }
            continue;
        }
        // Drain the queue in order, one command at a time, the lock held only to
        // take the head.
        while (session.running.load()) {
            std::unique_ptr<NetCommand> command;
            {
                std::lock_guard<std::mutex> guard(session.queueLock);
                if (session.commandQueue.empty()) break;
                command = std::move(session.commandQueue.front());
                session.commandQueue.pop_front();
            }
            session.PerformCommand(*command);
        }
    }
    platform::StopSocketLibrary();
    return 0;
}

void NetSession::PerformCommand(const NetCommand& command) {
    // A command queued while connected may come up after a Disconnect: it must not
    // send on a new connection that is still signing on, nor report a state for a
    // session that is over.
    const bool connected = IsConnectedState(state.load());
    switch (command.code) {
        case CommandCode::Connect: {
            const auto* connect = dynamic_cast<const ConnectCommand*>(&command);
            if (connect == nullptr) return;
            ConnectTarget target{connect->server, connect->uin, connect->password};
            std::uint64_t closes;
            {
                std::lock_guard<std::mutex> guard(connectionLock);
                lastConnect_ = target;
                reconnectAttempts_ = 0;
                // Read before OpeningConnection is shown, so that a Disconnect
                // chosen from then on stops this connect.
                closes = closes_;
            }
            ownStatus_.store(connect->status);
            PerformConnect(target, closes);
            return;
        }
        case CommandCode::SetStatus:
            if (const auto* status = dynamic_cast<const StatusCommand*>(&command)) {
                ownStatus_.store(status->status);
                if (IsConnectedState(state.load())) (void)SendStatus(status->status);
            }
            return;
        case CommandCode::SetVisibility:
        case CommandCode::AddContact:
        case CommandCode::RenameContact:
        case CommandCode::TypingNotice:
        case CommandCode::AuthReply:
            PerformOtherCommand(command);
            return;
        case CommandCode::Disconnect:
            ReportState(ConnState::Disconnected);
            CloseSession();
            OnContactsRefresh();
            return;
        case CommandCode::SendMessage:
            // A message that cannot go out is reported, so that it is not kept as sent.
            if (const auto* send = dynamic_cast<const SendMessageCommand*>(&command)) {
                if (!connected || !SendInstantMessage(send->uin, send->text)) {
                    OnMessageNotSent(send->uin, send->text, 0);
                }
            }
            return;
        case CommandCode::LoadContacts:
            if (!connected) return;
            ReportState(ConnState::LoadingContacts);
            (void)SendEmptySnac(0x0013, 0x0004);
            return;
        case CommandCode::DeleteContact:
            if (!connected) return;
            if (const auto* del = dynamic_cast<const UinCommand*>(&command)) {
                (void)DeleteContactItem(del->uin);
                (void)SendBuddyList(0x0005, {NarrowFromWide(del->uin)});
            }
            return;
        case CommandCode::RequestInfo:
            if (!connected) return;
            if (const auto* info = dynamic_cast<const UinCommand*>(&command)) {
                (void)RequestShortInfo(info->uin);
            }
            return;
    }
}

void NetSession::Shutdown() {
    std::thread worker;
    {
        std::lock_guard<std::mutex> guard(lifecycleLock_);
        shutDown_ = true;
        worker = std::move(workerThread_);
    }
    running.store(false);
    wakeEvent.Set();
    CloseConnection();
    platform::JoinOrDetach(worker);
    // The worker may have connected while it was being stopped.
    CloseConnection();
    JoinRetiredThreads();
    std::deque<std::unique_ptr<NetCommand>> dropped;
    {
        std::lock_guard<std::mutex> guard(queueLock);
        dropped.swap(commandQueue);
    }
}

// ---- Closing ----

void NetSession::CloseConnection() {
    std::shared_ptr<Link> old;
    {
        std::lock_guard<std::mutex> guard(connectionLock);
        old = std::move(connection_);
        connection_.reset();
        ++closes_;
        if (receiveThread.joinable()) retiredThreads_.push_back(std::move(receiveThread));
        cookie.clear();
        reconnectDue_.reset();
    }
    // Wakes the receive thread; the descriptor is closed with the last reference.
    if (old) old->Shutdown();
    std::lock_guard<std::mutex> guard(infoLock);
    infoRequests.clear();
}

std::uint64_t NetSession::ClosesSoFar() const {
    std::lock_guard<std::mutex> guard(connectionLock);
    return closes_;
}

void NetSession::CloseSession() {
    ReportState(ConnState::Disconnected);
    CloseConnection();
    ReportState(ConnState::Disconnected);
}

void NetSession::JoinRetiredThreads() {
    std::vector<std::thread> retired;
    {
        std::lock_guard<std::mutex> guard(connectionLock);
        retired.swap(retiredThreads_);
    }
    for (std::thread& t : retired) platform::JoinOrDetach(t);
}

// ---- Sending ----

std::shared_ptr<NetSession::Link> NetSession::LinkForSend() {
    // A receive thread answers on its own connection, even once it is stale
    // (the send then fails on the shut-down socket): never on a newer one.
    if (tlsSession_ == this) return tlsLink_;
    std::lock_guard<std::mutex> guard(connectionLock);
    return connection_;
}

std::uint16_t NetSession::NextSequence() { return ++flapSequence; }

bool NetSession::SendOnLink(Link& link, const void* bytes, std::size_t n) {
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    while (n > 0) {
        const long sent = platform::SendSome(link.socket, p, n);
        if (sent <= 0) return false;
        bytesSent.fetch_add(static_cast<std::int32_t>(sent));
        p += sent;
        n -= static_cast<std::size_t>(sent);
    }
    return true;
}

bool NetSession::SendAll(const void* bytes, std::size_t n) {
    std::shared_ptr<Link> link = LinkForSend();
    if (!link) return false;
    std::lock_guard<std::mutex> guard(sendLock);
    return SendOnLink(*link, bytes, n);
}

bool NetSession::SendFrame(const FrameLayout& layout, const PacketBuffer& payload) {
    const std::size_t headSize =
        layout.signOnVersion ? 4 : (layout.hasSnac ? kSnacHeaderSize : 0);
    if (payload.Failed() || headSize + payload.Length() > kMaxFlapData) return false;
    std::shared_ptr<Link> link = LinkForSend();
    if (!link) return false;

    // The sequence number is taken and the frame sent as one step, so numbers on
    // the wire rise by one per frame whichever thread sends.
    std::lock_guard<std::mutex> guard(sendLock);
    const std::uint16_t sequence = NextSequence();
    std::uint8_t head[kSnacHeaderSize] = {};
    if (layout.signOnVersion) {
        head[3] = 0x01;  // FLAP version 0x00000001
    } else if (layout.hasSnac) {
        SnacHeader snac = layout.snac;
        if (layout.requestIdIsSequence) {
            snac.requestId = sequence;
            RecordInfoRequest(sequence, layout.infoTarget);
        }
        ConvertByteOrder(snac);
        std::memcpy(head, &snac, sizeof snac);
    }
    std::vector<std::uint8_t> frame;
    if (!BuildFrame(frame, layout.channel, sequence, {head, headSize}, payload.Bytes())) {
        return false;
    }
    return SendOnLink(*link, frame.data(), frame.size());
}

bool NetSession::SendSnac(std::uint16_t family, std::uint16_t subtype, std::uint32_t requestId,
                          const PacketBuffer& data) {
    FrameLayout layout;
    layout.channel = kChannelSnac;
    layout.hasSnac = true;
    layout.snac = SnacHeader{family, subtype, 0, requestId};
    return SendFrame(layout, data);
}

bool NetSession::SendEmptySnac(std::uint16_t family, std::uint16_t subtype) {
    return SendSnac(family, subtype, subtype, PacketBuffer{});
}

bool NetSession::SendKeepAlive() {
    FrameLayout layout;
    layout.channel = kChannelKeepAlive;
    return SendFrame(layout, PacketBuffer{});
}

// ---- Info requests ----

void NetSession::RecordInfoRequest(std::uint16_t requestId, std::uint32_t targetUin) {
    std::lock_guard<std::mutex> guard(infoLock);
    infoRequests[requestId] = InfoRequest{targetUin, ++infoSerial_};
    if (infoRequests.size() > kMaxInfoRequests) {
        auto oldest = std::min_element(
            infoRequests.begin(), infoRequests.end(),
            [](const auto& a, const auto& b) { return a.second.serial < b.second.serial; });
        infoRequests.erase(oldest);
    }
}

bool NetSession::TakeInfoRequest(std::uint32_t requestId, std::uint32_t& targetUin) {
    std::lock_guard<std::mutex> guard(infoLock);
    auto it = infoRequests.find(requestId);
    if (it == infoRequests.end()) return false;
    targetUin = it->second.uin;
    infoRequests.erase(it);
    return true;
}

std::size_t NetSession::PendingInfoRequests() const {
    std::lock_guard<std::mutex> guard(infoLock);
    return infoRequests.size();
}

// ---- Observers ----

std::string NetSession::Uin() const {
    std::lock_guard<std::mutex> guard(connectionLock);
    return uin;
}

std::string NetSession::BosAddress() const {
    std::lock_guard<std::mutex> guard(connectionLock);
    return bosAddress;
}

std::vector<std::uint8_t> NetSession::Cookie() const {
    std::lock_guard<std::mutex> guard(connectionLock);
    return cookie;
}

platform::SocketHandle NetSession::Socket() const {
    std::lock_guard<std::mutex> guard(connectionLock);
    return connection_ ? connection_->socket : platform::kNoSocket;
}

}  // namespace pellox
