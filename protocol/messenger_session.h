// MessengerSession: the network session with the application's side of its events.
// It owns the network session (SessionImpl), is its delegate, and registers the
// protocol layer's handlers of commands and SNACs with it; the model (AppState) and
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
//     adds the contact, posts ContactAdded and saves (a server announces only
//     listed contacts: kMaxStrangerArrivals a connection at most, the rest are
//     ignored);
//   - an authorization event (a reply, "you were added") of a listed contact is a
//     system line in its conversation; one of anybody else adds nothing; texts
//     from the server are cut to kMaxSystemLineLength characters;
//   - a contact without a name gets a short user-information request after a
//     message or presence report; its reply fills in the name and posts
//     ContactChanged;
//   - a server contact list is merged, ListReset is posted and the list saved
//     (for each reply of a list that comes in several); its visibility item is
//     kept in ServerList();
//   - a connection that ends in ConnectionError is tried again while the settings'
//     "reconnect" is on (see net/session_impl.h);
//   - pictures go through the IconService (protocol/icon_service.h): an arrival's
//     icon hash, the redirect to the icon service, the own icon's item and upload;
//   - a rendezvous of sending a file goes to Files() (protocol/file_transfer.h): a
//     proposal of a listed contact is a system line and is announced, and each
//     transfer's end is a system line.
//
// Every save they cause goes through AppState::RequestSave: a flood costs a write
// per interval, not one per event.
//
// Threads: the events run on whichever thread detects them (the receive thread for
// everything the server sends, the network worker for commands, the user-interface
// thread when it calls CloseSession). They take a BusyScope around their work on
// contacts and never call a listener directly.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "net/connection.h"
#include "net/session.h"
#include "protocol/announcer.h"
#include "protocol/away.h"
#include "protocol/contact_list.h"
#include "protocol/people.h"
#include "protocol/privacy.h"
#include "protocol/icon_service.h"

namespace pellox {

class AppState;
class FileTransfers;
class SessionImpl;

class MessengerSession : public NetSession, public SessionDelegate {
public:
    // Builds the network session, registers every handler of the messaging phase
    // and of the protocol layer's commands, and makes the settings' "reconnect"
    // decide on reconnecting. The announcer may be null (messages are then not
    // announced) and may be set later.
    explicit MessengerSession(AppState& model, Announcer* announcer = nullptr);
    // Stops every thread of the session before its members go.
    ~MessengerSession() override;

    AppState& Model() const { return model_; }
    void SetAnnouncer(Announcer* announcer) { announcer_.store(announcer); }

    // ---- NetSession: the network session's ----
    void EnqueueCommand(Command command) override;
    ConnState State() const override;
    std::int32_t LoginRefusal() const override;
    std::int32_t BytesReceived() const override;
    std::int32_t BytesSent() const override;
    bool StartWorker() override;
    void CloseSession() override;
    void Shutdown() override;
    void SetReconnectCheck(std::function<bool()> check) override;

    // ---- SessionDelegate ----
    // A stored code of 0, 1, 2 or 7 refreshes the contacts as OnContactsRefresh
    // does; every stored code posts ConnectionStateChanged. OpeningConnection
    // starts a connection afresh: the server list counts as not loaded until its
    // list is in, and presence may add kMaxStrangerArrivals contacts again.
    void OnStateChanged(ConnState code, bool stored) override;
    // Finds or adds the sender (saving the list when added), appends an incoming
    // entry stamped now, raises the unread count (it stops at 65535), sets the last
    // activity, posts ContactChanged, announces the message and, when the contact
    // has no name, requests its short information.
    void OnMessage(Connection& from, const std::u16string& uin,
                   const std::u16string& text) override;
    // As OnMessage, the entry and the last activity dated `sentTime` (now when it
    // is 0 or later than now; the last activity never goes back).
    void OnOfflineMessage(Connection& from, const std::u16string& uin, const std::u16string& text,
                          std::int64_t sentTime) override;
    // Takes the newest outgoing entry with that text out of the contact's history
    // (posting ConversationChanged) and reports the failure to the announcer.
    void OnMessageNotSent(const std::u16string& uin, const std::u16string& text,
                          std::uint16_t reason) override;
    // Sets the contact's status (posting ContactChanged when it changed) or adds the
    // contact with it (posting ContactAdded, then saving) unless this connection
    // has added kMaxStrangerArrivals so already; a contact without a name then gets
    // a short information request. A value outside 0..7 is ignored.
    void OnContactStatus(Connection& from, const std::u16string& uin, std::int32_t status) override;
    // While not connected marks every contact offline; posts ListReset.
    void OnContactsRefresh() override;

