// Rendezvous messages of sending a file (channel 2 with the file capability,
// net/rendezvous.h): proposals, accepts and cancels go between online sessions
// under the rules of any message: the recipient must be online for the sender
// and hear from it, and each takes a token of the sender's message rate. The
// server stamps each with the address it sees the sender at (TLV 0x0004), which
// the peer checks its connection against.
#include "net/rendezvous.h"
#include "tools/server_core.h"

namespace pellox::server {

bool OscarServer::Core::StampFileRendezvous(const Session& s, std::vector<Tlv>& tlvs) {
    for (Tlv& tlv : tlvs) {
        if (tlv.type != 0x0005) continue;
        const auto& b = s.peer.bytes;
        const std::uint32_t seen =
            s.peer.v6 ? 0 : static_cast<std::uint32_t>(b[0]) << 24 | b[1] << 16 | b[2] << 8 | b[3];
        PacketBuffer stamped;
        if (!WithSeenAddress(tlv.value, seen, stamped)) return false;
        tlv.value.assign(stamped.Data(), stamped.Data() + stamped.Length());
        return true;
    }
    return false;
}

void OscarServer::Core::RelayFileRendezvous(Session& s, const SnacHeader& snac, Uin to, const PacketBuffer& relayed) {
    Session* target = OnlineSession(to);
    if (target == nullptr || !target->ready || Blocks(to, s.uin) || !SeenBy(to, s.uin)) {
        Log(s.Label() + " file rendezvous to " + UinText(to) + ": not online for the sender");
        SendMessageError(s, snac.requestId, 0x0004);
        return;
    }
    if (!target->connection.SendSnacWithin(RelayRoom(), 0x0004, 0x0007, NextRequestId(), relayed)) {
        Log(s.Label() + " file rendezvous to " + target->Label() + " dropped: its output queue is full");
        SendMessageError(s, snac.requestId, 0x0003);
        return;
    }
    Log(s.Label() + " file rendezvous relayed to " + target->Label());
}

}  // namespace pellox::server
