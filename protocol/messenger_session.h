// MessengerSession: the network session with the application's side of its events.
// It owns nothing but the routing of the messaging phase: the model (AppState) and
// the announcer belong to the application and must outlive the session.
//
// The desktop application derives from it (or owns one) and installs a poster on
// the AppState; everything the session learns reaches the user interface as posted
// notifications:
//   - a state report that is stored posts ConnectionStateChanged (read the new code
//     with State()); the ends of a connection (codes 0, 1, 2), going Online and
//     the Connect and Disconnect commands also post ListReset, after marking every
//     contact offline while not connected;
//   - a message appends an incoming history entry, raises the contact's unread
//     count and posts ContactChanged (a sender not yet listed is added first and
//     the contact list saved through RequestSave, which writes a burst of new
//     senders once), then is announced through the Announcer; a message kept
//     offline is dated with its time of sending;
//   - a message that was not sent (the connection failed, or the server refused
//     it) leaves the history (ConversationChanged) and is reported through the
//     Announcer;
//   - a presence report changes the contact's status and posts ContactChanged, or
//     adds the contact, posts ContactAdded and saves;
//   - a contact without a name gets a short user-information request after a
//     message or presence report; its reply fills in the name and posts
//     ContactChanged;
//   - a server contact list is merged, ListReset is posted and the list saved
//     (for each reply of a list that comes in several); its visibility item is
//     kept in ServerList();
//   - a connection that ends in ConnectionError is tried again while the settings'
//     "reconnect" is on (see NetSession).
//
// Threads: the events run on whichever thread detects them (the receive thread for
// everything the server sends, the network worker for commands, the user-interface
// thread when it calls CloseSession). They take a BusyScope around their work on
// contacts and never call a listener directly.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "net/session.h"
#include "protocol/announcer.h"
#include "protocol/contact_list.h"

namespace pellox {

class AppState;

class MessengerSession : public NetSession {
public:
    // Registers every handler of the messaging phase and makes the settings'
    // "reconnect" decide on reconnecting. The announcer may be null (messages are
    // then not announced) and may be set later.
    explicit MessengerSession(AppState& model, Announcer* announcer = nullptr);
    // Stops every thread of the session before its members go.
    ~MessengerSession() override;

    AppState& Model() const { return model_; }
    void SetAnnouncer(Announcer* announcer) { announcer_.store(announcer); }

    // Stores the code by the common rule (StoreState); a stored code of 0, 1, 2 or
    // 7 refreshes the contacts as OnContactsRefresh does; every stored code posts
    // ConnectionStateChanged.
    void OnStateChanged(ConnState code) override;
    // Finds or adds the sender (saving the list when added), appends an incoming
    // entry stamped now, raises the unread count (it stops at 65535), sets the last
    // activity, posts ContactChanged, announces the message and, when the contact
    // has no name, requests its short information.
    void OnMessage(const std::u16string& uin, const std::u16string& text) override;
    // As OnMessage, the entry and the last activity dated `sentTime` (now when it
    // is 0 or later than now; the last activity never goes back).
    void OnOfflineMessage(const std::u16string& uin, const std::u16string& text,
                          std::int64_t sentTime) override;
    // Takes the newest outgoing entry with that text out of the contact's history
    // (posting ConversationChanged) and reports the failure to the announcer.
    void OnMessageNotSent(const std::u16string& uin, const std::u16string& text,
                          std::uint16_t reason) override;
    // Sets the contact's status (posting ContactChanged when it changed) or adds the
    // contact with it (posting ContactAdded, then saving); a contact without a name
    // then gets a short information request. A value outside 0..7 is ignored.
    void OnContactStatus(const std::u16string& uin, std::int32_t status) override;
    // While not connected marks every contact offline; posts ListReset.
    void OnContactsRefresh() override;
    // SetVisibility while connected: the visibility item of the server list set
    // to 5 (only the list's contacts) or 1 (everybody).
    void PerformOtherCommand(const NetCommand& command) override;

    // What the last server list said, and the visibility as last sent.
    const ServerListState& ServerList() const { return serverList_; }
    ServerListState& ServerList() { return serverList_; }

private:
    void Receive(const std::u16string& uin, const std::u16string& text, std::int64_t sentTime);

    AppState& model_;
    std::atomic<Announcer*> announcer_;
    ServerListState serverList_;
};

// Fills the session's routing table with every handler of the messaging phase:
//   0x0002/0x0006 HandleUserInfoReply     0x0003/0x000B HandleContactArrived
//   0x0004/0x0001 HandleMessageError
//   0x0003/0x000C HandleContactDeparted   0x0004/0x0007 HandleIncomingMessage
//   0x0013/0x0006 HandleContactListReply  0x0013/0x000E consumed without effect
//   0x0015/0x0003 HandleMetaReply
// (0x0001/0x0003, 0x0013 and 0x0018 are the session's own.) The constructor calls
// it.
void RegisterProtocolHandlers(MessengerSession& session);

}  // namespace pellox