    // ---- The protocol layer's commands, on the worker, while connected ----
    // SetVisibility sets the visibility item of the server list to 5 (only the
    // list's contacts) or 1 (everybody).
    void PerformVisibility(const VisibilityCommand& command, Connection& connection);
    // AddContact puts the contact on the client-side buddy list and adds its buddy
    // item to the server list (AddToServerList); before this connection's list is
    // complete the add waits for it (kMaxWaitingAdds at most).
    void PerformAddContact(const AddContactCommand& command, Connection& connection);
    // RenameContact sends a listed buddy's item again with the new name in TLV
    // 0x0131 (UTF-8, as every text of the server list this client writes); a contact
    // the server list lacks is added to it, as AddContact does.
    void PerformRenameContact(const RenameContactCommand& command, Connection& connection);
    // DeleteContact deletes the server item and takes the contact off the
    // client-side buddy list, as the net layer does; besides, the contact leaves
    // the known server list, an add of it still waiting or awaiting its result is
    // dropped, so that adding it again goes to the server.
    void PerformDeleteContact(const DeleteContactCommand& command, Connection& connection);
    // Receive thread, once a whole server list has come in: the adds (and renames)
    // that waited for it go out for the contacts still listed locally, as a rename
    // for those the list holds.
    void OnServerListLoaded(Connection& connection);
    // AuthReply answers an authorization request (0x0013/0x001A).
    void PerformAuthReply(const AuthReplyCommand& command, Connection& connection);

    // Edit start, a group (str::kNewGroupName) when the list has none, the buddy
    // item with the name in TLV 0x0131 (and TLV 0x0066 with `awaitingAuth`), edit
    // end. The item's result (0x0013/0x000E) goes to OnItemResult. Nothing when
    // the server list holds the UIN already.
    void AddToServerList(Connection& connection, const std::u16string& uin,
                         const std::u16string& name, bool awaitingAuth = false);
    // Receive thread: the result of an item this session added. Success puts it on
    // the known server list and adds its id to its group's member list (and the
    // group's to the root's) on the server; "already there" does nothing; "authorization
    // required" adds it again awaiting authorization and asks the contact for it;
    // any other code leaves the contact local and tells the user once. False when
    // the code is missing or names no add of this session.
    bool OnItemResult(Connection& connection, std::uint32_t requestId, PacketReader& reader);
    // A typing notice of a listed contact: begun makes it typing for
    // kTypingTimeoutMs, typed (a pause with text left) and stopped end it; posts
    // ContactChanged. Unknown UINs and kinds change nothing.
    void OnTyping(const std::u16string& uin, std::uint16_t kind);

    // An authorization request, 0x0013/0x0019.
    struct AuthRequest {
        std::u16string uin;
        std::u16string name;  // the listed contact's display name, else the UIN
        std::u16string text;
    };
    // Receive thread: keeps the request (its text cut to kMaxSystemLineLength),
    // posts AuthorizationRequested and, while the application is not in front,
    // shows a notification.
    void OnAuthRequest(const std::u16string& uin, const std::u16string& text);
    // The oldest request not yet taken; the user interface asks after
    // AuthorizationRequested.
    std::optional<AuthRequest> TakeAuthRequest();
    // A reply to one's own request (0x0013/0x001B) or "you were added"
    // (0x0013/0x001C): a system line in a listed contact's conversation; a grant
    // also takes TLV 0x0066 off the contact's server item.
    void OnAuthReply(Connection& connection, const std::u16string& uin, bool granted,
                     const std::u16string& reason);
    void OnYouWereAdded(const std::u16string& uin);

