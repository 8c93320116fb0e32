// A scripted OSCAR server on 127.0.0.1 for tests. It listens on a free port, plays
// one script per accepted connection (the first connection is normally the login
// server, the second the messaging server, so one instance plays both) and records
// every frame it receives. After its script a connection keeps reading and
// recording until the client closes it or the server stops; it never closes a
// connection by itself unless the script says Close.
//
//   ScriptedServer server;
//   server.AddConnection(Script().SendHello().Expect(1).SendLoginReplyToSelf("123", {1, 2}));
//   server.AddConnection(Script().SendHello().Expect(1).SendSnac(0x0001, 0x0003));
//   ASSERT_TRUE(server.Start());
//   ... connect to server.Address() ...
//   ASSERT_TRUE(server.WaitForFrame([](const ReceivedFrame& f) { return f.IsSnac(1, 0x17); }));
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "net/codec.h"
#include "platform/socket.h"
#include "platform/stream.h"
#include "platform/tls.h"

namespace pellox::testing {

using Bytes = std::vector<std::uint8_t>;

// "2A 01 00 01" (spaces optional) to bytes.
Bytes FromHex(std::string_view hex);
std::string ToHex(const Bytes& bytes);
Bytes Concat(std::initializer_list<Bytes> parts);
Bytes BytesOf(std::string_view text);
// Pieces of frames as a server lays them out.
Bytes BigEndian16(std::uint16_t value);
Bytes BigEndian32(std::uint32_t value);
Bytes TlvBytes(std::uint16_t type, const Bytes& value);
Bytes FlapBytes(std::uint8_t channel, std::uint16_t sequence, const Bytes& data);
Bytes SnacBytes(std::uint16_t family, std::uint16_t subtype, const Bytes& data = {},
                std::uint16_t flags = 0, std::uint32_t requestId = 0);

struct ReceivedFrame {
    int connection = 0;  // 0 for the first accepted connection
    std::uint8_t channel = 0;
    std::uint16_t sequence = 0;
    Bytes data;  // the FLAP data
    Bytes raw;   // the whole frame as it arrived

    bool IsSnac(std::uint16_t family, std::uint16_t subtype) const;
    // The SNAC header in host order; zeros when the frame is no SNAC.
    SnacHeader Snac() const;
};

class ScriptedServer;

// What one connection does, step by step. Frames the server sends carry its own
// sequence numbers, starting at 0x1000 on each connection.
class Script {
public:
    struct Context;  // the connection a step runs on
    using Step = std::function<bool(Context&)>;

    Script& Send(Bytes bytes);  // raw bytes, one write
    Script& SendFrame(std::uint8_t channel, Bytes data);
    Script& SendHello();  // channel 1, version 00000001
    Script& SendSnac(std::uint16_t family, std::uint16_t subtype, Bytes data = {},
                     std::uint16_t flags = 0, std::uint32_t requestId = 0);
    // A channel-4 reply with TLV 0x0001 (uin), 0x0005 (this server's address) and
    // 0x0006 (cookie), so that the client's second connection comes back here.
    Script& SendLoginReplyToSelf(const std::string& uin, Bytes cookie);
    // Cuts bytes into pieces of the given sizes (the rest last) and writes them
    // separately with a pause between, so that they arrive in separate segments.
    Script& SendSplit(Bytes bytes, std::vector<std::size_t> pieces, int pauseMs = 30);
    // Reads (and records) frames until one matches; fails after the timeout.
    Script& Expect(std::uint8_t channel);
    Script& ExpectSnac(std::uint16_t family, std::uint16_t subtype);
    Script& Pause(int ms);
    // Shuts the connection down; the script ends here.
    Script& Close();
    Script& Do(Step step);
    // Appends the steps of another script.
    Script& Then(const Script& more);

private:
    friend class ScriptedServer;
    std::vector<Step> steps_;
};

class ScriptedServer {
public:
    ScriptedServer();
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    // The script of the next connection to be accepted (call before Start);
    // connections beyond the scripts are only recorded.
    void AddConnection(Script script);
    // Every connection is TLS with this certificate (call before Start): the
    // handshake comes first, and a connection whose client breaks it off plays no
    // script and counts in TlsHandshakesFailed.
    void UseTls(std::shared_ptr<const platform::TlsServerContext> context);
    [[nodiscard]] bool Start();
    // Closes the listener and every connection and joins all threads.
    void Stop();

