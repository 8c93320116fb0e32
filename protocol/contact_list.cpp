#include "protocol/contact_list.h"

#include <algorithm>
#include <iterator>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "net/connection.h"
#include "net/session.h"
#include "net/text_encoding.h"
#include "protocol/identity.h"
#include "protocol/presence.h"
#include "resources/strings.h"
#include "store/app_state.h"

namespace pellox {
namespace {

inline constexpr std::uint16_t kItemTypeVisibility = 0x0004;
inline constexpr std::uint16_t kTlvVisibility = 0x00CA;

// The TLVs of an item's data up to the first that does not fit in it.
std::vector<Tlv> ItemTlvs(PacketReader data) {
    std::vector<Tlv> tlvs;
    (void)ReadTlvList(data, tlvs);
    return tlvs;
}
std::vector<Tlv> ItemTlvs(const std::vector<std::uint8_t>& data) {
    return ItemTlvs(PacketReader(data));
}

// The last nickname of one item's data, up to a TLV cut short. Walked where it
// lies: a list of a thousand buddies needs no list of TLVs for each.
void ReadItemData(PacketReader data, std::string& nickname) {
    TlvHeader tlv;
    while (!data.AtEnd() && ReadRecord(data, tlv) && tlv.length <= data.Remaining()) {
        if (tlv.type == kTlvNickname) {
            nickname.assign(reinterpret_cast<const char*>(data.Data() + data.Position()), tlv.length);
        }
        (void)data.Skip(tlv.length);
    }
}

void AppendTlvBytes(std::vector<std::uint8_t>& out, std::uint16_t type, const std::uint8_t* value,
                    std::size_t length) {
    const std::uint8_t head[4] = {
        static_cast<std::uint8_t>(type >> 8), static_cast<std::uint8_t>(type),
        static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)};
    out.insert(out.end(), head, head + 4);
    out.insert(out.end(), value, value + length);
}

std::u16string NicknameText(const std::string& nickname) {
    std::u16string text;
    DecodeIncomingText(nickname, text);
    return CleanName(std::move(text));
}

// The id after `highest`, which then counts as taken. Ids above 0x7FFF are left
// alone; past it the new one takes 1.
std::uint16_t TakeNextId(std::uint16_t& highest) {
    const std::uint16_t id = highest < 0x7FFF ? highest + 1 : 1;
    highest = std::max(highest, id);
    return id;
}

// One item of a server list SNAC: name, group id, item id, type and its TLVs.
void AppendServerItem(PacketBuffer& data, const std::string& name, std::uint16_t groupId,
                      std::uint16_t itemId, std::uint16_t type, const std::vector<std::uint8_t>& tlvs) {
    AppendU16(data, static_cast<std::uint16_t>(name.size()));
    AppendBytes(data, name.data(), name.size());
    AppendU16(data, groupId);
    AppendU16(data, itemId);
    AppendU16(data, type);
    AppendU16(data, static_cast<std::uint16_t>(tlvs.size()));
    AppendBytes(data, tlvs.data(), tlvs.size());
}

}  // namespace

std::vector<std::uint8_t> WithTlv(const std::vector<std::uint8_t>& data, std::uint16_t type,
                                  const std::string* value) {
    std::vector<std::uint8_t> out;
    for (const Tlv& tlv : ItemTlvs(data)) {
        if (tlv.type != type) AppendTlvBytes(out, tlv.type, tlv.value.data(), tlv.value.size());
    }
    if (value != nullptr && value->size() <= 0xFFFF) {
        AppendTlvBytes(out, type, reinterpret_cast<const std::uint8_t*>(value->data()),
                       value->size());
    }
    return out;
}

std::vector<std::uint16_t> MemberIds(const std::vector<std::uint8_t>& data) {
    std::vector<std::uint16_t> ids;
    const std::vector<Tlv> tlvs = ItemTlvs(data);
    if (const Tlv* members = FindTlv(tlvs, kTlvMembers)) {
        for (std::size_t i = 0; i + 1 < members->value.size(); i += 2) {
            ids.push_back(static_cast<std::uint16_t>(members->value[i] << 8 | members->value[i + 1]));
        }
    }
    return ids;
}

std::vector<std::uint8_t> WithMemberIds(const std::vector<std::uint8_t>& data,
                                        const std::vector<std::uint16_t>& ids) {
    std::string value;
    for (std::uint16_t id : ids) {
        value.push_back(static_cast<char>(id >> 8));
        value.push_back(static_cast<char>(id & 0xFF));
    }
    return WithTlv(data, kTlvMembers, &value);
}

