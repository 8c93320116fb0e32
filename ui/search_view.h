// CSearchView: the directory search form ("Меню → Контакты → Найти"). A number,
// an e-mail address, or a nickname, first and last name (any of them) are typed
// in; "Найти" (cmd::kSearchFind, or the header's "ok") searches by the number when
// one is given, else by the e-mail address, else by the names given. The results
// come in as the server sends them and are listed (nickname, first and last name,
// number, and whether online where the server says); "Добавить" adds the chosen
// one as the contact form would (the server list and authorization follow), and
// "Написать" adds it when needed and opens its conversation. While not connected
// the search is disabled and the form says so.
//
// The form is an AppStateListener for its lifetime (PeopleReplied,
// ConnectionStateChanged). Everything here runs on the user-interface thread.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "protocol/people.h"
#include "store/app_state.h"
#include "ui/people_forms.h"

class QLabel;
class QLineEdit;
class QListWidget;

namespace pellox::ui {

class CSearchView : public PeopleFormView, public AppStateListener {
    Q_OBJECT

public:
    CSearchView(AppState& state, SessionControl& session, const PeopleReplies& replies,
                QWidget* parent = nullptr);
    ~CSearchView() override;

    void OnInitialUpdate() override;
    bool OnCommand(int id) override;
    std::optional<CommandState> QueryCommand(int id) override;
    void OnAppStateChange(ChangeCode code, const ContactPtr& contact) override;

    // Queues the search of what was typed; false (nothing queued) while not
    // connected, when nothing was typed or a field cannot be read (the user is
    // told).
    bool Find();
    // The chosen result as a contact: a new one is added, saved, announced and
    // sent to the server list; null when nothing is chosen.
    ContactPtr AddChosen();
    // AddChosen, then its conversation.
    void WriteToChosen();

    QLineEdit* uinEdit() const { return uin_; }
    QLineEdit* emailEdit() const { return email_; }
    QLineEdit* nicknameEdit() const { return nickname_; }
    QLineEdit* firstNameEdit() const { return firstName_; }
    QLineEdit* lastNameEdit() const { return lastName_; }
    QListWidget* resultList() const { return list_; }
    QLabel* statusLabel() const { return status_; }
    FormButton* addButton() const { return add_; }
    FormButton* writeButton() const { return write_; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    bool Connected() const;
    void ShowResults();
    void UpdateButtons();
    std::optional<FoundUser> Chosen() const;

    AppState& state_;
    SessionControl& session_;
    const PeopleReplies& replies_;
    QLineEdit* uin_ = nullptr;
    QLineEdit* email_ = nullptr;
    QLineEdit* nickname_ = nullptr;
    QLineEdit* firstName_ = nullptr;
    QLineEdit* lastName_ = nullptr;
    QLabel* status_ = nullptr;
    QListWidget* list_ = nullptr;
    FormButton* add_ = nullptr;
    FormButton* write_ = nullptr;
    std::uint32_t search_ = 0;  // this form's last search; 0 before the first
    std::vector<FoundUser> shown_;
};

// The text of a result's row: "nickname (first last), number, online".
QString FoundUserText(const FoundUser& user);

}  // namespace pellox::ui
