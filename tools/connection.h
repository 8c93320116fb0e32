// One client connection of the local server: a reader thread that splits the
// byte stream into FLAP frames and hands each to a handler, and a writer thread
// that sends queued frames, so that a client that stops reading never blocks the
// thread of another session that relays something to it. The stream is plain TCP
// or TLS; a TLS stream is accepted (its handshake) on the reader thread, by the
// connection's deadline, before anything is read or sent, so that a client that
// stalls its handshake holds up nothing but its own connection.
//
// Bounds: an inbound frame longer than maxInboundFrame, or one without the 0x2A
// marker, ends the connection; so does output piling up past maxQueuedOutput
// (a client that does not read), a send blocked longer than sendTimeoutMs, a
// connection silent for longer than its idle time-out, and one still open at its
// deadline. The reader cuts a send that has made no end for longer than
// sendTimeoutMs (a TLS stream waits on its socket without a time limit of its
// own), also while the last queued frames are flushed after the reader ended.
//
// Threads: every public member may be called from any thread. OnFrame and
// OnClosed run on the reader thread, OnDrained on the writer thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "net/codec.h"
#include "platform/endpoint.h"
#include "platform/socket.h"
#include "platform/stream.h"

namespace pellox::server {

class Connection {
public:
    class Handler {
    public:
        virtual ~Handler() = default;
        // One whole frame; false ends the connection once the queued output is sent.
        virtual bool OnFrame(Connection& connection, std::uint8_t channel,
                             std::span<const std::uint8_t> data) = 0;
        // The reader has stopped for good; called once, on the reader thread.
        virtual void OnClosed(Connection& connection, const std::string& reason) = 0;
        // The output queue has drained after NotifyWhenDrained; called on the
        // writer thread, with no lock of the connection held.
        virtual void OnDrained(Connection&) {}
    };

    struct Limits {
        std::size_t maxInboundFrame = 8 * 1024;
        std::size_t maxQueuedOutput = 512 * 1024;
        int sendTimeoutMs = 10 * 1000;
        int idleTimeoutMs = 30 * 1000;
    };

    // Takes the stream over; nothing runs before Start. A platform::TlsStream is
    // accepted first (SetDeadline before Start bounds the handshake).
    Connection(std::unique_ptr<platform::Stream> stream, const Limits& limits, Handler& handler);
    // Aborts, joins both threads and closes the stream.
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void Start();

    // Queues one whole frame under the next FLAP sequence number. False when the
    // connection is closing or the frame was refused; a frame that would take
    // the queue past its bound aborts the connection.
    bool SendFrame(std::uint8_t channel, std::span<const std::uint8_t> data);
    bool SendSnac(std::uint16_t family, std::uint16_t subtype, std::uint32_t requestId,
                  const PacketBuffer& payload, std::uint16_t flags = 0);
    // The same for what others send this client: queued only while the queue
    // stays within `room` bytes, and otherwise dropped (false) without ending
    // the connection, which is closed only for its own traffic.
    bool SendSnacWithin(std::size_t room, std::uint16_t family, std::uint16_t subtype, std::uint32_t requestId,
                        const PacketBuffer& payload);

    // Bytes queued and not yet handed to the socket.
    std::size_t QueuedBytes() const;
    // Asks for one OnDrained once the queue is down to a quarter of its bound.
    // False (and nothing asked) when the queue is empty already.
    bool NotifyWhenDrained();

    // Sends what is queued, then shuts the socket down; later frames are refused.
    // A reason given is the one OnClosed reports.
    void CloseAfterFlush(const std::string& reason = {});
    // Shuts the socket down at once; queued frames are dropped. The first reason
    // given is the one OnClosed reports.
    void Abort(const std::string& reason = "aborted by the server");
    // A signed-on session without any frame for this long is closed.
    void SetIdleTimeout(int ms) { idleTimeoutMs_.store(ms); }
    // The connection is closed this long after now whatever it sends; 0 lifts
    // the deadline.
    void SetDeadline(int ms);

    // Both threads have ended (and the stream is closed); Join then returns at once.
    bool Finished() const { return finished_.load(); }
    // The reader has ended: nothing the client sends is read any more.
    bool ReaderDone() const { return readerDone_.load(); }
    void Join();
    // Valid while the reader runs (that is, inside the handler).
    platform::SocketHandle Socket() const { return io_->Handle(); }

private:
    bool Enqueue(std::vector<std::uint8_t> frame);
    void PushLocked(std::vector<std::uint8_t> frame);  // queueLock_ held
    void AbortLocked(const std::string& reason);       // queueLock_ held
    // Aborts when a send has been under way for longer than the send time-out;
    // true then.
    bool CutStalledSend();
    bool AcceptTls(std::string& reason);
    void ReadLoop();
    void WriteLoop();

    std::unique_ptr<platform::Stream> stream_;  // reset under queueLock_ once both threads ended
    platform::Stream* const io_;                 // the stream, for the two threads
    const Limits limits_;
    Handler& handler_;
    std::atomic<int> idleTimeoutMs_;

    mutable std::mutex queueLock_;
    std::condition_variable queueChanged_;
    std::deque<std::vector<std::uint8_t>> queue_;  // guarded by queueLock_
    std::size_t queuedBytes_ = 0;                  // guarded by queueLock_
    std::uint16_t sequence_ = 0;                   // guarded by queueLock_
    bool closing_ = false;                         // guarded by queueLock_
    bool aborted_ = false;                         // guarded by queueLock_
    bool notifyDrained_ = false;                   // guarded by queueLock_
    bool streamReady_ = false;                     // guarded by queueLock_: handshake done
    std::string abortReason_;                      // guarded by queueLock_
    std::condition_variable writerEnded_;          // with queueLock_
    std::atomic<long long> deadlineMs_{0};         // steady clock, ms; 0: none
    std::atomic<long long> sendingSinceMs_{0};     // steady clock, ms; 0: no send under way

    std::thread reader_;
    std::thread writer_;
    std::atomic<bool> readerDone_{false};
    std::atomic<bool> writerDone_{false};
    std::atomic<bool> finished_{false};
};

// The address the client reached on a connected socket (its local end); false
// when unknown.
[[nodiscard]] bool LocalEndpointOf(platform::SocketHandle socket, platform::Endpoint& endpoint);

}  // namespace pellox::server
