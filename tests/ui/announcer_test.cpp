// The announcement of incoming messages against a notification service on a
// private session bus (run under dbus-run-session).

#include <QApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QWidget>
#include <optional>
#include <thread>

#include "resources/command_ids.h"
#include "ui/desktop_notifier.h"
#include "ui/sound_player.h"

using namespace pellox;
using namespace pellox::ui;

namespace {

// A notification service: records every Notify and answers with ids of its own.
class FakeNotificationServer : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    struct Call {
        QString app;
        uint replacesId = 0;
        QString icon;
        QString summary;
        QString body;
        QStringList actions;
        QVariantMap hints;
        int timeout = 0;
    };
    QList<Call> calls;
    uint nextId = 40;
    QStringList capabilities{QStringLiteral("actions"), QStringLiteral("body")};
    int capabilityCalls = 0;

public slots:
    Q_SCRIPTABLE uint Notify(const QString& app, uint replacesId, const QString& icon,
                             const QString& summary, const QString& body,
                             const QStringList& actions, const QVariantMap& hints, int timeout) {
        calls.append(Call{app, replacesId, icon, summary, body, actions, hints, timeout});
        return replacesId != 0 ? replacesId : nextId++;
    }
    Q_SCRIPTABLE void CloseNotification(uint id) { emit NotificationClosed(id, 3); }
    Q_SCRIPTABLE QStringList GetCapabilities() {
        ++capabilityCalls;
        return capabilities;
    }
    Q_SCRIPTABLE QString GetServerInformation(QString& vendor, QString& version,
                                              QString& specVersion) {
        vendor = QStringLiteral("test");
        version = QStringLiteral("1");
        specVersion = QStringLiteral("1.2");
        return QStringLiteral("fake");
    }

signals:
    Q_SCRIPTABLE void ActionInvoked(uint id, const QString& actionKey);
    Q_SCRIPTABLE void ActivationToken(uint id, const QString& token);
    Q_SCRIPTABLE void NotificationClosed(uint id, uint reason);
};

// The width, height, channels and byte count of an "image-data" hint.
struct ImageHint {
    int width = 0, height = 0, rowStride = 0, channels = 0, bytes = 0;
};

ImageHint ReadImageHint(const QVariant& hint) {
    ImageHint out;
    const QDBusArgument arg = hint.value<QDBusArgument>();
    bool hasAlpha = false;
    int bits = 0;
    QByteArray data;
    arg.beginStructure();
    arg >> out.width >> out.height >> out.rowStride >> hasAlpha >> bits >> out.channels >> data;
    arg.endStructure();
    out.bytes = static_cast<int>(data.size());
    return out;
}

}  // namespace

class AnnouncerTest : public QObject {
    Q_OBJECT

private:
    // The service runs on a connection of its own, so every call crosses the bus.
    QDBusConnection serverBus_{QString()};
    FakeNotificationServer* server_ = nullptr;

    bool active_ = false;
    std::vector<int> commands_;
    std::unique_ptr<DesktopNotifier> notifier_;
    std::unique_ptr<SoundPlayer> sounds_;
    std::unique_ptr<MessageAnnouncer> announcer_;

    void RegisterService() {
        QVERIFY(serverBus_.registerService(QString::fromLatin1(kNotificationsService)));
    }
    void UnregisterService() {
        serverBus_.unregisterService(QString::fromLatin1(kNotificationsService));
    }
    // Without a bus: the session bus, taken into use by the first notification.
    void MakeAnnouncer(std::optional<QDBusConnection> bus = std::nullopt) {
        announcer_.reset();
        notifier_ = bus ? std::make_unique<DesktopNotifier>(*bus) : std::make_unique<DesktopNotifier>();
        announcer_ = std::make_unique<MessageAnnouncer>(
            *notifier_, *sounds_, [this](int id) { commands_.push_back(id); },
            [this] { return active_; });
    }

private slots:
    void initTestCase() {
        QVERIFY2(QDBusConnection::sessionBus().isConnected(),
                 "no session bus: run the test under dbus-run-session");
        serverBus_ = QDBusConnection::connectToBus(QDBusConnection::SessionBus,
                                                   QStringLiteral("notification-server"));
        QVERIFY(serverBus_.isConnected());
        server_ = new FakeNotificationServer;
        QVERIFY(serverBus_.registerObject(
            QString::fromLatin1(kNotificationsPath), server_,
            QDBusConnection::ExportScriptableSlots | QDBusConnection::ExportScriptableSignals));
    }
    void cleanupTestCase() {
        serverBus_.unregisterObject(QString::fromLatin1(kNotificationsPath));
        delete server_;
    }
    void init() {
        RegisterService();
        server_->calls.clear();
        commands_.clear();
        active_ = false;
        sounds_ = std::make_unique<SoundPlayer>();
        MakeAnnouncer();
    }
    void cleanup() {
        announcer_.reset();
        notifier_.reset();
        sounds_.reset();
        UnregisterService();
    }

