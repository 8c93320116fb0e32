#include "ui/own_details_view.h"

#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPlainTextEdit>
#include <QResizeEvent>

#include "resources/command_ids.h"
#include "resources/strings.h"
#include "store/icon_cache.h"
#include "ui/contact_picture.h"
#include "ui/drawing_kit.h"

namespace pellox::ui {
namespace {

void SetText(QLineEdit* edit, const std::u16string& text) {
    edit->setText(QString::fromStdU16String(text));
}

std::u16string Text(const QLineEdit* edit) {
    return edit->text().toStdU16String();
}

// The own picture's column at the right of the first four rows: the picture over
// the first two (tall enough for it at the smallest window), its buttons beside
// the next two. Those rows' fields end before it.
constexpr QRect kPictureColumn(120, 4, 40, 24);
constexpr int kNarrowEditWidth = 62;

}  // namespace

COwnDetailsView::COwnDetailsView(AppState& state, SessionControl& session,
                                 const PeopleReplies& replies, QWidget* parent)
    : PeopleFormView(parent), state_(state), session_(session), replies_(replies) {
    SetDialogSize(124);
    // The first four rows leave room for the picture column on their right.
    AddFieldRows({{str::kFieldNickname, &nickname_, 1401},
                  {str::kFieldFirstName, &firstName_, 1402},
                  {str::kFieldLastName, &lastName_, 1403},
                  {str::kFieldEmail, &email_, 1404},
                  {str::kFieldCity, &city_, 1405}},
                 4, kNarrowEditWidth);
    choosePicture_ = AddButton(LoadQString(str::kPictureChoose),
                               QRect(kPictureColumn.left(), 30, kPictureColumn.width(), 12), 1407);
    removePicture_ = AddButton(LoadQString(str::kPictureRemove),
                               QRect(kPictureColumn.left(), 43, kPictureColumn.width(), 12), 1408);
    connect(choosePicture_, &QPushButton::clicked, this, [this] { PostFrameCommand(cmd::kChoosePicture); });
    connect(removePicture_, &QPushButton::clicked, this, [this] { PostFrameCommand(cmd::kRemovePicture); });
    removePicture_->setEnabled(HasOwnPicture(state_));
    AddLabel(LoadQString(str::kFieldAbout), QRect(4, 69, 156, 8));
    about_ = new QPlainTextEdit(this);
    about_->setProperty(kDialogRectProperty, QRect(4, 79, 156, 26));
    about_->setProperty(kControlIdProperty, 1406);
    status_ = AddLabel(QString(), QRect(4, 106, 156, 16));
    status_->setWordWrap(true);
    SetUpForm();
    SetEditable(false);
    state_.AddListener(this);
}

COwnDetailsView::~COwnDetailsView() {
    state_.RemoveListener(this);
}

bool COwnDetailsView::Connected() const {
    return IsConnectedState(session_.State());
}

void COwnDetailsView::SetEditable(bool editable) {
    for (QWidget* control : std::initializer_list<QWidget*>{nickname_, firstName_, lastName_, email_, city_, about_}) {
        control->setEnabled(editable);
    }
}

void COwnDetailsView::OnInitialUpdate() {
    if (opened_) return;
    opened_ = true;
    uin_ = state_.ReadSettings([](const Settings& s) { return s.profile; });
    if (!Connected() || uin_.empty()) {
        status_->setText(LoadQString(str::kOwnNoConnection));
        return;
    }
    session_.EnqueueCommand(RequestDetailsCommand{uin_});
    status_->setText(LoadQString(str::kDetailsLoading));
}

bool COwnDetailsView::OnCommand(int id) {
    if (id != cmd::kSave && id != cmd::kOk) return false;
    (void)Save();
    return true;
}

std::optional<CommandState> COwnDetailsView::QueryCommand(int id) {
    if (id == cmd::kSave || id == cmd::kOk) return CommandState{read_ && !saving_ && Connected()};
    return std::nullopt;
}

void COwnDetailsView::Fill(const UserDetails& details) {
    read_ = details;
    SetText(nickname_, details.nickname);
    SetText(firstName_, details.firstName);
    SetText(lastName_, details.lastName);
    SetText(email_, details.email);
    SetText(city_, details.city);
    about_->setPlainText(QString::fromStdU16String(details.about));
    SetEditable(true);
    nickname_->setFocus();
}

void COwnDetailsView::OnAppStateChange(ChangeCode code, const ContactPtr&) {
    if (code == ChangeCode::OwnPictureChanged) {
        removePicture_->setEnabled(HasOwnPicture(state_));
        update(PictureRect().adjusted(-1, -1, 1, 1));
        return;
    }
    if (code == ChangeCode::ConnectionStateChanged) {
        if (!Connected()) {
            saving_ = false;
            status_->setText(LoadQString(str::kOwnNoConnection));
        }
        if (CMainFrame* f = frame()) f->UpdateCommandUi();
        return;
    }
    if (code != ChangeCode::PeopleReplied) return;
    if (!read_ && !uin_.empty()) {
        const std::optional<UserDetails> details = replies_.Details(uin_);
        if (details && details->finished) {
            // A number the server knows nothing of starts from empty fields.
            Fill(*details);
            status_->setText(QString());
        }
    }
    if (saving_) {
        const SaveState save = replies_.LastSave();
        if (save.serial > saveBefore_ && save.finished) {
            saving_ = false;
            const QString told = LoadQString(save.saved ? str::kOwnSaved : str::kOwnNotSaved);
            // Success is told by the status line; a refusal also by a box.
            status_->setText(told);
            if (!save.saved) ShowWarning(this, told);
        }
    }
    if (CMainFrame* f = frame()) f->UpdateCommandUi();
}

bool COwnDetailsView::Save() {
    if (!read_ || saving_ || !Connected()) return false;
    if (!CheckFormFields(this, {{nickname_, LoadQString(str::kFieldNickname), true},
                                {firstName_, LoadQString(str::kFieldFirstName), true},
                                {lastName_, LoadQString(str::kFieldLastName), true},
                                {email_, LoadQString(str::kFieldEmail), true},
                                {city_, LoadQString(str::kFieldCity), true}})) {
        return false;
    }
    SaveOwnDetailsCommand command;
    command.nickname = Text(nickname_);
    command.firstName = Text(firstName_);
    command.lastName = Text(lastName_);
    command.email = Text(email_);
    command.city = Text(city_);
    command.about = about_->toPlainText().toStdU16String();
    // The rest of the record goes back as it came.
    command.state = read_->state;
    command.phone = read_->phone;
    command.fax = read_->fax;
    command.street = read_->street;
    command.cellular = read_->cellular;
    command.zip = read_->zip;
    command.country = read_->country;
    command.timezone = read_->timezone;
    command.publishEmail = read_->publishEmail;
    saveBefore_ = replies_.LastSave().serial;
    saving_ = true;
    status_->setText(LoadQString(str::kOwnSaving));
    session_.EnqueueCommand(std::move(command));
    if (CMainFrame* f = frame()) f->UpdateCommandUi();
    return true;
}

void COwnDetailsView::resizeEvent(QResizeEvent* event) {
    PeopleFormView::resizeEvent(event);
    Stretch(about_, 19, {status_});
}

QRect COwnDetailsView::PictureRect() const {
    // Centred in the column, just inside its top (room for the frame).
    const QRect column = MapDialogRect(kPictureColumn);
    return QRect(column.center().x() - kPictureSide / 2 + 1, column.top() + 1, kPictureSide, kPictureSide);
}

void COwnDetailsView::paintEvent(QPaintEvent* event) {
    PeopleFormView::paintEvent(event);
    QPainter painter(this);
    DrawFramedPicture(painter, PictureRect(), OwnPicture(state_));
}

}  // namespace pellox::ui
