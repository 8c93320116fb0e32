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
constexpr char kLoginErrorUrl[] = "http://127.0.0.1/pellox-server/login-refused";

// Failed logins are forgotten after this long without another, and at most this
// many UINs and addresses are remembered (the oldest go first).
constexpr auto kForgetFailures = std::chrono::minutes(15);
constexpr std::size_t kMaxFailureEntries = 4096;

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
    const Tlv* passwordTlv = FindTlv(tlvs, 0x0002);
    std::string uinText = uinTlv ? TextOf(uinTlv->value) : std::string();
    if (uinText.size() > 32) uinText.resize(32);
    Uin uin = 0;
    if (!ParseUin(uinText, uin) || accounts_.Find(uin) == nullptr) uin = 0;

    // After failed logins of this UIN or from this address the answer waits,
    // without the server lock; a stop ends the wait.
    if (const int delay = LoginDelayMs(uin, s.peer); delay > 0) {
        Log(s.Label() + " login for '" + uinText + "' waits " + std::to_string(delay) + " ms after failed logins");
        if (stopRequested_.wait_for(lock, std::chrono::milliseconds(delay), [this] { return stopping_; })) {
            return false;
        }
    }

    const Account* account = uin != 0 ? accounts_.Find(uin) : nullptr;
    std::uint16_t refusal = 0;
    if (account == nullptr || account->echo) {
        refusal = kLoginUnknownUin;
    } else if (passwordTlv == nullptr || account->password.empty() ||
               !SameSecret(RoastPassword(TextOf(passwordTlv->value)), account->password)) {
        refusal = kLoginWrongPassword;
    }
    RecordLogin(uin, s.peer, refusal != 0);

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
        std::string cookie = NewCookie(uin);
        cookies_[cookie] = {uin, Clock::now() + std::chrono::milliseconds(config_.cookieLifetimeMs)};
        AppendText(reply, 0x0005, FormatAddress(address, bosPort));
        AppendText(reply, 0x0006, cookie);
        Log(s.Label() + " login accepted for " + uinText);
    }
    s.connection.SendFrame(kChannelSignOff, reply.Bytes());
    return false;
}

// The delay before answering a login: none until a failure, then the base,
// doubled with each further failure of the UIN or the address, at most the cap.
int OscarServer::Core::LoginDelayMs(Uin uin, std::uint32_t peer) {
    if (!throttleLogins_) return 0;
    const auto now = Clock::now();
    auto countOf = [now](auto& table, auto key) -> unsigned {
        auto it = table.find(key);
        if (it == table.end()) return 0;
        if (now - it->second.last > kForgetFailures) {
            table.erase(it);
            return 0;
        }
        return it->second.count;
    };
    const unsigned failures = std::max(uin != 0 ? countOf(uinFailures_, uin) : 0u, countOf(addressFailures_, peer));
    if (failures == 0) return 0;
    long long delay = config_.loginDelayBaseMs;
    for (unsigned i = 1; i < failures && delay < config_.loginDelayMaxMs; ++i) delay *= 2;
    return static_cast<int>(std::min<long long>(delay, config_.loginDelayMaxMs));
}

void OscarServer::Core::RecordLogin(Uin uin, std::uint32_t peer, bool failed) {
    if (!throttleLogins_) return;
    if (!failed) {
        uinFailures_.erase(uin);  // the user is in: its guessers start over
        return;
    }
    const auto now = Clock::now();
    auto count = [now](auto& table, auto key) {
        if (table.size() >= kMaxFailureEntries && table.find(key) == table.end()) {
            auto oldest = std::min_element(table.begin(), table.end(), [](const auto& a, const auto& b) {
                return a.second.last < b.second.last;
            });
            table.erase(oldest);
        }
        Failures& f = table[key];
        if (now - f.last > kForgetFailures) f.count = 0;
        ++f.count;
        f.last = now;
    };
    if (uin != 0) count(uinFailures_, uin);
    count(addressFailures_, peer);
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
