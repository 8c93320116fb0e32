#include "tools/oscar_server.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <span>
#include <thread>
#include <vector>

#include "net/codec.h"
#include "platform/code_page.h"
#include "platform/local_time.h"
#include "platform/socket.h"
#include "platform/thread.h"
#include "tools/connection.h"
#include "tools/offline_store.h"

namespace pellox::server {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint8_t kRoastTable[16] = {0xF3, 0x26, 0x81, 0xC4, 0x39, 0x86, 0xDB, 0x92,
                                          0x71, 0xA3, 0xB9, 0xE6, 0x53, 0x7A, 0x95, 0x7C};

constexpr std::size_t kCookieBytes = 256;
constexpr std::size_t kMaxCookies = 1024;
constexpr std::uint16_t kUserClassIcq = 0x0050;
constexpr std::size_t kMaxDeleteItems = 1000;
// SNAC data of one contact list reply: what one frame holds beside the SNAC header.
constexpr std::size_t kMaxListReplyData = kMaxFlapData - kSnacHeaderSize;

// Families served on the messaging port, with their versions.
struct FamilyVersion {
    std::uint16_t family;
    std::uint16_t version;
};
constexpr FamilyVersion kFamilies[] = {
    {0x0001, 4}, {0x0002, 1}, {0x0003, 1}, {0x0004, 1}, {0x0013, 4}, {0x0015, 1},
};

// Group of the server contact list that holds every buddy: "Общие" in Windows-1251.
constexpr char kGroupName[] = "\xCE\xE1\xF9\xE8\xE5";
constexpr std::uint16_t kGroupId = 1;

// Login refusals (TLV 0x0008) and message errors (SNAC 0x0004/0x0001).
constexpr std::uint16_t kLoginUnknownUin = 0x0001;
constexpr std::uint16_t kLoginWrongPassword = 0x0005;
constexpr char kLoginErrorUrl[] = "http://127.0.0.1/pellox-server/login-refused";
constexpr std::uint16_t kMessageErrorRate = 0x0002;
constexpr std::uint16_t kMessageErrorNotAvailable = 0x0004;
constexpr std::uint16_t kMessageErrorBadFormat = 0x000E;

// Meta request and reply types (little-endian inside family 0x0015).
constexpr std::uint16_t kMetaOfflineRequest = 0x003C;
constexpr std::uint16_t kMetaOfflineAck = 0x003E;
constexpr std::uint16_t kMetaOfflineMessage = 0x0041;
constexpr std::uint16_t kMetaOfflineEnd = 0x0042;
constexpr std::uint16_t kMetaInfoRequest = 0x07D0;
constexpr std::uint16_t kMetaInfoReply = 0x07DA;
constexpr std::uint16_t kInfoShortRequest = 0x04BA;
constexpr std::uint16_t kInfoShortReply = 0x0104;
constexpr std::uint8_t kInfoFound = 0x0A;
constexpr std::uint8_t kInfoNotFound = 0x32;

struct Tlv {
    std::uint16_t type = 0;
    std::span<const std::uint8_t> value;
};

// Reads TLVs up to the end of the reader; false when one is cut short.
bool ReadTlvList(PacketReader& reader, std::vector<Tlv>& out) {
    while (!reader.AtEnd()) {
        TlvHeader header;
        if (!ReadRecord(reader, header)) return false;
        const std::uint8_t* value = reader.Data() + reader.Position();
        if (!reader.Skip(header.length)) return false;
        out.push_back({header.type, {value, header.length}});
    }
    return true;
}

const Tlv* FindTlv(const std::vector<Tlv>& tlvs, std::uint16_t type) {
    for (const Tlv& tlv : tlvs) {
        if (tlv.type == type) return &tlv;
    }
    return nullptr;
}

std::string TextOf(std::span<const std::uint8_t> bytes) {
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

bool AppendText(PacketBuffer& buffer, std::uint16_t type, const std::string& text) {
    return AppendTlv(buffer, type, text.size(), text.data());
}

bool AppendString8(PacketBuffer& buffer, const std::string& text) {
    return AppendU8(buffer, static_cast<std::uint8_t>(text.size())) &&
           AppendBytes(buffer, text.data(), text.size());
}

// Meta reply strings: little-endian length including the terminating zero.
bool AppendMetaString(PacketBuffer& buffer, const std::string& text) {
    return AppendU16Le(buffer, static_cast<std::uint16_t>(text.size() + 1)) &&
           AppendBytes(buffer, text.data(), text.size()) && AppendU8(buffer, 0);
}

// The head every meta reply opens with, then the type-specific data.
PacketBuffer MetaReply(Uin owner, std::uint16_t type, std::uint16_t sequence, const PacketBuffer& data) {
    const std::size_t inner = 4 + 2 + 2 + data.Length();  // the bytes behind the chunk size
    PacketBuffer p;
    AppendU16(p, 0x0001);
    AppendU16(p, static_cast<std::uint16_t>(2 + inner));
    AppendU16Le(p, static_cast<std::uint16_t>(inner));
    AppendU32Le(p, owner);
    AppendU16Le(p, type);
    AppendU16Le(p, sequence);
    AppendBytes(p, data.Data(), data.Length());
    return p;
}

// The text of the first text fragment of a channel-1 message block, in
// Windows-1251: UCS-2 text (character set 2) is narrowed, anything else is taken
// as it is. False when the block has no usable text fragment.
bool ExtractMessageText(std::span<const std::uint8_t> block, std::string& text) {
    PacketReader reader(block);
    while (!reader.AtEnd()) {
        std::uint8_t id = 0, version = 0;
        std::uint16_t length = 0;
        if (!ReadU8(reader, id) || !ReadU8(reader, version) || !ReadU16(reader, length)) return false;
        if (id != 0x01) {
            if (!reader.Skip(length)) return false;
            continue;
        }
        std::uint16_t charset = 0, subset = 0;
        if (length < 4 || !ReadU16(reader, charset) || !ReadU16(reader, subset)) return false;
        std::string bytes(length - 4u, '\0');
        if (!ReadBytes(reader, bytes.data(), bytes.size())) return false;
        if (charset == 0x0002) {
            std::u16string wide;
            for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
                wide += static_cast<char16_t>((static_cast<unsigned char>(bytes[i]) << 8) |
                                              static_cast<unsigned char>(bytes[i + 1]));
            }
            bytes = platform::WideToLocal(wide);
        }
        text = bytes.substr(0, bytes.find('\0'));
        return true;
    }
    return false;
}

std::string FormatAddress(std::uint32_t address, std::uint16_t port) {
    return platform::FormatEndpoint({address, port});
}

}  // namespace

