// The shared state of the local server and the declarations of its services.
//
// OscarServer::Core owns the listeners, the sessions and everything they share
// (accounts, offline store, cookies, who is online). The work is split by the
// protocol's services, one file each:
//   server_core.cpp          start, stop, accepting, frames, the SNAC dispatch
//   service_authorization.cpp  the logins (roasted and MD5) and cookies
//   service_session.cpp      the cookie sign-on and the generic service family (0x0001)
//   service_presence.cpp     own status, buddy arrival and departure (0x0003)
//   service_messages.cpp     message and typing relay (0x0004)
//   service_contact_list.cpp the server contact list (0x0013)
//   service_meta.cpp         offline messages, user information, the directory
//                            and own details (0x0015)
//   service_icons.cpp        the icon service (0x0010), its redirect and the
//                            icon item of the list
// Each service file has its own SNAC handler for its family (Handle...Snac); the
// core routes every SNAC by family only.
//
// Everything here runs under the server lock (lock_) unless it says otherwise.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "net/codec.h"
#include "platform/socket.h"
#include "platform/stream.h"
#include "platform/tls.h"
#include "tools/accounts.h"
#include "tools/connection.h"
#include "tools/file_proxy.h"
#include "tools/offline_store.h"
#include "tools/oscar_server.h"
#include "tools/rate_limits.h"
#include "tools/server_config.h"
#include "tools/server_log.h"

namespace pellox::server {

// The largest icon the icon service takes, in bytes.
inline constexpr std::size_t kMaxIconBytes = 7168;
// The list item that holds an account's icon hash.
inline constexpr std::uint16_t kItemTypeIcon = 0x0014;
using IconHash = std::array<std::uint8_t, 16>;

// --- wire helpers shared by the services ---------------------------------------

// Tlv, ReadTlvList, FindTlv and AppendString8 are the codec's (net/codec.h).
std::string TextOf(std::span<const std::uint8_t> bytes);
bool AppendText(PacketBuffer& buffer, std::uint16_t type, const std::string& text);
std::string FormatAddress(const platform::IpAddress& address, std::uint16_t port);  // "1.2.3.4:5", "[::1]:5"
std::string FormatIp(std::uint32_t address);  // "a.b.c.d"

// What a login shows of the password: the roasted password of the channel-1
// login, or the MD5 hash of the family-0x0017 login with the key its connection
// was given (empty when it asked for none).
struct LoginCredential {
    bool md5 = false;
    std::string secret;
    std::string key;
};
// Whether the credential fits the account's password, in a time that does not
// depend on where they differ. An MD5 hash may be over the password or over its
// MD5 digest (the form a client marks with TLV 0x004C); both are compared.
bool CredentialMatches(const LoginCredential& credential, const std::string& password);

// --- the core ---------------------------------------------------------------------

class OscarServer::Core {
public:
    ~Core() { Stop(); }

    bool Start(const ServerConfig& config, AccountStore accounts, std::string& error);
    void Stop();

    std::uint16_t authPort = 0;
    std::uint16_t bosPort = 0;
    std::uint16_t tlsPort = 0;  // 0: no TLS listener
    std::uint16_t proxyPort = 0;
    platform::IpAddress bindAddress;
    std::string tlsFingerprint;  // of the certificate the TLS listener presents
    bool tlsCertificateCreated = false;  // a self-signed one was made at this start

    std::size_t ConnectionCount() const;
    std::size_t FreeEndedConnections();
    std::size_t StoredOfflineCount() const;
    bool DropConnection(Uin uin);
    std::size_t DropEveryConnection();

    void Log(const std::string& line) const;

private:
    // Every listener serves both roles: logins (channel 1 or family 0x0017) and
    // the cookie sign-on, as servers do that share one port for both. Which one
    // accepted a connection decides the messaging port a login hands out.
    enum class Listener { Auth, Bos, Tls };

    struct Session final : Connection::Handler {
        Session(Core& owner, std::uint64_t sessionId, Listener via, std::unique_ptr<platform::Stream> stream,
                const Connection::Limits& limits)
            : core(owner), id(sessionId), listener(via), connection(std::move(stream), limits, *this) {}

        bool OnFrame(Connection&, std::uint8_t channel, std::span<const std::uint8_t> data) override {
            return core.HandleFrame(*this, channel, data);
        }
        void OnClosed(Connection&, const std::string& reason) override { core.HandleClosed(*this, reason); }
        void OnDrained(Connection&) override { core.HandleDrained(*this); }

        // "#<id> bos <address> <uin>".
        std::string Label() const;

        Core& core;
        const std::uint64_t id;
        const Listener listener;
        platform::IpAddress peer;    // the client's address
        std::uint64_t peerKey = 0;   // the same as one number (PeerKey)

