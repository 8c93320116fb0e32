#include "ui/application.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QDir>
#include <QPushButton>
#include <QStandardPaths>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <cstring>
#include <utility>
#include <variant>

#include "net/address.h"
#include "net/text_encoding.h"
#include "platform/endpoint.h"
#include "platform/thread.h"
#include "protocol/file_transfer.h"
#include "ui/transfer_strip.h"
#include "protocol/presence.h"
#include "resources/command_ids.h"
#include "resources/strings.h"
#include "ui/contact_picture.h"
#include "ui/contacts_view.h"
#include "ui/desktop_notifier.h"
#include "ui/drawing_kit.h"
#include "ui/history_search_view.h"
#include "ui/message_box.h"
#include "ui/message_view.h"
#include "ui/people_commands.h"
#include "ui/session_probe.h"
#include "ui/settings_view.h"
#include "ui/sound_player.h"
#include "ui/user_view.h"

namespace pellox::ui {

namespace {

constexpr int kOpeningConnection = static_cast<int>(ConnState::OpeningConnection);
constexpr int kOnline = static_cast<int>(ConnState::Online);

// The entries of the submenu "Статус" that choose one's own presence.
struct StatusEntry {
    int command;
    std::int32_t presence;
};
constexpr StatusEntry kStatusEntries[] = {
    {cmd::kStatusOnline, StatusOnline},         {cmd::kStatusFreeForChat, StatusFreeForChat},
    {cmd::kStatusAway, StatusAway},             {cmd::kStatusNotAvailable, StatusNotAvailable},
    {cmd::kStatusOccupied, StatusOccupied},     {cmd::kStatusDoNotDisturb, StatusDoNotDisturb},
    {cmd::kStatusInvisible, StatusInvisible},
};

std::optional<std::int32_t> PresenceOfCommand(int id) {
    for (const StatusEntry& entry : kStatusEntries) {
        if (entry.command == id) return entry.presence;
    }
    return std::nullopt;
}

// The active profile's remembered presence: online when the key is missing or
// holds anything but a presence one can sign on with.
std::int32_t OwnPresence(const Settings& settings) {
    const auto profile = settings.profiles.find(settings.profile);
    if (profile == settings.profiles.end()) return StatusOnline;
    const auto value = profile->second.values.find(kStatusKey);
    if (value == profile->second.values.end() || value->second.size() != 1) return StatusOnline;
    const std::int32_t presence = value->second[0] - u'0';
    return IsPresenceStatus(presence) && presence != StatusOffline ? presence : StatusOnline;
}

// A contact as a notice names it: "name (number)", or the number alone when it
// has no other name.
QString NameAndNumber(const std::u16string& name, const std::u16string& uin) {
    QString text = QString::fromStdU16String(name);
    if (name != uin) text += QStringLiteral(" (%1)").arg(QString::fromStdU16String(uin));
    return text;
}

}  // namespace

Application::Application(AppState& state, std::optional<QDBusConnection> bus,
                         QStringList soundFolders, QObject* parent)
    : QObject(parent),
      state_(state),
      session_(std::make_unique<MessengerSession>(state, this)),
      control_(std::make_unique<NetSessionControl>(*session_)),
      people_(std::make_unique<PeopleCommands>(state, *session_, *control_,
                                               [this](std::int32_t presence) { ChooseStatus(presence); })),
      sounds_(std::make_unique<SoundPlayer>(
          soundFolders.isEmpty() ? SoundPlayer::DefaultSoundFolders() : std::move(soundFolders))),
      notifier_(bus ? std::make_unique<DesktopNotifier>(std::move(*bus))
                    : std::make_unique<DesktopNotifier>()) {
    state_.SetUiThread();
    announcer_ = std::make_unique<MessageAnnouncer>(
        *notifier_, *sounds_,
        [this](int id) {
            // A choice on the notification: "Закрыть" minimises whatever view is
            // shown (a form would take command 1 as its own "ok"), "Открыть" brings
            // the contact list back.
            if (frame_ == nullptr) return;
            if (id == cmd::kOk) {
                frame_->showMinimized();
            } else {
                OnCommand(id);
            }
            frame_->UpdateCommandUi();
        },
        [this] {
            RefreshWindowActive();
            return windowActive_.load();
        });
    connect(qApp, &QGuiApplication::applicationStateChanged, this,
            [this] { RefreshWindowActive(); });
    connect(qApp, &QGuiApplication::focusWindowChanged, this, [this] { RefreshWindowActive(); });
    // Threads end before the windows go, whichever way the event loop ends.
    connect(qApp, &QCoreApplication::aboutToQuit, this, &Application::Stop);
    // A certificate the session would not use: asked about on this thread.
    session_->SetCertificateHandler([this](const CertificateProblem& problem) {
        QMetaObject::invokeMethod(
            this, [this, problem] { AskAboutCertificate(problem); }, Qt::QueuedConnection);
    });
    // Fetched pictures are kept only when they decode.
    session_->Icons().SetImageCheck(&DecodesAsPicture);
}

Application::~Application() {
    Stop();
    frame_.reset();
}

// ---- Start-up and shut-down ----------------------------------------------------------

bool Application::Start() {
    if (started_ || stopped_) return false;
    started_ = true;

    state_.SetUiThread();
    // A settings or contact file that cannot be read or written is told in a box
    // over the main window, from whichever thread met it.
    state_.SetProblemReporter([this](const StoreProblem& problem) {
        QMetaObject::invokeMethod(
            this, [this, problem] { ShowStoreProblem(problem); }, Qt::QueuedConnection);
    });
    state_.ReloadAll();
    (void)UseLanguage(
        ChosenLanguage(state_.ReadSettings([](const Settings& s) { return s.language; })));
    // Every change a background thread announces comes back here, queued, and is
    // delivered in posting order.
    state_.SetPoster([this](ChangeCode code, ContactPtr contact) {
        QMetaObject::invokeMethod(
            this, [this, code, contact = std::move(contact)] { Deliver(code, contact); },
            Qt::QueuedConnection);
    });

    frame_ = std::make_unique<CMainFrame>();
    frame_->SetApplicationTarget(this);
    for (ViewKind kind : {ViewKind::Contacts, ViewKind::Message, ViewKind::User,
                          ViewKind::Settings, ViewKind::HistorySearch}) {
        frame_->RegisterView(kind, [this, kind](QWidget* parent) { return MakeView(kind, parent); });
    }
    people_->Attach(frame_.get());
    const bool shown = frame_->SwitchView(ViewKind::Contacts, menubar::kMain);
    RefreshOwnPresence();
    // A first start: nothing to sign on with until the number is typed in.
    const bool noProfile = state_.ReadSettings([](const Settings& s) {
        return s.profile.empty() && std::none_of(s.profiles.begin(), s.profiles.end(),
                                                 [](const auto& p) { return !p.first.empty(); });
    });
    if (noProfile) frame_->SwitchView(ViewKind::Settings, menubar::kSettings);
    frame_->show();
    frameAlive_.store(true);
    state_.AddListener(this);
    RefreshWindowActive();

    loaderRunning_.store(true);
    loader_ = platform::StartThread(platform::ThreadPriority::Idle, [this] {
        HistoryLoader();
        loaderRunning_.store(false);
    });
    session_->StartWorker();

    const bool autoconnect = state_.ReadSettings([](const Settings& s) { return s.autoconnect; });
    if (autoconnect) AutoconnectAfterFirstFrame();
    return shown;
}

void Application::AutoconnectAfterFirstFrame() {
    autoconnectPending_ = true;
    frame_->installEventFilter(this);
    QTimer::singleShot(kAutoconnectLatestMs, this, [this] { RunPendingAutoconnect(); });
}

bool Application::eventFilter(QObject* watched, QEvent* event) {
    if (autoconnectPending_ && watched == frame_.get() && event->type() == QEvent::Paint) {
        // Queued: runs once the whole window is painted and on screen.
        QMetaObject::invokeMethod(
            this, [this] { RunPendingAutoconnect(); }, Qt::QueuedConnection);
    }
    return QObject::eventFilter(watched, event);
}

void Application::RunPendingAutoconnect() {
    if (!autoconnectPending_) return;
    autoconnectPending_ = false;
    if (frame_ == nullptr || stopped_) return;
    frame_->removeEventFilter(this);
    frame_->RouteCommand(cmd::kConnect);
}

void Application::Stop() {
    if (stopped_) return;
    stopped_ = true;
    frameAlive_.store(false);
    state_.RemoveListener(this);
    // Wakes the history loader; the session joins its worker and receive threads
    // without sending anything.
    state_.Shutdown();
    session_->Shutdown();
    if (loader_.joinable()) loader_.join();
    // No thread is left that could post.
    state_.SetPoster({});
    state_.SetProblemReporter({});
}

void Application::ShowStoreProblem(const StoreProblem& problem) {
    const QString file = QString::fromStdString(problem.path);
    const QString error = QString::fromLocal8Bit(std::strerror(problem.error));
    ShowWarning(
        frame_.get(),
        LoadQString(problem.reading ? str::kFileNotRead : str::kFileNotSaved).arg(file, error));
}

void Application::HistoryLoader() {
    while (state_.running.load() && state_.WaitForChange(ChangeCode::CurrentContactChanged)) {
        BusyScope busy(state_);
        const ContactPtr contact = state_.CurrentContact();
        if (contact == nullptr) continue;
        if (contact->History() == nullptr) {
            if (!frameAlive_.load()) continue;
            (void)state_.GetHistory(contact);
        }
        if (state_.CurrentContact() == contact) {
            state_.Notify(ChangeCode::ConversationChanged, contact, true);
        }
    }
}

void Application::Deliver(ChangeCode code, const ContactPtr& contact) {
    state_.Notify(code, contact, false);
    emit changeDelivered(static_cast<int>(code));
}

FrameView* Application::MakeView(ViewKind kind, QWidget* parent) {
    switch (kind) {
        case ViewKind::Contacts:
            return new CContactsView(state_, SessionProbe::Of(*session_), parent);
        case ViewKind::User: {
            const UserFormMode mode = addMode_ ? UserFormMode::Add : UserFormMode::Information;
            addMode_ = false;
            return new CUserView(state_, *control_, mode, parent);
        }
        case ViewKind::Settings:
            return new CSettingsView(state_, *control_, parent);
        case ViewKind::Message: {
            auto* view = new CMessageView(state_, *control_, *sounds_, parent);
            view->SetFileTransfers(&session_->Files());
            return view;
        }
        case ViewKind::HistorySearch:
            return new CHistorySearchView(state_, parent);
        case ViewKind::PeopleSearch:
        case ViewKind::PeopleDetails:
        case ViewKind::OwnDetails:
        case ViewKind::IgnoredList:
            return people_->MakeView(kind, parent);
    }
    return nullptr;
}

// ---- Commands ------------------------------------------------------------------------

std::optional<CommandState> Application::QueryCommand(int id) {
    if (std::optional<CommandState> people = people_->QueryCommand(id)) return people;
    const int connection = static_cast<int>(session_->State());
    if (const std::optional<std::int32_t> presence = PresenceOfCommand(id)) {
        // Not while a sign-on is under way: it would race the initial status.
        const bool chosen =
            state_.ReadSettings([](const Settings& s) { return OwnPresence(s); }) == *presence;
        return CommandState{connection < kOpeningConnection || connection >= kOnline, chosen};
    }
    switch (id) {
        case cmd::kConnect:
            return CommandState{connection < kOpeningConnection};
        case cmd::kDisconnect:
            return CommandState{connection >= kOpeningConnection};
        case cmd::kLoadContacts:
            return CommandState{connection >= kOnline};
        case cmd::kAddContact:
        case cmd::kSettings:
        case cmd::kSearchHistory:
        case cmd::kShowContacts:
        case cmd::kOk:
        case cmd::kExit:
            return CommandState{};
        case cmd::kContactInfo:
        case cmd::kWrite:
        case cmd::kDeleteContact:
        case cmd::kDeleteConversation:
        case cmd::kMessageSent:
            return CommandState{state_.CurrentContact() != nullptr};
        case cmd::kShowOnlyOnline: {
            const bool on = state_.ReadSettings([](const Settings& s) { return s.onlyonline; });
            return CommandState{true, on};
        }
        case cmd::kAuthRequests:
            return CommandState{!authorizations_.empty()};
        case cmd::kVisibleToListOnly:
            return CommandState{connection >= kOnline,
                                session_->ServerList().VisibleToListOnly()};
        case cmd::kChoosePicture:
            return CommandState{};
        case cmd::kRemovePicture:
            return CommandState{HasPicture()};
        default:
            return std::nullopt;
    }
}

bool Application::OnCommand(int id) {
    if (frame_ == nullptr) return false;
    if (people_->OnCommand(id)) return true;
    if (const std::optional<std::int32_t> presence = PresenceOfCommand(id)) {
        ChooseStatus(*presence);
        return true;
    }
    switch (id) {
        case cmd::kConnect:
            Connect();
            return true;
        case cmd::kDisconnect:
            Disconnect();
            return true;
        case cmd::kLoadContacts:
            session_->EnqueueCommand(LoadContactsCommand{});
            return true;
        case cmd::kChoosePicture:
            ChoosePicture();
            return true;
        case cmd::kRemovePicture:
            SetPictureName({});
            return true;
        case cmd::kAddContact:
            OpenUserForm(true);
            return true;
        case cmd::kContactInfo:
            if (state_.CurrentContact() != nullptr) OpenUserForm(false);
            return true;
        case cmd::kSettings:
            frame_->SwitchView(ViewKind::Settings, menubar::kSettings);
            return true;
        case cmd::kSearchHistory:
            frame_->SwitchView(ViewKind::HistorySearch, menubar::kHistorySearch);
            return true;
        case cmd::kWrite:
            if (state_.CurrentContact() != nullptr) {
                frame_->SwitchView(ViewKind::Message, menubar::kMessage);
            }
            return true;
        case cmd::kDeleteContact:
            AskToDelete(str::kDeleteContactQuestion, &Application::DeleteContact);
            return true;
        case cmd::kDeleteConversation:
            AskToDelete(str::kDeleteConversationQuestion, &Application::DeleteConversation);
            return true;
        case cmd::kShowOnlyOnline:
            ToggleOnlyOnline();
            return true;
        case cmd::kVisibleToListOnly:
            ToggleVisibility();
            return true;
        case cmd::kShowContacts:
            ShowContacts();
            return true;
        case cmd::kMessageSent:
            MessageSent();
            return true;
        case cmd::kAuthRequests:
            OpenAuthorizationWindows(true);
            return true;
        case cmd::kOk:
            frame_->showMinimized();
            return true;
        case cmd::kExit:
            frame_->close();
            return true;
        default:
            return false;
    }
}

// Received files go to the XDG download folder (~/Downloads without one); the
// transfer proxy is looked for on the login server's host.
void Application::ConfigureFileTransfers(const std::u16string& server) const {
    FileTransferConfig config = session_->Files().Config();
    const QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    config.downloads = downloads.isEmpty() || downloads == QDir::homePath() ? QDir::homePath().toStdString() + "/Downloads"
                                                                           : downloads.toStdString();
    platform::HostPort where;
    config.proxyHost = platform::ParseHostPort(EncodeUtf8(server), kDefaultPort, where) ? where.host : std::string();
    config.proxyPort = kTransferProxyPort;
    session_->Files().SetConfig(config);
}

ConnectCommand Application::MakeConnectCommand() const {
    // A copy, so that asking for the password of a profile without one does not
    // add that profile to the stored settings.
    Settings settings = state_.GetSettings();
    std::u16string server = LoginServerOf(settings);
    std::u16string uin = settings.profile;
    std::u16string password = settings.Password();
    const Profile& profile = settings.profiles[settings.profile];
    ConfigureFileTransfers(server);
    ConnectCommand command{std::move(server), std::move(uin), std::move(password),
                           OwnStatusBits(OwnPresence(settings))};
    command.md5Login = UsesMd5Login(profile);
    command.tls = UsesTls(profile);
    if (command.tls) {
        command.tlsPin = NarrowFromWide(PinnedCertificate(profile, PinServerOf(settings)));
    }
    return command;
}

std::u16string Application::PinServerOf(const Settings& settings) {
    const std::string identity = ServerIdentity(NarrowFromWide(LoginServerOf(settings)), true);
    return std::u16string(identity.begin(), identity.end());
}

void Application::AskAboutCertificate(const CertificateProblem& problem) {
    if (frame_ == nullptr) return;
    const QString server = QString::fromStdString(problem.server);
    const QString fingerprint = QString::fromStdString(problem.fingerprint);
    if (problem.changed) {
        ShowNotice(frame_.get(), LoadQString(str::kCertificateChanged)
                                     .arg(server, QString::fromStdString(problem.pinned), fingerprint));
        return;
    }
    if (!problem.canPin) {
        ShowNotice(frame_.get(), LoadQString(str::kCertificateNotTrusted).arg(fingerprint));
        return;
    }
    // One question for a certificate, however often it is met meanwhile.
    if (certificateQuestion_ != nullptr &&
        certificateQuestion_->property("fingerprint").toString() == fingerprint) {
        return;
    }
    certificateQuestion_ =
        AskYesNo(frame_.get(), LoadQString(str::kCertificateQuestion).arg(server, fingerprint),
                 [this, problem] { TrustCertificate(problem); });
    certificateQuestion_->setWindowTitle(LoadQString(str::kCertificateTitle));
    certificateQuestion_->setProperty("fingerprint", fingerprint);
}

void Application::TrustCertificate(const CertificateProblem& problem) {
    const std::u16string server(problem.server.begin(), problem.server.end());
    const std::u16string fingerprint(problem.fingerprint.begin(), problem.fingerprint.end());
    // Pinned for the active profile only while it still signs on there over TLS.
    const bool pinned = state_.UpdateSettings([&](Settings& settings) {
        Profile& profile = settings.profiles[settings.profile];
        if (!UsesTls(profile) || PinServerOf(settings) != server) return false;
        PinCertificate(profile, server, fingerprint);
        return true;
    });
    if (!pinned) return;
    (void)state_.SaveSettings();
    if (static_cast<int>(session_->State()) < kOpeningConnection) {
        session_->EnqueueCommand(MakeConnectCommand());
    }
}

void Application::Connect() {
    if (IsConnectedState(static_cast<int>(session_->State()))) return;
    session_->EnqueueCommand(MakeConnectCommand());
}

void Application::Disconnect() {
    // Closing the socket reports Disconnected at once; the receive thread ends on
    // its own, so the user-interface thread never waits for it.
    if (session_->State() != ConnState::Disconnected) control_->CloseSession();
}

void Application::AskToDelete(int questionId, void (Application::*action)(const ContactPtr&)) {
    const ContactPtr contact = state_.CurrentContact();
    if (contact == nullptr) return;
    const QString name = QString::fromStdU16String(contact->Snapshot().DisplayName());
    AskYesNo(frame_.get(), LoadQString(questionId).arg(name), [this, contact, action] {
        // The contact may have left the list while the question was open.
        if (state_.ContainsContact(contact)) (this->*action)(contact);
    });
}

void Application::DeleteContact(const ContactPtr& contact) {
    session_->EnqueueCommand(DeleteContactCommand{contact->Uin()});
    // Bind the history to its file even when it was never opened, so that the file
    // goes with the contact and a contact added later under the same UIN does not
    // inherit the old conversation.
    (void)state_.GetHistory(contact);
    state_.RemoveContact(contact);
}

void Application::DeleteConversation(const ContactPtr& contact) {
    // Loaded first when needed: clearing only a loaded history would leave the
    // file, and the conversation would come back the next time it is opened.
    if (const std::shared_ptr<MessageHistory> history = state_.GetHistory(contact)) {
        history->Clear();
    }
    contact->Update([](ContactInfo& info) { info.unreadCount = 0; });
    state_.Notify(ChangeCode::ContactChanged, contact);
}

void Application::ToggleOnlyOnline() {
    state_.UpdateSettings([](Settings& s) { s.onlyonline = !s.onlyonline; });
    (void)state_.SaveSettings();
    state_.Notify(ChangeCode::FilterChanged);
}

void Application::ChooseStatus(std::int32_t presence) {
    state_.UpdateSettings([presence](Settings& s) {
        s.profiles[s.profile].values[kStatusKey] = std::u16string(1, char16_t(u'0' + presence));
    });
    (void)state_.SaveSettings();
    const int connection = static_cast<int>(session_->State());
    if (connection >= kOnline) {
        session_->EnqueueCommand(StatusCommand{OwnStatusBits(presence)});
    } else if (connection < kOpeningConnection) {
        session_->EnqueueCommand(MakeConnectCommand());
    }
    RefreshOwnPresence();
}

void Application::ToggleVisibility() {
    if (static_cast<int>(session_->State()) < kOnline) return;
    session_->EnqueueCommand(VisibilityCommand{!session_->ServerList().VisibleToListOnly()});
}

void Application::RefreshOwnPresence() {
    if (frame_ == nullptr) return;
    // The two values only, not a copy of every profile's settings.
    const auto [profile, presence] = state_.ReadSettings([](const Settings& s) {
        return std::pair{s.profile, OwnPresence(s)};
    });
    const bool connected = static_cast<int>(session_->State()) >= kOnline;
    frame_->SetOwnPresence(QString::fromStdU16String(profile),
                           connected ? presence : StatusOffline);
}

void Application::ShowContacts() {
    frame_->SwitchView(ViewKind::Contacts, menubar::kMain);
    frame_->ShowMainWindow();
}

void Application::MessageSent() {
    const ContactPtr contact = state_.CurrentContact();
    if (contact == nullptr) return;
    const bool opened = contact->Update([](ContactInfo& info) {
        if (info.conversationOpen()) return false;
        info.SetConversationOpen(true);
        return true;
    });
    if (opened) state_.Notify(ChangeCode::ContactChanged, contact);
    const bool sendclose = state_.ReadSettings([](const Settings& s) { return s.sendclose; });
    if (sendclose) ShowContacts();
}

void Application::OpenUserForm(bool addMode) {
    addMode_ = addMode;
    frame_->SwitchView(ViewKind::User, addMode ? menubar::kUserAdd : menubar::kUserInfo);
    // One shot: consumed by the form made now, or dropped when none was made.
    addMode_ = false;
}

// ---- Model changes -------------------------------------------------------------------

void Application::OnAppStateChange(ChangeCode code, const ContactPtr&) {
    if (frame_ == nullptr) return;
    switch (code) {
        case ChangeCode::AuthorizationRequested:
            TakeAuthorizationRequests();
            break;
        case ChangeCode::ContactRemoved:
        case ChangeCode::CurrentContactChanged:
            frame_->UpdateCommandUi();
            break;
        case ChangeCode::ListReset:  // another profile
        case ChangeCode::ConnectionStateChanged:
            frame_->UpdateCommandUi();
            RefreshOwnPresence();
            break;
        default:
            break;
    }
}

void Application::TakeAuthorizationRequests() {
    while (std::optional<MessengerSession::AuthRequest> request = session_->TakeAuthRequest()) {
        const auto same =
            std::find_if(authorizations_.begin(), authorizations_.end(),
                         [&](const PendingAuthorization& p) { return p.uin == request->uin; });
        if (same != authorizations_.end()) {
            // Asked again: one request per number, with the latest text.
            same->name = request->name;
            same->text = request->text;
            if (QMessageBox* box = AuthorizationWindow(same->uin)) {
                box->setText(LoadQString(str::kAuthorizationQuestion)
                                 .arg(NameAndNumber(same->name, same->uin),
                                      QString::fromStdU16String(same->text)));
            }
            continue;
        }
        if (authorizations_.size() >= kMaxAuthRequests) authorizations_.pop_front();
        authorizations_.push_back(PendingAuthorization{request->uin, request->name, request->text});
    }
    OpenAuthorizationWindows(false);
}

void Application::OpenAuthorizationWindows(bool again) {
    qsizetype open = authorizationWindows().size();
    for (PendingAuthorization& request : authorizations_) {
        if (open >= kMaxAuthorizationWindows) break;
        if ((request.opened && !again) || AuthorizationWindow(request.uin) != nullptr) continue;
        request.opened = true;
        ++open;
        auto* box = new QMessageBox(QMessageBox::Question, LoadQString(str::kAuthorizationTitle),
                                    LoadQString(str::kAuthorizationQuestion)
                                        .arg(NameAndNumber(request.name, request.uin),
                                             QString::fromStdU16String(request.text)),
                                    QMessageBox::NoButton, frame_.get());
        box->setObjectName(QStringLiteral("authorizationRequest"));
        box->setProperty("uin", QString::fromStdU16String(request.uin));
        box->setAttribute(Qt::WA_DeleteOnClose);
        QPushButton* grant =
            box->addButton(LoadQString(str::kGrantAuthorization), QMessageBox::AcceptRole);
        QPushButton* refuse =
            box->addButton(LoadQString(str::kRefuseAuthorization), QMessageBox::ActionRole);
        // Escape and the window's close button choose "Позже": no answer is sent.
        box->setEscapeButton(
            box->addButton(LoadQString(str::kAnswerLater), QMessageBox::RejectRole));
        const std::u16string uin = request.uin;
        connect(box, &QMessageBox::buttonClicked, this,
                [this, grant, refuse, uin](QAbstractButton* button) {
                    if (button == grant || button == refuse)
                        AnswerAuthorization(uin, button == grant);
                });
        connect(box, &QObject::destroyed, this, [this] {
            if (frame_ != nullptr) frame_->UpdateCommandUi();
        });
        box->open();
    }
    frame_->UpdateCommandUi();
}

QMessageBox* Application::AuthorizationWindow(const std::u16string& uin) const {
    const QString number = QString::fromStdU16String(uin);
    for (QMessageBox* box : authorizationWindows()) {
        if (box->property("uin").toString() == number) return box;
    }
    return nullptr;
}

void Application::AnswerAuthorization(const std::u16string& uin, bool grant) {
    session_->EnqueueCommand(AuthReplyCommand{uin, grant});
    std::erase_if(authorizations_, [&](const PendingAuthorization& p) { return p.uin == uin; });
    if (QMessageBox* box = AuthorizationWindow(uin)) box->close();
    // The window frees a place for a request that has not had one yet.
    OpenAuthorizationWindows(false);
}

QList<QMessageBox*> Application::authorizationWindows() const {
    QList<QMessageBox*> open;
    if (frame_ == nullptr) return open;
    for (QMessageBox* box : frame_->findChildren<QMessageBox*>(QStringLiteral("authorizationRequest"))) {
        if (box->isVisible()) open << box;
    }
    return open;
}

std::vector<std::u16string> Application::pendingAuthorizations() const {
    std::vector<std::u16string> numbers;
    for (const PendingAuthorization& request : authorizations_) numbers.push_back(request.uin);
    return numbers;
}

// ---- Announcer -----------------------------------------------------------------------

void Application::RefreshWindowActive() {
    windowActive_.store(QApplication::activeWindow() != nullptr &&
                        QGuiApplication::applicationState() == Qt::ApplicationActive);
}

bool Application::MainWindowActive() {
    return windowActive_.load();
}

bool Application::ShowNotification(const std::u16string& title, const std::u16string& body) {
    // Handed over: the announcer decides on the user-interface thread and falls
    // back to the sound when no notification can be shown (see the header).
    announcer_->Announce(QString::fromStdU16String(title), QString::fromStdU16String(body));
    return true;
}

bool Application::ShowStringNotification(const NotificationTitle& title, int stringId,
                                         const std::vector<std::u16string>& args) {
    // The translation is read-only once installed: any thread may look it up.
    const auto* titleId = std::get_if<int>(&title);
    return ShowNotification(
        titleId != nullptr ? LoadQString(*titleId).toStdU16String() : std::get<std::u16string>(title),
        FormatQString(stringId, args).toStdU16String());
}

bool Application::ShowFileOffer(const std::u16string& title, const std::u16string& fileName,
                                std::uint64_t size) {
    return ShowNotification(title, FileOfferText(fileName, size).toStdU16String());
}

void Application::PlaySound(const std::u16string& fileName) {
    sounds_->Play(QString::fromStdU16String(fileName));
}

void Application::MessageNotSent(const std::u16string& displayName, const std::u16string& uin,
                                 const std::u16string& text, std::uint16_t reason) {
    const int reasonId = MessageNotSentReasonId(reason);
    QString why = LoadQString(reasonId);
    if (reasonId == str::kReasonOther) why = why.arg(reason);
    const QString notice =
        LoadQString(str::kMessageNotSent).arg(NameAndNumber(displayName, uin), why);
    // From a network thread: shown on the user-interface thread.
    QMetaObject::invokeMethod(
        this,
        [this, notice, uin, text] {
            if (frame_ == nullptr) return;
            if (auto* view = qobject_cast<CMessageView*>(frame_->findView(ViewKind::Message))) {
                view->TakeBack(uin, text);
            }
            ShowNotice(frame_.get(), notice);
        },
        Qt::QueuedConnection);
}

}  // namespace pellox::ui
