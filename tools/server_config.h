// Settings of the local OSCAR server and the command line that fills them in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/endpoint.h"
#include "tools/offline_store.h"

namespace pellox::server {

inline constexpr std::uint32_t kLoopbackAddress = 0x7F000001;  // 127.0.0.1

// An address of the loopback network 127.0.0.0/8.
constexpr bool IsLoopback(std::uint32_t address) { return (address >> 24) == 127; }
// The same, or the IPv6 loopback address ::1.
bool IsLoopback(const platform::IpAddress& address);
// An IPv4 address given in host byte order.
platform::IpAddress Ipv4Address(std::uint32_t address);

struct ServerConfig {
    // Address the listeners bind to, IPv4 or IPv6 (then IPv6 only). Anything but
    // loopback must be asked for explicitly (--bind).
    platform::IpAddress bindAddress = Ipv4Address(kLoopbackAddress);
    std::uint16_t authPort = 5190;  // 0 picks a free port
    std::uint16_t bosPort = 5191;   // 0 picks a free port

    // A TLS listener serving both roles (login and messaging) behind TLS, on
    // tlsPort (0 picks a free port). Its certificate: the PEM files named, or,
    // with neither, a self-signed one kept in dataDirectory (made at the first
    // start, reused after).
    bool tls = false;
    std::uint16_t tlsPort = 5193;
    std::string tlsCertificateFile;
    std::string tlsKeyFile;
    // --data-dir; empty when none was given.
    std::string dataDirectory;

    // Accounts file in the section format; empty means the built-in demo set,
    // which only a loopback address serves.
    std::string accountsFile;
    // File of stored offline messages; empty keeps them in memory only.
    std::string offlineFile;
    // What users set about themselves is written back into the accounts file
    // (--data-dir with its accounts.txt); otherwise it is kept in memory only.
    bool saveDetails = false;

    bool verbose = false;

    // Limits that keep a broken or hostile client from hurting the server or other
    // sessions.
    std::size_t maxSessions = 256;            // connections on all ports together
    std::size_t maxInboundFrame = 8 * 1024;   // FLAP data bytes accepted from a client
    std::size_t maxQueuedOutput = 512 * 1024; // bytes waiting to be sent to one client
    int idleTimeoutMs = 180 * 1000;           // signed-on session without any frame
    // A connection that has not signed on this long after it was accepted is
    // closed, whatever it sends meanwhile.
    int loginTimeoutMs = 10 * 1000;
    // Connections not signed on yet (all ports, TLS handshakes included): in all, and from one address.
    // Past either, the oldest such connection (of that address, or of the address
    // holding the most) gives way to the new one.
    std::size_t maxUnauthenticated = 128;
    std::size_t maxUnauthenticatedPerAddress = 16;
    int sendTimeoutMs = 10 * 1000;            // one blocked send to a client that does not read
    int cookieLifetimeMs = 60 * 1000;         // authorization cookie, single use
    std::size_t maxOfflinePerUser = 200;      // stored messages waiting for one UIN
    std::size_t maxOfflineTextBytes = 8 * 1024;        // one stored message
    std::size_t maxOfflineRecipientBytes = 256 * 1024; // stored for one UIN
    std::size_t maxOfflineStoreBytes = 16 * 1024 * 1024;
    // Messages, typing notices and authorization requests and replies one UIN
    // may send (all its sessions together): a burst, then a steady rate.
    int messageBurst = 40;
    int messagesPerSecond = 20;
    // SNACs of any family one UIN may send (all its sessions together); the rest
    // are dropped.
    int snacBurst = 500;
    int snacsPerSecond = 100;
    // Sign-ons of one UIN: a burst, then this many a minute; a login beyond them
    // is refused as connecting too often.
    int signOnBurst = 5;
    int signOnsPerMinute = 5;
    // Failed logins delay the next answers for that UIN and that address: the
    // base after the first failure, doubled after each further one, at most the
    // cap; logins still waiting count as failures to come and are answered one
    // after another. Always on for an address other than loopback.
    bool throttleLogins = false;
    int loginDelayBaseMs = 250;
    int loginDelayMaxMs = 4000;

    OfflineLimits OfflineBounds() const {
        return {maxOfflinePerUser, maxOfflineTextBytes, maxOfflineRecipientBytes, maxOfflineStoreBytes};
    }
};

// Outcome of reading the command line.
struct CommandLine {
    enum class Action { Run, Help, Error };
    Action action = Action::Run;
    ServerConfig config;
    std::string error;  // for Action::Error, one line without the program name
};

// Reads the options (argv without the program name). --data-dir DIR makes
// DIR/accounts.txt the accounts file when it exists and DIR/offline.txt the
// offline store; --accounts FILE names the accounts file. Without --data-dir
// offline messages are kept in memory only.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

// The --help text, one option per line.
std::string UsageText(const std::string& program);

// Strict dotted IPv4 address ("a.b.c.d", each 0..255) to host byte order.
[[nodiscard]] bool ParseIpv4(const std::string& text, std::uint32_t& address);

// The directory part of a path ("." when it has none), without the trailing slash.
std::string DirectoryOf(const std::string& path);

}  // namespace pellox::server