std::string RoastPassword(const std::string& bytes) {
    std::string out = bytes;
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<char>(static_cast<std::uint8_t>(out[i]) ^ kRoastTable[i % 16]);
    }
    return out;
}

// ---------------------------------------------------------------------------

class OscarServer::Core {
public:
    ~Core() { Stop(); }

    bool Start(const ServerConfig& config, AccountStore accounts, std::string& error);
    void Stop();

    std::uint16_t authPort = 0;
    std::uint16_t bosPort = 0;
    std::uint32_t bindAddress = 0;

    std::size_t ConnectionCount() const {
        std::lock_guard<std::mutex> lock(lock_);
        return sessions_.size();
    }
    std::size_t StoredOfflineCount() const {
        std::lock_guard<std::mutex> lock(lock_);
        return offline_ ? offline_->Size() : 0;
    }

    void Log(const std::string& line) const;

private:
    struct Session final : Connection::Handler {
        Session(Core& owner, std::uint64_t sessionId, bool isBos, platform::SocketHandle socket,
                const Connection::Limits& limits)
            : core(owner), id(sessionId), bos(isBos), connection(socket, limits, *this) {}

        bool OnFrame(Connection&, std::uint8_t channel, std::span<const std::uint8_t> data) override {
            return core.HandleFrame(*this, channel, data);
        }
        void OnClosed(Connection&, const std::string& reason) override { core.HandleClosed(*this, reason); }

        // "#<id> bos <uin>". Built by appending: GCC 12 at -O3 reports a false
        // -Wrestrict for a chain of + that starts with a literal.
        std::string Label() const {
            std::string label = "#";
            label += std::to_string(id);
            label += bos ? " bos" : " auth";
            if (uin != 0) {
                label += ' ';
                label += UinText(uin);
            }
            return label;
        }

        Core& core;
        const std::uint64_t id;
        const bool bos;

        // Guarded by the server lock.
        bool signedOn = false;   // a valid cookie was shown
        bool replaced = false;   // a newer sign-on of the same UIN took over
        bool ready = false;      // client ready was received
        bool activated = false;  // the contact list was activated: presence flows to it
        Uin uin = 0;
        std::uint32_t status = 0;
        std::time_t onlineSince = 0;
        std::vector<std::uint64_t> deliveredOffline;  // ids sent after the last 0x003C
        double messageTokens = 0;
        Clock::time_point tokensRefilled;

        // Last, so that it is destroyed first: its threads are joined while the
        // fields above still exist.
        Connection connection;
    };

    struct CookieEntry {
        Uin uin = 0;
        Clock::time_point expires;
    };

    void AcceptLoop(platform::SocketHandle listener, bool bos);

    bool HandleFrame(Session& s, std::uint8_t channel, std::span<const std::uint8_t> data);
    void HandleClosed(Session& s, const std::string& reason);

    bool HandleLogin(Session& s, std::span<const std::uint8_t> data);
    bool HandleCookie(Session& s, std::span<const std::uint8_t> data);
    void SignOn(Session& s, Uin uin);
    void HandleSnac(Session& s, const SnacHeader& snac, PacketReader& reader);
    void HandleStatus(Session& s, PacketReader& reader);
    void HandleClientReady(Session& s);
    void HandleMessage(Session& s, const SnacHeader& snac, PacketReader& reader);
    void SendContactList(Session& s, std::uint32_t requestId);
    void HandleDeleteItems(Session& s, const SnacHeader& snac, PacketReader& reader);
    void HandleMeta(Session& s, const SnacHeader& snac, PacketReader& reader);
    void SendShortInfo(Session& s, std::uint32_t requestId, std::uint16_t sequence, Uin target);
    void DeliverOffline(Session& s, std::uint32_t requestId, std::uint16_t sequence);

    void SendMessageError(Session& s, std::uint32_t requestId, std::uint16_t code);
    PacketBuffer UserInfo(Uin uin) const;
    bool IsVisible(Uin uin) const;
    Session* OnlineSession(Uin uin) const;
    void NotifyArrival(Uin uin);
    void NotifyDeparture(Uin uin);
    bool TakeMessageToken(Session& s);
    std::string NewCookie();
    void ExpireCookies();
    std::uint32_t NextRequestId() { return ++requestCounter_; }
    std::vector<std::unique_ptr<Session>> TakeFinished();

