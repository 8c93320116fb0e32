#include "tools/server_core.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <utility>

#include "platform/local_time.h"
#include "platform/thread.h"

namespace pellox::server {
namespace {

// A client's address as one number for the per-address limits: an IPv4 address
// as it is (below 2^32); an IPv6 one by its /64 prefix, the block one site or
// subscriber holds, shifted under a top bit that keeps it apart from IPv4.
std::uint64_t PeerKey(const platform::IpAddress& address) {
    std::uint64_t key = 0;
    for (std::size_t i = 0; i < (address.v6 ? 8u : 4u); ++i) key = key << 8 | address.bytes[i];
    return address.v6 ? std::uint64_t{1} << 63 | key >> 1 : key;
}

}  // namespace

std::string TextOf(std::span<const std::uint8_t> bytes) {
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

bool AppendText(PacketBuffer& buffer, std::uint16_t type, const std::string& text) {
    return AppendTlv(buffer, type, text.size(), text.data());
}

std::string FormatAddress(const platform::IpAddress& address, std::uint16_t port) {
    return platform::FormatEndpoint(platform::Endpoint(address, port));
}

std::string FormatIp(std::uint32_t address) {
    return platform::FormatIpv4(address);
}

std::string OscarServer::Core::Session::Label() const {
    // Built by appending: GCC 12 at -O3 reports a false -Wrestrict for a chain of
    // + that starts with a literal.
    std::string label = "#";
    label += std::to_string(id);
    label += listener == Listener::Auth ? " auth " : listener == Listener::Bos ? " bos " : " tls ";
    label += platform::FormatAddress(peer);
    if (uin != 0) {
        label += ' ';
        label += UinText(uin);
    }
    return label;
}

std::size_t OscarServer::Core::ConnectionCount() const {
    std::lock_guard<std::mutex> lock(lock_);
    return sessions_.size();
}

std::size_t OscarServer::Core::FreeEndedConnections() {
    std::vector<std::unique_ptr<Session>> finished;  // destroyed outside the lock
    std::lock_guard<std::mutex> lock(lock_);
    finished = TakeFinished();
    return sessions_.size();
}

bool OscarServer::Core::DropConnection(Uin uin) {
    std::lock_guard<std::mutex> lock(lock_);
    Session* session = OnlineSession(uin);
    if (session == nullptr) return false;
    Log(session->Label() + " dropped on request");
    // The reader sees the socket fail and closes the session as for a lost line.
    session->connection.Abort();
    return true;
}

std::size_t OscarServer::Core::DropEveryConnection() {
    std::lock_guard<std::mutex> lock(lock_);
    for (auto& [uin, session] : online_) {
        Log(session->Label() + " dropped on request");
        session->connection.Abort();
    }
    return online_.size();
}

std::size_t OscarServer::Core::StoredOfflineCount() const {
    std::lock_guard<std::mutex> lock(lock_);
    return offline_ ? offline_->Size() : 0;
}

void OscarServer::Core::Log(const std::string& line) const {
    if (config_.verbose) log_.Write(line);
}

bool OscarServer::Core::Start(const ServerConfig& config, AccountStore accounts, std::string& error) {
    {
        std::lock_guard<std::mutex> lock(lock_);
        if (running_) {
            error = "the server is already running";
            return false;
        }
    }
    config_ = config;
    auto offline = std::make_unique<OfflineStore>(config.offlineFile, config.OfflineBounds());
    std::string warning;
    if (!offline->Load(error, warning)) return false;
    if (!warning.empty()) std::fprintf(stderr, "pellox-server: %s\n", EscapeForLog(warning).c_str());
    if (!platform::StartSocketLibrary()) {
        error = "cannot start the socket library";
        return false;
    }
    std::shared_ptr<const platform::TlsServerContext> tlsContext;
    bool tlsCreated = false;
    if (config.tls && !LoadTlsContext(config, tlsContext, tlsCreated, error)) return false;

    platform::SocketHandle auth = platform::ListenTcp(platform::Endpoint(config.bindAddress, config.authPort), 64);
    if (auth == platform::kNoSocket) {
        error = "cannot listen on " + FormatAddress(config.bindAddress, config.authPort);
        return false;
    }
    platform::SocketHandle bos = platform::ListenTcp(platform::Endpoint(config.bindAddress, config.bosPort), 64);
    if (bos == platform::kNoSocket) {
        platform::CloseSocket(auth);
        error = "cannot listen on " + FormatAddress(config.bindAddress, config.bosPort);
        return false;
    }
    platform::SocketHandle tls = platform::kNoSocket;
    if (tlsContext) {
        tls = platform::ListenTcp(platform::Endpoint(config.bindAddress, config.tlsPort), 64);
        if (tls == platform::kNoSocket) {
            platform::CloseSocket(auth);
            platform::CloseSocket(bos);
            error = "cannot listen on " + FormatAddress(config.bindAddress, config.tlsPort);
            return false;
        }
    }

    auto proxy = std::make_unique<FileProxy>([this](const std::string& line) { Log(line); });
    if (!proxy->Start(config.bindAddress, config.proxyPort, FileProxy::Limits{}, error)) {
        for (platform::SocketHandle listener : {auth, bos, tls}) {
            if (listener != platform::kNoSocket) platform::CloseSocket(listener);
        }
        return false;
    }
    proxyPort = proxy->Port();
    proxy_ = std::move(proxy);

    if (config.verbose) log_.Start();
    {
        std::lock_guard<std::mutex> lock(lock_);
        accounts_ = std::move(accounts);
        offline_ = std::move(offline);
        detailsWriter_ = std::make_unique<DetailsWriter>(config.saveDetails ? config.accountsFile : std::string());
        privacy_.clear();
        cookies_.clear();
        online_.clear();
        announced_.clear();
        listStamps_.clear();
        messageBuckets_.clear();
        snacBuckets_.clear();
        signOnBuckets_.clear();
        throttle_.reset();
        if (config.throttleLogins || !IsLoopback(config.bindAddress)) {
            throttle_ = std::make_unique<LoginThrottle>(LoginThrottle::Settings{
                config.loginDelayBaseMs, config.loginDelayMaxMs, 2 * config.loginDelayMaxMs});
        }
        startedAt_ = platform::Now();
        authListener_ = auth;
        bosListener_ = bos;
        tlsListener_ = tls;
        tlsContext_ = tlsContext;
        authPort = platform::BoundPort(auth);
        bosPort = platform::BoundPort(bos);
        tlsPort = tlsContext ? platform::BoundPort(tls) : 0;
        tlsFingerprint = tlsContext ? tlsContext->Fingerprint() : std::string();
        tlsCertificateCreated = tlsCreated;
        bindAddress = config.bindAddress;
        stopping_ = false;
        running_ = true;
        std::string tlsText;
        if (tlsContext) tlsText = ", tls " + FormatAddress(bindAddress, tlsPort) + " (SHA-256 " + tlsFingerprint + ")";
        Log("listening: auth " + FormatAddress(bindAddress, authPort) + ", bos " + FormatAddress(bindAddress, bosPort) +
            tlsText + ", " + std::to_string(accounts_.Size()) + " accounts, " + std::to_string(offline_->Size()) +
            " stored offline messages");
    }
    authAccept_ = platform::StartThread(platform::ThreadPriority::Normal,
                                        [this, auth] { AcceptLoop(auth, Listener::Auth); });
    bosAccept_ = platform::StartThread(platform::ThreadPriority::Normal,
                                       [this, bos] { AcceptLoop(bos, Listener::Bos); });
    if (tlsContext) {
        tlsAccept_ = platform::StartThread(platform::ThreadPriority::Normal,
                                           [this, tls] { AcceptLoop(tls, Listener::Tls); });
    }
    return true;
}

// The certificate of the TLS listener: the files given, or the self-signed pair
// kept in the data directory (made at the first start, then reused, so that a
// client's pin holds across restarts).
bool OscarServer::Core::LoadTlsContext(const ServerConfig& config,
                                       std::shared_ptr<const platform::TlsServerContext>& context, bool& created,
                                       std::string& error) {
    std::string why;
    if (!config.tlsCertificateFile.empty() || !config.tlsKeyFile.empty()) {
        context = platform::TlsServerContext::FromFiles(config.tlsCertificateFile, config.tlsKeyFile, why);
    } else if (config.dataDirectory.empty()) {
        why = "give --tls-cert and --tls-key, or --data-dir to keep a self-signed certificate in";
    } else {
        const platform::IpAddress& bind = config.bindAddress;
        const bool named = IsLoopback(bind) || platform::IsLoopbackOrUnspecified(bind);
        const std::string host = named ? "localhost" : platform::FormatAddress(bind);
        context = platform::TlsServerContext::SelfSigned(config.dataDirectory, host, &created, why);
    }
    if (!context) error = "no TLS certificate: " + why;
    return context != nullptr;
}

void OscarServer::Core::Stop() {
    {
        std::lock_guard<std::mutex> lock(lock_);
        if (!running_) return;
        stopping_ = true;
        stopRequested_.notify_all();
    }
    for (platform::SocketHandle listener : {authListener_, bosListener_, tlsListener_}) {
        if (listener != platform::kNoSocket) platform::ShutdownSocket(listener);
    }
    for (std::thread* accept : {&authAccept_, &bosAccept_, &tlsAccept_}) {
        if (accept->joinable()) accept->join();
    }
    if (proxy_) proxy_->Stop();
    for (platform::SocketHandle listener : {authListener_, bosListener_, tlsListener_}) {
        if (listener != platform::kNoSocket) platform::CloseSocket(listener);
    }

    std::vector<std::unique_ptr<Session>> sessions;
    {
        std::lock_guard<std::mutex> lock(lock_);
        sessions.swap(sessions_);
        authListener_ = bosListener_ = tlsListener_ = platform::kNoSocket;
        tlsContext_.reset();
    }
    // Every session is aborted before any is destroyed: a closing session may still
    // look at the others while its reader finishes.
    for (auto& s : sessions) s->connection.Abort("the server is stopping");
    for (auto& s : sessions) s->connection.Join();
    sessions.clear();

    std::lock_guard<std::mutex> lock(lock_);
    online_.clear();
    announced_.clear();
    cookies_.clear();
    running_ = false;
    Log("stopped");
    log_.Stop();
}

std::vector<std::unique_ptr<OscarServer::Core::Session>> OscarServer::Core::TakeFinished() {
    std::vector<std::unique_ptr<Session>> finished;
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        if ((*it)->connection.Finished()) {
            finished.push_back(std::move(*it));
            it = sessions_.erase(it);
        } else {
            ++it;
        }
    }
    return finished;
}

void OscarServer::Core::AcceptLoop(platform::SocketHandle listener, Listener kind) {
    for (;;) {
        platform::SocketHandle socket = platform::AcceptClient(listener);
        std::vector<std::unique_ptr<Session>> finished;  // destroyed outside the lock
        {
            std::lock_guard<std::mutex> lock(lock_);
            if (stopping_) {
                platform::CloseSocket(socket);
                return;
            }
            if (socket != platform::kNoSocket) {
                finished = TakeFinished();
                platform::Endpoint peer;
                if (!platform::PeerEndpoint(socket, peer)) peer = {};
                const std::uint64_t peerKey = PeerKey(peer.address);
                if (!AdmitConnection(peerKey, peer.address)) {
                    platform::CloseSocket(socket);
                } else {
                    Connection::Limits limits;
                    limits.maxInboundFrame = config_.maxInboundFrame;
                    limits.maxQueuedOutput = config_.maxQueuedOutput;
                    limits.sendTimeoutMs = config_.sendTimeoutMs;
                    limits.idleTimeoutMs = config_.loginTimeoutMs;
                    std::unique_ptr<platform::Stream> stream;
                    if (kind == Listener::Tls) {
                        // Only set up here: the handshake runs on the connection's
                        // reader, within the deadline below.
                        stream = std::make_unique<platform::TlsStream>(tlsContext_, socket);
                    } else {
                        stream = std::make_unique<platform::SocketStream>(socket);
                    }
                    auto session =
                        std::make_unique<Session>(*this, nextSessionId_++, kind, std::move(stream), limits);
                    session->peer = peer.address;
                    session->peerKey = peerKey;
                    // Counted from the accept: frames before the sign-on, and the
                    // TLS handshake, do not extend it.
                    session->connection.SetDeadline(config_.loginTimeoutMs);
                    Log(session->Label() + " connected");
                    // The hello: channel 1 with the protocol version.
                    const std::uint8_t hello[4] = {0, 0, 0, 1};
                    session->connection.SendFrame(kChannelSignOn, hello);
                    session->connection.Start();
                    sessions_.push_back(std::move(session));
                }
                continue;
            }
        }
        // Accept failed without a stop (for example, out of descriptors): do not spin.
        platform::SleepMs(50);
    }
}

// Whole connections up to the session limit. Those not signed on yet are held to
// a share of their own, in all and per address; past it, the new connection
// takes the place of the oldest one of its own address when that address is at
// its share, otherwise of the oldest one of the address that holds the most. So
// a connection that never signs on cannot keep a real login out, and squatters
// push out each other first. Only signed-on sessions make the server refuse.
bool OscarServer::Core::AdmitConnection(std::uint64_t peerKey, const platform::IpAddress& peer) {
    std::size_t live = 0, waiting = 0;
    std::map<std::uint64_t, std::vector<Session*>> byAddress;  // not signed on, oldest first
    for (const auto& session : sessions_) {
        if (session->evicted || session->connection.ReaderDone()) continue;  // answered, or going
        ++live;
        if (session->signedOn) continue;
        ++waiting;
        byAddress[session->peerKey].push_back(session.get());
    }
    if (live >= config_.maxSessions && waiting == 0) {
        Log("refused a connection from " + platform::FormatAddress(peer) + ": " + std::to_string(live) +
            " signed on already");
        return false;
    }
    const std::vector<Session*>* victims = nullptr;
    if (auto own = byAddress.find(peerKey);
        own != byAddress.end() && own->second.size() >= config_.maxUnauthenticatedPerAddress) {
        victims = &own->second;
    } else if (live >= config_.maxSessions || waiting >= config_.maxUnauthenticated) {
        for (const auto& [address, list] : byAddress) {
            if (victims == nullptr || list.size() > victims->size() ||
                (list.size() == victims->size() && list.front()->id < victims->front()->id)) {
                victims = &list;
            }
        }
    }
    if (victims != nullptr) {
        Session& oldest = *victims->front();
        oldest.evicted = true;
        Log(oldest.Label() + " dropped for a connection from " + platform::FormatAddress(peer) +
            ": too many not signed on");
        oldest.connection.Abort("dropped for a newer connection: too many not signed on");
    }
    return true;
}

bool OscarServer::Core::HandleFrame(Session& s, std::uint8_t channel, std::span<const std::uint8_t> data) {
    std::unique_lock<std::mutex> lock(lock_);
    if (stopping_ || s.replaced) return false;
    if (channel == kChannelSignOff) {
        Log(s.Label() + " signed off");
        return false;
    }
    if (!s.signedOn) {
        if (channel == kChannelSignOn) return HandleSignOnFrame(s, data, lock);
        if (channel == kChannelSnac) return HandleLoginSnac(s, data, lock);
        return true;  // keep-alive and anything else
    }
    if (channel == kChannelSnac) {
        PacketReader reader(data);
        SnacHeader snac;
        if (!ReadRecord(reader, snac)) {
            Log(s.Label() + " SNAC shorter than its header, dropped");
            return true;
        }
        if (snac.flags & kSnacFlagExtraData) {
            std::uint16_t extra = 0;
            if (!ReadU16(reader, extra) || !reader.Skip(extra)) {
                Log(s.Label() + " SNAC extra data cut short, dropped");
                return true;
            }
        }
        if (!snacBuckets_[s.uin].Take(config_.snacBurst, config_.snacsPerSecond, Clock::now())) {
            if (!s.snacsLimited) Log(s.Label() + " SNACs over the rate limit, dropped");
            s.snacsLimited = true;
            return true;
        }
        s.snacsLimited = false;
        HandleSnac(s, snac, reader);
        // The file work of the offline store and the accounts file is done outside
        // the server lock.
        OfflineStore* store = s.offlineStaged ? offline_.get() : nullptr;
        DetailsWriter* details = s.detailsStaged ? detailsWriter_.get() : nullptr;
        s.offlineStaged = s.detailsStaged = false;
        if (store != nullptr || details != nullptr) {
            lock.unlock();
            std::string fileError;
            if (store != nullptr && !store->Flush(fileError)) Log(fileError);
            if (details != nullptr && !details->Flush(fileError)) Log(fileError);
        }
    }
    return true;  // keep-alive (channel 5), a repeated hello and other channels
}

void OscarServer::Core::HandleDrained(Session& s) {
    std::lock_guard<std::mutex> lock(lock_);
    if (stopping_ || s.replaced || !s.offlineDelivering) return;
    SendOfflineBatch(s);
}

void OscarServer::Core::HandleClosed(Session& s, const std::string& reason) {
    std::lock_guard<std::mutex> lock(lock_);
    Log(s.Label() + " closed: " + reason);
    if (!s.signedOn || s.iconService) return;
    auto it = online_.find(s.uin);
    if (it == online_.end() || it->second != &s) return;  // a newer session took over
    online_.erase(it);
    if (announced_.erase(s.uin) > 0 && !stopping_) NotifyDeparture(s.uin);
}

// Every SNAC goes to the service of its family; the services ignore subtypes they
// do not serve (rate requests, capabilities, edit start/end and the like).
void OscarServer::Core::HandleSnac(Session& s, const SnacHeader& snac, PacketReader& reader) {
    if (s.iconService) return HandleIconSessionSnac(s, snac, reader);
    switch (snac.family) {
    case 0x0001:
        HandleServiceSnac(s, snac, reader);
        break;
    case 0x0003:
        HandleBuddySnac(s, snac, reader);
        break;
    case 0x0004:
        HandleMessageSnac(s, snac, reader);
        break;
    case 0x0013:
        HandleContactListSnac(s, snac, reader);
        break;
    case 0x0015:
        HandleMetaSnac(s, snac, reader);
        break;
    default:
        break;
    }
}

// --- public face ---------------------------------------------------------------

OscarServer::OscarServer() : core_(std::make_unique<Core>()) {}
OscarServer::~OscarServer() { Stop(); }

bool OscarServer::Start(const ServerConfig& config, std::string& error) {
    const bool loopback = IsLoopback(config.bindAddress);
    AccountStore accounts;
    if (config.accountsFile.empty()) {
        if (!loopback) {
            // The demo passwords are published: never offer them beyond this machine.
            error = "listening on " + platform::FormatAddress(config.bindAddress) +
                    " needs an accounts file (--accounts FILE, or --data-dir with accounts.txt): "
                    "the demo accounts are served on a loopback address only";
            return false;
        }
        accounts = AccountStore::Demo();
    } else {
        std::vector<std::string> warnings;
        if (!accounts.LoadFile(config.accountsFile, error, warnings)) return false;
        struct stat info {};
        if (::stat(config.accountsFile.c_str(), &info) == 0 && (info.st_mode & (S_IRGRP | S_IROTH)) != 0) {
            warnings.push_back("warning: " + config.accountsFile +
                               " holds passwords and other users can read it; chmod 600 it");
        }
        for (const std::string& w : warnings) std::fprintf(stderr, "pellox-server: %s\n", EscapeForLog(w).c_str());
    }
    if (!loopback) {
        std::fprintf(stderr, "pellox-server: warning: listening beyond this machine. %s\n",
                     config.tls ? "The authorization and messaging ports carry passwords and messages in clear "
                                  "text: let clients use the TLS port."
                                : "The protocol carries passwords and messages in clear text: reach the server "
                                  "through an SSH tunnel or a VPN, or give it a TLS port (--tls-port).");
    }
    return Start(config, std::move(accounts), error);
}

bool OscarServer::Start(const ServerConfig& config, AccountStore accounts, std::string& error) {
    return core_->Start(config, std::move(accounts), error);
}

void OscarServer::Stop() { core_->Stop(); }
std::uint16_t OscarServer::AuthPort() const { return core_->authPort; }
std::uint16_t OscarServer::BosPort() const { return core_->bosPort; }
std::uint16_t OscarServer::ProxyPort() const { return core_->proxyPort; }
std::uint16_t OscarServer::TlsPort() const { return core_->tlsPort; }
const std::string& OscarServer::TlsFingerprint() const { return core_->tlsFingerprint; }
bool OscarServer::TlsCertificateCreated() const { return core_->tlsCertificateCreated; }
platform::IpAddress OscarServer::BindAddress() const { return core_->bindAddress; }
std::size_t OscarServer::ConnectionCount() const { return core_->ConnectionCount(); }
std::size_t OscarServer::FreeEndedConnections() { return core_->FreeEndedConnections(); }
std::size_t OscarServer::StoredOfflineCount() const { return core_->StoredOfflineCount(); }
bool OscarServer::DropConnection(Uin uin) { return core_->DropConnection(uin); }
std::size_t OscarServer::DropEveryConnection() { return core_->DropEveryConnection(); }

}  // namespace pellox::server
