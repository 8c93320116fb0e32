// CSettingsView: the settings form (dialog 201). The ICQ number, password and
// server of the active profile, the options "Автосоединение", "Закрывать при
// отправке" and "Переподключаться при обрыве" (setting "reconnect"), the
// profile's way of signing on ("Вход:" "MD5" or "простой", profile key "login";
// "Шифровать соединение (TLS)", key "tls"), and the list of stored profiles with
// "Удалить профиль".
//
// A profile from before the login choice (no "login" key) shows and keeps
// "простой"; a number that names no stored profile yet starts with "MD5".
//
// Open (on the initial update) fills the form from the settings; picking a profile
// in the list shows its number, password and server (nothing is saved); "Удалить
// профиль" erases the picked profile and its contact list file at once; "Сохранить"
// (cmd::kSave) or the header's "ok" (cmd::kOk) saves, switching the active profile
// when the number changed, and posts cmd::kShowContacts to go back to the contact
// list. "Отмена" (cmd::kShowContacts) is left to the frame and saves nothing.
//
// The number field takes digits only; empty fields show what belongs in them (the
// server field the ICQ login server's "login.icq.com:5190").
//
// The form is not an AppStateListener. Everything here runs on the user-interface
// thread.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "store/app_state.h"
#include "ui/form_view.h"

class QCheckBox;
class QLineEdit;
class QListWidget;
class QRadioButton;

namespace Ui {
class SettingsForm;
}

namespace pellox::ui {

class ImageButton;

// The profile key holding the server to sign on at: "host" or "host:port"; empty or
// missing means the ICQ login server.
inline constexpr char16_t kServerKey[] = u"server";

// The server text stored for the named profile (empty when none).
std::u16string ProfileServer(const Settings& settings, const std::u16string& profile);
// What the Connect command should use for the active profile: its server, or the
// ICQ login server's host name when it has none.
std::u16string LoginServerOf(const Settings& settings);

class CSettingsView : public DialogFormView {
    Q_OBJECT

public:
    CSettingsView(AppState& state, SessionControl& session, QWidget* parent = nullptr);
    ~CSettingsView() override;

    // Runs Open once, the first time the form is shown.
    void OnInitialUpdate() override;

    bool OnCommand(int id) override;
    std::optional<CommandState> QueryCommand(int id) override;

    // Fills the form from the settings. Asking for the active profile's password
    // creates that profile (with an empty password) when it is missing.
    void Open();
    // Shows the picked profile's number, password and server; the check boxes keep
    // what the user set. Nothing is saved.
    void SelectProfile();
    // Erases the picked profile and deletes its contact list file; when it is the
    // active profile, also clears the loaded histories and unread counts of the
    // contacts in memory. The settings file is not written: the profile leaves it at
    // the next save.
    void DeleteProfile();
    // Trims the number and the server and refuses a field with a control character
    // (the user is told, nothing is saved, the form stays); otherwise writes the
    // form into the settings and saves them; a changed number switches
    // the active profile (closing an open connection, reloading everything and
    // announcing ListReset), an unchanged one rewrites its contact list.
    void Save();

    QLineEdit* uinEdit() const;
    QLineEdit* passwordEdit() const;
    QLineEdit* serverEdit() const;
    QCheckBox* autoconnectCheck() const;
    QCheckBox* sendcloseCheck() const;
    QCheckBox* reconnectCheck() const;
    QCheckBox* typingCheck() const;
    QRadioButton* md5Radio() const;
    QRadioButton* roastedRadio() const;
    QCheckBox* tlsCheck() const;
    QListWidget* profileList() const;
    ImageButton* deleteButton() const;

private:
    // The selected list entry's text, or nullopt when nothing is selected.
    std::optional<std::u16string> SelectedProfile() const;
    // How a profile signs on, as the form shows it.
    struct SignOnChoice {
        bool md5 = true;
        bool tls = false;
    };
    // What the form shows for a stored profile; a missing one is new.
    static SignOnChoice ChoiceOf(const Settings& settings, const std::u16string& name);
    void ShowProfile(const std::u16string& name, const std::u16string& password,
                     const std::u16string& server, SignOnChoice choice);
    // The number was edited: one that names no stored profile starts with MD5
    // (once, when it stops naming one).
    void NumberEdited();

    AppState& state_;
    SessionControl& session_;
    std::unique_ptr<Ui::SettingsForm> ui_;
    std::u16string originalUin_;  // the active profile when the form was opened
    bool opened_ = false;
    bool numberIsNew_ = false;  // the number shown names no stored profile
};

}  // namespace pellox::ui
