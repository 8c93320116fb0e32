#include "ui/details_view.h"

#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QResizeEvent>

#include "protocol/contact_list.h"
#include "protocol/identity.h"
#include "resources/command_ids.h"
#include "resources/strings.h"
#include "ui/drawing_kit.h"

namespace pellox::ui {
namespace {

QString NameAndUin(const ContactInfo& info) {
    const QString uin = QString::fromStdU16String(info.uin);
    return info.name.empty() ? uin : QStringLiteral("%1 (%2)").arg(QString::fromStdU16String(info.name), uin);
}

}  // namespace

void SetIgnored(AppState& state, SessionControl& session, std::u16string uin, bool on) {
    if (!IsUsableUin(uin)) return;
    const ContactPtr contact = state.UpdateContact(uin, [on](ContactInfo& info) { info.SetIgnored(on); });
    if (contact != nullptr) {
        (void)state.SaveContacts();
        state.Notify(ChangeCode::ContactChanged, contact);
    }
    session.EnqueueCommand(PrivacyCommand{uin, kItemTypeIgnore, on});
}

// ---- CDetailsView ----

CDetailsView::CDetailsView(AppState& state, SessionControl& session, const PeopleReplies& replies,
                           QWidget* parent)
    : PeopleFormView(parent), state_(state), session_(session), replies_(replies) {
    SetDialogSize(124);
    header_ = AddLabel(QString(), QRect(4, 4, 156, 10));
    status_ = AddLabel(QString(), QRect(4, 16, 156, 9));
    text_ = new QPlainTextEdit(this);
    text_->setReadOnly(true);
    text_->setProperty(kDialogRectProperty, QRect(4, 28, 156, 92));
    text_->setProperty(kControlIdProperty, 1201);
    SetUpForm();
    state_.AddListener(this);
}

CDetailsView::~CDetailsView() {
    state_.RemoveListener(this);
}

void CDetailsView::OnInitialUpdate() {
    if (opened_) return;
    opened_ = true;
    contact_ = state_.CurrentContact();
    if (contact_ == nullptr) return;
    const ContactInfo info = contact_->Snapshot();
    uin_ = info.uin;
    header_->setText(NameAndUin(info));
    session_.EnqueueCommand(RequestDetailsCommand{uin_});
    status_->setText(LoadQString(str::kDetailsLoading));
    text_->setFocus();
}

bool CDetailsView::OnCommand(int id) {
    if (id == cmd::kTakeNickname) {
        (void)TakeNickname();
        return true;
    }
    return false;
}

std::optional<CommandState> CDetailsView::QueryCommand(int id) {
    if (id == cmd::kTakeNickname) return CommandState{!Nickname().empty()};
    return std::nullopt;
}

void CDetailsView::OnAppStateChange(ChangeCode code, const ContactPtr& contact) {
    if (code == ChangeCode::PeopleReplied) {
        Refresh();
    } else if (code == ChangeCode::ContactChanged && contact != nullptr && contact == contact_) {
        header_->setText(NameAndUin(contact->Snapshot()));
    }
}

std::u16string CDetailsView::Nickname() const {
    if (uin_.empty()) return {};
    const std::optional<UserDetails> details = replies_.Details(uin_);
    return details ? CleanName(details->nickname) : std::u16string();
}

void CDetailsView::Refresh() {
    if (uin_.empty()) return;
    const std::optional<UserDetails> details = replies_.Details(uin_);
    if (!details) return;
    text_->setPlainText(DetailsText(*details));
    if (!details->finished) {
        status_->setText(LoadQString(str::kDetailsLoading));
    } else {
        status_->setText(details->found ? QString() : LoadQString(str::kDetailsNone));
    }
    if (CMainFrame* f = frame()) f->UpdateCommandUi();
}

bool CDetailsView::TakeNickname() {
    const std::u16string nickname = Nickname();
    if (nickname.empty() || state_.ContainsContact(contact_) == nullptr) return false;
    const bool renamed = contact_->Update([&](ContactInfo& info) {
        const bool changed = info.name != nickname;
        info.name = nickname;
        return changed;
    });
    if (!renamed) return true;
    (void)state_.SaveContacts();
    state_.Notify(ChangeCode::ContactChanged, contact_);
    session_.EnqueueCommand(RenameContactCommand{uin_, nickname});
    return true;
}

void CDetailsView::resizeEvent(QResizeEvent* event) {
    PeopleFormView::resizeEvent(event);
    Stretch(text_, 4);
}

// ---- CIgnoredView ----

CIgnoredView::CIgnoredView(AppState& state, SessionControl& session, QWidget* parent)
    : PeopleFormView(parent), state_(state), session_(session) {
    SetDialogSize(120);
    AddLabel(LoadQString(str::kIgnoredTitle), QRect(4, 4, 156, 9));
    status_ = AddLabel(QString(), QRect(4, 16, 156, 9));
    list_ = new QListWidget(this);
    list_->setProperty(kDialogRectProperty, QRect(4, 28, 156, 88));
    list_->setProperty(kControlIdProperty, 1301);
    SetUpForm();
    connect(list_, &QListWidget::currentRowChanged, this, [this] {
        if (CMainFrame* f = frame()) f->UpdateCommandUi();
    });
    state_.AddListener(this);
    Refresh();
}

CIgnoredView::~CIgnoredView() {
    state_.RemoveListener(this);
}

void CIgnoredView::OnInitialUpdate() {
    Refresh();
    list_->setFocus();
}

bool CIgnoredView::OnCommand(int id) {
    if (id != cmd::kUnignore) return false;
    (void)Unignore();
    return true;
}

std::optional<CommandState> CIgnoredView::QueryCommand(int id) {
    if (id == cmd::kUnignore) {
        return CommandState{list_->currentRow() >= 0 && IsConnectedState(session_.State())};
    }
    return std::nullopt;
}

void CIgnoredView::OnAppStateChange(ChangeCode code, const ContactPtr&) {
    switch (code) {
        case ChangeCode::ContactAdded:
        case ChangeCode::ContactChanged:
        case ChangeCode::ContactRemoved:
        case ChangeCode::ListReset:
            Refresh();
            break;
        case ChangeCode::ConnectionStateChanged:
            if (CMainFrame* f = frame()) f->UpdateCommandUi();
            break;
        default:
            break;
    }
}

void CIgnoredView::Refresh() {
    std::vector<std::u16string> uins;
    QStringList rows;
    for (const ContactSnapshot& snapshot : state_.SnapshotContacts()) {
        if (!snapshot.info.ignored()) continue;
        uins.push_back(snapshot.info.uin);
        rows << NameAndUin(snapshot.info);
    }
    if (uins == uins_) return;
    const int row = list_->currentRow();
    uins_ = std::move(uins);
    list_->clear();
    list_->addItems(rows);
    if (!uins_.empty()) list_->setCurrentRow(std::clamp(row, 0, static_cast<int>(uins_.size()) - 1));
    status_->setText(uins_.empty() ? LoadQString(str::kIgnoredNone) : QString());
    if (CMainFrame* f = frame()) f->UpdateCommandUi();
}

bool CIgnoredView::Unignore() {
    const int row = list_->currentRow();
    if (row < 0 || static_cast<std::size_t>(row) >= uins_.size()) return false;
    // A copy: the announcement refreshes the rows.
    const std::u16string uin = uins_[static_cast<std::size_t>(row)];
    SetIgnored(state_, session_, uin, false);
    Refresh();
    return true;
}

void CIgnoredView::resizeEvent(QResizeEvent* event) {
    PeopleFormView::resizeEvent(event);
    Stretch(list_, 4);
}

}  // namespace pellox::ui