    ServerConfig config_;

    mutable std::mutex lock_;  // the server lock: everything below
    AccountStore accounts_;
    std::unique_ptr<OfflineStore> offline_;
    std::map<std::string, CookieEntry> cookies_;
    std::vector<std::unique_ptr<Session>> sessions_;
    std::map<Uin, Session*> online_;      // the current signed-on session of each UIN
    std::set<Uin> announced_;             // UINs whose arrival watchers were told of
    std::map<Uin, std::uint32_t> listStamps_;
    std::random_device random_;
    std::uint64_t nextSessionId_ = 1;
    std::uint32_t requestCounter_ = 0;
    std::time_t startedAt_ = 0;
    bool running_ = false;
    bool stopping_ = false;

    platform::SocketHandle authListener_ = platform::kNoSocket;
    platform::SocketHandle bosListener_ = platform::kNoSocket;
    std::thread authAccept_;
    std::thread bosAccept_;

    mutable std::mutex logLock_;
};

void OscarServer::Core::Log(const std::string& line) const {
    if (!config_.verbose) return;
    std::lock_guard<std::mutex> lock(logLock_);
    std::fprintf(stderr, "pellox-server: %s\n", line.c_str());
    std::fflush(stderr);
}

bool OscarServer::Core::Start(const ServerConfig& config, AccountStore accounts, std::string& error) {
    {
        std::lock_guard<std::mutex> lock(lock_);
        if (running_) {
            error = "the server is already running";
            return false;
        }
    }
    config_ = config;
    auto offline = std::make_unique<OfflineStore>(config.offlineFile, config.maxOfflinePerUser);
    if (!offline->Load(error)) return false;
    if (!platform::StartSocketLibrary()) {
        error = "cannot start the socket library";
        return false;
    }

    platform::SocketHandle auth = platform::ListenTcp({config.bindAddress, config.authPort}, 64);
    if (auth == platform::kNoSocket) {
        error = "cannot listen on " + FormatAddress(config.bindAddress, config.authPort);
        return false;
    }
    platform::SocketHandle bos = platform::ListenTcp({config.bindAddress, config.bosPort}, 64);
    if (bos == platform::kNoSocket) {
        platform::CloseSocket(auth);
        error = "cannot listen on " + FormatAddress(config.bindAddress, config.bosPort);
        return false;
    }

    {
        std::lock_guard<std::mutex> lock(lock_);
        accounts_ = std::move(accounts);
        offline_ = std::move(offline);
        cookies_.clear();
        online_.clear();
        announced_.clear();
        listStamps_.clear();
        startedAt_ = platform::Now();
        authListener_ = auth;
        bosListener_ = bos;
        authPort = platform::BoundPort(auth);
        bosPort = platform::BoundPort(bos);
        bindAddress = config.bindAddress;
        stopping_ = false;
        running_ = true;
        Log("listening: auth " + FormatAddress(bindAddress, authPort) + ", bos " +
            FormatAddress(bindAddress, bosPort) + ", " + std::to_string(accounts_.Size()) + " accounts, " +
            std::to_string(offline_->Size()) + " stored offline messages");
    }
    authAccept_ = platform::StartThread(platform::ThreadPriority::Normal, [this, auth] { AcceptLoop(auth, false); });
    bosAccept_ = platform::StartThread(platform::ThreadPriority::Normal, [this, bos] { AcceptLoop(bos, true); });
    return true;
}

void OscarServer::Core::Stop() {
    {
        std::lock_guard<std::mutex> lock(lock_);
        if (!running_) return;
        stopping_ = true;
    }
    platform::ShutdownSocket(authListener_);
    platform::ShutdownSocket(bosListener_);
    if (authAccept_.joinable()) authAccept_.join();
    if (bosAccept_.joinable()) bosAccept_.join();
    platform::CloseSocket(authListener_);
    platform::CloseSocket(bosListener_);

    std::vector<std::unique_ptr<Session>> sessions;
    {
        std::lock_guard<std::mutex> lock(lock_);
        sessions.swap(sessions_);
        authListener_ = bosListener_ = platform::kNoSocket;
    }
    // Every session is aborted before any is destroyed: a closing session may still
    // look at the others while its reader finishes.
    for (auto& s : sessions) s->connection.Abort();
    for (auto& s : sessions) s->connection.Join();
    sessions.clear();

    std::lock_guard<std::mutex> lock(lock_);
    online_.clear();
    announced_.clear();
    cookies_.clear();
    running_ = false;
    Log("stopped");
}

std::vector<std::unique_ptr<OscarServer::Core::Session>> OscarServer::Core::TakeFinished() {
    std::vector<std::unique_ptr<Session>> finished;
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        if ((*it)->connection.Finished()) {
            finished.push_back(std::move(*it));
            it = sessions_.erase(it);
        } else {
            ++it;
        }
    }
    return finished;
}

