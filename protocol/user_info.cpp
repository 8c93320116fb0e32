#include "protocol/user_info.h"

namespace pellox {
namespace {

// Reads one TLV of the block by its length field.
bool ReadUserInfoTlv(PacketReader& reader, UserInfoBlock& block) {
    TlvHeader tlv;
    if (!ReadRecord(reader, tlv)) return false;
    if (tlv.length > reader.Remaining()) return false;
    std::size_t used = 0;
    if (tlv.type == kTlvUserStatus) {
        if (tlv.length >= 4) {
            std::uint32_t word = 0;
            if (!ReadU32(reader, word)) return false;
            block.statusWord = word;
            block.hasStatus = true;
            used = 4;
        } else if (tlv.length >= 2) {
            std::uint16_t status = 0;
            if (!ReadU16(reader, status)) return false;
            block.statusWord = status;
            block.hasStatus = true;
            used = 2;
        }
    }
    return reader.Skip(tlv.length - used);
}

}  // namespace

bool ReadUserInfoBlock(PacketReader& reader, UserInfoBlock& block) {
    if (!ReadString8(reader, block.uin)) return false;
    if (!ReadU16(reader, block.warningLevel) || !ReadU16(reader, block.tlvCount)) return false;
    for (std::uint16_t i = 0; i < block.tlvCount; ++i) {
        if (!ReadUserInfoTlv(reader, block)) return false;
    }
    return true;
}

bool HandleUserInfoReply(Connection& /*connection*/, PacketReader& reader) {
    UserInfoBlock block;
    return ReadUserInfoBlock(reader, block);
}

}  // namespace pellox
