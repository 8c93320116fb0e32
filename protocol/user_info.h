// What the protocol layer reads from the user-information block (UserInfoBlock,
// net/codec.h) that opens SNACs 0x0002/0x0006, 0x0003/0x000B, 0x0003/0x000C and,
// behind the message header, 0x0004/0x0007.
//
// TLV 0x0006 is the presence: a value of 4 bytes or more starts with the status
// word (16-bit flags, then 16-bit status); a value of 2 or 3 bytes holds the
// status alone (flags 0); a shorter one is ignored. A later TLV 0x0006 replaces an
// earlier one. Every other TLV (user class, online-since and idle times,
// capabilities ...) is not used.
#pragma once

#include <cstdint>

#include "net/codec.h"

namespace pellox {

class Connection;

inline constexpr std::uint16_t kTlvUserStatus = 0x0006;

// The block's status word (flags in the high half, status in the low half) by the
// rule above; false when the block carries none.
[[nodiscard]] bool UserStatusWord(const UserInfoBlock& block, std::uint32_t& statusWord);

// SNAC 0x0002/0x0006: the block is read and consumed; nothing is reported, stored
// or answered. False when it was cut short.
bool HandleUserInfoReply(Connection& connection, PacketReader& reader);

}  // namespace pellox
