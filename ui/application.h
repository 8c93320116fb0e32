// The application object: starts Pellox, owns the main frame, the network session
// and the background history loader, carries out the application-level commands of
// the menus, delivers the model's posted changes on the user-interface thread, and
// announces incoming messages.
//
// Start-up (Start), in this order:
//   1. the settings and the active profile's contact list are loaded (ReloadAll);
//      a file that cannot be read (or later written) is told in a warning box;
//      the interface takes the language of the setting "language" (see
//      ChosenLanguage): a change of it shows at the next start;
//   2. the main frame is created with the contact list as its first view and shown;
//   3. the history loader starts at idle priority;
//   4. the network worker starts at below-normal priority;
//   5. with "autoconnect" set, the Connect command runs as if chosen from the menu.
// Without any profile (a first start) the settings form is shown instead of the
// contact list, so that the number and password can be typed in.
//
// One's own status: the entries of the submenu "Статус" other than "Отключить"
// remember their presence as the active profile's "status" and, while connected,
// send it at once, or, while disconnected, connect with it; the connect command
// always signs on with the remembered one. The header strip shows one's number
// with that presence while connected, offline otherwise. "Видим только для своих"
// switches the visibility item of the server list while connected.
//
// Threads: everything here runs on the user-interface thread except
//   - the poster installed on the AppState (any thread): it queues the change as an
//     invocation of this object, so that every posted change reaches the listeners
//     on the user-interface thread, one at a time, in posting order;
//   - the Announcer members (network threads): MainWindowActive reads a flag the
//     user-interface thread keeps; ShowNotification and PlaySound hand the work
//     over to the user-interface thread and return at once;
//   - the history loader (its own thread): waits for a change of the current
//     contact, loads that contact's history and posts ConversationChanged.
//
// ShowNotification returns true as soon as the announcement is handed over: the
// decision is then taken on the user-interface thread by MessageAnnouncer, which
// shows the notification while no window of the application is active and plays
// the sound instead when a window is active or the notification service refuses
// or does not answer. So the rule "notification in the background, otherwise or
// on failure the sound" holds without the network thread waiting for the bus.
//
// A server certificate the session would not use (the sign-on ended in
// ConnectionError, the status line says why): one nobody vouches for is shown with
// its SHA-256 fingerprint and "Доверять этому сертификату?", once however often it
// comes meanwhile; "Да" pins it for the active profile's server ("tlspin") and
// connects again. A certificate other than the pinned one is told in a notice
// naming both fingerprints, and nothing connects.
//
// Shut-down (Stop, also run by the destructor): closing the main window ends the
// event loop; Stop then ends the background loops of the model, stops the session
// (its worker and receive threads are joined; no sign-off is sent) and joins the
// history loader, so nothing touches the model or this object afterwards.
#pragma once

#include <QCoreApplication>
#include <QDBusConnection>
#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <atomic>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "protocol/announcer.h"
#include "protocol/messenger_session.h"
#include "store/app_state.h"
#include "ui/form_view.h"
#include "ui/language.h"
#include "ui/main_frame.h"

