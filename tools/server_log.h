// The server's event log on standard error, written by a thread of its own so
// that a session never waits for it: a standard error nobody reads (a full pipe)
// costs log lines, never service.
//
// Lines are escaped on the way in: every byte outside printable ASCII (UINs and
// nicknames come from peers) becomes \xHH, so a line is one line of plain text.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace pellox::server {

std::string EscapeForLog(std::string_view text);

class ServerLog {
public:
    ServerLog() = default;
    ~ServerLog() { Stop(); }
    ServerLog(const ServerLog&) = delete;
    ServerLog& operator=(const ServerLog&) = delete;

    void Start();
    // Writes out what is queued if standard error takes it within a second, then
    // ends the thread.
    void Stop();
    // "pellox-server: <escaped line>". Never blocks on the output: past the
    // queue's bound lines are dropped and their number is logged later.
    void Write(std::string_view line);

private:
    void Run();
    bool WriteOut(const std::string& text, bool stopping);

    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<std::string> queue_;  // guarded by lock_
    std::size_t queuedBytes_ = 0;    // guarded by lock_
    std::size_t dropped_ = 0;        // guarded by lock_
    bool stop_ = false;              // guarded by lock_
    bool running_ = false;           // guarded by lock_
    std::thread thread_;
};

}  // namespace pellox::server
