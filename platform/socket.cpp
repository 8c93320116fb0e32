#include "platform/socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

namespace pellox::platform {
namespace {

sockaddr_in ToSockaddr(const Ipv4Endpoint& endpoint) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(endpoint.port);
    addr.sin_addr.s_addr = htonl(endpoint.address);
    return addr;
}

}  // namespace

bool StartSocketLibrary() {
    // A send to a connection the peer has reset must fail with EPIPE, not kill us.
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

void StopSocketLibrary() {}

SocketHandle CreateTcpSocket() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return fd < 0 ? kNoSocket : fd;
}

bool LookupHost(const std::string& host, std::uint32_t& address) {
    if (host.empty()) return false;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || result == nullptr) {
        return false;
    }
    bool found = false;
    for (addrinfo* ai = result; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET && ai->ai_addrlen >= sizeof(sockaddr_in)) {
            sockaddr_in in{};
            std::memcpy(&in, ai->ai_addr, sizeof in);
            address = ntohl(in.sin_addr.s_addr);
            found = true;
            break;
        }
    }
    ::freeaddrinfo(result);
    return found;
}

bool ConnectSocket(SocketHandle socket, const Ipv4Endpoint& endpoint) {
    sockaddr_in addr = ToSockaddr(endpoint);
    int rc;
    do {
        rc = ::connect(socket, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) return false;
    int one = 1;
    ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return true;
}

long SendSome(SocketHandle socket, const void* data, std::size_t n) {
    for (;;) {
        ssize_t rc = ::send(socket, data, n, MSG_NOSIGNAL);
        if (rc >= 0) return static_cast<long>(rc);
        if (errno != EINTR) return -1;
    }
}

long ReceiveSome(SocketHandle socket, void* data, std::size_t n) {
    for (;;) {
        ssize_t rc = ::recv(socket, data, n, 0);
        if (rc >= 0) return static_cast<long>(rc);
        if (errno != EINTR) return -1;
    }
}

void ShutdownSocket(SocketHandle socket) {
    if (socket != kNoSocket) ::shutdown(socket, SHUT_RDWR);
}

void CloseSocket(SocketHandle socket) {
    if (socket != kNoSocket) ::close(socket);
}

SocketHandle ListenTcp(const Ipv4Endpoint& endpoint, int backlog) {
    SocketHandle fd = CreateTcpSocket();
    if (fd == kNoSocket) return kNoSocket;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr = ToSockaddr(endpoint);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd, backlog) != 0) {
        ::close(fd);
        return kNoSocket;
    }
    return fd;
}

std::uint16_t BoundPort(SocketHandle socket) {
    // Large enough for an IPv6 listener too (endpoint.h).
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
    if (addr.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&addr)->sin6_port);
    }
    return ntohs(reinterpret_cast<const sockaddr_in*>(&addr)->sin_port);
}

SocketHandle AcceptClient(SocketHandle listener) {
    for (;;) {
        int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return fd;
        }
        if (errno != EINTR && errno != ECONNABORTED) return kNoSocket;
    }
}

bool WaitReadable(SocketHandle socket, int timeoutMs) {
    pollfd p{};
    p.fd = socket;
    p.events = POLLIN;
    for (;;) {
        int rc = ::poll(&p, 1, timeoutMs);
        if (rc > 0) return true;
        if (rc == 0) return false;
        if (errno != EINTR) return true;  // let the receive report the error
    }
}

std::string FormatIpv4(std::uint32_t address) {
    return std::to_string((address >> 24) & 0xFF) + "." + std::to_string((address >> 16) & 0xFF) +
           "." + std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

std::string FormatEndpoint(const Ipv4Endpoint& endpoint) {
    return FormatIpv4(endpoint.address) + ":" + std::to_string(endpoint.port);
}

}  // namespace pellox::platform
