#include "net/address.h"

#include <algorithm>

#include "net/session.h"
#include "net/session_impl.h"

namespace pellox {
namespace {

bool HasLetter(std::string_view text) {
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; });
}

bool IsUnspecified(const platform::IpAddress& address) {
    const auto& b = address.bytes;
    const bool zero = std::all_of(b.begin(), b.end(), [](std::uint8_t x) { return x == 0; });
    // ::ffff:0.0.0.0 as well as 0.0.0.0 and ::
    const bool mappedZero = address.v6 && b[10] == 0xFF && b[11] == 0xFF &&
                            std::all_of(b.begin(), b.begin() + 10, [](std::uint8_t x) { return x == 0; }) &&
                            std::all_of(b.begin() + 12, b.end(), [](std::uint8_t x) { return x == 0; });
    return zero || mappedZero;
}

// The host's addresses: a literal as it stands, a name looked up.
bool AddressesOf(const std::string& host, std::vector<platform::IpAddress>& addresses) {
    platform::IpAddress literal;
    if (platform::ParseIpAddress(host, literal)) {
        addresses = {literal};
        return true;
    }
    return platform::ResolveAll(host, addresses);
}

}  // namespace

std::uint16_t DefaultServerPort(bool tls) {
    return tls ? kDefaultTlsPort : kDefaultPort;
}

std::string ServerIdentity(std::string_view serverText, bool tls) {
    platform::HostPort parsed;
    if (!platform::ParseHostPort(serverText, DefaultServerPort(tls), parsed)) return {};
    std::string host = parsed.host;
    std::transform(host.begin(), host.end(), host.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
    if (host.find(':') != std::string::npos) host = "[" + host + "]";
    return host + ":" + std::to_string(parsed.port);
}

bool ResolveLoginServer(std::string_view text, bool tls, ServerAddress& out) {
    platform::HostPort parsed;
    if (!platform::ParseHostPort(text, DefaultServerPort(tls), parsed)) return false;
    ServerAddress server{parsed.host, parsed.port, {}};
    if (!AddressesOf(server.host, server.addresses)) return false;
    out = std::move(server);
    return true;
}

bool ResolveMessagingServer(const std::string& text, bool tls, const ServerAddress& login,
                            bool loginLocal, ServerAddress& out, bool& replaced) {
    ServerAddress server;
    platform::HostPort parsed;
    platform::IpAddress literal;
    if (platform::ParseHostPort(text, DefaultServerPort(tls), parsed) &&
        (platform::ParseIpAddress(parsed.host, literal) || HasLetter(parsed.host))) {
        server.host = parsed.host;
        server.port = parsed.port;
        if (!AddressesOf(server.host, server.addresses)) return false;
    } else {
        // The forms servers have always sent: four numbers with any separators.
        platform::Ipv4Endpoint v4;
        if (!ResolveAddress(text, HasLetter(text), v4)) return false;
        const platform::Endpoint endpoint = platform::FromIpv4(v4);
        server.host = platform::FormatAddress(endpoint.address);
        server.port = endpoint.port;
        server.addresses = {endpoint.address};
    }
    const bool local = std::all_of(server.addresses.begin(), server.addresses.end(),
                                   [](const platform::IpAddress& a) {
                                       return platform::IsLoopbackOrUnspecified(a);
                                   });
    replaced = local && !loginLocal && !login.addresses.empty();
    if (replaced) {
        server.host = login.host;
        server.addresses = login.addresses;
    } else {
        std::erase_if(server.addresses, IsUnspecified);
        if (server.addresses.empty()) return false;
    }
    out = std::move(server);
    return true;
}

}  // namespace pellox
