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

// Walks the TLVs of one item's data, keeping the last nickname.
void ReadItemData(PacketReader data, std::string& nickname) {
    while (!data.AtEnd()) {
        TlvHeader tlv;
        if (!ReadRecord(data, tlv) || tlv.length > data.Remaining()) return;
        if (tlv.type == kTlvNickname) {
            if (!ReadTlvString(data, tlv, nickname)) return;
        } else if (!data.Skip(tlv.length)) {
            return;
        }
    }
}

std::u16string NicknameText(const std::string& nickname) {
    std::u16string text;
    DecodeIncomingText(nickname, text);
    return CleanName(std::move(text));
}

// Calls fn(type, offset of the TLV header, value length) for each whole TLV of an
// item's data; stops at the first that does not fit.
template <class F>
void ForEachTlv(const std::vector<std::uint8_t>& data, F&& fn) {
    PacketReader reader(data);
    while (!reader.AtEnd()) {
        const int at = reader.Position();
        TlvHeader tlv;
        if (!ReadRecord(reader, tlv) || tlv.length > reader.Remaining()) return;
        fn(tlv.type, at, tlv.length);
        (void)reader.Skip(tlv.length);
    }
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
    ForEachTlv(data, [&](std::uint16_t t, int at, std::uint16_t length) {
        if (t == type) return;
        out.insert(out.end(), data.begin() + at, data.begin() + at + 4 + length);
    });
    if (value != nullptr && value->size() <= 0xFFFF) {
        const std::uint8_t head[4] = {static_cast<std::uint8_t>(type >> 8), static_cast<std::uint8_t>(type),
                                      static_cast<std::uint8_t>(value->size() >> 8),
                                      static_cast<std::uint8_t>(value->size())};
        out.insert(out.end(), head, head + 4);
        out.insert(out.end(), value->begin(), value->end());
    }
    return out;
}

bool HasTlv(const std::vector<std::uint8_t>& data, std::uint16_t type) {
    bool found = false;
    ForEachTlv(data, [&](std::uint16_t t, int, std::uint16_t) { found = found || t == type; });
    return found;
}

std::uint8_t VisibilityValue(const VisibilityItem& item) {
    std::uint8_t value = 0;
    ForEachTlv(item.data, [&](std::uint16_t type, int at, std::uint16_t length) {
        if (type == kTlvVisibility && length >= 1 && value == 0) value = item.data[at + 4];
    });
    return value;
}

VisibilityItem WithVisibility(VisibilityItem item, std::uint8_t value) {
    const std::string one(1, static_cast<char>(value));
    item.data = WithTlv(item.data, kTlvVisibility, &one);
    return item;
}

bool ReadContactListReply(PacketReader& reader, std::vector<ServerContactEntry>& entries,
                          ServerListExtras* extras) {
    std::uint8_t version = 0;
    std::uint16_t count = 0;
    if (!ReadU8(reader, version) || !ReadU16(reader, count)) return false;
    std::vector<ServerContactEntry> read;
    ServerListExtras found;
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
        if (type == kItemTypeGroup && groupId != 0 && !found.firstGroup) {
            found.firstGroup = ServerItem{name, groupId, itemId, type,
                                          std::vector<std::uint8_t>(data.Data(), data.Data() + dataLength)};
        }
        if (type == kItemTypeVisibility && !found.visibility) {
            found.visibility = VisibilityItem{
                std::move(name), groupId, itemId,
                std::vector<std::uint8_t>(data.Data(), data.Data() + dataLength)};
            continue;
        }
        if (type != kItemTypeBuddy) continue;
        found.buddies.push_back(ServerItem{name, groupId, itemId, type,
                                           std::vector<std::uint8_t>(data.Data(), data.Data() + dataLength)});
        ServerContactEntry entry{std::move(name), {}};
        ReadItemData(data, entry.nickname);
        read.push_back(std::move(entry));
    }
    std::uint32_t lastChange = 0;
    if (!ReadU32(reader, lastChange)) return false;
    entries = std::move(read);
    if (extras != nullptr) *extras = std::move(found);
    return true;
}