        // The key of the MD5 login (0x0017/0x0007) and the UIN it was asked for;
        // good for the next login on this connection only.
        std::string loginKey;
        std::string loginKeyUin;

        // Guarded by the server lock.
        bool signedOn = false;   // a valid cookie was shown
        bool evicted = false;    // not signed on, dropped to make room for a newer connection
        bool replaced = false;   // a newer sign-on of the same UIN took over
        bool ready = false;      // client ready was received
        bool activated = false;  // the contact list was activated: presence flows to it
        Uin uin = 0;
        std::uint32_t status = 0;
        std::time_t onlineSince = 0;
        std::vector<std::uint64_t> deliveredOffline;  // ids sent after the last 0x003C
        // Offline messages still to send for the last 0x003C, sent as the output
        // queue drains, then the end record.
        std::deque<OfflineMessage> offlineQueue;
        bool offlineDelivering = false;
        std::uint32_t offlineRequestId = 0;
        std::uint16_t offlineSequence = 0;
        bool offlineStaged = false;  // the store has records of this session to flush
        bool detailsStaged = false;  // the accounts file has details of this session to write
        bool snacsLimited = false;   // the last SNAC was dropped (logged once per run)
        bool iconService = false;    // signed on to the icon service only, never online
        std::set<Uin> clientBuddies;  // the client-side buddy list (0x0003/0x0004)
        // The UINs this session was last told are online: only these hear of a
        // departure, so that one who may not see a UIN learns nothing of it.
        std::set<Uin> shown;
        // Auto-message requests relayed to this session and not yet answered:
        // who asked, and the request's cookie. Only these answers are relayed.
        std::deque<std::pair<Uin, std::uint64_t>> autoRequests;

        // Last, so that it is destroyed first: its threads are joined while the
        // fields above still exist.
        Connection connection;
    };

    // An item of an account's list other than its buddies and group, as its
    // client last added or updated it.
    struct ListItem {
        std::string name;
        std::uint16_t groupId = 0;
        std::uint16_t itemId = 0;
        std::vector<std::uint8_t> data;  // its TLVs
    };
    // Who an account lets see it and hear from it: the visibility item (type
    // 0x0004) and the permit (0x0002), deny (0x0003) and ignore (0x000E) items of
    // its list, by UIN. Kept in memory only, like deleted buddies.
    struct Privacy {
        std::optional<ListItem> visibilityItem;
        // TLV 0x00CA: 1 everybody, 2 nobody, 3 the permit list, 4 all but the deny
        // list, 5 the contacts of the list; 0 (no item) as 4.
        std::uint8_t visibility = 0;
        std::map<Uin, ListItem> permit, deny, ignore;
    };

    struct CookieEntry {
        Uin uin = 0;
        Clock::time_point expires;
    };

    // server_core.cpp
    void AcceptLoop(platform::SocketHandle listener, Listener kind);
    bool HandleFrame(Session& s, std::uint8_t channel, std::span<const std::uint8_t> data);
    void HandleClosed(Session& s, const std::string& reason);
    void HandleDrained(Session& s);
    // Whether a new connection from `peer` is served; it may take the place of
    // the oldest one not signed on.
    bool AdmitConnection(std::uint64_t peerKey, const platform::IpAddress& peer);
    void HandleSnac(Session& s, const SnacHeader& snac, PacketReader& reader);
    std::uint32_t NextRequestId() { return ++requestCounter_; }
    std::vector<std::unique_ptr<Session>> TakeFinished();
    static bool LoadTlsContext(const ServerConfig& config, std::shared_ptr<const platform::TlsServerContext>& context,
                               bool& created, std::string& error);

    // service_authorization.cpp
    // A channel-1 frame before the sign-on: a bare hello, the cookie or the
    // roasted login.
    bool HandleSignOnFrame(Session& s, std::span<const std::uint8_t> data, std::unique_lock<std::mutex>& lock);
    // A SNAC before the sign-on: the MD5 login of family 0x0017.
    bool HandleLoginSnac(Session& s, std::span<const std::uint8_t> data, std::unique_lock<std::mutex>& lock);
    // Decides a login after the throttle's wait and returns the reply TLVs (UIN,
    // then address and cookie or the refusal); false when the server stopped
    // meanwhile.
    bool Authorize(Session& s, const std::string& uinText, const LoginCredential& credential,
                   std::unique_lock<std::mutex>& lock, PacketBuffer& reply);
    // The refusal code for a login of `uin` (0: no such account), 0 when it is good.
    std::uint16_t CheckLogin(Uin uin, const LoginCredential& credential);
    // TLV 0x0005 of a good login: "address:port" of the messaging service.
    std::string MessagingAddress(Session& s) const;
    std::string NewCookie(Uin uin);
    void ExpireCookies();

