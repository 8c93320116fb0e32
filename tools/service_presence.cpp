// Presence: the own status of a session and the arrival and departure of buddies
// told to the sessions that list them, on the server list or on the client-side
// buddy list of the session (family 0x0003).
#include <array>
#include <cstdint>

#include "tools/server_core.h"

namespace pellox::server {
namespace {

constexpr std::uint16_t kUserClassIcq = 0x0050;

constexpr std::uint32_t kStatusInvisible = 0x0100;
// Values of the visibility item.
constexpr std::uint8_t kVisibleToAll = 1;
constexpr std::uint8_t kVisibleToNobody = 2;
constexpr std::uint8_t kVisibleToPermitList = 3;
constexpr std::uint8_t kVisibleToAllButDenyList = 4;
constexpr std::uint8_t kVisibleToListOnly = 5;

// The user-information block of a departure: the UIN and its user class.
PacketBuffer DepartureInfo(Uin uin) {
    PacketBuffer p;
    AppendString8(p, UinText(uin));
    AppendU16(p, 0);  // warning level
    AppendU16(p, 1);  // TLV count
    AppendTlv(p, 0x0001, 2, std::array<std::uint8_t, 2>{0x00, kUserClassIcq}.data());
    return p;
}

}  // namespace

void OscarServer::Core::HandleStatus(Session& s, PacketReader& reader) {
    std::vector<Tlv> tlvs;
    if (!ReadTlvList(reader, tlvs)) return;
    const Tlv* status = FindTlv(tlvs, 0x0006);
    if (status == nullptr || status->value.size() != 4) return;
    PacketReader value(status->value);
    std::uint32_t newStatus = 0;
    if (!ReadU32(value, newStatus) || newStatus == s.status) return;  // no change: nothing to tell
    s.status = newStatus;
    Log(s.Label() + " status " + std::to_string(s.status));
    if (announced_.count(s.uin) > 0 && OnlineSession(s.uin) == &s) NotifyArrival(s.uin);
}

// On activation of the contact list: the buddies that are online right now.
void OscarServer::Core::SendBuddyPresence(Session& s) {
    const Account* account = accounts_.Find(s.uin);
    if (account == nullptr) return;
    for (const Buddy& buddy : account->buddies) TellPresence(s, buddy.uin);
    for (Uin uin : s.clientBuddies) {
        if (!account->Lists(uin)) TellPresence(s, uin);
    }
}

void OscarServer::Core::TellPresence(Session& s, Uin uin) {
    if (IsVisible(uin) && SeenBy(uin, s.uin)) {
        s.connection.SendSnac(0x0003, 0x000B, NextRequestId(), UserInfo(uin));
        s.shown.insert(uin);
    } else {
        s.shown.erase(uin);  // the client takes a new buddy as offline
    }
}

void OscarServer::Core::HandleBuddySnac(Session& s, const SnacHeader& snac, PacketReader& reader) {
    if (snac.subtype != 0x0004 && snac.subtype != 0x0005) return;
    const bool add = snac.subtype == 0x0004;
    std::string name;
    while (!reader.AtEnd() && ReadString8(reader, name)) {
        Uin uin = 0;
        if (!ParseUin(name, uin) || uin == s.uin) continue;
        if (!add) {
            s.clientBuddies.erase(uin);
            if (!Watches(s, uin)) s.shown.erase(uin);
            continue;
        }
        if (s.clientBuddies.size() >= kMaxBuddies) {
            Log(s.Label() + " client-side buddy list full, " + name + " not taken");
            break;
        }
        if (!s.clientBuddies.insert(uin).second) continue;
        // Once activated, a new buddy's presence is told at once.
        if (s.activated) TellPresence(s, uin);
    }
}

bool OscarServer::Core::Watches(const Session& s, Uin uin) const {
    const Account* account = accounts_.Find(s.uin);
    return (account != nullptr && account->Lists(uin)) || s.clientBuddies.count(uin) > 0;
}

OscarServer::Core::Session* OscarServer::Core::OnlineSession(Uin uin) const {
    auto it = online_.find(uin);
    return it == online_.end() ? nullptr : it->second;
}

bool OscarServer::Core::IsVisible(Uin uin) const {
    const Account* account = accounts_.Find(uin);
    return account != nullptr && (account->echo || announced_.count(uin) > 0);
}

bool OscarServer::Core::SeenBy(Uin uin, Uin watcher) const {
    static const Privacy kOpen;
    auto kept = privacy_.find(uin);
    const Privacy& privacy = kept != privacy_.end() ? kept->second : kOpen;
    if (privacy.ignore.count(watcher) > 0) return false;
    if (const Session* session = OnlineSession(uin); session != nullptr && (session->status & kStatusInvisible) != 0) {
        return privacy.permit.count(watcher) > 0;
    }
    switch (privacy.visibility) {
    case kVisibleToAll:
        return true;
    case kVisibleToNobody:
        return false;
    case kVisibleToPermitList:
        return privacy.permit.count(watcher) > 0;
    case kVisibleToListOnly: {
        const Account* account = accounts_.Find(uin);
        return account != nullptr && account->Lists(watcher);
    }
    default:  // all but the deny list, also without a visibility item
        return privacy.deny.count(watcher) == 0;
    }
}

bool OscarServer::Core::Blocks(Uin owner, Uin sender) const {
    auto kept = privacy_.find(owner);
    if (kept == privacy_.end()) return false;
    const Privacy& privacy = kept->second;
    const bool denyInForce = privacy.visibility == 0 || privacy.visibility == kVisibleToAllButDenyList;
    return privacy.ignore.count(sender) > 0 || (denyInForce && privacy.deny.count(sender) > 0);
}

PacketBuffer OscarServer::Core::UserInfo(Uin uin) const {
    std::uint32_t status = 0;
    std::uint32_t since = static_cast<std::uint32_t>(startedAt_);
    if (const Session* session = OnlineSession(uin)) {
        status = session->status;
        since = static_cast<std::uint32_t>(session->onlineSince);
    }
    PacketBuffer p;
    AppendString8(p, UinText(uin));
    AppendU16(p, 0);  // warning level
    AppendU16(p, 3);  // TLV count
    AppendTlv(p, 0x0001, 2, std::array<std::uint8_t, 2>{0x00, kUserClassIcq}.data());
    AppendU16(p, 0x0006);
    AppendU16(p, 4);
    AppendU32(p, status);
    AppendU16(p, 0x0003);
    AppendU16(p, 4);
    AppendU32(p, since);
    return p;
}

// A watcher who may see uin hears of it; one who was shown it online and may
// not see it any more hears it leave, once; any other hears nothing, so that
// hiding tells nobody when the account comes, changes or goes.
void OscarServer::Core::NotifyArrival(Uin uin) {
    const PacketBuffer info = UserInfo(uin);
    const PacketBuffer gone = DepartureInfo(uin);
    for (auto& [watcher, session] : online_) {
        if (!session->activated || session->replaced || !Watches(*session, uin)) continue;
        if (SeenBy(uin, watcher)) {
            session->connection.SendSnac(0x0003, 0x000B, NextRequestId(), info);
            session->shown.insert(uin);
        } else if (session->shown.erase(uin) > 0) {
            session->connection.SendSnac(0x0003, 0x000C, NextRequestId(), gone);
        }
    }
}

void OscarServer::Core::NotifyDeparture(Uin uin) {
    const PacketBuffer p = DepartureInfo(uin);
    for (auto& entry : online_) {
        Session* session = entry.second;
        if (session->activated && !session->replaced && session->shown.erase(uin) > 0) {
            session->connection.SendSnac(0x0003, 0x000C, NextRequestId(), p);
        }
    }
}

}  // namespace pellox::server
