#include "tests/net/scripted_server.h"

#include <chrono>
#include <cstring>

#include "platform/thread.h"

namespace pellox::testing {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint32_t kLoopback = 0x7F000001;
constexpr std::uint16_t kFirstServerSequence = 0x1000;
// Once a frame has begun, its rest must arrive within this time.
constexpr int kFrameCompletionMs = 5000;

int MsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// 1 all n bytes read, 0 nothing arrived before the deadline (only when
// allowTimeout and no byte was read), -1 closed, error or stalled mid-way.
int ReadExact(platform::Stream& stream, std::uint8_t* dest, std::size_t n,
              Clock::time_point deadline, bool allowTimeout) {
    std::size_t got = 0;
    while (got < n) {
        if (!stream.WaitReadable(MsUntil(deadline))) {
            if (got == 0 && allowTimeout) return 0;
            return -1;
        }
        const long r = stream.ReceiveSome(dest + got, n - got);
        if (r <= 0) return -1;
        got += static_cast<std::size_t>(r);
        if (got < n) deadline = Clock::now() + std::chrono::milliseconds(kFrameCompletionMs);
    }
    return 1;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

// ---- Byte helpers ----

Bytes FromHex(std::string_view hex) {
    Bytes out;
    int high = -1;
    for (char c : hex) {
        const int v = HexValue(c);
        if (v < 0) continue;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(high * 16 + v));
            high = -1;
        }
    }
    return out;
}

std::string ToHex(const Bytes& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i != 0) out += ' ';
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0x0F];
    }
    return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes BytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes BigEndian16(std::uint16_t v) {
    return {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
}

Bytes BigEndian32(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
            static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
}

Bytes TlvBytes(std::uint16_t type, const Bytes& value) {
    return Concat({BigEndian16(type), BigEndian16(static_cast<std::uint16_t>(value.size())), value});
}

Bytes FlapBytes(std::uint8_t channel, std::uint16_t sequence, const Bytes& data) {
    return Concat({Bytes{kFlapMarker, channel}, BigEndian16(sequence),
                   BigEndian16(static_cast<std::uint16_t>(data.size())), data});
}

Bytes SnacBytes(std::uint16_t family, std::uint16_t subtype, const Bytes& data, std::uint16_t flags,
                std::uint32_t requestId) {
    return Concat({BigEndian16(family), BigEndian16(subtype), BigEndian16(flags),
                   BigEndian32(requestId), data});
}

bool ReceivedFrame::IsSnac(std::uint16_t family, std::uint16_t subtype) const {
    if (channel != kChannelSnac || data.size() < kSnacHeaderSize) return false;
    const SnacHeader h = Snac();
    return h.family == family && h.subtype == subtype;
}

SnacHeader ReceivedFrame::Snac() const {
    SnacHeader h{};
    if (channel != kChannelSnac || data.size() < kSnacHeaderSize) return h;
    std::memcpy(&h, data.data(), sizeof h);
    ConvertByteOrder(h);
    return h;
}

// ---- Script ----

bool Script::Context::SendRaw(const Bytes& bytes) {
    return stream.SendAll(bytes.data(), bytes.size());
}

bool Script::Context::SendFrame(std::uint8_t channel, const Bytes& data) {
    return SendRaw(FlapBytes(channel, sequence++, data));
}

bool Script::Context::ExpectFrame(const std::function<bool(const ReceivedFrame&)>& match,
                                  const std::string& what) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(server.expectTimeoutMs);
    for (;;) {
        ReceivedFrame frame;
        const int r = server.ReadFrame(self, MsUntil(deadline), &frame);
        if (r < 0) {
            server.Fail("connection " + std::to_string(connection) + " closed while expecting " + what);
            return false;
        }
        if (r == 0) {
            server.Fail("connection " + std::to_string(connection) + " timed out expecting " + what);
            return false;
        }
        if (match(frame)) return true;
    }
}

Script& Script::Do(Step step) {
    steps_.push_back(std::move(step));
    return *this;
}

