#include "platform/endpoint.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/socket_wait.h"

namespace pellox::platform {
namespace {

// While the earliest attempt has not answered, the next address is tried beside
// it after this long: a host whose first address swallows packets still connects
// through its second.
constexpr std::chrono::milliseconds kNextAttemptDelay{250};

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

bool ParsePort(std::string_view text, std::uint16_t& port) {
    if (text.empty() || text.size() > 5) return false;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0 || value > 65535) return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

bool IsPlainHost(std::string_view host) {
    return !host.empty() && std::none_of(host.begin(), host.end(),
                                         [](char c) { return IsBlank(c) || c == '[' || c == ']'; });
}

IpAddress FromSockaddr(const sockaddr* sa) {
    IpAddress address;
    if (sa->sa_family == AF_INET6) {
        sockaddr_in6 in6{};
        std::memcpy(&in6, sa, sizeof in6);
        address.v6 = true;
        std::memcpy(address.bytes.data(), &in6.sin6_addr, 16);
        address.scope = in6.sin6_scope_id;
    } else {
        sockaddr_in in{};
        std::memcpy(&in, sa, sizeof in);
        std::memcpy(address.bytes.data(), &in.sin_addr, 4);
    }
    return address;
}

socklen_t ToSockaddr(const Endpoint& endpoint, sockaddr_storage& storage) {
    storage = {};
    if (endpoint.address.v6) {
        sockaddr_in6 in6{};
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(endpoint.port);
        std::memcpy(&in6.sin6_addr, endpoint.address.bytes.data(), 16);
        in6.sin6_scope_id = endpoint.address.scope;
        std::memcpy(&storage, &in6, sizeof in6);
        return sizeof in6;
    }
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(endpoint.port);
    std::memcpy(&in.sin_addr, endpoint.address.bytes.data(), 4);
    std::memcpy(&storage, &in, sizeof in);
    return sizeof in;
}

// getaddrinfo for stream sockets; calls `each` with every address found.
template <typename Each>
bool Lookup(const std::string& host, int flags, Each each) {
    if (host.empty()) return false;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    addrinfo* result = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0) return false;
    for (addrinfo* ai = result; ai != nullptr; ai = ai->ai_next) {
        const bool usable = (ai->ai_family == AF_INET && ai->ai_addrlen >= sizeof(sockaddr_in)) ||
                            (ai->ai_family == AF_INET6 && ai->ai_addrlen >= sizeof(sockaddr_in6));
        if (usable) each(FromSockaddr(ai->ai_addr));
    }
    ::freeaddrinfo(result);
    return true;
}

void SetNoDelay(SocketHandle socket) {
    int one = 1;
    ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

struct Attempt {
    SocketHandle socket;
    Endpoint endpoint;
};

// Starts a non-blocking connect. true with the attempt when it is under way or
// done; `done` tells which.
bool StartAttempt(const Endpoint& endpoint, Attempt& attempt, bool& done) {
    const SocketHandle fd = ::socket(endpoint.address.v6 ? AF_INET6 : AF_INET,
                                     SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    sockaddr_storage storage;
    const socklen_t length = ToSockaddr(endpoint, storage);
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&storage), length);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0 && errno != EINPROGRESS) {
        ::close(fd);
        return false;
    }
    attempt = {fd, endpoint};
    done = rc == 0;
    return true;
}

bool AttemptSucceeded(SocketHandle socket) {
    int error = 0;
    socklen_t length = sizeof error;
    return ::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

}  // namespace

Endpoint FromIpv4(const Ipv4Endpoint& endpoint) {
    Endpoint out;
    const std::uint32_t a = endpoint.address;
    out.address.bytes[0] = static_cast<std::uint8_t>(a >> 24);
    out.address.bytes[1] = static_cast<std::uint8_t>(a >> 16);
    out.address.bytes[2] = static_cast<std::uint8_t>(a >> 8);
    out.address.bytes[3] = static_cast<std::uint8_t>(a);
    out.port = endpoint.port;
    return out;
}

