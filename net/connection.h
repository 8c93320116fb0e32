// The connection a handler or a command acts on, passed to it explicitly. The
// receive thread hands its handlers its own connection: their answers go to it even
// once it has been closed (and then fail), never to a newer one, and their state
// reports are dropped once it is no longer the current one. The worker hands its
// command handlers the session's current connection, taken afresh at each send.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/codec.h"
#include "net/net_command.h"

namespace pellox {

class SessionImpl;
struct SessionDelegate;
struct Link;

// The request ids of messages stay at or below this; other SNACs of family 0x0004
// that a server's error could name take theirs from above it.
inline constexpr std::uint32_t kLastMessageRequestId = 0x3FFFFFFF;

class Connection {
public:
    // ---- Frames ----
    // One channel-2 frame (flags 0). False when it could not be built or sent.
    bool SendSnac(std::uint16_t family, std::uint16_t subtype, std::uint32_t requestId,
                  const PacketBuffer& data);
    // A SNAC without data whose request id is its subtype.
    bool SendEmptySnac(std::uint16_t family, std::uint16_t subtype);
    bool SendKeepAlive();
    // SNAC 0x0001/0x001E: TLV 0x0006 with kOwnStatusFlags and `status`.
    bool SendStatus(std::uint16_t status);
    // The meta request without data: 60 asks for the offline messages, 62
    // acknowledges them.
    bool SendMetaRequest(std::uint16_t requestType);
    // SNAC 0x0004/0x0006: a channel-1 message. False (nothing sent) when the UIN
    // has more than 255 units or the frame would pass 65535 bytes. Each message
    // gets a request id of its own, 1 to kLastMessageRequestId, kept with its UIN
    // and text (the newest kMaxSentMessages) so that a message error of the server
    // names the message.
    bool SendInstantMessage(std::u16string_view uin, std::u16string_view text);
    // SNAC 0x0013/0x000A: deletes a buddy item (group 0, item 0) by name.
    bool DeleteContactItem(std::u16string_view uin);
    // SNAC 0x0003/0x0004 (add) or 0x0003/0x0005 (remove): the client-side buddy
    // list, kBuddiesPerSnac UINs a SNAC; UINs longer than 255 bytes are left out.
    // False when a frame could not be sent.
    bool SendBuddyList(std::uint16_t subtype, const std::vector<std::string>& uins);
    // SNAC 0x0015/0x0002: short user information of the UIN; the request id is the
    // frame's own sequence number and is recorded before sending.
    bool RequestShortInfo(std::u16string_view uin);

    // ---- What the session keeps for replies ----
    // Finds and erases the UIN requested under requestId.
    [[nodiscard]] bool TakeInfoRequest(std::uint32_t requestId, std::uint32_t& uin);
    // Finds and erases the message sent under requestId.
    [[nodiscard]] bool TakeSentMessage(std::uint32_t requestId, std::u16string& uin,
                                       std::u16string& text);

    // ---- State and events ----
    // Stores the code by the session's rule and tells the delegate, unless this is
    // a receive thread's connection that has since been closed or replaced.
    void ReportState(ConnState code);
    ConnState State() const;
    bool Connected() const { return IsConnectedState(State()); }
    // The UIN signed on with, as 8-bit text.
    std::string OwnUin() const;
    // Where the handlers report messages and presence.
    SessionDelegate& Events() const;

private:
    friend class SessionImpl;
    struct FrameLayout;

    Connection(SessionImpl& session, std::shared_ptr<Link> link, bool receiver);
    std::shared_ptr<Link> LinkForSend() const;
    // Takes the sequence number, lays the frame out and sends it, as one step
    // under the session's send lock.
    bool SendFrame(const FrameLayout& layout, const PacketBuffer& payload);

    SessionImpl* session_;
    std::shared_ptr<Link> link_;  // a receive thread's own; empty for the worker's
    bool receiver_;
};

}  // namespace pellox
