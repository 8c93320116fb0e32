#include "ui/people_commands.h"

#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "net/text_encoding.h"
#include "protocol/away.h"
#include "protocol/contact_list.h"
#include "protocol/messenger_session.h"
#include "resources/command_ids.h"
#include "resources/strings.h"
#include "ui/details_view.h"
#include "ui/drawing_kit.h"
#include "ui/message_box.h"
#include "ui/own_details_view.h"
#include "ui/search_view.h"

namespace pellox::ui {
namespace {

struct AwayStatus {
    int command;
    std::int32_t presence;
    int name;
};
constexpr AwayStatus kAwayStatuses[] = {
    {cmd::kStatusAway, 2, str::kPresenceAway},
    {cmd::kStatusNotAvailable, 3, str::kPresenceNotAvailable},
    {cmd::kStatusOccupied, 4, str::kPresenceOccupied},
    {cmd::kStatusDoNotDisturb, 5, str::kPresenceDoNotDisturb},
};

const AwayStatus* AwayStatusOf(int command) {
    for (const AwayStatus& status : kAwayStatuses) {
        if (status.command == command) return &status;
    }
    return nullptr;
}

// The active profile's value of `key`; empty when none.
std::u16string ProfileValue(const Settings& settings, const std::u16string& key) {
    const auto profile = settings.profiles.find(settings.profile);
    if (profile == settings.profiles.end()) return {};
    const auto value = profile->second.values.find(key);
    return value == profile->second.values.end() ? std::u16string() : value->second;
}

}  // namespace

PeopleCommands::PeopleCommands(AppState& state, MessengerSession& session, SessionControl& control,
                               std::function<void(std::int32_t)> chooseStatus)
    : state_(state), session_(session), control_(control), chooseStatus_(std::move(chooseStatus)) {
    state_.AddListener(this);
    // Runs only while held-back messages wait for their notice: an idle window is not
    // woken for nothing.
    heldBack_.setInterval(kHeldBackCheckMs);
    heldBack_.setSingleShot(true);
    connect(&heldBack_, &QTimer::timeout, this, [this] {
        if (session_.FlushHeldBack()) heldBack_.start();
    });
}

PeopleCommands::~PeopleCommands() {
    state_.RemoveListener(this);
}

void PeopleCommands::Attach(CMainFrame* frame) {
    frame_ = frame;
    for (ViewKind kind : {ViewKind::PeopleSearch, ViewKind::PeopleDetails, ViewKind::OwnDetails,
                          ViewKind::IgnoredList}) {
        frame->RegisterView(kind, [this, kind](QWidget* parent) { return MakeView(kind, parent); });
    }
    connect(frame, &CMainFrame::viewSwitched, this, [this](ViewKind kind) {
        if (kind == ViewKind::Message) AskContactsAwayText();
    });
}

FrameView* PeopleCommands::MakeView(ViewKind kind, QWidget* parent) {
    switch (kind) {
        case ViewKind::PeopleSearch:
            return new CSearchView(state_, control_, session_.People(), parent);
        case ViewKind::PeopleDetails:
            return new CDetailsView(state_, control_, session_.People(), parent);
        case ViewKind::OwnDetails:
            return new COwnDetailsView(state_, control_, session_.People(), parent);
        case ViewKind::IgnoredList:
            return new CIgnoredView(state_, control_, parent);
        default:
            return nullptr;
    }
}

bool PeopleCommands::Connected() const {
    return IsConnectedState(control_.State());
}

bool PeopleCommands::ListLoaded() const {
    return Connected() && session_.ServerList().Loaded();
}

bool PeopleCommands::OnCommand(int id) {
    if (frame_ == nullptr) return false;
    if (const AwayStatus* status = AwayStatusOf(id)) {
        AskAwayText(status->presence);
        return true;
    }
    switch (id) {
        case cmd::kFindPeople:
            frame_->SwitchView(ViewKind::PeopleSearch, menubar::kPeopleSearch);
            return true;
        case cmd::kOwnDetails:
            frame_->SwitchView(ViewKind::OwnDetails, menubar::kOwnDetails);
            return true;
        case cmd::kContactDetails:
            if (state_.CurrentContact() != nullptr && Connected()) {
                frame_->SwitchView(ViewKind::PeopleDetails, menubar::kPeopleDetails);
            }
            return true;
        case cmd::kIgnoreContact:
            Ignore();
            return true;
        case cmd::kAlwaysInvisibleTo:
            TogglePrivacy(kItemTypeDeny);
            return true;
        case cmd::kAlwaysVisibleTo:
            TogglePrivacy(kItemTypePermit);
            return true;
        case cmd::kIgnoredList:
            frame_->SwitchView(ViewKind::IgnoredList, menubar::kIgnoredList);
            return true;
        case cmd::kOnlyListed:
            state_.UpdateSettings([](Settings& s) { s.onlylisted = !s.onlylisted; });
            (void)state_.SaveSettings();
            return true;
        default:
            return false;
    }
}

std::optional<CommandState> PeopleCommands::QueryCommand(int id) {
    const ContactPtr current = state_.CurrentContact();
    const auto listed = [&](std::uint16_t list) {
        return current != nullptr && session_.ServerList().OnPrivacyList(list, NarrowFromWide(current->Uin()));
    };
    switch (id) {
        case cmd::kFindPeople:
        case cmd::kIgnoredList:
            return CommandState{};
        case cmd::kOnlyListed:
            return CommandState{true, state_.ReadSettings([](const Settings& s) { return s.onlylisted; })};
        case cmd::kOwnDetails:
            return CommandState{Connected()};
        case cmd::kContactDetails:
            return CommandState{current != nullptr && Connected()};
        case cmd::kIgnoreContact:
            return CommandState{current != nullptr && ListLoaded()};
        case cmd::kAlwaysInvisibleTo:
            return CommandState{current != nullptr && ListLoaded(), listed(kItemTypeDeny)};
        case cmd::kAlwaysVisibleTo:
            return CommandState{current != nullptr && ListLoaded(), listed(kItemTypePermit)};
        default:
            return std::nullopt;
    }
}

void PeopleCommands::OnAppStateChange(ChangeCode code, const ContactPtr&) {
    if (code == ChangeCode::CurrentContactChanged) AskContactsAwayText();
    if (code == ChangeCode::HeldBackWaiting && !heldBack_.isActive()) heldBack_.start();
}

void PeopleCommands::TogglePrivacy(std::uint16_t list) {
    const ContactPtr current = state_.CurrentContact();
    if (current == nullptr || !ListLoaded()) return;
    const std::u16string uin = current->Uin();
    const bool on = session_.ServerList().OnPrivacyList(list, NarrowFromWide(uin));
    control_.EnqueueCommand(PrivacyCommand{uin, list, !on});
}

void PeopleCommands::Ignore() {
    const ContactPtr contact = state_.CurrentContact();
    if (contact == nullptr || !ListLoaded()) return;
    const ContactInfo info = contact->Snapshot();
    const QString name = QString::fromStdU16String(info.DisplayName());
    AskYesNo(frame_, LoadQString(str::kIgnoreQuestion).arg(name), [this, contact] {
        if (state_.ContainsContact(contact) == nullptr) return;
        SetIgnored(state_, control_, contact->Uin(), true);
        if (frame_ != nullptr) frame_->SwitchView(ViewKind::Contacts, menubar::kMain);
    });
}

void PeopleCommands::AskAwayText(std::int32_t presence) {
    if (awayBox_ != nullptr) awayBox_->close();
    const std::u16string key = AwayTextKey(presence);
    const std::u16string last = state_.ReadSettings([&key](const Settings& s) { return ProfileValue(s, key); });
    int nameId = 0;
    for (const AwayStatus& status : kAwayStatuses) {
        if (status.presence == presence) nameId = status.name;
    }

    auto* box = new QDialog(frame_);
    box->setObjectName(QStringLiteral("awayText"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowTitle(LoadQString(str::kAwayTextTitle));
    ApplyControlColours(box);
    box->setStyleSheet(FormStyleSheet() + QStringLiteral("QDialog { background-color: rgb(102, 102, 102); }"));
    auto* question = new QLabel(LoadQString(str::kAwayTextQuestion).arg(LoadQString(nameId)), box);
    question->setWordWrap(true);
    auto* edit = new QLineEdit(QString::fromStdU16String(last), box);
    edit->setObjectName(QStringLiteral("awayTextEdit"));
    edit->selectAll();
    auto* ok = new FormButton(box);
    ok->setText(LoadQString(str::kDialogOk));
    auto* cancel = new FormButton(box);
    cancel->setText(LoadQString(str::kDialogCancel));
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    auto* layout = new QVBoxLayout(box);
    layout->addWidget(question);
    layout->addWidget(edit);
    layout->addLayout(buttons);
    ok->setMinimumHeight(edit->sizeHint().height() * 3 / 2);
    cancel->setMinimumHeight(ok->minimumHeight());
    connect(ok, &QPushButton::clicked, box, &QDialog::accept);
    connect(edit, &QLineEdit::returnPressed, box, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, box, &QDialog::reject);
    connect(box, &QDialog::accepted, this, [this, edit, key, presence] {
        // One line: a line break would end the settings file's line.
        QString text = edit->text();
        for (QChar& c : text) {
            if (c.unicode() < 0x20 || (c.unicode() >= 0x7F && c.unicode() <= 0x9F)) c = QLatin1Char(' ');
        }
        state_.UpdateSettings([&](Settings& s) { s.profiles[s.profile].values[key] = text.toStdU16String(); });
        (void)state_.SaveSettings();
        chooseStatus_(presence);
    });
    awayBox_ = box;
    box->open();
    edit->setFocus();
}

QLineEdit* PeopleCommands::awayTextEdit() const {
    return awayBox_ != nullptr ? awayBox_->findChild<QLineEdit*>(QStringLiteral("awayTextEdit")) : nullptr;
}

void PeopleCommands::AskContactsAwayText() {
    if (frame_ == nullptr || frame_->activeViewKind() != ViewKind::Message || !Connected()) return;
    const ContactPtr contact = state_.CurrentContact();
    if (contact == nullptr) return;
    const ContactInfo info = contact->Snapshot();
    for (const AwayStatus& status : kAwayStatuses) {
        if (status.presence == info.status) {
            control_.EnqueueCommand(RequestAwayTextCommand{info.uin, info.status});
            return;
        }
    }
}

}  // namespace pellox::ui