    // service_session.cpp
    bool HandleCookie(Session& s, std::span<const std::uint8_t> data);
    void SignOn(Session& s, Uin uin);
    void HandleServiceSnac(Session& s, const SnacHeader& snac, PacketReader& reader);
    void HandleClientReady(Session& s);

    // service_presence.cpp
    void HandleStatus(Session& s, PacketReader& reader);
    void SendBuddyPresence(Session& s);
    // Tells s of uin's arrival when uin shows as online and s may see it.
    void TellPresence(Session& s, Uin uin);
    // Takes a token of the UIN's message bucket (messages, typing, authorization).
    bool TakeMessageToken(Uin uin);
    // Bytes a client's output queue may hold before what others send it is dropped:
    // the rest is kept for the replies to its own requests.
    std::size_t RelayRoom() const { return config_.maxQueuedOutput / 2; }
    PacketBuffer UserInfo(Uin uin) const;
    bool IsVisible(Uin uin) const;
    // True when `watcher` may see `uin` online: never when uin ignores it; while
    // uin is invisible only from its permit list; otherwise as uin's visibility
    // item says.
    bool SeenBy(Uin uin, Uin watcher) const;
    // True when `owner` will not hear from `sender`: it ignores it, or denies it
    // while its deny list is in force (visibility 4, or no item).
    bool Blocks(Uin owner, Uin sender) const;
    Session* OnlineSession(Uin uin) const;
    // Tells every activated session that lists uin of its presence: an arrival
    // with the status word to those who may see it, a departure to the others.
    void NotifyArrival(Uin uin);
    void NotifyDeparture(Uin uin);
    // 0x0003/0x0004 and 0x0005: the client-side buddy list of a session.
    void HandleBuddySnac(Session& s, const SnacHeader& snac, PacketReader& reader);
    // True when the session's account lists uin or its client-side list holds it.
    bool Watches(const Session& s, Uin uin) const;

    // service_messages.cpp
    void HandleMessageSnac(Session& s, const SnacHeader& snac, PacketReader& reader);
    void HandleMessage(Session& s, const SnacHeader& snac, PacketReader& reader);
    void SendMessageError(Session& s, std::uint32_t requestId, std::uint16_t code);
    // A message to `to` that the sender may not see online (hidden is online but
    // hidden from the sender): answered as for an offline UIN, stored, or
    // relayed to the hidden session when the store would have taken it. For a
    // sender `to` blocks, answered alike and dropped.
    void SendToUnseen(Session& s, const SnacHeader& snac, Uin to, std::span<const std::uint8_t> block,
                      Session* hidden, const PacketBuffer& relayed, bool blocked);
    // A channel-2 message: only auto-message requests are relayed, to a
    // recipient the sender may see; anything else is answered as from an
    // offline UIN.
    void RelayAutoMessageRequest(Session& s, const SnacHeader& snac, Uin to, std::uint64_t cookie,
                                 const PacketBuffer& relayed, const Tlv* rendezvous);
    // 0x0004/0x000B: the answer to a relayed auto-message request.
    void RelayAutoResponse(Session& s, PacketReader& reader);
    void RelayTyping(Session& s, PacketReader& reader);

    // service_rendezvous.cpp
    // Sets TLV 0x0004 of the rendezvous block among the message TLVs to the
    // sender's address; false when the block does not read.
    bool StampFileRendezvous(const Session& s, std::vector<Tlv>& tlvs);
    // Relays a file rendezvous to a recipient the sender may see and reach;
    // anything else is answered as a message to an offline UIN.
    void RelayFileRendezvous(Session& s, const SnacHeader& snac, Uin to, const PacketBuffer& relayed);

    // service_contact_list.cpp
    void HandleContactListSnac(Session& s, const SnacHeader& snac, PacketReader& reader);
    void SendContactList(Session& s, std::uint32_t requestId);
    void HandleDeleteItems(Session& s, const SnacHeader& snac, PacketReader& reader);
    // 0x0008 (add) and 0x0009 (update): buddies, groups and the visibility item.
    void HandleItemChanges(Session& s, const SnacHeader& snac, PacketReader& reader);
    void RelayAuthorization(Session& s, const SnacHeader& snac, PacketReader& reader);
    // One buddy item added or changed; its 0x0013/0x000E result code.
    std::uint16_t ChangeBuddy(Session& s, bool add, const std::string& name, std::uint16_t itemId,
                              const std::vector<Tlv>& tlvs);
    // One permit, deny or ignore item added, changed or deleted; its result code.
    std::uint16_t ChangePrivacyItem(Session& s, std::uint16_t subtype, std::uint16_t type, ListItem item);
    // The list's items of that type (permit, deny or ignore), or null.
    static std::map<Uin, ListItem>* PrivacyList(Privacy& privacy, std::uint16_t type);
    // After a change of uin's privacy: watchers hear of it as they now may.
    void PrivacyChanged(Session& s);

