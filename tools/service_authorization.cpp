// The logins: the roasted password on channel 1, and the MD5 login of family
// 0x0017 (a key asked for with 0x0006 and given with 0x0007, then 0x0002 with
// the hash, answered with 0x0003); both hand out a single-use cookie for the
// messaging sign-on.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>

#include "platform/digest.h"
#include "tools/server_core.h"

namespace pellox::server {
namespace {

constexpr std::uint8_t kRoastTable[16] = {0xF3, 0x26, 0x81, 0xC4, 0x39, 0x86, 0xDB, 0x92,
                                          0x71, 0xA3, 0xB9, 0xE6, 0x53, 0x7A, 0x95, 0x7C};

// The MD5 login: hash = MD5(key + password (or MD5(password)) + this text).
constexpr char kMd5Salt[] = "AOL Instant Messenger (SM)";
constexpr std::uint16_t kFamilyLogin = 0x0017;
constexpr std::uint16_t kLoginRequest = 0x0002;
constexpr std::uint16_t kLoginReply = 0x0003;
constexpr std::uint16_t kLoginKeyRequest = 0x0006;
constexpr std::uint16_t kLoginKeyReply = 0x0007;

constexpr std::size_t kCookieBytes = 256;
constexpr std::size_t kMaxCookies = 1024;

// Login refusals (TLV 0x0008).
constexpr std::uint16_t kLoginUnknownUin = 0x0001;
constexpr std::uint16_t kLoginWrongPassword = 0x0005;
constexpr std::uint16_t kLoginTooOften = 0x0018;  // connecting too often
constexpr char kLoginErrorUrl[] = "http://127.0.0.1/pellox-server/login-refused";

// Equal strings, in a time that depends on their lengths only.
bool SameSecret(const std::string& a, const std::string& b) {
    unsigned diff = a.size() == b.size() ? 0u : 1u;
    const std::size_t n = std::max(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0u;
        const unsigned y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0u;
        diff |= x ^ y;
    }
    return diff == 0;
}

std::string Md5Text(const std::string& bytes) {
    const platform::Md5Digest digest = platform::Md5(bytes);
    return std::string(digest.begin(), digest.end());
}

// The UIN of a login (TLV 0x0001) as sent, cut to what a log line shows.
std::string UinTextOf(const std::vector<Tlv>& tlvs) {
    const Tlv* uin = FindTlv(tlvs, 0x0001);
    std::string text = uin ? TextOf(uin->value) : std::string();
    if (text.size() > 32) text.resize(32);
    return text;
}

}  // namespace

std::string RoastPassword(const std::string& bytes) {
    std::string out = bytes;
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<char>(static_cast<std::uint8_t>(out[i]) ^ kRoastTable[i % 16]);
    }
    return out;
}

bool CredentialMatches(const LoginCredential& credential, const std::string& password) {
    if (!credential.md5) return SameSecret(RoastPassword(credential.secret), password);
    const bool overDigest = SameSecret(credential.secret, Md5Text(credential.key + Md5Text(password) + kMd5Salt));
    const bool overPassword = SameSecret(credential.secret, Md5Text(credential.key + password + kMd5Salt));
    // No key asked for on this connection: nothing matches, after the same work.
    return !credential.key.empty() && (overDigest | overPassword);
}

bool OscarServer::Core::HandleSignOnFrame(Session& s, std::span<const std::uint8_t> data,
                                          std::unique_lock<std::mutex>& lock) {
    PacketReader reader(data);
    std::uint32_t version = 0;
    std::vector<Tlv> tlvs;
    if (!ReadU32(reader, version)) return true;  // nothing to act on yet
    if (!ReadTlvList(reader, tlvs)) {
        Log(s.Label() + " malformed sign-on frame");
        return false;
    }
    if (tlvs.empty()) return true;  // a bare hello back: a login or the cookie follows
    if (FindTlv(tlvs, 0x0006) != nullptr) return HandleCookie(s, data);

    const Tlv* password = FindTlv(tlvs, 0x0002);
    LoginCredential credential;
    if (password != nullptr) credential.secret = TextOf(password->value);
    PacketBuffer reply;
    if (!Authorize(s, UinTextOf(tlvs), credential, lock, reply)) return false;
    s.connection.SendFrame(kChannelSignOff, reply.Bytes());
    return false;
}

bool OscarServer::Core::HandleLoginSnac(Session& s, std::span<const std::uint8_t> data,
                                        std::unique_lock<std::mutex>& lock) {
    PacketReader reader(data);
    SnacHeader snac;
    std::uint16_t extra = 0;
    std::vector<Tlv> tlvs;
    if (!ReadRecord(reader, snac) ||
        ((snac.flags & kSnacFlagExtraData) && (!ReadU16(reader, extra) || !reader.Skip(extra))) ||
        !ReadTlvList(reader, tlvs)) {
        Log(s.Label() + " malformed SNAC before the sign-on");
        return false;
    }
    if (snac.family != kFamilyLogin || (snac.subtype != kLoginKeyRequest && snac.subtype != kLoginRequest)) {
        char name[16];
        std::snprintf(name, sizeof name, "%04X/%04X", snac.family, snac.subtype);
        Log(s.Label() + " SNAC " + name + " before the sign-on, not supported");
        return false;
    }
    const std::string uinText = UinTextOf(tlvs);
    if (snac.subtype == kLoginKeyRequest) {
        // A fresh key for every request, good for the next login on this
        // connection; the key is given whether or not the UIN exists, so that
        // the login's refusal is the only answer, as for the roasted login.
        std::string key;
        for (int i = 0; i < 10; ++i) key += static_cast<char>('0' + random_() % 10);
        s.loginKey = key;
        s.loginKeyUin = uinText;
        PacketBuffer keyReply;
        AppendU16(keyReply, static_cast<std::uint16_t>(key.size()));
        AppendBytes(keyReply, key.data(), key.size());
        s.connection.SendSnac(kFamilyLogin, kLoginKeyReply, snac.requestId, keyReply);
        Log(s.Label() + " login key sent for '" + uinText + "'");
        return true;
    }

    const Tlv* hash = FindTlv(tlvs, 0x0025);
    LoginCredential credential;
    credential.md5 = true;
    if (hash != nullptr) credential.secret = TextOf(hash->value);
    // The key is for the UIN it was asked for, and for one login only.
    if (s.loginKeyUin == uinText) credential.key = s.loginKey;
    s.loginKey.clear();
    s.loginKeyUin.clear();
    PacketBuffer reply;
    if (!Authorize(s, uinText, credential, lock, reply)) return false;
    s.connection.SendSnac(kFamilyLogin, kLoginReply, snac.requestId, reply);
    return false;
}