bool HasTlv(const std::vector<std::uint8_t>& data, std::uint16_t type) {
    return FindTlv(ItemTlvs(data), type) != nullptr;
}

std::uint8_t VisibilityValue(const VisibilityItem& item) {
    for (const Tlv& tlv : ItemTlvs(item.data)) {
        if (tlv.type == kTlvVisibility && !tlv.value.empty() && tlv.value[0] != 0)
            return tlv.value[0];
    }
    return 0;
}

VisibilityItem WithVisibility(VisibilityItem item, std::uint8_t value) {
    const std::string one(1, static_cast<char>(value));
    item.data = WithTlv(item.data, kTlvVisibility, &one);
    return item;
}

bool ReadContactListReply(PacketReader& reader, ServerListExtras& extras) {
    std::uint8_t version = 0;
    std::uint16_t count = 0;
    if (!ReadU8(reader, version) || !ReadU16(reader, count)) return false;
    ServerListExtras found;
    // Most items are buddies; no more items than the smallest fit can follow.
    constexpr std::size_t kSmallestItem = 2 + 2 + 2 + 2 + 2;
    found.buddies.reserve(std::min<std::size_t>(count, reader.Remaining() / kSmallestItem));
    for (std::uint16_t i = 0; i < count; ++i) {
        std::string name;
        std::uint16_t groupId = 0, itemId = 0, type = 0, dataLength = 0;
        if (!ReadString16(reader, name) || !ReadU16(reader, groupId) || !ReadU16(reader, itemId) ||
            !ReadU16(reader, type) || !ReadU16(reader, dataLength)) {
            return false;
        }
        if (dataLength > reader.Remaining()) return false;
        PacketReader data(reader.Data() + reader.Position(), dataLength);
        (void)reader.Skip(dataLength);
        found.highestItemId = std::max(found.highestItemId, itemId);
        found.highestGroupId = std::max(found.highestGroupId, groupId);
        if (type == kItemTypeGroup) {
            found.groups.push_back(ServerItem{name, groupId, itemId, type,
                                              std::vector<std::uint8_t>(data.Data(), data.Data() + dataLength)});
            if (groupId != 0 && !found.firstGroup) found.firstGroup = found.groups.back();
        }
        if (type == kItemTypeIcon && !found.icon) {
            found.icon = ServerItem{name, groupId, itemId, type,
                                    std::vector<std::uint8_t>(data.Data(), data.Data() + dataLength)};
        }
        if (type == kItemTypeVisibility && !found.visibility) {
            found.visibility = VisibilityItem{
                std::move(name), groupId, itemId,
                std::vector<std::uint8_t>(data.Data(), data.Data() + dataLength)};
            continue;
        }
        if (IsPrivacyItemType(type) && !name.empty()) {
            found.privacy.push_back(ServerItem{name, groupId, itemId, type,
                                               std::vector<std::uint8_t>(data.Data(), data.Data() + dataLength)});
            continue;
        }
        if (type != kItemTypeBuddy) continue;
        found.buddies.push_back(ServerItem{std::move(name), groupId, itemId, type,
                                           std::vector<std::uint8_t>(data.Data(), data.Data() + dataLength)});
    }
    std::uint32_t lastChange = 0;
    if (!ReadU32(reader, lastChange)) return false;
    extras = std::move(found);
    return true;
}

std::size_t ServerListState::BuddyRoomLocked() const {
    return kMaxServerListBuddies - std::min(comingBuddies_.size(), kMaxServerListBuddies);
}

std::size_t ServerListState::BuddyRoom() const {
    std::lock_guard<std::mutex> guard(lock_);
    return BuddyRoomLocked();
}

