// The local OSCAR server: an authorization port that checks the password (the
// roasted login of channel 1 or the MD5 login of family 0x0017) and hands out a
// single-use cookie, and a messaging port that serves signed-on sessions:
// presence of buddies, message relay, offline messages, the server contact list
// and short user information. Each port takes both roles, as servers that share
// one port do; an optional TLS port serves both roles behind TLS.
//
// Threads: an accept thread per port, and a reader and a writer thread per connection
// (see Connection). All session logic runs under one server lock, so one frame
// is handled at a time; sending never blocks under it, since frames only go into
// the bounded queue of the receiving connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "tools/accounts.h"
#include "tools/server_config.h"

namespace pellox::server {

class OscarServer {
public:
    OscarServer();
    ~OscarServer();  // stops the server
    OscarServer(const OscarServer&) = delete;
    OscarServer& operator=(const OscarServer&) = delete;

    // Loads the accounts (config.accountsFile, or the demo set when it is empty),
    // the offline store and the TLS certificate (config.tls), binds the ports and
    // starts serving. False with a
    // message when anything fails; nothing is left running then.
    [[nodiscard]] bool Start(const ServerConfig& config, std::string& error);
    // The same with accounts given by the caller (tests).
    [[nodiscard]] bool Start(const ServerConfig& config, AccountStore accounts, std::string& error);

    // Closes the listeners and every connection and joins every thread. Safe to
    // call more than once.
    void Stop();

    std::uint16_t AuthPort() const;
    std::uint16_t BosPort() const;
    // 0 without config.tls.
    std::uint16_t TlsPort() const;
    // The port of the transfer proxy (tools/file_proxy.h).
    std::uint16_t ProxyPort() const;
    // The SHA-256 fingerprint ("AB:CD:...") of the TLS certificate, for clients to
    // pin; empty without TLS. Whether it was made (self-signed) at this start.
    const std::string& TlsFingerprint() const;
    bool TlsCertificateCreated() const;
    // The address the listeners are bound to.
    platform::IpAddress BindAddress() const;

    // Connections currently held (all ports, finished ones not yet cleaned up
    // included) and messages waiting in the offline store.
    std::size_t ConnectionCount() const;
    std::size_t StoredOfflineCount() const;
    // For benchmarks: frees the connections that have ended (otherwise freed at
    // the next accept) and tells how many are still being served, closed ones
    // whose frames are still being answered included.
    std::size_t FreeEndedConnections();

    // For tests of reconnecting: cuts the messaging connection of the UIN as a
    // failing network would (no sign-off frame; its watchers see it leave). False
    // when the UIN is not signed on.
    bool DropConnection(Uin uin);
    // The same for every signed-on UIN; how many were dropped.
    std::size_t DropEveryConnection();

    class Core;

private:
    std::unique_ptr<Core> core_;
};

// The roasting of the password TLV: byte i XOR table[i mod 16]. Applying it twice
// gives the original bytes back.
std::string RoastPassword(const std::string& bytes);

}  // namespace pellox::server