    // service_meta.cpp
    void HandleMetaSnac(Session& s, const SnacHeader& snac, PacketReader& reader);
    void SendShortInfo(Session& s, std::uint32_t requestId, std::uint16_t sequence, Uin target);
    // Meta request 0x07D0: information, searches and own details by subtype.
    void HandleInfoRequest(Session& s, std::uint32_t requestId, std::uint16_t sequence, PacketReader& reader);
    void SendFullInfo(Session& s, std::uint32_t requestId, std::uint16_t sequence, Uin target);
    void SendSearchResults(Session& s, std::uint32_t requestId, std::uint16_t sequence, std::uint16_t subtype,
                           PacketReader& reader);
    // The set requests; the success byte of the answer.
    std::uint8_t SetDetails(Session& s, std::uint16_t subtype, PacketReader& reader);
    void DeliverOffline(Session& s, std::uint32_t requestId, std::uint16_t sequence);
    void SendOfflineBatch(Session& s);

    // service_icons.cpp
    // 0x0001/0x0004: the redirect to the icon service, with a cookie of its own.
    void HandleServiceRequest(Session& s, const SnacHeader& snac, PacketReader& reader);
    // Finds and erases an icon-service cookie.
    bool TakeIconCookie(const std::string& cookie, Uin& uin);
    void SignOnIconService(Session& s, Uin uin);
    // Every SNAC of an icon-service connection: families 0x0001 and 0x0010 only.
    void HandleIconSessionSnac(Session& s, const SnacHeader& snac, PacketReader& reader);
    void HandleIconUpload(Session& s, const SnacHeader& snac, PacketReader& reader);
    void HandleIconFetch(Session& s, const SnacHeader& snac, PacketReader& reader);
    // Add (0x0008), update (0x0009) or delete (0x000A) of the icon item; its result code.
    std::uint16_t ChangeIconItem(Session& s, std::uint16_t subtype, ListItem item);
    // The icon item of uin's list, laid out as a list item, when there is one;
    // false (nothing appended) when none.
    bool AppendIconItem(Uin uin, PacketBuffer& item) const;
    // TLV 0x001D with the icon uin announces; false (nothing appended) when none.
    bool AppendIconInfo(Uin uin, PacketBuffer& p) const;
    // The hash uin's presence announces: its item's, while that icon is stored.
    std::optional<IconHash> AnnouncedIcon(Uin uin) const;
    // Watchers hear the owner's presence again, with the icon as it now is.
    void IconChanged(Uin uin);
    struct StoredIcon {
        IconHash hash{};
        std::vector<std::uint8_t> data;
    };
    // The account's stored icon (read from the data directory once), or null.
    const StoredIcon* IconOf(Uin uin) const;

    ServerConfig config_;

    mutable std::mutex lock_;  // the server lock: everything below
    AccountStore accounts_;
    std::unique_ptr<OfflineStore> offline_;
    std::map<std::string, CookieEntry> cookies_;
    std::vector<std::unique_ptr<Session>> sessions_;
    std::map<Uin, Session*> online_;      // the current signed-on session of each UIN
    std::set<Uin> announced_;             // UINs whose arrival watchers were told of
    std::map<Uin, std::uint32_t> listStamps_;
    // By UIN, across its sessions, so that signing on again refills nothing.
    std::map<Uin, TokenBucket> messageBuckets_;
    std::map<Uin, TokenBucket> snacBuckets_;
    std::map<Uin, TokenBucket> signOnBuckets_;
    std::unique_ptr<LoginThrottle> throttle_;  // null on loopback unless asked for
    std::condition_variable stopRequested_;  // with lock_: wakes login delays
    std::map<Uin, Privacy> privacy_;
    std::map<std::string, CookieEntry> iconCookies_;
    std::map<Uin, ListItem> iconItems_;      // the icon item of each list, in memory only
    mutable std::map<Uin, StoredIcon> icons_;  // one per account: the last upload
    mutable std::set<Uin> iconsLookedUp_;      // looked for in the data directory already
    std::unique_ptr<DetailsWriter> detailsWriter_;
    std::random_device random_;
    std::uint64_t nextSessionId_ = 1;
    std::uint32_t requestCounter_ = 0;
    std::time_t startedAt_ = 0;
    bool running_ = false;
    bool stopping_ = false;

    platform::SocketHandle authListener_ = platform::kNoSocket;
    platform::SocketHandle bosListener_ = platform::kNoSocket;
    platform::SocketHandle tlsListener_ = platform::kNoSocket;
    std::shared_ptr<const platform::TlsServerContext> tlsContext_;  // set while the TLS listener runs
    std::thread authAccept_;
    std::thread bosAccept_;
    std::thread tlsAccept_;

    mutable ServerLog log_;
    std::unique_ptr<FileProxy> proxy_;  // set by Start, stopped by Stop; not under lock_
};

}  // namespace pellox::server
