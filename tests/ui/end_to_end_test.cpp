// The application against the project's local OSCAR server, in-process on free
// ports: sign-on with the server contact list and presence icons, a chat both ways
// with a second client, the echo account, deleting a contact on the server, being
// signed off by another client, disconnecting, and shutting down while online.
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QDropEvent>
#include <QTest>
#include <QUrl>
#include <memory>
#include <string>

#include "net/session_impl.h"
#include "platform/code_page.h"
#include "protocol/file_transfer.h"
#include "protocol/messenger_session.h"
#include "resources/strings.h"
#include "tests/ui/application_test_support.h"
#include "tools/oscar_server.h"
#include "ui/drawing_kit.h"
#include "ui/message_box.h"
#include "ui/people_commands.h"
#include "ui/message_view.h"
#include "ui/sound_player.h"

using namespace pellox;
using namespace pellox::ui;
using namespace pellox::apptest;

namespace {

constexpr int kSignOnMs = 10000;

QString Text(int stringId) {
    return QString::fromStdU16String(LoadString(stringId));
}

std::u16string Address(std::uint16_t port) {
    return U16("127.0.0.1:" + std::to_string(port));
}

// Another user's client: its own data directory, model and session, driven by the
// test directly (its notifications are not delivered anywhere).
struct Peer {
    formtest::DataDir data;
    AppState model{data.path()};
    MessengerSession session{model};
    Connection link = session.NetForTesting().CurrentConnection();  // as the worker sends
    std::u16string uin;

    Peer(std::u16string ownUin, std::uint16_t authPort, const std::u16string& password)
        : uin(std::move(ownUin)) {
        model.UpdateSettings([this](Settings& s) { s.profile = uin; });
        QVERIFY(session.StartWorker());
        Connect(authPort, password);
    }
    ~Peer() { session.Shutdown(); }

    void Connect(std::uint16_t authPort, const std::u16string& password) {
        session.EnqueueCommand(ConnectCommand{Address(authPort), uin, password});
    }
    // What the conversation view does when the user sends.
    void Send(const std::u16string& to, const std::u16string& text) {
        session.EnqueueCommand(SendMessageCommand{to, text});
        bool added = false;
        const ContactPtr contact = model.FindOrAddContact(Template(to, {}), added);
        model.GetHistory(contact)->Append(MessageEntry{text, 1700000000, MessageDirection::Out});
    }
    std::vector<MessageEntry> History(const std::u16string& with) {
        const ContactPtr contact = model.FindContact(with);
        return contact ? model.GetHistory(contact)->Entries() : std::vector<MessageEntry>{};
    }
};

// The entries of a history file as read back from the disk.
std::vector<MessageEntry> StoredHistory(const std::string& directory, const std::u16string& uin) {
    MessageHistory history(directory);
    (void)history.Load("msg_" + std::string(uin.begin(), uin.end()) + ".txt");
    return history.Entries();
}

bool HasEntry(const std::vector<MessageEntry>& entries, MessageDirection direction,
              const std::u16string& text) {
    for (const MessageEntry& entry : entries) {
        if (entry.direction == direction && entry.text == text) return true;
    }
    return false;
}

int Status(AppState& model, const std::u16string& uin) {
    const ContactPtr contact = model.FindContact(uin);
    return contact ? contact->Snapshot().status : -1;
}

// How many of the icon's opaque pixels the grabbed cell shows unchanged.
double IconMatch(const QImage& shot, const QRect& cell, int status) {
    const QImage icon = StatusIcons::Instance().Icon(status).toImage().convertToFormat(
        QImage::Format_ARGB32);
    const int size = StatusIcons::kIconSize;
    const QPoint origin(cell.left(), cell.top() + (cell.height() - size) / 2);
    int opaque = 0;
    int same = 0;
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            const QRgb pixel = icon.pixel(x, y);
            if (qAlpha(pixel) != 255) continue;
            ++opaque;
            if ((shot.pixel(origin + QPoint(x, y)) & 0xFFFFFF) == (pixel & 0xFFFFFF)) ++same;
        }
    }
    return opaque == 0 ? 0.0 : double(same) / opaque;
}

}  // namespace