    // Where a certificate the session refused goes (on the thread that met it):
    // the user interface asks the user. Any thread.
    void SetCertificateHandler(std::function<void(const CertificateProblem&)> handler);
    void OnCertificateProblem(const CertificateProblem& problem) override;

    // What the last server list said, and the visibility as last sent.
    const ServerListState& ServerList() const { return serverList_; }
    ServerListState& ServerList() { return serverList_; }

    // ---- People: the directory, details, away texts and privacy ----
    // (people_session.cpp)
    PeopleService& People() { return people_; }
    // True when nothing from the UIN may be shown, stored, announced or answered:
    // an ignored contact, or, while "onlylisted" is on, a number not in the
    // contact list. With `hold` such a stranger is counted as held back and told
    // (HeldBackCounter).
    bool Unwanted(const std::u16string& uin, bool hold);
    bool IsIgnored(const std::u16string& uin) const;
    // Tells what is left of the held-back count once its minute is over; true while
    // some are still waiting. The application calls it now and then from the
    // moment HeldBackWaiting is posted until it returns false.
    bool FlushHeldBack();
    // Worker: PrivacyCommand adds or deletes the permit, deny or ignore item (a
    // first deny item moves a visibility of 1 to kVisibleToAllButDenied);
    // RequestAwayTextCommand asks a contact for its away text once per presence.
    void PerformPrivacy(const PrivacyCommand& command, Connection& connection);
    void PerformAwayTextRequest(const RequestAwayTextCommand& command, Connection& connection);
    // Receive thread: an auto-message request is answered with the text of one's
    // away-type presence (nothing while online, nothing to the ignored, and no
    // more often than AwayTexts::MayAnswer allows); an answer to one's own request
    // becomes a system line of the conversation.
    void OnAwayTextRequest(Connection& connection, const AutoMessageRequest& request);
    bool OnAwayTextAnswer(PacketReader& reader);
    // Receive thread, after a whole server list: the contacts' ignore marks follow
    // its ignore list; an ignored number not in the contact list becomes a hidden
    // contact, so that it stays kept out before the next list arrives.
    void SyncIgnoreMarks();
    // The monotonic clock (milliseconds) of the held-back notices and of the
    // answers to away-text requests; set before the session runs.
    void SetClockForTesting(std::function<std::int64_t()> clock) { clockMs_ = std::move(clock); }
    // Sending and receiving files (protocol/file_transfer.h).
    FileTransfers& Files() { return *files_; }

    // The network session itself, for tests.
    SessionImpl& NetForTesting() { return *net_; }
    // The pictures (protocol/icon_service.h).
    IconService& Icons() { return *icons_; }

private:
    void Receive(Connection& from, const std::u16string& uin, const std::u16string& text,
                 std::int64_t sentTime);
    // A buddy item sent for adding, by the request id of its SNAC. `withdrawn`:
    // the contact was deleted meanwhile, and the result changes nothing.
    struct PendingAdd {
        ServerItem item;
        std::u16string uin;
        std::u16string name;
        bool withdrawn = false;
    };
    // Tells the user how many messages and requests of strangers were held back.
    void TellHeldBack(int count);
    // Tells the user that the contact stays in the local list only.
    void ReportAddFailure(const PendingAdd& add, std::uint16_t code);
    // Appends a system entry, cut to kMaxSystemLineLength, to a listed contact's
    // history and posts ConversationChanged; nothing for anybody else.
    void AddSystemLine(const std::u16string& uin, const std::u16string& text);
    // AddToServerList now when this connection's list is complete, else when it is.
    void AddWhenListed(Connection& connection, const std::u16string& uin,
                       const std::u16string& name);
    // Sends a listed buddy's changed item (0x0013/0x0009 inside an edit) and keeps
    // it when it went out.
    void UpdateServerBuddy(Connection& connection, const ServerItem& item);
    // The group items whose member lists changed, in one edit.
    void SendGroupChanges(Connection& connection, const std::vector<ItemChange>& changes);

