// The server-side contact list: the reply to the list request, SNAC 0x0013/0x0006,
// and its merge into the local contact list.
//
// Reply data:
//   0    1  list version (not used)
//   1    2  item count (big-endian)
//   3    .. the items
//   end  4  time of the last change: read, not used, but required; a reply without
//           it is dropped whole
// Item:
//   0      2  name length n (big-endian)
//   2      n  name, 8-bit text: for a buddy, its UIN
//   2 + n  2  group id, 2 item id (not used)
//   6 + n  2  item type: 0 buddy, 4 visibility, 2 permit, 3 deny, 14 ignore;
//             groups give nothing
//   8 + n  2  data length m (big-endian)
//   10 + n m  TLVs; 0x0131 is the buddy's nickname (8-bit text: UTF-8 when it is
//             valid UTF-8, else Windows-1251), others are skipped
// The TLV walk stays inside the item's m bytes: a TLV that would run past them
// ends the walk there (what was read before it counts) and the next item starts
// right after the m bytes.
//
// The visibility item (type 4) is no contact: it is read for ServerListState,
// which remembers it for the menu item cmd::kVisibleToListOnly. Its TLV 0x00CA (1 byte) says
// who sees the account: 1 everybody, 5 only the contacts of its list.
//
// The merge only adds and fills in: a UIN not in the list becomes an offline
// contact named by its nickname; a listed contact with an empty name takes the
// nickname; a listed contact with a name keeps it. Nothing is removed and no
// presence changes.
//
// A list too long for one frame comes as several replies, each complete with its
// count and trailing time; every one but the last carries the SNAC flag
// kSnacFlagMoreReplies. Each reply is merged, announced and saved as it arrives;
// ContactsLoaded and the activation follow the last one only, so that the state
// says "loaded" once the whole list is in and the server is asked once for the
// presence of the buddies.
//
// A server may hold 1,000 buddies an account; one list gives at most
// kMaxServerListBuddies. The buddies past them, in that reply and the replies
// after it, are read and dropped: neither kept nor merged, and a reply left with
// nothing to merge is neither announced nor saved. Each buddy costs a fixed
// amount of work, whatever the size of the local list.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "net/codec.h"

