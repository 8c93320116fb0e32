#include "protocol/presence.h"

#include "net/connection.h"
#include "net/session.h"
#include "protocol/identity.h"
#include "protocol/user_info.h"

namespace pellox {

PresenceStatus StatusFromFlags(std::uint32_t statusWord) {
    struct Rule {
        std::uint32_t bit;
        PresenceStatus status;
    };
    static constexpr Rule kRules[] = {
        {0x0002, StatusDoNotDisturb}, {0x0010, StatusOccupied},   {0x0004, StatusNotAvailable},
        {0x0001, StatusAway},         {0x0020, StatusFreeForChat}, {0x0100, StatusInvisible},
    };
    for (const Rule& rule : kRules) {
        if ((statusWord & rule.bit) != 0) return rule.status;
    }
    return StatusOnline;
}

std::uint16_t OwnStatusBits(std::int32_t presence) {
    switch (presence) {
        case StatusAway: return 0x0001;
        case StatusNotAvailable: return 0x0005;
        case StatusOccupied: return 0x0011;
        case StatusDoNotDisturb: return 0x0013;
        case StatusFreeForChat: return 0x0020;
        case StatusInvisible: return 0x0100;
        default: return 0x0000;
    }
}

bool HandleContactArrived(Connection& connection, PacketReader& reader) {
    UserInfoBlock block;
    if (!ReadUserInfoBlock(reader, block)) return false;
    const std::u16string uin = WidenUin(block.uin);
    if (!IsUsableUin(uin)) return false;
    std::uint32_t word = 0;  // none: online
    (void)UserStatusWord(block, word);
    connection.Events().OnContactStatus(connection, uin, StatusFromFlags(word));
    return true;
}

bool HandleContactDeparted(Connection& connection, PacketReader& reader) {
    std::string rawUin;
    if (!ReadString8(reader, rawUin)) return false;
    const std::u16string uin = WidenUin(rawUin);
    if (!IsUsableUin(uin)) return false;
    connection.Events().OnContactStatus(connection, uin, StatusOffline);
    // Warning level, TLV count and eight more bytes: read, not used.
    std::uint8_t rest[12];
    return ReadBytes(reader, rest, sizeof rest);
}

}  // namespace pellox
