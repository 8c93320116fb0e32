// The messaging port's sign-on with the cookie, and the generic service family
// (0x0001): family versions, client ready and the status change request.
#include <cstdint>

#include "platform/local_time.h"
#include "tools/server_core.h"

namespace pellox::server {
namespace {

// Families served on the messaging port, with their versions.
struct FamilyVersion {
    std::uint16_t family;
    std::uint16_t version;
};
constexpr FamilyVersion kFamilies[] = {
    {0x0001, 4}, {0x0002, 1}, {0x0003, 1}, {0x0004, 1}, {0x0013, 4}, {0x0015, 1},
};

}  // namespace

bool OscarServer::Core::HandleCookie(Session& s, std::span<const std::uint8_t> data) {
    PacketReader reader(data);
    std::uint32_t version = 0;
    std::vector<Tlv> tlvs;
    if (!ReadU32(reader, version)) return true;
    if (!ReadTlvList(reader, tlvs)) {
        Log(s.Label() + " malformed cookie frame");
        return false;
    }
    if (tlvs.empty()) return true;

    ExpireCookies();
    const Tlv* cookieTlv = FindTlv(tlvs, 0x0006);
    auto it = cookieTlv ? cookies_.find(TextOf(cookieTlv->value)) : cookies_.end();
    if (Uin iconUin = 0; it == cookies_.end() && cookieTlv && TakeIconCookie(TextOf(cookieTlv->value), iconUin)) {
        SignOnIconService(s, iconUin);
        return true;
    }
    if (it == cookies_.end() || accounts_.Find(it->second.uin) == nullptr) {
        Log(s.Label() + " unknown or expired cookie");
        s.connection.SendFrame(kChannelSignOff, {});
        return false;
    }
    Uin uin = it->second.uin;
    cookies_.erase(it);  // single use
    SignOn(s, uin);
    return true;
}

void OscarServer::Core::SignOn(Session& s, Uin uin) {
    s.signedOn = true;
    s.uin = uin;
    s.onlineSince = platform::Now();
    s.connection.SetDeadline(0);
    s.connection.SetIdleTimeout(config_.idleTimeoutMs);

    if (Session* old = OnlineSession(uin)) {
        // The newer sign-on wins; the older client learns why it is dropped.
        PacketBuffer reason;
        const std::uint8_t otherClient[2] = {0x00, 0x01};
        AppendTlv(reason, 0x0009, sizeof otherClient, otherClient);
        old->connection.SendFrame(kChannelSignOff, reason.Bytes());
        old->connection.CloseAfterFlush("replaced by a newer sign-on of the same UIN");
        old->replaced = true;
        old->offlineDelivering = false;
        Log(old->Label() + " replaced by " + s.Label());
    }
    online_[uin] = &s;
    Log(s.Label() + " signed on");

    PacketBuffer families;
    for (const FamilyVersion& f : kFamilies) AppendU16(families, f.family);
    s.connection.SendSnac(0x0001, 0x0003, NextRequestId(), families);
}

void OscarServer::Core::HandleServiceSnac(Session& s, const SnacHeader& snac, PacketReader& reader) {
    switch (snac.subtype) {
    case 0x0017: {  // family versions: answer with ours
        PacketBuffer versions;
        for (const FamilyVersion& f : kFamilies) {
            AppendU16(versions, f.family);
            AppendU16(versions, f.version);
        }
        s.connection.SendSnac(0x0001, 0x0018, snac.requestId, versions);
        break;
    }
    case 0x001E:
        HandleStatus(s, reader);
        break;
    case 0x0002:
        HandleClientReady(s);
        break;
    case 0x0004:
        HandleServiceRequest(s, snac, reader);
        break;
    default:
        break;
    }
}

void OscarServer::Core::HandleClientReady(Session& s) {
    if (s.ready) return;
    s.ready = true;
    Log(s.Label() + " online");
    if (OnlineSession(s.uin) != &s) return;
    announced_.insert(s.uin);
    NotifyArrival(s.uin);
}

}  // namespace pellox::server
