#include "tools/server_config.h"

#include <algorithm>

#include "platform/files.h"

namespace pellox::server {
namespace {

// A decimal number of at most `maxDigits` digits, nothing else.
bool ParseNumber(const std::string& text, std::size_t maxDigits, unsigned long long& value) {
    if (text.empty() || text.size() > maxDigits) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return true;
}

bool ParsePort(const std::string& text, std::uint16_t& port) {
    unsigned long long value = 0;
    if (!ParseNumber(text, 5, value) || value > 65535) return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

bool ParseSeconds(const std::string& text, int& ms) {
    unsigned long long value = 0;
    if (!ParseNumber(text, 6, value) || value == 0) return false;
    ms = static_cast<int>(value * 1000);
    return true;
}

}  // namespace

bool IsLoopback(const platform::IpAddress& address) {
    if (!address.v6) return address.bytes[0] == 127;
    static constexpr std::uint8_t kIpv6Loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return std::equal(address.bytes.begin(), address.bytes.end(), kIpv6Loopback);
}

platform::IpAddress Ipv4Address(std::uint32_t address) {
    platform::IpAddress ip;
    for (int i = 0; i < 4; ++i) ip.bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(address >> (24 - 8 * i));
    return ip;
}

bool ParseIpv4(const std::string& text, std::uint32_t& address) {
    std::uint32_t result = 0;
    std::size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (pos >= text.size() || text[pos] != '.') return false;
            ++pos;
        }
        std::size_t start = pos;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') ++pos;
        unsigned long long value = 0;
        if (!ParseNumber(text.substr(start, pos - start), 3, value) || value > 255) return false;
        result = (result << 8) | static_cast<std::uint32_t>(value);
    }
    if (pos != text.size()) return false;
    address = result;
    return true;
}