Script& Script::Then(const Script& more) {
    steps_.insert(steps_.end(), more.steps_.begin(), more.steps_.end());
    return *this;
}

Script& Script::Send(Bytes bytes) {
    return Do([bytes = std::move(bytes)](Context& c) { return c.SendRaw(bytes); });
}

Script& Script::SendFrame(std::uint8_t channel, Bytes data) {
    return Do([channel, data = std::move(data)](Context& c) { return c.SendFrame(channel, data); });
}

Script& Script::SendHello() { return SendFrame(kChannelSignOn, BigEndian32(1)); }

Script& Script::SendSnac(std::uint16_t family, std::uint16_t subtype, Bytes data,
                         std::uint16_t flags, std::uint32_t requestId) {
    return SendFrame(kChannelSnac, SnacBytes(family, subtype, data, flags, requestId));
}

Script& Script::SendLoginReplyToSelf(const std::string& uin, Bytes cookie) {
    return Do([uin, cookie = std::move(cookie)](Context& c) {
        const Bytes data = Concat({TlvBytes(0x0001, BytesOf(uin)),
                                   TlvBytes(0x0005, BytesOf(c.server.Address())),
                                   TlvBytes(0x0006, cookie)});
        return c.SendFrame(kChannelSignOff, data);
    });
}

Script& Script::SendSplit(Bytes bytes, std::vector<std::size_t> pieces, int pauseMs) {
    return Do([bytes = std::move(bytes), pieces = std::move(pieces), pauseMs](Context& c) {
        std::size_t at = 0;
        for (std::size_t n : pieces) {
            n = std::min(n, bytes.size() - at);
            if (!c.SendRaw(Bytes(bytes.begin() + static_cast<long>(at),
                                 bytes.begin() + static_cast<long>(at + n)))) {
                return false;
            }
            at += n;
            platform::SleepMs(pauseMs);
        }
        return c.SendRaw(Bytes(bytes.begin() + static_cast<long>(at), bytes.end()));
    });
}

Script& Script::Expect(std::uint8_t channel) {
    return Do([channel](Context& c) {
        return c.ExpectFrame([channel](const ReceivedFrame& f) { return f.channel == channel; },
                             "a frame on channel " + std::to_string(channel));
    });
}

Script& Script::ExpectSnac(std::uint16_t family, std::uint16_t subtype) {
    return Do([family, subtype](Context& c) {
        return c.ExpectFrame(
            [family, subtype](const ReceivedFrame& f) { return f.IsSnac(family, subtype); },
            "SNAC " + std::to_string(family) + "/" + std::to_string(subtype));
    });
}

Script& Script::Pause(int ms) {
    return Do([ms](Context&) {
        platform::SleepMs(ms);
        return true;
    });
}

Script& Script::Close() {
    return Do([](Context& c) {
        c.stream.Shutdown();
        return false;  // nothing after a close
    });
}

// ---- Server ----

struct ScriptedServer::Connection {
    int index = 0;
    std::unique_ptr<platform::Stream> stream;  // owns the socket
    Script script;
    std::uint16_t sequence = kFirstServerSequence;
    bool peerClosed = false;  // guarded by lock_
    std::thread thread;
};

ScriptedServer::ScriptedServer() = default;

ScriptedServer::~ScriptedServer() { Stop(); }

void ScriptedServer::AddConnection(Script script) { scripts_.push_back(std::move(script)); }

void ScriptedServer::UseTls(std::shared_ptr<const platform::TlsServerContext> context) {
    tls_ = std::move(context);
}

bool ScriptedServer::Start() {
    (void)platform::StartSocketLibrary();
    listener_ = platform::ListenTcp({kLoopback, 0});
    if (listener_ == platform::kNoSocket) return false;
    port_ = platform::BoundPort(listener_);
    acceptThread_ = std::thread([this] { AcceptLoop(); });
    return port_ != 0;
}

