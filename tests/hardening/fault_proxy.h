// A fault-injecting proxy on 127.0.0.1 between the client and a real OSCAR server.
//
// It listens in front of the server's authorization and messaging ports and
// forwards both directions. What the server sends is forwarded frame by frame, so
// faults land on frame boundaries (or inside frames) of the server's stream, and
// the messaging address in the login reply is rewritten to the proxy's own
// messaging port, so the client's second connection comes through the proxy too.
//
// Faults (counted over the server's frames of every connection together):
//   Pass              forward as it comes;
//   OneByte           forward every byte in its own write;
//   CutAt(n)          forward n frames, then half of the next and close both sides
//                     of that connection (and refuse to forward on any other);
//   SilentAt(n)       forward n frames, then nothing more in either direction while
//                     keeping every connection open: a server that went silent.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"

namespace pellox::testing {

class FaultProxy {
public:
    enum class Mode { Pass, OneByte, Cut, Silent };

    FaultProxy(std::uint16_t authPort, std::uint16_t bosPort, Mode mode = Mode::Pass, int frames = 0);
    ~FaultProxy();
    FaultProxy(const FaultProxy&) = delete;
    FaultProxy& operator=(const FaultProxy&) = delete;

    [[nodiscard]] bool Start();
    // Closes the listeners and every connection; joins every thread.
    void Stop();

    // "127.0.0.1:port" of the proxy's authorization listener, as the client's
    // server text.
    std::u16string LoginServerText() const;
    // Server frames forwarded whole so far.
    int FramesForwarded() const { return forwarded_.load(); }
    // True once the fault (cut or silence) has struck.
    bool Struck() const { return struck_.load(); }

private:
    struct Pipe;
    void AcceptLoop(platform::SocketHandle listener, std::uint16_t upstreamPort, bool auth);
    void ClientToServer(Pipe& pipe);
    void ServerToClient(Pipe& pipe);
    // Decides what happens to the next whole frame: true to forward it.
    bool Admit();

    const std::uint16_t authPort_;
    const std::uint16_t bosPort_;
    const Mode mode_;
    const int frames_;

    platform::SocketHandle authListener_ = platform::kNoSocket;
    platform::SocketHandle bosListener_ = platform::kNoSocket;
    std::uint16_t proxyAuthPort_ = 0;
    std::uint16_t proxyBosPort_ = 0;
    std::thread authAccept_;
    std::thread bosAccept_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> forwarded_{0};
    std::atomic<bool> struck_{false};

    std::mutex lock_;
    std::vector<std::unique_ptr<Pipe>> pipes_;
};

}  // namespace pellox::testing
