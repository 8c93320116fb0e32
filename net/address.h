// Where the session's two connections go: the login server as the user wrote it
// ("host", "host:port", an IPv4 or IPv6 literal, "[v6]:port") and the messaging
// server as the login reply names it.
//
// A server without a port is on 5190, or on 5193 when the connection is TLS.
// Host names are looked up for every IPv4 and IPv6 address they have; the
// connect takes the first that answers.
//
// The messaging address: an address literal or "[v6]:port" is taken as it stands,
// a host name (a text with a letter) is looked up; anything else is read the old
// way, four decimal numbers with any separators (ResolveAddress). A loopback or
// unspecified messaging address while the login server was reached elsewhere is
// the server's own idea of itself (a server set up on its own machine advertises
// 127.0.0.1): the connection goes to the login server's host with the given port
// instead. Otherwise an unspecified address (0.0.0.0, ::) is refused: connecting
// to it reaches this machine, and the cookie would go to whatever listens here.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/endpoint.h"

namespace pellox {

// One server to connect to: the host as written (a name or an address literal,
// what a TLS certificate is checked against), its addresses and the port.
struct ServerAddress {
    std::string host;
    std::uint16_t port = 0;
    std::vector<platform::IpAddress> addresses;
};

// The port of a server text that names none.
std::uint16_t DefaultServerPort(bool tls);

// The server a pinned certificate belongs to: "host:port" ("[v6]:port" for an
// IPv6 literal) of the text, the host in lower case, with the default port of the
// connection; empty when the text names no server.
std::string ServerIdentity(std::string_view serverText, bool tls);

// Parses the login server text and looks its host up; false when the text names no
// server or the host has no address.
[[nodiscard]] bool ResolveLoginServer(std::string_view text, bool tls, ServerAddress& out);

// The messaging server named by the login reply (`text`), given the login server
// (the address its connection reached first) and whether that address is on this
// machine (see the header comment). `replaced` tells whether the login server's
// host and addresses stand in for a loopback one. False when the text names no
// usable server.
[[nodiscard]] bool ResolveMessagingServer(const std::string& text, bool tls,
                                          const ServerAddress& login, bool loginLocal,
                                          ServerAddress& out, bool& replaced);

}  // namespace pellox
