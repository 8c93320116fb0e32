// Sign-on: the connect on the worker, the login exchange with the login server and
// the SNAC exchange with the messaging server up to client ready.
#include <algorithm>
#include <array>
#include <cstring>

#include "net/session_impl.h"
#include "net/text_encoding.h"
#include "platform/connection_manager.h"
#include "platform/tls_client.h"

namespace pellox {
namespace {

// Mapped to the destination network before every connect; only the mapping matters.
constexpr char kConnectionUrl[] = "http://login.icq.com/";

// XOR mask for the login password TLV.
constexpr std::array<std::uint8_t, 16> kRoastingTable = {
    0xF3, 0x26, 0x81, 0xC4, 0x39, 0x86, 0xDB, 0x92,
    0x71, 0xA3, 0xB9, 0xE6, 0x53, 0x7A, 0x95, 0x7C,
};

constexpr TlvHeader kFamilyVersions[] = {
    {0x0001, 1}, {0x0013, 1}, {0x0002, 1}, {0x0003, 1}, {0x0015, 1},
    {0x0004, 1}, {0x0006, 1}, {0x0009, 1}, {0x000A, 1}, {0x000B, 1},
};

constexpr ClientReadyEntry kClientReady[] = {
    {0x0001, 3, 0x0110, 0x047B}, {0x0013, 2, 0x0110, 0x047B}, {0x0002, 1, 0x0101, 0x047B},
    {0x0003, 1, 0x0110, 0x047B}, {0x0015, 1, 0x0110, 0x047B}, {0x0004, 1, 0x0110, 0x047B},
    {0x0006, 1, 0x0110, 0x047B}, {0x0009, 1, 0x0110, 0x047B}, {0x000A, 1, 0x0110, 0x047B},
    {0x000B, 1, 0x0110, 0x047B},
};

bool AppendTlvU16(PacketBuffer& buffer, std::uint16_t type, std::uint16_t value) {
    const std::uint8_t be[2] = {static_cast<std::uint8_t>(value >> 8),
                                static_cast<std::uint8_t>(value & 0xFF)};
    return AppendTlv(buffer, type, 2, be);
}

// Who is signing on, as both logins send it behind the password.
void AppendClientIdentity(PacketBuffer& tlvs) {
    AppendTlv(tlvs, 0x0003, 8, "ICQBasic");
    AppendTlvU16(tlvs, 0x0016, 0x010A);  // client id
    AppendTlvU16(tlvs, 0x0017, 0x0014);  // major version
    AppendTlvU16(tlvs, 0x0018, 0x0034);  // minor version
    AppendTlvU16(tlvs, 0x0019, 0x0000);  // lesser version
    AppendTlvU16(tlvs, 0x001A, 0x0C18);  // build number
    const std::uint8_t distribution[4] = {0x00, 0x00, 0x04, 0x3D};
    AppendTlv(tlvs, 0x0014, 4, distribution);
    AppendTlv(tlvs, 0x000F, 2, "en");
    AppendTlv(tlvs, 0x000E, 2, "us");
}

// What the MD5 login's hash ends with.
constexpr std::string_view kMd5LoginSuffix = "AOL Instant Messenger (SM)";

// Host names compare without regard to the case of their letters.
bool SameHost(const std::string& a, const std::string& b) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                               [&](char x, char y) { return lower(x) == lower(y); });
}

}  // namespace

platform::Md5Digest Md5LoginHash(std::string_view key, std::string_view password) {
    const platform::Md5Digest inner = platform::Md5(CutAtZero(password));
    std::string input(key);
    input.append(reinterpret_cast<const char*>(inner.data()), inner.size());
    input.append(kMd5LoginSuffix);
    return platform::Md5(input);
}

bool AppendRoastedTlv(PacketBuffer& buffer, std::uint16_t type, std::string_view password) {
    password = CutAtZero(password);
    std::string roasted(password.size(), '\0');
    for (std::size_t i = 0; i < password.size(); ++i) {
        roasted[i] = static_cast<char>(static_cast<std::uint8_t>(password[i]) ^
                                       kRoastingTable[i % kRoastingTable.size()]);
    }
    return AppendTlv(buffer, type, roasted.size(), roasted.data());
}