void ScriptedServer::Stop() {
    if (stopping_.exchange(true)) return;
    if (listener_ != platform::kNoSocket) platform::ShutdownSocket(listener_);
    if (acceptThread_.joinable()) acceptThread_.join();
    std::vector<Connection*> all;
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (auto& c : connections_) all.push_back(c.get());
    }
    for (Connection* c : all) c->stream->Shutdown();
    for (Connection* c : all) {
        if (c->thread.joinable()) c->thread.join();
        c->stream.reset();
    }
    platform::CloseSocket(listener_);
    listener_ = platform::kNoSocket;
}

std::string ScriptedServer::Address() const { return "127.0.0.1:" + std::to_string(port_); }

std::u16string ScriptedServer::AddressText() const {
    const std::string a = Address();
    return std::u16string(a.begin(), a.end());
}

void ScriptedServer::AcceptLoop() {
    while (!stopping_.load()) {
        const platform::SocketHandle fd = platform::AcceptClient(listener_);
        if (fd == platform::kNoSocket) return;
        std::lock_guard<std::mutex> guard(lock_);
        if (stopping_.load()) {
            platform::CloseSocket(fd);
            return;
        }
        auto c = std::make_unique<Connection>();
        c->index = static_cast<int>(connections_.size());
        if (tls_) {
            c->stream = std::make_unique<platform::TlsStream>(tls_, fd);
        } else {
            c->stream = std::make_unique<platform::SocketStream>(fd);
        }
        if (static_cast<std::size_t>(c->index) < scripts_.size()) {
            c->script = scripts_[static_cast<std::size_t>(c->index)];
        }
        Connection* raw = c.get();
        connections_.push_back(std::move(c));
        raw->thread = std::thread([this, raw] { Serve(*raw); });
        changed_.notify_all();
    }
}

void ScriptedServer::Serve(Connection& connection) {
    Script::Context context{*this,      connection, connection.index, connection.stream->Handle(),
                            connection.sequence, *connection.stream};
    bool open = true;
    if (tls_ && !static_cast<platform::TlsStream&>(*connection.stream)
                     .Accept(Clock::now() + std::chrono::milliseconds(expectTimeoutMs))) {
        std::lock_guard<std::mutex> guard(lock_);
        ++tlsFailures_;
        ++scriptsDone_;
        connection.peerClosed = true;
        changed_.notify_all();
        return;
    }
    for (const Script::Step& step : connection.script.steps_) {
        if (stopping_.load() || !step(context)) {
            open = false;
            break;
        }
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        ++scriptsDone_;
        changed_.notify_all();
    }
    // Keep recording what the client sends until it closes or the server stops.
    while (open && !stopping_.load()) {
        const int r = ReadFrame(connection, 100);
        if (r < 0) break;
    }
}

int ScriptedServer::ReadFrame(Connection& connection, int timeoutMs, ReceivedFrame* out) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::uint8_t header[kFlapHeaderSize];
    int r = ReadExact(*connection.stream, header, sizeof header, deadline, true);
    ReceivedFrame frame;
    if (r == 1) {
        frame.connection = connection.index;
        frame.channel = header[1];
        frame.sequence = static_cast<std::uint16_t>(header[2] << 8 | header[3]);
        frame.data.resize(static_cast<std::size_t>(header[4] << 8 | header[5]));
        if (header[0] != kFlapMarker) {
            Fail("connection " + std::to_string(connection.index) + ": bad frame marker");
            r = -1;
        } else if (!frame.data.empty()) {
            r = ReadExact(*connection.stream, frame.data.data(), frame.data.size(),
                          Clock::now() + std::chrono::milliseconds(kFrameCompletionMs), false);
        }
    }
    std::lock_guard<std::mutex> guard(lock_);
    if (r < 0) {
        connection.peerClosed = true;
    } else if (r == 1) {
        frame.raw.assign(header, header + sizeof header);
        frame.raw.insert(frame.raw.end(), frame.data.begin(), frame.data.end());
        if (out != nullptr) *out = frame;
        frames_.push_back(std::move(frame));
    }
    changed_.notify_all();
    return r;
}

void ScriptedServer::Fail(std::string what) {
    if (stopping_.load()) return;
    std::lock_guard<std::mutex> guard(lock_);
    failures_.push_back(std::move(what));
}

