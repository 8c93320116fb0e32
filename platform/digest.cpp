#include "platform/digest.h"

#include <openssl/evp.h>

namespace pellox::platform {
namespace {

template <std::size_t N>
std::array<std::uint8_t, N> Digest(const EVP_MD* md, const void* data, std::size_t n) {
    std::array<std::uint8_t, N> out{};
    unsigned int length = 0;
    // EVP_Digest fails only when the algorithm is unavailable or memory runs out;
    // an all-zero digest then matches no real password hash or fingerprint.
    if (EVP_Digest(data, n, out.data(), &length, md, nullptr) != 1 || length != N) out.fill(0);
    return out;
}

// The hexadecimal digits of a fingerprint in upper case, separators dropped;
// empty when anything else is in the text or a digit has no pair.
std::string HexDigits(std::string_view text) {
    std::string digits;
    for (char c : text) {
        if (c == ':' || c == ' ' || c == '\t') continue;
        if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return {};
        digits.push_back(c);
    }
    return digits.size() % 2 == 0 ? digits : std::string();
}

}  // namespace

Md5Digest Md5(std::span<const std::uint8_t> bytes) {
    return Digest<16>(EVP_md5(), bytes.data(), bytes.size());
}

Md5Digest Md5(std::string_view bytes) {
    return Digest<16>(EVP_md5(), bytes.data(), bytes.size());
}

Sha256Digest Sha256(std::span<const std::uint8_t> bytes) {
    return Digest<32>(EVP_sha256(), bytes.data(), bytes.size());
}

Sha256Digest Sha256(std::string_view bytes) {
    return Digest<32>(EVP_sha256(), bytes.data(), bytes.size());
}

std::string FormatFingerprint(std::span<const std::uint8_t> bytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 3);
    for (std::uint8_t b : bytes) {
        if (!text.empty()) text.push_back(':');
        text.push_back(kHex[b >> 4]);
        text.push_back(kHex[b & 0x0F]);
    }
    return text;
}

bool SameFingerprint(std::string_view a, std::string_view b) {
    const std::string left = HexDigits(a);
    return !left.empty() && left == HexDigits(b);
}

}  // namespace pellox::platform
