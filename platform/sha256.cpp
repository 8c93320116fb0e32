// SHA-256 through OpenSSL, beside the TLS code that fingerprints certificates
// with it: a process that never speaks TLS does not load the library for it.
#include <openssl/evp.h>

#include "platform/digest.h"

namespace pellox::platform {
namespace {

Sha256Digest Digest(const void* data, std::size_t n) {
    Sha256Digest out{};
    unsigned int length = 0;
    // EVP_Digest fails only when the algorithm is unavailable or memory runs out;
    // an all-zero digest then matches no real fingerprint.
    if (EVP_Digest(data, n, out.data(), &length, EVP_sha256(), nullptr) != 1 || length != out.size()) {
        out.fill(0);
    }
    return out;
}

}  // namespace

Sha256Digest Sha256(std::span<const std::uint8_t> bytes) { return Digest(bytes.data(), bytes.size()); }

Sha256Digest Sha256(std::string_view bytes) { return Digest(bytes.data(), bytes.size()); }

}  // namespace pellox::platform