bool ParseIpAddress(const std::string& text, IpAddress& out) {
    if (text.empty()) return false;
    in_addr v4{};
    // inet_pton takes exactly four decimal parts, unlike the lookup's older forms
    // ("127.1", "0x7f.1"), which no one types as a server address on purpose.
    if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) {
        out = {};
        std::memcpy(out.bytes.data(), &v4, 4);
        return true;
    }
    if (text.find(':') == std::string::npos) return false;
    bool found = false;
    IpAddress address;
    const bool ok = Lookup(text, AI_NUMERICHOST, [&](const IpAddress& a) {
        if (!found && a.v6) {
            address = a;
            found = true;
        }
    });
    if (!ok || !found) return false;
    out = address;
    return true;
}

bool ParseHostPort(std::string_view text, std::uint16_t defaultPort, HostPort& out) {
    text = Trim(text);
    std::string host;
    std::uint16_t port = defaultPort;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos) return false;
        host = std::string(text.substr(1, close - 1));
        IpAddress literal;
        if (!IsPlainHost(host) || !ParseIpAddress(host, literal) || !literal.v6) return false;
        const std::string_view rest = text.substr(close + 1);
        if (!rest.empty() && (rest.front() != ':' || !ParsePort(rest.substr(1), port))) {
            return false;
        }
    } else {
        const std::size_t colon = text.find(':');
        if (colon != std::string_view::npos &&
            text.find(':', colon + 1) != std::string_view::npos) {
            // Several colons and no brackets: an IPv6 literal, which leaves no room
            // for a port.
            host = std::string(text);
            IpAddress literal;
            if (!IsPlainHost(host) || !ParseIpAddress(host, literal)) return false;
        } else {
            host = std::string(text.substr(0, colon));
            if (!IsPlainHost(host)) return false;
            if (colon != std::string_view::npos && !ParsePort(text.substr(colon + 1), port)) {
                return false;
            }
        }
    }
    out.host = std::move(host);
    out.port = port;
    return true;
}

bool ResolveAll(const std::string& host, std::vector<IpAddress>& addresses) {
    std::vector<IpAddress> found;
    Lookup(host, 0, [&](const IpAddress& a) {
        if (std::find(found.begin(), found.end(), a) == found.end()) found.push_back(a);
    });
    if (found.empty()) return false;
    addresses = std::move(found);
    return true;
}

bool IsLoopbackOrUnspecified(const IpAddress& address) {
    const auto& b = address.bytes;
    const auto v4 = [](const std::uint8_t* p) {
        return p[0] == 127 || (p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 0);
    };
    if (!address.v6) return v4(b.data());
    const bool zeroHead =
        std::all_of(b.begin(), b.begin() + 10, [](std::uint8_t x) { return x == 0; });
    if (zeroHead && b[10] == 0xFF && b[11] == 0xFF) return v4(b.data() + 12);  // ::ffff:a.b.c.d
    const bool zeroBody =
        zeroHead && b[10] == 0 && b[11] == 0 && b[12] == 0 && b[13] == 0 && b[14] == 0;
    return zeroBody && (b[15] == 0 || b[15] == 1);  // :: and ::1
}

bool IsLoopbackOrUnspecified(const Endpoint& endpoint) {
    return IsLoopbackOrUnspecified(endpoint.address);
}

std::string FormatAddress(const IpAddress& address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (::inet_ntop(address.v6 ? AF_INET6 : AF_INET, address.bytes.data(), text, sizeof text) ==
        nullptr) {
        return {};
    }
    std::string out = text;
    if (address.v6 && address.scope != 0) {
        out += '%';
        out += std::to_string(address.scope);
    }
    return out;
}

std::string FormatEndpoint(const Endpoint& endpoint) {
    const std::string host = FormatAddress(endpoint.address);
    const std::string port = std::to_string(endpoint.port);
    return endpoint.address.v6 ? "[" + host + "]:" + port : host + ":" + port;
}

ConnectCanceller::ConnectCanceller() : wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

ConnectCanceller::~ConnectCanceller() {
    if (wake_ >= 0) ::close(wake_);
}

void ConnectCanceller::Cancel() {
    cancelled_.store(true);
    if (wake_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t rc = ::write(wake_, &one, sizeof one);
    }
}

