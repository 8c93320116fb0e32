// The icon service (family 0x0010) and what the messaging port does for it: the
// redirect a client asks for with 0x0001/0x0004, the icon item (type 0x0014) of the
// stored list, and the announcement of an account's icon in its presence.
//
// The service runs on the same listeners: a client connects again and shows a
// cookie made for the service; that connection serves only families 0x0001 and
// 0x0010 and never counts as the account being online. Each account keeps one icon
// (the last upload), in memory and, with a data directory, in "icons/<uin>" there.
// An account's icon is announced (TLV 0x001D of its presence) while its list's icon
// item names the hash of the icon stored.
#include <algorithm>
#include <cstdint>

#include "platform/digest.h"
#include "platform/files.h"
#include "platform/local_time.h"
#include "store/file_access.h"
#include "tools/server_core.h"

namespace pellox::server {
namespace {

constexpr std::uint16_t kIconFamily = 0x0010;
constexpr std::uint16_t kTlvIconHash = 0x00D5;
constexpr std::uint16_t kIconInfoType = 0x0001;
// The flags of the own-icon notice 0x0001/0x0021: 0x40 asks for an upload.
constexpr std::uint8_t kIconFlags = 0x01;
constexpr std::uint8_t kIconUploadWanted = 0x40;
constexpr std::uint16_t kItemDone = 0x0000;
constexpr std::uint16_t kItemNotFound = 0x0002;
constexpr std::uint16_t kItemAlreadyThere = 0x0003;
constexpr std::uint16_t kItemRefused = 0x000A;

// The hash TLV 0x00D5 of an icon item holds: flags, length 16, the MD5 hash.
bool ItemHash(const std::vector<std::uint8_t>& data, IconHash& hash) {
    PacketReader reader(data);
    std::vector<Tlv> tlvs;
    (void)ReadTlvList(reader, tlvs);
    const Tlv* tlv = FindTlv(tlvs, kTlvIconHash);
    if (tlv == nullptr || tlv->value.size() != 2 + hash.size() || tlv->value[1] != hash.size()) return false;
    std::copy(tlv->value.begin() + 2, tlv->value.end(), hash.begin());
    return true;
}

void AppendHash(PacketBuffer& p, std::uint8_t flags, const IconHash& hash) {
    AppendU8(p, flags);
    AppendU8(p, static_cast<std::uint8_t>(hash.size()));
    AppendBytes(p, hash.data(), hash.size());
}

}  // namespace

void OscarServer::Core::HandleServiceRequest(Session& s, const SnacHeader& snac, PacketReader& reader) {
    std::uint16_t family = 0;
    if (!ReadU16(reader, family)) return;
    if (family != kIconFamily) {
        PacketBuffer error;
        AppendU16(error, 0x0006);  // service not defined
        s.connection.SendSnac(0x0001, 0x0001, snac.requestId, error);
        return;
    }
    std::erase_if(iconCookies_, [&s](const auto& entry) { return entry.second.uin == s.uin; });
    std::string cookie;
    while (cookie.size() < 32) {
        const std::uint32_t r = random_();
        for (int i = 0; i < 4; ++i) cookie += static_cast<char>((r >> (8 * i)) & 0xFF);
    }
    iconCookies_[cookie] = CookieEntry{s.uin, Clock::now() + std::chrono::milliseconds(config_.cookieLifetimeMs)};
    PacketBuffer reply;
    AppendU16(reply, 0x000D);
    AppendU16(reply, 2);
    AppendU16(reply, kIconFamily);
    AppendText(reply, 0x0005, MessagingAddress(s));
    AppendText(reply, 0x0006, cookie);
    s.connection.SendSnac(0x0001, 0x0005, snac.requestId, reply);
}

bool OscarServer::Core::TakeIconCookie(const std::string& cookie, Uin& uin) {
    std::erase_if(iconCookies_, [now = Clock::now()](const auto& entry) { return entry.second.expires <= now; });
    auto it = iconCookies_.find(cookie);
    if (it == iconCookies_.end() || accounts_.Find(it->second.uin) == nullptr) return false;
    uin = it->second.uin;
    iconCookies_.erase(it);  // single use
    return true;
}

void OscarServer::Core::SignOnIconService(Session& s, Uin uin) {
    s.signedOn = true;
    s.iconService = true;
    s.uin = uin;
    s.connection.SetDeadline(0);
    s.connection.SetIdleTimeout(config_.idleTimeoutMs);
    Log(s.Label() + " icon service");
    PacketBuffer families;
    AppendU16(families, 0x0001);
    AppendU16(families, kIconFamily);
    s.connection.SendSnac(0x0001, 0x0003, NextRequestId(), families);
}

void OscarServer::Core::HandleIconSessionSnac(Session& s, const SnacHeader& snac, PacketReader& reader) {
    if (snac.family == 0x0001 && snac.subtype == 0x0017) {
        PacketBuffer versions;
        AppendU16(versions, 0x0001);
        AppendU16(versions, 4);
        AppendU16(versions, kIconFamily);
        AppendU16(versions, 1);
        s.connection.SendSnac(0x0001, 0x0018, snac.requestId, versions);
    } else if (snac.family == 0x0001 && snac.subtype == 0x0002) {
        s.ready = true;
    } else if (snac.family == kIconFamily && snac.subtype == 0x0002) {
        HandleIconUpload(s, snac, reader);
    } else if (snac.family == kIconFamily && snac.subtype == 0x0006) {
        HandleIconFetch(s, snac, reader);
    }
}

const OscarServer::Core::StoredIcon* OscarServer::Core::IconOf(Uin uin) const {
    if (auto it = icons_.find(uin); it != icons_.end()) return &it->second;
    if (config_.dataDirectory.empty() || !iconsLookedUp_.insert(uin).second) return nullptr;
    std::string bytes;
    if (!platform::ReadWholeFile(config_.dataDirectory + "/icons/" + UinText(uin), bytes) || bytes.empty() ||
        bytes.size() > kMaxIconBytes) {
        return nullptr;
    }
    StoredIcon& icon = icons_[uin];
    icon.hash = platform::Md5(bytes);
    icon.data.assign(bytes.begin(), bytes.end());
    return &icon;
}

std::optional<IconHash> OscarServer::Core::AnnouncedIcon(Uin uin) const {
    auto item = iconItems_.find(uin);
    IconHash wanted{};
    if (item == iconItems_.end() || !ItemHash(item->second.data, wanted)) return std::nullopt;
    const StoredIcon* icon = IconOf(uin);
    if (icon == nullptr || icon->hash != wanted) return std::nullopt;
    return wanted;
}

void OscarServer::Core::HandleIconUpload(Session& s, const SnacHeader& snac, PacketReader& reader) {
    std::uint16_t reference = 0, length = 0;
    if (!ReadU16(reader, reference) || !ReadU16(reader, length) || length == 0 || length > kMaxIconBytes ||
        static_cast<int>(length) > reader.Remaining()) {
        Log(s.Label() + " icon upload refused: empty, cut short or over " + std::to_string(kMaxIconBytes) + " bytes");
        PacketBuffer error;
        AppendU16(error, 0x000E);  // busted payload
        s.connection.SendSnac(kIconFamily, 0x0001, snac.requestId, error);
        return;
    }
    StoredIcon icon;
    icon.data.assign(reader.Data() + reader.Position(), reader.Data() + reader.Position() + length);
    icon.hash = platform::Md5(icon.data);
    if (!config_.dataDirectory.empty()) {
        const std::string directory = config_.dataDirectory + "/icons/";
        const std::string bytes(icon.data.begin(), icon.data.end());
        const auto content = [&bytes]() -> std::optional<std::string> { return bytes; };
        if (!platform::MakeDirectories(directory, 0700) || !ReplaceFileContents(directory, UinText(s.uin), content)) {
            Log(s.Label() + " icon not written to " + directory);
        }
    }
    const IconHash hash = icon.hash;
    icons_[s.uin] = std::move(icon);
    iconsLookedUp_.insert(s.uin);
    Log(s.Label() + " icon uploaded, " + std::to_string(length) + " bytes");

    PacketBuffer ack;
    AppendU16(ack, 0x0000);
    AppendU16(ack, kIconInfoType);
    AppendHash(ack, kIconFlags, hash);
    s.connection.SendSnac(kIconFamily, 0x0003, snac.requestId, ack);
    IconChanged(s.uin);
}

void OscarServer::Core::HandleIconFetch(Session& s, const SnacHeader& snac, PacketReader& reader) {
    std::string name;
    std::uint8_t count = 0, flags = 0, hashLength = 0;
    std::uint16_t iconId = 0;
    IconHash hash{};
    Uin uin = 0;
    if (!ReadString8(reader, name) || !ReadU8(reader, count) || !ReadU16(reader, iconId) || !ReadU8(reader, flags) ||
        !ReadU8(reader, hashLength) || hashLength != hash.size() || !ReadBytes(reader, hash.data(), hash.size()) ||
        !ParseUin(name, uin)) {
        Log(s.Label() + " malformed icon request, dropped");
        return;
    }
    const StoredIcon* icon = IconOf(uin);
    const bool found = icon != nullptr && icon->hash == hash;
    PacketBuffer p;
    AppendString8(p, name);
    AppendU16(p, iconId);
    AppendHash(p, flags, hash);
    AppendU8(p, 0);
    AppendU16(p, iconId);
    AppendHash(p, flags, hash);
    AppendU16(p, static_cast<std::uint16_t>(found ? icon->data.size() : 0));
    if (found) AppendBytes(p, icon->data.data(), icon->data.size());
    s.connection.SendSnac(kIconFamily, 0x0007, snac.requestId, p);
}

std::uint16_t OscarServer::Core::ChangeIconItem(Session& s, std::uint16_t subtype, ListItem item) {
    auto it = iconItems_.find(s.uin);
    if (subtype == 0x000A) {
        if (it == iconItems_.end()) return kItemNotFound;
        iconItems_.erase(it);
        Log(s.Label() + " icon item deleted");
        IconChanged(s.uin);
        return kItemDone;
    }
    IconHash hash{};
    if (!ItemHash(item.data, hash)) return kItemRefused;
    if (subtype == 0x0008 && it != iconItems_.end()) return kItemAlreadyThere;
    if (subtype == 0x0009 && it == iconItems_.end()) return kItemNotFound;
    iconItems_[s.uin] = std::move(item);
    listStamps_[s.uin] = static_cast<std::uint32_t>(platform::Now());
    // The owner is told whether the service already has this icon or wants it.
    const StoredIcon* icon = IconOf(s.uin);
    const bool have = icon != nullptr && icon->hash == hash;
    PacketBuffer notice;
    AppendU16(notice, kIconInfoType);
    AppendHash(notice, static_cast<std::uint8_t>(have ? kIconFlags : kIconFlags | kIconUploadWanted), hash);
    s.connection.SendSnac(0x0001, 0x0021, NextRequestId(), notice);
    if (have) IconChanged(s.uin);
    return kItemDone;
}

bool OscarServer::Core::AppendIconItem(Uin uin, PacketBuffer& p) const {
    auto it = iconItems_.find(uin);
    if (it == iconItems_.end()) return false;
    const ListItem& item = it->second;
    AppendU16(p, static_cast<std::uint16_t>(item.name.size()));
    AppendBytes(p, item.name.data(), item.name.size());
    AppendU16(p, item.groupId);
    AppendU16(p, item.itemId);
    AppendU16(p, kItemTypeIcon);
    AppendU16(p, static_cast<std::uint16_t>(item.data.size()));
    AppendBytes(p, item.data.data(), item.data.size());
    return true;
}

bool OscarServer::Core::AppendIconInfo(Uin uin, PacketBuffer& p) const {
    const std::optional<IconHash> hash = AnnouncedIcon(uin);
    if (!hash) return false;
    AppendU16(p, 0x001D);
    AppendU16(p, static_cast<std::uint16_t>(4 + hash->size()));
    AppendU16(p, kIconInfoType);
    AppendHash(p, kIconFlags, *hash);
    return true;
}

void OscarServer::Core::IconChanged(Uin uin) {
    Session* owner = OnlineSession(uin);
    if (owner != nullptr && announced_.count(uin) > 0) NotifyArrival(uin);
}

}  // namespace pellox::server
