#include "tools/server_log.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "platform/thread.h"

namespace pellox::server {
namespace {

constexpr std::size_t kMaxQueuedBytes = 256 * 1024;
// Writes of at most this size into a pipe that polls writable never block.
constexpr std::size_t kChunk = 4096;
constexpr int kPollMs = 200;

}  // namespace

std::string EscapeForLog(std::string_view text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F) {
            out += c;
        } else {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        }
    }
    return out;
}

void ServerLog::Start() {
    std::lock_guard<std::mutex> lock(lock_);
    if (running_) return;
    running_ = true;
    stop_ = false;
    thread_ = platform::StartThread(platform::ThreadPriority::Normal, [this] { Run(); });
}

void ServerLog::Stop() {
    {
        std::lock_guard<std::mutex> lock(lock_);
        if (!running_) return;
        stop_ = true;
        changed_.notify_one();
    }
    thread_.join();
    std::lock_guard<std::mutex> lock(lock_);
    running_ = false;
}

void ServerLog::Write(std::string_view line) {
    std::string text = "pellox-server: " + EscapeForLog(line) + "\n";
    std::lock_guard<std::mutex> lock(lock_);
    if (!running_) return;
    if (queuedBytes_ + text.size() > kMaxQueuedBytes) {
        ++dropped_;
        return;
    }
    queuedBytes_ += text.size();
    queue_.push_back(std::move(text));
    changed_.notify_one();
}

// Writes the text while standard error takes it; false when it stopped taking it
// (or failed) and the rest is given up. While the server runs it waits as long as
// it takes; once stopping, a second at most.
bool ServerLog::WriteOut(const std::string& text, bool stopping) {
    std::size_t done = 0;
    auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (done < text.size()) {
        pollfd fd{STDERR_FILENO, POLLOUT, 0};
        int ready = ::poll(&fd, 1, kPollMs);
        if (ready < 0 && errno != EINTR) return false;
        if (ready > 0) {
            if (fd.revents & (POLLERR | POLLNVAL)) return false;
            ssize_t n = ::write(STDERR_FILENO, text.data() + done, std::min(kChunk, text.size() - done));
            if (n < 0 && errno != EINTR && errno != EAGAIN) return false;
            if (n > 0) done += static_cast<std::size_t>(n);
            continue;
        }
        if (!stopping) {
            std::lock_guard<std::mutex> lock(lock_);
            stopping = stop_;
        }
        if (stopping && std::chrono::steady_clock::now() > giveUp) return false;
    }
    return true;
}

void ServerLog::Run() {
    for (;;) {
        std::string batch;
        bool stopping = false;
        {
            std::unique_lock<std::mutex> lock(lock_);
            changed_.wait(lock, [this] { return stop_ || !queue_.empty() || dropped_ > 0; });
            if (dropped_ > 0) {
                batch = "pellox-server: " + std::to_string(dropped_) + " log lines dropped: standard error was not read\n";
                dropped_ = 0;
            }
            while (!queue_.empty() && batch.size() < kChunk * 4) {
                batch += queue_.front();
                queuedBytes_ -= queue_.front().size();
                queue_.pop_front();
            }
            stopping = stop_;
            if (batch.empty() && stopping) return;
        }
        if (!WriteOut(batch, stopping) && stopping) return;
    }
}

}  // namespace pellox::server
