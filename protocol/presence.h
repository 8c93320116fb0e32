// Presence of contacts: the values the client works with, the mapping from the
// server's status word, and the handlers of a contact's arrival and departure.
#pragma once

#include <cstdint>

#include "net/codec.h"

namespace pellox {

class Connection;

// A contact's presence; also the index of its icon in the presence icon strip.
enum PresenceStatus : std::int32_t {
    StatusOnline = 0,
    StatusOffline = 1,  // the value of every new contact
    StatusAway = 2,
    StatusNotAvailable = 3,
    StatusOccupied = 4,
    StatusDoNotDisturb = 5,
    StatusFreeForChat = 6,
    StatusInvisible = 7,
};

inline constexpr std::int32_t kPresenceStatusCount = 8;

inline bool IsPresenceStatus(std::int32_t value) {
    return value >= 0 && value < kPresenceStatusCount;
}

// The presence of a 32-bit status word (flags in the high half, which take no
// part). The status bits are tested in a fixed order so that the composite ICQ
// values come out right (0x0013 do not disturb, 0x0011 occupied, 0x0005 not
// available); never StatusOffline.
PresenceStatus StatusFromFlags(std::uint32_t statusWord);

// The status half of the status word that announces one's own presence: online
// 0x0000, away 0x0001, not available 0x0005, occupied 0x0011, do not disturb
// 0x0013, free for chat 0x0020, invisible 0x0100. StatusOffline and values outside
// 0..7 give online: offline is no status one signs on with.
std::uint16_t OwnStatusBits(std::int32_t presence);

// SNAC 0x0003/0x000B: reads the whole user-information block, then reports the
// contact's presence once (StatusOnline without a status TLV). A short read
// reports nothing.
bool HandleContactArrived(Connection& connection, PacketReader& reader);

// SNAC 0x0003/0x000C: reports StatusOffline as soon as the UIN has been read;
// the rest of the block is read but not used.
bool HandleContactDeparted(Connection& connection, PacketReader& reader);

}  // namespace pellox