void OscarServer::Core::AcceptLoop(platform::SocketHandle listener, bool bos) {
    for (;;) {
        platform::SocketHandle socket = platform::AcceptClient(listener);
        std::vector<std::unique_ptr<Session>> finished;  // destroyed outside the lock
        {
            std::lock_guard<std::mutex> lock(lock_);
            if (stopping_) {
                platform::CloseSocket(socket);
                return;
            }
            if (socket != platform::kNoSocket) {
                finished = TakeFinished();
                if (sessions_.size() >= config_.maxSessions) {
                    Log("refused a connection: " + std::to_string(sessions_.size()) + " sessions already");
                    platform::CloseSocket(socket);
                } else {
                    Connection::Limits limits;
                    limits.maxInboundFrame = config_.maxInboundFrame;
                    limits.maxQueuedOutput = config_.maxQueuedOutput;
                    limits.sendTimeoutMs = config_.sendTimeoutMs;
                    limits.idleTimeoutMs = config_.loginTimeoutMs;
                    auto session = std::make_unique<Session>(*this, nextSessionId_++, bos, socket, limits);
                    Log(session->Label() + " connected");
                    // The hello: channel 1 with the protocol version.
                    const std::uint8_t hello[4] = {0, 0, 0, 1};
                    session->connection.SendFrame(kChannelSignOn, hello);
                    session->connection.Start();
                    sessions_.push_back(std::move(session));
                }
                continue;
            }
        }
        // Accept failed without a stop (for example, out of descriptors): do not spin.
        platform::SleepMs(50);
    }
}

bool OscarServer::Core::HandleFrame(Session& s, std::uint8_t channel, std::span<const std::uint8_t> data) {
    std::lock_guard<std::mutex> lock(lock_);
    if (stopping_ || s.replaced) return false;
    if (channel == kChannelSignOff) {
        Log(s.Label() + " signed off");
        return false;
    }
    if (!s.bos) {
        if (channel == kChannelSignOn) return HandleLogin(s, data);
        if (channel == kChannelSnac) {
            Log(s.Label() + " SNAC on the authorization port, not supported");
            return false;
        }
        return true;  // keep-alive and anything else
    }
    if (!s.signedOn) {
        if (channel == kChannelSignOn) return HandleCookie(s, data);
        if (channel == kChannelSnac) {
            Log(s.Label() + " SNAC before the cookie");
            return false;
        }
        return true;
    }
    if (channel == kChannelSnac) {
        PacketReader reader(data);
        SnacHeader snac;
        if (!ReadRecord(reader, snac)) {
            Log(s.Label() + " SNAC shorter than its header, dropped");
            return true;
        }
        if (snac.flags & kSnacFlagExtraData) {
            std::uint16_t extra = 0;
            if (!ReadU16(reader, extra) || !reader.Skip(extra)) {
                Log(s.Label() + " SNAC extra data cut short, dropped");
                return true;
            }
        }
        HandleSnac(s, snac, reader);
    }
    return true;  // keep-alive (channel 5), a repeated hello and other channels
}

void OscarServer::Core::HandleClosed(Session& s, const std::string& reason) {
    std::lock_guard<std::mutex> lock(lock_);
    Log(s.Label() + " closed: " + reason);
    if (!s.bos || !s.signedOn) return;
    auto it = online_.find(s.uin);
    if (it == online_.end() || it->second != &s) return;  // a newer session took over
    online_.erase(it);
    if (announced_.erase(s.uin) > 0 && !stopping_) NotifyDeparture(s.uin);
}

// --- authorization port -----------------------------------------------------

bool OscarServer::Core::HandleLogin(Session& s, std::span<const std::uint8_t> data) {
    PacketReader reader(data);
    std::uint32_t version = 0;
    std::vector<Tlv> tlvs;
    if (!ReadU32(reader, version)) return true;  // nothing to act on yet
    if (!ReadTlvList(reader, tlvs)) {
        Log(s.Label() + " malformed login frame");
        return false;
    }
    if (tlvs.empty()) return true;  // a bare hello back: wait for the login

    const Tlv* uinTlv = FindTlv(tlvs, 0x0001);
    const Tlv* passwordTlv = FindTlv(tlvs, 0x0002);
    std::string uinText = uinTlv ? TextOf(uinTlv->value) : std::string();
    if (uinText.size() > 32) uinText.resize(32);

    Uin uin = 0;
    const Account* account = ParseUin(uinText, uin) ? accounts_.Find(uin) : nullptr;
    std::uint16_t refusal = 0;
    if (account == nullptr || account->echo) {
        refusal = kLoginUnknownUin;
    } else if (passwordTlv == nullptr || account->password.empty() ||
               RoastPassword(TextOf(passwordTlv->value)) != account->password) {
        refusal = kLoginWrongPassword;
    }

    PacketBuffer reply;
    AppendText(reply, 0x0001, uinText);
    if (refusal != 0) {
        std::uint8_t code[2] = {static_cast<std::uint8_t>(refusal >> 8), static_cast<std::uint8_t>(refusal)};
        AppendText(reply, 0x0004, kLoginErrorUrl);
        AppendTlv(reply, 0x0008, sizeof code, code);
        Log(s.Label() + " login refused for '" + uinText + "': " +
            (refusal == kLoginUnknownUin ? "unknown UIN" : "wrong password"));
    } else {
        // The address the client reached us on, so that it also works when bound
        // to every interface.
        std::uint32_t address = LocalAddressOf(s.connection.Socket());
        if (address == 0) address = bindAddress != 0 ? bindAddress : kLoopbackAddress;
        std::string cookie = NewCookie();
        cookies_[cookie] = {uin, Clock::now() + std::chrono::milliseconds(config_.cookieLifetimeMs)};
        AppendText(reply, 0x0005, FormatAddress(address, bosPort));
        AppendText(reply, 0x0006, cookie);
        Log(s.Label() + " login accepted for " + uinText);
    }
    s.connection.SendFrame(kChannelSignOff, reply.Bytes());
    return false;
}