    void inTheBackgroundTheServiceShowsTheMessage() {
        QSignalSpy announced(announcer_.get(), &MessageAnnouncer::announced);
        QVERIFY(!notifier_->busInUse());  // the first notification connects
        announcer_->Announce(MessageAnnouncer::Title("Маша", "12345"), "Привет!\nКак дела?");
        QTRY_COMPARE(server_->calls.size(), 1);
        QVERIFY(notifier_->busInUse());
        const FakeNotificationServer::Call& call = server_->calls.front();
        QCOMPARE(call.summary, QString("ICQ: Маша (12345)"));
        QCOMPARE(MessageAnnouncer::Title("100004", "100004"), QString("ICQ: 100004"));
        QCOMPARE(call.body, QString("Привет!\nКак дела?"));
        QCOMPARE(call.actions, (QStringList{"open", "Открыть", "close", "Закрыть"}));
        QCOMPARE(call.timeout, 20000);
        QCOMPARE(call.app, QString("Pellox"));
        QCOMPARE(call.replacesId, 0u);
        // The application's icon travels as image data.
        QVERIFY(call.hints.contains("image-data"));
        const ImageHint image = ReadImageHint(call.hints.value("image-data"));
        QCOMPARE(image.width, 64);
        QCOMPARE(image.height, 64);
        QCOMPARE(image.channels, 4);
        QCOMPARE(image.bytes, image.rowStride * image.height);

        QTRY_COMPARE(announced.size(), 1);
        QCOMPARE(announced.front().front().toBool(), true);
        QCOMPARE(sounds_->requestCount(), 0);

        // Actions of another client's notification are not ours.
        const uint id = server_->nextId - 1;
        QSignalSpy actions(notifier_.get(), &DesktopNotifier::actionInvoked);
        emit server_->ActionInvoked(id + 7, "open");
        emit server_->ActionInvoked(id, "open");
        QVERIFY(actions.wait(2000));
        QCOMPARE(actions.size(), 1);
        QCOMPARE(actions.front().at(0).toUInt(), id);
        QCOMPARE(commands_, std::vector<int>{cmd::kShowContacts});

        emit server_->ActionInvoked(id, "close");
        QTRY_COMPARE(commands_.size(), std::size_t(2));
        QCOMPARE(commands_.back(), cmd::kOk);
    }

    // The token the service sends with "Открыть" is in place when the window is
    // raised, for the Wayland compositor; another client's token is not taken.
    void openingTakesTheServicesActivationToken() {
        qunsetenv("XDG_ACTIVATION_TOKEN");
        QString tokenSeen = QStringLiteral("none");
        announcer_ = std::make_unique<MessageAnnouncer>(
            *notifier_, *sounds_,
            [&tokenSeen](int) { tokenSeen = qEnvironmentVariable("XDG_ACTIVATION_TOKEN"); },
            [this] { return active_; });
        announcer_->Announce("ICQ: a (1)", "text");
        QTRY_VERIFY(!notifier_->ownIds().isEmpty());
        const uint id = *notifier_->ownIds().begin();
        emit server_->ActivationToken(id + 3, "theirs");
        emit server_->ActivationToken(id, "ours");
        emit server_->ActionInvoked(id, "open");
        QTRY_COMPARE(tokenSeen, QString("ours"));
        qunsetenv("XDG_ACTIVATION_TOKEN");
        emit server_->ActivationToken(id + 3, "theirs");
        emit server_->ActionInvoked(id, "default");
        QTRY_COMPARE(tokenSeen, QString());
    }

    // A long body ends at a blank near the limit, so that no word is split; a word
    // longer than the reach is cut where the limit falls.
    void longBodiesAreCutBetweenWords() {
        const QString words = QStringLiteral("слово ").repeated(50);
        QCOMPARE(CutText(words, 200), QStringLiteral("слово ").repeated(33).chopped(1) + u'…');
        QCOMPARE(CutText(QStringLiteral("aaaa bbbb cc"), 9), QStringLiteral("aaaa bbbb…"));
        QCOMPARE(CutText(QStringLiteral("a ") + QString(300, u'x'), 200),
                 "a " + QString(198, u'x') + u'…');
        QCOMPARE(CutText(words, 300), words);
    }

    // A sender's text can neither render as markup (a link, a remote image) nor
    // carry control or direction-changing characters, and it is kept short; the
    // service is asked what it renders once.
    void hostileTextIsCleanedCutAndEscapedWhereMarkupRenders() {
        const QString body = QStringLiteral("<a href=\"http://x/\">a < b & c</a>\x1b[31m\u202Eevil"
                                            "\u2066\r\nline\u0085\x7f\t!") +
                             QString(300, u'x');
        const QString shown = QStringLiteral("<a href=\"http://x/\">a < b & c</a>[31mevil\nline !");
        const QString escaped = QStringLiteral(
            "&lt;a href=&quot;http://x/&quot;&gt;a &lt; b &amp; c&lt;/a&gt;[31mevil\nline !");
        const QString tail = QString(200 - shown.size(), u'x') + QStringLiteral("…");
        for (const bool markup : {false, true}) {
            server_->capabilities = {QStringLiteral("actions"), QStringLiteral("body")};
            if (markup) server_->capabilities << QStringLiteral("body-markup");
            server_->capabilityCalls = 0;
            server_->calls.clear();
            MakeAnnouncer();
            announcer_->Announce(MessageAnnouncer::Title(QString(100, u'N') + u'\x1b', "1"), body);
            announcer_->Announce("ICQ: \u202Ea (2)", "second");
            QTRY_COMPARE(server_->calls.size(), 2);
            QCOMPARE(server_->capabilityCalls, 1);
            QCOMPARE(server_->calls[0].summary, "ICQ: " + QString(64, u'N') + " (1)");
            QCOMPARE(server_->calls[0].body, (markup ? escaped : shown) + tail);
            QCOMPARE(server_->calls[1].summary, QString("ICQ: a (2)"));
        }
    }

