#include "ui/user_view.h"

#include <QLineEdit>
#include <QPainter>
#include <algorithm>

#include "resources/command_ids.h"
#include "resources/strings.h"
#include "store/icon_cache.h"
#include "ui/contact_picture.h"
#include "ui/drawing_kit.h"
#include "ui/image_button.h"
#include "ui_user_view.h"

namespace pellox::ui {

namespace {

std::u16string Text(const QLineEdit* edit) {
    return edit->text().toStdU16String();
}

}  // namespace

CUserView::CUserView(AppState& state, SessionControl& session, UserFormMode mode,
                     QWidget* parent)
    : DialogFormView(parent),
      state_(state),
      session_(session),
      mode_(mode),
      ui_(std::make_unique<Ui::UserForm>()) {
    ui_->setupUi(this);
    // Below the server button: the contact's details, a button of the people
    // features that the template does not have.
    auto* details = new FormButton(this);
    details->setText(LoadQString(str::kDetailsButton));
    details->setProperty(kDialogRectProperty, QRect(4, 60, 152, 20));
    details->setProperty(kControlIdProperty, 1015);
    connect(details, &QPushButton::clicked, this, [this] { PostFrameCommand(cmd::kContactDetails); });
    detailsButton_ = details;
    SetUpForm();
    LimitToUin(ui_->id1001_uinEdit);
    connect(ui_->id1011_serverButton, &QPushButton::clicked, this, &CUserView::RequestFromServer);
    state_.AddListener(this);
}

CUserView::~CUserView() {
    state_.RemoveListener(this);
}

QLineEdit* CUserView::nameEdit() const {
    return ui_->id1000_nameEdit;
}

QLineEdit* CUserView::uinEdit() const {
    return ui_->id1001_uinEdit;
}

ImageButton* CUserView::serverButton() const {
    return ui_->id1011_serverButton;
}

void CUserView::OnInitialUpdate() {
    if (mode_ == UserFormMode::Add) {
        ui_->id1011_serverButton->hide();
        detailsButton_->hide();
    } else if (ContactPtr current = state_.CurrentContact()) {
        const ContactInfo info = current->Snapshot();
        shownName_ = info.name;
        ui_->id1000_nameEdit->setText(QString::fromStdU16String(info.name));
        ui_->id1001_uinEdit->setText(QString::fromStdU16String(info.uin));
    }
    detailsButton_->setVisible(mode_ != UserFormMode::Add &&
                               IsConnectedState(static_cast<std::int32_t>(session_.State())));
    ui_->id1000_nameEdit->setFocus();
}

bool CUserView::OnCommand(int id) {
    switch (id) {
        case cmd::kSave:
            if (Save()) PostFrameCommand(cmd::kShowContacts);
            return true;
        case cmd::kAdd:
            if (mode_ != UserFormMode::Add) return false;
            if (Add()) PostFrameCommand(cmd::kShowContacts);
            return true;
        case cmd::kOk:
            // The header's "ok" confirms what the form is for: in add mode it adds,
            // it never overwrites the current contact with the new one's data.
            if (mode_ == UserFormMode::Add ? Add() : Save()) PostFrameCommand(cmd::kShowContacts);
            return true;
        default:
            return false;
    }
}

std::optional<CommandState> CUserView::QueryCommand(int id) {
    switch (id) {
        case cmd::kSave:
        case cmd::kOk:
            return CommandState{};
        case cmd::kAdd:
            if (mode_ == UserFormMode::Add) return CommandState{};
            return std::nullopt;
        default:
            return std::nullopt;
    }
}

std::optional<ContactInfo> CUserView::ReadForm() {
    if (!CheckFormFields(this, {{ui_->id1000_nameEdit, ui_->labelName->text()},
                                {ui_->id1001_uinEdit, ui_->labelUin->text(), true, true}})) {
        return std::nullopt;
    }
    ContactInfo info;
    info.name = Text(ui_->id1000_nameEdit);
    info.uin = Text(ui_->id1001_uinEdit);
    // A contact without a UIN can be neither stored nor written to.
    if (info.uin.empty()) return std::nullopt;
    return info;
}

bool CUserView::Save() {
    ContactPtr current = state_.CurrentContact();
    if (current == nullptr) return false;
    const std::optional<ContactInfo> form = ReadForm();
    if (!form) return false;
    bool renumbered = false;
    const bool renamed = current->Update([&](ContactInfo& info) {
        renumbered = info.uin != form->uin;
        const bool changed = info.name != form->name && !renumbered;
        info.name = form->name;
        return changed;
    });
    if (renumbered) state_.SetContactUin(current, form->uin);
    shownName_ = form->name;
    state_.Notify(ChangeCode::ContactChanged, current);
    state_.SaveContacts();
    // The server list's item follows a new name (the worker sends it only for a
    // contact on that list, and only while connected).
    if (renamed) {
        session_.EnqueueCommand(RenameContactCommand{form->uin, form->name});
    }
    return true;
}

bool CUserView::Add() {
    const std::optional<ContactInfo> form = ReadForm();
    if (!form) return false;
    bool added = false;
    const ContactPtr contact = state_.FindOrAddContact(*form, added);
    if (added) {
        (void)state_.SaveContacts();
        state_.Notify(ChangeCode::ContactAdded, contact);
        // While connected the server list and the presence follow.
        session_.EnqueueCommand(AddContactCommand{form->uin, form->name});
        return true;
    }
    // A listed number: the form edits that contact (a typed name replaces its
    // name) rather than making a second contact that shares its history file and
    // server item.
    const bool renamed = !form->name.empty() && contact->Update([&](ContactInfo& info) {
        const bool changed = info.name != form->name;
        info.name = form->name;
        return changed;
    });
    if (renamed) {
        (void)state_.SaveContacts();
        session_.EnqueueCommand(RenameContactCommand{form->uin, form->name});
    }
    state_.SetCurrentContact(contact);
    state_.Notify(ChangeCode::ContactChanged, contact);
    return true;
}

void CUserView::RequestFromServer() {
    if (!ReadForm()) return;  // told the user, or no UIN to ask for
    (void)Save();
    const std::u16string uin = Text(ui_->id1001_uinEdit);
    if (uin.empty()) return;
    session_.EnqueueCommand(RequestInfoCommand{uin});
}

void CUserView::OnAppStateChange(ChangeCode code, const ContactPtr& contact) {
    switch (code) {
        case ChangeCode::ContactChanged: {
            if (mode_ == UserFormMode::Add || contact == nullptr) return;
            if (contact != state_.CurrentContact()) return;
            update(PictureRect().adjusted(-1, -1, 1, 1));  // the picture may have come

            const std::u16string name = contact->Name();
            if (name == shownName_) return;
            shownName_ = name;
            ui_->id1000_nameEdit->setText(QString::fromStdU16String(name));
            return;
        }
        case ChangeCode::ConnectionStateChanged:
            UpdateServerButton();
            return;
        default:
            return;
    }
}

void CUserView::UpdateServerButton() {
    const bool connected = IsConnectedState(static_cast<std::int32_t>(session_.State()));
    ui_->id1011_serverButton->setVisible(connected && mode_ != UserFormMode::Add);
    detailsButton_->setVisible(connected && mode_ != UserFormMode::Add);
    update();  // the picture goes below the details button while that shows
}

QRect CUserView::PictureRect() const {
    if (mode_ == UserFormMode::Add) return {};
    const ContactPtr current = state_.ContainsContact(state_.CurrentContact());
    if (!current || ContactPicture(state_, current->Snapshot().iconHash).isNull()) return {};
    // Under the last row of the form and under every control shown (the details
    // button reaches below the template), lined up with the labels.
    const QRect below = MapDialogRect(QRect(7, dialogSize().height(), 1, 4));
    int top = below.top();
    for (const QWidget* control : findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (control->isVisibleTo(this)) top = std::max(top, control->geometry().bottom() + below.height());
    }
    return QRect(below.left(), top, kPictureSide, kPictureSide);
}

void CUserView::paintEvent(QPaintEvent* event) {
    DialogFormView::paintEvent(event);
    const QRect target = PictureRect();
    if (target.isEmpty()) return;
    QPainter painter(this);
    DrawFramedPicture(painter, target, ContactPicture(state_, state_.CurrentContact()->Snapshot().iconHash));
}

}  // namespace pellox::ui
