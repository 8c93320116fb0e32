// Away texts: the auto-message requests of message channel 2 and their answers.
//
// A request, SNAC 0x0004/0x0006 data (and, as the asked one receives it,
// 0x0004/0x0007 with the asker's user-information block in place of the UIN):
//   cookie (8), channel 0x0002, the UIN (1-byte length), TLV 0x0005 (the
//   rendezvous block), TLV 0x0003 (empty: the server acknowledges)
// Rendezvous block: message type 0x0000 (a request), the cookie again (8), the
//   capability 09461349-4C7F-11D1-8222-444553540000 (16), TLV 0x000A (0x0001),
//   TLV 0x000F (empty), TLV 0x2711 (the extension data)
// Extension data (little-endian): a first chunk behind its 2-byte length (27
//   bytes: protocol version, a zero plug-in id, ..., a counter), a second chunk
//   behind its length (14 bytes: the counter, zeros), then the message type (1:
//   0xE8 away, 0xE9 occupied, 0xEA not available, 0xEB do not disturb, 0xEC free
//   for chat), flags (1; 0x03 in a request), status (2), priority (2) and the text
//   (2-byte length counting the terminating zero, 8-bit text, the zero; empty in a
//   request).
// An answer, SNAC 0x0004/0x000B data: cookie (8), channel 0x0002, the UIN (1-byte
//   length: the asker's as sent, the answerer's as received), reason 0x0003, then
//   the extension data with the text.
//
// AwayTexts keeps the requests this client sent until their answers come, and
// which contacts were asked for which presence, so that each is asked once until
// its presence changes. Every member may be called from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <utility>

#include "net/codec.h"
#include "protocol/user_info.h"

namespace pellox {

class Connection;

// The message type that asks for the text of an away-type presence (2 away, 3
// not available, 4 occupied, 5 do not disturb, 6 free for chat); 0 for others.
std::uint8_t AutoMessageType(std::int32_t presence);
// The presence a message type asks about; -1 when it asks for none.
std::int32_t PresenceOfAutoMessage(std::uint8_t messageType);

struct ExtensionData {
    std::uint8_t messageType = 0;
    std::uint8_t flags = 0;
    std::uint16_t status = 0;
    std::uint16_t priority = 0;
    std::string text;  // 8-bit, without its terminating zero
};
// False when the data is cut short before the text (a text cut short is read as
// far as it goes).
[[nodiscard]] bool ReadExtensionData(PacketReader& reader, ExtensionData& data);
void AppendExtensionData(PacketBuffer& buffer, const ExtensionData& data);

// A channel-2 message that asks for one's away text.
struct AutoMessageRequest {
    std::uint8_t cookie[8] = {};
    UserInfoBlock sender;
    std::uint8_t messageType = 0;
};
// Reads SNAC 0x0004/0x0007 data; true, and `request` filled, only for an
// auto-message request. The reader is moved only then.
[[nodiscard]] bool ReadAutoMessageRequest(PacketReader& reader, AutoMessageRequest& request);

struct AutoMessageAnswer {
    std::uint64_t cookie = 0;
    std::string uin;
    std::uint8_t messageType = 0;
    std::string text;
};
// Reads SNAC 0x0004/0x000B data of channel 2; false when it is cut short or of
// another channel.
[[nodiscard]] bool ReadAutoMessageAnswer(PacketReader& reader, AutoMessageAnswer& answer);

// The request (0x0004/0x0006) to the UIN for the text of `messageType`.
bool SendAutoMessageRequest(Connection& connection, const std::string& uin,
                            std::uint8_t messageType, std::uint64_t cookie);
// The answer (0x0004/0x000B) to a request with the text (8-bit).
bool SendAutoMessageAnswer(Connection& connection, const AutoMessageRequest& request,
                           const std::string& text);

// Asks in flight at most; the oldest is forgotten first.
inline constexpr std::size_t kMaxAwayAsks = 32;
// Answers to auto-message requests: one asker is answered once in this long, and
// all askers together at most kMaxAwayAnswersPerMinute times a minute, so that a
// flood of requests cannot spend the messages the server lets one send.
inline constexpr std::int64_t kAwayAnswerIntervalMs = 30000;
inline constexpr int kMaxAwayAnswersPerMinute = 20;

class AwayTexts {
public:
    // A new ask of the contact for the text of `presence`: the cookie to send it
    // under, or nullopt when the contact was asked for that presence already.
    std::optional<std::uint64_t> BeginAsk(const std::u16string& uin, std::int32_t presence);
    // The presence the answer under `cookie` from `uin` was asked for (the ask is
    // over), or nullopt when it answers no ask of this client.
    std::optional<std::int32_t> TakeAsk(std::uint64_t cookie, const std::u16string& uin);
    // The contact's presence changed: the next conversation asks again.
    void PresenceChanged(const std::u16string& uin);
    // The connection ended: nothing asked on it is answered any more.
    void Forget();
    // True when the request of `uin` at `nowMs` (a monotonic clock) may be
    // answered, and then counts the answer.
    bool MayAnswer(const std::u16string& uin, std::int64_t nowMs);

private:
    struct Ask {
        std::u16string uin;
        std::int32_t presence = 0;
        std::uint64_t serial = 0;
    };
    std::mutex lock_;  // a leaf lock
    std::map<std::uint64_t, Ask> asks_;               // by cookie
    std::map<std::u16string, std::int32_t> asked_;   // by UIN: the presence asked about
    std::uint64_t serial_ = 0;
    std::mt19937_64 random_{std::random_device{}()};
    std::map<std::u16string, std::int64_t> answered_;  // by UIN: when last answered
    std::int64_t minuteStartMs_ = 0;
    int answersThisMinute_ = 0;
};

}  // namespace pellox
