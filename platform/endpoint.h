// IPv4 and IPv6 addresses beside the IPv4-only ones of socket.h: parsing what the
// user types as a server ("host", "host:port", "1.2.3.4", "::1", "[::1]:5190"),
// looking a host up for every address it has, connecting to the first of them that
// answers, and listening on either family.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/socket.h"

namespace pellox::platform {

struct IpAddress {
    bool v6 = false;
    // Network byte order; an IPv4 address uses the first four bytes, the rest stay 0.
    std::array<std::uint8_t, 16> bytes{};
    std::uint32_t scope = 0;  // IPv6 interface index (link-local addresses), else 0

    friend bool operator==(const IpAddress&, const IpAddress&) = default;
};

// Constructed, not brace-initialised like an aggregate, so that a call with
// {address, port} still picks the Ipv4Endpoint overloads of socket.h.
struct Endpoint {
    Endpoint() = default;
    Endpoint(const IpAddress& a, std::uint16_t p) : address(a), port(p) {}

    IpAddress address;
    std::uint16_t port = 0;  // host byte order

    friend bool operator==(const Endpoint&, const Endpoint&) = default;
};

Endpoint FromIpv4(const Ipv4Endpoint& endpoint);

// A server as the user wrote it: the host (a name or an address literal, without
// brackets) and the port.
struct HostPort {
    std::string host;
    std::uint16_t port = 0;
};

// Splits a server text. Accepted: "host", "host:port", "1.2.3.4", "1.2.3.4:port",
// "[v6]", "[v6]:port" and a bare IPv6 literal ("::1", "fe80::1%2"), which has no
// port; without a port, defaultPort applies. Blanks around the text are ignored.
// Refused (false, `out` untouched): an empty host, blanks or brackets inside the
// host, brackets around anything but an IPv6 literal, a bare text with several
// colons that is no IPv6 literal, and a port that is empty, not decimal, 0 or above
// 65535.
[[nodiscard]] bool ParseHostPort(std::string_view text, std::uint16_t defaultPort, HostPort& out);

// A numeric address without any lookup: "1.2.3.4", "::1", "fe80::1%2" (an interface
// name after "%" is accepted too). Only the four-part dotted form counts as IPv4.
[[nodiscard]] bool ParseIpAddress(const std::string& text, IpAddress& out);

// Every IPv4 and IPv6 address of a host name or literal, in the order the system
// prefers, each once; false when there is none.
[[nodiscard]] bool ResolveAll(const std::string& host, std::vector<IpAddress>& addresses);

// 127.0.0.0/8, 0.0.0.0, ::1, :: and their IPv4-mapped IPv6 forms.
[[nodiscard]] bool IsLoopbackOrUnspecified(const IpAddress& address);
[[nodiscard]] bool IsLoopbackOrUnspecified(const Endpoint& endpoint);

// "1.2.3.4", "::1", "fe80::1%2".
std::string FormatAddress(const IpAddress& address);
// "1.2.3.4:5190", "[::1]:5190".
std::string FormatEndpoint(const Endpoint& endpoint);

// Lets another thread stop a ConnectFirst at once. Cancel latches: a ConnectFirst
// started later with the same canceller returns at once as well. Safe from any
// thread.
class ConnectCanceller {
public:
    ConnectCanceller();
    ~ConnectCanceller();
    ConnectCanceller(const ConnectCanceller&) = delete;
    ConnectCanceller& operator=(const ConnectCanceller&) = delete;

    void Cancel();
    [[nodiscard]] bool Cancelled() const { return cancelled_.load(); }
    // A descriptor that polls readable once Cancel was called.
    int WakeHandle() const { return wake_; }

private:
    std::atomic<bool> cancelled_{false};
    int wake_ = -1;
};

// Connects a new blocking TCP socket to the first of the addresses that accepts
// `port`. The addresses are tried in order; when one has not answered within a
// quarter of a second the next is tried beside it, and whichever connects first
// wins (an address that fails at once hands over to the next at once). Returns
// kNoSocket when all failed, the deadline passed or the canceller fired; on success
// `connected` (when given) receives the endpoint reached.
[[nodiscard]] SocketHandle ConnectFirst(const std::vector<IpAddress>& addresses, std::uint16_t port,
                                        std::chrono::steady_clock::time_point deadline,
                                        const ConnectCanceller* canceller = nullptr,
                                        Endpoint* connected = nullptr);

// Listens on an IPv4 or IPv6 endpoint (an IPv6 listener takes IPv6 only); port 0
// picks a free port, which BoundPort tells.
[[nodiscard]] SocketHandle ListenTcp(const Endpoint& endpoint, int backlog = 16);

// The address at the other end of a connected socket; false on error.
[[nodiscard]] bool PeerEndpoint(SocketHandle socket, Endpoint& endpoint);

}  // namespace pellox::platform