std::string DirectoryOf(const std::string& path) {
    std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string UsageText(const std::string& program) {
    return "Usage: " + program + " [options]\n"
           "A local ICQ (OSCAR) server for trying out and testing the client.\n"
           "\n"
           "  --accounts FILE      read the accounts from FILE (a [UIN] section per account with\n"
           "                       password=, nickname= and buddies=). Default: the built-in demo\n"
           "                       accounts, served on a loopback address only.\n"
           "  --data-dir DIR       use DIR/accounts.txt (when it exists) and keep offline messages\n"
           "                       in DIR/offline.txt\n"
           "  --bind ADDR          IPv4 or IPv6 address to listen on (default 127.0.0.1); any\n"
           "                       other, 0.0.0.0 and :: included, is used only when given here and\n"
           "                       needs an accounts file. The protocol is clear text: beyond\n"
           "                       this machine, use it through an SSH tunnel or a VPN.\n"
           "  --port-auth PORT     authorization port (default 5190; 0 picks a free port)\n"
           "  --port-bos PORT      messaging port (default 5191; 0 picks a free port)\n"
           "  --tls-port PORT      also serve login and messaging behind TLS on PORT (5193 is usual;\n"
           "                       0 picks a free port)\n"
           "  --tls-cert FILE      the TLS certificate (PEM, the server's first), with --tls-key FILE\n"
           "                       its private key; without both a self-signed certificate is made\n"
           "                       in the --data-dir at the first start and kept\n"
           "  --idle-timeout SEC   close a signed-on session silent this long (default 180)\n"
           "  --max-sessions N     connections served at once (default 256)\n"
           "  --verbose            one line per session event on standard error\n"
           "  --help               this text\n"
           "\n"
           "On start-up one line on standard output names the listening ports:\n"
           "  pellox-server listening auth 127.0.0.1:5190 bos 127.0.0.1:5191\n"
           "with --tls-port followed by \" tls 127.0.0.1:5193\" and a second line with the\n"
           "certificate's SHA-256 fingerprint, for clients to pin:\n"
           "  pellox-server tls fingerprint AB:CD:...\n"
           "Every port takes both logins (roasted and MD5) and the messaging sign-on.\n"
           "SIGINT or SIGTERM stops the server.\n";
}

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
    CommandLine result;
    ServerConfig& config = result.config;
    std::string dataDir;
    auto fail = [&result](std::string message) {
        result.action = CommandLine::Action::Error;
        result.error = std::move(message);
        return result;
    };

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& option = args[i];
        if (option == "--help" || option == "-h") {
            result.action = CommandLine::Action::Help;
            return result;
        }
        if (option == "--verbose" || option == "-v") {
            config.verbose = true;
            continue;
        }
        static const char* const kWithValue[] = {"--accounts",   "--data-dir",     "--bind",
                                                 "--port-auth",  "--port-bos",     "--idle-timeout",
                                                 "--max-sessions", "--tls-port",   "--tls-cert",
                                                 "--tls-key"};
        bool known = false;
        for (const char* name : kWithValue) known = known || option == name;
        if (!known) return fail("unknown option " + option + " (see --help)");
        if (i + 1 >= args.size()) return fail(option + " needs a value");
        const std::string& value = args[++i];

        if (option == "--accounts") {
            if (value.empty()) return fail("--accounts needs a file name");
            config.accountsFile = value;
        } else if (option == "--data-dir") {
            if (value.empty()) return fail("--data-dir needs a directory");
            dataDir = value;
        } else if (option == "--bind") {
            if (!platform::ParseIpAddress(value, config.bindAddress)) {
                return fail("--bind needs an IPv4 or IPv6 address such as 127.0.0.1 or ::1, not " + value);
            }
        } else if (option == "--port-auth") {
            if (!ParsePort(value, config.authPort)) return fail("bad port for --port-auth: " + value);
        } else if (option == "--port-bos") {
            if (!ParsePort(value, config.bosPort)) return fail("bad port for --port-bos: " + value);
        } else if (option == "--tls-port") {
            if (!ParsePort(value, config.tlsPort)) return fail("bad port for --tls-port: " + value);
            config.tls = true;
        } else if (option == "--tls-cert" || option == "--tls-key") {
            if (value.empty()) return fail(option + " needs a file name");
            (option == "--tls-cert" ? config.tlsCertificateFile : config.tlsKeyFile) = value;
        } else if (option == "--idle-timeout") {
            if (!ParseSeconds(value, config.idleTimeoutMs)) {
                return fail("--idle-timeout needs a number of seconds above 0, not " + value);
            }
        } else if (option == "--max-sessions") {
            unsigned long long n = 0;
            if (!ParseNumber(value, 5, n) || n == 0 || n > 4096) {
                return fail("--max-sessions needs a number from 1 to 4096, not " + value);
            }
            config.maxSessions = static_cast<std::size_t>(n);
        }
    }

    if (config.authPort != 0 && config.authPort == config.bosPort) {
        return fail("the authorization and messaging ports must differ");
    }
    if (config.tls && config.tlsPort != 0 && (config.tlsPort == config.authPort || config.tlsPort == config.bosPort)) {
        return fail("the TLS port must differ from the authorization and messaging ports");
    }
    if (config.tlsCertificateFile.empty() != config.tlsKeyFile.empty()) {
        return fail("--tls-cert and --tls-key go together");
    }
    if (!config.tlsCertificateFile.empty() && !config.tls) return fail("--tls-cert and --tls-key need --tls-port");
    if (config.tls && config.tlsCertificateFile.empty() && dataDir.empty()) {
        return fail("--tls-port needs --tls-cert and --tls-key, or --data-dir to keep a self-signed certificate in");
    }
    if (!dataDir.empty()) {
        while (dataDir.size() > 1 && dataDir.back() == '/') dataDir.pop_back();
        if (config.accountsFile.empty()) {
            std::string candidate = dataDir + "/accounts.txt";
            if (platform::FileExists(candidate)) {
                config.accountsFile = candidate;
                config.saveDetails = true;
            }
        }
        config.offlineFile = dataDir + "/offline.txt";
        config.dataDirectory = dataDir;
    }
    return result;
}

}  // namespace pellox::server
