#include "tests/hardening/fault_proxy.h"

#include <chrono>
#include <cstring>

#include "net/codec.h"
#include "platform/thread.h"

namespace pellox::testing {
namespace {

constexpr std::uint32_t kLoopback = 0x7F000001;

bool SendAllTo(platform::SocketHandle s, const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        const long sent = platform::SendSome(s, p, n);
        if (sent <= 0) return false;
        p += sent;
        n -= static_cast<std::size_t>(sent);
    }
    return true;
}

bool ReceiveAll(platform::SocketHandle s, std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        const long got = platform::ReceiveSome(s, p, n);
        if (got <= 0) return false;
        p += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

// The login reply's TLVs with TLV 0x0005 (the messaging address) pointed at port.
std::vector<std::uint8_t> RewriteAddress(const std::vector<std::uint8_t>& data, std::uint16_t port) {
    std::vector<std::uint8_t> out;
    std::size_t at = 0;
    while (at + 4 <= data.size()) {
        const std::uint16_t type = static_cast<std::uint16_t>(data[at] << 8 | data[at + 1]);
        const std::size_t length = static_cast<std::size_t>(data[at + 2] << 8 | data[at + 3]);
        if (at + 4 + length > data.size()) break;
        if (type == 0x0005) {
            const std::string address = "127.0.0.1:" + std::to_string(port);
            out.insert(out.end(), {0x00, 0x05, 0x00, static_cast<std::uint8_t>(address.size())});
            out.insert(out.end(), address.begin(), address.end());
        } else {
            out.insert(out.end(), data.begin() + static_cast<long>(at),
                       data.begin() + static_cast<long>(at + 4 + length));
        }
        at += 4 + length;
    }
    out.insert(out.end(), data.begin() + static_cast<long>(at), data.end());
    return out;
}

}  // namespace

struct FaultProxy::Pipe {
    platform::SocketHandle client = platform::kNoSocket;
    platform::SocketHandle server = platform::kNoSocket;
    bool auth = false;
    std::thread up;
    std::thread down;

