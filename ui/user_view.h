// CUserView: the contact form (dialog 105). In information mode it shows the
// current contact's name and UIN, saves edits to it, can ask the server for the
// contact's nickname ("Получить с сервера") and opens the contact's details
// ("Информация"); in add mode it creates a new contact from what was typed.
//
// Commands: "Сохранить" (cmd::kSave) saves; "Добавить" (cmd::kAdd, add mode) adds; the
// header's "ok" (cmd::kOk) confirms the form in either mode (save in information mode,
// add in add mode); "Отмена" (cmd::kShowContacts) is left to the frame. After a successful save
// or add the form posts cmd::kShowContacts, which brings the contact list back.
//
// The form is an AppStateListener for its lifetime: a change of the current
// contact's name (a nickname arriving from the server) fills the name field, and a
// change of the connection state shows or hides the server button.
//
// Everything here runs on the user-interface thread.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "store/app_state.h"
#include "ui/form_view.h"

class QLineEdit;

namespace Ui {
class UserForm;
}

namespace pellox::ui {

class ImageButton;

enum class UserFormMode { Information, Add };

class CUserView : public DialogFormView, public AppStateListener {
    Q_OBJECT

public:
    CUserView(AppState& state, SessionControl& session, UserFormMode mode,
              QWidget* parent = nullptr);
    ~CUserView() override;

    // Fills the form: in information mode from the current contact (when there is
    // one); in add mode the server button is hidden and the fields stay empty.
    void OnInitialUpdate() override;

    bool OnCommand(int id) override;
    std::optional<CommandState> QueryCommand(int id) override;

    void OnAppStateChange(ChangeCode code, const ContactPtr& contact) override;

    // Where the contact's picture is drawn: below the fields and the buttons shown,
    // at the left; empty in add mode and for a contact without a picture (or one
    // not fetched yet).
    QRect PictureRect() const;

protected:
    void paintEvent(QPaintEvent* event) override;

public:

    // Copies the form's name and UIN into the current contact, announces the change
    // and saves the contact list. False, and nothing changes, when there is no
    // current contact or the form cannot be read (an empty UIN).
    bool Save();
    // Appends a contact with the form's name and UIN, saves the contact list and
    // announces it. When the UIN is listed already, that contact is edited instead:
    // it takes a typed name and becomes the current contact. False when the form
    // cannot be read.
    bool Add();
    // "Получить с сервера": Save, then, whatever it gave, asks the server for the
    // short information of the form's UIN. The form stays. Nothing when the form
    // cannot be read.
    void RequestFromServer();

    UserFormMode mode() const { return mode_; }
    QLineEdit* nameEdit() const;
    QLineEdit* uinEdit() const;
    ImageButton* serverButton() const;
    // "Информация": the contact's details from the server (cmd::kContactDetails);
    // shown with the server button.
    ImageButton* detailsButton() const { return detailsButton_; }

private:
    // The form's name and UIN (trimmed); nullopt when the form cannot be read: an
    // empty UIN, or a control character in a field, which the user is told about.
    std::optional<ContactInfo> ReadForm();
    void UpdateServerButton();

    AppState& state_;
    SessionControl& session_;
    const UserFormMode mode_;
    std::unique_ptr<Ui::UserForm> ui_;
    // The current contact's name as the form last took it over; a change of the
    // contact whose name still equals it (a presence change, say) leaves the name
    // field and whatever the user typed into it alone.
    std::u16string shownName_;
    ImageButton* detailsButton_ = nullptr;
};

}  // namespace pellox::ui