std::string OscarServer::Core::NewCookie() {
    ExpireCookies();
    if (cookies_.size() >= kMaxCookies) {
        auto oldest = std::min_element(cookies_.begin(), cookies_.end(), [](const auto& a, const auto& b) {
            return a.second.expires < b.second.expires;
        });
        cookies_.erase(oldest);
    }
    std::string cookie;
    while (cookie.size() < kCookieBytes) {
        std::uint32_t r = random_();
        for (int i = 0; i < 4; ++i) cookie += static_cast<char>((r >> (8 * i)) & 0xFF);
    }
    cookie.resize(kCookieBytes);
    return cookie;
}

void OscarServer::Core::ExpireCookies() {
    auto now = Clock::now();
    std::erase_if(cookies_, [now](const auto& entry) { return entry.second.expires <= now; });
}

// --- messaging port: sign-on -------------------------------------------------

bool OscarServer::Core::HandleCookie(Session& s, std::span<const std::uint8_t> data) {
    PacketReader reader(data);
    std::uint32_t version = 0;
    std::vector<Tlv> tlvs;
    if (!ReadU32(reader, version)) return true;
    if (!ReadTlvList(reader, tlvs)) {
        Log(s.Label() + " malformed cookie frame");
        return false;
    }
    if (tlvs.empty()) return true;

    ExpireCookies();
    const Tlv* cookieTlv = FindTlv(tlvs, 0x0006);
    auto it = cookieTlv ? cookies_.find(TextOf(cookieTlv->value)) : cookies_.end();
    if (it == cookies_.end() || accounts_.Find(it->second.uin) == nullptr) {
        Log(s.Label() + " unknown or expired cookie");
        s.connection.SendFrame(kChannelSignOff, {});
        return false;
    }
    Uin uin = it->second.uin;
    cookies_.erase(it);  // single use
    SignOn(s, uin);
    return true;
}

void OscarServer::Core::SignOn(Session& s, Uin uin) {
    s.signedOn = true;
    s.uin = uin;
    s.onlineSince = platform::Now();
    s.messageTokens = config_.messageBurst;
    s.tokensRefilled = Clock::now();
    s.connection.SetIdleTimeout(config_.idleTimeoutMs);

    if (Session* old = OnlineSession(uin)) {
        // The newer sign-on wins; the older client learns why it is dropped.
        PacketBuffer reason;
        const std::uint8_t otherClient[2] = {0x00, 0x01};
        AppendTlv(reason, 0x0009, sizeof otherClient, otherClient);
        old->connection.SendFrame(kChannelSignOff, reason.Bytes());
        old->connection.CloseAfterFlush();
        old->replaced = true;
        Log(old->Label() + " replaced by " + s.Label());
    }
    online_[uin] = &s;
    Log(s.Label() + " signed on");

    PacketBuffer families;
    for (const FamilyVersion& f : kFamilies) AppendU16(families, f.family);
    s.connection.SendSnac(0x0001, 0x0003, NextRequestId(), families);
}

// --- messaging port: SNACs ---------------------------------------------------

void OscarServer::Core::HandleSnac(Session& s, const SnacHeader& snac, PacketReader& reader) {
    const std::uint32_t key = (static_cast<std::uint32_t>(snac.family) << 16) | snac.subtype;
    switch (key) {
    case 0x00010017: {  // family versions: answer with ours
        PacketBuffer versions;
        for (const FamilyVersion& f : kFamilies) {
            AppendU16(versions, f.family);
            AppendU16(versions, f.version);
        }
        s.connection.SendSnac(0x0001, 0x0018, snac.requestId, versions);
        break;
    }
    case 0x0001001E:
        HandleStatus(s, reader);
        break;
    case 0x00010002:
        HandleClientReady(s);
        break;
    case 0x00040006:
        HandleMessage(s, snac, reader);
        break;
    case 0x00130004:  // contact list request
    case 0x00130005:  // the same with a time stamp: always answered in full
        SendContactList(s, snac.requestId);
        break;
    case 0x00130007:  // activation: presence of buddies starts flowing
        s.activated = true;
        if (const Account* account = accounts_.Find(s.uin)) {
            for (const Buddy& buddy : account->buddies) {
                if (IsVisible(buddy.uin)) s.connection.SendSnac(0x0003, 0x000B, NextRequestId(), UserInfo(buddy.uin));
            }
        }
        break;
    case 0x0013000A:
        HandleDeleteItems(s, snac, reader);
        break;
    case 0x00150002:
        HandleMeta(s, snac, reader);
        break;
    default:
        break;  // rate requests, capabilities, edit start/end and the like: nothing to do
    }
}

void OscarServer::Core::HandleStatus(Session& s, PacketReader& reader) {
    std::vector<Tlv> tlvs;
    if (!ReadTlvList(reader, tlvs)) return;
    const Tlv* status = FindTlv(tlvs, 0x0006);
    if (status == nullptr || status->value.size() != 4) return;
    PacketReader value(status->value);
    if (!ReadU32(value, s.status)) return;
    Log(s.Label() + " status " + std::to_string(s.status));
    if (announced_.count(s.uin) > 0 && OnlineSession(s.uin) == &s) NotifyArrival(s.uin);
}

void OscarServer::Core::HandleClientReady(Session& s) {
    if (s.ready) return;
    s.ready = true;
    Log(s.Label() + " online");
    if (OnlineSession(s.uin) != &s) return;
    announced_.insert(s.uin);
    NotifyArrival(s.uin);
}

