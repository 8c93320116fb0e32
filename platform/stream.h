// One connected byte stream, plain TCP or TLS (tls.h), behind the calls a network
// session needs: send everything, receive what is there, wait with a time limit
// until a receive would not block, and shut down from another thread.
//
// A Stream owns its socket and closes it when destroyed, never earlier, so that no
// thread can use a descriptor number that was closed and handed out again.
//
// Threads: one thread (the receive thread) owns ReceiveSome and WaitReadable; sends
// may come from other threads but the caller serialises them; Shutdown and Handle
// are safe from any thread at any time, also while another thread is blocked in
// ReceiveSome or SendAll, which then return at once with a failure.
#pragma once

#include <cstddef>

#include "platform/socket.h"

namespace pellox::platform {

class Stream {
public:
    virtual ~Stream();
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    // Sends all n bytes; false when the connection failed or was shut down.
    [[nodiscard]] virtual bool SendAll(const void* data, std::size_t n) = 0;
    // Receives up to n bytes, blocking until some arrive: the count, 0 when the peer
    // ended the stream in order, -1 on an error; 0 or -1 after Shutdown.
    virtual long ReceiveSome(void* data, std::size_t n) = 0;
    // Waits at most timeoutMs (negative: forever) until ReceiveSome would not block,
    // counting bytes already received and buffered by the stream; true then (also
    // when the receive would report an error or the end), false on time-out.
    [[nodiscard]] virtual bool WaitReadable(int timeoutMs) = 0;

    // Ends both directions of the socket: blocked and later receives and sends
    // return at once. Does not release the descriptor.
    void Shutdown() const;
    SocketHandle Handle() const { return socket_; }

protected:
    explicit Stream(SocketHandle socket) : socket_(socket) {}

private:
    const SocketHandle socket_;
};

// A plain TCP connection over a blocking socket.
class SocketStream final : public Stream {
public:
    // Takes the socket over.
    explicit SocketStream(SocketHandle socket) : Stream(socket) {}

    [[nodiscard]] bool SendAll(const void* data, std::size_t n) override;
    long ReceiveSome(void* data, std::size_t n) override;
    [[nodiscard]] bool WaitReadable(int timeoutMs) override;
};

}  // namespace pellox::platform