SocketHandle ConnectFirst(const std::vector<IpAddress>& addresses, std::uint16_t port,
                          std::chrono::steady_clock::time_point deadline,
                          const ConnectCanceller* canceller, Endpoint* connected) {
    using Clock = std::chrono::steady_clock;
    std::vector<Attempt> pending;
    const auto closeAll = [&pending] {
        for (const Attempt& a : pending) ::close(a.socket);
        pending.clear();
    };
    std::size_t next = 0;
    Clock::time_point nextStart = Clock::now();
    SocketHandle winner = kNoSocket;
    Endpoint reached;

    while (winner == kNoSocket) {
        if (canceller != nullptr && canceller->Cancelled()) break;
        const Clock::time_point now = Clock::now();
        if (now >= deadline) break;
        // Starts the next address when its turn has come, or at once when nothing is
        // under way (the earlier ones failed).
        while (next < addresses.size() && (pending.empty() || now >= nextStart)) {
            Attempt attempt;
            bool done = false;
            const Endpoint endpoint{addresses[next++], port};
            if (!StartAttempt(endpoint, attempt, done)) continue;
            if (done) {
                winner = attempt.socket;
                reached = attempt.endpoint;
                break;
            }
            pending.push_back(attempt);
            nextStart = now + kNextAttemptDelay;
        }
        if (winner != kNoSocket || pending.empty()) break;

        std::vector<pollfd> polls;
        for (const Attempt& a : pending) polls.push_back({a.socket, POLLOUT, 0});
        if (canceller != nullptr && canceller->WakeHandle() >= 0) {
            polls.push_back({canceller->WakeHandle(), POLLIN, 0});
        }
        int timeout = MillisecondsUntil(deadline);
        if (next < addresses.size()) timeout = std::min(timeout, MillisecondsUntil(nextStart));
        if (canceller != nullptr && canceller->WakeHandle() < 0) {
            timeout = std::min(timeout, 100);  // no wake-up descriptor: look now and then
        }
        const int rc = ::poll(polls.data(), polls.size(), timeout);
        if (rc < 0 && errno != EINTR) break;
        if (rc <= 0) continue;
        // Settles every attempt that answered; the first that connected wins.
        for (std::size_t i = pending.size(); i-- > 0;) {
            if (polls[i].revents == 0) continue;
            if (winner == kNoSocket && AttemptSucceeded(pending[i].socket)) {
                winner = pending[i].socket;
                reached = pending[i].endpoint;
            } else {
                ::close(pending[i].socket);
            }
            pending.erase(pending.begin() + static_cast<long>(i));
        }
    }
    closeAll();
    if (winner == kNoSocket) return kNoSocket;
    if (!SetNonBlocking(winner, false)) {
        ::close(winner);
        return kNoSocket;
    }
    SetNoDelay(winner);
    if (connected != nullptr) *connected = reached;
    return winner;
}

SocketHandle ListenTcp(const Endpoint& endpoint, int backlog) {
    const int family = endpoint.address.v6 ? AF_INET6 : AF_INET;
    const SocketHandle fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return kNoSocket;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (endpoint.address.v6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    sockaddr_storage storage;
    const socklen_t length = ToSockaddr(endpoint, storage);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&storage), length) != 0 ||
        ::listen(fd, backlog) != 0) {
        ::close(fd);
        return kNoSocket;
    }
    return fd;
}

bool PeerEndpoint(SocketHandle socket, Endpoint& endpoint) {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (::getpeername(socket, reinterpret_cast<sockaddr*>(&storage), &length) != 0) return false;
    const auto* sa = reinterpret_cast<const sockaddr*>(&storage);
    if (sa->sa_family != AF_INET && sa->sa_family != AF_INET6) return false;
    endpoint.address = FromSockaddr(sa);
    if (endpoint.address.v6) {
        endpoint.port = ntohs(reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_port);
    } else {
        endpoint.port = ntohs(reinterpret_cast<const sockaddr_in*>(&storage)->sin_port);
    }
    return true;
}

}  // namespace pellox::platform