void OscarServer::Core::SendMessageError(Session& s, std::uint32_t requestId, std::uint16_t code) {
    PacketBuffer error;
    AppendU16(error, code);
    s.connection.SendSnac(0x0004, 0x0001, requestId, error);
}

bool OscarServer::Core::TakeMessageToken(Session& s) {
    auto now = Clock::now();
    double seconds = std::chrono::duration<double>(now - s.tokensRefilled).count();
    s.tokensRefilled = now;
    s.messageTokens = std::min<double>(config_.messageBurst, s.messageTokens + seconds * config_.messagesPerSecond);
    if (s.messageTokens < 1.0) return false;
    s.messageTokens -= 1.0;
    return true;
}

void OscarServer::Core::HandleMessage(Session& s, const SnacHeader& snac, PacketReader& reader) {
    std::uint8_t cookie[8];
    std::uint16_t channel = 0;
    std::string recipientText;
    std::vector<Tlv> tlvs;
    if (!ReadBytes(reader, cookie, sizeof cookie) || !ReadU16(reader, channel) ||
        !ReadString8(reader, recipientText) || !ReadTlvList(reader, tlvs)) {
        Log(s.Label() + " malformed message");
        SendMessageError(s, snac.requestId, kMessageErrorBadFormat);
        return;
    }
    const Tlv* block = FindTlv(tlvs, 0x0002);
    if (channel != 1 || block == nullptr) {
        Log(s.Label() + " message on channel " + std::to_string(channel) + " not relayed");
        SendMessageError(s, snac.requestId, kMessageErrorBadFormat);
        return;
    }
    Uin to = 0;
    const Account* recipient = ParseUin(recipientText, to) ? accounts_.Find(to) : nullptr;
    if (recipient == nullptr) {
        Log(s.Label() + " message to unknown UIN '" + recipientText + "'");
        SendMessageError(s, snac.requestId, kMessageErrorNotAvailable);
        return;
    }
    if (!TakeMessageToken(s)) {
        Log(s.Label() + " message to " + recipientText + " dropped: too many messages");
        SendMessageError(s, snac.requestId, kMessageErrorRate);
        return;
    }

    // The relayed message: the cookie and channel as sent, who it is from, and the
    // message TLVs as received. TLVs that only ask the server for something (an
    // acknowledgement, storing when offline) stay here.
    auto relay = [&](Uin from) {
        PacketBuffer p;
        AppendBytes(p, cookie, sizeof cookie);
        AppendU16(p, channel);
        PacketBuffer info = UserInfo(from);
        AppendBytes(p, info.Data(), info.Length());
        for (const Tlv& tlv : tlvs) {
            if (tlv.type == 0x0003 || tlv.type == 0x0006) continue;
            AppendTlv(p, tlv.type, tlv.value.size(), tlv.value.data());
        }
        return p;
    };

    if (recipient->echo) {
        s.connection.SendSnac(0x0004, 0x0007, NextRequestId(), relay(to));
        Log(s.Label() + " message echoed by " + recipientText);
        return;
    }
    if (Session* target = OnlineSession(to)) {
        target->connection.SendSnac(0x0004, 0x0007, NextRequestId(), relay(s.uin));
        Log(s.Label() + " message relayed to " + target->Label());
        return;
    }
    std::string text;
    if (!ExtractMessageText(block->value, text)) {
        Log(s.Label() + " message to offline " + recipientText + " has no text, not stored");
        SendMessageError(s, snac.requestId, kMessageErrorBadFormat);
        return;
    }
    std::string fileError;
    if (!offline_->Add(to, s.uin, platform::Now(), std::move(text), fileError)) {
        Log(s.Label() + " message to offline " + recipientText + " dropped: too many stored");
        SendMessageError(s, snac.requestId, kMessageErrorNotAvailable);
        return;
    }
    if (!fileError.empty()) Log(fileError);
    Log(s.Label() + " message to offline " + recipientText + " stored");
}

