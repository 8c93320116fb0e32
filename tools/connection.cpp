#include "tools/connection.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/thread.h"

namespace pellox::server {
namespace {

using Clock = std::chrono::steady_clock;

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

// A send that cannot make progress for this long fails instead of blocking the
// writer forever on a client that has stopped reading.
void SetSendTimeout(platform::SocketHandle socket, int ms) {
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

}  // namespace

std::uint32_t LocalAddressOf(platform::SocketHandle socket) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&addr), &len) != 0 || addr.sin_family != AF_INET) {
        return 0;
    }
    return ntohl(addr.sin_addr.s_addr);
}

std::uint32_t PeerAddressOf(platform::SocketHandle socket) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (::getpeername(socket, reinterpret_cast<sockaddr*>(&addr), &len) != 0 || addr.sin_family != AF_INET) {
        return 0;
    }
    return ntohl(addr.sin_addr.s_addr);
}

Connection::Connection(platform::SocketHandle socket, const Limits& limits, Handler& handler)
    : socket_(socket), limits_(limits), handler_(handler), idleTimeoutMs_(limits.idleTimeoutMs) {
    SetSendTimeout(socket_, limits_.sendTimeoutMs);
}

Connection::~Connection() {
    Abort();
    Join();
    std::lock_guard<std::mutex> lock(queueLock_);
    if (!socketClosed_) platform::CloseSocket(socket_);
    socketClosed_ = true;
}

void Connection::ThreadDone(std::atomic<bool>& done) {
    std::lock_guard<std::mutex> lock(queueLock_);
    done.store(true);
    // The last thread out closes the socket at once, so the peer sees the end
    // now rather than when the server next cleans up. Under the lock, so that a
    // late Abort never shuts down a descriptor number that was reused.
    if (readerDone_.load() && writerDone_.load() && !socketClosed_) {
        platform::CloseSocket(socket_);
        socketClosed_ = true;
    }
}

void Connection::Start() {
    writer_ = platform::StartThread(platform::ThreadPriority::Normal, [this] { WriteLoop(); });
    reader_ = platform::StartThread(platform::ThreadPriority::Normal, [this] { ReadLoop(); });
}

void Connection::Join() {
    if (reader_.joinable()) reader_.join();
    if (writer_.joinable()) writer_.join();
}

bool Connection::SendFrame(std::uint8_t channel, std::span<const std::uint8_t> data) {
    std::vector<std::uint8_t> frame;
    {
        std::lock_guard<std::mutex> lock(queueLock_);
        if (closing_ || aborted_) return false;
        if (!BuildFrame(frame, channel, static_cast<std::uint16_t>(sequence_ + 1), {}, data)) return false;
        ++sequence_;
    }
    return Enqueue(std::move(frame));
}

bool Connection::SendSnac(std::uint16_t family, std::uint16_t subtype, std::uint32_t requestId,
                          const PacketBuffer& payload, std::uint16_t flags) {
    std::vector<std::uint8_t> frame;
    {
        std::lock_guard<std::mutex> lock(queueLock_);
        if (closing_ || aborted_) return false;
        SnacHeader snac{family, subtype, flags, requestId};
        if (!BuildSnacFrame(frame, static_cast<std::uint16_t>(sequence_ + 1), snac, payload)) return false;
        ++sequence_;
    }
    return Enqueue(std::move(frame));
}

bool Connection::SendSnacWithin(std::size_t room, std::uint16_t family, std::uint16_t subtype,
                                std::uint32_t requestId, const PacketBuffer& payload) {
    std::lock_guard<std::mutex> lock(queueLock_);
    if (closing_ || aborted_) return false;
    const std::size_t frameBytes = kFlapHeaderSize + kSnacHeaderSize + payload.Length();
    if (queuedBytes_ + frameBytes > std::min(room, limits_.maxQueuedOutput)) return false;
    std::vector<std::uint8_t> frame;
    SnacHeader snac{family, subtype, 0, requestId};
    if (!BuildSnacFrame(frame, static_cast<std::uint16_t>(sequence_ + 1), snac, payload)) return false;
    ++sequence_;
    PushLocked(std::move(frame));
    return true;
}

void Connection::PushLocked(std::vector<std::uint8_t> frame) {
    queuedBytes_ += frame.size();
    queue_.push_back(std::move(frame));
    queueChanged_.notify_one();
}

bool Connection::Enqueue(std::vector<std::uint8_t> frame) {
    {
        std::lock_guard<std::mutex> lock(queueLock_);
        if (closing_ || aborted_) return false;
        if (queuedBytes_ + frame.size() <= limits_.maxQueuedOutput) {
            PushLocked(std::move(frame));
            return true;
        }
    }
    // The client is not reading what it is sent: drop it rather than hold an
    // unbounded backlog for it.
    Abort("output queue past " + std::to_string(limits_.maxQueuedOutput) + " bytes: the client does not read");
    return false;
}

