#include "tests/tools/oscar_test_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/digest.h"
#include "platform/endpoint.h"
#include "platform/tls.h"

namespace pellox::server::test {
namespace {

using Clock = std::chrono::steady_clock;

bool ReadSnacHeader(PacketReader& reader, SnacFields& out) {
    SnacHeader header;
    if (!ReadRecord(reader, header)) return false;
    out = {header.family, header.subtype, header.flags, header.requestId};
    return true;
}

int MsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

ServerConfig TestConfig() {
    ServerConfig config;
    config.authPort = 0;
    config.bosPort = 0;
    return config;
}

namespace {
// A TCP connection to 127.0.0.1:port, from the loopback address `from` when given.
platform::SocketHandle ConnectFrom(std::uint16_t port, std::uint32_t from) {
    platform::SocketHandle socket = platform::CreateTcpSocket();
    if (socket == platform::kNoSocket) return socket;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(from);
    if ((from != 0 && ::bind(socket, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) ||
        !platform::ConnectSocket(socket, {kLoopbackAddress, port})) {
        platform::CloseSocket(socket);
        return platform::kNoSocket;
    }
    return socket;
}
}  // namespace

bool TestClient::Connect(std::uint16_t port, std::uint32_t from) {
    Close();
    platform::SocketHandle socket = ConnectFrom(port, from);
    if (socket == platform::kNoSocket) return false;
    stream_ = std::make_unique<platform::SocketStream>(socket);
    return true;
}

bool TestClient::Connect(const platform::Endpoint& to) {
    Close();
    platform::SocketHandle socket =
        platform::ConnectFirst({to.address}, to.port, Clock::now() + std::chrono::milliseconds(kWaitMs));
    if (socket == platform::kNoSocket) return false;
    stream_ = std::make_unique<platform::SocketStream>(socket);
    return true;
}

bool TestClient::ConnectTls(std::uint16_t port, const std::string& pin, std::uint32_t from) {
    Close();
    platform::SocketHandle socket = ConnectFrom(port, from);
    if (socket == platform::kNoSocket) return false;
    platform::TlsClientOptions options;
    options.host = "127.0.0.1";
    options.pinnedFingerprint = pin;
    auto tls = std::make_unique<platform::TlsStream>(socket, options);
    tlsOutcome = tls->Connect(Clock::now() + std::chrono::milliseconds(kWaitMs));
    stream_ = std::move(tls);
    return tlsOutcome.Usable();
}

void TestClient::Close() {
    stream_.reset();
    pending_.clear();
}

bool TestClient::SendRaw(std::span<const std::uint8_t> bytes) {
    return stream_ != nullptr && stream_->SendAll(bytes.data(), bytes.size());
}

bool TestClient::SendFrame(std::uint8_t channel, std::span<const std::uint8_t> data) {
    std::vector<std::uint8_t> frame;
    if (!BuildFrame(frame, channel, ++lastSequence, {}, data)) return false;
    return SendRaw(frame);
}

bool TestClient::SendSnac(std::uint16_t family, std::uint16_t subtype, std::uint32_t requestId,
                          const PacketBuffer& payload) {
    std::vector<std::uint8_t> frame;
    if (!BuildSnacFrame(frame, ++lastSequence, {family, subtype, 0, requestId}, payload)) return false;
    return SendRaw(frame);
}

std::optional<Frame> TestClient::ReadFrame(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (pending_.size() >= kFlapHeaderSize) {
            FlapHeader header;
            std::memcpy(&header, pending_.data(), kFlapHeaderSize);
            ConvertByteOrder(header);
            if (header.marker != kFlapMarker) {
                ADD_FAILURE() << "frame without the 0x2A marker from the server";
                return std::nullopt;
            }
            if (pending_.size() >= kFlapHeaderSize + header.length) {
                Frame frame;
                frame.channel = header.channel;
                frame.sequence = header.sequence;
                frame.data.assign(pending_.begin() + kFlapHeaderSize,
                                  pending_.begin() + kFlapHeaderSize + header.length);
                pending_.erase(pending_.begin(), pending_.begin() + kFlapHeaderSize + header.length);
                receivedSequences.push_back(frame.sequence);
                return frame;
            }
        }
        if (stream_ == nullptr) return std::nullopt;
        int left = MsLeft(deadline);
        if (left == 0 || !stream_->WaitReadable(left)) return std::nullopt;
        std::uint8_t chunk[4096];
        long n = stream_->ReceiveSome(chunk, sizeof chunk);
        if (n <= 0) return std::nullopt;
        pending_.insert(pending_.end(), chunk, chunk + n);
    }
}

std::optional<Snac> TestClient::ReadSnac(int timeoutMs) {
    std::optional<Frame> frame = ReadFrame(timeoutMs);
    if (!frame || frame->channel != kChannelSnac) return std::nullopt;
    PacketReader reader(frame->data);
    Snac snac;
    if (!ReadSnacHeader(reader, snac.header)) return std::nullopt;
    snac.data.assign(frame->data.begin() + kSnacHeaderSize, frame->data.end());
    return snac;
}

std::optional<Snac> TestClient::WaitSnac(std::uint16_t family, std::uint16_t subtype, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        std::optional<Frame> frame = ReadFrame(MsLeft(deadline));
        if (!frame) return std::nullopt;
        if (frame->channel != kChannelSnac) continue;
        PacketReader reader(frame->data);
        Snac snac;
        if (!ReadSnacHeader(reader, snac.header)) continue;
        if (snac.header.family != family || snac.header.subtype != subtype) continue;
        snac.data.assign(frame->data.begin() + kSnacHeaderSize, frame->data.end());
        return snac;
    }
}

bool TestClient::WaitClosed(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    pending_.clear();
    if (stream_ == nullptr) return true;
    for (;;) {
        int left = MsLeft(deadline);
        if (left == 0 || !stream_->WaitReadable(left)) return false;
        std::uint8_t chunk[4096];
        long n = stream_->ReceiveSome(chunk, sizeof chunk);
        if (n <= 0) return true;
    }
}

bool TestClient::QuietFor(int ms) {
    if (!pending_.empty()) return false;
    return stream_ == nullptr || !stream_->WaitReadable(ms);
}

// --- builders ---------------------------------------------------------------

namespace {

// The client-identity TLVs both logins send after the password or its hash.
void AppendClientIdentity(PacketBuffer& p) {
    AppendTlv(p, 0x0003, 8, "ICQBasic");
    const std::uint8_t clientId[2] = {0x01, 0x0A};
    AppendTlv(p, 0x0016, 2, clientId);
    AppendTlv(p, 0x000F, 2, "en");
    AppendTlv(p, 0x000E, 2, "us");
}

}  // namespace

PacketBuffer LoginPayload(const std::string& uin, const std::string& password) {
    PacketBuffer p;
    AppendU32(p, 1);
    AppendTlv(p, 0x0001, uin.size(), uin.data());
    std::string roasted = RoastPassword(password);
    AppendTlv(p, 0x0002, roasted.size(), roasted.data());
    AppendClientIdentity(p);
    return p;
}

PacketBuffer Md5KeyRequestPayload(const std::string& uin) {
    PacketBuffer p;
    AppendTlv(p, 0x0001, uin.size(), uin.data());
    AppendTlv(p, 0x004B, 0, nullptr);
    AppendTlv(p, 0x005A, 0, nullptr);
    return p;
}

std::string Md5LoginHash(const std::string& key, const std::string& password, LoginKind kind) {
    std::string secret = password;
    if (kind == LoginKind::Md5) {
        const platform::Md5Digest digest = platform::Md5(password);
        secret.assign(digest.begin(), digest.end());
    }
    const platform::Md5Digest hash = platform::Md5(key + secret + "AOL Instant Messenger (SM)");
    return std::string(hash.begin(), hash.end());
}

PacketBuffer Md5LoginPayload(const std::string& uin, const std::string& hash, LoginKind kind) {
    PacketBuffer p;
    AppendTlv(p, 0x0001, uin.size(), uin.data());
    AppendTlv(p, 0x0025, hash.size(), hash.data());
    if (kind == LoginKind::Md5) AppendTlv(p, 0x004C, 0, nullptr);
    AppendClientIdentity(p);
    return p;
}

PacketBuffer CookiePayload(const std::string& cookie) {
    PacketBuffer p;
    AppendU32(p, 1);
    AppendTlv(p, 0x0006, cookie.size(), cookie.data());
    return p;
}

std::vector<std::uint8_t> MessageBlock(const std::string& text, std::uint16_t charset) {
    PacketBuffer b;
    const std::uint8_t capabilities[5] = {0x05, 0x01, 0x00, 0x01, 0x01};
    AppendBytes(b, capabilities, sizeof capabilities);
    AppendU8(b, 0x01);
    AppendU8(b, 0x01);
    AppendU16(b, static_cast<std::uint16_t>(text.size() + 4));
    AppendU16(b, charset);
    AppendU16(b, 0xFFFF);
    AppendBytes(b, text.data(), text.size());
    return {b.Bytes().begin(), b.Bytes().end()};
}

PacketBuffer MessagePayload(const std::string& toUin, const std::string& text, std::uint16_t charset) {
    return MessagePayload(toUin, MessageBlock(text, charset));
}

PacketBuffer MessagePayload(const std::string& toUin, const std::vector<std::uint8_t>& block) {
    PacketBuffer p;
    const std::uint8_t cookie[8] = {0x67, 0xC3, 0x15, 0x01, 0x3D, 0x3A, 0x00, 0x00};
    AppendBytes(p, cookie, sizeof cookie);
    AppendU16(p, 0x0001);
    AppendString8(p, toUin);
    AppendTlv(p, 0x0002, block.size(), block.data());
    AppendTlv(p, 0x0006, 0, nullptr);
    return p;
}

namespace {
// The head of a meta request with `extra` bytes of request data to follow.
PacketBuffer MetaHead(std::uint32_t ownUin, std::uint16_t type, std::uint16_t sequence, std::uint16_t extra) {
    PacketBuffer p;
    AppendU16(p, 0x0001);
    AppendU16(p, static_cast<std::uint16_t>(10 + extra));
    AppendU16Le(p, static_cast<std::uint16_t>(8 + extra));
    AppendU32Le(p, ownUin);
    AppendU16Le(p, type);
    AppendU16Le(p, sequence);
    return p;
}
}  // namespace

PacketBuffer MetaPayload(std::uint32_t ownUin, std::uint16_t type, std::uint16_t sequence) {
    return MetaHead(ownUin, type, sequence, 0);
}

PacketBuffer InfoPayload(std::uint32_t ownUin, std::uint16_t sequence, std::uint16_t subtype,
                         const PacketBuffer& data) {
    PacketBuffer p = MetaHead(ownUin, 0x07D0, sequence, static_cast<std::uint16_t>(2 + data.Length()));
    AppendU16Le(p, subtype);
    AppendBytes(p, data.Data(), data.Length());
    return p;
}

PacketBuffer ShortInfoPayload(std::uint32_t ownUin, std::uint16_t sequence, std::uint32_t target) {
    PacketBuffer uin;
    AppendU32Le(uin, target);
    return InfoPayload(ownUin, sequence, 0x04BA, uin);
}

void AppendMetaString(PacketBuffer& p, const std::string& text) {
    AppendU16Le(p, static_cast<std::uint16_t>(text.size() + 1));
    AppendBytes(p, text.data(), text.size());
    AppendU8(p, 0);
}

namespace {
const std::uint8_t kAutoCookie[8] = {0x41, 0x55, 0x54, 0x4F, 0x00, 0x00, 0x00, 0x01};

// Extension data of a channel-2 message: two chunks behind their little-endian
// lengths (protocol version 8, no plugin, the rest zeros), the message type,
// flags, status, priority and the text.
PacketBuffer Extension(std::uint8_t type, const std::string& text) {
    std::uint8_t chunks[2 + 0x1B + 2 + 0x0E] = {0x1B, 0x00, 0x08};
    chunks[2 + 0x1B] = 0x0E;
    const std::uint8_t head[6] = {type, 0x03, 0x01, 0x00, 0x01, 0x00};
    PacketBuffer p;
    AppendBytes(p, chunks, sizeof chunks);
    AppendBytes(p, head, sizeof head);
    AppendMetaString(p, text);
    return p;
}

void AppendChannel2Head(PacketBuffer& p, const std::string& uin) {
    AppendBytes(p, kAutoCookie, sizeof kAutoCookie);
    AppendU16(p, 0x0002);
    AppendU8(p, static_cast<std::uint8_t>(uin.size()));
    AppendBytes(p, uin.data(), uin.size());
}
}  // namespace

PacketBuffer AutoMessageRequestPayload(const std::string& toUin, std::uint8_t type) {
    static const std::uint8_t kServerRelay[16] = {0x09, 0x46, 0x13, 0x49, 0x4C, 0x7F, 0x11, 0xD1,
                                                  0x82, 0x22, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00};
    PacketBuffer rendezvous;
    AppendU16(rendezvous, 0);  // a request
    AppendBytes(rendezvous, kAutoCookie, sizeof kAutoCookie);
    AppendBytes(rendezvous, kServerRelay, sizeof kServerRelay);
    const std::uint8_t one[2] = {0x00, 0x01};
    AppendTlv(rendezvous, 0x000A, 2, one);
    AppendTlv(rendezvous, 0x000F, 0, nullptr);
    PacketBuffer extension = Extension(type, "");
    AppendTlv(rendezvous, 0x2711, extension.Length(), extension.Data());
    PacketBuffer p;
    AppendChannel2Head(p, toUin);
    AppendTlv(p, 0x0005, rendezvous.Length(), rendezvous.Data());
    AppendTlv(p, 0x0003, 0, nullptr);
    return p;
}

PacketBuffer AutoResponsePayload(const std::string& askerUin, std::uint8_t type, const std::string& text) {
    PacketBuffer p;
    AppendChannel2Head(p, askerUin);
    AppendU16(p, 0x0003);  // channel-specific answer
    PacketBuffer extension = Extension(type, text);
    AppendBytes(p, extension.Data(), extension.Length());
    return p;
}

PacketBuffer DeleteBuddyPayload(const std::string& uin) {
    PacketBuffer p;
    AppendItem(p, uin, 0, 0, 0, {});
    return p;
}

void AppendItem(PacketBuffer& p, const std::string& name, std::uint16_t group, std::uint16_t id,
                std::uint16_t type, const std::vector<std::uint8_t>& tlvs) {
    AppendU16(p, static_cast<std::uint16_t>(name.size()));
    AppendBytes(p, name.data(), name.size());
    AppendU16(p, group);
    AppendU16(p, id);
    AppendU16(p, type);
    AppendU16(p, static_cast<std::uint16_t>(tlvs.size()));
    AppendBytes(p, tlvs.data(), tlvs.size());
}

PacketBuffer StatusPayload(std::uint32_t status) {
    PacketBuffer p;
    AppendU16(p, 0x0006);
    AppendU16(p, 4);
    AppendU32(p, status);
    return p;
}

PacketBuffer AuthorizationPayload(const std::string& uin, const std::string& reason, std::optional<bool> granted) {
    PacketBuffer p;
    AppendString8(p, uin);
    if (granted) AppendU8(p, *granted ? 1 : 0);
    AppendU16(p, static_cast<std::uint16_t>(reason.size()));
    AppendBytes(p, reason.data(), reason.size());
    if (!granted) AppendU16(p, 0);
    return p;
}

PacketBuffer TypingPayload(const std::string& uin, std::uint16_t kind) {
    PacketBuffer p;
    for (int i = 0; i < 4; ++i) AppendU16(p, 0);  // cookie
    AppendU16(p, 0x0001);
    AppendString8(p, uin);
    AppendU16(p, kind);
    return p;
}

// --- parsers ------------------------------------------------------------------

bool ParseMetaReply(const Snac& snac, MetaReply& out) {
    PacketReader reader = snac.Reader();
    if (!ReadU16(reader, out.tlvType) || !ReadU16(reader, out.tlvLength) || !ReadU16Le(reader, out.chunk) ||
        !ReadU32Le(reader, out.owner) || !ReadU16Le(reader, out.type) || !ReadU16Le(reader, out.sequence)) {
        return false;
    }
    out.rest.assign(snac.data.begin() + reader.Position(), snac.data.end());
    return true;
}

bool ReadMetaString(PacketReader& reader, std::string& out) {
    if (!ReadString16(reader, out, /*littleEndianLength=*/true) || out.empty() || out.back() != '\0') return false;
    out.pop_back();
    return true;
}

// --- sign-on ------------------------------------------------------------------

LoginResult Login(std::uint16_t port, const std::string& uin, const std::string& password, LoginKind kind,
                  const std::string& tlsPin) {
    TestClient client;
    if (!(tlsPin.empty() ? client.Connect(port) : client.ConnectTls(port, tlsPin))) {
        ADD_FAILURE() << "cannot connect to the login port " << port << " " << client.tlsOutcome.reason;
        return {};
    }
    return Login(client, uin, password, kind);
}

LoginResult Login(TestClient& client, const std::string& uin, const std::string& password, LoginKind kind,
                  const std::optional<std::string>& keyUin) {
    constexpr std::uint32_t kKeyRequestId = 0x00AB0006, kLoginRequestId = 0x00AB0002;
    const std::vector<std::uint8_t> version = {0, 0, 0, 1};
    LoginResult result;
    std::optional<Frame> hello = client.ReadFrame();
    if (!hello || hello->channel != kChannelSignOn || hello->data != version) {
        ADD_FAILURE() << "no channel-1 hello with the version on the login port";
        return result;
    }
    // The reply: channel 4, or the SNAC 0x0017/0x0003 under the login's id.
    std::vector<std::uint8_t> head;
    if (kind == LoginKind::Roasted) {
        client.SendFrame(kChannelSignOn, LoginPayload(uin, password).Bytes());
    } else {
        client.SendFrame(kChannelSignOn, version);
        const std::string askFor = keyUin.value_or(uin);
        if (!askFor.empty()) {
            client.SendSnac(0x0017, 0x0006, kKeyRequestId, Md5KeyRequestPayload(askFor));
            // 0x0017/0x0007 under the request's id: a 2-byte length, then the key.
            std::optional<Snac> key = client.ReadSnac();
            if (!key || key->header.family != 0x0017 || key->header.subtype != 0x0007 ||
                key->header.requestId != kKeyRequestId || key->data.size() < 3 ||
                (key->data[0] << 8 | key->data[1]) != static_cast<int>(key->data.size() - 2)) {
                ADD_FAILURE() << "no key for the MD5 login";
                return result;
            }
            result.key.assign(key->data.begin() + 2, key->data.end());
        }
        client.SendSnac(0x0017, 0x0002, kLoginRequestId,
                        Md5LoginPayload(uin, Md5LoginHash(result.key, password, kind), kind));
        head = {0x00, 0x17, 0x00, 0x03, 0x00, 0x00, 0x00, 0xAB, 0x00, 0x02};
    }
    result.frame = client.ReadFrame();
    const std::uint8_t channel = head.empty() ? kChannelSignOff : kChannelSnac;
    if (!result.frame || result.frame->channel != channel || result.frame->data.size() < head.size() ||
        !std::equal(head.begin(), head.end(), result.frame->data.begin())) {
        ADD_FAILURE() << "no login reply";
        return result;
    }
    PacketReader reader(result.frame->data);
    EXPECT_TRUE(reader.Skip(head.size()) && ParseTlvs(reader, result.tlvs)) << "login reply TLVs do not parse";
    result.closedAfter = client.WaitClosed();
    return result;
}

std::unique_ptr<TestClient> SignOn(const OscarServer& server, const std::string& uin,
                                   const std::string& password, const SignOnOptions& options,
                                   std::vector<Snac>* offline) {
    const std::string pin = options.tls ? server.TlsFingerprint() : std::string();
    LoginResult login =
        Login(options.tls ? server.TlsPort() : server.AuthPort(), uin, password, options.login, pin);
    const TlvValue* cookie = FindTlv(login.tlvs, 0x0006);
    const TlvValue* address = FindTlv(login.tlvs, 0x0005);
    platform::HostPort messaging;
    if (!login.frame || cookie == nullptr || address == nullptr) {
        ADD_FAILURE() << "login of " << uin << " refused";
        return nullptr;
    }
    if (!platform::ParseHostPort(address->Text(), 0, messaging) || messaging.host != "127.0.0.1") {
        ADD_FAILURE() << "messaging address " << address->Text() << " is not on 127.0.0.1";
        return nullptr;
    }
    auto client = std::make_unique<TestClient>();
    if (!(options.tls ? client->ConnectTls(messaging.port, pin) : client->Connect(messaging.port))) {
        ADD_FAILURE() << "cannot connect to the messaging address " << address->Text();
        return nullptr;
    }
    std::optional<Frame> hello = client->ReadFrame();
    if (!hello || hello->channel != kChannelSignOn) {
        ADD_FAILURE() << "no hello on the messaging port";
        return nullptr;
    }
    client->SendFrame(kChannelSignOn, CookiePayload(cookie->Text()).Bytes());
    if (!client->WaitSnac(0x0001, 0x0003)) {
        ADD_FAILURE() << "no family list after the cookie";
        return nullptr;
    }
    if (!options.exchangeVersions) return client;
    PacketBuffer versions;
    for (std::uint16_t family : {0x0001, 0x0013, 0x0002, 0x0003, 0x0015, 0x0004}) {
        AppendU16(versions, family);
        AppendU16(versions, 1);
    }
    client->SendSnac(0x0001, 0x0017, 0x17, versions);
    if (!client->WaitSnac(0x0001, 0x0018)) {
        ADD_FAILURE() << "no versions reply";
        return nullptr;
    }
    client->SendSnac(0x0001, 0x001E, 0x1E, StatusPayload(0x00010000));
    if (!options.clientReady) return client;
    client->SendSnac(0x0001, 0x0002, 0x02);

    std::uint32_t own = static_cast<std::uint32_t>(std::stoul(uin));
    if (options.fetchOffline) {
        client->SendSnac(0x0015, 0x0002, 0x02, MetaPayload(own, 0x003C, 2));
        for (;;) {
            std::optional<Snac> reply = client->WaitSnac(0x0015, 0x0003);
            MetaReply meta;
            if (!reply || !ParseMetaReply(*reply, meta)) {
                ADD_FAILURE() << "offline messages did not end with 0x0042";
                return nullptr;
            }
            if (meta.type == 0x0042) break;
            if (offline) offline->push_back(*reply);
        }
        client->SendSnac(0x0015, 0x0002, 0x02, MetaPayload(own, 0x003E, 2));
    }
    if (options.loadContactList) {
        client->SendSnac(0x0013, 0x0004, 0x04);
        if (!client->WaitSnac(0x0013, 0x0006)) {
            ADD_FAILURE() << "no contact list";
            return nullptr;
        }
    }
    if (options.activate) client->SendSnac(0x0013, 0x0007, 0x07);
    return client;
}

}  // namespace pellox::server::test