namespace pellox {

class AppState;
class Connection;

inline constexpr std::size_t kMaxServerListBuddies = 4000;

inline constexpr std::uint8_t kVisibleToAll = 1;
// Everybody but the numbers on the deny list: what "visible to all" sends, so
// that "always invisible to" holds.
inline constexpr std::uint8_t kVisibleToAllButDenied = 4;
inline constexpr std::uint8_t kVisibleToListOnly = 5;

// The visibility item as the server sent it. Its TLVs are kept whole so that a
// change sends back everything it held, with only TLV 0x00CA replaced.
struct VisibilityItem {
    std::string name;  // usually empty
    std::uint16_t groupId = 0;
    std::uint16_t itemId = 0;
    std::vector<std::uint8_t> data;  // the TLVs
};
// The value of TLV 0x00CA, 0 when the item has none.
std::uint8_t VisibilityValue(const VisibilityItem& item);
// The item with TLV 0x00CA set to `value` (as WithTlv does).
VisibilityItem WithVisibility(VisibilityItem item, std::uint8_t value);

// A buddy or group item of the server list as the server sent it (or as the
// client last sent it), its TLVs whole.
struct ServerItem {
    std::string name;  // a buddy's UIN, a group's name (8-bit text)
    std::uint16_t groupId = 0;
    std::uint16_t itemId = 0;
    std::uint16_t type = 0;
    std::vector<std::uint8_t> data;  // the TLVs
};
inline constexpr std::uint16_t kItemTypeBuddy = 0x0000;
inline constexpr std::uint16_t kItemTypeGroup = 0x0001;
// The privacy lists: items named by the UIN they are about, in group 0.
inline constexpr std::uint16_t kItemTypePermit = 0x0002;  // always visible to
inline constexpr std::uint16_t kItemTypeDeny = 0x0003;    // always invisible to
inline constexpr std::uint16_t kItemTypeIgnore = 0x000E;  // nothing from it is taken
bool IsPrivacyItemType(std::uint16_t type);
// The item with the hash of one's own picture (TLV kTlvIconHash: flags, length 16,
// the MD5 of the picture), usually named "1".
inline constexpr std::uint16_t kItemTypeIcon = 0x0014;
inline constexpr std::uint16_t kTlvIconHash = 0x00D5;
inline constexpr std::uint16_t kTlvNickname = 0x0131;
inline constexpr std::uint16_t kTlvAwaitingAuth = 0x0066;
// A group's members: the item ids of its buddies, or for the root group (group id
// 0) the ids of the groups; 2 bytes each. Other clients show what these list.
inline constexpr std::uint16_t kTlvMembers = 0x00C8;

// The ids TLV 0x00C8 of an item lists, in order; empty when it has none.
std::vector<std::uint16_t> MemberIds(const std::vector<std::uint8_t>& data);
// The item's TLVs with 0x00C8 listing exactly `ids`.
std::vector<std::uint8_t> WithMemberIds(const std::vector<std::uint8_t>& data,
                                        const std::vector<std::uint16_t>& ids);

// A group item to send because of another item's change: added (0x0013/0x0008) or
// updated (0x0013/0x0009).
struct ItemChange {
    ServerItem item;
    bool add = false;
};

// The item with TLV `type` replaced by `value` (or taken out when value is null),
// every other TLV kept as it was.
std::vector<std::uint8_t> WithTlv(const std::vector<std::uint8_t>& data, std::uint16_t type,
                                  const std::string* value);
// True when the item's TLVs hold one of this type.
bool HasTlv(const std::vector<std::uint8_t>& data, std::uint16_t type);

// What one reply holds besides its buddies.
struct ServerListExtras {
    std::optional<VisibilityItem> visibility;  // the reply's first visibility item
    std::uint16_t highestItemId = 0;           // over all its items
    std::uint16_t highestGroupId = 0;          // over all its items
    std::vector<ServerItem> buddies;           // every buddy item
    std::optional<ServerItem> firstGroup;      // the first group item of a group id above 0
    std::vector<ServerItem> privacy;           // every permit, deny and ignore item
    std::vector<ServerItem> groups;            // every group item, the root (group 0) too
    std::optional<ServerItem> icon;            // the first icon item (kItemTypeIcon)
};

// Reads the whole reply into its items: the buddies in item order, and what else
// it holds. False when anything is cut short, the trailing time included (then
// `extras` is not changed).
[[nodiscard]] bool ReadContactListReply(PacketReader& reader, ServerListExtras& extras);

// What the client knows of the server list between replies: the visibility item
// and the highest item id, so that the visibility can be changed. Any thread.
class ServerListState {
public:
    // One reply's extras; the list is complete with the reply that has no more
    // after it, and then replaces what was known (a list without a visibility
    // item forgets the old one). Of the reply's buddies it takes the first
    // BuddyRoom(), the others are dropped.
    void TakeReply(ServerListExtras extras, bool moreReplies);
    // How many buddies the list being received still has room for
    // (kMaxServerListBuddies in all).
    std::size_t BuddyRoom() const;
    // A new connection: until its list is complete, the list counts as not loaded
    // (what was known stays for the visibility); replies of an earlier list that
    // never ended are forgotten.
    void Restart();
    std::optional<VisibilityItem> Visibility() const;
    // True while the known item says 5 (visible only to the list's contacts).
    bool VisibleToListOnly() const;
    // The item that sets the visibility to `value`: the known item changed (update
    // true), or a new one in group 0 with the next free item id (update false).
    // From now on it is the known item.
    VisibilityItem PrepareChange(std::uint8_t value, bool& update);

    // True once a whole list has come in.
    bool Loaded() const;
    // The buddy item of the UIN (8-bit text), when the list holds one.
    std::optional<ServerItem> Buddy(const std::string& uin) const;
    // A new buddy item for the UIN with the nickname (UTF-8) in TLV 0x0131, in the
    // first group, with the next free item id. When the list has no group, `group`
    // is set to a new group item (str::kNewGroupName in UTF-8) that must be added
    // first; from now on it is the list's group.
    ServerItem PrepareBuddy(const std::string& uin, const std::string& nickname,
                            std::optional<ServerItem>& group);
    // The server took the item: it is on the list from now on.
    void TakeBuddy(const ServerItem& item);
    // The buddy was deleted: it is no longer on the list, so that adding it again
    // goes to the server.
    void ForgetBuddy(const std::string& uin);
    // The UINs (8-bit text) of `uins` that the list holds no buddy for, in order.
    std::vector<std::string> Lacking(std::vector<std::string> uins) const;
    std::size_t BuddyCount() const;
    // The group items whose member lists must follow now that `buddy` is on the
    // list: its group with the buddy's item id added, and the root group with the
    // group's id added when it does not list it yet (a root the list lacks is
    // added). Nothing for what is listed already. From now on they are the known
    // items.
    std::vector<ItemChange> LinkBuddy(const ServerItem& buddy);
    // Takes the UIN's buddy item off the list and returns it, with its group's item
    // without the buddy's id in `group` (when the list knows the group); nullopt
    // when the list holds no such buddy.
    std::optional<ServerItem> UnlinkBuddy(const std::string& uin, std::optional<ServerItem>& group);