    std::uint16_t Port() const { return port_; }
    std::string Address() const;  // "127.0.0.1:port"
    std::u16string AddressText() const;

    // How long Expect waits, in ms.
    int expectTimeoutMs = 5000;

    std::vector<ReceivedFrame> Frames() const;
    std::vector<ReceivedFrame> FramesOn(int connection) const;
    std::size_t FrameCount() const;
    int Accepted() const;
    // Script failures (an Expect that timed out, a send that failed).
    std::vector<std::string> Failures() const;
    int TlsHandshakesFailed() const;

    bool WaitForFrame(const std::function<bool(const ReceivedFrame&)>& match,
                      int timeoutMs = 5000) const;
    bool WaitForFrameCount(std::size_t count, int timeoutMs = 5000) const;
    bool WaitForAccepted(int count, int timeoutMs = 5000) const;
    // True once the client closed (or shut down) the given connection.
    bool WaitForPeerClosed(int connection, int timeoutMs = 5000) const;
    bool WaitForScriptsDone(int timeoutMs = 5000) const;

private:
    friend struct Script::Context;
    struct Connection;
    void AcceptLoop();
    void Serve(Connection& connection);
    // Reads and records one frame within timeoutMs: 1 frame (copied to *out when
    // given), 0 timeout, -1 closed or broken.
    int ReadFrame(Connection& connection, int timeoutMs, ReceivedFrame* out = nullptr);
    void Fail(std::string what);

    platform::SocketHandle listener_ = platform::kNoSocket;
    std::uint16_t port_ = 0;
    std::thread acceptThread_;
    std::atomic<bool> stopping_{false};
    std::vector<Script> scripts_;
    std::shared_ptr<const platform::TlsServerContext> tls_;

    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::vector<std::unique_ptr<Connection>> connections_;
    std::vector<ReceivedFrame> frames_;
    std::vector<std::string> failures_;
    int scriptsDone_ = 0;
    int tlsFailures_ = 0;
};

struct Script::Context {
    ScriptedServer& server;
    ScriptedServer::Connection& self;
    int connection;
    platform::SocketHandle socket;
    std::uint16_t& sequence;
    platform::Stream& stream;

    bool SendRaw(const Bytes& bytes);
    bool SendFrame(std::uint8_t channel, const Bytes& data);
    // Reads frames until match; false on timeout or close.
    bool ExpectFrame(const std::function<bool(const ReceivedFrame&)>& match, const std::string& what);
};

// ---- A sign-on as the two servers play it ----
// In a namespace of their own, so that a test file's own helpers of these names
// do not clash; a test takes them with using-declarations.
namespace signon {

// The request type of a meta request frame (SNAC 0x0015/0x0002), 0 for other frames.
std::uint16_t MetaRequestType(const ReceivedFrame& frame);
// The login server: hello, the client's sign-on frame, then a reply for `uin`
// sending the client on to this same server with `cookie`.
Script LoginServer(const Bytes& cookie = FromHex("DE AD BE EF 01 02 03"),
                   const std::string& uin = "123456789");
// The same login through the MD5 exchange of family 0x0017: hello, the client's
// hello and key request, the key, the client's login, the reply 0x0017/0x0003.
Script Md5LoginServer(const std::string& key, const Bytes& cookie = FromHex("DE AD BE EF 01 02 03"),
                      const std::string& uin = "123456789");
// The messaging server up to the client's offline messages request; `more` follows.
Script MessagingServer(const Script& more = Script());

}  // namespace signon

}  // namespace pellox::testing
