#include "tools/connection.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/thread.h"
#include "platform/tls.h"

namespace pellox::server {
namespace {

using Clock = std::chrono::steady_clock;

constexpr char kSendFailed[] = "send failed or timed out: the client does not read";

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

bool LocalEndpointOf(platform::SocketHandle socket, platform::Endpoint& endpoint) {
    sockaddr_storage storage{};
    socklen_t len = sizeof storage;
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&storage), &len) != 0) return false;
    platform::Endpoint local;
    if (storage.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(storage);
        std::memcpy(local.address.bytes.data(), &in.sin_addr, 4);
        local.port = ntohs(in.sin_port);
    } else if (storage.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(storage);
        local.address.v6 = true;
        std::memcpy(local.address.bytes.data(), &in6.sin6_addr, 16);
        local.address.scope = in6.sin6_scope_id;
        local.port = ntohs(in6.sin6_port);
    } else {
        return false;
    }
    endpoint = local;
    return true;
}

Connection::Connection(std::unique_ptr<platform::Stream> stream, const Limits& limits, Handler& handler)
    : stream_(std::move(stream)), io_(stream_.get()), limits_(limits), handler_(handler),
      idleTimeoutMs_(limits.idleTimeoutMs),
      // A plain stream carries frames at once; a TLS one after its handshake.
      streamReady_(dynamic_cast<platform::TlsStream*>(io_) == nullptr) {
    SetSendTimeout(io_->Handle(), limits_.sendTimeoutMs);
}

Connection::~Connection() {
    Abort();
    Join();
    std::lock_guard<std::mutex> lock(queueLock_);
    stream_.reset();
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
    AbortLocked(reason);
}

void Connection::AbortLocked(const std::string& reason) {
    if (!aborted_ && abortReason_.empty()) abortReason_ = reason;
    aborted_ = true;
    queue_.clear();
    queuedBytes_ = 0;
    queueChanged_.notify_one();
    // The stream is kept until both threads ended, so its descriptor number is
    // never one that was closed and handed out again.
    if (stream_) stream_->Shutdown();
}

bool Connection::CutStalledSend() {
    const long long since = sendingSinceMs_.load();
    if (since == 0 || NowMs() - since < limits_.sendTimeoutMs) return false;
    std::lock_guard<std::mutex> lock(queueLock_);
    AbortLocked(kSendFailed);
    return true;
}

void Connection::WriteLoop() {
    for (;;) {
        std::vector<std::uint8_t> frame;
        {
            std::unique_lock<std::mutex> lock(queueLock_);
            queueChanged_.wait(lock, [this] { return aborted_ || (streamReady_ && (closing_ || !queue_.empty())); });
            if (aborted_ || queue_.empty()) break;  // aborted, or closing with nothing left
            frame = std::move(queue_.front());
            queue_.pop_front();
            queuedBytes_ -= frame.size();
        }
        sendingSinceMs_.store(NowMs());
        const bool sent = io_->SendAll(frame.data(), frame.size());
        sendingSinceMs_.store(0);
        bool drained = false;
        {
            std::lock_guard<std::mutex> lock(queueLock_);
            if (!sent) {
                AbortLocked(kSendFailed);
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
    io_->Shutdown();
    std::lock_guard<std::mutex> lock(queueLock_);
    writerDone_.store(true);
    writerEnded_.notify_all();
}

bool Connection::AcceptTls(std::string& reason) {
    auto* tls = dynamic_cast<platform::TlsStream*>(io_);
    if (tls == nullptr) return true;
    const long long deadline = deadlineMs_.load();
    const long long until = deadline != 0 ? deadline : NowMs() + idleTimeoutMs_.load();
    std::string why;
    if (!tls->Accept(Clock::time_point(std::chrono::milliseconds(until)), &why)) {
        reason = "TLS handshake failed: " + why;
        Abort(reason);
        return false;
    }
    std::lock_guard<std::mutex> lock(queueLock_);
    streamReady_ = true;
    queueChanged_.notify_one();
    return true;
}

void Connection::ReadLoop() {
    std::vector<std::uint8_t> pending;
    std::uint8_t chunk[4096];
    std::string reason;
    auto lastFrame = Clock::now();

    AcceptTls(reason);
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
        if (CutStalledSend()) {
            reason = kSendFailed;
            break;
        }
        // Short slices keep the time-out checks going while the socket is quiet.
        int wait = static_cast<int>(std::min<long long>(limit - idle, 250));
        if (!io_->WaitReadable(wait)) continue;
        long n = io_->ReceiveSome(chunk, sizeof chunk);
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
    readerDone_.store(true);

    // The reader stays to watch the flush of what is queued: a client that reads
    // nothing more must not keep the writer, and so this connection, for ever.
    std::unique_lock<std::mutex> lock(queueLock_);
    while (!writerDone_.load()) {
        writerEnded_.wait_for(lock, std::chrono::milliseconds(250));
        if (writerDone_.load()) break;
        lock.unlock();
        CutStalledSend();
        lock.lock();
    }
    // The last one out closes the stream at once, so that the peer sees the end
    // now rather than when the server next cleans up.
    stream_.reset();
    finished_.store(true);
}

}  // namespace pellox::server
