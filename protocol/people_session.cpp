// The messenger session's side of the people features: their handlers and
// commands, the filter that keeps the ignored and (while "onlylisted" is on)
// strangers out, the ignore marks, and away texts both ways.
#include <chrono>
#include <set>

#include "net/session_impl.h"
#include "net/text_encoding.h"
#include "protocol/file_transfer.h"
#include "protocol/identity.h"
#include "protocol/messages.h"
#include "protocol/messenger_session.h"
#include "protocol/meta.h"
#include "protocol/presence.h"
#include "resources/strings.h"
#include "store/app_state.h"

namespace pellox {
namespace {

// The longest away text shown of an answer.
inline constexpr std::size_t kMaxAwayTextShown = 1024;

std::int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int PresenceNameId(std::int32_t presence) {
    switch (presence) {
        case StatusAway: return str::kPresenceAway;
        case StatusNotAvailable: return str::kPresenceNotAvailable;
        case StatusOccupied: return str::kPresenceOccupied;
        case StatusDoNotDisturb: return str::kPresenceDoNotDisturb;
        default: return 0;
    }
}

}  // namespace

void RegisterPeopleHandlers(SessionImpl& net, MessengerSession& messenger) {
    net.SetSnacHandler(0x0004, 0x0007,
                       [&messenger](Connection& connection, PacketReader& reader, const SnacHeader&) {
                           if (IsFileRendezvousMessage(reader)) {
                               return HandleFileRendezvous(connection, reader, messenger.Files());
                           }
                           AutoMessageRequest request;
                           if (ReadAutoMessageRequest(reader, request)) {
                               messenger.OnAwayTextRequest(connection, request);
                               return true;
                           }
                           return HandleIncomingMessage(connection, reader);
                       });
    net.SetSnacHandler(0x0004, 0x000B,
                       [&messenger](Connection&, PacketReader& reader, const SnacHeader&) {
                           return messenger.OnAwayTextAnswer(reader);
                       });
    net.SetSnacHandler(
        0x0015, 0x0003,
        [&messenger](Connection& connection, PacketReader& reader, const SnacHeader& snac) {
            bool handled = false;
            const bool read = messenger.People().HandleReply(reader, snac, handled);
            return handled ? read : HandleMetaReply(connection, messenger.Model(), reader, snac);
        });

    PeopleService& people = messenger.People();
    net.SetCommandHandler<SearchPeopleCommand>(
        [&people](const SearchPeopleCommand& command, Connection& connection) {
            (void)people.Search(connection, command);
        });
    net.SetCommandHandler<RequestDetailsCommand>(
        [&people](const RequestDetailsCommand& command, Connection& connection) {
            (void)people.RequestDetails(connection, command.uin);
        });
    net.SetCommandHandler<SaveOwnDetailsCommand>(
        [&people](const SaveOwnDetailsCommand& command, Connection& connection) {
            (void)people.SaveOwnDetails(connection, command);
        });
    net.SetCommandHandler<RequestAwayTextCommand>(
        [&messenger](const RequestAwayTextCommand& command, Connection& connection) {
            if (connection.Connected()) messenger.PerformAwayTextRequest(command, connection);
        });
    net.SetCommandHandler<PrivacyCommand>(
        [&messenger](const PrivacyCommand& command, Connection& connection) {
            if (connection.Connected()) messenger.PerformPrivacy(command, connection);
        });
}

// ---- Keeping out ----

bool MessengerSession::IsIgnored(const std::u16string& uin) const {
    const ContactPtr contact = model_.FindContact(uin);
    return contact != nullptr && contact->Ignored();
}

bool MessengerSession::Unwanted(const std::u16string& uin, bool hold) {
    if (const ContactPtr contact = model_.FindContact(uin)) return contact->Ignored();
    if (!model_.ReadSettings([](const Settings& s) { return s.onlylisted; })) return false;
    if (hold) {
        bool startsWaiting = false;
        const int count = heldBack_.Hold(clockMs_ ? clockMs_() : SteadyMs(), startsWaiting);
        if (count > 0) TellHeldBack(count);
        if (startsWaiting) model_.Notify(ChangeCode::HeldBackWaiting, nullptr, true);
    }
    return true;
}

bool MessengerSession::FlushHeldBack() {
    const int count = heldBack_.Flush(clockMs_ ? clockMs_() : SteadyMs());
    if (count > 0) TellHeldBack(count);
    return heldBack_.Waiting();
}

void MessengerSession::TellHeldBack(int count) {
    Announcer* announcer = announcer_.load();
    if (announcer == nullptr) return;
    const std::string number = std::to_string(count);
    (void)announcer->ShowStringNotification(str::kHeldBackTitle, str::kHeldBackNotice,
                                            {std::u16string(number.begin(), number.end())});
}

void MessengerSession::SyncIgnoreMarks() {
    std::set<std::u16string> ignored;
    for (const std::string& name : serverList_.PrivacyList(kItemTypeIgnore)) {
        std::u16string uin = WidenUin(name);
        if (IsUsableUin(uin)) ignored.insert(std::move(uin));
    }
    bool changed = false;
    {
        BusyScope busy(model_);
        for (const ContactPtr& contact : model_.Contacts()) {
            changed = contact->Update([&ignored](ContactInfo& info) {
                          const bool on = ignored.count(info.uin) > 0;
                          const bool differs = info.ignored() != on;
                          info.SetIgnored(on);
                          return differs;
                      }) ||
                      changed;
        }
        // The ignored who are not listed yet (a listed one is found, not added).
        for (const std::u16string& uin : ignored) {
            ContactInfo info;
            info.uin = uin;
            info.SetIgnored(true);
            bool added = false;
            (void)model_.FindOrAddContact(info, added);
            changed = changed || added;
        }
    }
    if (!changed) return;
    model_.RequestSave();
    model_.Notify(ChangeCode::ListReset, nullptr, true);
}

void MessengerSession::PerformPrivacy(const PrivacyCommand& command, Connection& connection) {
    if (!IsUsableUin(command.uin) || !IsPrivacyItemType(command.list) || !serverList_.Loaded()) return;
    const std::string uin = NarrowFromWide(command.uin);
    const std::optional<ServerItem> item = command.add
                                               ? serverList_.PreparePrivacyItem(command.list, uin)
                                               : serverList_.DropPrivacyItem(command.list, uin);
    if (!item) return;  // on that list already, or not on it
    const std::uint16_t subtype = command.add ? 0x0008 : 0x000A;
    (void)connection.SendEmptySnac(0x0013, 0x0011);
    (void)SendServerItem(connection, *item, subtype, subtype);
    (void)connection.SendEmptySnac(0x0013, 0x0012);
    // A visibility of 1 lets the denied see one all the same.
    const std::optional<VisibilityItem> visibility = serverList_.Visibility();
    if (command.add && command.list == kItemTypeDeny && visibility &&
        VisibilityValue(*visibility) == kVisibleToAll) {
        bool update = false;
        const VisibilityItem changed = serverList_.PrepareChange(kVisibleToAllButDenied, update);
        (void)SendVisibilityItem(connection, changed, update);
    }
}

// ---- Away texts ----

void MessengerSession::PerformAwayTextRequest(const RequestAwayTextCommand& command,
                                              Connection& connection) {
    const std::uint8_t type = AutoMessageType(command.presence);
    if (type == 0 || PresenceNameId(command.presence) == 0 || !IsUsableUin(command.uin)) return;
    const std::optional<std::uint64_t> cookie = away_.BeginAsk(command.uin, command.presence);
    if (cookie) (void)SendAutoMessageRequest(connection, NarrowFromWide(command.uin), type, *cookie);
}

void MessengerSession::OnAwayTextRequest(Connection& connection, const AutoMessageRequest& request) {
    const std::u16string uin = WidenUin(request.sender.uin);
    if (!IsUsableUin(uin) || IsIgnored(uin)) return;
    const std::u16string key = AwayTextKey(StatusFromFlags(net_->OwnStatus()));
    if (key.empty()) return;  // online: there is no away text to give
    if (!away_.MayAnswer(uin, clockMs_ ? clockMs_() : SteadyMs())) return;
    const std::u16string text = model_.ReadSettings([&key](const Settings& s) {
        const auto profile = s.profiles.find(s.profile);
        if (profile == s.profiles.end()) return std::u16string();
        const auto value = profile->second.values.find(key);
        return value == profile->second.values.end() ? std::u16string() : value->second;
    });
    (void)SendAutoMessageAnswer(connection, request, NarrowFromWide(text));
}

bool MessengerSession::OnAwayTextAnswer(PacketReader& reader) {
    AutoMessageAnswer answer;
    if (!ReadAutoMessageAnswer(reader, answer)) return false;
    const std::u16string uin = WidenUin(answer.uin);
    const std::optional<std::int32_t> presence = away_.TakeAsk(answer.cookie, uin);
    if (!presence) return false;  // no answer to anything this client asked
    std::u16string text;
    DecodeIncomingText(answer.text, text);
    if (text.size() > kMaxAwayTextShown) text.resize(kMaxAwayTextShown);
    if (text.empty()) return true;
    AddSystemLine(uin, FormatString(str::kAwayTextLine, {LoadString(PresenceNameId(*presence)), text}));
    return true;
}

}  // namespace pellox