bool ResolveAddress(const std::string& text, bool nameLookup, platform::Ipv4Endpoint& endpoint) {
    std::string host = text;
    std::uint16_t port = kDefaultPort;
    const std::size_t colon = text.rfind(':');
    if (colon != std::string::npos && colon > 0) {
        const char* cursor = text.c_str() + colon + 1;
        port = static_cast<std::uint16_t>(ParseDecimal(cursor));
        host = text.substr(0, colon);
    }
    std::uint32_t address = 0;
    if (nameLookup) {
        if (!platform::LookupHost(host, address)) return false;
    } else {
        // Four numbers; after each of the first three some separator must follow.
        const char* cursor = host.c_str();
        for (int i = 0; i < 4; ++i) {
            const auto part = static_cast<std::uint32_t>(ParseDecimal(cursor));
            address = (address << 8) | (part & 0xFF);
            if (i < 3) {
                if (*cursor == '\0') return false;
                ++cursor;
            }
        }
    }
    endpoint.address = address;
    endpoint.port = port;
    return true;
}

bool SessionImpl::ConnectToLoginServerForTesting(std::u16string_view server,
                                                 std::u16string_view uinText,
                                                 std::u16string_view passwordText) {
    ConnectTarget target;
    target.server = server;
    target.uin = uinText;
    target.password = passwordText;
    return ConnectToLoginServer(target, CurrentGeneration());
}

bool SessionImpl::ConnectToLoginServer(const ConnectTarget& target, Generation generation) {
    bytesReceived_.store(0);
    bytesSent_.store(0);
    loginRefusal_.store(0);
    loginRefused_.store(false);
    const std::string serverText = NarrowFromWide(target.server);
    {
        std::lock_guard<std::mutex> guard(connectionLock_);
        bosAddress_.clear();
        uin_ = NarrowFromWide(target.uin);
        password_ = NarrowFromWide(target.password);
        cookie_.clear();
        signOn_ = SignOnPlan{target.md5Login, target.tls, target.tls ? target.tlsPin : std::string(),
                             ServerIdentity(serverText, target.tls), {}, false};
    }
    {
        std::lock_guard<std::mutex> guard(infoLock_);
        infoRequests_.clear();
    }

    platform::ConnectionRequest request;
    platform::MapUrlToNetwork(kConnectionUrl, request.destination);
    if (!platform::EstablishConnection(request, platform::kEstablishTimeoutMs)) return false;

    bool open;
    {
        std::lock_guard<std::mutex> guard(connectionLock_);
        open = connection_ != nullptr;
    }
    if (open) {
        CloseSession();
        ++generation;  // our own close
    }
    JoinRetiredThreads();

    auto link = std::make_shared<Link>();
    {
        // Current from here on, so that CloseSession can interrupt the connect;
        // unless the user closed the session while this connect was getting ready.
        std::lock_guard<std::mutex> guard(connectionLock_);
        if (generation_ != generation) return false;
        connection_ = link;
    }
    ReportState(CurrentConnection(), ConnState::ConnectingLoginServer);

    ServerAddress server;
    if (!ResolveLoginServer(serverText, target.tls, server)) return false;
    std::string pin, identity;
    {
        std::lock_guard<std::mutex> guard(connectionLock_);
        pin = signOn_.tlsPin;
        identity = signOn_.identity;
    }
    platform::Endpoint reached;
    if (!OpenStream(*link, server, target.tls, pin, identity, true, &reached)) return false;
    {
        std::lock_guard<std::mutex> guard(connectionLock_);
        if (connection_ != link) return false;  // closed while connecting
        // The address that answered goes first, should the messaging server be
        // reached through the login server's host.
        std::erase(server.addresses, reached.address);
        server.addresses.insert(server.addresses.begin(), reached.address);
        signOn_.login = std::move(server);
        signOn_.loginLocal =
            platform::IsLoopbackOrUnspecified(reached) && !loginRemoteForTesting_.load();
    }
    StartReceiveThread(link);
    return true;
}

