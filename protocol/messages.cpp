#include "protocol/messages.h"

#include <atomic>
#include <bit>
#include <cstring>

#include "net/connection.h"
#include "net/session.h"
#include "net/text_encoding.h"
#include "platform/vector_lanes.h"
#include "protocol/identity.h"
#include "protocol/presence.h"
#include "protocol/user_info.h"

namespace pellox {
namespace {

inline constexpr std::uint16_t kTlvMessageBlock = 0x0002;
inline constexpr std::uint16_t kMessageChannelPlain = 0x0001;

struct Fragment {
    std::uint8_t id = 0;
    std::uint8_t version = 0;
    std::uint16_t length = 0;
};

bool ReadFragmentHead(PacketReader& reader, Fragment& fragment) {
    return ReadU8(reader, fragment.id) && ReadU8(reader, fragment.version) &&
           ReadU16(reader, fragment.length);
}

// Big-endian UTF-16 units, eight at a time: swapped into the text while none of them
// is a zero (where the text ends).
constexpr std::size_t kUnitBlock = 8;
using UnitBlock = std::uint16_t __attribute__((vector_size(2 * kUnitBlock)));

std::size_t DecodeUcs2Blocks(const char* in, std::size_t units, char16_t* out) {
    if constexpr (std::endian::native != std::endian::little) return 0;  // lanes are swapped
    std::size_t done = 0;
    for (; done + kUnitBlock <= units; done += kUnitBlock) {
        UnitBlock block;
        std::memcpy(&block, in + 2 * done, sizeof block);
        const UnitBlock swapped = static_cast<UnitBlock>((block << 8) | (block >> 8));
        if (platform::AnyLane(swapped == 0)) break;
        std::memcpy(out + done, &swapped, sizeof swapped);
    }
    return done;
}

}  // namespace

std::u16string DecodeMessageText(std::uint16_t charset, std::string_view bytes) {
    std::u16string text;
    if (charset == kCharsetUcs2) {
        text.resize(bytes.size() / 2);
        std::size_t units = DecodeUcs2Blocks(bytes.data(), text.size(), text.data());
        for (; units < text.size(); ++units) {
            const auto unit = static_cast<char16_t>((static_cast<unsigned char>(bytes[2 * units]) << 8) |
                                                    static_cast<unsigned char>(bytes[2 * units + 1]));
            if (unit == 0) break;
            text[units] = unit;
        }
        text.resize(units);
    } else {
        DecodeIncomingText(bytes, text);
    }
    return text;
}

bool ParseMessageText(PacketReader& reader, std::u16string& text) {
    TlvHeader tlv;
    if (!ReadRecord(reader, tlv) || tlv.type != kTlvMessageBlock) return false;
    if (tlv.length > reader.Remaining()) return false;
    PacketReader block(reader.Data() + reader.Position(), tlv.length);

    Fragment capabilities;
    if (!ReadFragmentHead(block, capabilities) || !block.Skip(capabilities.length)) return false;
    Fragment body;
    std::uint16_t charset = 0;
    std::uint16_t subset = 0;
    if (!ReadFragmentHead(block, body) || body.length < 4) return false;
    if (!ReadU16(block, charset) || !ReadU16(block, subset)) return false;
    // Decoded where it lies in the packet.
    const std::size_t length = body.length - 4u;
    if (length > static_cast<std::size_t>(block.Remaining())) return false;
    text = DecodeMessageText(
        charset, std::string_view(reinterpret_cast<const char*>(block.Data() + block.Position()), length));
    (void)block.Skip(length);
    (void)reader.Skip(block.Position());
    return true;
}

bool HandleIncomingMessage(Connection& connection, PacketReader& reader) {
    MessageHeader header;
    if (!ReadRecord(reader, header)) return false;
    UserInfoBlock sender;
    const bool blockRead = ReadUserInfoBlock(reader, sender);
    const std::u16string uin = WidenUin(sender.uin);
    if (!IsUsableUin(uin)) return false;
    // Reported before anything else can fail: a message cut short still shows
    // the sender's presence.
    if (std::uint32_t word = 0; UserStatusWord(sender, word))
        connection.Events().OnContactStatus(connection, uin, StatusFromFlags(word));
    if (!blockRead) return false;

    std::u16string text;
    if (header.channel == kMessageChannelPlain && !ParseMessageText(reader, text)) return false;
    connection.Events().OnMessage(connection, uin, text);
    return true;
}

bool HandleMessageError(Connection& connection, PacketReader& reader, const SnacHeader& snac) {
    std::uint16_t code = 0;
    if (!ReadU16(reader, code)) return false;
    std::u16string uin, text;
    if (!connection.TakeSentMessage(snac.requestId, uin, text)) return false;
    connection.Events().OnMessageNotSent(uin, text, code);
    return true;
}

bool ReadTypingNotice(PacketReader& reader, std::string& uin, std::uint16_t& kind) {
    std::uint16_t channel = 0;
    return reader.Skip(8) && ReadU16(reader, channel) && channel == 1 && ReadString8(reader, uin) &&
           ReadU16(reader, kind);
}

bool SendTypingNotice(Connection& connection, std::u16string_view uinText, std::uint16_t kind) {
    const std::string uin = NarrowFromWide(uinText);
    if (uin.empty() || uin.size() > 0xFF) return false;
    PacketBuffer data;
    AppendU32(data, 0);
    AppendU32(data, 0);  // cookie
    AppendU16(data, 0x0001);
    AppendString8(data, uin);
    AppendU16(data, kind);
    static std::atomic<std::uint32_t> notices{0};
    const std::uint32_t requestId = kLastMessageRequestId + 1 + (notices++ % kLastMessageRequestId);
    return connection.SendSnac(0x0004, 0x0014, requestId, data);
}

}  // namespace pellox
