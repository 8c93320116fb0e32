// A raw OSCAR client for testing the local server over the wire: whole frames in
// and out, plus helpers that walk the sign-on the way the Pellox client does.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "net/codec.h"
#include "platform/endpoint.h"
#include "platform/socket.h"
#include "platform/stream.h"
#include "platform/tls.h"
#include "tools/oscar_server.h"

namespace pellox::server::test {

inline constexpr int kWaitMs = 3000;

struct Frame {
    std::uint8_t channel = 0;
    std::uint16_t sequence = 0;
    std::vector<std::uint8_t> data;
};

// A SNAC header copied out of its packed record, so that tests can bind its
// fields by reference (gtest does) without unaligned access.
struct SnacFields {
    std::uint16_t family = 0;
    std::uint16_t subtype = 0;
    std::uint16_t flags = 0;
    std::uint32_t requestId = 0;
};

struct Snac {
    SnacFields header;
    std::vector<std::uint8_t> data;  // behind the SNAC header
    PacketReader Reader() const { return PacketReader(data); }
};

using TlvValue = Tlv;  // the codec's

class TestClient {
public:
    TestClient() = default;
    ~TestClient() { Close(); }
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    // From another loopback address (127.0.0.2, say) when `from` is given.
    [[nodiscard]] bool Connect(std::uint16_t port, std::uint32_t from = 0);
    // To another address of this machine (::1, say).
    [[nodiscard]] bool Connect(const platform::Endpoint& to);
    // Over TLS, accepting only the certificate with the fingerprint `pin`; false
    // when the handshake did not give a usable stream (tlsOutcome tells why).
    [[nodiscard]] bool ConnectTls(std::uint16_t port, const std::string& pin, std::uint32_t from = 0);
    void Close();

    bool SendRaw(std::span<const std::uint8_t> bytes);
    bool SendFrame(std::uint8_t channel, std::span<const std::uint8_t> data);
    bool SendSnac(std::uint16_t family, std::uint16_t subtype, std::uint32_t requestId,
                  const PacketBuffer& payload = PacketBuffer());

    // The next whole frame; nullopt on time-out or when the server closed.
    std::optional<Frame> ReadFrame(int timeoutMs = kWaitMs);
    // The next frame, which must be a SNAC (nullopt otherwise).
    std::optional<Snac> ReadSnac(int timeoutMs = kWaitMs);
    // Skips frames until a SNAC of this family and subtype arrives.
    std::optional<Snac> WaitSnac(std::uint16_t family, std::uint16_t subtype, int timeoutMs = kWaitMs);
    // True when the server closes the connection within the time (frames before
    // the close are dropped).
    bool WaitClosed(int timeoutMs = kWaitMs);
    // True when nothing arrives for the whole time.
    bool QuietFor(int ms);

