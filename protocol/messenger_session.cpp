#include "protocol/messenger_session.h"

#include <algorithm>

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

// The acknowledgement of a contact list change: nothing to do.
void Consume(NetSession&, PacketReader&, const FlapHeader&, const SnacHeader&) {}

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
    session.SetSnacHandler(0x0013, 0x0006, &RouteContactList);
    session.SetSnacHandler(0x0013, 0x000E, &Consume);
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
    const auto* visibility = dynamic_cast<const VisibilityCommand*>(&command);
    if (visibility == nullptr || !IsConnectedState(state.load())) return;
    bool update = false;
    const VisibilityItem item = serverList_.PrepareChange(
        visibility->visibleToListOnly ? kVisibleToListOnly : kVisibleToAll, update);
    (void)SendVisibilityItem(*this, item, update);
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
    if (Announcer* announcer = announcer_.load()) announcer->MessageNotSent(displayName, uin, reason);
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
