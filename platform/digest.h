// Message digests over byte strings: MD5 for the password hash of the login and
// SHA-256 for certificate fingerprints, plus the fingerprint notation people
// compare by eye ("AB:CD:...").
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace pellox::platform {

using Md5Digest = std::array<std::uint8_t, 16>;
using Sha256Digest = std::array<std::uint8_t, 32>;

Md5Digest Md5(std::span<const std::uint8_t> bytes);
Md5Digest Md5(std::string_view bytes);
Sha256Digest Sha256(std::span<const std::uint8_t> bytes);
Sha256Digest Sha256(std::string_view bytes);

// Upper-case hexadecimal pairs separated by colons: {0xAB, 0x01} -> "AB:01".
std::string FormatFingerprint(std::span<const std::uint8_t> bytes);

// Whether two fingerprints name the same digest, whatever their letter case and
// whatever colons or blanks separate the pairs. Text that is not hexadecimal
// pairs (or is empty) matches nothing.
[[nodiscard]] bool SameFingerprint(std::string_view a, std::string_view b);

}  // namespace pellox::platform