void OscarServer::Core::SendContactList(Session& s, std::uint32_t requestId) {
    const Account* account = accounts_.Find(s.uin);
    if (account == nullptr) return;

    // Every item laid out on its own: the group item naming its members by item
    // id, then one buddy item per buddy with its nickname.
    std::vector<PacketBuffer> items;
    items.reserve(1 + account->buddies.size());
    {
        const std::string group = kGroupName;
        PacketBuffer& p = items.emplace_back();
        AppendU16(p, static_cast<std::uint16_t>(group.size()));
        AppendBytes(p, group.data(), group.size());
        AppendU16(p, kGroupId);
        AppendU16(p, 0);       // item id
        AppendU16(p, 0x0001);  // type: group
        AppendU16(p, static_cast<std::uint16_t>(4 + 2 * account->buddies.size()));
        AppendU16(p, 0x00C8);
        AppendU16(p, static_cast<std::uint16_t>(2 * account->buddies.size()));
        for (const Buddy& buddy : account->buddies) AppendU16(p, buddy.itemId);
    }
    for (const Buddy& buddy : account->buddies) {
        const std::string name = UinText(buddy.uin);
        const Account* other = accounts_.Find(buddy.uin);
        const std::string nickname = other ? other->nickname : std::string();
        PacketBuffer& p = items.emplace_back();
        AppendU16(p, static_cast<std::uint16_t>(name.size()));
        AppendBytes(p, name.data(), name.size());
        AppendU16(p, kGroupId);
        AppendU16(p, buddy.itemId);
        AppendU16(p, 0x0000);  // type: buddy
        AppendU16(p, static_cast<std::uint16_t>(nickname.empty() ? 0 : 4 + nickname.size()));
        if (!nickname.empty()) AppendText(p, 0x0131, nickname);
    }
    constexpr std::size_t kReplyFrame = 1 + 2 + 4;  // version, count, time
    for (const PacketBuffer& item : items) {
        if (item.Failed() || kReplyFrame + item.Length() > kMaxListReplyData) {
            Log(s.Label() + " contact list not sent: an item is too long for one reply");
            return;
        }
    }
    auto stamp = listStamps_.find(s.uin);
    const std::uint32_t lastChange = stamp != listStamps_.end() ? stamp->second : static_cast<std::uint32_t>(startedAt_);

    // As many whole items per reply as fit one frame beside the version, the count
    // and the time; each reply is complete in itself, and all but the last say
    // that more follow.
    std::size_t next = 0;
    std::size_t replies = 0;
    while (next < items.size()) {
        std::size_t bytes = kReplyFrame;
        std::size_t end = next;
        while (end < items.size() && bytes + items[end].Length() <= kMaxListReplyData) bytes += items[end++].Length();
        PacketBuffer p;
        AppendU8(p, 0);  // list version
        AppendU16(p, static_cast<std::uint16_t>(end - next));
        for (std::size_t i = next; i < end; ++i) AppendBytes(p, items[i].Data(), items[i].Length());
        AppendU32(p, lastChange);
        const std::uint16_t flags = end < items.size() ? kSnacFlagMoreReplies : 0;
        if (!s.connection.SendSnac(0x0013, 0x0006, requestId, p, flags)) {
            Log(s.Label() + " contact list could not be sent");
            return;
        }
        next = end;
        ++replies;
    }
    Log(s.Label() + " contact list sent, " + std::to_string(account->buddies.size()) + " buddies in " +
        std::to_string(replies) + (replies == 1 ? " reply" : " replies"));
}

void OscarServer::Core::HandleDeleteItems(Session& s, const SnacHeader& snac, PacketReader& reader) {
    Account* account = accounts_.Find(s.uin);
    if (account == nullptr) return;
    PacketBuffer results;
    std::size_t items = 0;
    while (!reader.AtEnd() && items < kMaxDeleteItems) {
        std::string name;
        std::uint16_t groupId = 0, itemId = 0, type = 0, length = 0;
        if (!ReadString16(reader, name) || !ReadU16(reader, groupId) || !ReadU16(reader, itemId) ||
            !ReadU16(reader, type) || !ReadU16(reader, length) || !reader.Skip(length)) {
            break;
        }
        Uin buddy = 0;
        bool removed = type == 0x0000 && ParseUin(name, buddy) && account->RemoveBuddy(buddy);
        AppendU16(results, removed ? 0x0000 : 0x0002);  // done / not found
        ++items;
        if (removed) {
            listStamps_[s.uin] = static_cast<std::uint32_t>(platform::Now());
            Log(s.Label() + " deleted buddy " + name);
        }
    }
    if (items > 0) s.connection.SendSnac(0x0013, 0x000E, snac.requestId, results);
}

void OscarServer::Core::HandleMeta(Session& s, const SnacHeader& snac, PacketReader& reader) {
    TlvHeader tlv;
    std::uint16_t chunk = 0, type = 0, sequence = 0;
    std::uint32_t owner = 0;
    if (!ReadRecord(reader, tlv) || tlv.type != 0x0001 || !ReadU16Le(reader, chunk) ||
        !ReadU32Le(reader, owner) || !ReadU16Le(reader, type) || !ReadU16Le(reader, sequence)) {
        Log(s.Label() + " malformed meta request");
        return;
    }
    // The owner field is not trusted: every request acts for the signed-on UIN.
    switch (type) {
    case kMetaOfflineRequest:
        DeliverOffline(s, snac.requestId, sequence);
        break;
    case kMetaOfflineAck:
        if (!s.deliveredOffline.empty()) {
            std::string fileError;
            std::size_t removed = offline_->Remove(s.uin, s.deliveredOffline, fileError);
            s.deliveredOffline.clear();
            if (!fileError.empty()) Log(fileError);
            Log(s.Label() + " " + std::to_string(removed) + " offline messages acknowledged");
        }
        break;
    case kMetaInfoRequest: {
        std::uint16_t subtype = 0;
        std::uint32_t target = 0;
        if (!ReadU16Le(reader, subtype) || subtype != kInfoShortRequest || !ReadU32Le(reader, target)) break;
        SendShortInfo(s, snac.requestId, sequence, target);
        break;
    }
    default:
        break;
    }
}

