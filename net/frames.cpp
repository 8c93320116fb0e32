// Frames that the commands send once signed on: a message, the deletion of a
// server-side contact item and the short user-information request.
#include <algorithm>

#include "net/session_impl.h"
#include "net/text_encoding.h"

namespace pellox {
namespace {

std::uint32_t LeadingNumber(const std::string& text) {
    const char* cursor = text.c_str();
    return static_cast<std::uint32_t>(ParseDecimal(cursor));
}

}  // namespace

bool Connection::SendInstantMessage(std::u16string_view uinText, std::u16string_view text) {
    // A UIN is a few digits; one that does not fit its 1-byte length is refused
    // rather than sent cut.
    if (uinText.size() > 0xFF) return false;
    const std::string recipient = NarrowFromWide(uinText);
    const EncodedMessageText encoded = EncodeMessageText(text);
    const std::string& body = encoded.bytes;

    // Message block: a capabilities fragment (one capability byte 01), then the
    // text fragment (charset 0000 for code page text, 0002 for UTF-16; subset
    // FFFF; the text without terminator).
    PacketBuffer block;
    const std::uint8_t capabilities[] = {0x05, 0x01, 0x00, 0x01, 0x01, 0x01, 0x01};
    AppendBytes(block, capabilities, sizeof capabilities);
    AppendU16(block, static_cast<std::uint16_t>(body.size() + 4));
    AppendU16(block, encoded.charset);
    AppendU16(block, 0xFFFF);
    AppendBytes(block, body.data(), body.size());
    if (block.Failed()) return false;  // text too long for one frame

    PacketBuffer data;
    AppendRecord(data, MessageHeader{0x67C31501, 0x3D3A0000, 0x0001});
    AppendString8(data, recipient);
    AppendTlv(data, 0x0002, block.Length(), block.Data());
    AppendTlv(data, 0x0006, 0, nullptr);  // store the message while the recipient is away

    // Kept before sending: the server's error may come before SendSnac returns.
    std::uint32_t requestId;
    {
        std::lock_guard<std::mutex> guard(session_->sentLock_);
        std::uint32_t& last = session_->lastMessageRequestId_;
        if (++last > kLastMessageRequestId) last = 1;
        requestId = last;
        auto& sent = session_->sentMessages_;
        sent.push_back(
            SessionImpl::SentMessage{requestId, std::u16string(uinText), std::u16string(text)});
        if (sent.size() > kMaxSentMessages) sent.pop_front();
    }
    if (SendSnac(0x0004, 0x0006, requestId, data)) return true;
    std::u16string uin, sent;
    (void)TakeSentMessage(requestId, uin, sent);  // the caller learns of it by the result
    return false;
}

bool Connection::TakeSentMessage(std::uint32_t requestId, std::u16string& uin,
                                 std::u16string& text) {
    std::lock_guard<std::mutex> guard(session_->sentLock_);
    auto& sent = session_->sentMessages_;
    for (auto it = sent.begin(); it != sent.end(); ++it) {
        if (it->requestId != requestId) continue;
        uin = std::move(it->uin);
        text = std::move(it->text);
        sent.erase(it);
        return true;
    }
    return false;
}

bool Connection::DeleteContactItem(std::u16string_view uinText) {
    const std::string name = NarrowFromWide(uinText);
    if (name.size() > 0xFFFF) return false;
    PacketBuffer data;
    AppendU16(data, static_cast<std::uint16_t>(name.size()));
    AppendBytes(data, name.data(), name.size());
    AppendU16(data, 0x0000);  // group id
    AppendU16(data, 0x0000);  // item id
    AppendU16(data, 0x0000);  // item type: buddy
    AppendU16(data, 0x0000);  // no item data
    return SendSnac(0x0013, 0x000A, 0x00000083, data);
}

bool Connection::SendBuddyList(std::uint16_t subtype, const std::vector<std::string>& uins) {
    bool sent = true;
    for (std::size_t first = 0; first < uins.size(); first += kBuddiesPerSnac) {
        PacketBuffer data;
        const std::size_t end = std::min(uins.size(), first + kBuddiesPerSnac);
        for (std::size_t i = first; i < end; ++i) {
            if (uins[i].empty() || uins[i].size() > 0xFF) continue;
            AppendString8(data, uins[i]);
        }
        if (data.Length() > 0) sent = SendSnac(0x0003, subtype, subtype, data) && sent;
    }
    return sent;
}

bool Connection::RequestShortInfo(std::u16string_view uinText) {
    const std::uint32_t target = LeadingNumber(NarrowFromWide(uinText));
    const std::uint32_t own = LeadingNumber(OwnUin());
    PacketBuffer data;
    AppendRecord(data, TlvHeader{0x0001, 0x0010});
    AppendU16Le(data, 14);      // bytes that follow
    AppendU32Le(data, own);
    AppendU16Le(data, 0x07D0);  // meta information request
    AppendU16Le(data, 2);       // request sequence
    AppendU16Le(data, 0x04BA);  // short user information
    AppendU32Le(data, target);
    FrameLayout layout;
    layout.channel = kChannelSnac;
    layout.hasSnac = true;
    layout.snac = SnacHeader{0x0015, 0x0002, 0, 0};
    layout.requestIdIsSequence = true;  // and recorded in infoRequests before sending
    layout.infoTarget = target;
    return SendFrame(layout, data);
}

}  // namespace pellox
