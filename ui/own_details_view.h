// COwnDetailsView: one's own details on the server ("Меню → Мои данные"):
// nickname, first and last name, e-mail, city and "about". Opening the form asks
// the server for them (the fields stay disabled until the answer is in);
// "Сохранить" (cmd::kSave, or the header's "ok") sends them with the meta set
// requests, the other fields of the record as the server sent them, and the
// server's answer is told (saved, or not). Without a connection the form says
// that nothing can be read or changed.
//
// At the top right it shows one's own picture, framed, with "Выбрать…" and
// "Убрать" below it: they run cmd::kChoosePicture and cmd::kRemovePicture, which
// keep the picture in the profile, so they work without a connection too (the
// picture goes to the server at the next sign-on).
//
// The form is an AppStateListener for its lifetime. Everything here runs on the
// user-interface thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "protocol/people.h"
#include "store/app_state.h"
#include "ui/people_forms.h"

class QLabel;
class QLineEdit;
class QPlainTextEdit;

namespace pellox::ui {

class COwnDetailsView : public PeopleFormView, public AppStateListener {
    Q_OBJECT

public:
    COwnDetailsView(AppState& state, SessionControl& session, const PeopleReplies& replies,
                    QWidget* parent = nullptr);
    ~COwnDetailsView() override;

    // The first time: asks for one's own details while connected.
    void OnInitialUpdate() override;
    bool OnCommand(int id) override;
    std::optional<CommandState> QueryCommand(int id) override;
    void OnAppStateChange(ChangeCode code, const ContactPtr& contact) override;

    // Queues the save of what the form holds; false while it cannot be saved
    // (not connected, not read yet, a save under way, or a field the user is told
    // about).
    bool Save();

    QLineEdit* nicknameEdit() const { return nickname_; }
    QLineEdit* firstNameEdit() const { return firstName_; }
    QLineEdit* lastNameEdit() const { return lastName_; }
    QLineEdit* emailEdit() const { return email_; }
    QLineEdit* cityEdit() const { return city_; }
    QPlainTextEdit* aboutEdit() const { return about_; }
    QLabel* statusLabel() const { return status_; }
    FormButton* choosePictureButton() const { return choosePicture_; }
    FormButton* removePictureButton() const { return removePicture_; }
    // Where the own picture is drawn (an empty frame while there is none).
    QRect PictureRect() const;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    bool Connected() const;
    void Fill(const UserDetails& details);
    void SetEditable(bool editable);

    AppState& state_;
    SessionControl& session_;
    const PeopleReplies& replies_;
    QLineEdit* nickname_ = nullptr;
    QLineEdit* firstName_ = nullptr;
    QLineEdit* lastName_ = nullptr;
    QLineEdit* email_ = nullptr;
    QLineEdit* city_ = nullptr;
    QPlainTextEdit* about_ = nullptr;
    QLabel* status_ = nullptr;
    FormButton* choosePicture_ = nullptr;
    FormButton* removePicture_ = nullptr;
    std::u16string uin_;
    std::optional<UserDetails> read_;  // as the server sent them
    bool opened_ = false;
    bool saving_ = false;
    std::uint32_t saveBefore_ = 0;  // LastSave().serial before this form's save
};

}  // namespace pellox::ui
