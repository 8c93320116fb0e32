// The application's commands of the people features, carried out for it: the
// forms (search, details, own details, the ignored numbers), ignoring a contact,
// "always invisible to" and "always visible to", the setting "onlylisted"
// ("Сообщения только от контактов из списка", saved at once), the away text
// asked when an away-type status is chosen, and a contact's away text asked when
// its conversation opens. The application offers every command here first.
//
// Away texts: choosing "Отсутствую", "Нет на месте", "Занят" or "Не беспокоить"
// opens a box that asks for the text of that status (the last one filled in);
// "ОК" keeps the text as the active profile's key for the status
// (AwayTextKey) and then chooses the status as the application does; "Отмена"
// chooses nothing. When the conversation of a contact in such a status is shown,
// its text is asked for (the session asks each once per status).
//
// Everything here runs on the user-interface thread.
#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <optional>

#include "store/app_state.h"
#include "ui/main_frame.h"

class QDialog;
class QLineEdit;

namespace pellox {
class MessengerSession;
}

namespace pellox::ui {

class SessionControl;

// How often the held-back count of strangers is looked at.
inline constexpr int kHeldBackCheckMs = 10000;

class PeopleCommands : public QObject, public CommandTarget, public AppStateListener {
    Q_OBJECT

public:
    // `chooseStatus` chooses one's own presence as the menu does.
    PeopleCommands(AppState& state, MessengerSession& session, SessionControl& control,
                   std::function<void(std::int32_t)> chooseStatus);
    ~PeopleCommands() override;

    // Registers the people forms with the frame and follows its views.
    void Attach(CMainFrame* frame);
    FrameView* MakeView(ViewKind kind, QWidget* parent);

    bool OnCommand(int id) override;
    std::optional<CommandState> QueryCommand(int id) override;
    void OnAppStateChange(ChangeCode code, const ContactPtr& contact) override;

    // The open box that asks for an away text, or null.
    QDialog* awayTextBox() const { return awayBox_; }
    QLineEdit* awayTextEdit() const;

private:
    bool Connected() const;
    bool ListLoaded() const;
    void AskAwayText(std::int32_t presence);
    void TogglePrivacy(std::uint16_t list);
    void Ignore();
    // The current contact's away text, when its conversation is shown and its
    // presence is of the away kind.
    void AskContactsAwayText();

    AppState& state_;
    MessengerSession& session_;
    SessionControl& control_;
    std::function<void(std::int32_t)> chooseStatus_;
    QPointer<CMainFrame> frame_;
    QPointer<QDialog> awayBox_;
    QTimer heldBack_;
};

}  // namespace pellox::ui
