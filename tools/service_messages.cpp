// Message relay (family 0x0004): channel-1 messages go to the recipient's
// session, to the echo account, or into the offline store; channel-2
// auto-message requests and their answers go between online sessions.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "net/text_encoding.h"
#include "platform/local_time.h"
#include "tools/server_core.h"

namespace pellox::server {
namespace {

// Message errors (SNAC 0x0004/0x0001).
constexpr std::uint16_t kMessageErrorRate = 0x0002;
constexpr std::uint16_t kMessageErrorRecipientBusy = 0x0003;  // the recipient cannot take more now
constexpr std::uint16_t kMessageErrorNotAvailable = 0x0004;
constexpr std::uint16_t kMessageErrorBadFormat = 0x000E;

// Auto-message requests (the message type of a channel-2 message): the
// away, occupied, not available, do not disturb and free for chat texts.
constexpr std::uint8_t kFirstAutoMessageType = 0xE8;
constexpr std::uint8_t kLastAutoMessageType = 0xEC;
// Requests one session may have waiting for its answer; older ones are forgotten.
constexpr std::size_t kMaxWaitingAutoRequests = 32;
// The text of an auto-message answer, as relayed.
constexpr std::size_t kMaxAutoMessageText = 1024;

// The head of a typing notice and of an auto-message answer: cookie, channel,
// the recipient's UIN and the notice kind or reason code.
struct PeerNotice {
    std::uint8_t cookie[8] = {};
    std::uint16_t channel = 0;
    std::string name;  // the recipient's UIN as sent
    Uin to = 0;
    std::uint16_t word = 0;
};

bool ReadPeerNotice(PacketReader& reader, PeerNotice& notice) {
    return ReadBytes(reader, notice.cookie, sizeof notice.cookie) && ReadU16(reader, notice.channel) &&
           ReadString8(reader, notice.name) && ReadU16(reader, notice.word) && ParseUin(notice.name, notice.to);
}

// The head as the recipient gets it: the sender's UIN in place of its own.
PacketBuffer PassedOn(const PeerNotice& notice, Uin from) {
    PacketBuffer p;
    AppendBytes(p, notice.cookie, sizeof notice.cookie);
    AppendU16(p, notice.channel);
    AppendString8(p, UinText(from));
    AppendU16(p, notice.word);
    return p;
}

std::uint64_t CookieValue(const std::uint8_t (&cookie)[8]) {
    std::uint64_t value = 0;
    std::memcpy(&value, cookie, sizeof value);
    return value;
}

// The extension data of a channel-2 message (TLV 0x2711 of its rendezvous
// block, and the tail of an auto-message answer): two chunks, each behind its
// little-endian length, then the message type, flags, status, priority and the
// text behind its little-endian length. Reads up to the text's length.
bool ReadExtensionHead(PacketReader& reader, std::uint8_t& messageType) {
    std::uint16_t chunk = 0, status = 0, priority = 0;
    std::uint8_t flags = 0;
    return ReadU16Le(reader, chunk) && reader.Skip(chunk) && ReadU16Le(reader, chunk) && reader.Skip(chunk) &&
           ReadU8(reader, messageType) && ReadU8(reader, flags) && ReadU16Le(reader, status) &&
           ReadU16Le(reader, priority);
}

// The message type of a channel-2 message whose rendezvous block (TLV 0x0005)
// is a request carrying extension data; false for anything else.
bool RendezvousMessageType(std::span<const std::uint8_t> rendezvous, std::uint8_t& messageType) {
    PacketReader reader(rendezvous);
    std::uint16_t kind = 0;
    std::vector<Tlv> tlvs;
    if (!ReadU16(reader, kind) || kind != 0 || !reader.Skip(8 + 16) || !ReadTlvList(reader, tlvs)) return false;
    const Tlv* extension = FindTlv(tlvs, 0x2711);
    if (extension == nullptr) return false;
    PacketReader data(extension->value);
    return ReadExtensionHead(data, messageType);
}

// The answer's data with its text cut to what is relayed, on a character
// boundary of UTF-8 text, the terminating zero kept; false when the data does
// not read as an auto-message answer.
bool CapAutoResponse(std::span<const std::uint8_t> data, std::vector<std::uint8_t>& out) {
    PacketReader reader(data);
    std::uint8_t messageType = 0;
    std::uint16_t length = 0;
    if (!ReadExtensionHead(reader, messageType) || messageType < kFirstAutoMessageType ||
        messageType > kLastAutoMessageType) {
        return false;
    }
    const std::size_t head = reader.Position();
    if (!ReadU16Le(reader, length) || length > reader.Remaining()) return false;
    std::string text(reinterpret_cast<const char*>(data.data() + reader.Position()), length);
    text = text.substr(0, text.find('\0'));
    if (text.size() > kMaxAutoMessageText) {
        std::size_t cut = kMaxAutoMessageText;
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
        text.resize(cut);
    }
    out.assign(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(head));
    const std::uint16_t stored = static_cast<std::uint16_t>(text.size() + 1);
    out.push_back(static_cast<std::uint8_t>(stored & 0xFF));
    out.push_back(static_cast<std::uint8_t>(stored >> 8));
    out.insert(out.end(), text.begin(), text.end());
    out.push_back(0);
    return true;
}

// The text of the first text fragment of a channel-1 message block and its
// character set, up to its first zero character: UCS-2 text (character set 2)
// as UTF-8, anything else as it is. False when the block has no usable text
// fragment.
bool ExtractMessageText(std::span<const std::uint8_t> block, std::string& text, std::uint16_t& charset) {
    PacketReader reader(block);
    while (!reader.AtEnd()) {
        std::uint8_t id = 0, version = 0;
        std::uint16_t length = 0;
        if (!ReadU8(reader, id) || !ReadU8(reader, version) || !ReadU16(reader, length)) return false;
        if (id != 0x01) {
            if (!reader.Skip(length)) return false;
            continue;
        }
        std::uint16_t subset = 0;
        if (length < 4 || !ReadU16(reader, charset) || !ReadU16(reader, subset)) return false;
        std::string bytes(length - 4u, '\0');
        if (!ReadBytes(reader, bytes.data(), bytes.size())) return false;
        if (charset == kCharsetUcs2) {
            std::u16string wide;
            for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
                wide += static_cast<char16_t>((static_cast<unsigned char>(bytes[i]) << 8) |
                                              static_cast<unsigned char>(bytes[i + 1]));
            }
            bytes = EncodeUtf8(wide.substr(0, wide.find(u'\0')));
        }
        text = bytes.substr(0, bytes.find('\0'));
        return true;
    }
    return false;
}

}  // namespace