void ServerListState::TakeReply(ServerListExtras extras, bool moreReplies) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!comingItem_ && extras.visibility) comingItem_ = extras.visibility;
    comingHighest_ = std::max(comingHighest_, extras.highestItemId);
    comingHighestGroup_ = std::max(comingHighestGroup_, extras.highestGroupId);
    comingBuddies_.insert(comingBuddies_.end(), std::make_move_iterator(extras.buddies.begin()),
                          std::make_move_iterator(extras.buddies.end()));
    if (!comingGroup_ && extras.firstGroup) comingGroup_ = extras.firstGroup;
    if (moreReplies) return;
    item_ = std::exchange(comingItem_, std::nullopt);
    highestItemId_ = std::exchange(comingHighest_, 0);
    highestGroupId_ = std::exchange(comingHighestGroup_, 0);
    buddies_ = std::exchange(comingBuddies_, {});
    group_ = std::exchange(comingGroup_, std::nullopt);
    loaded_ = true;
}

bool ServerListState::Loaded() const {
    std::lock_guard<std::mutex> guard(lock_);
    return loaded_;
}

std::uint16_t ServerListState::NextItemId() { return TakeNextId(highestItemId_); }

std::optional<ServerItem> ServerListState::Buddy(const std::string& uin) const {
    std::lock_guard<std::mutex> guard(lock_);
    for (const ServerItem& item : buddies_) {
        if (item.name == uin) return item;
    }
    return std::nullopt;
}

std::vector<std::string> ServerListState::WithoutBuddyItems(std::vector<std::string> uins) const {
    std::unordered_set<std::string_view> listed;
    std::lock_guard<std::mutex> guard(lock_);
    listed.reserve(buddies_.size());
    for (const ServerItem& item : buddies_) listed.insert(item.name);
    std::erase_if(uins, [&](const std::string& uin) { return listed.count(uin) != 0; });
    return uins;
}

ServerItem ServerListState::PrepareBuddy(const std::string& uin, const std::string& nickname,
                                         std::optional<ServerItem>& group) {
    std::lock_guard<std::mutex> guard(lock_);
    group.reset();
    if (!group_) {
        // The group a first buddy goes into when the list has none, in the local
        // code page as the server keeps it.
        group_ = ServerItem{NarrowFromWide(LoadString(str::kNewGroupName)),
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

void MergeServerContacts(AppState& model, const std::vector<ServerContactEntry>& entries) {
    std::vector<ContactInfo> infos;
    infos.reserve(entries.size());
    for (const ServerContactEntry& entry : entries) {
        ContactInfo info;
        info.uin = WidenUin(entry.uin);
        if (!IsUsableUin(info.uin)) continue;
        info.name = NicknameText(entry.nickname);
        info.status = StatusOffline;
        infos.push_back(std::move(info));
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

bool HandleContactListReply(Connection& connection, AppState& model, PacketReader& reader,
                            bool moreReplies, ServerListState* list) {
    std::vector<ServerContactEntry> entries;
    ServerListExtras extras;
    if (!ReadContactListReply(reader, entries, &extras)) return false;
    if (list != nullptr) list->TakeReply(std::move(extras), moreReplies);
    {
        BusyScope busy(model);
        MergeServerContacts(model, entries);
        model.Notify(ChangeCode::ListReset, nullptr, true);
        model.RequestSave();
    }
    if (moreReplies) return true;
    connection.ReportState(ConnState::ContactsLoaded);
    (void)connection.SendEmptySnac(0x0013, 0x0007);
    if (list == nullptr) return true;
    // Local contacts the server list lacks go on the client-side buddy list.
    std::vector<std::string> local;
    {
        BusyScope busy(model);
        for (const ContactPtr& contact : model.Contacts()) {
            const std::u16string uin = contact->Uin();
            if (IsUsableUin(uin)) local.push_back(NarrowFromWide(uin));
        }
    }
    (void)connection.SendBuddyList(0x0004, list->WithoutBuddyItems(std::move(local)));
    return true;
}

}  // namespace pellox