void ServerListState::TakeReply(ServerListExtras extras, bool moreReplies) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!comingItem_ && extras.visibility) comingItem_ = extras.visibility;
    comingHighest_ = std::max(comingHighest_, extras.highestItemId);
    comingHighestGroup_ = std::max(comingHighestGroup_, extras.highestGroupId);
    const std::size_t taken = std::min(BuddyRoomLocked(), extras.buddies.size());
    if (comingBuddies_.empty() && taken == extras.buddies.size()) {
        comingBuddies_ = std::move(extras.buddies);  // a list in one reply
    } else {
        comingBuddies_.insert(comingBuddies_.end(), std::make_move_iterator(extras.buddies.begin()),
                              std::make_move_iterator(extras.buddies.begin() + static_cast<std::ptrdiff_t>(taken)));
    }
    if (!comingGroup_ && extras.firstGroup) comingGroup_ = extras.firstGroup;
    comingGroups_.insert(comingGroups_.end(), extras.groups.begin(), extras.groups.end());
    // The privacy lists are bounded as the buddies are: a list past the bound keeps
    // its first items.
    const std::size_t privacyRoom =
        kMaxServerListBuddies - std::min(comingPrivacy_.size(), kMaxServerListBuddies);
    comingPrivacy_.insert(comingPrivacy_.end(), extras.privacy.begin(),
                          extras.privacy.begin() + static_cast<std::ptrdiff_t>(
                                                       std::min(privacyRoom, extras.privacy.size())));
    if (!comingIcon_ && extras.icon) comingIcon_ = extras.icon;
    if (moreReplies) return;
    privacy_ = std::exchange(comingPrivacy_, {});
    icon_ = std::exchange(comingIcon_, std::nullopt);
    item_ = std::exchange(comingItem_, std::nullopt);
    highestItemId_ = std::exchange(comingHighest_, 0);
    highestGroupId_ = std::exchange(comingHighestGroup_, 0);
    buddies_ = std::exchange(comingBuddies_, {});
    group_ = std::exchange(comingGroup_, std::nullopt);
    groups_ = std::exchange(comingGroups_, {});
    loaded_ = true;
}

void ServerListState::Restart() {
    std::lock_guard<std::mutex> guard(lock_);
    loaded_ = false;
    comingItem_.reset();
    comingHighest_ = 0;
    comingHighestGroup_ = 0;
    comingBuddies_.clear();
    comingGroup_.reset();
    comingGroups_.clear();
    comingPrivacy_.clear();
    comingIcon_.reset();
}

bool ServerListState::Loaded() const {
    std::lock_guard<std::mutex> guard(lock_);
    return loaded_;
}

std::uint16_t ServerListState::NextItemId() { return TakeNextId(highestItemId_); }

std::optional<ServerItem> ServerListState::Icon() const {
    std::lock_guard<std::mutex> guard(lock_);
    return icon_;
}

std::optional<ServerItem> ServerListState::PrepareIcon(const std::vector<std::uint8_t>* tlvs,
                                                       bool& update,
                                                       std::optional<ServerItem>& deleted) {
    std::lock_guard<std::mutex> guard(lock_);
    update = icon_.has_value();
    deleted.reset();
    if (tlvs == nullptr) {
        deleted = std::exchange(icon_, std::nullopt);
        return std::nullopt;
    }
    if (!icon_) icon_ = ServerItem{"1", 0, NextItemId(), kItemTypeIcon, {}};
    icon_->data = *tlvs;
    return icon_;
}

std::optional<ServerItem> ServerListState::Buddy(const std::string& uin) const {
    std::lock_guard<std::mutex> guard(lock_);
    for (const ServerItem& item : buddies_) {
        if (item.name == uin) return item;
    }
    return std::nullopt;
}

ServerItem ServerListState::PrepareBuddy(const std::string& uin, const std::string& nickname,
                                         std::optional<ServerItem>& group) {
    std::lock_guard<std::mutex> guard(lock_);
    group.reset();
    if (!group_) {
        // The group a first buddy goes into when the list has none.
        group_ = ServerItem{EncodeUtf8(LoadString(str::kNewGroupName)),
                            TakeNextId(highestGroupId_),
                            0,
                            kItemTypeGroup,
                            {}};
        group = group_;
    }
    ServerItem item{uin, group_->groupId, NextItemId(), kItemTypeBuddy, {}};
    if (!nickname.empty()) item.data = WithTlv(item.data, kTlvNickname, &nickname);
    return item;
}

void ServerListState::TakeBuddy(const ServerItem& item) {
    std::lock_guard<std::mutex> guard(lock_);
    for (ServerItem& known : buddies_) {
        if (known.name == item.name) {
            known = item;
            return;
        }
    }
    buddies_.push_back(item);
}

bool IsPrivacyItemType(std::uint16_t type) {
    return type == kItemTypePermit || type == kItemTypeDeny || type == kItemTypeIgnore;
}

bool ServerListState::OnPrivacyList(std::uint16_t type, const std::string& uin) const {
    std::lock_guard<std::mutex> guard(lock_);
    return std::any_of(privacy_.begin(), privacy_.end(),
                       [&](const ServerItem& item) { return item.type == type && item.name == uin; });
}

std::vector<std::string> ServerListState::PrivacyList(std::uint16_t type) const {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<std::string> names;
    for (const ServerItem& item : privacy_) {
        if (item.type == type) names.push_back(item.name);
    }
    return names;
}