void OscarServer::Core::HandleMessageSnac(Session& s, const SnacHeader& snac, PacketReader& reader) {
    switch (snac.subtype) {
    case 0x0006:
        HandleMessage(s, snac, reader);
        break;
    case 0x000B:
        RelayAutoResponse(s, reader);
        break;
    case 0x0014:
        RelayTyping(s, reader);
        break;
    default:
        break;
    }
}

bool OscarServer::Core::TakeMessageToken(Uin uin) {
    return messageBuckets_[uin].Take(config_.messageBurst, config_.messagesPerSecond, Clock::now());
}

// A typing notice goes to the recipient's session with the sender's UIN in its
// place; nothing is stored for a recipient who is away, and nothing is sent to
// one whose queue is full. It counts against the sender's message rate, so
// that notices cannot flood a peer either.
void OscarServer::Core::RelayTyping(Session& s, PacketReader& reader) {
    PeerNotice notice;
    if (!ReadPeerNotice(reader, notice) || !TakeMessageToken(s.uin)) return;
    Session* peer = OnlineSession(notice.to);
    if (peer == nullptr || !peer->ready || Blocks(notice.to, s.uin)) return;
    peer->connection.SendSnacWithin(RelayRoom(), 0x0004, 0x0014, NextRequestId(), PassedOn(notice, s.uin));
}

void OscarServer::Core::SendMessageError(Session& s, std::uint32_t requestId, std::uint16_t code) {
    PacketBuffer error;
    AppendU16(error, code);
    s.connection.SendSnac(0x0004, 0x0001, requestId, error);
}