    std::uint16_t lastSequence = 0;  // of the last frame sent
    std::vector<std::uint16_t> receivedSequences;
    platform::TlsOutcome tlsOutcome;  // of the last ConnectTls

private:
    std::unique_ptr<platform::Stream> stream_;
    std::vector<std::uint8_t> pending_;
};

// How a test client logs in: the roasted password on channel 1, or the MD5
// login of family 0x0017 with the hash over MD5(password) (marked with the
// empty TLV 0x004C) or over the password itself.
enum class LoginKind { Roasted, Md5, Md5OverPassword };

// Builders of what a client sends.
PacketBuffer LoginPayload(const std::string& uin, const std::string& password);  // channel-1 data
// 0x0017/0x0006: the key request.
PacketBuffer Md5KeyRequestPayload(const std::string& uin);
// MD5(key + MD5(password) + salt) for LoginKind::Md5, MD5(key + password + salt)
// for Md5OverPassword.
std::string Md5LoginHash(const std::string& key, const std::string& password, LoginKind kind);
// 0x0017/0x0002: the login with this hash, TLV 0x004C for LoginKind::Md5.
PacketBuffer Md5LoginPayload(const std::string& uin, const std::string& hash, LoginKind kind);
PacketBuffer CookiePayload(const std::string& cookie);
PacketBuffer MessagePayload(const std::string& toUin, const std::string& text,
                            std::uint16_t charset = 0x0000);
// A channel-1 message carrying this block as TLV 0x0002.
PacketBuffer MessagePayload(const std::string& toUin, const std::vector<std::uint8_t>& block);
// The text block of a message (the value of TLV 0x0002).
std::vector<std::uint8_t> MessageBlock(const std::string& text, std::uint16_t charset = 0x0000);
PacketBuffer MetaPayload(std::uint32_t ownUin, std::uint16_t type, std::uint16_t sequence);
// Meta request 0x07D0 of this subtype with its data.
PacketBuffer InfoPayload(std::uint32_t ownUin, std::uint16_t sequence, std::uint16_t subtype,
                         const PacketBuffer& data = PacketBuffer());
PacketBuffer ShortInfoPayload(std::uint32_t ownUin, std::uint16_t sequence, std::uint32_t target);
// A meta string: little-endian length with the terminating zero, the text, the zero.
void AppendMetaString(PacketBuffer& p, const std::string& text);
// An auto-message request (channel 2, message type 0xE8 to 0xEC, or any other
// type) and an answer to one (0x0004/0x000B) with this text.
PacketBuffer AutoMessageRequestPayload(const std::string& toUin, std::uint8_t type);
PacketBuffer AutoResponsePayload(const std::string& askerUin, std::uint8_t type, const std::string& text);
PacketBuffer DeleteBuddyPayload(const std::string& uin);
// 0x0001/0x001E with the status word.
PacketBuffer StatusPayload(std::uint32_t status);
// An authorization request (0x0013/0x0018), or with `granted` a reply (0x001A).
PacketBuffer AuthorizationPayload(const std::string& uin, const std::string& reason,
                                  std::optional<bool> granted = std::nullopt);
// A typing notice (0x0004/0x0014) of this kind.
PacketBuffer TypingPayload(const std::string& uin, std::uint16_t kind);
// One contact list item of an add, update or delete (0x0013/0x0008, 0x0009, 0x000A).
void AppendItem(PacketBuffer& p, const std::string& name, std::uint16_t group, std::uint16_t id,
                std::uint16_t type, const std::vector<std::uint8_t>& tlvs);

// Parsers of what the server sends. False when the bytes do not parse whole.
// TLVs, FindTlv and UserInfoBlock are the codec's (net/codec.h).
inline bool ParseTlvs(PacketReader& reader, std::vector<TlvValue>& out) {
    return ReadTlvList(reader, out);
}
inline bool ParseUserInfo(PacketReader& reader, UserInfoBlock& out) {
    return ReadUserInfoBlock(reader, out);
}

struct MetaReply {
    std::uint16_t tlvType = 0;
    std::uint16_t tlvLength = 0;
    std::uint16_t chunk = 0;
    std::uint32_t owner = 0;
    std::uint16_t type = 0;
    std::uint16_t sequence = 0;
    std::vector<std::uint8_t> rest;
};
bool ParseMetaReply(const Snac& snac, MetaReply& out);
// A meta string, without its terminating zero.
bool ReadMetaString(PacketReader& reader, std::string& out);

struct LoginResult {
    std::optional<Frame> frame;  // the reply: channel 4, or the SNAC 0x0017/0x0003
    std::vector<TlvValue> tlvs;  // of the reply
    std::string key;             // the MD5 login's key
    bool closedAfter = false;    // the server closed the connection after the reply
};
// Logs in on a new connection to the port; over TLS when a pin is given.
LoginResult Login(std::uint16_t port, const std::string& uin, const std::string& password,
                  LoginKind kind = LoginKind::Roasted, const std::string& tlsPin = {});
// The same on a connection made already, from its hello on, checking the layout
// of the hello, the key and the reply. The MD5 key is asked for keyUin when
// given (empty: no key is asked for), else for the UIN itself.
LoginResult Login(TestClient& client, const std::string& uin, const std::string& password, LoginKind kind,
                  const std::optional<std::string>& keyUin = std::nullopt);

struct SignOnOptions {
    LoginKind login = LoginKind::Roasted;
    bool tls = false;                // both connections to the TLS port, pinned
    bool clientReady = true;
    bool fetchOffline = false;       // 0x003C, read up to 0x0042, then 0x003E
    bool loadContactList = false;    // 0x0013/0x0004 and read the reply
    bool activate = true;            // 0x0013/0x0007
    bool exchangeVersions = true;    // false: no SNAC at all, done once the family list came
};

// A BOS client signed on as the account; null (with a test failure) when any
// step fails. Offline records read on the way are left in `offline`.
std::unique_ptr<TestClient> SignOn(const OscarServer& server, const std::string& uin,
                                   const std::string& password, const SignOnOptions& options = {},
                                   std::vector<Snac>* offline = nullptr);

// A server on 127.0.0.1, free ports, demo accounts unless a config says otherwise.
ServerConfig TestConfig();

}  // namespace pellox::server::test

#include <gtest/gtest.h>

namespace pellox::server::test {

// Demo accounts (see tools/README.md).
inline const std::string kAlice = "100001";
inline const std::string kBoris = "100002";
inline const std::string kEcho = "100003";
inline const std::string kVera = "100004";
// Their nicknames in Windows-1251.
inline const std::string kAliceNick = "\xC0\xEB\xE8\xF1\xE0";
inline const std::string kBorisNick = "\xC1\xEE\xF0\xE8\xF1";
inline const std::string kEchoNick = "\xDD\xF5\xEE";

class ServerTest : public ::testing::Test {
protected:
    void StartServer(const ServerConfig& config = TestConfig()) {
        std::string error;
        ASSERT_TRUE(server.Start(config, error)) << error;
    }
    void StartServer(const ServerConfig& config, AccountStore accounts) {
        std::string error;
        ASSERT_TRUE(server.Start(config, std::move(accounts), error)) << error;
    }
    OscarServer server;
};

// A fresh directory under /tmp, removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    void Write(const std::string& name, const std::string& bytes) const;

private:
    std::string path_;
};

// Makes a round trip through the server (a short-info request for `ownUin`) and
// returns every SNAC that arrived before its answer: all that the server had
// queued for this client up to now.
std::vector<Snac> Drain(TestClient& client, const std::string& ownUin);
// The UIN of a presence SNAC (0x0003/0x000B or 0x000C).
std::string PresenceUin(const Snac& snac);
// Waits for a presence SNAC of this subtype about `uin`, skipping others.
std::optional<Snac> WaitPresence(TestClient& client, std::uint16_t subtype, const std::string& uin);

}  // namespace pellox::server::test
