// The server contact list (family 0x0013): the list itself, activation, adding,
// changing and deleting buddies.
#include <algorithm>
#include <cstdint>

#include "platform/local_time.h"
#include "tools/server_core.h"

namespace pellox::server {
namespace {

constexpr std::size_t kMaxItemsPerRequest = 1000;
// The reason of an authorization request or reply: what a person types, cut here.
constexpr std::size_t kMaxAuthorizationReason = 512;
// SNAC data of one contact list reply: what one frame holds beside the SNAC header.
constexpr std::size_t kMaxListReplyData = kMaxFlapData - kSnacHeaderSize;

// Group of the server contact list that holds every buddy: "Общие" in Windows-1251.
constexpr char kGroupName[] = "\xCE\xE1\xF9\xE8\xE5";
constexpr std::uint16_t kGroupId = 1;
constexpr std::uint16_t kItemTypeBuddy = 0x0000;
constexpr std::uint16_t kItemTypeGroup = 0x0001;
constexpr std::uint16_t kItemTypePermit = 0x0002;
constexpr std::uint16_t kItemTypeDeny = 0x0003;
constexpr std::uint16_t kItemTypeVisibility = 0x0004;
constexpr std::uint16_t kItemTypeIgnore = 0x000E;
constexpr std::uint16_t kTlvVisibility = 0x00CA;
constexpr std::uint16_t kTlvNickname = 0x0131;
constexpr std::uint16_t kTlvAwaitingAuth = 0x0066;
// Answers of 0x0013/0x000E, one per item.
constexpr std::uint16_t kItemDone = 0x0000;
constexpr std::uint16_t kItemNotFound = 0x0002;
constexpr std::uint16_t kItemAlreadyThere = 0x0003;
constexpr std::uint16_t kItemRefused = 0x000A;
constexpr std::uint16_t kItemLimit = 0x000C;
constexpr std::uint16_t kItemNeedsAuthorization = 0x000E;

// The bytes of an item besides its name and TLVs.
constexpr std::size_t kItemHead = 2 + 2 + 2 + 2 + 2;

// The head of one list item: its name, group, item id, type and the length of
// the TLVs that follow.
void AppendItemHead(PacketBuffer& p, const std::string& name, std::uint16_t groupId, std::uint16_t itemId,
                    std::uint16_t type, std::size_t tlvBytes) {
    AppendU16(p, static_cast<std::uint16_t>(name.size()));
    AppendBytes(p, name.data(), name.size());
    AppendU16(p, groupId);
    AppendU16(p, itemId);
    AppendU16(p, type);
    AppendU16(p, static_cast<std::uint16_t>(tlvBytes));
}

// The items of a list laid out one after the other in one buffer, with where
// each ends, so that the replies are cut from it without an allocation per item.
struct ItemLayout {
    std::vector<std::uint8_t> bytes;
    std::vector<std::size_t> ends;
    bool failed = false;

