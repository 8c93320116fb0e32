// Offline messages and user information: the meta requests of family 0x0015.
#include <cstdint>
#include <ctime>
#include <iterator>

#include "net/text_encoding.h"
#include "platform/code_page.h"
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

// The text as the offline record carries it: Windows-1251 text and text in
// other 8-bit character sets as stored; UCS-2 text in Windows-1251 when every
// character has a place there, otherwise as UTF-8 (which the client detects).
std::string RecordText(const OfflineMessage& m) {
    if (m.charset != kCharsetUcs2) return m.text;
    const std::u16string wide = DecodeUtf8(m.text);
    return FitsLocal(wide) ? platform::WideToLocal(wide) : m.text;
}

// An offline message record: sender, the date and time it was stored (UTC),
// type, flags and the text.
PacketBuffer OfflineRecord(const OfflineMessage& m) {
    std::tm t{};
    const std::time_t time = m.time;
    if (gmtime_r(&time, &t) == nullptr) t = std::tm{};
    PacketBuffer record;
    AppendU32Le(record, m.from);
    AppendU16Le(record, static_cast<std::uint16_t>(t.tm_year + 1900));
    AppendU8(record, static_cast<std::uint8_t>(t.tm_mon + 1));
    AppendU8(record, static_cast<std::uint8_t>(t.tm_mday));
    AppendU8(record, static_cast<std::uint8_t>(t.tm_hour));
    AppendU8(record, static_cast<std::uint8_t>(t.tm_min));
    AppendU8(record, 0x01);  // plain text
    AppendU8(record, 0x00);  // flags
    AppendMetaString(record, RecordText(m));
    return record;
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
            std::size_t removed = offline_->StageRemove(s.uin, s.deliveredOffline);
            s.deliveredOffline.clear();
            s.offlineStaged = removed > 0;
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

// The backlog is sent as the output queue drains: never more than half the
// queue's bound is queued at a time, so a long backlog cannot overrun it.
void OscarServer::Core::DeliverOffline(Session& s, std::uint32_t requestId, std::uint16_t sequence) {
    std::vector<OfflineMessage> messages = offline_->For(s.uin);
    s.offlineQueue.assign(std::make_move_iterator(messages.begin()), std::make_move_iterator(messages.end()));
    s.deliveredOffline.clear();
    s.offlineRequestId = requestId;
    s.offlineSequence = sequence;
    s.offlineDelivering = true;
    SendOfflineBatch(s);
}

void OscarServer::Core::SendOfflineBatch(Session& s) {
    const std::size_t budget = config_.maxQueuedOutput / 2;
    while (!s.offlineQueue.empty()) {
        const OfflineMessage& m = s.offlineQueue.front();
        PacketBuffer reply = MetaReply(s.uin, kMetaOfflineMessage, s.offlineSequence, OfflineRecord(m));
        const std::size_t queued = s.connection.QueuedBytes();
        if (queued > 0 && queued + kFlapHeaderSize + kSnacHeaderSize + reply.Length() > budget) {
            if (s.connection.NotifyWhenDrained()) return;  // HandleDrained goes on
            continue;  // drained meanwhile
        }
        if (!s.connection.SendSnac(0x0015, 0x0003, s.offlineRequestId, reply)) {
            Log(s.Label() + " offline delivery ended: the connection is closing");
            s.offlineQueue.clear();
            s.offlineDelivering = false;
            return;
        }
        s.deliveredOffline.push_back(m.id);
        s.offlineQueue.pop_front();
    }
    PacketBuffer end;
    AppendU8(end, 0);  // no messages were dropped
    s.connection.SendSnac(0x0015, 0x0003, s.offlineRequestId, MetaReply(s.uin, kMetaOfflineEnd, s.offlineSequence, end));
    s.offlineDelivering = false;
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
