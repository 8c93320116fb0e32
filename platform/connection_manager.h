// The handheld's data-connection service, reduced to what a desktop needs: a URL is
// mapped to a destination network, then a connection is established synchronously
// within a time-out. A desktop is always connected, so both succeed; tests can make
// them fail to exercise the connect failure path.
#pragma once

#include <cstdint>
#include <string>

namespace pellox::platform {

struct ConnectionRequest {
    std::uint32_t size = 64;
    std::uint32_t params = 1;        // the destination-network field is valid
    std::uint32_t flags = 1;         // proxy flag for web-type connections
    std::uint32_t priority = 0x8000; // user interactive
    std::uint64_t destination = 0;   // from MapUrlToNetwork
};

inline constexpr int kEstablishTimeoutMs = 30000;

// Maps a URL to a destination network identifier; the caller does not examine the result.
bool MapUrlToNetwork(const std::string& url, std::uint64_t& destination);

// Establishes the data connection, waiting at most timeoutMs.
[[nodiscard]] bool EstablishConnection(const ConnectionRequest& request, int timeoutMs);

// Test hooks: while set, EstablishConnection fails; or it takes delayMs before
// succeeding, as a handheld's data connection does while it is being set up.
void SetConnectionFailureForTesting(bool fail);
void SetConnectionDelayForTesting(int delayMs);

}  // namespace pellox::platform