class EndToEndTest : public QObject {
    Q_OBJECT

private:
    server::OscarServer server_;
    std::uint16_t authPort_ = 0;

    // Alice's Pellox, signed on with the demo profile, its contacts loaded.
    void StartAlice(AppHarness& h) {
        Seed seed;
        seed.server = Address(authPort_);
        seed.autoconnect = true;
        h.Start(seed);
        QTRY_VERIFY_WITH_TIMEOUT(h.app->session().State() == ConnState::ContactsLoaded, kSignOnMs);
        QTRY_VERIFY_WITH_TIMEOUT(Status(*h.state, u"100003") == 0, kSignOnMs);
    }

private slots:
    void initTestCase() {
        QApplication::setQuitOnLastWindowClosed(false);
        server::ServerConfig config;
        config.authPort = 0;
        config.bosPort = 0;
        config.signOnBurst = 1000;  // one server for every test, each signing Alice on
        std::string error;
        QVERIFY2(server_.Start(config, error), error.c_str());
        authPort_ = server_.AuthPort();
    }
    void cleanupTestCase() { server_.Stop(); }

    void signOnShowsContactsWithPresence() {
        AppHarness h;
        StartAlice(h);

        // The server's list: names filled in, the echo account online, Борис not.
        QTRY_VERIFY(h.state->FindContact(u"100002") != nullptr);
        QCOMPARE(h.state->FindContact(u"100002")->Name(), std::u16string(u"Борис"));
        QCOMPARE(h.state->FindContact(u"100003")->Name(), std::u16string(u"Эхо"));
        QCOMPARE(Status(*h.state, u"100002"), 1);
        QTRY_COMPARE(h.statusText(), QString());
        QVERIFY(h.read("contacts_100001.txt").contains("[100003]"));

        // Each listed contact is drawn with the icon of its presence.
        CContactsView* view = h.contactsView();
        h.frame().resize(CMainFrame::kDefaultWidth, CMainFrame::kDefaultHeight);
        QTRY_COMPARE(int(view->listPanel().entries().size()), 2);
        const QImage shot = view->grab().toImage();
        for (int i = 0; i < 2; ++i) {
            const ContactPtr contact = view->listPanel().entries()[std::size_t(i)];
            const int status = contact->Snapshot().status;
            const QRect cell = view->listPanel().CellRect(i);
            QVERIFY(!cell.isEmpty());
            QVERIFY2(IconMatch(shot, cell, status) > 0.9, qPrintable(QString::number(i)));
            QVERIFY(IconMatch(shot, cell, status == 0 ? 1 : 0) < 0.9);
        }

        // Online: connect is refused by the menu, the other two are offered.
        QVERIFY(!h.Enabled(cmd::kConnect));
        QVERIFY(h.Enabled(cmd::kDisconnect));
        QVERIFY(h.Enabled(cmd::kLoadContacts));

        // "Отключить" returns at once, shows "Отключен" and takes everyone offline.
        QElapsedTimer timer;
        timer.start();
        QVERIFY(h.frame().RouteCommand(cmd::kDisconnect));
        QVERIFY(timer.elapsed() < 500);
        QTRY_COMPARE(h.statusText(), Text(str::kDisconnected));
        QTRY_COMPARE(Status(*h.state, u"100003"), 1);
        QVERIFY(h.Enabled(cmd::kConnect));
        QVERIFY(!h.Enabled(cmd::kDisconnect));
    }

