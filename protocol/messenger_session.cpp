#include "protocol/messenger_session.h"

#include <algorithm>

#include "net/text_encoding.h"
#include "platform/local_time.h"
#include "protocol/contact_list.h"
#include "protocol/identity.h"
#include "protocol/messages.h"
#include "protocol/meta.h"
#include "protocol/presence.h"
#include "protocol/user_info.h"
#include "store/app_state.h"

namespace pellox {
namespace {

inline constexpr std::uint16_t kMaxUnreadCount = 0xFFFF;

// Adapters from the routing table's signature to the handlers. Only
// MessengerSession registers them, so the session is always one.
template <bool (*Handler)(NetSession&, PacketReader&)>
void Route(NetSession& session, PacketReader& reader, const FlapHeader&, const SnacHeader&) {
    (void)Handler(session, reader);
}

void RouteContactList(NetSession& session, PacketReader& reader, const FlapHeader&,
                      const SnacHeader& snac) {
    auto& messenger = static_cast<MessengerSession&>(session);
    (void)HandleContactListReply(messenger, messenger.Model(), reader,
                                 (snac.flags & kSnacFlagMoreReplies) != 0, &messenger.ServerList());
}

void RouteMetaReply(NetSession& session, PacketReader& reader, const FlapHeader&,
                    const SnacHeader& snac) {
    auto& messenger = static_cast<MessengerSession&>(session);
    (void)HandleMetaReply(messenger, messenger.Model(), reader, snac);
}

void RouteMessageError(NetSession& session, PacketReader& reader, const FlapHeader&,
                       const SnacHeader& snac) {
    (void)HandleMessageError(session, reader, snac);
}

void RouteItemResult(NetSession& session, PacketReader& reader, const FlapHeader&,
                     const SnacHeader& snac) {
    static_cast<MessengerSession&>(session).OnItemResult(snac.requestId, reader);
}

void RouteTyping(NetSession& session, PacketReader& reader, const FlapHeader&, const SnacHeader&) {
    std::string uin;
    std::uint16_t kind = 0;
    if (ReadTypingNotice(reader, uin, kind)) static_cast<MessengerSession&>(session).OnTyping(WidenUin(uin), kind);
}

// 0x0013/0x0019 and 0x001B: the UIN, for 0x001B a flag byte, then a text with
// a 2-byte length; 0x001C: the UIN alone.
void RouteAuth(NetSession& session, PacketReader& reader, const FlapHeader&, const SnacHeader& snac) {
    auto& messenger = static_cast<MessengerSession&>(session);
    std::string uin, text;
    std::uint8_t granted = 0;
    if (!ReadString8(reader, uin)) return;
    if (snac.subtype == 0x001C) {
        messenger.OnYouWereAdded(WidenUin(uin));
        return;
    }
    if (snac.subtype == 0x001B && !ReadU8(reader, granted)) return;
    if (!ReadString16(reader, text)) text.clear();  // the text is optional
    std::u16string wide;
    DecodeIncomingText(text, wide);
    if (snac.subtype == 0x0019) {
        messenger.OnAuthRequest(WidenUin(uin), wide);
    } else {
        messenger.OnAuthReply(WidenUin(uin), granted != 0, wide);
    }
}

// Results of 0x0013/0x000E.
inline constexpr std::uint16_t kItemAdded = 0x0000;
inline constexpr std::uint16_t kItemAlreadyThere = 0x0003;
inline constexpr std::uint16_t kItemNeedsAuthorization = 0x000E;

// The listed contact of the UIN, or a new one with that status and no name.
ContactPtr FindOrAddByUin(AppState& model, const std::u16string& uin, std::int32_t status,
                          bool& added) {
    ContactInfo info;
    info.uin = uin;
    info.status = status;
    return model.FindOrAddContact(info, added);
}

}  // namespace

void RegisterProtocolHandlers(MessengerSession& session) {
    session.SetSnacHandler(0x0002, 0x0006, &Route<HandleUserInfoReply>);
    session.SetSnacHandler(0x0003, 0x000B, &Route<HandleContactArrived>);
    session.SetSnacHandler(0x0003, 0x000C, &Route<HandleContactDeparted>);
    session.SetSnacHandler(0x0004, 0x0001, &RouteMessageError);
    session.SetSnacHandler(0x0004, 0x0007, &Route<HandleIncomingMessage>);
    session.SetSnacHandler(0x0004, 0x0014, &RouteTyping);
    session.SetSnacHandler(0x0013, 0x0006, &RouteContactList);
    session.SetSnacHandler(0x0013, 0x000E, &RouteItemResult);
    session.SetSnacHandler(0x0013, 0x0019, &RouteAuth);
    session.SetSnacHandler(0x0013, 0x001B, &RouteAuth);
    session.SetSnacHandler(0x0013, 0x001C, &RouteAuth);
    session.SetSnacHandler(0x0015, 0x0003, &RouteMetaReply);
}

MessengerSession::MessengerSession(AppState& model, Announcer* announcer)
    : model_(model), announcer_(announcer) {
    RegisterProtocolHandlers(*this);
    SetReconnectCheck([&model] { return model.UpdateSettings([](Settings& s) { return s.reconnect; }); });
}

MessengerSession::~MessengerSession() { Shutdown(); }

void MessengerSession::OnStateChanged(ConnState code) {
    if (!StoreState(code)) return;
    if (code == ConnState::Disconnected || code == ConnState::DisconnectedByOtherClient ||
        code == ConnState::ConnectionError || code == ConnState::Online) {
        OnContactsRefresh();
    }
    model_.Notify(ChangeCode::ConnectionStateChanged, nullptr, true);
}

void MessengerSession::OnContactsRefresh() {
    {
        BusyScope busy(model_);
        if (!IsConnectedState(state.load())) {
            model_.UpdateAllContacts([](ContactInfo& info) { info.status = StatusOffline; });
        }
    }
    model_.Notify(ChangeCode::ListReset, nullptr, true);
}

void MessengerSession::PerformOtherCommand(const NetCommand& command) {
    if (!IsConnectedState(state.load())) return;
    if (const auto* reply = dynamic_cast<const AuthReplyCommand*>(&command)) {
        const std::string uin = NarrowFromWide(reply->uin);
        if (uin.empty() || uin.size() > 0xFF) return;
        PacketBuffer data;
        AppendU8(data, static_cast<std::uint8_t>(uin.size()));
        AppendBytes(data, uin.data(), uin.size());
        AppendU8(data, reply->granted ? 1 : 0);
        AppendU16(data, 0);  // no reason
        (void)SendSnac(0x0013, 0x001A, 0x001A, data);
        return;
    }
    if (const auto* typing = dynamic_cast<const TypingCommand*>(&command)) {
        (void)SendTypingNotice(*this, typing->uin, typing->kind);
        return;
    }
    if (const auto* contact = dynamic_cast<const ContactCommand*>(&command)) {
        if (contact->code == CommandCode::AddContact) {
            // Presence at once, whatever becomes of the server item.
            if (IsUsableUin(contact->uin)) (void)SendBuddyList(0x0004, {NarrowFromWide(contact->uin)});
            // Before the list is in, its groups and item ids are unknown: the
            // contact stays local, watched through the client-side list.
            if (serverList_.Loaded()) AddToServerList(contact->uin, contact->name);
        } else if (contact->code == CommandCode::RenameContact) {
            std::optional<ServerItem> item = serverList_.Buddy(NarrowFromWide(contact->uin));
            if (!item) return;
            const std::string name = NarrowFromWide(contact->name);
            item->data = WithTlv(item->data, kTlvNickname, name.empty() ? nullptr : &name);
            UpdateServerBuddy(*item);
        }
        return;
    }
    const auto* visibility = dynamic_cast<const VisibilityCommand*>(&command);
    if (visibility == nullptr) return;
    bool update = false;
    const VisibilityItem item = serverList_.PrepareChange(
        visibility->visibleToListOnly ? kVisibleToListOnly : kVisibleToAll, update);
    (void)SendVisibilityItem(*this, item, update);
}

void MessengerSession::AddToServerList(const std::u16string& uin, const std::u16string& name,
                                       bool awaitingAuth) {
    const std::string narrow = NarrowFromWide(uin);
    if (!IsUsableUin(uin)) return;
    std::optional<ServerItem> group;
    ServerItem item;
    if (awaitingAuth) {
        // The same item again, now marked as waiting for the contact's consent.
        item = serverList_.Buddy(narrow).value_or(ServerItem{});
        if (item.name.empty()) item = serverList_.PrepareBuddy(narrow, NarrowFromWide(name), group);
        const std::string none;
        item.data = WithTlv(item.data, kTlvAwaitingAuth, &none);
    } else {
        if (serverList_.Buddy(narrow)) return;
        item = serverList_.PrepareBuddy(narrow, NarrowFromWide(name), group);
    }
    std::uint32_t requestId = 0;
    {
        std::lock_guard<std::mutex> guard(pendingLock_);
        requestId = ++nextItemRequest_;
        pendingAdds_[requestId] = PendingAdd{item, uin, name};
    }
    (void)SendEmptySnac(0x0013, 0x0011);
    if (group) (void)SendServerItem(*this, *group, 0x0008, 0x0008);
    (void)SendServerItem(*this, item, 0x0008, requestId);
    (void)SendEmptySnac(0x0013, 0x0012);
}

void MessengerSession::OnItemResult(std::uint32_t requestId, PacketReader& reader) {
    std::uint16_t code = 0;
    if (!ReadU16(reader, code)) return;
    PendingAdd add;
    {
        std::lock_guard<std::mutex> guard(pendingLock_);
        auto it = pendingAdds_.find(requestId);
        if (it == pendingAdds_.end()) return;  // not an add of ours: nothing to do
        add = std::move(it->second);
        pendingAdds_.erase(it);
    }
    switch (code) {
        case kItemAdded:
            serverList_.TakeBuddy(add.item);
            return;
        case kItemAlreadyThere:
            return;
        case kItemNeedsAuthorization:
            if (!HasTlv(add.item.data, kTlvAwaitingAuth)) {
                AddToServerList(add.uin, add.name, true);
                (void)SendAuthRequest(*this, add.item.name, kAuthRequestText);
                return;
            }
            break;
        default:
            break;
    }
    ReportAddFailure(add, code);
}

void MessengerSession::ReportAddFailure(const PendingAdd& add, std::uint16_t code) {
    Announcer* announcer = announcer_.load();
    if (announcer == nullptr) return;
    const std::string number = std::to_string(code);
    std::u16string body = u"Контакт " + add.uin + u" не добавлен в список на сервере (ошибка " +
                          std::u16string(number.begin(), number.end()) + u"): он останется только в этом списке.";
    (void)announcer->ShowNotification(AnnouncementTitle(add.name, add.uin), body);
}

void MessengerSession::AddSystemLine(const std::u16string& uin, const std::u16string& text) {
    if (!IsUsableUin(uin)) return;
    BusyScope busy(model_);
    bool added = false;
    const ContactPtr contact = FindOrAddByUin(model_, uin, StatusOffline, added);
    if (added) {
        model_.Notify(ChangeCode::ContactAdded, contact, true);
        (void)model_.SaveContacts();
    }
    if (auto history = model_.GetHistory(contact)) {
        history->Append(MessageEntry{text, platform::Now(), MessageDirection::System});
    }
    model_.Notify(ChangeCode::ConversationChanged, contact, true);
}

void MessengerSession::OnAuthRequest(const std::u16string& uin, const std::u16string& text) {
    if (!IsUsableUin(uin)) return;
    AuthRequest request{uin, uin, text};
    if (const ContactPtr contact = model_.FindContact(uin)) request.name = contact->Snapshot().DisplayName();
    {
        std::lock_guard<std::mutex> guard(pendingLock_);
        if (authRequests_.size() >= kMaxAuthRequests) authRequests_.pop_front();
        authRequests_.push_back(request);
    }
    model_.Notify(ChangeCode::AuthorizationRequested, nullptr, true);
    Announcer* announcer = announcer_.load();
    if (announcer != nullptr && !announcer->MainWindowActive()) {
        (void)announcer->ShowNotification(AnnouncementTitle(request.name, uin),
                                          u"Просит авторизацию: " + text);
    }
}

std::optional<MessengerSession::AuthRequest> MessengerSession::TakeAuthRequest() {
    std::lock_guard<std::mutex> guard(pendingLock_);
    if (authRequests_.empty()) return std::nullopt;
    AuthRequest request = std::move(authRequests_.front());
    authRequests_.pop_front();
    return request;
}

void MessengerSession::OnAuthReply(const std::u16string& uin, bool granted, const std::u16string& reason) {
    std::u16string line = granted ? kAuthGrantedText : kAuthRefusedText;
    if (!reason.empty()) line += u" " + reason;
    AddSystemLine(uin, line);
    if (!granted) return;
    std::optional<ServerItem> item = serverList_.Buddy(NarrowFromWide(uin));
    if (!item || !HasTlv(item->data, kTlvAwaitingAuth)) return;
    item->data = WithTlv(item->data, kTlvAwaitingAuth, nullptr);
    UpdateServerBuddy(*item);
}

void MessengerSession::UpdateServerBuddy(const ServerItem& item) {
    (void)SendEmptySnac(0x0013, 0x0011);
    if (SendServerItem(*this, item, 0x0009, 0x0009)) serverList_.TakeBuddy(item);
    (void)SendEmptySnac(0x0013, 0x0012);
}

void MessengerSession::OnYouWereAdded(const std::u16string& uin) { AddSystemLine(uin, kYouWereAddedText); }

bool SendAuthRequest(NetSession& session, const std::string& uin, const std::u16string& text) {
    const std::string reason = NarrowFromWide(text);
    if (uin.size() > 0xFF || reason.size() > 0xFFFF) return false;
    PacketBuffer data;
    AppendU8(data, static_cast<std::uint8_t>(uin.size()));
    AppendBytes(data, uin.data(), uin.size());
    AppendU16(data, static_cast<std::uint16_t>(reason.size()));
    AppendBytes(data, reason.data(), reason.size());
    AppendU16(data, 0x0000);
    return session.SendSnac(0x0013, 0x0018, 0x0018, data);
}

void MessengerSession::OnMessage(const std::u16string& uin, const std::u16string& text) {
    Receive(uin, text, 0);
}

void MessengerSession::OnOfflineMessage(const std::u16string& uin, const std::u16string& text,
                                        std::int64_t sentTime) {
    Receive(uin, text, sentTime);
}

void MessengerSession::Receive(const std::u16string& uin, const std::u16string& text,
                               std::int64_t sentTime) {
    if (!IsUsableUin(uin)) return;
    ContactInfo seen;
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
        seen = contact->Update([&](ContactInfo& info) {
            if (info.unreadCount < kMaxUnreadCount) ++info.unreadCount;
            // An old offline message does not move a later activity back.
            info.lastActivity = time == now ? now : std::max(info.lastActivity, time);
            info.typingUntilMs = 0;  // the message ends the typing
            return info;
        });
        model_.Notify(ChangeCode::ContactChanged, contact, true);
    }
    if (Announcer* announcer = announcer_.load()) {
        AnnounceMessage(*announcer, AnnouncementTitle(seen.DisplayName(), uin), text);
    }
    if (seen.name.empty()) (void)RequestShortInfo(uin);
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
    BusyScope busy(model_);
    // A pause with text left in the box (typed) is not typing: the notice goes at once.
    const std::int64_t until =
        kind == kTypingBegun ? ContactInfo::TypingClockMs() + kTypingTimeoutMs : 0;
    const ContactPtr contact = model_.UpdateContact(uin, [&](ContactInfo& info) { info.typingUntilMs = until; });
    if (contact) model_.Notify(ChangeCode::ContactChanged, contact, true);
}

void MessengerSession::OnContactStatus(const std::u16string& uin, std::int32_t status) {
    if (!IsPresenceStatus(status) || !IsUsableUin(uin)) return;
    bool nameless = false;
    {
        BusyScope busy(model_);
        bool added = false;
        const ContactPtr contact = FindOrAddByUin(model_, uin, status, added);
        if (added) {
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
        }
    }
    if (nameless) (void)RequestShortInfo(uin);
}

}  // namespace pellox
