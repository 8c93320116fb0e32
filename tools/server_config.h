// Settings of the local OSCAR server and the command line that fills them in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pellox::server {

inline constexpr std::uint32_t kLoopbackAddress = 0x7F000001;  // 127.0.0.1

struct ServerConfig {
    // Address both listeners bind to, host byte order. Anything but loopback must be
    // asked for explicitly (--bind).
    std::uint32_t bindAddress = kLoopbackAddress;
    std::uint16_t authPort = 5190;  // 0 picks a free port
    std::uint16_t bosPort = 5191;   // 0 picks a free port

    // Accounts file in the section format; empty means the built-in demo set.
    std::string accountsFile;
    // File of stored offline messages; empty keeps them in memory only.
    std::string offlineFile;

    bool verbose = false;

    // Limits that keep a broken or hostile client from hurting the server or other
    // sessions.
    std::size_t maxSessions = 256;            // connections on both ports together
    std::size_t maxInboundFrame = 8 * 1024;   // FLAP data bytes accepted from a client
    std::size_t maxQueuedOutput = 512 * 1024; // bytes waiting to be sent to one client
    int idleTimeoutMs = 180 * 1000;           // signed-on session without any frame
    int loginTimeoutMs = 30 * 1000;           // connection that has not signed on yet
    int sendTimeoutMs = 10 * 1000;            // one blocked send to a client that does not read
    int cookieLifetimeMs = 60 * 1000;         // authorization cookie, single use
    std::size_t maxOfflinePerUser = 200;      // stored messages waiting for one UIN
    // Instant messages one session may send: a burst, then a steady rate.
    int messageBurst = 40;
    int messagesPerSecond = 20;
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
// offline store; --accounts FILE names the accounts file and, without --data-dir,
// puts the offline store beside it.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

// The --help text, one option per line.
std::string UsageText(const std::string& program);

// Strict dotted IPv4 address ("a.b.c.d", each 0..255) to host byte order.
[[nodiscard]] bool ParseIpv4(const std::string& text, std::uint32_t& address);

// The directory part of a path ("." when it has none), without the trailing slash.
std::string DirectoryOf(const std::string& path);

}  // namespace pellox::server
