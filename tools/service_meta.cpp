// Offline messages and user information: the meta requests of family 0x0015.
#include <cstdint>

#include "platform/local_time.h"
#include "tools/server_core.h"

namespace pellox::server {
namespace {

// Meta request and reply types (little-endian inside family 0x0015).
constexpr std::uint16_t kMetaOfflineRequest = 0x003C;
constexpr std::uint16_t kMetaOfflineAck = 0x003E;
constexpr std::uint16_t kMetaOfflineMessage = 0x0041;
constexpr std::uint16_t kMetaOfflineEnd = 0x0042;
constexpr std::uint16_t kMetaInfoRequest = 0x07D0;
constexpr std::uint16_t kMetaInfoReply = 0x07DA;
constexpr std::uint16_t kInfoShortRequest = 0x04BA;
constexpr std::uint16_t kInfoShortReply = 0x0104;
constexpr std::uint8_t kInfoFound = 0x0A;
constexpr std::uint8_t kInfoNotFound = 0x32;

// Meta reply strings: little-endian length including the terminating zero.
bool AppendMetaString(PacketBuffer& buffer, const std::string& text) {
    return AppendU16Le(buffer, static_cast<std::uint16_t>(text.size() + 1)) &&
           AppendBytes(buffer, text.data(), text.size()) && AppendU8(buffer, 0);
}

// The head every meta reply opens with, then the type-specific data.
PacketBuffer MetaReply(Uin owner, std::uint16_t type, std::uint16_t sequence, const PacketBuffer& data) {
    const std::size_t inner = 4 + 2 + 2 + data.Length();  // the bytes behind the chunk size
    PacketBuffer p;
    AppendU16(p, 0x0001);
    AppendU16(p, static_cast<std::uint16_t>(2 + inner));
    AppendU16Le(p, static_cast<std::uint16_t>(inner));
    AppendU32Le(p, owner);
    AppendU16Le(p, type);
    AppendU16Le(p, sequence);
    AppendBytes(p, data.Data(), data.Length());
    return p;
}

}  // namespace

void OscarServer::Core::HandleMetaSnac(Session& s, const SnacHeader& snac, PacketReader& reader) {
    if (snac.subtype != 0x0002) return;
    TlvHeader tlv;
    std::uint16_t chunk = 0, type = 0, sequence = 0;
    std::uint32_t owner = 0;
    if (!ReadRecord(reader, tlv) || tlv.type != 0x0001 || !ReadU16Le(reader, chunk) ||
        !ReadU32Le(reader, owner) || !ReadU16Le(reader, type) || !ReadU16Le(reader, sequence)) {
        Log(s.Label() + " malformed meta request");
        return;
    }
    // The owner field is not trusted: every request acts for the signed-on UIN.
    switch (type) {
    case kMetaOfflineRequest:
        DeliverOffline(s, snac.requestId, sequence);
        break;
    case kMetaOfflineAck:
        if (!s.deliveredOffline.empty()) {
            std::string fileError;
            std::size_t removed = offline_->Remove(s.uin, s.deliveredOffline, fileError);
            s.deliveredOffline.clear();
            if (!fileError.empty()) Log(fileError);
            Log(s.Label() + " " + std::to_string(removed) + " offline messages acknowledged");
        }
        break;
    case kMetaInfoRequest: {
        std::uint16_t subtype = 0;
        std::uint32_t target = 0;
        if (!ReadU16Le(reader, subtype) || subtype != kInfoShortRequest || !ReadU32Le(reader, target)) break;
        SendShortInfo(s, snac.requestId, sequence, target);
        break;
    }
    default:
        break;
    }
}

void OscarServer::Core::DeliverOffline(Session& s, std::uint32_t requestId, std::uint16_t sequence) {
    std::vector<OfflineMessage> messages = offline_->For(s.uin);
    s.deliveredOffline.clear();
    for (const OfflineMessage& m : messages) {
        platform::LocalTime t = platform::ToLocalTime(m.time);
        PacketBuffer record;
        AppendU32Le(record, m.from);
        AppendU16Le(record, static_cast<std::uint16_t>(t.year));
        AppendU8(record, static_cast<std::uint8_t>(t.month));
        AppendU8(record, static_cast<std::uint8_t>(t.day));
        AppendU8(record, static_cast<std::uint8_t>(t.hour));
        AppendU8(record, static_cast<std::uint8_t>(t.minute));
        AppendU8(record, 0x01);  // plain text
        AppendU8(record, 0x00);  // flags
        AppendMetaString(record, m.text);
        if (s.connection.SendSnac(0x0015, 0x0003, requestId, MetaReply(s.uin, kMetaOfflineMessage, sequence, record))) {
            s.deliveredOffline.push_back(m.id);
        }
    }
    PacketBuffer end;
    AppendU8(end, 0);  // no messages were dropped
    s.connection.SendSnac(0x0015, 0x0003, requestId, MetaReply(s.uin, kMetaOfflineEnd, sequence, end));
    Log(s.Label() + " " + std::to_string(s.deliveredOffline.size()) + " offline messages delivered");
}

void OscarServer::Core::SendShortInfo(Session& s, std::uint32_t requestId, std::uint16_t sequence, Uin target) {
    const Account* account = accounts_.Find(target);
    PacketBuffer data;
    AppendU16Le(data, kInfoShortReply);
    if (account == nullptr) {
        AppendU8(data, kInfoNotFound);
    } else {
        AppendU8(data, kInfoFound);
        AppendMetaString(data, account->nickname);
        AppendMetaString(data, "");  // first name
        AppendMetaString(data, "");  // last name
        AppendMetaString(data, "");  // e-mail
        AppendU8(data, 0);           // authorization not required
        AppendU8(data, 0);
        AppendU8(data, 0);           // gender not given
    }
    s.connection.SendSnac(0x0015, 0x0003, requestId, MetaReply(s.uin, kMetaInfoReply, sequence, data));
    Log(s.Label() + " short info for " + UinText(target) + (account ? "" : ": not found"));
}

}  // namespace pellox::server