bool SessionImpl::OpenStream(Link& link, const ServerAddress& server, bool tls,
                             const std::string& pin, const std::string& identity, bool canPin,
                             platform::Endpoint* reached) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(signOnTimeoutMs_.load());
    platform::Endpoint endpoint;
    const platform::SocketHandle fd =
        platform::ConnectFirst(server.addresses, server.port, deadline, &link.canceller, &endpoint);
    if (fd == platform::kNoSocket) return false;
    if (reached != nullptr) *reached = endpoint;
    if (!tls) {
        link.Publish(std::make_unique<platform::SocketStream>(fd));
        return !link.IsShutDown();
    }
    std::string missing;
    std::unique_ptr<platform::Stream> stream =
        platform::StartTlsClient(fd, platform::TlsClientOptions{server.host, pin, {}}, missing);
    platform::TlsOutcome outcome;
    if (stream != nullptr) {
        platform::Stream& handshake = *stream;
        // Published before the handshake, so that a close breaks it off.
        link.Publish(std::move(stream));
        outcome = platform::ConnectTlsClient(handshake, deadline);
        if (outcome.Usable()) return !link.IsShutDown();
    } else {
        outcome.reason = missing;  // Failed: no TLS code to speak it with
    }

    CertificateProblem problem{outcome.verdict == platform::TlsVerdict::PinMismatch, identity,
                               outcome.fingerprint, outcome.pinned, canPin};
    const bool certificate = outcome.verdict == platform::TlsVerdict::Untrusted ||
                             outcome.verdict == platform::TlsVerdict::PinMismatch;
    {
        std::lock_guard<std::mutex> guard(connectionLock_);
        // A close broke the handshake off, or a newer connection took over.
        if (link.IsShutDown() || connection_.get() != &link) return false;
        // Stored before the connection's end is reported, as a login refusal is.
        loginRefusal_.store(!certificate ? kRefusalTlsFailed
                            : problem.changed ? kRefusalCertificateChanged
                                              : kRefusalCertificateUntrusted);
        // Only the user's answer connects again.
        if (certificate) loginRefused_.store(true);
    }
    if (certificate) delegate_.OnCertificateProblem(problem);
    return false;
}

bool SessionImpl::SendLogin(Connection& connection, PacketReader& hello) {
    connection.ReportState(ConnState::CheckingPassword);
    std::uint32_t version;
    if (!ReadU32(hello, version)) return false;
    std::string screenName;
    std::string secret;
    {
        std::lock_guard<std::mutex> guard(connectionLock_);
        screenName = uin_;
        secret = password_;
    }
    PacketBuffer tlvs;
    AppendTlv(tlvs, 0x0001, screenName.size(), screenName.data());
    AppendRoastedTlv(tlvs, 0x0002, secret);
    AppendClientIdentity(tlvs);
    Connection::FrameLayout layout;
    layout.channel = kChannelSignOn;
    layout.signOnVersion = true;
    return connection.SendFrame(layout, tlvs);
}

bool SessionImpl::SendChallengeRequest(Connection& connection, PacketReader& hello) {
    connection.ReportState(ConnState::CheckingPassword);
    std::uint32_t version;
    if (!ReadU32(hello, version)) return false;
    const std::string screenName = Uin();
    Connection::FrameLayout layout;
    layout.channel = kChannelSignOn;
    layout.signOnVersion = true;
    if (!connection.SendFrame(layout, PacketBuffer{})) return false;
    PacketBuffer tlvs;
    AppendTlv(tlvs, 0x0001, screenName.size(), screenName.data());
    return connection.SendSnac(0x0017, 0x0006, 0x00000006, tlvs);
}