    // Adds the item laid out in `item`, then empties it for the next.
    void Add(PacketBuffer& item) {
        failed = failed || item.Failed();
        bytes.insert(bytes.end(), item.Data(), item.Data() + item.Length());
        ends.push_back(bytes.size());
        item.Clear();
    }
    std::size_t Start(std::size_t i) const { return i == 0 ? 0 : ends[i - 1]; }
    std::size_t Size(std::size_t i) const { return ends[i] - Start(i); }
};

}  // namespace

void OscarServer::Core::HandleContactListSnac(Session& s, const SnacHeader& snac, PacketReader& reader) {
    switch (snac.subtype) {
    case 0x0004:  // contact list request
    case 0x0005:  // the same with a time stamp: always answered in full
        SendContactList(s, snac.requestId);
        break;
    case 0x0007:  // activation: presence of buddies starts flowing
        s.activated = true;
        SendBuddyPresence(s);
        break;
    case 0x0008:  // add items
    case 0x0009:  // update items
        HandleItemChanges(s, snac, reader);
        break;
    case 0x000A:
        HandleDeleteItems(s, snac, reader);
        break;
    case 0x0018:  // authorization request
    case 0x001A:  // authorization reply
        RelayAuthorization(s, snac, reader);
        break;
    default:
        break;
    }
}

void OscarServer::Core::SendContactList(Session& s, std::uint32_t requestId) {
    const Account* account = accounts_.Find(s.uin);
    if (account == nullptr) return;

    // The group item naming its members by item id, the privacy and icon items,
    // then one buddy item per buddy with its nickname.
    constexpr std::size_t kBuddyItemGuess = kItemHead + 10 + 4 + 24;
    ItemLayout items;
    items.bytes.reserve(kItemHead + 8 + 2 * account->buddies.size() + kBuddyItemGuess * account->buddies.size());
    items.ends.reserve(2 + account->buddies.size());
    PacketBuffer p;
    AppendItemHead(p, kGroupName, kGroupId, 0, kItemTypeGroup, 4 + 2 * account->buddies.size());
    AppendU16(p, 0x00C8);
    AppendU16(p, static_cast<std::uint16_t>(2 * account->buddies.size()));
    for (const Buddy& buddy : account->buddies) AppendU16(p, buddy.itemId);
    items.Add(p);
    if (auto kept = privacy_.find(s.uin); kept != privacy_.end()) {
        Privacy& privacy = kept->second;
        auto append = [&items, &p](const ListItem& item, std::uint16_t type) {
            AppendItemHead(p, item.name, item.groupId, item.itemId, type, item.data.size());
            AppendBytes(p, item.data.data(), item.data.size());
            items.Add(p);
        };
        if (privacy.visibilityItem) append(*privacy.visibilityItem, kItemTypeVisibility);
        for (std::uint16_t type : {kItemTypePermit, kItemTypeDeny, kItemTypeIgnore}) {
            for (const auto& [uin, item] : *PrivacyList(privacy, type)) append(item, type);
        }
    }
    if (AppendIconItem(s.uin, p)) items.Add(p);
    static const std::string kNoNickname;
    for (const Buddy& buddy : account->buddies) {
        const Account* other = buddy.name.empty() ? accounts_.Find(buddy.uin) : nullptr;
        const std::string& nickname = !buddy.name.empty() ? buddy.name : other ? other->nickname : kNoNickname;
        const std::string uin = UinText(buddy.uin);
        const std::size_t tlvBytes = (nickname.empty() ? 0 : 4 + nickname.size()) + (buddy.awaitingAuth ? 4 : 0);
        AppendItemHead(p, uin, kGroupId, buddy.itemId, kItemTypeBuddy, tlvBytes);
        if (!nickname.empty()) AppendText(p, kTlvNickname, nickname);
        if (buddy.awaitingAuth) AppendTlv(p, kTlvAwaitingAuth, 0, nullptr);
        items.Add(p);
    }
    constexpr std::size_t kReplyFrame = 1 + 2 + 4;  // version, count, time
    for (std::size_t i = 0; i < items.ends.size(); ++i) {
        if (items.failed || kReplyFrame + items.Size(i) > kMaxListReplyData) {
            Log(s.Label() + " contact list not sent: an item is too long for one reply");
            return;
        }
    }
    auto stamp = listStamps_.find(s.uin);
    const std::uint32_t lastChange = stamp != listStamps_.end() ? stamp->second : static_cast<std::uint32_t>(startedAt_);

    // As many whole items per reply as fit one frame beside the version, the count
    // and the time; each reply is complete in itself, and all but the last say
    // that more follow.
    const std::size_t count = items.ends.size();
    std::size_t next = 0;
    std::size_t replies = 0;
    while (next < count) {
        std::size_t bytes = kReplyFrame;
        std::size_t end = next;
        while (end < count && bytes + items.Size(end) <= kMaxListReplyData) bytes += items.Size(end++);
        p.Clear();
        p.Reserve(bytes);
        AppendU8(p, 0);  // list version
        AppendU16(p, static_cast<std::uint16_t>(end - next));
        AppendBytes(p, items.bytes.data() + items.Start(next), items.Start(end) - items.Start(next));
        AppendU32(p, lastChange);
        const std::uint16_t flags = end < count ? kSnacFlagMoreReplies : 0;
        if (!s.connection.SendSnac(0x0013, 0x0006, requestId, p, flags)) {
            Log(s.Label() + " contact list could not be sent");
            return;
        }
        next = end;
        ++replies;
    }
    Log(s.Label() + " contact list sent, " + std::to_string(account->buddies.size()) + " buddies in " +
        std::to_string(replies) + (replies == 1 ? " reply" : " replies"));
}

void OscarServer::Core::HandleItemChanges(Session& s, const SnacHeader& snac, PacketReader& reader) {
    if (accounts_.Find(s.uin) == nullptr) return;
    PacketBuffer results;
    std::size_t items = 0;
    bool changed = false;
    bool privacyChanged = false;
    while (!reader.AtEnd() && items < kMaxItemsPerRequest) {
        ListItem item;
        std::uint16_t type = 0, length = 0;
        if (!ReadString16(reader, item.name) || !ReadU16(reader, item.groupId) || !ReadU16(reader, item.itemId) ||
            !ReadU16(reader, type) || !ReadU16(reader, length) || length > reader.Remaining()) {
            break;
        }
        const std::uint8_t* data = reader.Data() + reader.Position();
        item.data.assign(data, data + length);
        (void)reader.Skip(length);
        ++items;
        PacketReader tlvReader(item.data);
        std::vector<Tlv> tlvs;
        const bool tlvsRead = ReadTlvList(tlvReader, tlvs);
        if (type == kItemTypeBuddy || type == kItemTypeGroup) {
            // Every buddy lives in the list's one group, so a group item is taken as it comes.
            std::uint16_t result = tlvsRead ? kItemDone : kItemRefused;
            if (tlvsRead && type == kItemTypeBuddy) result = ChangeBuddy(s, snac.subtype == 0x0008, item.name, item.itemId, tlvs);
            AppendU16(results, result);
            changed = changed || (type == kItemTypeBuddy && result == kItemDone);
            continue;
        }
        std::uint16_t result = kItemRefused;
        if (type == kItemTypeIcon) {
            result = tlvsRead ? ChangeIconItem(s, snac.subtype, std::move(item)) : kItemRefused;
        } else if (type == kItemTypePermit || type == kItemTypeDeny || type == kItemTypeIgnore) {
            result = ChangePrivacyItem(s, snac.subtype, type, std::move(item));
        } else if (const Tlv* value = type == kItemTypeVisibility && tlvsRead ? FindTlv(tlvs, kTlvVisibility) : nullptr;
                   value != nullptr && value->value.size() == 1) {
            Privacy& privacy = privacy_[s.uin];
            privacy.visibility = value->value[0];
            privacy.visibilityItem = std::move(item);
            Log(s.Label() + " visibility " + std::to_string(privacy.visibility));
            result = kItemDone;
        }
        AppendU16(results, result);
        privacyChanged = privacyChanged || (type != kItemTypeBuddy && type != kItemTypeGroup && type != kItemTypeIcon && result == kItemDone);
    }
    if (items > 0) s.connection.SendSnac(0x0013, 0x000E, snac.requestId, results);
    if (privacyChanged) PrivacyChanged(s);
    if (changed) listStamps_[s.uin] = static_cast<std::uint32_t>(platform::Now());
}

std::map<Uin, OscarServer::Core::ListItem>* OscarServer::Core::PrivacyList(Privacy& privacy, std::uint16_t type) {
    switch (type) {
    case kItemTypePermit:
        return &privacy.permit;
    case kItemTypeDeny:
        return &privacy.deny;
    case kItemTypeIgnore:
        return &privacy.ignore;
    default:
        return nullptr;
    }
}

// Add (0x0008), update (0x0009) or delete (0x000A) of a permit, deny or ignore
// item, named by the UIN it is about.
std::uint16_t OscarServer::Core::ChangePrivacyItem(Session& s, std::uint16_t subtype, std::uint16_t type,
                                                   ListItem item) {
    Uin uin = 0;
    if (!ParseUin(item.name, uin) || uin == s.uin) return kItemRefused;
    std::map<Uin, ListItem>& list = *PrivacyList(privacy_[s.uin], type);
    auto it = list.find(uin);
    static const char* const kNames[] = {"permits ", "denies ", "ignores "};
    const char* what = kNames[type == kItemTypePermit ? 0 : type == kItemTypeDeny ? 1 : 2];
    switch (subtype) {
    case 0x0008:
        if (it != list.end()) return kItemAlreadyThere;
        if (list.size() >= kMaxBuddies) return kItemLimit;
        Log(s.Label() + " " + what + item.name);
        list.emplace(uin, std::move(item));
        return kItemDone;
    case 0x0009:
        if (it == list.end()) return kItemNotFound;
        it->second = std::move(item);
        return kItemDone;
    default:
        if (it == list.end()) return kItemNotFound;
        Log(s.Label() + " no longer " + what + item.name);
        list.erase(it);
        return kItemDone;
    }
}

// Whoever watches the account now hears what it may: an arrival, or a
// departure when it may no longer see it.
void OscarServer::Core::PrivacyChanged(Session& s) {
    listStamps_[s.uin] = static_cast<std::uint32_t>(platform::Now());
    if (announced_.count(s.uin) > 0 && OnlineSession(s.uin) == &s) NotifyArrival(s.uin);
}

std::uint16_t OscarServer::Core::ChangeBuddy(Session& s, bool add, const std::string& name, std::uint16_t itemId,
                                             const std::vector<Tlv>& tlvs) {
    Account* account = accounts_.Find(s.uin);
    Uin uin = 0;
    if (account == nullptr || !ParseUin(name, uin) || uin == s.uin) return kItemRefused;
    const Tlv* nicknameTlv = FindTlv(tlvs, kTlvNickname);
    const std::string nickname =
        nicknameTlv ? TextOf(nicknameTlv->value).substr(0, kMaxNicknameBytes) : std::string();
    const bool awaiting = FindTlv(tlvs, kTlvAwaitingAuth) != nullptr;
    auto it = std::find_if(account->buddies.begin(), account->buddies.end(), [uin](const Buddy& b) { return b.uin == uin; });
    if (!add) {
        if (it == account->buddies.end()) return kItemNotFound;
        it->name = nickname;
        it->awaitingAuth = it->awaitingAuth && awaiting;  // consent once given stays
        Log(s.Label() + " changed buddy " + name);
        return kItemDone;
    }
    if (it != account->buddies.end()) return kItemAlreadyThere;
    if (account->buddies.size() >= kMaxBuddies) return kItemLimit;
    const Account* other = accounts_.Find(uin);
    if (other != nullptr && other->auth && !awaiting) return kItemNeedsAuthorization;
    Buddy buddy(uin, itemId);
    buddy.name = nickname;
    buddy.awaitingAuth = awaiting;
    account->buddies.push_back(std::move(buddy));
    Log(s.Label() + " added buddy " + name + (awaiting ? " awaiting authorization" : ""));
    // The added account hears of it.
    if (Session* peer = OnlineSession(uin); peer != nullptr && peer->ready && !Blocks(uin, s.uin)) {
        PacketBuffer p;
        AppendString8(p, UinText(s.uin));
        peer->connection.SendSnacWithin(RelayRoom(), 0x0013, 0x001C, NextRequestId(), p);
    }
    // Its presence flows from now on.
    if (s.activated) TellPresence(s, uin);
    return kItemDone;
}

// 0x0018 goes on as 0x0019 and 0x001A as 0x001B, to the named account's session
// with the sender's UIN in its place (nothing is kept for an account that is
// away). Each takes a message token of the sender, its reason is cut to what a
// person types, and it is dropped when the recipient's queue is full. A grant
// takes the awaiting mark off the requester's buddy item, online or not.
void OscarServer::Core::RelayAuthorization(Session& s, const SnacHeader& snac, PacketReader& reader) {
    std::string name, reason;
    std::uint8_t granted = 0;
    Uin target = 0;
    if (!ReadString8(reader, name) || !ParseUin(name, target)) return;
    const bool reply = snac.subtype == 0x001A;
    if ((reply && !ReadU8(reader, granted)) || !ReadString16(reader, reason)) return;
    if (!TakeMessageToken(s.uin)) {
        Log(s.Label() + " authorization " + (reply ? "reply" : "request") + " to " + name + " dropped: too many");
        return;
    }
    if (reason.size() > kMaxAuthorizationReason) reason.resize(kMaxAuthorizationReason);
    if (reply && granted != 0) {
        if (Account* requester = accounts_.Find(target)) {
            for (Buddy& buddy : requester->buddies) {
                if (buddy.uin == s.uin) buddy.awaitingAuth = false;
            }
        }
    }
    Log(s.Label() + (reply ? (granted ? " grants " : " refuses ") : " asks ") + name);
    Session* peer = OnlineSession(target);
    if (peer == nullptr || !peer->ready || Blocks(target, s.uin)) return;
    PacketBuffer p;
    AppendString8(p, UinText(s.uin));
    if (reply) AppendU8(p, granted);
    AppendU16(p, static_cast<std::uint16_t>(reason.size()));
    AppendBytes(p, reason.data(), reason.size());
    if (!reply) AppendU16(p, 0);
    if (!peer->connection.SendSnacWithin(RelayRoom(), 0x0013, reply ? 0x001B : 0x0019, NextRequestId(), p)) {
        Log(s.Label() + " authorization to " + peer->Label() + " dropped: its output queue is full");
    }
}

void OscarServer::Core::HandleDeleteItems(Session& s, const SnacHeader& snac, PacketReader& reader) {
    Account* account = accounts_.Find(s.uin);
    if (account == nullptr) return;
    PacketBuffer results;
    bool privacyChanged = false;
    std::size_t items = 0;
    while (!reader.AtEnd() && items < kMaxItemsPerRequest) {
        std::string name;
        std::uint16_t groupId = 0, itemId = 0, type = 0, length = 0;
        if (!ReadString16(reader, name) || !ReadU16(reader, groupId) || !ReadU16(reader, itemId) ||
            !ReadU16(reader, type) || !ReadU16(reader, length) || !reader.Skip(length)) {
            break;
        }
        ++items;
        if (type == kItemTypePermit || type == kItemTypeDeny || type == kItemTypeIgnore) {
            ListItem item;
            item.name = name;
            const std::uint16_t result = ChangePrivacyItem(s, snac.subtype, type, std::move(item));
            AppendU16(results, result);
            privacyChanged = privacyChanged || result == kItemDone;
            continue;
        }
        if (type == kItemTypeIcon) {
            AppendU16(results, ChangeIconItem(s, snac.subtype, ListItem{}));
            continue;
        }
        Uin buddy = 0;
        bool removed = type == kItemTypeBuddy && ParseUin(name, buddy) && account->RemoveBuddy(buddy);
        AppendU16(results, removed ? kItemDone : kItemNotFound);
        if (removed) {
            if (!Watches(s, buddy)) s.shown.erase(buddy);
            listStamps_[s.uin] = static_cast<std::uint32_t>(platform::Now());
            Log(s.Label() + " deleted buddy " + name);
        }
    }
    if (items > 0) s.connection.SendSnac(0x0013, 0x000E, snac.requestId, results);
    if (privacyChanged) PrivacyChanged(s);
}

}  // namespace pellox::server
