// ICQ meta replies, SNAC 0x0015/0x0003: the offline messages, their end marker and
// the short user-information reply. Integers inside the meta data are
// little-endian.
//
// Common head:
//   0   2  TLV type (big-endian; 0x0001, not checked)   2  TLV length (big-endian)
//   4   2  data chunk size                              6  4  owner UIN
//   10  2  reply type: 0x0041 offline message, 0x0042 end of offline messages,
//          0x07DA information reply; others are ignored
//   12  2  reply sequence
// Offline message (0x0041), from offset 14: sender UIN (4), year (2), month, day,
//   hour, minute, message type, message flags (1 each), text length L (2, counting
//   the terminating zero), then L bytes of local code page text. A text that runs
//   past the data is cut at the end of the data. Year to minute are the time of
//   sending in UTC; fields that are not a time give time 0 (unknown).
// Information reply (0x07DA), from offset 14: subtype (2); only 0x0104, the short
//   user information, is handled: records of result (1; 0x0A is success),
//   nickname, first name, last name and e-mail (each a 2-byte length, then that
//   many bytes with their terminating zero), authorization flag (1), one undefined
//   byte, gender (1). The reply names its request by the SNAC request id, which
//   is looked up (and taken out) in the session's pending info requests.
#pragma once

#include <cstdint>
#include <string>

#include "net/codec.h"

namespace pellox {

class AppState;
class Connection;

inline constexpr std::uint16_t kMetaOfflineMessage = 0x0041;
inline constexpr std::uint16_t kMetaOfflineDone = 0x0042;
inline constexpr std::uint16_t kMetaInformation = 0x07DA;
inline constexpr std::uint16_t kMetaShortInfo = 0x0104;
inline constexpr std::uint16_t kMetaAckOfflineMessages = 0x003E;

// 0x0041: reports the message with its time of sending (OnOfflineMessage). 0x0042: reports Online, acknowledges the offline
// messages, reports LoadingContacts and requests the contact list. 0x07DA/0x0104:
// applies the nickname to the contact the request was for. False on a short head
// or record, an information reply of another subtype or an unknown request id.
bool HandleMetaReply(Connection& connection, AppState& model, PacketReader& reader,
                     const SnacHeader& snac);

// Reads the records of a short user-information reply about `uin`. For each
// successful record: a listed contact whose name is empty takes the nickname and
// the contact list is saved; a listed contact is announced with ContactChanged
// either way. A result other than 0x0A ends the reading (true); a short record
// returns false.
bool ParseShortInfoReply(AppState& model, PacketReader& reader, const std::u16string& uin);

}  // namespace pellox
