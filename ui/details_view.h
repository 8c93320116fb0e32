// CDetailsView: a contact's details as the server keeps them ("Информация" on the
// contact form and in the conversation menu), read-only. Opening it asks the
// server for the current contact's full information; the fields fill in as the
// replies come. "Взять ник" (cmd::kTakeNickname) makes the nickname the
// contact's name in the list (and on the server list, as a rename from the
// contact form does).
//
// CIgnoredView: the numbers on the ignore list ("Игнорируемые"); "Удалить из
// списка" (cmd::kUnignore) takes the chosen one off it, and the contact is shown
// in the list again.
//
// Both are AppStateListeners for their lifetime. Everything here runs on the
// user-interface thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "protocol/people.h"
#include "store/app_state.h"
#include "ui/people_forms.h"

class QLabel;
class QListWidget;
class QPlainTextEdit;

namespace pellox::ui {

class CDetailsView : public PeopleFormView, public AppStateListener {
    Q_OBJECT

public:
    CDetailsView(AppState& state, SessionControl& session, const PeopleReplies& replies,
                 QWidget* parent = nullptr);
    ~CDetailsView() override;

    // The first time: the current contact's details are asked for.
    void OnInitialUpdate() override;
    bool OnCommand(int id) override;
    std::optional<CommandState> QueryCommand(int id) override;
    void OnAppStateChange(ChangeCode code, const ContactPtr& contact) override;

    // The nickname the server gave becomes the contact's name. False when there
    // is none, or the contact has left the list.
    bool TakeNickname();

    const std::u16string& uin() const { return uin_; }
    QLabel* headerLabel() const { return header_; }
    QLabel* statusLabel() const { return status_; }
    QPlainTextEdit* detailsText() const { return text_; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void Refresh();
    std::u16string Nickname() const;

    AppState& state_;
    SessionControl& session_;
    const PeopleReplies& replies_;
    ContactPtr contact_;
    std::u16string uin_;
    QLabel* header_ = nullptr;
    QLabel* status_ = nullptr;
    QPlainTextEdit* text_ = nullptr;
    bool opened_ = false;
};

class CIgnoredView : public PeopleFormView, public AppStateListener {
    Q_OBJECT

public:
    CIgnoredView(AppState& state, SessionControl& session, QWidget* parent = nullptr);
    ~CIgnoredView() override;

    void OnInitialUpdate() override;
    bool OnCommand(int id) override;
    std::optional<CommandState> QueryCommand(int id) override;
    void OnAppStateChange(ChangeCode code, const ContactPtr& contact) override;

    // Takes the chosen number off the ignore list; false when none is chosen.
    bool Unignore();
    QListWidget* list() const { return list_; }
    QLabel* statusLabel() const { return status_; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void Refresh();

    AppState& state_;
    SessionControl& session_;
    QLabel* status_ = nullptr;
    QListWidget* list_ = nullptr;
    std::vector<std::u16string> uins_;  // the rows' numbers
};

// Marks the contact ignored (it leaves the contact list view) or takes the mark
// off, saves the list, announces ContactChanged, and queues the change of the
// server list's ignore list. The UIN is taken by value: listeners told of the
// change may drop whatever it came from.
void SetIgnored(AppState& state, SessionControl& session, std::u16string uin, bool on);

}  // namespace pellox::ui