void OscarServer::Core::HandleMessage(Session& s, const SnacHeader& snac, PacketReader& reader) {
    std::uint8_t cookie[8];
    std::uint16_t channel = 0;
    std::string recipientText;
    std::vector<Tlv> tlvs;
    if (!ReadBytes(reader, cookie, sizeof cookie) || !ReadU16(reader, channel) ||
        !ReadString8(reader, recipientText) || !ReadTlvList(reader, tlvs)) {
        Log(s.Label() + " malformed message");
        SendMessageError(s, snac.requestId, kMessageErrorBadFormat);
        return;
    }
    const Tlv* block = FindTlv(tlvs, 0x0002);
    const Tlv* rendezvous = FindTlv(tlvs, 0x0005);
    if ((channel != 1 || block == nullptr) && (channel != 2 || rendezvous == nullptr)) {
        Log(s.Label() + " message on channel " + std::to_string(channel) + " not relayed");
        SendMessageError(s, snac.requestId, kMessageErrorBadFormat);
        return;
    }
    Uin to = 0;
    const Account* recipient = ParseUin(recipientText, to) ? accounts_.Find(to) : nullptr;
    if (recipient == nullptr) {
        Log(s.Label() + " message to unknown UIN '" + recipientText + "'");
        SendMessageError(s, snac.requestId, kMessageErrorNotAvailable);
        return;
    }
    if (!TakeMessageToken(s.uin)) {
        Log(s.Label() + " message to " + recipientText + " dropped: too many messages");
        SendMessageError(s, snac.requestId, kMessageErrorRate);
        return;
    }

    // The relayed message: the cookie and channel as sent, who it is from, and the
    // message TLVs as received. TLVs that only ask the server for something (an
    // acknowledgement, storing when offline) stay here.
    auto relay = [&](Uin from) {
        PacketBuffer p;
        AppendBytes(p, cookie, sizeof cookie);
        AppendU16(p, channel);
        PacketBuffer info = UserInfo(from);
        AppendBytes(p, info.Data(), info.Length());
        for (const Tlv& tlv : tlvs) {
            if (tlv.type == 0x0003 || tlv.type == 0x0006) continue;
            AppendTlv(p, tlv.type, tlv.value.size(), tlv.value.data());
        }
        return p;
    };

    if (channel == 2) {
        RelayAutoMessageRequest(s, snac, to, CookieValue(cookie), relay(s.uin), rendezvous);
        return;
    }
    if (recipient->echo) {
        s.connection.SendSnac(0x0004, 0x0007, NextRequestId(), relay(to));
        Log(s.Label() + " message echoed by " + recipientText);
        return;
    }
    Session* target = OnlineSession(to);
    const bool blocked = Blocks(to, s.uin);
    if (target == nullptr || blocked || !SeenBy(to, s.uin)) {
        SendToUnseen(s, snac, to, block->value, target, relay(s.uin), blocked);
        return;
    }
    // A recipient that does not read loses what others send it, not its session.
    if (!target->connection.SendSnacWithin(RelayRoom(), 0x0004, 0x0007, NextRequestId(), relay(s.uin))) {
        Log(s.Label() + " message to " + target->Label() + " dropped: its output queue is full");
        SendMessageError(s, snac.requestId, kMessageErrorRecipientBusy);
        return;
    }
    Log(s.Label() + " message relayed to " + target->Label());
}

// Whoever may not see the recipient online gets the answers an offline
// recipient gives, and nothing else: no text fragment, or more than the store
// would take, is refused alike; anything else is not answered. The message is
// still relayed to a recipient that is online but hidden (it chose to hide, not
// to be unreachable), and stored when its queue is full.
void OscarServer::Core::SendToUnseen(Session& s, const SnacHeader& snac, Uin to, std::span<const std::uint8_t> block,
                                     Session* hidden, const PacketBuffer& relayed, bool blocked) {
    const std::string recipient = UinText(to);
    std::string text;
    std::uint16_t charset = 0;
    if (!ExtractMessageText(block, text, charset)) {
        Log(s.Label() + " message to offline " + recipient + " has no text, not stored");
        SendMessageError(s, snac.requestId, kMessageErrorBadFormat);
        return;
    }
    OfflineRefusal refusal = offline_->Refusal(to, text);
    if (blocked && refusal == OfflineRefusal::None) {
        Log(s.Label() + " message to " + recipient + " dropped: it does not hear from the sender");
        return;
    }
    if (!blocked && hidden != nullptr && refusal == OfflineRefusal::None &&
        hidden->connection.SendSnacWithin(RelayRoom(), 0x0004, 0x0007, NextRequestId(), relayed)) {
        Log(s.Label() + " message relayed to " + hidden->Label() + ", hidden from the sender");
        return;
    }
    const std::size_t length = text.size();
    if (refusal == OfflineRefusal::None && !blocked) refusal = offline_->Stage(to, s.uin, platform::Now(), charset, std::move(text));
    switch (refusal) {
    case OfflineRefusal::None:
        s.offlineStaged = true;
        Log(s.Label() + " message to offline " + recipient + " stored");
        return;
    case OfflineRefusal::TooLong:
        Log(s.Label() + " message to offline " + recipient + " dropped: " + std::to_string(length) +
            " bytes, longer than a stored message may be");
        break;
    case OfflineRefusal::RecipientFull:
        Log(s.Label() + " message to offline " + recipient + " dropped: too many stored for it");
        break;
    case OfflineRefusal::StoreFull:
        Log(s.Label() + " message to offline " + recipient + " dropped: the offline store is full");
        break;
    }
    SendMessageError(s, snac.requestId, kMessageErrorNotAvailable);
}