    // ---- The privacy lists (kItemTypePermit, kItemTypeDeny, kItemTypeIgnore) ----
    // True when the list of that type names the UIN (8-bit text).
    bool OnPrivacyList(std::uint16_t type, const std::string& uin) const;
    // The UINs the list of that type names, in list order.
    std::vector<std::string> PrivacyList(std::uint16_t type) const;
    // A new item for the UIN on the list of that type, in group 0 with the next
    // free item id, on the list from now on; nothing when the list names it.
    std::optional<ServerItem> PreparePrivacyItem(std::uint16_t type, const std::string& uin);
    // Takes the UIN off the list of that type: its item as it was, for deleting
    // it on the server; nothing when the list does not name it.
    std::optional<ServerItem> DropPrivacyItem(std::uint16_t type, const std::string& uin);
    // The icon item of the list, when it has one.
    std::optional<ServerItem> Icon() const;
    // The icon item with `tlvs`: the known one changed (update true) or a new one
    // named "1" in group 0 with the next free item id; nullopt for `tlvs` null, and
    // then the known item (if any) goes into `deleted`. From now on it is the
    // known item.
    std::optional<ServerItem> PrepareIcon(const std::vector<std::uint8_t>* tlvs, bool& update,
                                          std::optional<ServerItem>& deleted);

private:
    std::size_t BuddyRoomLocked() const;  // requires lock_
    std::uint16_t NextItemId();  // requires lock_

    mutable std::mutex lock_;
    std::optional<VisibilityItem> item_;
    std::uint16_t highestItemId_ = 0;
    std::uint16_t highestGroupId_ = 0;
    std::vector<ServerItem> buddies_;
    std::optional<ServerItem> group_;
    std::vector<ServerItem> privacy_;
    std::vector<ServerItem> groups_;  // the root too
    std::optional<ServerItem> icon_;
    std::optional<ServerItem> comingIcon_;
    bool loaded_ = false;
    // Gathered from the replies of a list still coming in.
    std::optional<VisibilityItem> comingItem_;
    std::uint16_t comingHighest_ = 0;
    std::uint16_t comingHighestGroup_ = 0;
    std::vector<ServerItem> comingBuddies_;
    std::optional<ServerItem> comingGroup_;
    std::vector<ServerItem> comingPrivacy_;
    std::vector<ServerItem> comingGroups_;
};

// One item in 0x0013/0x0008 (add) or 0x0013/0x0009 (update) under the request
// id, without the edit start and end. False when it could not be sent.
bool SendServerItem(Connection& connection, const ServerItem& item, std::uint16_t subtype,
                    std::uint32_t requestId);

// The visibility change on the wire: edit start 0x0013/0x0011, the item in
// 0x0013/0x0009 (update) or 0x0013/0x0008 (add), edit end 0x0013/0x0012. False
// when a frame could not be sent.
bool SendVisibilityItem(Connection& connection, const VisibilityItem& item, bool update);

// Merges buddy items into the model (no save, no notification), in one pass over
// the local list. Buddies whose UIN is unusable are left out.
void MergeServerContacts(AppState& model, std::span<const ServerItem> buddies);

// The handler: read the reply; merge; post ListReset; save the contact list;
// then, unless more replies follow, report ContactsLoaded and send the activation
// 0x0013/0x0007, followed (with `list`) by the client-side buddy list
// 0x0003/0x0004 of every local contact the server list lacks, so that their
// presence arrives too. A reply that was cut short changes nothing, reports nothing and
// sends nothing (false).
// The visibility item and item ids go to `list` when it is given, before
// ContactsLoaded is reported.
bool HandleContactListReply(Connection& connection, AppState& model, PacketReader& reader,
                            bool moreReplies = false, ServerListState* list = nullptr);

}  // namespace pellox