void OscarServer::Core::DeliverOffline(Session& s, std::uint32_t requestId, std::uint16_t sequence) {
    std::vector<OfflineMessage> messages = offline_->For(s.uin);
    s.deliveredOffline.clear();
    for (const OfflineMessage& m : messages) {
        platform::LocalTime t = platform::ToLocalTime(m.time);
        PacketBuffer record;
        AppendU32Le(record, m.from);
        AppendU16Le(record, static_cast<std::uint16_t>(t.year));
        AppendU8(record, static_cast<std::uint8_t>(t.month));
        AppendU8(record, static_cast<std::uint8_t>(t.day));
        AppendU8(record, static_cast<std::uint8_t>(t.hour));
        AppendU8(record, static_cast<std::uint8_t>(t.minute));
        AppendU8(record, 0x01);  // plain text
        AppendU8(record, 0x00);  // flags
        AppendMetaString(record, m.text);
        if (s.connection.SendSnac(0x0015, 0x0003, requestId, MetaReply(s.uin, kMetaOfflineMessage, sequence, record))) {
            s.deliveredOffline.push_back(m.id);
        }
    }
    PacketBuffer end;
    AppendU8(end, 0);  // no messages were dropped
    s.connection.SendSnac(0x0015, 0x0003, requestId, MetaReply(s.uin, kMetaOfflineEnd, sequence, end));
    Log(s.Label() + " " + std::to_string(s.deliveredOffline.size()) + " offline messages delivered");
}

void OscarServer::Core::SendShortInfo(Session& s, std::uint32_t requestId, std::uint16_t sequence, Uin target) {
    const Account* account = accounts_.Find(target);
    PacketBuffer data;
    AppendU16Le(data, kInfoShortReply);
    if (account == nullptr) {
        AppendU8(data, kInfoNotFound);
    } else {
        AppendU8(data, kInfoFound);
        AppendMetaString(data, account->nickname);
        AppendMetaString(data, "");  // first name
        AppendMetaString(data, "");  // last name
        AppendMetaString(data, "");  // e-mail
        AppendU8(data, 0);           // authorization not required
        AppendU8(data, 0);
        AppendU8(data, 0);           // gender not given
    }
    s.connection.SendSnac(0x0015, 0x0003, requestId, MetaReply(s.uin, kMetaInfoReply, sequence, data));
    Log(s.Label() + " short info for " + UinText(target) + (account ? "" : ": not found"));
}

// --- presence ----------------------------------------------------------------

OscarServer::Core::Session* OscarServer::Core::OnlineSession(Uin uin) const {
    auto it = online_.find(uin);
    return it == online_.end() ? nullptr : it->second;
}

bool OscarServer::Core::IsVisible(Uin uin) const {
    const Account* account = accounts_.Find(uin);
    return account != nullptr && (account->echo || announced_.count(uin) > 0);
}

PacketBuffer OscarServer::Core::UserInfo(Uin uin) const {
    std::uint32_t status = 0;
    std::uint32_t since = static_cast<std::uint32_t>(startedAt_);
    if (const Session* session = OnlineSession(uin)) {
        status = session->status;
        since = static_cast<std::uint32_t>(session->onlineSince);
    }
    PacketBuffer p;
    AppendString8(p, UinText(uin));
    AppendU16(p, 0);  // warning level
    AppendU16(p, 3);  // TLV count
    AppendTlv(p, 0x0001, 2, std::array<std::uint8_t, 2>{0x00, kUserClassIcq}.data());
    AppendU16(p, 0x0006);
    AppendU16(p, 4);
    AppendU32(p, status);
    AppendU16(p, 0x0003);
    AppendU16(p, 4);
    AppendU32(p, since);
    return p;
}

void OscarServer::Core::NotifyArrival(Uin uin) {
    PacketBuffer info = UserInfo(uin);
    for (auto& [watcher, session] : online_) {
        const Account* account = accounts_.Find(watcher);
        if (session->activated && !session->replaced && account != nullptr && account->Lists(uin)) {
            session->connection.SendSnac(0x0003, 0x000B, NextRequestId(), info);
        }
    }
}

void OscarServer::Core::NotifyDeparture(Uin uin) {
    PacketBuffer p;
    AppendString8(p, UinText(uin));
    AppendU16(p, 0);  // warning level
    AppendU16(p, 1);  // TLV count
    AppendTlv(p, 0x0001, 2, std::array<std::uint8_t, 2>{0x00, kUserClassIcq}.data());
    for (auto& [watcher, session] : online_) {
        const Account* account = accounts_.Find(watcher);
        if (session->activated && !session->replaced && account != nullptr && account->Lists(uin)) {
            session->connection.SendSnac(0x0003, 0x000C, NextRequestId(), p);
        }
    }
}

// --- public face ---------------------------------------------------------------

OscarServer::OscarServer() : core_(std::make_unique<Core>()) {}
OscarServer::~OscarServer() { Stop(); }

bool OscarServer::Start(const ServerConfig& config, std::string& error) {
    AccountStore accounts;
    if (config.accountsFile.empty()) {
        accounts = AccountStore::Demo();
    } else {
        std::vector<std::string> warnings;
        if (!accounts.LoadFile(config.accountsFile, error, warnings)) return false;
        for (const std::string& w : warnings) std::fprintf(stderr, "pellox-server: %s\n", w.c_str());
    }
    return Start(config, std::move(accounts), error);
}

bool OscarServer::Start(const ServerConfig& config, AccountStore accounts, std::string& error) {
    return core_->Start(config, std::move(accounts), error);
}

void OscarServer::Stop() { core_->Stop(); }
std::uint16_t OscarServer::AuthPort() const { return core_->authPort; }
std::uint16_t OscarServer::BosPort() const { return core_->bosPort; }
std::uint32_t OscarServer::BindAddress() const { return core_->bindAddress; }
std::size_t OscarServer::ConnectionCount() const { return core_->ConnectionCount(); }
std::size_t OscarServer::StoredOfflineCount() const { return core_->StoredOfflineCount(); }

}  // namespace pellox::server
