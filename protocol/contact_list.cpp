#include "protocol/contact_list.h"

#include "net/session.h"
#include "net/text_encoding.h"
#include "protocol/identity.h"
#include "protocol/presence.h"
#include "store/app_state.h"

namespace pellox {
namespace {

inline constexpr std::uint16_t kItemTypeBuddy = 0x0000;
inline constexpr std::uint16_t kTlvNickname = 0x0131;

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

}  // namespace

bool ReadContactListReply(PacketReader& reader, std::vector<ServerContactEntry>& entries) {
    std::uint8_t version = 0;
    std::uint16_t count = 0;
    if (!ReadU8(reader, version) || !ReadU16(reader, count)) return false;
    std::vector<ServerContactEntry> read;
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
        if (type != kItemTypeBuddy) continue;
        ServerContactEntry entry{std::move(name), {}};
        ReadItemData(data, entry.nickname);
        read.push_back(std::move(entry));
    }
    std::uint32_t lastChange = 0;
    if (!ReadU32(reader, lastChange)) return false;
    entries = std::move(read);
    return true;
}

void MergeServerContacts(AppState& model, const std::vector<ServerContactEntry>& entries) {
    for (const ServerContactEntry& entry : entries) {
        ContactInfo info;
        info.uin = WidenUin(entry.uin);
        if (!IsUsableUin(info.uin)) continue;
        info.name = NicknameText(entry.nickname);
        info.status = StatusOffline;
        bool added = false;
        const ContactPtr contact = model.FindOrAddContact(info, added);
        if (added) continue;
        // A name the user gave (or an earlier buddy of this reply) wins.
        contact->Update([&](ContactInfo& existing) {
            if (existing.name.empty()) existing.name = info.name;
        });
    }
}

bool HandleContactListReply(NetSession& session, AppState& model, PacketReader& reader,
                            bool moreReplies) {
    std::vector<ServerContactEntry> entries;
    if (!ReadContactListReply(reader, entries)) return false;
    {
        BusyScope busy(model);
        MergeServerContacts(model, entries);
        model.Notify(ChangeCode::ListReset, nullptr, true);
        model.RequestSave();
    }
    if (moreReplies) return true;
    session.OnStateChanged(ConnState::ContactsLoaded);
    (void)session.SendEmptySnac(0x0013, 0x0007);
    return true;
}

}  // namespace pellox
