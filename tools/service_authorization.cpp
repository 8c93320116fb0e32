// The authorization port: checks the UIN and the roasted password and hands out
// a single-use cookie for the messaging port.
#include <algorithm>
#include <chrono>
#include <cstdint>

#include "tools/server_core.h"

namespace pellox::server {
namespace {

constexpr std::uint8_t kRoastTable[16] = {0xF3, 0x26, 0x81, 0xC4, 0x39, 0x86, 0xDB, 0x92,
                                          0x71, 0xA3, 0xB9, 0xE6, 0x53, 0x7A, 0x95, 0x7C};

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

}  // namespace

std::string RoastPassword(const std::string& bytes) {
    std::string out = bytes;
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<char>(static_cast<std::uint8_t>(out[i]) ^ kRoastTable[i % 16]);
    }
    return out;
}

bool OscarServer::Core::HandleLogin(Session& s, std::span<const std::uint8_t> data,
                                    std::unique_lock<std::mutex>& lock) {
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
    std::string uinText = uinTlv ? TextOf(uinTlv->value) : std::string();
    if (uinText.size() > 32) uinText.resize(32);
    Uin uin = 0;
    if (!ParseUin(uinText, uin) || accounts_.Find(uin) == nullptr) uin = 0;

    // After failed logins of this UIN or from this address, and behind the
    // logins of either still waiting, the answer waits, without the server lock;
    // a stop ends the wait. Too long a queue is refused at once.
    std::uint16_t refusal = kLoginTooOften;
    const std::optional<Clock::time_point> answerAt =
        throttle_ ? throttle_->Admit(uin, s.peer, Clock::now()) : std::optional(Clock::now());
    if (answerAt) {
        if (const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*answerAt - Clock::now()); wait.count() > 0) {
            Log(s.Label() + " login for '" + uinText + "' waits " + std::to_string(wait.count()) +
                " ms after failed or waiting logins");
            if (stopRequested_.wait_until(lock, *answerAt, [this] { return stopping_; })) {
                throttle_->Finish(uin, s.peer, LoginThrottle::Outcome::NotTried, Clock::now());
                return false;
            }
        }
        refusal = CheckLogin(uin, FindTlv(tlvs, 0x0002));
        if (throttle_) {
            throttle_->Finish(uin, s.peer,
                              refusal == 0                ? LoginThrottle::Outcome::Succeeded
                              : refusal == kLoginTooOften ? LoginThrottle::Outcome::NotTried
                                                          : LoginThrottle::Outcome::Failed,
                              Clock::now());
        }
    }

    PacketBuffer reply;
    AppendText(reply, 0x0001, uinText);
    if (refusal != 0) {
        std::uint8_t code[2] = {static_cast<std::uint8_t>(refusal >> 8), static_cast<std::uint8_t>(refusal)};
        AppendText(reply, 0x0004, kLoginErrorUrl);
        AppendTlv(reply, 0x0008, sizeof code, code);
        Log(s.Label() + " login refused for '" + uinText + "': " +
            (refusal == kLoginUnknownUin    ? "unknown UIN"
             : refusal == kLoginTooOften ? "connecting too often"
                                         : "wrong password"));
    } else {
        signOnBuckets_[uin].Take(config_.signOnBurst, config_.signOnsPerMinute / 60.0, Clock::now());
        // The address the client reached us on, so that it also works when bound
        // to every interface.
        std::uint32_t address = LocalAddressOf(s.connection.Socket());
        if (address == 0) address = bindAddress != 0 ? bindAddress : kLoopbackAddress;
        std::string cookie = NewCookie(uin);
        cookies_[cookie] = {uin, Clock::now() + std::chrono::milliseconds(config_.cookieLifetimeMs)};
        AppendText(reply, 0x0005, FormatAddress(address, bosPort));
        AppendText(reply, 0x0006, cookie);
        Log(s.Label() + " login accepted for " + uinText);
    }
    s.connection.SendFrame(kChannelSignOff, reply.Bytes());
    return false;
}

// An account that signed on too often is refused before its password is
// looked at, so that the refusal tells a guesser nothing of the password; only
// a good login uses up a sign-on, so that guessers cannot use up the user's.
std::uint16_t OscarServer::Core::CheckLogin(Uin uin, const Tlv* password) {
    const Account* account = uin != 0 ? accounts_.Find(uin) : nullptr;
    if (account == nullptr || account->echo) return kLoginUnknownUin;
    if (!signOnBuckets_[uin].Ready(config_.signOnBurst, config_.signOnsPerMinute / 60.0, Clock::now())) {
        return kLoginTooOften;
    }
    if (password == nullptr || account->password.empty() ||
        !SameSecret(RoastPassword(TextOf(password->value)), account->password)) {
        return kLoginWrongPassword;
    }
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
