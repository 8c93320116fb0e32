#include "protocol/away.h"

#include <algorithm>

#include "net/connection.h"
#include "net/text_encoding.h"

namespace pellox {
namespace {

inline constexpr std::uint16_t kChannelRendezvous = 0x0002;
inline constexpr std::uint16_t kTlvRendezvous = 0x0005;
inline constexpr std::uint16_t kTlvExtensionData = 0x2711;
inline constexpr std::uint16_t kReasonChannelSpecific = 0x0003;
inline constexpr std::uint8_t kAutoMessageFlags = 0x03;
// The capability of messages relayed by the server, as the rendezvous block names it.
inline constexpr std::uint8_t kServerRelay[16] = {0x09, 0x46, 0x13, 0x49, 0x4C, 0x7F, 0x11, 0xD1,
                                                  0x82, 0x22, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00};
inline constexpr std::uint16_t kProtocolVersion = 8;
inline constexpr std::uint16_t kCounter = 0xFFFF;

struct PresenceType {
    std::int32_t presence;
    std::uint8_t type;
};
inline constexpr PresenceType kAutoMessages[] = {
    {2, 0xE8}, {4, 0xE9}, {3, 0xEA}, {5, 0xEB}, {6, 0xEC},
};

void AppendCookie(PacketBuffer& buffer, std::uint64_t cookie) {
    AppendU32(buffer, static_cast<std::uint32_t>(cookie >> 32));
    AppendU32(buffer, static_cast<std::uint32_t>(cookie));
}

std::uint64_t CookieValue(const std::uint8_t (&bytes)[8]) {
    std::uint64_t value = 0;
    for (std::uint8_t b : bytes) value = (value << 8) | b;
    return value;
}

// Looks for TLV `type` among the TLVs up to the reader's end; on success the
// reader holds just its value.
bool FindTlv(PacketReader& reader, std::uint16_t type) {
    while (!reader.AtEnd()) {
        TlvHeader tlv;
        if (!ReadRecord(reader, tlv) || tlv.length > reader.Remaining()) return false;
        if (tlv.type == type) {
            reader = PacketReader(reader.Data() + reader.Position(), tlv.length);
            return true;
        }
        (void)reader.Skip(tlv.length);
    }
    return false;
}

}  // namespace

std::uint8_t AutoMessageType(std::int32_t presence) {
    for (const PresenceType& entry : kAutoMessages) {
        if (entry.presence == presence) return entry.type;
    }
    return 0;
}

std::int32_t PresenceOfAutoMessage(std::uint8_t messageType) {
    for (const PresenceType& entry : kAutoMessages) {
        if (entry.type == messageType) return entry.presence;
    }
    return -1;
}

bool ReadExtensionData(PacketReader& reader, ExtensionData& data) {
    std::uint16_t chunk = 0, length = 0;
    if (!ReadU16Le(reader, chunk) || !reader.Skip(chunk) || !ReadU16Le(reader, chunk) ||
        !reader.Skip(chunk) || !ReadU8(reader, data.messageType) || !ReadU8(reader, data.flags) ||
        !ReadU16Le(reader, data.status) || !ReadU16Le(reader, data.priority)) {
        return false;
    }
    data.text.clear();
    if (!ReadU16Le(reader, length)) return true;
    std::string bytes(std::min<std::size_t>(length, static_cast<std::size_t>(reader.Remaining())), '\0');
    (void)ReadBytes(reader, bytes.data(), bytes.size());
    data.text = std::string(CutAtZero(bytes));
    return true;
}

void AppendExtensionData(PacketBuffer& buffer, const ExtensionData& data) {
    const std::uint8_t zeros[16] = {};
    AppendU16Le(buffer, 27);
    AppendU16Le(buffer, kProtocolVersion);
    AppendBytes(buffer, zeros, 16);  // no plug-in: a message
    AppendU16(buffer, 0);
    AppendU32Le(buffer, 0);  // client capability flags
    AppendU8(buffer, 0);
    AppendU16Le(buffer, kCounter);
    AppendU16Le(buffer, 14);
    AppendU16Le(buffer, kCounter);
    AppendBytes(buffer, zeros, 12);
    AppendU8(buffer, data.messageType);
    AppendU8(buffer, data.flags);
    AppendU16Le(buffer, data.status);
    AppendU16Le(buffer, data.priority);
    const std::size_t length = std::min<std::size_t>(data.text.size(), kMaxMessageBytes);
    AppendU16Le(buffer, static_cast<std::uint16_t>(length + 1));
    AppendBytes(buffer, data.text.data(), length);
    AppendU8(buffer, 0);
}

bool ReadAutoMessageRequest(PacketReader& reader, AutoMessageRequest& request) {
    PacketReader copy = reader;
    AutoMessageRequest read;
    if (!ReadBytes(copy, read.cookie, sizeof read.cookie)) return false;
    std::uint16_t channel = 0;
    if (!ReadU16(copy, channel) || channel != kChannelRendezvous) return false;
    if (!ReadUserInfoBlock(copy, read.sender)) return false;
    PacketReader block = copy;
    std::uint16_t kind = 0;
    std::uint8_t cookie[8];
    std::uint8_t capability[16];
    if (!FindTlv(block, kTlvRendezvous) || !ReadU16(block, kind) || kind != 0 ||
        !ReadBytes(block, cookie, sizeof cookie) || !ReadBytes(block, capability, sizeof capability) ||
        !FindTlv(block, kTlvExtensionData)) {
        return false;
    }
    ExtensionData data;
    if (!ReadExtensionData(block, data) || PresenceOfAutoMessage(data.messageType) < 0) return false;
    read.messageType = data.messageType;
    request = read;
    (void)reader.Skip(static_cast<std::size_t>(reader.Remaining()));
    return true;
}

bool ReadAutoMessageAnswer(PacketReader& reader, AutoMessageAnswer& answer) {
    std::uint8_t cookie[8];
    std::uint16_t channel = 0, reason = 0;
    ExtensionData data;
    if (!ReadBytes(reader, cookie, sizeof cookie) || !ReadU16(reader, channel) ||
        channel != kChannelRendezvous || !ReadString8(reader, answer.uin) ||
        !ReadU16(reader, reason) || !ReadExtensionData(reader, data)) {
        return false;
    }
    answer.cookie = CookieValue(cookie);
    answer.messageType = data.messageType;
    answer.text = std::move(data.text);
    return true;
}

bool SendAutoMessageRequest(Connection& connection, const std::string& uin,
                            std::uint8_t messageType, std::uint64_t cookie) {
    if (uin.empty() || uin.size() > 0xFF) return false;
    PacketBuffer extension;
    AppendExtensionData(extension, ExtensionData{messageType, kAutoMessageFlags, 0, 1, {}});
    PacketBuffer rendezvous;
    AppendU16(rendezvous, 0x0000);  // a request
    AppendCookie(rendezvous, cookie);
    AppendBytes(rendezvous, kServerRelay, sizeof kServerRelay);
    const std::uint8_t one[2] = {0x00, 0x01};
    AppendTlv(rendezvous, 0x000A, sizeof one, one);
    AppendTlv(rendezvous, 0x000F, 0, nullptr);
    AppendTlv(rendezvous, kTlvExtensionData, extension.Length(), extension.Data());
    PacketBuffer data;
    AppendCookie(data, cookie);
    AppendU16(data, kChannelRendezvous);
    AppendU8(data, static_cast<std::uint8_t>(uin.size()));
    AppendBytes(data, uin.data(), uin.size());
    AppendTlv(data, kTlvRendezvous, rendezvous.Length(), rendezvous.Data());
    AppendTlv(data, 0x0003, 0, nullptr);
    return connection.SendSnac(0x0004, 0x0006, 0x00040006, data);
}

bool SendAutoMessageAnswer(Connection& connection, const AutoMessageRequest& request,
                           const std::string& text) {
    const std::string& uin = request.sender.uin;
    if (uin.empty() || uin.size() > 0xFF) return false;
    PacketBuffer data;
    AppendBytes(data, request.cookie, sizeof request.cookie);
    AppendU16(data, kChannelRendezvous);
    AppendU8(data, static_cast<std::uint8_t>(uin.size()));
    AppendBytes(data, uin.data(), uin.size());
    AppendU16(data, kReasonChannelSpecific);
    AppendExtensionData(data, ExtensionData{request.messageType, kAutoMessageFlags, 0, 0, text});
    return connection.SendSnac(0x0004, 0x000B, 0x0004000B, data);
}

std::optional<std::uint64_t> AwayTexts::BeginAsk(const std::u16string& uin, std::int32_t presence) {
    std::lock_guard<std::mutex> guard(lock_);
    const auto asked = asked_.find(uin);
    if (asked != asked_.end() && asked->second == presence) return std::nullopt;
    asked_[uin] = presence;
    std::uint64_t cookie = random_();
    while (asks_.count(cookie) > 0) cookie = random_();
    asks_[cookie] = Ask{uin, presence, ++serial_};
    if (asks_.size() > kMaxAwayAsks) {
        asks_.erase(std::min_element(asks_.begin(), asks_.end(), [](const auto& a, const auto& b) {
            return a.second.serial < b.second.serial;
        }));
    }
    return cookie;
}

std::optional<std::int32_t> AwayTexts::TakeAsk(std::uint64_t cookie, const std::u16string& uin) {
    std::lock_guard<std::mutex> guard(lock_);
    const auto it = asks_.find(cookie);
    if (it == asks_.end() || it->second.uin != uin) return std::nullopt;
    const std::int32_t presence = it->second.presence;
    asks_.erase(it);
    return presence;
}

void AwayTexts::PresenceChanged(const std::u16string& uin) {
    std::lock_guard<std::mutex> guard(lock_);
    asked_.erase(uin);
}

bool AwayTexts::MayAnswer(const std::u16string& uin, std::int64_t nowMs) {
    std::lock_guard<std::mutex> guard(lock_);
    const auto last = answered_.find(uin);
    if (last != answered_.end() && nowMs - last->second < kAwayAnswerIntervalMs) return false;
    if (answersThisMinute_ == 0 || nowMs - minuteStartMs_ >= 60000) {
        minuteStartMs_ = nowMs;
        answersThisMinute_ = 0;
    }
    if (answersThisMinute_ >= kMaxAwayAnswersPerMinute) return false;
    ++answersThisMinute_;
    // Askers answered longer ago than the interval need no place any more.
    std::erase_if(answered_, [&](const auto& entry) { return nowMs - entry.second >= kAwayAnswerIntervalMs; });
    answered_[uin] = nowMs;
    return true;
}

void AwayTexts::Forget() {
    std::lock_guard<std::mutex> guard(lock_);
    asks_.clear();
    asked_.clear();
}

}  // namespace pellox
