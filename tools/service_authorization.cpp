// The authorization port: checks the UIN and the roasted password and hands out
// a single-use cookie for the messaging port.
#include <algorithm>
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

}  // namespace

std::string RoastPassword(const std::string& bytes) {
    std::string out = bytes;
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<char>(static_cast<std::uint8_t>(out[i]) ^ kRoastTable[i % 16]);
    }
    return out;
}

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

}  // namespace pellox::server
