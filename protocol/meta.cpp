#include "protocol/meta.h"

#include <algorithm>
#include <vector>

#include "net/connection.h"
#include "net/session.h"
#include "net/text_encoding.h"
#include "platform/local_time.h"
#include "protocol/identity.h"
#include "store/app_state.h"

namespace pellox {
namespace {

inline constexpr std::uint8_t kShortInfoSuccess = 0x0A;

std::u16string DecimalText(std::int32_t value) {
    const std::string digits = std::to_string(value);
    return std::u16string(digits.begin(), digits.end());
}

// The time of sending in an offline message record (UTC); 0 when the fields are
// not a time.
std::int64_t OfflineMessageTime(std::uint16_t year, const std::uint8_t (&fields)[4]) {
    platform::LocalTime utc;
    utc.year = year;
    utc.month = fields[0];
    utc.day = fields[1];
    utc.hour = fields[2];
    utc.minute = fields[3];
    const std::time_t t = platform::FromUtcTime(utc);
    return t > 0 ? static_cast<std::int64_t>(t) : 0;
}

bool HandleOfflineMessage(Connection& connection, PacketReader& reader) {
    std::uint32_t sender = 0;
    std::uint16_t year = 0;
    std::uint8_t fields[4];  // month, day, hour, minute
    std::uint8_t typeAndFlags[2];
    std::uint16_t length = 0;
    if (!ReadU32Le(reader, sender) || !ReadU16Le(reader, year) ||
        !ReadBytes(reader, fields, sizeof fields) ||
        !ReadBytes(reader, typeAndFlags, sizeof typeAndFlags) || !ReadU16Le(reader, length)) {
        return false;
    }
    std::string bytes(std::min<std::size_t>(length, static_cast<std::size_t>(reader.Remaining())),
                      '\0');
    (void)ReadBytes(reader, bytes.data(), bytes.size());
    // Offline text is recognised as live text is: UTF-8 when it is valid non-ASCII
    // UTF-8 (a server delivers a stored UTF-16 message so), the local code page
    // otherwise; it ends at its zero byte.
    std::u16string text;
    DecodeIncomingText(bytes, text);
    connection.Events().OnOfflineMessage(connection, DecimalText(static_cast<std::int32_t>(sender)),
                                         text, OfflineMessageTime(year, fields));
    return true;
}

bool HandleInformationReply(Connection& connection, AppState& model, PacketReader& reader,
                            const SnacHeader& snac) {
    std::uint16_t subtype = 0;
    if (!ReadU16Le(reader, subtype) || subtype != kMetaShortInfo) return false;
    std::uint32_t target = 0;
    if (!connection.TakeInfoRequest(snac.requestId, target)) return false;
    return ParseShortInfoReply(model, reader, DecimalText(static_cast<std::int32_t>(target)));
}

}  // namespace

bool HandleMetaReply(Connection& connection, AppState& model, PacketReader& reader,
                     const SnacHeader& snac) {
    TlvHeader tlv;
    std::uint16_t chunkSize = 0, replyType = 0, replySequence = 0;
    std::uint32_t owner = 0;
    if (!ReadRecord(reader, tlv) || !ReadU16Le(reader, chunkSize) || !ReadU32Le(reader, owner) ||
        !ReadU16Le(reader, replyType) || !ReadU16Le(reader, replySequence)) {
        return false;
    }
    switch (replyType) {
        case kMetaOfflineDone:
            connection.ReportState(ConnState::Online);
            // The server deletes the stored messages once they are acknowledged.
            (void)connection.SendMetaRequest(kMetaAckOfflineMessages);
            connection.ReportState(ConnState::LoadingContacts);
            (void)connection.SendEmptySnac(0x0013, 0x0004);
            return true;
        case kMetaOfflineMessage:
            return HandleOfflineMessage(connection, reader);
        case kMetaInformation:
            return HandleInformationReply(connection, model, reader, snac);
        default:
            return true;
    }
}

bool ParseShortInfoReply(AppState& model, PacketReader& reader, const std::u16string& uin) {
    while (!reader.AtEnd()) {
        std::uint8_t result = 0;
        if (!ReadU8(reader, result)) return false;
        if (result != kShortInfoSuccess) return true;
        std::string nickname, firstName, lastName, email;
        std::uint8_t tail[3];  // authorization flag, an undefined byte, gender
        if (!ReadString16(reader, nickname, true) || !ReadString16(reader, firstName, true) ||
            !ReadString16(reader, lastName, true) || !ReadString16(reader, email, true) ||
            !ReadBytes(reader, tail, sizeof tail)) {
            return false;
        }
        const ContactPtr contact = model.FindContact(uin);
        if (!contact) return true;
        std::u16string name;
        DecodeIncomingText(nickname, name);
        name = CleanName(std::move(name));
        const bool named = contact->Update([&](ContactInfo& info) {
            if (!info.name.empty()) return false;
            info.name = name;
            return true;
        });
        if (named) model.RequestSave();
        model.Notify(ChangeCode::ContactChanged, contact, true);
    }
    return true;
}

}  // namespace pellox