std::size_t Connection::QueuedBytes() const {
    std::lock_guard<std::mutex> lock(queueLock_);
    return queuedBytes_;
}

bool Connection::NotifyWhenDrained() {
    std::lock_guard<std::mutex> lock(queueLock_);
    if (queue_.empty() || aborted_ || closing_) return false;
    notifyDrained_ = true;
    return true;
}

void Connection::SetDeadline(int ms) { deadlineMs_.store(ms > 0 ? NowMs() + ms : 0); }

void Connection::CloseAfterFlush(const std::string& reason) {
    std::lock_guard<std::mutex> lock(queueLock_);
    if (!closing_ && !aborted_ && abortReason_.empty()) abortReason_ = reason;
    closing_ = true;
    queueChanged_.notify_one();
}

void Connection::Abort(const std::string& reason) {
    std::lock_guard<std::mutex> lock(queueLock_);
    if (!aborted_ && abortReason_.empty()) abortReason_ = reason;
    aborted_ = true;
    queue_.clear();
    queuedBytes_ = 0;
    queueChanged_.notify_one();
    if (!socketClosed_) platform::ShutdownSocket(socket_);
}

void Connection::WriteLoop() {
    for (;;) {
        std::vector<std::uint8_t> frame;
        {
            std::unique_lock<std::mutex> lock(queueLock_);
            queueChanged_.wait(lock, [this] { return aborted_ || closing_ || !queue_.empty(); });
            if (aborted_ || queue_.empty()) break;  // aborted, or closing with nothing left
            frame = std::move(queue_.front());
            queue_.pop_front();
            queuedBytes_ -= frame.size();
        }
        std::size_t sent = 0;
        while (sent < frame.size()) {
            long n = platform::SendSome(socket_, frame.data() + sent, frame.size() - sent);
            if (n <= 0) break;
            sent += static_cast<std::size_t>(n);
        }
        bool drained = false;
        {
            std::lock_guard<std::mutex> lock(queueLock_);
            if (sent < frame.size()) {
                if (!aborted_ && abortReason_.empty()) abortReason_ = "send failed or timed out: the client does not read";
                aborted_ = true;
                queue_.clear();
                queuedBytes_ = 0;
                break;
            }
            if (notifyDrained_ && !aborted_ && queuedBytes_ <= limits_.maxQueuedOutput / 4) {
                notifyDrained_ = false;
                drained = true;
            }
        }
        if (drained) handler_.OnDrained(*this);
    }
    // Wakes the reader as well, which then reports the close.
    platform::ShutdownSocket(socket_);
    ThreadDone(writerDone_);
}

void Connection::ReadLoop() {
    std::vector<std::uint8_t> pending;
    std::uint8_t chunk[4096];
    std::string reason;
    auto lastFrame = Clock::now();

    while (reason.empty()) {
        auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastFrame).count();
        long long limit = idleTimeoutMs_.load();
        const long long deadline = deadlineMs_.load();
        if (idle >= limit) {
            reason = "timed out";
            break;
        }
        if (deadline != 0 && NowMs() >= deadline) {
            reason = "did not sign on in time";
            break;
        }
        // Short slices keep the time-out checks going while the socket is quiet.
        int wait = static_cast<int>(std::min<long long>(limit - idle, 250));
        if (!platform::WaitReadable(socket_, wait)) continue;
        long n = platform::ReceiveSome(socket_, chunk, sizeof chunk);
        if (n == 0) {
            reason = "closed by the client";
            break;
        }
        if (n < 0) {
            reason = "receive failed";
            break;
        }
        pending.insert(pending.end(), chunk, chunk + n);

        std::size_t pos = 0;
        while (reason.empty() && pending.size() - pos >= kFlapHeaderSize) {
            FlapHeader header;
            std::memcpy(&header, pending.data() + pos, kFlapHeaderSize);
            ConvertByteOrder(header);
            if (header.marker != kFlapMarker) {
                reason = "bad frame marker";
            } else if (header.length > limits_.maxInboundFrame) {
                reason = "frame of " + std::to_string(header.length) + " bytes is too long";
            } else if (pending.size() - pos >= kFlapHeaderSize + header.length) {
                std::span<const std::uint8_t> data(pending.data() + pos + kFlapHeaderSize, header.length);
                pos += kFlapHeaderSize + header.length;
                lastFrame = Clock::now();
                if (!handler_.OnFrame(*this, header.channel, data)) reason = "closed by the server";
            } else {
                break;  // the rest of this frame has not arrived yet
            }
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(pos));
    }

    {
        // A shutdown by the server reaches the reader as an end of the stream:
        // report why the server cut the connection, not the client.
        std::lock_guard<std::mutex> lock(queueLock_);
        if (!abortReason_.empty() && (reason == "closed by the client" || reason == "receive failed")) {
            reason = abortReason_;
        }
    }
    handler_.OnClosed(*this, reason);
    CloseAfterFlush();
    ThreadDone(readerDone_);
}

}  // namespace pellox::server
