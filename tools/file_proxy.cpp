#include "tools/file_proxy.h"

#include <poll.h>

#include <chrono>
#include <vector>

#include "platform/stream.h"
#include "tools/server_config.h"

namespace pellox::server {

struct FileProxy::Peer {
    explicit Peer(platform::SocketHandle socket) : stream(socket) {}
    platform::SocketStream stream;
    std::string label;
};

namespace {

bool Send(platform::Stream& stream, const ProxyPacket& packet) {
    const std::vector<std::uint8_t> bytes = BuildProxyPacket(packet);
    return stream.SendAll(bytes.data(), bytes.size());
}

}  // namespace

bool FileProxy::Start(const platform::IpAddress& bind, std::uint16_t port, const Limits& limits, std::string& error) {
    limits_ = limits;
    listener_ = platform::ListenTcp(platform::Endpoint(bind, port), 32);
    if (listener_ == platform::kNoSocket) {
        error = "cannot listen on " + platform::FormatEndpoint(platform::Endpoint(bind, port)) + " for the proxy";
        return false;
    }
    port_ = platform::BoundPort(listener_);
    address_ = bind.v6 ? 0
                       : static_cast<std::uint32_t>(bind.bytes[0]) << 24 | bind.bytes[1] << 16 | bind.bytes[2] << 8 |
                             bind.bytes[3];
    {
        std::lock_guard<std::mutex> lock(lock_);
        stopping_ = false;
    }
    accept_ = std::thread([this] { AcceptLoop(); });
    return true;
}

void FileProxy::Stop() {
    if (listener_ == platform::kNoSocket) return;
    std::list<Worker> workers;
    {
        std::lock_guard<std::mutex> lock(lock_);
        stopping_ = true;
        for (auto& weak : peers_) {
            if (auto peer = weak.lock()) peer->stream.Shutdown();
        }
        changed_.notify_all();
    }
    platform::ShutdownSocket(listener_);
    if (accept_.joinable()) accept_.join();
    {
        std::lock_guard<std::mutex> lock(lock_);
        workers.swap(workers_);
    }
    for (Worker& worker : workers) worker.thread.join();
    platform::CloseSocket(listener_);
    listener_ = platform::kNoSocket;
    std::lock_guard<std::mutex> lock(lock_);
    peers_.clear();
    waiting_.clear();
}

void FileProxy::Reap(std::list<Worker>& finished) {
    for (auto it = workers_.begin(); it != workers_.end();) {
        auto next = std::next(it);
        if (it->finished) finished.splice(finished.end(), workers_, it);
        it = next;
    }
    peers_.remove_if([](const std::weak_ptr<Peer>& weak) { return weak.expired(); });
}

void FileProxy::AcceptLoop() {
    for (;;) {
        const platform::SocketHandle socket = platform::AcceptClient(listener_);
        std::list<Worker> finished;
        std::unique_lock<std::mutex> lock(lock_);
        Reap(finished);
        if (socket == platform::kNoSocket || stopping_) {
            lock.unlock();
            if (socket != platform::kNoSocket) platform::CloseSocket(socket);
            for (Worker& worker : finished) worker.thread.join();
            if (stopping_) return;
            continue;
        }
        if (workers_.size() >= limits_.maxConnections) {
            lock.unlock();
            platform::CloseSocket(socket);
            log_("proxy: connection refused, " + std::to_string(limits_.maxConnections) + " already served");
        } else {
            auto peer = std::make_shared<Peer>(socket);
            platform::Endpoint from;
            peer->label = platform::PeerEndpoint(socket, from) ? platform::FormatEndpoint(from) : "?";
            peers_.push_back(peer);
            auto worker = workers_.emplace(workers_.end());
            worker->thread = std::thread([this, peer, worker]() mutable {
                Serve(std::move(peer));
                std::lock_guard<std::mutex> done(lock_);
                worker->finished = true;
            });
            lock.unlock();
        }
        for (Worker& worker : finished) worker.thread.join();
    }
}

void FileProxy::Serve(std::shared_ptr<Peer> peer) {
    ProxyPacket init;
    if (!ReceiveProxyPacket(peer->stream, init, limits_.handshakeMs)) {
        log_("proxy: " + peer->label + " sent no usable first packet");
        return;
    }
    if (init.command == kProxyInitSend) {
        ServeSender(peer, init);
    } else if (init.command == kProxyInitReceive) {
        ServeReceiver(peer, init);
    } else {
        log_("proxy: " + peer->label + " began with command " + std::to_string(init.command));
    }
}

// The sender is given a free port number, then waits for its receiver; once
// paired, the receiver's thread owns the pair.
void FileProxy::ServeSender(const std::shared_ptr<Peer>& peer, const ProxyPacket& init) {
    std::uint16_t port = 0;
    {
        std::lock_guard<std::mutex> lock(lock_);
        if (stopping_) return;
        do {
            port = static_cast<std::uint16_t>(random_() % 0xFFFF + 1);
        } while (waiting_.count(port) != 0);
        waiting_[port] = Waiting{init.cookie, peer, false};
    }
    ProxyPacket ack;
    ack.command = kProxyAcknowledge;
    ack.port = port;
    ack.address = address_;
    bool sent = Send(peer->stream, ack);
    std::unique_lock<std::mutex> lock(lock_);
    if (sent) {
        changed_.wait_for(lock, std::chrono::milliseconds(limits_.pairingMs),
                          [&] { return stopping_ || waiting_.at(port).paired; });
    }
    const bool paired = waiting_.at(port).paired;
    waiting_.erase(port);
    lock.unlock();
    if (!paired) log_("proxy: sender " + peer->label + " (" + init.uin + ") was not joined");
}

void FileProxy::ServeReceiver(const std::shared_ptr<Peer>& peer, const ProxyPacket& init) {
    std::shared_ptr<Peer> sender;
    {
        std::lock_guard<std::mutex> lock(lock_);
        auto it = waiting_.find(init.port);
        if (!stopping_ && it != waiting_.end() && !it->second.paired && it->second.cookie == init.cookie) {
            it->second.paired = true;
            sender = it->second.sender;
            changed_.notify_all();
        }
    }
    if (!sender) {
        ProxyPacket error;
        error.command = kProxyError;
        error.error = 0x000D;  // no such transfer waiting
        (void)Send(peer->stream, error);
        log_("proxy: receiver " + peer->label + " named no waiting sender");
        return;
    }
    ProxyPacket ready;
    ready.command = kProxyReady;
    if (!Send(sender->stream, ready) || !Send(peer->stream, ready)) return;
    log_("proxy: " + sender->label + " and " + peer->label + " paired");
    Bridge(*sender, *peer);
    sender->stream.Shutdown();
    peer->stream.Shutdown();
}

// Passes bytes both ways until either side closes, nothing moves for idleMs, the
// pair has run lifetimeMs or the proxy stops.
void FileProxy::Bridge(Peer& a, Peer& b) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limits_.lifetimeMs);
    std::vector<std::uint8_t> buffer(64 * 1024);
    std::uint64_t bytes = 0;
    for (;;) {
        pollfd fds[2] = {{a.stream.Handle(), POLLIN, 0}, {b.stream.Handle(), POLLIN, 0}};
        const int ready = ::poll(fds, 2, limits_.idleMs);
        if (ready <= 0 || std::chrono::steady_clock::now() >= end) break;
        bool ok = true;
        for (int i = 0; i < 2 && ok; ++i) {
            if (fds[i].revents == 0) continue;
            Peer& from = i == 0 ? a : b;
            Peer& to = i == 0 ? b : a;
            const long got = from.stream.ReceiveSome(buffer.data(), buffer.size());
            ok = got > 0 && to.stream.SendAll(buffer.data(), static_cast<std::size_t>(got));
            if (ok) bytes += static_cast<std::uint64_t>(got);
        }
        if (!ok) break;
    }
    log_("proxy: " + a.label + " and " + b.label + " done, " + std::to_string(bytes) + " bytes passed");
}

}  // namespace pellox::server