std::vector<ReceivedFrame> ScriptedServer::Frames() const {
    std::lock_guard<std::mutex> guard(lock_);
    return frames_;
}

std::vector<ReceivedFrame> ScriptedServer::FramesOn(int connection) const {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<ReceivedFrame> out;
    for (const ReceivedFrame& f : frames_) {
        if (f.connection == connection) out.push_back(f);
    }
    return out;
}

std::size_t ScriptedServer::FrameCount() const {
    std::lock_guard<std::mutex> guard(lock_);
    return frames_.size();
}

int ScriptedServer::Accepted() const {
    std::lock_guard<std::mutex> guard(lock_);
    return static_cast<int>(connections_.size());
}

std::vector<std::string> ScriptedServer::Failures() const {
    std::lock_guard<std::mutex> guard(lock_);
    return failures_;
}

int ScriptedServer::TlsHandshakesFailed() const {
    std::lock_guard<std::mutex> guard(lock_);
    return tlsFailures_;
}

bool ScriptedServer::WaitForFrame(const std::function<bool(const ReceivedFrame&)>& match,
                                  int timeoutMs) const {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] {
        for (const ReceivedFrame& f : frames_) {
            if (match(f)) return true;
        }
        return false;
    });
}

bool ScriptedServer::WaitForFrameCount(std::size_t count, int timeoutMs) const {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                             [&] { return frames_.size() >= count; });
}

bool ScriptedServer::WaitForAccepted(int count, int timeoutMs) const {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                             [&] { return static_cast<int>(connections_.size()) >= count; });
}

bool ScriptedServer::WaitForPeerClosed(int connection, int timeoutMs) const {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] {
        return static_cast<std::size_t>(connection) < connections_.size() &&
               connections_[static_cast<std::size_t>(connection)]->peerClosed;
    });
}

bool ScriptedServer::WaitForScriptsDone(int timeoutMs) const {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                             [&] { return scriptsDone_ >= static_cast<int>(scripts_.size()); });
}

namespace signon {

std::uint16_t MetaRequestType(const ReceivedFrame& frame) {
    if (!frame.IsSnac(0x0015, 0x0002) || frame.data.size() < 22) return 0;
    return static_cast<std::uint16_t>(frame.data[20] | (frame.data[21] << 8));
}

Script LoginServer(const Bytes& cookie, const std::string& uin) {
    return Script().SendHello().Expect(kChannelSignOn).SendLoginReplyToSelf(uin, cookie);
}

Script Md5LoginServer(const std::string& key, const Bytes& cookie, const std::string& uin) {
    return Script()
        .SendHello()
        .Expect(kChannelSignOn)
        .ExpectSnac(0x0017, 0x0006)
        .SendSnac(0x0017, 0x0007, Concat({BigEndian16(static_cast<std::uint16_t>(key.size())), BytesOf(key)}))
        .ExpectSnac(0x0017, 0x0002)
        .Do([uin, cookie](Script::Context& c) {
            return c.SendFrame(kChannelSnac,
                               SnacBytes(0x0017, 0x0003,
                                         Concat({TlvBytes(0x0001, BytesOf(uin)),
                                                 TlvBytes(0x0005, BytesOf(c.server.Address())),
                                                 TlvBytes(0x0006, cookie)})));
        });
}

Script MessagingServer(const Script& more) {
    return Script()
        .SendHello()
        .Expect(kChannelSignOn)
        .SendSnac(0x0001, 0x0003)
        .ExpectSnac(0x0001, 0x0017)
        .SendSnac(0x0001, 0x0018)
        .ExpectSnac(0x0001, 0x001E)
        .ExpectSnac(0x0001, 0x0002)
        .Do([](Script::Context& c) {
            return c.ExpectFrame([](const ReceivedFrame& f) { return MetaRequestType(f) == 0x003C; },
                                 "offline messages request");
        })
        .Then(more);
}

}  // namespace signon

}  // namespace pellox::testing