    void Shutdown() const {
        platform::ShutdownSocket(client);
        platform::ShutdownSocket(server);
    }
};

FaultProxy::FaultProxy(std::uint16_t authPort, std::uint16_t bosPort, Mode mode, int frames)
    : authPort_(authPort), bosPort_(bosPort), mode_(mode), frames_(frames) {}

FaultProxy::~FaultProxy() { Stop(); }

bool FaultProxy::Start() {
    authListener_ = platform::ListenTcp({kLoopback, 0});
    bosListener_ = platform::ListenTcp({kLoopback, 0});
    if (authListener_ == platform::kNoSocket || bosListener_ == platform::kNoSocket) return false;
    proxyAuthPort_ = platform::BoundPort(authListener_);
    proxyBosPort_ = platform::BoundPort(bosListener_);
    authAccept_ = std::thread([this] { AcceptLoop(authListener_, authPort_, true); });
    bosAccept_ = std::thread([this] { AcceptLoop(bosListener_, bosPort_, false); });
    return true;
}

void FaultProxy::Stop() {
    if (stopping_.exchange(true)) return;
    for (platform::SocketHandle l : {authListener_, bosListener_}) {
        if (l != platform::kNoSocket) platform::ShutdownSocket(l);
    }
    if (authAccept_.joinable()) authAccept_.join();
    if (bosAccept_.joinable()) bosAccept_.join();
    std::vector<std::unique_ptr<Pipe>> pipes;
    {
        std::lock_guard<std::mutex> guard(lock_);
        pipes.swap(pipes_);
    }
    for (auto& pipe : pipes) {
        pipe->Shutdown();
        if (pipe->up.joinable()) pipe->up.join();
        if (pipe->down.joinable()) pipe->down.join();
        platform::CloseSocket(pipe->client);
        platform::CloseSocket(pipe->server);
    }
    for (platform::SocketHandle l : {authListener_, bosListener_}) {
        if (l != platform::kNoSocket) platform::CloseSocket(l);
    }
}

std::u16string FaultProxy::LoginServerText() const {
    const std::string text = "127.0.0.1:" + std::to_string(proxyAuthPort_);
    return std::u16string(text.begin(), text.end());
}

void FaultProxy::AcceptLoop(platform::SocketHandle listener, std::uint16_t upstreamPort, bool auth) {
    while (!stopping_.load()) {
        const platform::SocketHandle client = platform::AcceptClient(listener);
        if (client == platform::kNoSocket) return;
        const platform::SocketHandle server = platform::CreateTcpSocket();
        if (server == platform::kNoSocket || !platform::ConnectSocket(server, {kLoopback, upstreamPort})) {
            platform::CloseSocket(server);
            platform::CloseSocket(client);
            continue;
        }
        auto pipe = std::make_unique<Pipe>();
        pipe->client = client;
        pipe->server = server;
        pipe->auth = auth;
        Pipe& p = *pipe;
        std::lock_guard<std::mutex> guard(lock_);
        if (stopping_.load()) {
            p.Shutdown();
            platform::CloseSocket(client);
            platform::CloseSocket(server);
            return;
        }
        p.up = std::thread([this, &p] { ClientToServer(p); });
        p.down = std::thread([this, &p] { ServerToClient(p); });
        pipes_.push_back(std::move(pipe));
    }
}

void FaultProxy::ClientToServer(Pipe& pipe) {
    std::uint8_t buffer[4096];
    for (;;) {
        const long got = platform::ReceiveSome(pipe.client, buffer, sizeof buffer);
        if (got <= 0) break;
        if (mode_ == Mode::Silent && struck_.load()) continue;  // swallowed
        if (!SendAllTo(pipe.server, buffer, static_cast<std::size_t>(got))) break;
    }
    if (mode_ == Mode::Silent) {
        // A silent server never closes: keep the client's side open until Stop.
        while (!stopping_.load()) platform::SleepMs(10);
    }
    pipe.Shutdown();
}

bool FaultProxy::Admit() {
    if (mode_ != Mode::Cut && mode_ != Mode::Silent) return true;
    if (struck_.load()) return false;
    if (forwarded_.load() >= frames_) {
        struck_.store(true);
        return false;
    }
    return true;
}

void FaultProxy::ServerToClient(Pipe& pipe) {
    for (;;) {
        std::uint8_t header[kFlapHeaderSize];
        if (!ReceiveAll(pipe.server, header, sizeof header)) break;
        std::vector<std::uint8_t> data(static_cast<std::size_t>(header[4] << 8 | header[5]));
        if (!data.empty() && !ReceiveAll(pipe.server, data.data(), data.size())) break;
        if (pipe.auth && header[1] == kChannelSignOff) {
            data = RewriteAddress(data, proxyBosPort_);
            header[4] = static_cast<std::uint8_t>(data.size() >> 8);
            header[5] = static_cast<std::uint8_t>(data.size());
        }
        std::vector<std::uint8_t> frame(header, header + sizeof header);
        frame.insert(frame.end(), data.begin(), data.end());

        {
            // One decision per frame at a time, so the count is exact.
            std::lock_guard<std::mutex> guard(lock_);
            if (!Admit()) {
                if (mode_ == Mode::Cut) {
                    (void)SendAllTo(pipe.client, frame.data(), frame.size() / 2);
                    pipe.Shutdown();
                    return;
                }
                continue;  // silent: the frame is swallowed
            }
            forwarded_.fetch_add(1);
        }
        if (mode_ == Mode::OneByte) {
            for (std::uint8_t b : frame) {
                if (!SendAllTo(pipe.client, &b, 1)) return;
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            }
        } else if (!SendAllTo(pipe.client, frame.data(), frame.size())) {
            break;
        }
    }
    if (mode_ == Mode::Silent && struck_.load()) {
        while (!stopping_.load()) platform::SleepMs(10);
    }
    pipe.Shutdown();
}

}  // namespace pellox::testing