// An auto-message request reaches the recipient only when the sender may see
// it online and it hears from the sender; every other one is answered as a
// request to an offline UIN is (the server keeps none). The recipient's session
// remembers it, so that only an answer to it is relayed back.
void OscarServer::Core::RelayAutoMessageRequest(Session& s, const SnacHeader& snac, Uin to, std::uint64_t cookie,
                                                const PacketBuffer& relayed, const Tlv* rendezvous) {
    std::uint8_t messageType = 0;
    if (!RendezvousMessageType(rendezvous->value, messageType) || messageType < kFirstAutoMessageType ||
        messageType > kLastAutoMessageType) {
        Log(s.Label() + " channel-2 message to " + UinText(to) + " is no auto-message request, not relayed");
        SendMessageError(s, snac.requestId, kMessageErrorBadFormat);
        return;
    }
    Session* target = OnlineSession(to);
    if (target == nullptr || !target->ready || Blocks(to, s.uin) || !SeenBy(to, s.uin)) {
        Log(s.Label() + " auto-message request to " + UinText(to) + ": not online for the sender");
        SendMessageError(s, snac.requestId, kMessageErrorNotAvailable);
        return;
    }
    if (!target->connection.SendSnacWithin(RelayRoom(), 0x0004, 0x0007, NextRequestId(), relayed)) {
        Log(s.Label() + " auto-message request to " + target->Label() + " dropped: its output queue is full");
        SendMessageError(s, snac.requestId, kMessageErrorRecipientBusy);
        return;
    }
    if (target->autoRequests.size() >= kMaxWaitingAutoRequests) target->autoRequests.pop_front();
    target->autoRequests.emplace_back(s.uin, cookie);
    Log(s.Label() + " auto-message request relayed to " + target->Label());
}

// 0x000B: cookie, channel, the asker's UIN, a reason code and the answer's data.
// It goes to the asker with the answering UIN in its place, its text cut to a
// bound, when it answers a request relayed to this session; it takes a message
// token, like every relay, and is dropped when the asker does not read.
void OscarServer::Core::RelayAutoResponse(Session& s, PacketReader& reader) {
    PeerNotice notice;
    if (!ReadPeerNotice(reader, notice) || notice.channel != 2) return;
    const Uin asker = notice.to;
    auto waiting =
        std::find(s.autoRequests.begin(), s.autoRequests.end(), std::make_pair(asker, CookieValue(notice.cookie)));
    std::vector<std::uint8_t> data;
    if (waiting == s.autoRequests.end() ||
        !CapAutoResponse({reader.Data() + reader.Position(), static_cast<std::size_t>(reader.Remaining())}, data)) {
        Log(s.Label() + " auto-message answer to " + notice.name + " answers no request, dropped");
        return;
    }
    s.autoRequests.erase(waiting);
    if (!TakeMessageToken(s.uin)) return;
    Session* peer = OnlineSession(asker);
    if (peer == nullptr || !peer->ready || Blocks(asker, s.uin)) return;
    PacketBuffer p = PassedOn(notice, s.uin);
    AppendBytes(p, data.data(), data.size());
    if (!peer->connection.SendSnacWithin(RelayRoom(), 0x0004, 0x000B, NextRequestId(), p)) {
        Log(s.Label() + " auto-message answer to " + peer->Label() + " dropped: its output queue is full");
        return;
    }
    Log(s.Label() + " auto-message answer relayed to " + peer->Label());
}

}  // namespace pellox::server
