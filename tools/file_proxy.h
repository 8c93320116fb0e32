// The transfer proxy of the local server: two clients that cannot reach each
// other directly both connect here, the sender with "initiate as sender" (it is
// told a port number that names its place), the receiver with "initiate as
// receiver" naming that port and the same cookie; the proxy then tells both it is
// ready and passes the bytes between them unchanged (net/rendezvous.h has the
// packets).
//
// Bounded: connections at most maxConnections (more are closed at once), the
// first packet within handshakeMs, a sender waits for its receiver pairingMs,
// a pair is cut after idleMs without a byte or lifetimeMs in all.
//
// Threads: one accept thread and one thread per connection; the receiver's
// thread carries the pair's bytes. Stop shuts every socket down and joins them.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "net/rendezvous.h"
#include "platform/endpoint.h"

namespace pellox::server {

class FileProxy {
public:
    struct Limits {
        std::size_t maxConnections = 64;
        int handshakeMs = 10 * 1000;
        int pairingMs = 30 * 1000;
        int idleMs = 60 * 1000;
        int lifetimeMs = 60 * 60 * 1000;
    };
    using LogLine = std::function<void(const std::string&)>;

    explicit FileProxy(LogLine log) : log_(std::move(log)) {}
    ~FileProxy() { Stop(); }
    FileProxy(const FileProxy&) = delete;
    FileProxy& operator=(const FileProxy&) = delete;

    // Listens on the address and port (0 picks one); false with a message.
    [[nodiscard]] bool Start(const platform::IpAddress& bind, std::uint16_t port, const Limits& limits,
                             std::string& error);
    void Stop();
    std::uint16_t Port() const { return port_; }

private:
    struct Peer;
    struct Waiting {
        TransferCookie cookie{};
        std::shared_ptr<Peer> sender;
        bool paired = false;
    };
    struct Worker {
        std::thread thread;
        bool finished = false;
    };

    void AcceptLoop();
    void Serve(std::shared_ptr<Peer> peer);
    void ServeSender(const std::shared_ptr<Peer>& peer, const ProxyPacket& init);
    void ServeReceiver(const std::shared_ptr<Peer>& peer, const ProxyPacket& init);
    void Bridge(Peer& a, Peer& b);
    // Joins the threads that have ended; under lock_.
    void Reap(std::list<Worker>& finished);

    LogLine log_;
    Limits limits_;
    platform::SocketHandle listener_ = platform::kNoSocket;
    std::uint16_t port_ = 0;
    std::uint32_t address_ = 0;  // the IPv4 address told to senders, host order
    std::thread accept_;

    std::mutex lock_;  // everything below
    std::condition_variable changed_;
    bool stopping_ = false;
    std::list<Worker> workers_;
    std::list<std::weak_ptr<Peer>> peers_;
    std::map<std::uint16_t, Waiting> waiting_;  // by the port number handed out
    std::mt19937 random_{std::random_device{}()};
};

}  // namespace pellox::server