bool OscarServer::Core::Authorize(Session& s, const std::string& uinText, const LoginCredential& credential,
                                  std::unique_lock<std::mutex>& lock, PacketBuffer& reply) {
    Uin uin = 0;
    if (!ParseUin(uinText, uin) || accounts_.Find(uin) == nullptr) uin = 0;

    // After failed logins of this UIN or from this address, and behind the
    // logins of either still waiting, the answer waits, without the server lock;
    // a stop ends the wait. Too long a queue is refused at once.
    std::uint16_t refusal = kLoginTooOften;
    const std::optional<Clock::time_point> answerAt =
        throttle_ ? throttle_->Admit(uin, s.peerKey, Clock::now()) : std::optional(Clock::now());
    if (answerAt) {
        if (const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*answerAt - Clock::now()); wait.count() > 0) {
            Log(s.Label() + " login for '" + uinText + "' waits " + std::to_string(wait.count()) +
                " ms after failed or waiting logins");
            if (stopRequested_.wait_until(lock, *answerAt, [this] { return stopping_; })) {
                throttle_->Finish(uin, s.peerKey, LoginThrottle::Outcome::NotTried, Clock::now());
                return false;
            }
        }
        refusal = CheckLogin(uin, credential);
        if (throttle_) {
            throttle_->Finish(uin, s.peerKey,
                              refusal == 0                ? LoginThrottle::Outcome::Succeeded
                              : refusal == kLoginTooOften ? LoginThrottle::Outcome::NotTried
                                                          : LoginThrottle::Outcome::Failed,
                              Clock::now());
        }
    }

    const char* const how = credential.md5 ? " (MD5)" : "";
    AppendText(reply, 0x0001, uinText);
    if (refusal != 0) {
        std::uint8_t code[2] = {static_cast<std::uint8_t>(refusal >> 8), static_cast<std::uint8_t>(refusal)};
        AppendText(reply, 0x0004, kLoginErrorUrl);
        AppendTlv(reply, 0x0008, sizeof code, code);
        Log(s.Label() + " login" + how + " refused for '" + uinText + "': " +
            (refusal == kLoginUnknownUin    ? "unknown UIN"
             : refusal == kLoginTooOften ? "connecting too often"
                                         : "wrong password"));
    } else {
        signOnBuckets_[uin].Take(config_.signOnBurst, config_.signOnsPerMinute / 60.0, Clock::now());
        std::string cookie = NewCookie(uin);
        cookies_[cookie] = {uin, Clock::now() + std::chrono::milliseconds(config_.cookieLifetimeMs)};
        AppendText(reply, 0x0005, MessagingAddress(s));
        AppendText(reply, 0x0006, cookie);
        Log(s.Label() + " login" + how + " accepted for " + uinText);
    }
    return true;
}

// The messaging port at the address the client reached this connection on, so
// that a client that came in on another address of this machine (also when the
// server is bound to every interface) is sent back there; a login that came in
// over TLS gets the TLS port, so that its messaging connection is TLS too.
std::string OscarServer::Core::MessagingAddress(Session& s) const {
    const std::uint16_t port = s.listener == Listener::Tls ? tlsPort : bosPort;
    platform::Endpoint local;
    if (!LocalEndpointOf(s.connection.Socket(), local)) return FormatAddress(bindAddress, port);
    local.port = port;
    return platform::FormatEndpoint(local);
}

// An account that signed on too often is refused before its password is
// looked at, so that the refusal tells a guesser nothing of the password; only
// a good login uses up a sign-on, so that guessers cannot use up the user's.
std::uint16_t OscarServer::Core::CheckLogin(Uin uin, const LoginCredential& credential) {
    const Account* account = uin != 0 ? accounts_.Find(uin) : nullptr;
    if (account == nullptr || account->echo) return kLoginUnknownUin;
    if (!signOnBuckets_[uin].Ready(config_.signOnBurst, config_.signOnsPerMinute / 60.0, Clock::now())) {
        return kLoginTooOften;
    }
    if (account->password.empty() || !CredentialMatches(credential, account->password)) return kLoginWrongPassword;
    return 0;
}

// One outstanding cookie per UIN: a new login takes the place of the last, so
// one account cannot crowd the others' cookies out of the table.
std::string OscarServer::Core::NewCookie(Uin uin) {
    ExpireCookies();
    std::erase_if(cookies_, [uin](const auto& entry) { return entry.second.uin == uin; });
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

}  // namespace pellox::server
