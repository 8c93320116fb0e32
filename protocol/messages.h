// Incoming instant messages, SNAC 0x0004/0x0007.
//
// SNAC data: the message header (8-byte cookie, 16-bit channel), the sender's
// user-information block (user_info.h), then the message TLVs. For channel 1 the
// first TLV must be 0x0002, the message block:
//   fragment id (1), version (1), length (2, big-endian), that many bytes
//       (the capabilities fragment; skipped)
//   fragment id (1), version (1), length L (2, big-endian)   (the text fragment)
//   character set (2, big-endian), subset (2)
//   L - 4 bytes of text, no terminator
// Character set 0x0002 is big-endian UTF-16 (UCS-2); any other set is 8-bit text,
// taken as UTF-8 when it is valid non-ASCII UTF-8 and as local code page text
// otherwise. Either text ends at its first zero character.
// The walk stays inside the TLV's own length: a fragment that runs past it fails
// the parse.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "net/codec.h"
#include "net/text_encoding.h"

namespace pellox {

class Connection;

// The text bytes of a message fragment in the given character set, as UTF-16.
// A UCS-2 text of odd length loses its last byte.
std::u16string DecodeMessageText(std::uint16_t charset, std::string_view bytes);

// Reads the message TLV of a channel-1 message; false (text untouched) when the
// TLV is not 0x0002 or its fragments do not fit.
[[nodiscard]] bool ParseMessageText(PacketReader& reader, std::u16string& text);

// Reports the sender's presence when its block carries a status TLV (even when the
// rest of the SNAC is cut short), then the message: the text of a channel-1
// message, an empty text for any other channel. False on a short read, a bad
// message TLV or an unusable sender UIN (no event then).
bool HandleIncomingMessage(Connection& connection, PacketReader& reader);

// A message error, SNAC 0x0004/0x0001: a 2-byte error code (anything after it is
// not read). The SNAC's request id names the message the server refused, which
// is reported through OnMessageNotSent with that code. False when the code is
// missing or the request id names no message sent on this connection.
bool HandleMessageError(Connection& connection, PacketReader& reader, const SnacHeader& snac);

// Typing notices, SNAC 0x0004/0x0014 both ways: cookie (8, zeros), channel (2,
// always 1 here), the UIN (1-byte length), the kind (2).
inline constexpr std::uint16_t kTypingStopped = 0;
inline constexpr std::uint16_t kTypingTyped = 1;  // typed, then paused
inline constexpr std::uint16_t kTypingBegun = 2;
// A contact counts as typing for this long after its last notice.
inline constexpr std::int64_t kTypingTimeoutMs = 10000;

// Reads a notice of channel 1; false when cut short or of another channel.
[[nodiscard]] bool ReadTypingNotice(PacketReader& reader, std::string& uin, std::uint16_t& kind);
// Each notice has a request id of its own above kLastMessageRequestId, so that an
// error the server sends about it (0x0004/0x0001) never names a message.
bool SendTypingNotice(Connection& connection, std::u16string_view uin, std::uint16_t kind);

}  // namespace pellox