namespace pellox::server::test {

std::vector<Snac> Drain(TestClient& client, const std::string& ownUin) {
    constexpr std::uint32_t kDrainRequest = 0x00D4A1;
    std::uint32_t own = static_cast<std::uint32_t>(std::stoul(ownUin));
    client.SendSnac(0x0015, 0x0002, kDrainRequest, ShortInfoPayload(own, 7, own));
    std::vector<Snac> before;
    for (;;) {
        std::optional<Snac> snac = client.ReadSnac();
        if (!snac) {
            ADD_FAILURE() << "no answer to the round trip";
            return before;
        }
        if (snac->header.family == 0x0015 && snac->header.requestId == kDrainRequest) return before;
        before.push_back(*snac);
    }
}

std::string PresenceUin(const Snac& snac) {
    PacketReader reader = snac.Reader();
    std::string uin;
    return ReadString8(reader, uin) ? uin : std::string();
}

std::optional<Snac> WaitPresence(TestClient& client, std::uint16_t subtype, const std::string& uin) {
    for (;;) {
        std::optional<Snac> snac = client.WaitSnac(0x0003, subtype);
        if (!snac || PresenceUin(*snac) == uin) return snac;
    }
}

}  // namespace pellox::server::test

namespace pellox::server::test {

TempDir::TempDir() {
    char pattern[] = "/tmp/pellox-server-test-XXXXXX";
    const char* made = mkdtemp(pattern);
    path_ = made ? made : "";
}

TempDir::~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

void TempDir::Write(const std::string& name, const std::string& bytes) const {
    std::ofstream(File(name), std::ios::binary) << bytes;
}

}  // namespace pellox::server::test
