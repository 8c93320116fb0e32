// The application object without a server: start-up from a seeded data directory,
// the connection states shown, the enabling of the menus, and what each command
// does to the model and the files.
#include "ui/application.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QTest>
#include <thread>

#include "net/session_impl.h"
#include "platform/connection_manager.h"
#include "platform/tls.h"
#include "resources/strings.h"
#include "tests/net/scripted_server.h"
#include "tests/ui/application_test_support.h"
#include "ui/contacts_view.h"
#include "ui/drawing_kit.h"
#include "ui/message_view.h"
#include "ui/sound_player.h"
#include "ui/user_view.h"

using namespace pellox;
using namespace pellox::ui;
using namespace pellox::apptest;

namespace {

QString Text(int stringId) {
    return QString::fromStdU16String(LoadString(stringId));
}

Seed TwoContacts() {
    Seed seed;
    seed.contacts = {Template(u"100002", u"Борис"), Template(u"100003", u"Эхо")};
    return seed;
}

// Reports a state as a network thread does.
void ReportFromThread(Application& app, ConnState code) {
    std::thread([&app, code] { app.session().NetForTesting().CurrentConnection().ReportState(code); }).join();
}

// What does not fit in `view` as it is shown now: children outside it or over one
// another, labels whose text is cut.
QStringList Overlaps(const QWidget* view) {
    QStringList problems;
    const QList<QWidget*> children =
        view->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
    for (const QWidget* child : children) {
        if (!child->isVisible()) continue;
        if (!view->rect().contains(child->geometry())) problems << child->objectName() + " leaves";
        for (const QWidget* other : children) {
            if (other != child && other->isVisible() &&
                child->geometry().intersects(other->geometry())) {
                problems << child->objectName() + " covers " + other->objectName();
            }
        }
        if (const auto* label = qobject_cast<const QLabel*>(child)) {
            const QRect needed =
                QFontMetrics(label->font())
                    .boundingRect(QRect(0, 0, label->width(), 10000),
                                  label->wordWrap() ? Qt::TextWordWrap : 0, label->text());
            if (needed.width() > label->width() || needed.height() > label->height()) {
                problems << label->objectName() + " cuts its text";
            }
        }
    }
    return problems;
}

}  // namespace

class ApplicationTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }

    void startupShowsStoredContactsDisconnected() {
        AppHarness h;
        Seed seed = TwoContacts();
        seed.histories[u"100002"] = {u"привет", u"как дела"};
        h.Start(seed);

        QVERIFY(h.frame().isVisible());
        QCOMPARE(h.frame().activeViewKind(), std::optional<ViewKind>(ViewKind::Contacts));
        QCOMPARE(h.frame().menuBarId(), menubar::kMain);
        QCOMPARE(h.statusText(), Text(str::kDisconnected));
        QCOMPARE(h.app->session().State(), ConnState::Disconnected);

        const auto& entries = h.contactsView()->listPanel().entries();
        QCOMPARE(int(entries.size()), 2);
        QStringList uins;
        for (const ContactPtr& c : entries) uins << QString::fromStdU16String(c->Uin());
        uins.sort();
        QCOMPARE(uins, (QStringList{"100002", "100003"}));
        QVERIFY(h.app->historyLoaderRunning());

        // The list selects a contact; the history loader reads that contact's file
        // off the user-interface thread and announces the conversation.
        const ContactPtr current = h.state->CurrentContact();
        QVERIFY(current != nullptr);
        QTRY_VERIFY(h.Delivered(ChangeCode::ConversationChanged) >= 1);
        QVERIFY(current->History() != nullptr);
        if (current->Uin() == u"100002") QCOMPARE(current->History()->Count(), std::size_t(2));

        // Selecting another contact loads its history too.
        const ContactPtr other = h.state->FindContact(
            current->Uin() == u"100002" ? std::u16string(u"100003") : std::u16string(u"100002"));
        QVERIFY(other->History() == nullptr);
        h.state->SetCurrentContact(other);
        QTRY_VERIFY(other->History() != nullptr);
        QTRY_VERIFY(h.Delivered(ChangeCode::ConversationChanged) >= 2);
    }

    void startupWithoutSettingsFile() {
        // A first run: nothing stored, an empty list, nothing to select; the
        // settings form asks for the number before anything else.
        AppHarness h;
        h.Make();
        QVERIFY(h.app->Start());
        QCOMPARE(h.frame().activeViewKind(), std::optional<ViewKind>(ViewKind::Settings));
        QCOMPARE(h.frame().menuBarId(), menubar::kSettings);
        QVERIFY(h.frame().RouteCommand(cmd::kShowContacts));
        QVERIFY(h.contactsView()->listPanel().entries().empty());
        QCOMPARE(h.statusText(), Text(str::kDisconnected));
        QVERIFY(h.state->CurrentContact() == nullptr);
        QVERIFY(!h.Enabled(cmd::kWrite));
        QVERIFY(!h.frame().softKey(1)->isEnabled());
    }

    void autoconnectWaitsForTheFirstFrame() {
        // The sign-on starts once the window has been painted, not while its first
        // frame is drawn; a window that is not painted (hidden before its first
        // paint, as one started minimised) signs on all the same.
        struct FirstPaint : QObject {
            Application* app = nullptr;
            std::optional<ConnState> stateThen;
            bool eventFilter(QObject*, QEvent* event) override {
                if (event->type() == QEvent::Paint && !stateThen) stateThen = app->session().State();
                return false;
            }
        };
        for (const bool shown : {true, false}) {
            AppHarness h;
            Seed seed = TwoContacts();
            seed.autoconnect = true;
            seed.server = U16("127.0.0.1:" + std::to_string(ClosedPort()));
            h.Start(seed);
            FirstPaint paint;
            paint.app = h.app.get();
            h.frame().installEventFilter(&paint);
            if (!shown) h.frame().hide();
            QCOMPARE(h.app->session().State(), ConnState::Disconnected);
            QVERIFY(h.delivered.empty());

            // Nobody listens there: the attempt ends in a connection error, which stays.
            QTRY_COMPARE(h.statusText(), Text(str::kConnectionError));
            QCOMPARE(h.app->session().State(), ConnState::ConnectionError);
            QVERIFY(h.Enabled(cmd::kConnect));
            QCOMPARE(paint.stateThen, shown ? std::optional(ConnState::Disconnected) : std::nullopt);
        }
    }

    void autoconnectShowsOpeningConnectionFirst() {
        // A data connection that takes a while to come up, as on a handheld: the
        // first state the status line shows after "Отключен" is the opening one.
        platform::SetConnectionDelayForTesting(500);
        AppHarness h;
        Seed seed = TwoContacts();
        seed.autoconnect = true;
        seed.server = U16("127.0.0.1:" + std::to_string(ClosedPort()));
        h.Start(seed);
        QCOMPARE(h.statusText(), Text(str::kDisconnected));
        QTRY_VERIFY(h.statusText() != Text(str::kDisconnected));
        const QString first = h.statusText();
        platform::SetConnectionDelayForTesting(0);
        QCOMPARE(first, Text(str::kOpeningConnection));
        QTRY_COMPARE(h.statusText(), Text(str::kConnectionError));
    }

    void stateReportsChangeTheStatusLine() {
        AppHarness h;
        h.Start(TwoContacts());
        Application& app = *h.app;
        h.state->UpdateAllContacts([](ContactInfo& info) { info.status = 0; });

        ReportFromThread(app, ConnState::OpeningConnection);
        QTRY_COMPARE(h.statusText(), Text(str::kOpeningConnection));
        ReportFromThread(app, ConnState::CheckingPassword);
        QTRY_COMPARE(h.statusText(), Text(str::kCheckingPassword));
        // Online: an empty status line, and nobody is marked offline.
        ReportFromThread(app, ConnState::Online);
        QTRY_COMPARE(h.statusText(), QString());
        for (const ContactPtr& c : h.state->Contacts()) QCOMPARE(c->Snapshot().status, 0);
        ReportFromThread(app, ConnState::LoadingOfflineMessages);
        QTRY_COMPARE(h.statusText(), Text(str::kLoadingOfflineMessages));
        ReportFromThread(app, ConnState::ContactsLoaded);
        QTRY_COMPARE(h.statusText(), QString());

        // Signed off by another client: the reason survives the closing report,
        // and every contact is offline.
        ReportFromThread(app, ConnState::DisconnectedByOtherClient);
        ReportFromThread(app, ConnState::Disconnected);
        QTRY_COMPARE(app.session().State(), ConnState::DisconnectedByOtherClient);
        QTRY_VERIFY(h.Delivered(ChangeCode::ConnectionStateChanged) >= 6);
        QTest::qWait(20);
        QCOMPARE(h.statusText(), Text(str::kDisconnectedByOtherClient));
        for (const ContactPtr& c : h.state->Contacts()) QCOMPARE(c->Snapshot().status, 1);

        // A failed attempt: the error stays through the close that follows.
        ReportFromThread(app, ConnState::OpeningConnection);
        ReportFromThread(app, ConnState::ConnectionError);
        ReportFromThread(app, ConnState::Disconnected);
        QTRY_COMPARE(h.statusText(), Text(str::kConnectionError));
        QTest::qWait(20);
        QCOMPARE(h.statusText(), Text(str::kConnectionError));
    }

    void postedChangesArriveInPostingOrder() {
        AppHarness h;
        h.Start(TwoContacts());
        QTRY_VERIFY(h.Delivered(ChangeCode::ConversationChanged) >= 1);
        h.delivered.clear();
        const ContactPtr contact = h.state->FindContact(u"100002");
        std::vector<int> posted;
        std::thread([&] {
            for (int i = 0; i < 200; ++i) {
                const auto code = static_cast<ChangeCode>(i % 2 == 0 ? 1 : 6);
                posted.push_back(static_cast<int>(code));
                h.state->Notify(code, contact, true);
            }
        }).join();
        QTRY_COMPARE(h.delivered.size(), posted.size());
        QCOMPARE(h.delivered, posted);
    }

    void menuEnablingFollowsTheConnectionState() {
        AppHarness h;
        h.Start(TwoContacts());
        QMenu* menu = h.frame().softKeyMenu(0);
        QVERIFY(menu != nullptr);
        const int statusEntries[] = {cmd::kStatusOnline,       cmd::kStatusFreeForChat,
                                     cmd::kStatusAway,         cmd::kStatusNotAvailable,
                                     cmd::kStatusOccupied,     cmd::kStatusDoNotDisturb,
                                     cmd::kStatusInvisible};
        for (int state = 0; state <= 10; ++state) {
            h.app->session().NetForTesting().SetStateForTesting(static_cast<ConnState>(state));
            QAction* connect = MenuEntry(menu, cmd::kConnect);
            QAction* disconnect = MenuEntry(menu, cmd::kDisconnect);
            QAction* load = MenuEntry(menu, cmd::kLoadContacts);
            QVERIFY(connect && disconnect && load);
            QCOMPARE(connect->isEnabled(), state < 3);
            QCOMPARE(disconnect->isEnabled(), state > 2);
            QCOMPARE(load->isEnabled(), state > 6);
            // Statuses: not while a sign-on is under way; only "В сети" checked
            // (nothing chosen yet).
            for (int id : statusEntries) {
                QAction* entry = MenuEntry(menu, id);
                QVERIFY(entry != nullptr);
                QCOMPARE(entry->isEnabled(), state < 3 || state > 6);
                QCOMPARE(entry->isChecked(), id == cmd::kStatusOnline);
            }
            QAction* visibility = MenuEntry(menu, cmd::kVisibleToListOnly);
            QVERIFY(visibility != nullptr);
            QCOMPARE(visibility->isEnabled(), state > 6);
            QVERIFY(!visibility->isChecked());
            // "Отключить" also in the submenu "Статус".
            int disconnectEntries = 0;
            for (QAction* action : menu->actions()) {
                if (QMenu* sub = action->menu()) {
                    if (QAction* entry = MenuEntry(sub, cmd::kDisconnect)) {
                        QCOMPARE(entry->isEnabled(), state > 2);
                        ++disconnectEntries;
                    }
                }
            }
            QCOMPARE(disconnectEntries, 1);
        }
        h.app->session().NetForTesting().SetStateForTesting(ConnState::Disconnected);
    }

    void menuEnablingFollowsTheCurrentContact() {
        // Only contacts online are listed and nobody is: no current contact.
        AppHarness h;
        Seed seed = TwoContacts();
        seed.onlyonline = true;
        h.Start(seed);
        CMainFrame& frame = h.frame();
        QMenu* menu = frame.softKeyMenu(0);
        const int contactCommands[] = {cmd::kContactInfo, cmd::kDeleteConversation,
                                       cmd::kDeleteContact};
        QVERIFY(h.state->CurrentContact() == nullptr);
        for (int id : contactCommands) QVERIFY(!MenuEntry(menu, id)->isEnabled());
        QVERIFY(!frame.softKey(1)->isEnabled());
        QVERIFY(!h.Enabled(cmd::kWrite));
        QVERIFY(!h.Enabled(cmd::kMessageSent));
        for (int id : {cmd::kAddContact, cmd::kSettings, cmd::kShowOnlyOnline, cmd::kExit}) {
            QVERIFY(MenuEntry(menu, id)->isEnabled());
        }
        // Run anyway (as a posted command could), they change nothing.
        for (int id : {cmd::kContactInfo, cmd::kDeleteContact, cmd::kDeleteConversation,
                       cmd::kMessageSent, cmd::kWrite}) {
            QVERIFY(frame.RouteCommand(id));
            QCOMPARE(frame.activeViewKind(), std::optional<ViewKind>(ViewKind::Contacts));
        }
        QCOMPARE(h.state->ContactCount(), std::size_t(2));

        // A contact comes online and is selected: enabled, the "Написать" key at once.
        const ContactPtr echo = h.state->UpdateContact(u"100003", [](ContactInfo& i) { i.status = 0; });
        h.state->Notify(ChangeCode::ContactChanged, echo);
        h.state->SetCurrentContact(echo);
        QVERIFY(h.state->CurrentContact() == echo);
        for (int id : contactCommands) QVERIFY(MenuEntry(menu, id)->isEnabled());
        QVERIFY(frame.softKey(1)->isEnabled());

        // It goes offline and the list empties: disabled again.
        h.state->UpdateContact(u"100003", [](ContactInfo& i) { i.status = 1; });
        h.state->Notify(ChangeCode::ListReset);
        QVERIFY(h.state->CurrentContact() == nullptr);
        QVERIFY(!frame.softKey(1)->isEnabled());
    }

    void connectCommandUsesTheActiveProfile() {
        AppHarness h;
        Seed seed;
        seed.server = u"127.0.0.1:5190";
        h.Start(seed);
        const ConnectCommand command = h.app->MakeConnectCommand();
        QVERIFY(command.server == u"127.0.0.1:5190");
        QVERIFY(command.uin == u"100001");
        QVERIFY(command.password == u"alice");
        QCOMPARE(command.status, std::uint16_t(0));  // no "status": online, as ever
        // No "login" or "tls": the roasted login in clear text, as ever.
        QVERIFY(!command.md5Login);
        QVERIFY(!command.tls);

        // The remembered status signs on; what is no status to sign on with is online.
        const std::pair<std::u16string, std::uint16_t> statuses[] = {
            {u"2", 0x0001}, {u"7", 0x0100}, {u"1", 0x0000}, {u"8", 0x0000}, {u"25", 0x0000}, {u"x", 0x0000}};
        for (const auto& [stored, bits] : statuses) {
            h.state->UpdateSettings([&](Settings& s) { s.profiles[u"100001"].values[kStatusKey] = stored; });
            QCOMPARE(h.app->MakeConnectCommand().status, bits);
        }

        // An empty server key means the ICQ login server.
        h.state->UpdateSettings([](Settings& s) { s.profiles[u"100001"].values[u"server"] = u""; });
        QVERIFY(h.app->MakeConnectCommand().server == u"login.icq.com");

        // Connecting with a profile that was never stored does not create it.
        h.state->UpdateSettings([](Settings& s) { s.profile = u"424242"; });
        QVERIFY(h.app->MakeConnectCommand().password.empty());
        QCOMPARE(h.state->GetSettings().profiles.count(u"424242"), std::size_t(0));
    }

    void certificateNobodyVouchesForIsPinnedOnlyOnYes() {
        using namespace pellox::testing;
        platform::CertificateAndKey pem, other;
        std::string error;
        QVERIFY(platform::MakeSelfSignedCertificate("localhost", pem, error));
        QVERIFY(platform::MakeSelfSignedCertificate("localhost", other, error));
        const auto certificate = platform::TlsServerContext::FromPem(pem, error);
        QVERIFY(certificate);
        ScriptedServer server;
        server.UseTls(certificate);
        server.AddConnection(Script());  // broken off: the question
        server.AddConnection(Script());  // broken off again: no second question
        server.AddConnection(signon::LoginServer());
        server.AddConnection(signon::MessagingServer());
        server.AddConnection(Script());  // broken off: another pin
        QVERIFY(server.Start());

        AppHarness h;
        Seed seed;
        seed.server = U16(server.Address());
        h.Start(seed);
        h.state->UpdateSettings([](Settings& s) { s.profiles[u"100001"].values[kTlsKey] = u"1"; });
        QVERIFY(h.app->MakeConnectCommand().tls);
        QVERIFY(h.app->MakeConnectCommand().tlsPin.empty());

        // Refused, told in the status line, asked about with the fingerprint.
        QVERIFY(h.frame().RouteCommand(cmd::kConnect));
        QTRY_VERIFY(OpenQuestion(h.frame()) != nullptr);
        const QString fingerprint = QString::fromStdString(certificate->Fingerprint());
        QVERIFY(OpenQuestion(h.frame())->text().contains(fingerprint));
        QVERIFY(OpenQuestion(h.frame())->text().endsWith("Доверять этому сертификату?"));
        QTRY_COMPARE(h.statusText(), Text(str::kLoginCertificateUntrusted));
        QCOMPARE(server.FrameCount(), std::size_t(0));

        // Asked again meanwhile: still the one question.
        QVERIFY(h.frame().RouteCommand(cmd::kConnect));
        QTRY_COMPARE(server.TlsHandshakesFailed(), 2);
        QTRY_COMPARE(h.app->session().State(), ConnState::ConnectionError);
        QTest::qWait(200);  // for the second refusal's event to be delivered
        QCOMPARE(h.frame().findChildren<QMessageBox*>(kQuestionObjectName).size(), 1);

        // "Да": pinned for this profile and server, stored, and connected.
        QVERIFY(Answer(h.frame(), "Да"));
        const std::u16string pinned = U16(server.Address() + " " + certificate->Fingerprint());
        QCOMPARE(h.state->GetSettings().profiles.at(u"100001").values.at(kTlsPinKey), pinned);
        QVERIFY(h.read("settings.txt").contains(QByteArray::fromStdString("tlspin=" + server.Address())));
        QTRY_COMPARE(h.app->session().State(), ConnState::LoadingOfflineMessages);

        // A pin for another certificate: a notice naming both, no connection.
        QVERIFY(h.frame().RouteCommand(cmd::kDisconnect));
        const std::string otherPrint = platform::CertificateFingerprint(other.certificatePem);
        h.state->UpdateSettings([&](Settings& s) {
            PinCertificate(s.profiles[u"100001"], U16(server.Address()), U16(otherPrint));
        });
        QVERIFY(h.frame().RouteCommand(cmd::kConnect));
        QTRY_VERIFY(!h.frame().findChildren<QMessageBox*>(kNoticeObjectName).isEmpty());
        const QString notice = h.frame().findChildren<QMessageBox*>(kNoticeObjectName).front()->text();
        QVERIFY(notice.contains(fingerprint));
        QVERIFY(notice.contains(QString::fromStdString(otherPrint)));
        QTRY_COMPARE(h.statusText(), Text(str::kLoginCertificateChanged));
        QCOMPARE(server.Accepted(), 5);
        QCOMPARE(server.TlsHandshakesFailed(), 3);
    }

    void connectQueuesNothingWhileOnline() {
        AppHarness h;
        Seed seed;
        seed.server = U16("127.0.0.1:" + std::to_string(ClosedPort()));
        h.Start(seed);

        // Online (as far as the menu can tell): the command is refused.
        h.app->session().NetForTesting().SetStateForTesting(ConnState::Online);
        QVERIFY(h.app->OnCommand(cmd::kConnect));
        QTest::qWait(300);
        QCOMPARE(h.app->session().State(), ConnState::Online);
        QCOMPARE(h.Delivered(ChangeCode::ConnectionStateChanged), 0);

        // Offline it is queued and carried out: it fails on the closed port.
        h.app->session().NetForTesting().SetStateForTesting(ConnState::Disconnected);
        QVERIFY(h.frame().RouteCommand(cmd::kConnect));
        QTRY_COMPARE(h.app->session().State(), ConnState::ConnectionError);
        QTRY_COMPARE(h.statusText(), Text(str::kConnectionError));
    }

    void disconnectWhileDisconnectedDoesNothing() {
        AppHarness h;
        h.Start(TwoContacts());
        QVERIFY(h.frame().RouteCommand(cmd::kDisconnect));
        QTest::qWait(100);
        QCOMPARE(h.Delivered(ChangeCode::ConnectionStateChanged), 0);
        QCOMPARE(h.statusText(), Text(str::kDisconnected));
    }

    void deleteContactRemovesItAndItsHistory() {
        AppHarness h;
        Seed seed = TwoContacts();
        seed.contacts.push_back(Template(u"100004", u"Вера"));
        seed.histories[u"100002"] = {u"старое"};
        seed.histories[u"100004"] = {u"вера"};
        h.Start(seed);
        const ContactPtr target = h.state->FindContact(u"100002");
        h.state->SetCurrentContact(target);
        QTRY_VERIFY(target->History() != nullptr);
        QVERIFY(h.exists("msg_100002.txt"));

        // Asked first, by name; "Нет" keeps everything.
        QVERIFY(h.frame().RouteCommand(cmd::kDeleteContact));
        QVERIFY(OpenQuestion(h.frame()) != nullptr);
        QCOMPARE(OpenQuestion(h.frame())->text(), QString("Удалить контакт Борис?"));
        QVERIFY(Answer(h.frame(), "Нет"));
        QVERIFY(h.state->FindContact(u"100002") == target);
        QVERIFY(h.exists("msg_100002.txt"));
        QVERIFY(h.frame().RouteCommand(cmd::kDeleteContact));
        QVERIFY(Answer(h.frame(), "Да"));
        QVERIFY(h.state->FindContact(u"100002") == nullptr);
        QVERIFY(h.state->CurrentContact() != target);
        QVERIFY(!h.exists("msg_100002.txt"));
        const QByteArray list = h.read("contacts_100001.txt");
        QVERIFY(!list.contains("100002"));
        QVERIFY(list.contains("[100003]") && list.contains("[100004]"));
        QCOMPARE(int(h.contactsView()->listPanel().entries().size()), 2);
        // A contact whose history nobody has opened (the loader is stopped): its
        // file goes with it all the same.
        h.app->Stop();
        const ContactPtr unopened = h.state->AddContact(Template(u"100005", u"Гена"), true);
        {
            MessageHistory history(h.path());
            QVERIFY(history.Load("msg_100005.txt"));
            history.Append(MessageEntry{u"давно", 1700000000, MessageDirection::Out});
        }
        h.state->SetCurrentContact(unopened);
        QVERIFY(unopened->History() == nullptr);
        QVERIFY(h.frame().RouteCommand(cmd::kDeleteContact));
        QVERIFY(Answer(h.frame(), "Да"));
        QVERIFY(!h.exists("msg_100005.txt"));
        QVERIFY(h.state->FindContact(u"100005") == nullptr);
        QVERIFY(!h.read("contacts_100001.txt").contains("100005"));
        QCOMPARE(h.state->ContactCount(), std::size_t(2));
    }

    void deleteConversationClearsHistoryAndUnread() {
        AppHarness h;
        Seed seed = TwoContacts();
        seed.histories[u"100002"] = {u"раз", u"два"};
        h.Start(seed);
        const ContactPtr contact = h.state->FindContact(u"100002");
        contact->Update([](ContactInfo& info) { info.unreadCount = 2; });
        h.state->SetCurrentContact(contact);
        QTRY_VERIFY(contact->History() != nullptr);
        QCOMPARE(contact->History()->Count(), std::size_t(2));
        QVERIFY(h.exists("msg_100002.txt"));

        QVERIFY(h.frame().RouteCommand(cmd::kDeleteConversation));
        QCOMPARE(OpenQuestion(h.frame())->text(), QString("Удалить переписку с Борис?"));
        QVERIFY(Answer(h.frame(), "Нет"));
        QCOMPARE(contact->History()->Count(), std::size_t(2));
        QVERIFY(h.frame().RouteCommand(cmd::kDeleteConversation));
        QVERIFY(Answer(h.frame(), "Да"));
        QCOMPARE(contact->History()->Count(), std::size_t(0));
        QCOMPARE(contact->Snapshot().unreadCount, std::uint16_t(0));
        QVERIFY(!h.exists("msg_100002.txt"));
        // The contact itself stays, in the list and in the file.
        QVERIFY(h.state->FindContact(u"100002") == contact);
        QVERIFY(h.read("contacts_100001.txt").contains("[100002]"));

        // Reloading from disk brings nothing back.
        h.app.reset();
        AppState again(h.path());
        again.ReloadAll();
        QCOMPARE(again.GetHistory(again.FindContact(u"100002"))->Count(), std::size_t(0));
    }

    void onlyOnlineToggleIsSavedAndFilters() {
        AppHarness h;
        Seed seed = TwoContacts();
        seed.onlyonline = false;
        h.Start(seed);
        h.state->UpdateContact(u"100003", [](ContactInfo& info) { info.status = 0; });
        QMenu* menu = h.frame().softKeyMenu(0);
        QVERIFY(!MenuEntry(menu, cmd::kShowOnlyOnline)->isChecked());
        QCOMPARE(int(h.contactsView()->listPanel().entries().size()), 2);

        QVERIFY(h.frame().RouteCommand(cmd::kShowOnlyOnline));
        QVERIFY(MenuEntry(menu, cmd::kShowOnlyOnline)->isChecked());
        QVERIFY(h.read("settings.txt").contains("onlyonline=1\r\n"));
        QCOMPARE(int(h.contactsView()->listPanel().entries().size()), 1);

        QVERIFY(h.frame().RouteCommand(cmd::kShowOnlyOnline));
        QVERIFY(!MenuEntry(menu, cmd::kShowOnlyOnline)->isChecked());
        QVERIFY(h.read("settings.txt").contains("onlyonline=0\r\n"));
        QCOMPARE(int(h.contactsView()->listPanel().entries().size()), 2);
        // The password stays in the rewritten file.
        QVERIFY(h.read("settings.txt").contains("passw=alice"));
    }

    void formsAndTheContactList() {
        AppHarness h;
        h.Start(TwoContacts());
        CMainFrame& frame = h.frame();

        QVERIFY(frame.RouteCommand(cmd::kAddContact));
        QCOMPARE(frame.activeViewKind(), std::optional<ViewKind>(ViewKind::User));
        QCOMPARE(frame.menuBarId(), menubar::kUserAdd);
        QCOMPARE(qobject_cast<CUserView*>(frame.activeView())->mode(), UserFormMode::Add);

        QVERIFY(frame.RouteCommand(cmd::kShowContacts));
        QCOMPARE(frame.activeViewKind(), std::optional<ViewKind>(ViewKind::Contacts));
        QCOMPARE(frame.menuBarId(), menubar::kMain);

        // The add flag was used up: information opens in information mode.
        QVERIFY(frame.RouteCommand(cmd::kContactInfo));
        QCOMPARE(frame.menuBarId(), menubar::kUserInfo);
        QCOMPARE(qobject_cast<CUserView*>(frame.activeView())->mode(),
                 UserFormMode::Information);

        QVERIFY(frame.RouteCommand(cmd::kSettings));
        QCOMPARE(frame.activeViewKind(), std::optional<ViewKind>(ViewKind::Settings));
        QCOMPARE(frame.menuBarId(), menubar::kSettings);
        QVERIFY(frame.RouteCommand(cmd::kShowContacts));
        QCOMPARE(frame.activeViewKind(), std::optional<ViewKind>(ViewKind::Contacts));

        // "Написать": the conversation with the current contact, kept between visits.
        QVERIFY(frame.RouteCommand(cmd::kWrite));
        QCOMPARE(frame.activeViewKind(), std::optional<ViewKind>(ViewKind::Message));
        QCOMPARE(frame.menuBarId(), menubar::kMessage);
        auto* conversation = qobject_cast<CMessageView*>(frame.activeView());
        QVERIFY(conversation != nullptr);
        QVERIFY(conversation->shownContact() == h.state->CurrentContact());
        QVERIFY(frame.RouteCommand(cmd::kShowContacts));
        QVERIFY(frame.RouteCommand(cmd::kWrite));
        QCOMPARE(qobject_cast<CMessageView*>(frame.activeView()), conversation);
    }

    // At the smallest window every view's parts fit side by side, and so do the
    // soft keys' texts; the window cannot be made smaller.
    void nothingOverlapsAtTheMinimumSize() {
        QApplication::setFont(ApplicationFont());  // as main() does
        AppHarness h;
        Seed seed = TwoContacts();
        seed.histories[u"100002"] = {u"Привет"};
        h.Start(seed);
        CMainFrame& frame = h.frame();
        frame.resize(100, 100);
        QCOMPARE(frame.size(), QSize(CMainFrame::kMinimumWidth, CMainFrame::kMinimumHeight));
        QTRY_COMPARE(frame.activeView()->width(), CMainFrame::kMinimumWidth);

        for (const int command : {cmd::kShowContacts, cmd::kWrite, cmd::kSettings, cmd::kAddContact,
                                  cmd::kContactInfo, cmd::kFindPeople, cmd::kIgnoredList, cmd::kOwnDetails}) {
            QVERIFY(frame.RouteCommand(cmd::kShowContacts));
            QVERIFY(frame.RouteCommand(command));
            QCoreApplication::processEvents();
            QWidget* view = frame.activeView();
            const QStringList problems = Overlaps(view);
            QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QStringLiteral("; "))));
            for (const auto* key : {frame.softKey(0), frame.softKey(1)}) {
                QVERIFY(key->fontMetrics().horizontalAdvance(key->text()) < key->width());
            }
            if (auto* contacts = qobject_cast<CContactsView*>(view)) {
                QVERIFY(contacts->listPanel().rows() >= 3);
            } else if (auto* conversation = qobject_cast<CMessageView*>(view)) {
                const CMessageView::Layout layout = conversation->CurrentLayout();
                QVERIFY(layout.input.height() >= conversation->fontMetrics().height());
                QVERIFY(layout.history.height() > layout.inputArea.height());
            }
        }
    }

    void messageSentOpensTheConversation() {
        AppHarness h;
        Seed seed = TwoContacts();
        seed.sendclose = false;
        h.Start(seed);
        CMainFrame& frame = h.frame();
        const ContactPtr contact = h.state->FindContact(u"100002");
        h.state->SetCurrentContact(contact);
        QVERIFY(!contact->Snapshot().conversationOpen());

        QVERIFY(frame.RouteCommand(cmd::kSettings));
        QVERIFY(frame.RouteCommand(cmd::kMessageSent));
        QVERIFY(contact->Snapshot().conversationOpen());
        // Without "sendclose" the view stays.
        QCOMPARE(frame.activeViewKind(), std::optional<ViewKind>(ViewKind::Settings));

        h.state->UpdateSettings([](Settings& s) { s.sendclose = true; });
        QVERIFY(frame.RouteCommand(cmd::kMessageSent));
        QVERIFY(contact->Snapshot().conversationOpen());
        QCOMPARE(frame.activeViewKind(), std::optional<ViewKind>(ViewKind::Contacts));
    }

    void minimiseShowAndExit() {
        AppHarness h;
        h.Start(TwoContacts());
        CMainFrame& frame = h.frame();
        QVERIFY(h.app->OnCommand(cmd::kOk));
        QTRY_VERIFY(frame.isMinimized());
        // Still running: the session and the loader are untouched.
        QVERIFY(h.app->historyLoaderRunning());

        QVERIFY(frame.RouteCommand(cmd::kShowContacts));
        QTRY_VERIFY(!frame.isMinimized());
        QVERIFY(frame.isVisible());

        QVERIFY(frame.RouteCommand(cmd::kExit));
        QVERIFY(!frame.isVisible());
    }

    void announcementFromANetworkThread() {
        AppHarness h;
        h.Start(TwoContacts());
        SoundPlayer& sounds = h.app->sounds();
        const int before = sounds.requestCount();

        // No notification service: handed over, then the sound plays instead.
        bool shown = false;
        std::thread([&] {
            AnnounceMessage(*h.app, AnnouncementTitle(u"Борис", u"100002"), u"привет");
            shown = true;
        }).join();
        QVERIFY(shown);
        QTRY_COMPARE(sounds.requestCount(), before + 1);
        QCOMPARE(sounds.lastRequested(), QStringLiteral("alarm2.wav"));

        // The sound asked for directly also reaches the player.
        std::thread([&] { h.app->PlaySound(u"default"); }).join();
        QTRY_COMPARE(sounds.requestCount(), before + 2);
        QCOMPARE(sounds.lastRequested(), QStringLiteral("default"));
    }

    void refusedMessagesGoBackIntoTheirDrafts() {
        AppHarness h;
        h.Start(TwoContacts());
        CMainFrame& frame = h.frame();
        h.state->SetCurrentContact(h.state->FindContact(u"100002"));
        QVERIFY(frame.RouteCommand(cmd::kWrite));
        auto* view = qobject_cast<CMessageView*>(frame.activeView());
        QVERIFY(view != nullptr);
        QApplication::setActiveWindow(&frame);
        QTRY_COMPARE(QApplication::focusWidget(), view->inputBox());
        auto refuse = [&](const std::u16string& uin, const std::u16string& text,
                          std::uint16_t reason) {
            std::thread([&] { h.app->session().OnMessageNotSent(uin, text, reason); }).join();
        };
        auto notices = [&] { return frame.findChildren<QMessageBox*>(kNoticeObjectName); };
        QTest::failOnWarning(QRegularExpression(QStringLiteral("QString::arg")));

        refuse(u"100002", u"первое", 4);
        QTRY_COMPARE(view->inputBox()->toPlainText(), QStringLiteral("первое"));
        QCOMPARE(notices().size(), qsizetype(1));
        QCOMPARE(
            notices().front()->text(),
            QStringLiteral("Сообщение для Борис (100002) не отправлено: получатель недоступен."));
        // A burst: every text comes back, one notice tells the reason once, and
        // the keys typed meanwhile still go into the box.
        for (const char16_t* text : {u"два", u"три\r\nстроки", u"четыре"})
            refuse(u"100002", text, 2);
        QTRY_COMPARE(view->inputBox()->toPlainText(),
                     QStringLiteral("первое\nдва\nтри\nстроки\nчетыре"));
        QCOMPARE(notices().size(), qsizetype(1));
        QCOMPARE(notices().front()->text().count(QStringLiteral("слишком много сообщений подряд")),
                 1);
        QCOMPARE(QApplication::focusWidget(), view->inputBox());
        // Another contact's text waits in its draft.
        refuse(u"100003", u"Эху", 0);
        QTRY_VERIFY(notices().front()->text().contains(QStringLiteral("Эхо (100003)")));
        QVERIFY(frame.RouteCommand(cmd::kShowContacts));
        h.state->SetCurrentContact(h.state->FindContact(u"100003"));
        QVERIFY(frame.RouteCommand(cmd::kWrite));
        QCOMPARE(view->inputBox()->toPlainText(), QStringLiteral("Эху"));
    }

    void authorizationRequestsWaitInAList() {
        AppHarness h;
        h.Start(TwoContacts());
        // A burst from five numbers, one of them asking twice.
        for (const char16_t* uin :
             {u"200001", u"200002", u"200001", u"200003", u"200004", u"200005"}) {
            std::thread([&] { h.app->session().OnAuthRequest(uin, u"Можно?"); }).join();
        }
        using Numbers = std::vector<std::u16string>;
        QTRY_COMPARE(h.app->pendingAuthorizations(),
                     (Numbers{u"200001", u"200002", u"200003", u"200004", u"200005"}));
        auto shown = [&] {
            QStringList numbers;
            for (QMessageBox* box : h.app->authorizationWindows())
                numbers << box->property("uin").toString();
            return numbers;
        };
        QCOMPARE(shown(), (QStringList{"200001", "200002", "200003"}));
        QVERIFY(h.Enabled(cmd::kAuthRequests));

        // Escape leaves the request unanswered; no other window opens by itself.
        QMessageBox* first = h.app->authorizationWindows().front();
        QTest::keyClick(first, Qt::Key_Escape);
        QTRY_COMPARE(shown(), (QStringList{"200002", "200003"}));
        QCOMPARE(h.app->pendingAuthorizations().size(), std::size_t(5));
        // An answer takes its request off the list and lets the waiting ones in.
        auto answer = [&](int string) {
            for (QAbstractButton* button : h.app->authorizationWindows().front()->buttons()) {
                if (button->text() == Text(string)) button->click();
            }
        };
        answer(str::kRefuseAuthorization);
        QTRY_COMPARE(shown(), (QStringList{"200003", "200004", "200005"}));
        answer(str::kGrantAuthorization);
        QTRY_COMPARE(shown(), (QStringList{"200004", "200005"}));
        QCOMPARE(h.app->pendingAuthorizations(), (Numbers{u"200001", u"200004", u"200005"}));
        // The menu entry opens the one left for later.
        QVERIFY(h.frame().RouteCommand(cmd::kAuthRequests));
        QCOMPARE(shown(), (QStringList{"200004", "200005", "200001"}));
    }

    void shutdownStopsEveryThreadPromptly() {
        AppHarness h;
        h.Start(TwoContacts());
        QVERIFY(h.app->historyLoaderRunning());
        QElapsedTimer timer;
        timer.start();
        h.app->Stop();
        QVERIFY(timer.elapsed() < 2000);
        QVERIFY(!h.app->historyLoaderRunning());
        QVERIFY(!h.state->running.load());
        // Stopping twice is harmless, and so is a late post.
        h.app->Stop();
        h.state->Notify(ChangeCode::ListReset, nullptr, true);
        QTest::qWait(20);
    }
};

QTEST_MAIN(ApplicationTest)
#include "application_test.moc"