bool SessionImpl::SendMd5Login(Connection& connection, PacketReader& challenge) {
    std::string key;
    if (!ReadString16(challenge, key)) return false;
    std::string screenName;
    std::string secret;
    {
        std::lock_guard<std::mutex> guard(connectionLock_);
        screenName = uin_;
        secret = password_;
    }
    const platform::Md5Digest hash = Md5LoginHash(key, secret);
    PacketBuffer tlvs;
    AppendTlv(tlvs, 0x0001, screenName.size(), screenName.data());
    AppendTlv(tlvs, 0x0025, hash.size(), hash.data());
    AppendTlv(tlvs, 0x004C, 0, nullptr);  // the hash is of the password's MD5
    AppendClientIdentity(tlvs);
    return connection.SendSnac(0x0017, 0x0002, 0x00000002, tlvs);
}

void SessionImpl::RefuseLogin(const Connection& connection, std::uint16_t code) {
    std::lock_guard<std::mutex> guard(connectionLock_);
    if (IsStale(connection)) return;
    // An error without a code still refuses: the status line's general text.
    loginRefusal_.store(code != 0 ? code : 0xFFFF);
    loginRefused_.store(true);
}

bool SessionImpl::ParseLoginReply(Connection& connection, PacketReader& reply) {
    std::string newUin;
    std::string newAddress;
    std::vector<std::uint8_t> newCookie;
    bool haveUin = false;
    bool haveAddress = false;
    bool haveCookie = false;
    std::uint16_t refusal = 0;
    bool ok = true;
    while (ok && !reply.AtEnd()) {
        TlvHeader tlv;
        if (!ReadRecord(reply, tlv)) {
            ok = false;
            break;
        }
        switch (tlv.type) {
            case 0x0001:
                ok = haveUin = ReadTlvString(reply, tlv, newUin);
                break;
            case 0x0005:
                ok = haveAddress = ReadTlvString(reply, tlv, newAddress);
                break;
            case 0x0006:
                newCookie.resize(tlv.length);
                ok = haveCookie = ReadBytes(reply, newCookie.data(), newCookie.size());
                break;
            case 0x0008:  // the login was refused: the reason
                ok = tlv.length >= 2 && ReadU16(reply, refusal) && reply.Skip(tlv.length - 2u);
                break;
            default:  // the error URL and anything else: skipped unread
                ok = reply.Skip(tlv.length);
                break;
        }
    }
    std::lock_guard<std::mutex> guard(connectionLock_);
    if (IsStale(connection)) return false;
    // Stored before the reply's end is reported, so that whoever reads the
    // ConnectionError finds the reason with it.
    if (refusal != 0) loginRefusal_.store(refusal);
    if (!ok) {
        cookie_.clear();
        // A reason followed by a broken record is still a refusal: never retried.
        loginRefused_.store(refusal != 0);
        return false;
    }
    if (haveUin) uin_ = std::move(newUin);
    if (haveAddress) bosAddress_ = std::move(newAddress);
    if (haveCookie) cookie_ = std::move(newCookie);
    // No messaging server or no cookie: the server said no. Set here, under the
    // lock and after the stale check, so that an old receive thread cannot mark a
    // newer connection as refused.
    loginRefused_.store(bosAddress_.empty() || cookie_.empty());
    return true;
}