std::optional<ServerItem> ServerListState::PreparePrivacyItem(std::uint16_t type, const std::string& uin) {
    std::lock_guard<std::mutex> guard(lock_);
    for (const ServerItem& item : privacy_) {
        if (item.type == type && item.name == uin) return std::nullopt;
    }
    privacy_.push_back(ServerItem{uin, 0, NextItemId(), type, {}});
    return privacy_.back();
}

std::optional<ServerItem> ServerListState::DropPrivacyItem(std::uint16_t type, const std::string& uin) {
    std::lock_guard<std::mutex> guard(lock_);
    const auto it = std::find_if(privacy_.begin(), privacy_.end(), [&](const ServerItem& item) {
        return item.type == type && item.name == uin;
    });
    if (it == privacy_.end()) return std::nullopt;
    ServerItem item = std::move(*it);
    privacy_.erase(it);
    return item;
}

void ServerListState::ForgetBuddy(const std::string& uin) {
    std::lock_guard<std::mutex> guard(lock_);
    std::erase_if(buddies_, [&](const ServerItem& item) { return item.name == uin; });
    std::erase_if(comingBuddies_, [&](const ServerItem& item) { return item.name == uin; });
}

std::vector<std::string> ServerListState::Lacking(std::vector<std::string> uins) const {
    std::unordered_set<std::string_view> listed;
    std::lock_guard<std::mutex> guard(lock_);
    listed.reserve(buddies_.size());
    for (const ServerItem& item : buddies_) listed.insert(item.name);
    std::erase_if(uins, [&](const std::string& uin) { return listed.count(uin) != 0; });
    return uins;
}

std::size_t ServerListState::BuddyCount() const {
    std::lock_guard<std::mutex> guard(lock_);
    return buddies_.size();
}

namespace {

// Adds `id` to the item's member list; false when it lists it already.
bool AddMember(ServerItem& item, std::uint16_t id) {
    std::vector<std::uint16_t> ids = MemberIds(item.data);
    if (std::find(ids.begin(), ids.end(), id) != ids.end()) return false;
    ids.push_back(id);
    item.data = WithMemberIds(item.data, ids);
    return true;
}

}  // namespace

std::vector<ItemChange> ServerListState::LinkBuddy(const ServerItem& buddy) {
    std::lock_guard<std::mutex> guard(lock_);
    const auto findGroup = [this](std::uint16_t groupId) {
        return std::find_if(groups_.begin(), groups_.end(),
                            [groupId](const ServerItem& g) { return g.groupId == groupId; });
    };
    std::vector<ItemChange> changes;
    auto group = findGroup(buddy.groupId);
    if (group == groups_.end()) {
        // A group this session made: known from its add on.
        if (!group_ || group_->groupId != buddy.groupId) return changes;
        groups_.push_back(*group_);
        group = std::prev(groups_.end());
    }
    if (AddMember(*group, buddy.itemId)) changes.push_back({*group, false});
    if (buddy.groupId == 0) return changes;
    auto root = findGroup(0);
    const bool newRoot = root == groups_.end();
    if (newRoot) {
        groups_.push_back(ServerItem{{}, 0, 0, kItemTypeGroup, {}});
        root = std::prev(groups_.end());
    }
    if (AddMember(*root, buddy.groupId)) changes.push_back({*root, newRoot});
    return changes;
}

std::optional<ServerItem> ServerListState::UnlinkBuddy(const std::string& uin,
                                                       std::optional<ServerItem>& group) {
    std::lock_guard<std::mutex> guard(lock_);
    group.reset();
    const auto buddy = std::find_if(buddies_.begin(), buddies_.end(),
                                    [&](const ServerItem& item) { return item.name == uin; });
    if (buddy == buddies_.end()) return std::nullopt;
    const ServerItem item = *buddy;
    buddies_.erase(buddy);
    for (ServerItem& known : groups_) {
        if (known.groupId != item.groupId) continue;
        std::vector<std::uint16_t> ids = MemberIds(known.data);
        if (std::erase(ids, item.itemId) == 0) break;
        known.data = WithMemberIds(known.data, ids);
        group = known;
        break;
    }
    return item;
}

std::optional<VisibilityItem> ServerListState::Visibility() const {
    std::lock_guard<std::mutex> guard(lock_);
    return item_;
}

bool ServerListState::VisibleToListOnly() const {
    std::lock_guard<std::mutex> guard(lock_);
    return item_ && VisibilityValue(*item_) == kVisibleToListOnly;
}

VisibilityItem ServerListState::PrepareChange(std::uint8_t value, bool& update) {
    std::lock_guard<std::mutex> guard(lock_);
    update = item_.has_value();
    if (!update) item_ = VisibilityItem{{}, 0, NextItemId(), {}};
    item_ = WithVisibility(std::move(*item_), value);
    return *item_;
}

