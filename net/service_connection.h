// A second, short-lived connection to one service that the messaging server named
// in its redirect (SNAC 0x0001/0x0005 with the service's address and a cookie): the
// icon service, for one. It is opened the way the messaging connection was (over
// TLS when the sign-on was, a loopback address replaced as for the messaging
// server), shows the cookie on the server's hello, exchanges the family versions
// and sends client ready; then its owner sends requests and hears every SNAC of the
// service's family until it closes the connection or the server does.
//
// Threads: the connection has one thread of its own, which connects, reads and runs
// the handlers; Send and Close may come from any thread (the handlers too). The
// handlers must not destroy the connection; its owner joins it (the destructor) from
// another thread. The handlers run with no lock of the connection held.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/codec.h"

namespace pellox {

class SessionImpl;
struct Link;

class ServiceConnection {
public:
    struct Handlers {
        // Client ready went out: requests may follow.
        std::function<void(ServiceConnection&)> ready;
        // A SNAC of the service's family; the reader stands at its data.
        std::function<void(ServiceConnection&, const SnacHeader&, PacketReader&)> snac;
        // The connection is over (closed, refused, broken or idle too long); the
        // last call of the thread.
        std::function<void(ServiceConnection&)> closed;
    };

    ServiceConnection(SessionImpl& session, std::uint16_t family, std::uint16_t version,
                      Handlers handlers);
    // Closes the connection and joins the thread; not from a handler.
    ~ServiceConnection();
    ServiceConnection(const ServiceConnection&) = delete;
    ServiceConnection& operator=(const ServiceConnection&) = delete;

    // Starts the thread for "host[:port]" with the cookie. Once only.
    void Start(std::string address, std::vector<std::uint8_t> cookie);
    // One SNAC of the service's family; false when it could not be sent.
    bool Send(std::uint16_t subtype, std::uint32_t requestId, const PacketBuffer& data);
    // Ends the connection; the thread ends by itself. Any thread.
    void Close();
    // Milliseconds without a frame after which the connection gives up, from the
    // connect on.
    void SetIdleTimeoutMs(int ms) { idleTimeoutMs_.store(ms); }

private:
    void Run(const std::string& address, const std::vector<std::uint8_t>& cookie);
    // The sign-on and then the service's SNACs; returns when the connection ends.
    void Converse(const std::vector<std::uint8_t>& cookie);
    bool SendFrame(std::uint8_t channel, std::span<const std::uint8_t> head,
                   const PacketBuffer& payload);
    bool SendSnacOf(std::uint16_t family, std::uint16_t subtype, std::uint32_t requestId,
                    const PacketBuffer& data);

    SessionImpl& session_;
    const std::uint16_t family_;
    const std::uint16_t version_;
    const Handlers handlers_;
    const std::shared_ptr<Link> link_;
    std::atomic<int> idleTimeoutMs_;
    std::mutex sendLock_;         // one whole frame
    std::uint16_t sequence_ = 0;  // guarded by sendLock_
    std::thread thread_;
};

}  // namespace pellox
