#include "protocol/messenger_session.h"

#include <algorithm>

#include "net/session_impl.h"
#include "net/text_encoding.h"
#include "platform/local_time.h"
#include "protocol/contact_list.h"
#include "protocol/file_transfer.h"
#include "protocol/identity.h"
#include "protocol/messages.h"
#include "protocol/meta.h"
#include "protocol/presence.h"
#include "protocol/user_info.h"
#include "resources/strings.h"
#include "store/app_state.h"

namespace pellox {
namespace {

inline constexpr std::uint16_t kMaxUnreadCount = 0xFFFF;

// 0x0013/0x0019 and 0x001B: the UIN, for 0x001B a flag byte, then a text with
// a 2-byte length; 0x001C: the UIN alone.
bool HandleAuth(MessengerSession& messenger, Connection& connection, PacketReader& reader,
                const SnacHeader& snac) {
    std::string uin, text;
    std::uint8_t granted = 0;
    if (!ReadString8(reader, uin)) return false;
    if (snac.subtype == 0x001C) {
        messenger.OnYouWereAdded(WidenUin(uin));
        return true;
    }
    if (snac.subtype == 0x001B && !ReadU8(reader, granted)) return false;
    if (!ReadString16(reader, text)) text.clear();  // the text is optional
    std::u16string wide;
    DecodeIncomingText(text, wide);
    if (snac.subtype == 0x0019) {
        messenger.OnAuthRequest(WidenUin(uin), wide);
    } else {
        messenger.OnAuthReply(connection, WidenUin(uin), granted != 0, wide);
    }
    return true;
}

// Results of 0x0013/0x000E.
inline constexpr std::uint16_t kItemAdded = 0x0000;
inline constexpr std::uint16_t kItemAlreadyThere = 0x0003;
inline constexpr std::uint16_t kItemNeedsAuthorization = 0x000E;

// The listed contact of the UIN, or a new one with that status and no name.
ContactPtr FindOrAddByUin(AppState& model, const std::u16string& uin, std::int32_t status,
                          bool& added) {
    added = false;
    if (ContactPtr known = model.FindContact(uin)) return known;  // nearly always: no template built
    ContactInfo info;
    info.uin = uin;
    info.status = status;
    return model.FindOrAddContact(info, added);
}

}  // namespace

void RegisterProtocolHandlers(SessionImpl& net, MessengerSession& messenger) {
    // Handlers that read the SNAC data alone.
    const auto plain = [&net](std::uint16_t family, std::uint16_t subtype,
                              bool (*handler)(Connection&, PacketReader&)) {
        net.SetSnacHandler(family, subtype,
                           [handler](Connection& connection, PacketReader& reader,
                                     const SnacHeader&) { return handler(connection, reader); });
    };
    plain(0x0002, 0x0006, &HandleUserInfoReply);
    net.SetSnacHandler(0x0003, 0x000B,
                       [&messenger](Connection& connection, PacketReader& reader, const SnacHeader&) {
                           const PacketReader info = reader;
                           if (!HandleContactArrived(connection, reader)) return false;
                           messenger.Icons().OnArrival(connection, info);
                           return true;
                       });
    net.SetSnacHandler(0x0001, 0x0005,
                       [&messenger](Connection&, PacketReader& reader, const SnacHeader&) {
                           return messenger.Icons().OnRedirect(reader);
                       });
    net.SetSnacHandler(0x0001, 0x0021,
                       [&messenger](Connection& connection, PacketReader& reader, const SnacHeader&) {
                           return messenger.Icons().OnOwnIconNotice(connection, reader);
                       });
    plain(0x0003, 0x000C, &HandleContactDeparted);
    net.SetSnacHandler(0x0004, 0x0001, &HandleMessageError);
    net.SetSnacHandler(0x0004, 0x0014,
                       [&messenger](Connection&, PacketReader& reader, const SnacHeader&) {
                           std::string uin;
                           std::uint16_t kind = 0;
                           if (!ReadTypingNotice(reader, uin, kind)) return false;
                           messenger.OnTyping(WidenUin(uin), kind);
                           return true;
                       });
    net.SetSnacHandler(
        0x0013, 0x0006,
        [&messenger](Connection& connection, PacketReader& reader, const SnacHeader& snac) {
            const bool more = (snac.flags & kSnacFlagMoreReplies) != 0;
            if (!HandleContactListReply(connection, messenger.Model(), reader, more,
                                        &messenger.ServerList())) {
                return false;
            }
            if (!more) {
                messenger.SyncIgnoreMarks();
                messenger.OnServerListLoaded(connection);
                (void)messenger.Icons().SyncOwnIcon(connection, messenger.ServerList());
            }
            return true;
        });
    net.SetSnacHandler(
        0x0013, 0x000E,
        [&messenger](Connection& connection, PacketReader& reader, const SnacHeader& snac) {
            // The icon item's result changes nothing: the server's notice follows it.
            if (IconService::IsIconItemRequest(snac.requestId)) return true;
            return messenger.OnItemResult(connection, snac.requestId, reader);
        });
    for (const std::uint16_t subtype : {0x0019, 0x001B, 0x001C}) {
        net.SetSnacHandler(
            0x0013, subtype,
            [&messenger](Connection& connection, PacketReader& reader, const SnacHeader& snac) {
                return HandleAuth(messenger, connection, reader, snac);
            });
    }

    // The commands the net layer leaves to this one; each needs a connection.
    net.SetCommandHandler<VisibilityCommand>(
        [&messenger](const VisibilityCommand& command, Connection& connection) {
            if (connection.Connected()) messenger.PerformVisibility(command, connection);
        });
    net.SetCommandHandler<AddContactCommand>(
        [&messenger](const AddContactCommand& command, Connection& connection) {
            if (connection.Connected()) messenger.PerformAddContact(command, connection);
        });
    net.SetCommandHandler<RenameContactCommand>(
        [&messenger](const RenameContactCommand& command, Connection& connection) {
            if (connection.Connected()) messenger.PerformRenameContact(command, connection);
        });
    net.SetCommandHandler<DeleteContactCommand>(
        [&messenger](const DeleteContactCommand& command, Connection& connection) {
            messenger.PerformDeleteContact(command, connection);
        });
    net.SetCommandHandler<TypingCommand>([](const TypingCommand& command, Connection& connection) {
        if (connection.Connected()) (void)SendTypingNotice(connection, command.uin, command.kind);
    });
    net.SetCommandHandler<SetPictureCommand>(
        [&messenger](const SetPictureCommand&, Connection& connection) {
            if (connection.Connected())
                (void)messenger.Icons().SyncOwnIcon(connection, messenger.ServerList());
        });
    net.SetCommandHandler<AuthReplyCommand>(
        [&messenger](const AuthReplyCommand& command, Connection& connection) {
            if (connection.Connected()) messenger.PerformAuthReply(command, connection);
        });
    net.SetCommandHandler<FileRendezvousCommand>([](const FileRendezvousCommand& command, Connection& connection) {
        if (connection.Connected()) (void)SendFileRendezvous(connection, command.uin, command.block);
    });
    RegisterPeopleHandlers(net, messenger);
}

MessengerSession::MessengerSession(AppState& model, Announcer* announcer)
    : model_(model),
      announcer_(announcer),
      net_(std::make_unique<SessionImpl>(*this)),
      icons_(std::make_unique<IconService>(*net_, model)) {
    files_ = std::make_unique<FileTransfers>(
        model, *this, [this](const std::u16string& uin, const std::u16string& text) { AddSystemLine(uin, text); },
        [this](const std::u16string& uin, const std::u16string& name, std::uint64_t size) {
            AnnounceFile(uin, name, size);
        });
    RegisterProtocolHandlers(*net_, *this);
    net_->SetReconnectCheck(
        [&model] { return model.ReadSettings([](const Settings& s) { return s.reconnect; }); });
}

MessengerSession::~MessengerSession() {
    files_->Shutdown();
    icons_->Shutdown();
    net_->Shutdown();
}

void MessengerSession::EnqueueCommand(Command command) {
    net_->EnqueueCommand(std::move(command));
}
ConnState MessengerSession::State() const {
    return net_->State();
}
std::int32_t MessengerSession::LoginRefusal() const {
    return net_->LoginRefusal();
}
std::int32_t MessengerSession::BytesReceived() const {
    return net_->BytesReceived();
}
std::int32_t MessengerSession::BytesSent() const {
    return net_->BytesSent();
}
bool MessengerSession::StartWorker() {
    return net_->StartWorker();
}
void MessengerSession::CloseSession() {
    net_->CloseSession();
}
void MessengerSession::Shutdown() {
    files_->Shutdown();
    icons_->Shutdown();
    net_->Shutdown();
}
void MessengerSession::SetReconnectCheck(std::function<bool()> check) {
    net_->SetReconnectCheck(std::move(check));
}

void MessengerSession::OnStateChanged(ConnState code, bool stored) {
    if (!stored) return;
    if (code == ConnState::OpeningConnection) {
        icons_->Reset();
        serverList_.Restart();
        strangerArrivals_.store(0);
    }
    if (code == ConnState::Disconnected || code == ConnState::DisconnectedByOtherClient ||
        code == ConnState::ConnectionError) {
        people_.Forget();
        away_.Forget();
    }
    if (code == ConnState::Disconnected || code == ConnState::DisconnectedByOtherClient ||
        code == ConnState::ConnectionError || code == ConnState::Online) {
        OnContactsRefresh();
    }
    model_.Notify(ChangeCode::ConnectionStateChanged, nullptr, true);
}

void MessengerSession::OnContactsRefresh() {
    {
        BusyScope busy(model_);
        if (!IsConnectedState(State())) {
            model_.UpdateAllContacts([](ContactInfo& info) { info.status = StatusOffline; });
        }
    }
    model_.Notify(ChangeCode::ListReset, nullptr, true);
}

void MessengerSession::PerformAuthReply(const AuthReplyCommand& command, Connection& connection) {
    const std::string uin = NarrowFromWide(command.uin);
    if (uin.empty() || uin.size() > 0xFF) return;
    PacketBuffer data;
    AppendString8(data, uin);
    AppendU8(data, command.granted ? 1 : 0);
    AppendU16(data, 0);  // no reason
    (void)connection.SendSnac(0x0013, 0x001A, 0x001A, data);
}

void MessengerSession::PerformAddContact(const AddContactCommand& command, Connection& connection) {
    if (!IsUsableUin(command.uin)) return;
    // Presence at once, whatever becomes of the server item.
    (void)connection.SendBuddyList(0x0004, {NarrowFromWide(command.uin)});
    AddWhenListed(connection, command.uin, command.name);
}

void MessengerSession::AddWhenListed(Connection& connection, const std::u16string& uin,
                                     const std::u16string& name) {
    {
        // Checked and queued under the lock OnServerListLoaded takes the queue
        // under, so that an add never slips in after the queue was emptied.
        std::lock_guard<std::mutex> guard(pendingLock_);
        if (!serverList_.Loaded()) {
            // Before the list is in, its groups and item ids are unknown.
            std::erase_if(waitingAdds_,
                          [&](const AddContactCommand& add) { return add.uin == uin; });
            if (waitingAdds_.size() >= kMaxWaitingAdds) waitingAdds_.pop_front();
            waitingAdds_.push_back(AddContactCommand{uin, name});
            return;
        }
    }
    AddToServerList(connection, uin, name);
}

void MessengerSession::OnServerListLoaded(Connection& connection) {
    std::deque<AddContactCommand> waiting;
    {
        std::lock_guard<std::mutex> guard(pendingLock_);
        waiting.swap(waitingAdds_);
    }
    for (const AddContactCommand& add : waiting) {
        if (!model_.FindContact(add.uin)) continue;  // deleted meanwhile
        // On the list already: the name chosen meanwhile goes to its item.
        if (serverList_.Buddy(NarrowFromWide(add.uin))) {
            if (!add.name.empty())
                PerformRenameContact(RenameContactCommand{add.uin, add.name}, connection);
        } else {
            AddToServerList(connection, add.uin, add.name);
        }
    }
}

void MessengerSession::PerformRenameContact(const RenameContactCommand& command,
                                            Connection& connection) {
    std::optional<ServerItem> item = serverList_.Buddy(NarrowFromWide(command.uin));
    if (!item) {
        // Only in the local list (or not yet known to be on the server's): the
        // contact goes there under its new name.
        if (IsUsableUin(command.uin)) AddWhenListed(connection, command.uin, command.name);
        return;
    }
    const std::string name = EncodeUtf8(command.name);
    item->data = WithTlv(item->data, kTlvNickname, name.empty() ? nullptr : &name);
    UpdateServerBuddy(connection, *item);
}


void MessengerSession::PerformVisibility(const VisibilityCommand& command, Connection& connection) {
    bool update = false;
    const VisibilityItem item = serverList_.PrepareChange(
        command.visibleToListOnly ? kVisibleToListOnly : kVisibleToAllButDenied, update);
    (void)SendVisibilityItem(connection, item, update);
}

void MessengerSession::AddToServerList(Connection& connection, const std::u16string& uin,
                                       const std::u16string& name, bool awaitingAuth) {
    const std::string narrow = NarrowFromWide(uin);
    if (!IsUsableUin(uin)) return;
    std::optional<ServerItem> group;
    ServerItem item;
    if (awaitingAuth) {
        // The same item again, now marked as waiting for the contact's consent.
        item = serverList_.Buddy(narrow).value_or(ServerItem{});
        if (item.name.empty()) item = serverList_.PrepareBuddy(narrow, EncodeUtf8(name), group);
        const std::string none;
        item.data = WithTlv(item.data, kTlvAwaitingAuth, &none);
    } else {
        if (serverList_.Buddy(narrow)) return;
        item = serverList_.PrepareBuddy(narrow, EncodeUtf8(name), group);
    }
    std::uint32_t requestId = 0;
    {
        std::lock_guard<std::mutex> guard(pendingLock_);
        requestId = ++nextItemRequest_;
        pendingAdds_[requestId] = PendingAdd{item, uin, name};
    }
    (void)connection.SendEmptySnac(0x0013, 0x0011);
    if (group) (void)SendServerItem(connection, *group, 0x0008, 0x0008);
    (void)SendServerItem(connection, item, 0x0008, requestId);
    (void)connection.SendEmptySnac(0x0013, 0x0012);
}

bool MessengerSession::OnItemResult(Connection& connection, std::uint32_t requestId,
                                    PacketReader& reader) {
    std::uint16_t code = 0;
    if (!ReadU16(reader, code)) return false;
    PendingAdd add;
    {
        std::lock_guard<std::mutex> guard(pendingLock_);
        auto it = pendingAdds_.find(requestId);
        if (it == pendingAdds_.end()) return false;  // not an add of ours: nothing to do
        add = std::move(it->second);
        pendingAdds_.erase(it);
    }
    if (add.withdrawn) return true;  // deleted meanwhile: the result is old news
    switch (code) {
        case kItemAdded:
            serverList_.TakeBuddy(add.item);
            SendGroupChanges(connection, serverList_.LinkBuddy(add.item));
            return true;
        case kItemAlreadyThere:
            return true;
        case kItemNeedsAuthorization:
            if (!HasTlv(add.item.data, kTlvAwaitingAuth)) {
                AddToServerList(connection, add.uin, add.name, true);
                (void)SendAuthRequest(connection, add.item.name, LoadString(str::kAuthRequestText));
                return true;
            }
            break;
        default:
            break;
    }
    ReportAddFailure(add, code);
    return true;
}

void MessengerSession::ReportAddFailure(const PendingAdd& add, std::uint16_t code) {
    Announcer* announcer = announcer_.load();
    if (announcer == nullptr) return;
    const std::string number = std::to_string(code);
    (void)announcer->ShowStringNotification(
        AnnouncementTitle(add.name, add.uin), str::kServerAddFailed,
        {add.uin, std::u16string(number.begin(), number.end())});
}

void MessengerSession::AddSystemLine(const std::u16string& uin, const std::u16string& text) {
    BusyScope busy(model_);
    // Authorization events of strangers make no contacts: a hostile server could
    // otherwise fill the list and the data directory with them.
    const ContactPtr contact = model_.FindContact(uin);
    if (contact == nullptr) return;
    if (auto history = model_.GetHistory(contact)) {
        history->Append(MessageEntry{CutText(text, kMaxSystemLineLength), platform::Now(),
                                     MessageDirection::System});
    }
    model_.Notify(ChangeCode::ConversationChanged, contact, true);
}

void MessengerSession::AnnounceFile(const std::u16string& uin, const std::u16string& fileName,
                                    std::uint64_t size) {
    Announcer* announcer = announcer_.load();
    if (announcer == nullptr) return;
    std::u16string name = uin;
    if (const ContactPtr contact = model_.FindContact(uin)) name = contact->Snapshot().DisplayName();
    // As a message is told: a notification while the window is not in front, else
    // (or when none can be shown) the sound.
    if (!announcer->MainWindowActive() &&
        announcer->ShowFileOffer(AnnouncementTitle(name, uin), fileName, size)) {
        return;
    }
    announcer->PlaySound(kIncomingMessageSound);
}

void MessengerSession::OnAuthRequest(const std::u16string& uin, const std::u16string& text) {
    if (!IsUsableUin(uin) || Unwanted(uin, true)) return;
    AuthRequest request{uin, uin, CutText(text, kMaxSystemLineLength)};
    if (const ContactPtr contact = model_.FindContact(uin)) request.name = contact->Snapshot().DisplayName();
    {
        std::lock_guard<std::mutex> guard(pendingLock_);
        if (authRequests_.size() >= kMaxAuthRequests) authRequests_.pop_front();
        authRequests_.push_back(request);
    }
    model_.Notify(ChangeCode::AuthorizationRequested, nullptr, true);
    Announcer* announcer = announcer_.load();
    if (announcer != nullptr && !announcer->MainWindowActive()) {
        (void)announcer->ShowStringNotification(AnnouncementTitle(request.name, uin),
                                                str::kAuthRequestedNotice, {text});
    }
}

std::optional<MessengerSession::AuthRequest> MessengerSession::TakeAuthRequest() {
    std::lock_guard<std::mutex> guard(pendingLock_);
    if (authRequests_.empty()) return std::nullopt;
    AuthRequest request = std::move(authRequests_.front());
    authRequests_.pop_front();
    return request;
}

void MessengerSession::OnAuthReply(Connection& connection, const std::u16string& uin, bool granted,
                                   const std::u16string& reason) {
    if (Unwanted(uin, false)) return;
    std::u16string line = LoadString(granted ? str::kAuthGranted : str::kAuthRefused);
    if (!reason.empty()) line += u" " + reason;
    AddSystemLine(uin, line);
    if (!granted) return;
    std::optional<ServerItem> item = serverList_.Buddy(NarrowFromWide(uin));
    if (!item || !HasTlv(item->data, kTlvAwaitingAuth)) return;
    item->data = WithTlv(item->data, kTlvAwaitingAuth, nullptr);
    UpdateServerBuddy(connection, *item);
}

void MessengerSession::UpdateServerBuddy(Connection& connection, const ServerItem& item) {
    (void)connection.SendEmptySnac(0x0013, 0x0011);
    if (SendServerItem(connection, item, 0x0009, 0x0009)) serverList_.TakeBuddy(item);
    (void)connection.SendEmptySnac(0x0013, 0x0012);
}

void MessengerSession::SendGroupChanges(Connection& connection,
                                        const std::vector<ItemChange>& changes) {
    if (changes.empty()) return;
    (void)connection.SendEmptySnac(0x0013, 0x0011);
    for (const ItemChange& change : changes) {
        const std::uint16_t subtype = change.add ? 0x0008 : 0x0009;
        (void)SendServerItem(connection, change.item, subtype, subtype);
    }
    (void)connection.SendEmptySnac(0x0013, 0x0012);
}

void MessengerSession::PerformDeleteContact(const DeleteContactCommand& command,
                                            Connection& connection) {
    const std::string uin = NarrowFromWide(command.uin);
    {
        std::lock_guard<std::mutex> guard(pendingLock_);
        std::erase_if(waitingAdds_,
                      [&](const AddContactCommand& add) { return add.uin == command.uin; });
        for (auto& [requestId, add] : pendingAdds_)
            add.withdrawn = add.withdrawn || add.uin == command.uin;
    }
    std::optional<ServerItem> group;
    const std::optional<ServerItem> item = serverList_.UnlinkBuddy(uin, group);
    serverList_.ForgetBuddy(uin);  // also from a list still coming in
    if (!connection.Connected()) return;
    if (item) {
        (void)connection.SendEmptySnac(0x0013, 0x0011);
        (void)SendServerItem(connection, *item, 0x000A, 0x000A);
        if (group) (void)SendServerItem(connection, *group, 0x0009, 0x0009);
        (void)connection.SendEmptySnac(0x0013, 0x0012);
    } else {
        (void)connection.DeleteContactItem(command.uin);  // by its name alone
    }
    (void)connection.SendBuddyList(0x0005, {uin});
}

void MessengerSession::SetCertificateHandler(
    std::function<void(const CertificateProblem&)> handler) {
    std::lock_guard<std::mutex> guard(pendingLock_);
    certificateHandler_ = std::move(handler);
}

void MessengerSession::OnCertificateProblem(const CertificateProblem& problem) {
    std::function<void(const CertificateProblem&)> handler;
    {
        std::lock_guard<std::mutex> guard(pendingLock_);
        handler = certificateHandler_;
    }
    if (handler) handler(problem);
}

void MessengerSession::OnYouWereAdded(const std::u16string& uin) {
    if (Unwanted(uin, true)) return;
    AddSystemLine(uin, LoadString(str::kYouWereAdded));
}

bool SendAuthRequest(Connection& connection, const std::string& uin, const std::u16string& text) {
    const std::string reason = EncodeUtf8(text);
    if (uin.size() > 0xFF || reason.size() > 0xFFFF) return false;
    PacketBuffer data;
    AppendString8(data, uin);
    AppendU16(data, static_cast<std::uint16_t>(reason.size()));
    AppendBytes(data, reason.data(), reason.size());
    AppendU16(data, 0x0000);
    return connection.SendSnac(0x0013, 0x0018, 0x0018, data);
}

void MessengerSession::OnMessage(Connection& from, const std::u16string& uin,
                                 const std::u16string& text) {
    Receive(from, uin, text, 0);
}

void MessengerSession::OnOfflineMessage(Connection& from, const std::u16string& uin,
                                        const std::u16string& text, std::int64_t sentTime) {
    Receive(from, uin, text, sentTime);
}

void MessengerSession::Receive(Connection& from, const std::u16string& uin,
                               const std::u16string& text, std::int64_t sentTime) {
    if (!IsUsableUin(uin) || Unwanted(uin, true)) return;
    std::u16string title;  // the announcement's, with the contact's name as the message found it
    bool nameless = false;
    {
        BusyScope busy(model_);
        bool added = false;
        const ContactPtr contact = FindOrAddByUin(model_, uin, StatusOffline, added);
        if (added) model_.RequestSave();

        const std::int64_t now = platform::Now();
        // A message cannot have been sent after it arrived: a later time is the
        // sender's clock, not the message's.
        const std::int64_t time = sentTime > 0 && sentTime < now ? sentTime : now;
        if (auto history = model_.GetHistory(contact)) {
            history->Append(MessageEntry{text, time, MessageDirection::In});
        }
        contact->Update([&](ContactInfo& info) {
            if (info.unreadCount < kMaxUnreadCount) ++info.unreadCount;
            // An old offline message does not move a later activity back.
            info.lastActivity = time == now ? now : std::max(info.lastActivity, time);
            info.typingUntilMs = 0;  // the message ends the typing
            nameless = info.name.empty();
            title = AnnouncementTitle(nameless ? uin : info.name, uin);
        });
        model_.Notify(ChangeCode::ContactChanged, contact, true);
    }
    if (Announcer* announcer = announcer_.load()) AnnounceMessage(*announcer, title, text);
    if (nameless) (void)from.RequestShortInfo(uin);
}

void MessengerSession::OnMessageNotSent(const std::u16string& uin, const std::u16string& text,
                                        std::uint16_t reason) {
    std::u16string displayName = uin;
    {
        BusyScope busy(model_);
        if (const ContactPtr contact = model_.FindContact(uin)) {
            displayName = contact->Snapshot().DisplayName();
            const std::shared_ptr<MessageHistory> history = model_.GetHistory(contact);
            if (history && history->RemoveNewest(MessageDirection::Out, text)) {
                model_.Notify(ChangeCode::ConversationChanged, contact, true);
            }
        }
    }
    if (Announcer* announcer = announcer_.load()) {
        announcer->MessageNotSent(displayName, uin, text, reason);
    }
}

void MessengerSession::OnTyping(const std::u16string& uin, std::uint16_t kind) {
    if (kind != kTypingStopped && kind != kTypingTyped && kind != kTypingBegun) return;
    if (Unwanted(uin, false)) return;
    BusyScope busy(model_);
    // A pause with text left in the box (typed) is not typing: the notice goes at once.
    const std::int64_t until =
        kind == kTypingBegun ? ContactInfo::TypingClockMs() + kTypingTimeoutMs : 0;
    const ContactPtr contact = model_.UpdateContact(uin, [&](ContactInfo& info) { info.typingUntilMs = until; });
    if (contact) model_.Notify(ChangeCode::ContactChanged, contact, true);
}

void MessengerSession::OnContactStatus(Connection& from, const std::u16string& uin,
                                       std::int32_t status) {
    if (!IsPresenceStatus(status) || !IsUsableUin(uin)) return;
    // An ignored contact's presence is kept out of sight but kept, so that the
    // contact shows as it is once it is taken off the ignore list.
    if (const ContactPtr contact = model_.FindContact(uin); contact != nullptr && contact->Ignored()) {
        BusyScope busy(model_);
        contact->Update([status](ContactInfo& info) { info.status = status; });
        return;
    }
    if (Unwanted(uin, false)) return;
    bool nameless = false;
    {
        BusyScope busy(model_);
        // A server announces only the numbers one watches: a few strangers a
        // connection are taken, the rest of a flood is ignored.
        if (strangerArrivals_.load() >= kMaxStrangerArrivals && !model_.FindContact(uin)) return;
        bool added = false;
        const ContactPtr contact = FindOrAddByUin(model_, uin, status, added);
        if (added) {
            ++strangerArrivals_;
            model_.Notify(ChangeCode::ContactAdded, contact, true);
            model_.RequestSave();
            nameless = true;
        } else {
            bool changed = false;
            contact->Update([&](ContactInfo& info) {
                changed = info.status != status;
                info.status = status;
                nameless = info.name.empty();
            });
            if (changed) model_.Notify(ChangeCode::ContactChanged, contact, true);
            if (changed) away_.PresenceChanged(uin);
        }
    }
    if (nameless) (void)from.RequestShortInfo(uin);
}

}  // namespace pellox
