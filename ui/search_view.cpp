#include "ui/search_view.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QResizeEvent>

#include "protocol/identity.h"
#include "resources/command_ids.h"
#include "resources/strings.h"
#include "ui/drawing_kit.h"

namespace pellox::ui {
namespace {

// Searches are numbered across every search form, so that a reply to the search
// of a form since closed never fills a new one.
std::uint32_t nextSearch = 0;

std::u16string Text(const QLineEdit* edit) {
    return edit->text().toStdU16String();
}

}  // namespace

QString FoundUserText(const FoundUser& user) {
    QString text = QString::fromStdU16String(user.nickname.empty() ? user.uin : user.nickname);
    const QString names =
        QString::fromStdU16String(user.firstName + (user.firstName.empty() || user.lastName.empty() ? u"" : u" ") +
                                  user.lastName)
            .trimmed();
    if (!names.isEmpty()) text += QStringLiteral(" (%1)").arg(names);
    text += QStringLiteral(", ") + QString::fromStdU16String(user.uin);
    if (user.online >= 0) {
        text += QStringLiteral(", ") + LoadQString(user.online == 1 ? str::kSearchOnline : str::kSearchOffline);
    }
    return text;
}

CSearchView::CSearchView(AppState& state, SessionControl& session, const PeopleReplies& replies,
                         QWidget* parent)
    : PeopleFormView(parent), state_(state), session_(session), replies_(replies) {
    SetDialogSize(124);
    AddFieldRows({{str::kFieldUin, &uin_, 1101},
                  {str::kFieldEmail, &email_, 1102},
                  {str::kFieldNickname, &nickname_, 1103},
                  {str::kFieldFirstName, &firstName_, 1104},
                  {str::kFieldLastName, &lastName_, 1105}});
    LimitToUin(uin_);
    status_ = AddLabel(QString(), QRect(4, 69, 156, 9));
    list_ = new QListWidget(this);
    list_->setProperty(kDialogRectProperty, QRect(4, 80, 156, 24));
    list_->setProperty(kControlIdProperty, 1106);
    add_ = AddButton(LoadQString(str::kSearchAddButton), QRect(4, 106, 76, 16), 1107);
    write_ = AddButton(LoadQString(str::kSearchWriteButton), QRect(84, 106, 76, 16), 1108);
    SetUpForm();
    connect(list_, &QListWidget::itemSelectionChanged, this, &CSearchView::UpdateButtons);
    connect(add_, &QPushButton::clicked, this, [this] { (void)AddChosen(); });
    connect(write_, &QPushButton::clicked, this, &CSearchView::WriteToChosen);
    for (QLineEdit* edit : {uin_, email_, nickname_, firstName_, lastName_}) {
        connect(edit, &QLineEdit::returnPressed, this, [this] { (void)Find(); });
    }
    UpdateButtons();
    state_.AddListener(this);
}

CSearchView::~CSearchView() {
    state_.RemoveListener(this);
}

bool CSearchView::Connected() const {
    return IsConnectedState(session_.State());
}

void CSearchView::OnInitialUpdate() {
    status_->setText(Connected() ? QString() : LoadQString(str::kSearchNoConnection));
    uin_->setFocus();
}

bool CSearchView::OnCommand(int id) {
    if (id != cmd::kSearchFind && id != cmd::kOk) return false;
    (void)Find();
    return true;
}

std::optional<CommandState> CSearchView::QueryCommand(int id) {
    if (id == cmd::kSearchFind || id == cmd::kOk) return CommandState{Connected()};
    return std::nullopt;
}

void CSearchView::OnAppStateChange(ChangeCode code, const ContactPtr&) {
    switch (code) {
        case ChangeCode::PeopleReplied:
            ShowResults();
            break;
        case ChangeCode::ConnectionStateChanged:
            if (!Connected()) status_->setText(LoadQString(str::kSearchNoConnection));
            if (CMainFrame* f = frame()) f->UpdateCommandUi();
            break;
        case ChangeCode::ContactAdded:
        case ChangeCode::ContactRemoved:
        case ChangeCode::ListReset:
            UpdateButtons();
            break;
        default:
            break;
    }
}

bool CSearchView::Find() {
    if (!Connected()) {
        status_->setText(LoadQString(str::kSearchNoConnection));
        return false;
    }
    if (!CheckFormFields(this, {{uin_, LoadQString(str::kFieldUin), true, true},
                                {email_, LoadQString(str::kFieldEmail), true},
                                {nickname_, LoadQString(str::kFieldNickname), true},
                                {firstName_, LoadQString(str::kFieldFirstName), true},
                                {lastName_, LoadQString(str::kFieldLastName), true}})) {
        return false;
    }
    SearchPeopleCommand command;
    command.uin = Text(uin_);
    command.email = Text(email_);
    command.nickname = Text(nickname_);
    command.firstName = Text(firstName_);
    command.lastName = Text(lastName_);
    if (command.uin.empty() && command.email.empty() && command.nickname.empty() &&
        command.firstName.empty() && command.lastName.empty()) {
        status_->setText(LoadQString(str::kSearchHint));
        uin_->setFocus();
        return false;
    }
    command.search = search_ = ++nextSearch;
    shown_.clear();
    list_->clear();
    status_->setText(LoadQString(str::kSearching));
    UpdateButtons();
    session_.EnqueueCommand(std::move(command));
    return true;
}

void CSearchView::ShowResults() {
    const SearchResults results = replies_.Results();
    if (search_ == 0 || results.search != search_) return;
    // Rows are only ever added: a row the user has chosen stays where it is.
    for (std::size_t i = shown_.size(); i < results.users.size(); ++i) {
        shown_.push_back(results.users[i]);
        list_->addItem(FoundUserText(results.users[i]));
    }
    QString status;
    if (!results.finished) {
        status = LoadQString(str::kSearching);
    } else if (shown_.empty()) {
        status = LoadQString(str::kSearchNobody);
    } else if (results.left > 0) {
        status = LoadQString(str::kSearchFoundMore).arg(shown_.size()).arg(results.left);
    } else {
        status = LoadQString(str::kSearchFound).arg(shown_.size());
    }
    status_->setText(status);
    if (list_->currentRow() < 0 && !shown_.empty()) list_->setCurrentRow(0);
    UpdateButtons();
}

std::optional<FoundUser> CSearchView::Chosen() const {
    const int row = list_->currentRow();
    if (row < 0 || static_cast<std::size_t>(row) >= shown_.size()) return std::nullopt;
    return shown_[static_cast<std::size_t>(row)];
}

void CSearchView::UpdateButtons() {
    const std::optional<FoundUser> chosen = Chosen();
    write_->setEnabled(chosen.has_value());
    add_->setEnabled(chosen && state_.FindContact(chosen->uin) == nullptr);
}

ContactPtr CSearchView::AddChosen() {
    const std::optional<FoundUser> chosen = Chosen();
    if (!chosen || !IsUsableUin(chosen->uin)) return nullptr;
    ContactInfo info;
    info.uin = chosen->uin;
    info.name = CleanName(chosen->nickname);
    bool added = false;
    const ContactPtr contact = state_.FindOrAddContact(info, added);
    if (added) {
        (void)state_.SaveContacts();
        state_.Notify(ChangeCode::ContactAdded, contact);
        // The server list and presence follow, with authorization where needed.
        session_.EnqueueCommand(AddContactCommand{info.uin, info.name});
    }
    UpdateButtons();
    return contact;
}

void CSearchView::WriteToChosen() {
    const ContactPtr contact = AddChosen();
    if (contact == nullptr) return;
    state_.SetCurrentContact(contact);
    PostFrameCommand(cmd::kWrite);
}

void CSearchView::resizeEvent(QResizeEvent* event) {
    PeopleFormView::resizeEvent(event);
    Stretch(list_, 20, {add_, write_});
}

}  // namespace pellox::ui