bool SessionImpl::ConnectToMessagingServer(Connection& connection) {
    if (!connection.receiver_) return false;  // only the receive thread moves on
    std::string address;
    SignOnPlan plan;
    {
        std::lock_guard<std::mutex> guard(connectionLock_);
        if (IsStale(connection)) return false;
        if (bosAddress_.empty() || uin_.empty() || cookie_.empty()) return false;
        address = bosAddress_;
        plan = signOn_;
    }
    auto link = std::make_shared<Link>();
    std::shared_ptr<Link> loginLink;
    {
        std::lock_guard<std::mutex> guard(connectionLock_);
        if (IsStale(connection)) return false;
        // The login-server connection goes; the new one is current at once so
        // that CloseSession can interrupt its connect.
        loginLink = std::move(connection.link_);
        connection_ = link;
        connection.link_ = link;
    }
    if (loginLink) loginLink->Shutdown();
    loginLink.reset();

    ServerAddress server;
    bool replaced = false;
    if (!ResolveMessagingServer(address, plan.tls, plan.login, plan.loginLocal, server, replaced))
        return false;
    {
        // A name lookup may take a while: a close meanwhile stops the connect.
        std::lock_guard<std::mutex> guard(connectionLock_);
        if (IsStale(connection)) return false;
    }
    // The pin covers the login server's host; a messaging server elsewhere must
    // be vouched for by the trust store.
    const bool loginHost = replaced || SameHost(server.host, plan.login.host);
    return OpenStream(*link, server, plan.tls, loginHost ? plan.tlsPin : std::string(),
                      plan.identity, loginHost);
}

bool SessionImpl::OpenServiceStream(Link& link, const std::string& address) {
    SignOnPlan plan;
    {
        std::lock_guard<std::mutex> guard(connectionLock_);
        if (signOn_.login.addresses.empty()) return false;
        plan = signOn_;
    }
    ServerAddress server;
    bool replaced = false;
    if (!ResolveMessagingServer(address, plan.tls, plan.login, plan.loginLocal, server, replaced))
        return false;
    const bool loginHost = replaced || SameHost(server.host, plan.login.host);
    return OpenStream(link, server, plan.tls, loginHost ? plan.tlsPin : std::string(),
                      plan.identity, false);
}

bool SessionImpl::SendCookie(Connection& connection, PacketReader& hello) {
    const std::vector<std::uint8_t> authorization = Cookie();
    if (authorization.empty()) return false;
    std::uint32_t version;
    if (!ReadU32(hello, version)) return false;
    PacketBuffer tlvs;
    AppendTlv(tlvs, 0x0006, authorization.size(), authorization.data());
    Connection::FrameLayout layout;
    layout.channel = kChannelSignOn;
    layout.signOnVersion = true;
    return connection.SendFrame(layout, tlvs);
}

bool SessionImpl::SendFamilyVersions(Connection& connection) {
    PacketBuffer data;
    for (const TlvHeader& pair : kFamilyVersions) AppendRecord(data, pair);
    return connection.SendSnac(0x0001, 0x0017, 0x00000017, data);
}

bool Connection::SendStatus(std::uint16_t status) {
    PacketBuffer data;
    AppendRecord(data, TlvHeader{0x0006, 4});
    AppendU16(data, kOwnStatusFlags);
    AppendU16(data, status);
    return SendSnac(0x0001, 0x001E, 0x0000001E, data);
}

bool SessionImpl::SendInitialStatus(Connection& connection) {
    if (!connection.SendStatus(OwnStatus())) return false;
    if (!SendClientReady(connection)) return false;
    connection.ReportState(ConnState::Online);
    connection.ReportState(ConnState::LoadingOfflineMessages);
    (void)connection.SendMetaRequest(60);
    return true;
}

bool SessionImpl::SendClientReady(Connection& connection) {
    PacketBuffer data;
    for (const ClientReadyEntry& entry : kClientReady) AppendRecord(data, entry);
    return connection.SendSnac(0x0001, 0x0002, 0x00000002, data);
}

bool Connection::SendMetaRequest(std::uint16_t requestType) {
    const std::string own = OwnUin();
    const char* cursor = own.c_str();
    const auto ownUin = static_cast<std::uint32_t>(ParseDecimal(cursor));
    PacketBuffer data;
    AppendRecord(data, TlvHeader{0x0001, 10});
    AppendU16Le(data, 8);  // bytes that follow
    AppendU32Le(data, ownUin);
    AppendU16Le(data, requestType);
    AppendU8(data, 0x00);
    AppendU8(data, 0x02);
    return SendSnac(0x0015, 0x0002, 0x00000002, data);
}

}  // namespace pellox
