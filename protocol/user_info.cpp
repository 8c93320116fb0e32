#include "protocol/user_info.h"

namespace pellox {

bool UserStatusWord(const UserInfoBlock& block, std::uint32_t& statusWord) {
    bool found = false;
    for (const Tlv& tlv : block.tlvs) {
        if (tlv.type != kTlvUserStatus || tlv.value.size() < 2) continue;
        const auto at = [&](std::size_t i) { return static_cast<std::uint32_t>(tlv.value[i]); };
        statusWord = tlv.value.size() >= 4 ? (at(0) << 24) | (at(1) << 16) | (at(2) << 8) | at(3)
                                           : (at(0) << 8) | at(1);
        found = true;
    }
    return found;
}

bool HandleUserInfoReply(Connection& /*connection*/, PacketReader& reader) {
    UserInfoBlock block;
    return ReadUserInfoBlock(reader, block);
}

}  // namespace pellox
