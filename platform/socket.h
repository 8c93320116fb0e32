// IPv4 TCP sockets over POSIX, in the shape the network session expects: a handle
// that is kNoSocket when none, blocking connect/send/receive, a name lookup for the
// login server and a shutdown that wakes a thread blocked in Receive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace pellox::platform {

using SocketHandle = int;
inline constexpr SocketHandle kNoSocket = -1;

struct Ipv4Endpoint {
    std::uint32_t address = 0;  // host byte order: 127.0.0.1 is 0x7F000001
    std::uint16_t port = 0;     // host byte order
};

// Process-wide socket library start and stop. Nothing to do on POSIX beyond making
// a write to a closed peer an error instead of SIGPIPE; kept so callers can report
// a failed start as the worker's contract says.
[[nodiscard]] bool StartSocketLibrary();
void StopSocketLibrary();

// A new blocking IPv4 stream socket, or kNoSocket.
[[nodiscard]] SocketHandle CreateTcpSocket();

// Looks a host name (or dotted address) up; true with the first IPv4 address found.
[[nodiscard]] bool LookupHost(const std::string& host, std::uint32_t& address);

[[nodiscard]] bool ConnectSocket(SocketHandle socket, const Ipv4Endpoint& endpoint);

// One send call: bytes sent, or -1 on error. Retries on EINTR.
long SendSome(SocketHandle socket, const void* data, std::size_t n);

// One receive call: bytes received, 0 when the peer closed, -1 on error.
long ReceiveSome(SocketHandle socket, void* data, std::size_t n);

// Ends both directions so that a thread blocked in ReceiveSome returns at once.
// Does not release the descriptor.
void ShutdownSocket(SocketHandle socket);
void CloseSocket(SocketHandle socket);

// Listening side, used by the local server and by test servers. Port 0 picks a free
// port; BoundPort tells which.
[[nodiscard]] SocketHandle ListenTcp(const Ipv4Endpoint& endpoint, int backlog = 16);
[[nodiscard]] std::uint16_t BoundPort(SocketHandle socket);
// Blocks until a client connects; kNoSocket on error (including a shut-down listener).
[[nodiscard]] SocketHandle AcceptClient(SocketHandle listener);

// Waits until the socket has data (or an error/close) for at most timeoutMs;
// true when a receive would not block.
[[nodiscard]] bool WaitReadable(SocketHandle socket, int timeoutMs);

// "a.b.c.d" of an address in host order.
std::string FormatIpv4(std::uint32_t address);
std::string FormatEndpoint(const Ipv4Endpoint& endpoint);

}  // namespace pellox::platform