    // A contact's file: offered, shown in the band with its buttons and the menu's
    // commands, accepted, saved in the download folder and recorded.
    void aFileFromAContactIsAcceptedInTheConversation() {
        AppHarness h;
        StartAlice(h);
        Peer boris(u"100002", authPort_, u"boris");
        QTRY_VERIFY_WITH_TIMEOUT(boris.session.State() == ConnState::ContactsLoaded, kSignOnMs);
        QTRY_VERIFY_WITH_TIMEOUT(Status(*h.state, u"100002") == 0, kSignOnMs);
        FileTransferConfig config = h.app->session().Files().Config();
        config.downloads = h.path() + "downloads";
        QVERIFY(QDir().mkpath(QString::fromStdString(config.downloads)));
        h.app->session().Files().SetConfig(config);
        QByteArray bytes(3 << 20, '\0');
        for (int i = 0; i < bytes.size(); ++i) bytes[i] = char(i * 7 + i / 4096);
        QFile source(QString::fromStdString(boris.data.path() + "фото.jpg"));
        QVERIFY(source.open(QIODevice::WriteOnly) && source.write(bytes) == bytes.size());
        source.close();

        h.state->SetCurrentContact(h.state->FindContact(u"100002"));
        QVERIFY(h.frame().RouteCommand(cmd::kWrite));
        auto* conversation = qobject_cast<CMessageView*>(h.frame().activeView());
        QVERIFY(conversation != nullptr);
        QVERIFY(h.Enabled(cmd::kSendFile));
        QVERIFY(!h.Enabled(cmd::kAcceptFile));
        QVERIFY(boris.session.Files().Offer(u"100001", source.fileName().toStdString()) != 0);
        QTRY_VERIFY(h.Enabled(cmd::kAcceptFile));
        QTRY_COMPARE(conversation->transferStrip().rows().size(), std::size_t(1));
        QCOMPARE(TransferStrip::RowText(conversation->transferStrip().rows()[0]),
                 QStringLiteral("Входящий файл «фото.jpg» (3,0 МБ)"));
        QVERIFY(!conversation->CurrentLayout().transfers.isEmpty());

        QVERIFY(h.frame().RouteCommand(cmd::kAcceptFile));
        QFile saved(QString::fromStdString(config.downloads + "/фото.jpg"));
        QTRY_VERIFY_WITH_TIMEOUT(saved.exists(), kSignOnMs);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QVERIFY(saved.readAll() == bytes);
        QTRY_COMPARE(conversation->transferStrip().rows()[0].state, TransferState::Completed);
        QVERIFY(!h.Enabled(cmd::kAcceptFile));
        QTRY_VERIFY(HasEntry(h.state->GetHistory(h.state->FindContact(u"100002"))->Entries(),
                             MessageDirection::System,
                             u"Файл «фото.jpg» (3,0 МБ) получен: " + U16(config.downloads) + u"/фото.jpg"));

        // A file dropped on the conversation is offered to Boris; he says no.
        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(saved.fileName())});
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(conversation, &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(conversation, &drop);
        std::uint64_t offered = 0;
        QTRY_VERIFY((offered = boris.session.Files().PendingProposal(u"100001")) != 0);
        QVERIFY(boris.session.Files().Refuse(offered));
        QTRY_COMPARE(conversation->transferStrip().rows().back().state, TransferState::Refused);
        QCOMPARE(TransferStrip::RowText(conversation->transferStrip().rows().back()),
                 QStringLiteral("Файл «фото.jpg» (3,0 МБ) отклонён"));
    }

    void chatBothWaysAndWithTheEcho() {
        AppHarness h;
        StartAlice(h);
        Peer boris(u"100002", authPort_, u"boris");
        QTRY_VERIFY_WITH_TIMEOUT(boris.session.State() >= ConnState::Online, kSignOnMs);
        QTRY_VERIFY_WITH_TIMEOUT(Status(*h.state, u"100002") == 0, kSignOnMs);

        // Alice writes through the conversation view.
        const ContactPtr borisContact = h.state->FindContact(u"100002");
        h.state->SetCurrentContact(borisContact);
        QVERIFY(h.frame().RouteCommand(cmd::kWrite));
        auto* conversation = qobject_cast<CMessageView*>(h.frame().activeView());
        QVERIFY(conversation != nullptr);
        conversation->inputBox()->setPlainText(QStringLiteral("Привет, Борис"));
        QVERIFY(h.frame().RouteCommand(cmd::kViewOk));
        // Sent: the conversation is open and, with "sendclose", the list is back.
        QTRY_COMPARE(h.frame().activeViewKind(), std::optional<ViewKind>(ViewKind::Contacts));
        QVERIFY(borisContact->Snapshot().conversationOpen());

        QTRY_VERIFY_WITH_TIMEOUT(
            HasEntry(boris.History(u"100001"), MessageDirection::In, u"Привет, Борис"), kSignOnMs);

        // Борис answers; Alice's contact counts it unread and announces it.
        const int sounds = h.app->sounds().requestCount();
        boris.Send(u"100001", u"Здравствуй, Алиса");
        QTRY_VERIFY_WITH_TIMEOUT(borisContact->Snapshot().unreadCount == 1, kSignOnMs);
        QVERIFY(HasEntry(borisContact->History()->Entries(), MessageDirection::In,
                         u"Здравствуй, Алиса"));
        // No notification service here: the sound stands in.
        QTRY_VERIFY(h.app->sounds().requestCount() > sounds);

        // Both history files hold both messages, in the right directions.
        const auto aliceFile = StoredHistory(h.path(), u"100002");
        QVERIFY(HasEntry(aliceFile, MessageDirection::Out, u"Привет, Борис"));
        QVERIFY(HasEntry(aliceFile, MessageDirection::In, u"Здравствуй, Алиса"));
        const auto borisFile = StoredHistory(boris.data.path(), u"100001");
        QVERIFY(HasEntry(borisFile, MessageDirection::In, u"Привет, Борис"));
        QVERIFY(HasEntry(borisFile, MessageDirection::Out, u"Здравствуй, Алиса"));

        // The echo account sends every message back.
        const ContactPtr echo = h.state->FindContact(u"100003");
        h.state->SetCurrentContact(echo);
        QVERIFY(h.frame().RouteCommand(cmd::kWrite));
        conversation->inputBox()->setPlainText(QStringLiteral("эхо?"));
        QVERIFY(h.frame().RouteCommand(cmd::kViewOk));
        QTRY_VERIFY_WITH_TIMEOUT(
            HasEntry(StoredHistory(h.path(), u"100003"), MessageDirection::In, u"эхо?"), kSignOnMs);
        QVERIFY(HasEntry(StoredHistory(h.path(), u"100003"), MessageDirection::Out, u"эхо?"));
    }

    void burstToTheEchoKeepsEachAnswerBehindItsMessage() {
        AppHarness h;
        StartAlice(h);
        h.state->UpdateSettings([](Settings& s) { s.sendclose = false; });
        h.state->SetCurrentContact(h.state->FindContact(u"100003"));
        QVERIFY(h.frame().RouteCommand(cmd::kWrite));
        auto* conversation = qobject_cast<CMessageView*>(h.frame().activeView());
        QVERIFY(conversation != nullptr);
        constexpr int kBurst = 8;
        for (int i = 0; i < kBurst; ++i) {
            conversation->inputBox()->setPlainText(QStringLiteral("эхо %1").arg(i));
            QVERIFY(h.frame().RouteCommand(cmd::kViewOk));
        }
        QTRY_COMPARE_WITH_TIMEOUT(int(StoredHistory(h.path(), u"100003").size()), 2 * kBurst,
                                  kSignOnMs);
        // In memory and on disk every answer stands behind the message it answers.
        for (const auto& entries :
             {h.state->FindContact(u"100003")->History()->Entries(), StoredHistory(h.path(), u"100003")}) {
            for (int i = 0; i < kBurst; ++i) {
                const std::u16string text = QStringLiteral("эхо %1").arg(i).toStdU16String();
                std::ptrdiff_t out = -1, in = -1;
                for (std::size_t k = 0; k < entries.size(); ++k) {
                    if (entries[k].text != text) continue;
                    (entries[k].direction == MessageDirection::Out ? out : in) = std::ptrdiff_t(k);
                }
                QVERIFY2(out >= 0 && in > out, qPrintable(QString::number(i)));
            }
        }
    }

    void refusedMessageIsNotKeptAndIsNamed() {
        AppHarness h;
        StartAlice(h);
        h.state->UpdateSettings([](Settings& s) { s.sendclose = false; });
        // A number the server does not know.
        const ContactPtr nobody = h.state->AddContact(Template(u"999999", u"Никто"), true);
        h.state->SetCurrentContact(nobody);
        QVERIFY(h.frame().RouteCommand(cmd::kWrite));
        auto* conversation = qobject_cast<CMessageView*>(h.frame().activeView());
        conversation->inputBox()->setPlainText(QStringLiteral("ау"));
        QVERIFY(h.frame().RouteCommand(cmd::kViewOk));

        // The server's message error: the user is told who and why, and the message
        // does not stay in the history as sent.
        QMessageBox* notice = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT(
            (notice = h.frame().findChild<QMessageBox*>(kNoticeObjectName)) != nullptr, kSignOnMs);
        QCOMPARE(notice->text(),
                 QString("Сообщение для Никто (999999) не отправлено: получатель недоступен."));
        QTRY_COMPARE(nobody->History()->Count(), std::size_t(0));
        QVERIFY(StoredHistory(h.path(), u"999999").empty());
    }

    void wrongPasswordIsNamed() {
        AppHarness h;
        Seed seed;
        seed.server = Address(authPort_);
        seed.password = u"wrong";
        seed.autoconnect = true;
        h.Start(seed);
        QTRY_COMPARE_WITH_TIMEOUT(h.statusText(), QString("Неверный номер или пароль"), kSignOnMs);
        QCOMPARE(h.app->session().State(), ConnState::ConnectionError);
        QCOMPARE(h.app->session().LoginRefusal(), 0x0005);
        // With the right password the reason goes.
        h.state->UpdateSettings([](Settings& s) { s.Password() = u"alice"; });
        QVERIFY(h.frame().RouteCommand(cmd::kConnect));
        QTRY_COMPARE_WITH_TIMEOUT(h.statusText(), QString(), kSignOnMs);
        QCOMPARE(h.app->session().LoginRefusal(), 0);
    }

    void ownStatusAndVisibilityFromTheMenus() {
        AppHarness h;
        StartAlice(h);
        Peer boris(u"100002", authPort_, u"boris");  // on Alice's list
        Peer vera(u"100004", authPort_, u"vera");     // lists Alice, not on her list
        QTRY_VERIFY_WITH_TIMEOUT(Status(boris.model, u"100001") == 0, kSignOnMs);
        QTRY_VERIFY_WITH_TIMEOUT(Status(vera.model, u"100001") == 0, kSignOnMs);
        QCOMPARE(h.frame().ownNumberLabel()->text(), QString("100001"));
        QCOMPARE(h.frame().ownStatus(), 0);
        QMenu* menu = h.frame().softKeyMenu(0);

        // "Отсутствую": its text is asked first; then Борис sees it; the check mark,
        // the header and the profile follow.
        QVERIFY(h.frame().RouteCommand(cmd::kStatusAway));
        QVERIFY(h.app->people().awayTextBox() != nullptr);
        h.app->people().awayTextEdit()->setText(QStringLiteral("Скоро буду"));
        h.app->people().awayTextBox()->accept();
        QTRY_VERIFY_WITH_TIMEOUT(Status(boris.model, u"100001") == 2, kSignOnMs);
        QCOMPARE(h.frame().ownStatus(), 2);
        QVERIFY(MenuEntry(menu, cmd::kStatusAway)->isChecked());
        QVERIFY(!MenuEntry(menu, cmd::kStatusOnline)->isChecked());
        QVERIFY(h.read("settings.txt").contains(QByteArray::fromStdString(
            "[100001]\r\nawaytext_away=" + platform::WideToLocal(u"Скоро буду") + "\r\npassw=alice\r\n")));
        QVERIFY(h.read("settings.txt").contains("status=2\r\n"));

        // "Видим только для своих" hides her from Вера only, and shows her again.
        QVERIFY(h.frame().RouteCommand(cmd::kVisibleToListOnly));
        QTRY_VERIFY_WITH_TIMEOUT(Status(vera.model, u"100001") == 1, kSignOnMs);
        QVERIFY(MenuEntry(menu, cmd::kVisibleToListOnly)->isChecked());
        QCOMPARE(Status(boris.model, u"100001"), 2);
        // The server keeps the item: the list loaded again still says so.
        const int reports = h.Delivered(ChangeCode::ConnectionStateChanged);
        QVERIFY(h.frame().RouteCommand(cmd::kLoadContacts));
        QTRY_VERIFY_WITH_TIMEOUT(h.Delivered(ChangeCode::ConnectionStateChanged) >= reports + 2 &&
                                     h.app->session().State() == ConnState::ContactsLoaded,
                                 kSignOnMs);
        QVERIFY(MenuEntry(menu, cmd::kVisibleToListOnly)->isChecked());
        QVERIFY(h.frame().RouteCommand(cmd::kVisibleToListOnly));
        QTRY_VERIFY_WITH_TIMEOUT(Status(vera.model, u"100001") == 2, kSignOnMs);
        QVERIFY(!MenuEntry(menu, cmd::kVisibleToListOnly)->isChecked());

        // The next sign-on announces the remembered status.
        QVERIFY(h.frame().RouteCommand(cmd::kDisconnect));
        QTRY_VERIFY_WITH_TIMEOUT(Status(boris.model, u"100001") == 1, kSignOnMs);
        QTRY_COMPARE(h.frame().ownStatus(), 1);  // once the closing report is delivered
        QVERIFY(h.frame().RouteCommand(cmd::kConnect));
        QTRY_VERIFY_WITH_TIMEOUT(h.app->session().State() == ConnState::ContactsLoaded, kSignOnMs);
        QTRY_VERIFY_WITH_TIMEOUT(Status(boris.model, u"100001") == 2, kSignOnMs);

        // "Невидим" while online: Борис sees her leave.
        QVERIFY(h.frame().RouteCommand(cmd::kStatusInvisible));
        QTRY_VERIFY_WITH_TIMEOUT(Status(boris.model, u"100001") == 1, kSignOnMs);
        QCOMPARE(h.frame().ownStatus(), 7);
    }

    void deletedContactIsGoneFromTheServerList() {
        AppHarness h;
        StartAlice(h);
        Peer boris(u"100002", authPort_, u"boris");
        QTRY_VERIFY_WITH_TIMEOUT(Status(*h.state, u"100002") == 0, kSignOnMs);

        h.state->SetCurrentContact(h.state->FindContact(u"100002"));
        QVERIFY(h.frame().RouteCommand(cmd::kDeleteContact));
        QVERIFY(Answer(h.frame(), "Да"));
        QVERIFY(h.state->FindContact(u"100002") == nullptr);

        // Reloading the server list does not bring Борис back, so the delete was
        // sent; the echo account is still there.
        QTest::qWait(200);
        QVERIFY(h.Enabled(cmd::kLoadContacts));
        const int reports = h.Delivered(ChangeCode::ConnectionStateChanged);
        QVERIFY(h.frame().RouteCommand(cmd::kLoadContacts));
        QTRY_VERIFY_WITH_TIMEOUT(h.Delivered(ChangeCode::ConnectionStateChanged) >= reports + 2 &&
                                     h.app->session().State() == ConnState::ContactsLoaded,
                                 kSignOnMs);
        QTRY_COMPARE(h.statusText(), QString());
        QVERIFY(h.state->FindContact(u"100002") == nullptr);
        QVERIFY(h.state->FindContact(u"100003") != nullptr);

        // Nor does his presence: he is no longer watched.
        boris.session.CloseSession();
        boris.Connect(authPort_, u"boris");
        QTRY_VERIFY_WITH_TIMEOUT(boris.session.State() >= ConnState::Online, kSignOnMs);
        QTest::qWait(500);
        QVERIFY(h.state->FindContact(u"100002") == nullptr);
    }

    void authorizationRequestIsAnsweredFromItsWindow() {
        AppHarness h;
        StartAlice(h);
        Peer vera(u"100004", authPort_, u"vera");
        QTRY_VERIFY_WITH_TIMEOUT(vera.session.State() == ConnState::ContactsLoaded, kSignOnMs);

        // Two requests, one refused and one granted; each window names the number
        // and carries the text. The first is left for later with Escape, then
        // answered from the menu: only that answer reaches Вера.
        for (const bool grant : {false, true}) {
            QVERIFY(SendAuthRequest(vera.link, "100001", u"Можно?"));
            QTRY_COMPARE_WITH_TIMEOUT(h.app->authorizationWindows().size(), qsizetype(1), kSignOnMs);
            if (!grant) {
                QTest::keyClick(h.app->authorizationWindows().front(), Qt::Key_Escape);
                QTRY_VERIFY(h.app->authorizationWindows().isEmpty());
                QCOMPARE(h.app->pendingAuthorizations(), std::vector<std::u16string>{u"100004"});
                QVERIFY(h.frame().RouteCommand(cmd::kAuthRequests));
                QCOMPARE(h.app->authorizationWindows().size(), qsizetype(1));
            }
            QMessageBox* box = h.app->authorizationWindows().front();
            QVERIFY(box->text().contains("100004"));
            QVERIFY(box->text().contains(QStringLiteral("Можно?")));
            QAbstractButton* answer = nullptr;
            for (QAbstractButton* button : box->buttons()) {
                if (button->text() == (grant ? QStringLiteral("Разрешить") : QStringLiteral("Отказать"))) answer = button;
            }
            QVERIFY(answer != nullptr);
            answer->click();
            QTRY_VERIFY(h.app->authorizationWindows().isEmpty());
            const std::u16string line = grant ? LoadString(str::kAuthGranted) : LoadString(str::kAuthRefused);
            QTRY_VERIFY_WITH_TIMEOUT(HasEntry(vera.History(u"100001"), MessageDirection::System, line), kSignOnMs);
        }
        QCOMPARE(vera.History(u"100001").size(), std::size_t(2));
        QVERIFY(h.app->pendingAuthorizations().empty());
    }

    void signedOffByAnotherClient() {
        AppHarness h;
        StartAlice(h);
        // The same account signs on elsewhere: the server ends this session.
        Peer other(u"100001", authPort_, u"alice");
        QTRY_VERIFY_WITH_TIMEOUT(other.session.State() >= ConnState::Online, kSignOnMs);
        QTRY_COMPARE_WITH_TIMEOUT(h.statusText(), Text(str::kDisconnectedByOtherClient), kSignOnMs);
        // The socket close that follows does not replace the reason.
        QTest::qWait(300);
        QCOMPARE(h.statusText(), Text(str::kDisconnectedByOtherClient));
        QCOMPARE(Status(*h.state, u"100003"), 1);
        QVERIFY(h.Enabled(cmd::kConnect));
    }

    void shutdownWhileOnlineIsPrompt() {
        AppHarness h;
        StartAlice(h);
        // Борис watches Alice.
        Peer boris(u"100002", authPort_, u"boris");
        QTRY_VERIFY_WITH_TIMEOUT(Status(boris.model, u"100001") == 0, kSignOnMs);

        QElapsedTimer timer;
        timer.start();
        h.app->Stop();
        QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(!h.app->historyLoaderRunning());
        QCOMPARE(h.app->session().NetForTesting().ActiveReceiveThreadsForTesting(), 0);
        // The server sees the connection go and tells the watchers.
        QTRY_VERIFY_WITH_TIMEOUT(Status(boris.model, u"100001") == 1, kSignOnMs);
    }
};

QTEST_MAIN(EndToEndTest)
#include "end_to_end_test.moc"