    AppState& model_;
    std::atomic<Announcer*> announcer_;
    ServerListState serverList_;
    std::mutex pendingLock_;  // may take serverList_'s lock inside, nothing else
    std::map<std::uint32_t, PendingAdd> pendingAdds_;
    std::deque<AuthRequest> authRequests_;  // guarded by pendingLock_
    std::deque<AddContactCommand> waitingAdds_;  // guarded by pendingLock_
    std::function<void(const CertificateProblem&)> certificateHandler_;  // pendingLock_
    std::uint32_t nextItemRequest_ = 0x00130000;
    std::atomic<std::size_t> strangerArrivals_{0};  // contacts added by presence, this connection
    PeopleService people_{model_};
    AwayTexts away_;
    HeldBackCounter heldBack_;
    std::function<std::int64_t()> clockMs_;
    // A file proposal, told as a message is (notification or sound).
    void AnnounceFile(const std::u16string& uin, const std::u16string& fileName, std::uint64_t size);
    // Its threads send through net_ and are joined before net_ stops.
    std::unique_ptr<FileTransfers> files_;
    // Last, so that it goes first: its threads call the members above.
    std::unique_ptr<SessionImpl> net_;
    // After the network session, so that it goes before it: its connections use it.
    std::unique_ptr<IconService> icons_;
};

// Requests kept for the user interface at most; older ones go first.
inline constexpr std::size_t kMaxAuthRequests = 32;
// Contacts a connection's presence reports may add to the local list.
inline constexpr std::size_t kMaxStrangerArrivals = 16;
// A system line in a conversation, and an authorization request's text: what a
// person types, in characters.
inline constexpr std::size_t kMaxSystemLineLength = 512;
// Adds waiting for a server list at most; older ones go first.
inline constexpr std::size_t kMaxWaitingAdds = 64;

// SNAC 0x0013/0x0018: asks the contact for authorization with the text.
bool SendAuthRequest(Connection& connection, const std::string& uin, const std::u16string& text);

// Fills the network session's tables with every handler of the protocol layer.
// SNACs of the messaging phase:
//   0x0002/0x0006 HandleUserInfoReply     0x0003/0x000B HandleContactArrived
//   0x0003/0x000C HandleContactDeparted   0x0004/0x0001 HandleMessageError
//   0x0004/0x0007 (RegisterPeopleHandlers) 0x0004/0x0014 OnTyping
//   0x0013/0x0006 HandleContactListReply  0x0013/0x000E OnItemResult
//   0x0013/0x0019 OnAuthRequest           0x0013/0x001B OnAuthReply
//   0x0013/0x001C OnYouWereAdded          0x0015/0x0003 (RegisterPeopleHandlers)
//   0x0001/0x0005 IconService::OnRedirect 0x0001/0x0021 IconService::OnOwnIconNotice
// (0x0003/0x000B also goes to IconService::OnArrival, and the results of the icon
// item's edits to nobody else.)
// (0x0001/0x0003, 0x0013 and 0x0018 are the network session's own.)
// Commands: VisibilityCommand PerformVisibility, AddContactCommand
// PerformAddContact, RenameContactCommand PerformRenameContact, TypingCommand
// SendTypingNotice, AuthReplyCommand PerformAuthReply, and DeleteContactCommand
// PerformDeleteContact in place of the net layer's own, SetPictureCommand
// IconService::SyncOwnIcon, FileRendezvousCommand SendFileRendezvous. 0x0004/0x0007
// of a file rendezvous goes to HandleFileRendezvous (RegisterPeopleHandlers).
// The constructor calls it.
void RegisterProtocolHandlers(SessionImpl& net, MessengerSession& messenger);

// The handlers of the people features (RegisterProtocolHandlers calls it):
//   0x0004/0x0007 an auto-message request (OnAwayTextRequest), else
//                 HandleIncomingMessage
//   0x0004/0x000B OnAwayTextAnswer
//   0x0015/0x0003 the replies of PeopleService, else HandleMetaReply
// Commands: SearchPeopleCommand, RequestDetailsCommand, SaveOwnDetailsCommand
// (PeopleService), RequestAwayTextCommand, PrivacyCommand.
void RegisterPeopleHandlers(SessionImpl& net, MessengerSession& messenger);

}  // namespace pellox