namespace pellox::ui {

class DesktopNotifier;
class MessageAnnouncer;
class PeopleCommands;
class SoundPlayer;

class Application : public QObject,
                    public CommandTarget,
                    public Announcer,
                    public AppStateListener {
    Q_OBJECT

public:
    // `state` must outlive the application. Notifications go to the notification
    // service on `bus`; without one, on the session bus, connected to when the first
    // notification is shown. Sounds are looked for in `soundFolders`.
    explicit Application(AppState& state, std::optional<QDBusConnection> bus = std::nullopt,
                         QStringList soundFolders = {}, QObject* parent = nullptr);
    ~Application() override;
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // Runs the start-up once; false when the contact list view could not be shown.
    bool Start();
    // Stops the history loader and the session; idempotent.
    void Stop();

    AppState& state() const { return state_; }
    MessengerSession& session() { return *session_; }
    // The main frame; null before Start.
    CMainFrame* frame() const { return frame_.get(); }
    SoundPlayer& sounds() const { return *sounds_; }
    MessageAnnouncer& messageAnnouncer() const { return *announcer_; }
    // The commands of the people features, offered every command first.
    PeopleCommands& people() const { return *people_; }

    // ---- Commands (the frame's application target) ----
    bool OnCommand(int id) override;
    std::optional<CommandState> QueryCommand(int id) override;

    // ---- Announcer (network threads) ----
    bool MainWindowActive() override;
    bool ShowNotification(const std::u16string& title, const std::u16string& body) override;
    bool ShowStringNotification(const NotificationTitle& title, int stringId,
                                const std::vector<std::u16string>& args) override;
    bool ShowFileOffer(const std::u16string& title, const std::u16string& fileName,
                       std::uint64_t size) override;
    void PlaySound(const std::u16string& fileName) override;
    // A message that was not sent: a notice over the main window names the contact
    // and the reason (one notice for a burst), and the text goes back into the
    // contact's draft, the input box when its conversation is shown (handed over to
    // the user-interface thread).
    void MessageNotSent(const std::u16string& displayName, const std::u16string& uin,
                        const std::u16string& text, std::uint16_t reason) override;

    // ---- AppStateListener: keeps the soft keys' enabling current ----
    void OnAppStateChange(ChangeCode code, const ContactPtr& contact) override;

    // The command that connects with the active profile: its server (profile key
    // "server", or the ICQ login server when empty), its UIN, its password, its
    // remembered status, its login ("login"), TLS ("tls") and the certificate
    // pinned for that server ("tlspin").
    void ConfigureFileTransfers(const std::u16string& server) const;
    ConnectCommand MakeConnectCommand() const;
    // The open question about a certificate, null when none is open.
    QMessageBox* certificateQuestion() const { return certificateQuestion_; }

    // True while the history loader thread runs.
    bool historyLoaderRunning() const { return loaderRunning_.load(); }
    // The open authorization request windows, oldest first ("Разрешить" and
    // "Отказать" answer and close them; "Позже", Escape and closing the window
    // leave the request unanswered).
    QList<QMessageBox*> authorizationWindows() const;
    // The numbers whose authorization requests wait for an answer, oldest first.
    std::vector<std::u16string> pendingAuthorizations() const;

    // Authorization requests wait in a list, one per number (a repeated request
    // updates its text), at most kMaxAuthRequests (the oldest goes first). A new
    // request gets a window of its own while fewer than this many are open; the
    // others wait for a window to be answered, or for "Запросы авторизации"
    // (cmd::kAuthRequests), which opens windows for the waiting ones, oldest first.
    static constexpr int kMaxAuthorizationWindows = 3;
    static constexpr int kAutoconnectLatestMs = 1000;

signals:
    // A posted change (its ChangeCode) was delivered to the listeners, after them.
    void changeDelivered(int code);

private:
    void Connect();
    void Disconnect();
    // The server a pin of the active profile belongs to (ServerIdentity with TLS).
    static std::u16string PinServerOf(const Settings& settings);
    void AskAboutCertificate(const CertificateProblem& problem);
    void TrustCertificate(const CertificateProblem& problem);
    // Asks the question (its "%1" the current contact's name); "Да" runs the action
    // on that contact while it is still listed.
    void AskToDelete(int questionId, void (Application::*action)(const ContactPtr&));
    void DeleteContact(const ContactPtr& contact);
    void DeleteConversation(const ContactPtr& contact);
    void ToggleOnlyOnline();
    void ChooseStatus(std::int32_t presence);
    void ToggleVisibility();
    // One's own picture (ui/own_picture.cpp): the file dialog, then the picture
    // made from the chosen file; or none. The server list follows either way.
    void ChoosePicture();
    void UsePictureFile(const QString& path);
    void SetPictureName(const std::string& name);
    bool HasPicture() const;
    // The header strip's number and presence icon, from the settings and the
    // connection state.
    void RefreshOwnPresence();
    // An authorization request not yet answered.
    struct PendingAuthorization {
        std::u16string uin;
        std::u16string name;  // the display name when the request came
        std::u16string text;
        bool opened = false;  // has had a window (then only the menu opens it again)
    };
    // Takes the session's new requests into the list and opens their windows.
    void TakeAuthorizationRequests();
    // Opens windows for waiting requests (with `again`, also those whose window was
    // closed unanswered) while fewer than kMaxAuthorizationWindows are open.
    void OpenAuthorizationWindows(bool again);
    QMessageBox* AuthorizationWindow(const std::u16string& uin) const;
    void AnswerAuthorization(const std::u16string& uin, bool grant);
    void ShowContacts();
    void MessageSent();
    void OpenUserForm(bool addMode);
    void HistoryLoader();
    void Deliver(ChangeCode code, const ContactPtr& contact);
    // The box that tells of a stored file that could not be read or written.
    void ShowStoreProblem(const StoreProblem& problem);
    void RefreshWindowActive();
    FrameView* MakeView(ViewKind kind, QWidget* parent);
    // The automatic sign-on waits for the first frame to be on screen (after the
    // frame's first paint), so that it does not compete with drawing it; a window
    // that is not painted (started minimised) signs on kAutoconnectLatestMs after
    // start-up.
    void AutoconnectAfterFirstFrame();
    void RunPendingAutoconnect();
    bool eventFilter(QObject* watched, QEvent* event) override;

    AppState& state_;
    std::unique_ptr<MessengerSession> session_;
    std::unique_ptr<NetSessionControl> control_;
    std::unique_ptr<PeopleCommands> people_;
    std::unique_ptr<SoundPlayer> sounds_;
    std::unique_ptr<DesktopNotifier> notifier_;
    std::unique_ptr<MessageAnnouncer> announcer_;
    std::unique_ptr<CMainFrame> frame_;

    std::thread loader_;
    std::atomic<bool> loaderRunning_{false};
    // The loader loads a history only while the frame exists.
    std::atomic<bool> frameAlive_{false};
    // Kept by the user-interface thread for MainWindowActive.
    std::atomic<bool> windowActive_{false};
    std::deque<PendingAuthorization> authorizations_;
    QPointer<QMessageBox> certificateQuestion_;
    // The one-shot add flag: the next contact form opens in add mode.
    bool addMode_ = false;
    bool autoconnectPending_ = false;
    bool started_ = false;
    bool stopped_ = false;
};

}  // namespace pellox::ui
