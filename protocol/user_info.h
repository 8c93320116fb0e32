// The user-information block that opens SNACs 0x0002/0x0006, 0x0003/0x000B,
// 0x0003/0x000C and, behind the message header, 0x0004/0x0007.
//
// Wire layout:
//   0      1  UIN length n
//   1      n  UIN, decimal digits as 8-bit text
//   1 + n  2  warning level (big-endian; not used)
//   3 + n  2  TLV count (big-endian)
//   5 + n  .. TLVs: type (2), length (2), value
//
// Every TLV is read by its own length field. TLV 0x0006 is the presence: a value of
// 4 bytes or more starts with the status word (16-bit flags, then 16-bit status);
// a value of 2 or 3 bytes holds the status alone (flags 0); a shorter one is
// ignored. A later TLV 0x0006 replaces an earlier one. Every other TLV (user class,
// online-since and idle times, capabilities ...) is skipped whatever its size.
#pragma once

#include <cstdint>
#include <string>

#include "net/codec.h"

namespace pellox {

class Connection;

inline constexpr std::uint16_t kTlvUserStatus = 0x0006;

struct UserInfoBlock {
    std::string uin;  // 8-bit, as sent
    std::uint16_t warningLevel = 0;
    std::uint16_t tlvCount = 0;
    bool hasStatus = false;
    std::uint32_t statusWord = 0;  // flags in the high half, status in the low half
};

// Reads one block. False on a short read (a TLV whose length runs past the data
// included); the fields read until then stay filled in, so a status TLV that came
// before the break is still known.
[[nodiscard]] bool ReadUserInfoBlock(PacketReader& reader, UserInfoBlock& block);

// SNAC 0x0002/0x0006: the block is read and consumed; nothing is reported, stored
// or answered. False when it was cut short.
bool HandleUserInfoReply(Connection& connection, PacketReader& reader);

}  // namespace pellox
