#include "platform/digest.h"

#include <algorithm>
#include <cstring>

namespace pellox::platform {
namespace {

// MD5 (RFC 1321) computed here: the login hashes its password with it, and a
// sign-on without TLS then needs no cryptography library in the process.
class Md5State {
public:
    void Update(const std::uint8_t* data, std::size_t n) {
        length_ += n;
        while (n > 0) {
            const std::size_t take = std::min(n, sizeof block_ - filled_);
            std::memcpy(block_ + filled_, data, take);
            filled_ += take;
            data += take;
            n -= take;
            if (filled_ == sizeof block_) {
                Transform();
                filled_ = 0;
            }
        }
    }

    Md5Digest Finish() {
        const std::uint64_t bits = length_ * 8;
        const std::uint8_t pad = 0x80;
        Update(&pad, 1);
        const std::uint8_t zero = 0;
        while (filled_ != 56) Update(&zero, 1);
        std::uint8_t tail[8];
        for (int i = 0; i < 8; ++i) tail[i] = static_cast<std::uint8_t>(bits >> (8 * i));
        Update(tail, 8);
        Md5Digest out{};
        for (int i = 0; i < 4; ++i) {
            for (int j = 0; j < 4; ++j) out[4 * i + j] = static_cast<std::uint8_t>(h_[i] >> (8 * j));
        }
        return out;
    }

private:
    static std::uint32_t Rotate(std::uint32_t x, int c) { return (x << c) | (x >> (32 - c)); }

    void Transform() {
        static constexpr std::uint32_t kSines[64] = {
            0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613,
            0xfd469501, 0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193,
            0xa679438e, 0x49b40821, 0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d,
            0x02441453, 0xd8a1e681, 0xe7d3fbc8, 0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed,
            0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a, 0xfffa3942, 0x8771f681, 0x6d9d6122,
            0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70, 0x289b7ec6, 0xeaa127fa,
            0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665, 0xf4292244,
            0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
            0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb,
            0xeb86d391};
        static constexpr int kShifts[16] = {7, 12, 17, 22, 5, 9, 14, 20, 4, 11, 16, 23, 6, 10, 15, 21};
        std::uint32_t m[16];
        for (int i = 0; i < 16; ++i) {
            m[i] = static_cast<std::uint32_t>(block_[4 * i]) | static_cast<std::uint32_t>(block_[4 * i + 1]) << 8 |
                   static_cast<std::uint32_t>(block_[4 * i + 2]) << 16 |
                   static_cast<std::uint32_t>(block_[4 * i + 3]) << 24;
        }
        std::uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3];
        for (int i = 0; i < 64; ++i) {
            std::uint32_t f = 0;
            int g = 0;
            switch (i / 16) {
                case 0: f = (b & c) | (~b & d); g = i; break;
                case 1: f = (d & b) | (~d & c); g = (5 * i + 1) % 16; break;
                case 2: f = b ^ c ^ d; g = (3 * i + 5) % 16; break;
                default: f = c ^ (b | ~d); g = (7 * i) % 16; break;
            }
            const std::uint32_t next = d;
            d = c;
            c = b;
            b += Rotate(a + f + kSines[i] + m[g], kShifts[(i / 16) * 4 + i % 4]);
            a = next;
        }
        h_[0] += a;
        h_[1] += b;
        h_[2] += c;
        h_[3] += d;
    }

    std::uint32_t h_[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    std::uint8_t block_[64] = {};
    std::size_t filled_ = 0;
    std::uint64_t length_ = 0;
};

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
    Md5State state;
    state.Update(bytes.data(), bytes.size());
    return state.Finish();
}

Md5Digest Md5(std::string_view bytes) {
    return Md5(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
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
