// The server-side contact list: the reply to the list request, SNAC 0x0013/0x0006,
// and its merge into the local contact list.
//
// Reply data:
//   0    1  list version (not used)
//   1    2  item count (big-endian)
//   3    .. the items
//   end  4  time of the last change: read, not used, but required; a reply without
//           it is dropped whole
// Item:
//   0      2  name length n (big-endian)
//   2      n  name, 8-bit text: for a buddy, its UIN
//   2 + n  2  group id, 2 item id (not used)
//   6 + n  2  item type: 0 buddy; groups, visibility, permit and deny items give nothing
//   8 + n  2  data length m (big-endian)
//   10 + n m  TLVs; 0x0131 is the buddy's nickname (8-bit text), others are skipped
// The TLV walk stays inside the item's m bytes: a TLV that would run past them
// ends the walk there (what was read before it counts) and the next item starts
// right after the m bytes.
//
// The merge only adds and fills in: a UIN not in the list becomes an offline
// contact named by its nickname; a listed contact with an empty name takes the
// nickname; a listed contact with a name keeps it. Nothing is removed and no
// presence changes.
//
// A list too long for one frame comes as several replies, each complete with its
// count and trailing time; every one but the last carries the SNAC flag
// kSnacFlagMoreReplies. Each reply is merged, announced and saved as it arrives;
// ContactsLoaded and the activation follow the last one only, so that the state
// says "loaded" once the whole list is in and the server is asked once for the
// presence of the buddies.
#pragma once

#include <string>
#include <vector>

#include "net/codec.h"

namespace pellox {

class AppState;
class NetSession;

// One buddy of a reply: its UIN and its nickname on the server (empty when none),
// both 8-bit text as sent.
struct ServerContactEntry {
    std::string uin;
    std::string nickname;
};

// Reads the whole reply into its buddies, in item order. False when anything is
// cut short, the trailing time included.
[[nodiscard]] bool ReadContactListReply(PacketReader& reader,
                                        std::vector<ServerContactEntry>& entries);

// Merges the buddies into the model (no save, no notification). Buddies whose UIN
// is unusable are left out.
void MergeServerContacts(AppState& model, const std::vector<ServerContactEntry>& entries);

// The handler: read the reply; merge; post ListReset; save the contact list;
// then, unless more replies follow, report ContactsLoaded and send the activation
// 0x0013/0x0007. A reply that was cut short changes nothing, reports nothing and
// sends nothing (false).
bool HandleContactListReply(NetSession& session, AppState& model, PacketReader& reader,
                            bool moreReplies = false);

}  // namespace pellox