    void aShownNotificationIsUpdatedUntilItCloses() {
        announcer_->Announce("ICQ: a (1)", "one");
        QTRY_COMPARE(server_->calls.size(), 1);
        const uint first = server_->nextId - 1;
        QTRY_VERIFY(notifier_->ownIds().contains(first));
        announcer_->Announce("ICQ: b (2)", "two");
        QTRY_COMPARE(server_->calls.size(), 2);
        QCOMPARE(server_->calls[1].replacesId, first);

        // Closing another client's notification changes nothing; closing ours does.
        QSignalSpy closed(notifier_.get(), &DesktopNotifier::closed);
        emit server_->NotificationClosed(first + 5, 2);
        emit server_->NotificationClosed(first, 2);
        QVERIFY(closed.wait(2000));
        QCOMPARE(closed.size(), 1);
        QVERIFY(!notifier_->ownIds().contains(first));
        announcer_->Announce("ICQ: c (3)", "three");
        QTRY_COMPARE(server_->calls.size(), 3);
        QCOMPARE(server_->calls[2].replacesId, 0u);
        QCOMPARE(sounds_->requestCount(), 0);
    }

    void inFrontTheSoundPlaysAndNothingIsShown() {
        active_ = true;
        QSignalSpy announced(announcer_.get(), &MessageAnnouncer::announced);
        announcer_->Announce("ICQ: a (1)", "text");
        QCOMPARE(sounds_->lastRequested(), QString("alarm2.wav"));
        QCOMPARE(sounds_->requestCount(), 1);
        QCOMPARE(announced.size(), 1);
        QCOMPARE(announced.front().front().toBool(), false);
        QTest::qWait(200);
        QCOMPARE(server_->calls.size(), 0);
    }

    void withoutAServiceTheSoundPlaysAtOnce() {
        UnregisterService();
        QSignalSpy failed(notifier_.get(), &DesktopNotifier::failed);
        QElapsedTimer timer;
        timer.start();
        announcer_->Announce("ICQ: a (1)", "text");
        QCOMPARE(sounds_->requestCount(), 0);  // the answer is awaited first
        QTRY_COMPARE(sounds_->requestCount(), 1);
        QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(sounds_->lastRequested(), QString("alarm2.wav"));
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed.front().front().toString(),
                 QString("org.freedesktop.DBus.Error.ServiceUnknown"));
        QCOMPARE(server_->calls.size(), 0);
    }

    void withoutABusTheSoundPlays() {
        MakeAnnouncer(QDBusConnection(QStringLiteral("no-such-connection")));
        announcer_->Announce("ICQ: a (1)", "text");
        QTRY_COMPARE(sounds_->requestCount(), 1);
        QCOMPARE(sounds_->lastRequested(), QString("alarm2.wav"));
    }

    void aNetworkThreadMayAnnounce() {
        std::thread network([this] { announcer_->Announce("ICQ: n (7)", "from the network"); });
        network.join();
        QTRY_COMPARE(server_->calls.size(), 1);
        QCOMPARE(server_->calls.front().body, QString("from the network"));

        active_ = true;
        std::thread again([this] { announcer_->Announce("ICQ: n (7)", "again"); });
        again.join();
        QTRY_COMPARE(sounds_->requestCount(), 1);
        QCOMPARE(server_->calls.size(), 1);
    }

    void byDefaultTheActiveWindowDecides() {
        announcer_ = std::make_unique<MessageAnnouncer>(*notifier_, *sounds_,
                                                        [this](int id) { commands_.push_back(id); });
        QWidget window;
        window.show();
        window.activateWindow();
        QTRY_VERIFY(QApplication::activeWindow() == &window);
        announcer_->Announce("ICQ: a (1)", "in front");
        QCOMPARE(sounds_->requestCount(), 1);

        window.hide();
        QTRY_VERIFY(QApplication::activeWindow() == nullptr);
        announcer_->Announce("ICQ: a (1)", "behind");
        QTRY_COMPARE(server_->calls.size(), 1);
        QCOMPARE(sounds_->requestCount(), 1);
    }
};

QTEST_MAIN(AnnouncerTest)
#include "announcer_test.moc"
