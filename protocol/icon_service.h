// Pictures through the icon service (family 0x0010): the contacts' icons fetched
// into the data folder's cache, and one's own picture put on the server list and
// uploaded.
//
// Contacts' icons: an arrival (0x0003/0x000B) whose user information carries TLV
// 0x001D (blocks of type 2, flags 1, length 1, data; type 0x0001 with 16 bytes is
// the icon's MD5) sets the contact's iconHash (posting ContactChanged when it
// changed; an arrival without one clears it). A hash the cache lacks is fetched:
// the messaging connection asks for the service (0x0001/0x0004 with 0x0010), the
// redirect (0x0001/0x0005: TLV 0x000D the family, 0x0005 the address, 0x0006 the
// cookie) opens one ServiceConnection, and every fetch waiting then and while it
// lasts goes out on it (0x0010/0x0006: UIN, 1, icon id 0x0001, flags, 16, hash).
// Each hash is fetched at most once a connection of the session, never twice at a
// time. An answer (0x0010/0x0007: UIN, id, flags, 16, hash, a byte, id, flags, 16,
// hash, 2-byte length, the icon) is kept only when its bytes are at most
// kMaxIconBytes, their MD5 is the hash asked for and the image check passes; then
// it is cached and every contact with that hash gets ContactChanged. The service
// connection closes once nothing is waiting or in flight.
//
// Own picture: SyncOwnIcon makes the list's icon item (kItemTypeIcon, TLV 0x00D5)
// name the hash of the profile's picture (adding, updating or deleting it in one
// edit). The server answers a hash it lacks with 0x0001/0x0021 (type 0x0001, flags
// with 0x40, 16, hash); when the hash is the picture's, it is uploaded on the
// service connection (0x0010/0x0002: reference, length, bytes).
//
// Threads: the receive thread calls OnArrival, OnRedirect and OnOwnIconNotice, the
// worker SyncOwnIcon; the service connection's thread runs the answers. One lock
// guards the queue and the connection: taken with no other lock held, and only the
// service connection's send lock is taken inside it; files are written, the model
// changed and the messaging connection sent on outside it.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "net/codec.h"
#include "store/icon_cache.h"

namespace pellox {

class AppState;
class Connection;
class ServerListState;
class ServiceConnection;
class SessionImpl;

// Fetches waiting for the service at most; more are dropped until it answers.
inline constexpr std::size_t kMaxWaitingFetches = 64;
// Hashes remembered as fetched at most; past it they are forgotten (and a hash
// that failed may be fetched once more), so that a flood of hashes costs no memory.
inline constexpr std::size_t kMaxTriedHashes = 4096;

// The icon hash of a user-information block's TLV 0x001D; nullopt when none.
std::optional<IconHash> AnnouncedIconHash(const UserInfoBlock& block);
// True for bytes that start as a PNG, JPEG, GIF or BMP file does: the check when
// the application sets none.
bool LooksLikeImage(std::span<const std::uint8_t> bytes);

class IconService {
public:
    using ImageCheck = std::function<bool(std::span<const std::uint8_t>)>;

    IconService(SessionImpl& net, AppState& model);
    ~IconService();
    IconService(const IconService&) = delete;
    IconService& operator=(const IconService&) = delete;

    // Whether fetched bytes are a picture that can be shown (any thread; it must
    // not touch widgets). Set before the first connect.
    void SetImageCheck(ImageCheck check);

    // Receive thread: the user-information block of an arrival.
    void OnArrival(Connection& from, PacketReader info);
    // Receive thread: 0x0001/0x0005. False when cut short.
    bool OnRedirect(PacketReader& reader);
    // Receive thread: 0x0001/0x0021. False when cut short.
    bool OnOwnIconNotice(Connection& from, PacketReader& reader);
    // Worker or receive thread, once the list is loaded: the icon item follows the
    // profile's picture. False when nothing was sent (nothing to change, or the
    // edit could not go out).
    bool SyncOwnIcon(Connection& connection, ServerListState& list);
    // The request ids of the icon item's edits (their 0x0013/0x000E results).
    static bool IsIconItemRequest(std::uint32_t requestId);

    // A new connection of the session: closes the service connection and forgets
    // what waited.
    void Reset();
    // Closes and joins every service connection; nothing starts afterwards.
    void Shutdown();

    // Fetch requests sent since the start, for tests.
    std::size_t FetchesSentForTesting() const { return fetchesSent_.load(); }
    // True while no service connection is asked for, open or closing.
    bool ServiceIdleForTesting() const {
        std::lock_guard<std::mutex> guard(lock_);
        return phase_ == Phase::Idle && !connection_;
    }

private:
    enum class Phase { Idle, Requested, Ready, Closing };
    struct Waiting {
        std::string uin;
        IconHash hash{};
    };

    // Asks the messaging connection for the service unless it was asked already.
    void Demand(Connection& from);
    void OnReady(ServiceConnection& connection);
    void OnSnac(ServiceConnection& connection, const SnacHeader& snac, PacketReader& reader);
    void OnClosed(ServiceConnection& connection);
    // Sends what waits on the ready connection; closes it when nothing is left.
    // Requires lock_.
    void SendWaiting(ServiceConnection& connection);
    void CloseWhenIdle();  // requires lock_
    // An answer's icon: checked, cached, shown.
    void Accept(const IconHash& hash, std::span<const std::uint8_t> bytes);
    std::optional<std::vector<std::uint8_t>> OwnPicture() const;
    // Joins the connections that ended (outside lock_).
    void JoinRetired();

    SessionImpl& net_;
    AppState& model_;
    std::atomic<std::size_t> fetchesSent_{0};

    mutable std::mutex lock_;
    ImageCheck check_;
    bool shutDown_ = false;
    Phase phase_ = Phase::Idle;
    std::unique_ptr<ServiceConnection> connection_;
    std::vector<std::unique_ptr<ServiceConnection>> retired_;
    std::deque<Waiting> waiting_;
    std::map<IconHash, std::uint32_t> inFlight_;       // hash -> the request id of its fetch
    std::set<IconHash> tried_;                         // fetched this connection of the session
    std::optional<std::vector<std::uint8_t>> upload_;  // the picture the server asked for
    bool uploading_ = false;
    std::uint32_t nextRequest_ = 0;
};

}  // namespace pellox