bool SendVisibilityItem(Connection& connection, const VisibilityItem& item, bool update) {
    PacketBuffer data;
    AppendServerItem(data, item.name, item.groupId, item.itemId, kItemTypeVisibility, item.data);
    const std::uint16_t subtype = update ? 0x0009 : 0x0008;
    if (data.Failed() || !connection.SendEmptySnac(0x0013, 0x0011)) return false;
    const bool sent = connection.SendSnac(0x0013, subtype, subtype, data);
    return connection.SendEmptySnac(0x0013, 0x0012) && sent;
}

bool SendServerItem(Connection& connection, const ServerItem& item, std::uint16_t subtype,
                    std::uint32_t requestId) {
    PacketBuffer data;
    AppendServerItem(data, item.name, item.groupId, item.itemId, item.type, item.data);
    return !data.Failed() && item.name.size() <= 0xFFFF && item.data.size() <= 0xFFFF &&
           connection.SendSnac(0x0013, subtype, requestId, data);
}

void MergeServerContacts(AppState& model, std::span<const ServerItem> buddies) {
    // The buddies pass into the model a batch at a time through one small buffer:
    // a long list is not first laid out a second time in fresh memory, which
    // costs more to touch than the copying it saves.
    constexpr std::size_t kBatch = 64;
    model.ReserveContacts(buddies.size());
    std::vector<ContactInfo> infos;
    infos.reserve(std::min(kBatch, buddies.size()));
    std::string nickname;
    for (std::size_t next = 0; next < buddies.size();) {
        infos.clear();
        for (; next < buddies.size() && infos.size() < kBatch; ++next) {
            ContactInfo& info = infos.emplace_back();
            info.uin = WidenUin(buddies[next].name);
            if (!IsUsableUin(info.uin)) {
                infos.pop_back();
                continue;
            }
            nickname.clear();
            ReadItemData(PacketReader(buddies[next].data), nickname);
            info.name = NicknameText(nickname);
            info.status = StatusOffline;
        }
        const auto contacts = model.FindOrAddContacts(infos);
        for (std::size_t i = 0; i < contacts.size(); ++i) {
            const auto& [contact, added] = contacts[i];
            if (added) continue;
            // A name the user gave (or an earlier buddy of this reply) wins.
            contact->Update([&](ContactInfo& existing) {
                if (existing.name.empty()) existing.name = std::move(infos[i].name);
            });
        }
    }
}

bool HandleContactListReply(Connection& connection, AppState& model, PacketReader& reader,
                            bool moreReplies, ServerListState* list) {
    ServerListExtras extras;
    if (!ReadContactListReply(reader, extras)) return false;
    // The buddies are merged from the reply's items before these pass to `list`:
    // the first of them that the list still has room for.
    const std::size_t read = extras.buddies.size();
    const std::size_t taken = std::min(read, list != nullptr ? list->BuddyRoom() : kMaxServerListBuddies);
    // A reply wholly past the limit changes nothing worth showing or saving.
    const bool merge = taken > 0 || read == 0;
    if (merge) {
        BusyScope busy(model);
        MergeServerContacts(model, std::span<const ServerItem>(extras.buddies).first(taken));
    }
    if (list != nullptr) list->TakeReply(std::move(extras), moreReplies);
    if (merge) {
        BusyScope busy(model);
        model.Notify(ChangeCode::ListReset, nullptr, true);
        // A reply with more to follow puts the save off: a list of several
        // replies is written once, whole, not once per reply and the first part
        // at once on this thread while the rest waits to be read.
        if (moreReplies) {
            model.RequestSaveLater();
        } else {
            model.RequestSave();
        }
    }
    if (moreReplies) return true;
    connection.ReportState(ConnState::ContactsLoaded);
    (void)connection.SendEmptySnac(0x0013, 0x0007);
    if (list == nullptr) return true;
    // Local contacts the server list lacks go on the client-side buddy list; the
    // ignored are not watched.
    const std::vector<std::string> ignored = list->PrivacyList(kItemTypeIgnore);
    std::vector<std::string> local;
    {
        BusyScope busy(model);
        for (const ContactPtr& contact : model.Contacts()) {
            if (!IsUsableUin(contact->Uin())) continue;
            std::string uin = NarrowFromWide(contact->Uin());
            if (std::find(ignored.begin(), ignored.end(), uin) == ignored.end()) local.push_back(std::move(uin));
        }
    }
    (void)connection.SendBuddyList(0x0004, list->Lacking(std::move(local)));
    return true;
}

}  // namespace pellox
